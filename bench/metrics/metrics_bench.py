#!/usr/bin/python3
"""Metrics endpoint benchmark of the headless monitor.

  metrics_bench.py --prowlix build-dir/app/prowlix [--only latency,cpu,pss,slowloris]

- latency: median, p99 and max of 1,000 scrapes of /metrics (a new connection each, as the
  endpoint closes after every answer) with 100 and with 1,000 tasks (`sleep 3600`);
- cpu: the monitor's processor time with 100 tasks over a window, once with metrics off and once
  with a scrape every 15 s (the scheduler's nanosecond account, /proc/<pid>/task/*/schedstat);
- pss: proportional set size of the idle monitor without tasks, metrics off and metrics on (after
  one scrape), median over several starts (/proc/<pid>/smaps_rollup);
- slowloris: a scrape a second for a while (100 tasks) while 100 slow clients hold connections,
  each sending a header byte a second and connecting again whenever it is cut off; counts failed
  scrapes, and the monitor's open descriptors and resident memory at their highest.
"""

import argparse
import http.client
import os
import selectors
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from benchlib import (ScratchMonitor, cpu_sched_ms, free_port, memory_kib,  # noqa: E402
                      open_descriptors)


class Monitor(ScratchMonitor):
    def __init__(self, prowlix, tasks, metrics):
        self.status_port = free_port()
        self.metrics_port = free_port() if metrics else None
        lines = [f"START=sleep 3600,t{i},,True" for i in range(tasks)]
        lines += [f"port={self.status_port}", "kill=True"]
        if metrics:
            lines.append(f"METRICS_PORT={self.metrics_port}")
        super().__init__(prowlix, tempfile.mkdtemp(prefix="prowlix-metrics-"), "\n".join(lines) + "\n")
        self.process = self.start(stderr=subprocess.DEVNULL)
        if not self.wait_log(f"PORT: {self.status_port}", 60):
            raise RuntimeError("the monitor did not start:\n" + self.log())

    def scrape(self):
        connection = http.client.HTTPConnection("127.0.0.1", self.metrics_port, timeout=10)
        connection.request("GET", "/metrics")
        response = connection.getresponse()
        body = response.read()
        connection.close()
        if response.status != 200:
            raise RuntimeError(f"scrape answered {response.status}")
        return body

    def cpu_ms(self):
        return cpu_sched_ms(self.process.pid)

    def memory_mib(self):
        """PSS, RSS and private memory in MiB."""
        return tuple(kib / 1024 for kib in memory_kib(self.process.pid))

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=60)
        shutil.rmtree(self.dir, ignore_errors=True)


def latency(prowlix, scrapes):
    for tasks in (100, 1000):
        monitor = Monitor(prowlix, tasks, metrics=True)
        try:
            size = len(monitor.scrape())
            times = []
            for _ in range(scrapes):
                start = time.perf_counter()
                monitor.scrape()
                times.append((time.perf_counter() - start) * 1000)
        finally:
            monitor.stop()
        times.sort()
        print(f"scrape latency, {tasks} tasks ({size} bytes): median {statistics.median(times):.2f}"
              f" ms, p99 {times[int(len(times) * 0.99) - 1]:.2f} ms, max {times[-1]:.2f} ms"
              f" ({scrapes} scrapes)")


def idle_cpu(prowlix, window):
    for metrics in (False, True):
        monitor = Monitor(prowlix, 100, metrics=metrics)
        try:
            time.sleep(2)  # start-up settles
            before = monitor.cpu_ms()
            start = time.monotonic()
            scrapes = 0
            while time.monotonic() - start < window:
                if metrics:
                    monitor.scrape()
                    scrapes += 1
                time.sleep(min(15, max(0, window - (time.monotonic() - start))))
            used = monitor.cpu_ms() - before
        finally:
            monitor.stop()
        label = f"a scrape every 15 s ({scrapes} scrapes)" if metrics else "metrics off"
        print(f"idle CPU, 100 tasks, {window} s, {label}: {used:.1f} ms")


def pss(prowlix, runs):
    values = {False: [], True: []}
    for _ in range(runs):
        # Alternating starts see the same neighbours, whose shared pages PSS divides.
        for metrics in (False, True):
            monitor = Monitor(prowlix, 0, metrics=metrics)
            try:
                if metrics:
                    monitor.scrape()
                time.sleep(0.5)
                values[metrics].append(monitor.memory_mib())
            finally:
                monitor.stop()
    for metrics in (False, True):
        columns = list(zip(*values[metrics]))
        figures = ", ".join(f"{name} {statistics.median(column):.2f}"
                            for name, column in zip(("PSS", "RSS", "private"), columns))
        print(f"memory of the idle headless monitor, metrics {'on' if metrics else 'off'}, median"
              f" of {runs} starts: {figures} MiB (PSS min {min(columns[0]):.2f}, max"
              f" {max(columns[0]):.2f})")


class Slowloris:
    """Slow clients in one thread: each sends the start of a request, then a byte a second."""

    def __init__(self, port, clients):
        self.port = port
        self.clients = clients
        self.reconnects = 0
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def connect(self, selector):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", self.port))
        selector.register(s, selectors.EVENT_READ, {"sent": 0})
        return s

    def run(self):
        selector = selectors.DefaultSelector()
        sockets = [self.connect(selector) for _ in range(self.clients)]
        head = b"GET /metrics HTTP/1.1\r\nHost: x\r\nX-Slow: " + b"a" * 10000
        next_byte = time.monotonic()
        while not self.stopping.is_set():
            for key, _ in selector.select(timeout=0.1):
                try:
                    data = key.fileobj.recv(4096)
                except OSError:
                    data = b""
                if not data:  # cut off: come back at once
                    selector.unregister(key.fileobj)
                    key.fileobj.close()
                    sockets.remove(key.fileobj)
                    sockets.append(self.connect(selector))
                    self.reconnects += 1
            if time.monotonic() >= next_byte:
                next_byte += 1
                for s in sockets:
                    state = selector.get_key(s).data
                    chunk = head[state["sent"]:state["sent"] + (24 if state["sent"] == 0 else 1)]
                    try:
                        state["sent"] += s.send(chunk)
                    except OSError:
                        pass
        for s in sockets:
            s.close()

    def stop(self):
        self.stopping.set()
        self.thread.join()


def slowloris(prowlix, seconds, clients):
    monitor = Monitor(prowlix, 100, metrics=True)
    try:
        attack = Slowloris(monitor.metrics_port, clients)
        time.sleep(2)  # every slow client holds its connection
        failures, times, fds, rss = 0, [], 0, 0
        for _ in range(seconds):
            start = time.perf_counter()
            try:
                monitor.scrape()
                times.append((time.perf_counter() - start) * 1000)
            except Exception:
                failures += 1
            fds = max(fds, open_descriptors(monitor.process.pid))
            rss = max(rss, monitor.memory_mib()[1])
            time.sleep(max(0, 1 - (time.perf_counter() - start)))
        attack.stop()
    finally:
        monitor.stop()
    times.sort()
    median = f"{statistics.median(times):.2f}" if times else "-"
    print(f"slowloris, {clients} slow clients, {seconds} scrapes a second apart (100 tasks):"
          f" {failures} failed, latency median {median} ms, max"
          f" {times[-1] if times else 0:.2f} ms; slow clients cut off and back {attack.reconnects}"
          f" times; monitor at most {fds} descriptors, {rss:.1f} MiB RSS")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--prowlix", required=True)
    parser.add_argument("--only", default="latency,cpu,pss,slowloris")
    parser.add_argument("--scrapes", type=int, default=1000)
    parser.add_argument("--window", type=int, default=60, help="idle CPU window, seconds")
    parser.add_argument("--runs", type=int, default=5, help="starts per PSS figure")
    parser.add_argument("--seconds", type=int, default=60, help="slowloris scrapes")
    parser.add_argument("--slow", type=int, default=100, help="slowloris clients")
    args = parser.parse_args()
    parts = args.only.split(",")
    if "latency" in parts:
        latency(args.prowlix, args.scrapes)
    if "cpu" in parts:
        idle_cpu(args.prowlix, args.window)
    if "pss" in parts:
        pss(args.prowlix, args.runs)
    if "slowloris" in parts:
        slowloris(args.prowlix, args.seconds, args.slow)


if __name__ == "__main__":
    main()
