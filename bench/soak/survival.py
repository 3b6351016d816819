"""A monitor that is killed and started again: the soak scenario and the benchmarks of adoption.

soak:     100 tasks (10 crash-looping, restarted at once), the monitor SIGKILLed every 5 s and
          started again at once; every 100 ms each task's processes are counted (never more than
          one), and at the end there must be exactly 100 task processes and a TASK FAILURE line
          for every task process that ended.
ready:    the time from exec to READY=1 of a monitor that adopts 1,000 running tasks.
wakeups:  context switches of an idle monitor with 10 tasks over a minute, with
          WATCHDOG_USEC=30000000 and without.

    python3 bench/soak/survival.py --binary build/app/prowlix [--seconds 120] [--only soak,ready,wakeups]

Every process started here is stopped by its id (tasks are found by their unique arguments).
"""

import argparse
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from benchlib import (ScratchMonitor, command_line, command_lines, context_switches,  # noqa: E402
                      free_port, kill_all, stat_fields)


def parent_of(pid):
    fields = stat_fields(pid)
    return int(fields[1]) if len(fields) > 1 else None


def start_time(pid):
    fields = stat_fields(pid)
    return fields[19] if len(fields) > 19 else None


class Monitor(ScratchMonitor):
    def __init__(self, binary, lines, watchdog_usec=None):
        super().__init__(binary, tempfile.mkdtemp(prefix="prowlix-survival-"), "\n".join(lines) + "\n",
                         "tasks.ini")
        self.notify = os.path.join(self.dir, "notify")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.notify)
        self.env["PROWLIX_RUNTIME_DIR"] = os.path.join(self.dir, "run")
        self.env["NOTIFY_SOCKET"] = self.notify
        if watchdog_usec:
            self.env["WATCHDOG_USEC"] = str(watchdog_usec)

    def start(self):
        """Starts the monitor; returns seconds from exec to READY=1."""
        t0 = time.monotonic()
        super().start(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.sock.settimeout(30)
        while True:
            try:
                data = self.sock.recv(256)
            except TimeoutError:
                raise RuntimeError("no READY=1 in 30 s; exit status %s; log ends:\n%s" % (
                    self.proc.poll(), self.log()[-1500:]))
            if data == b"READY=1":
                return time.monotonic() - t0

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait()

    def state_tasks(self):
        import json
        run = os.path.join(self.dir, "run")
        for name in os.listdir(run) if os.path.isdir(run) else []:
            if name.endswith(".state"):
                try:
                    with open(os.path.join(run, name)) as f:
                        return len(json.load(f)["tasks"])
                except (OSError, ValueError):
                    return 0
        return 0

    def close(self, marker):
        if self.proc and self.proc.poll() is None:
            self.kill()
        kill_all(pid for pid, line in command_lines().items() if marker in line)
        self.sock.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def soak(binary, seconds):
    marker = "9100."
    stable = [f"sleep {marker}{i:03d}" for i in range(90)]
    crashing = [f"sh -c 'sleep 1 && false' crash{marker}{i:03d}" for i in range(10)]
    lines = [f"START={c},S{i},,True" for i, c in enumerate(stable)]
    lines += [f"START={c},C{i},,True" for i, c in enumerate(crashing)]
    lines.append(f"port={free_port()}")
    # What the sampler sees of a crashing task's command (sh drops the quotes).
    seen_as = {c: c.replace("'", "") for c in stable + crashing}
    m = Monitor(binary, lines)
    worst = 0
    samples = 0
    ended = {c: set() for c in crashing}  # (pid, start time) of every crashing process seen
    live = {}
    restarts = 0
    doubles = []
    try:
        m.start()
        deadline = time.monotonic() + seconds
        next_kill = time.monotonic() + 5
        while time.monotonic() < deadline:
            procs = command_lines()
            current = {}
            by_task = {c: [] for c in seen_as}
            for pid, line in procs.items():
                for c, text in seen_as.items():
                    # A task's own fork shows its command until it execs (sh before sleep): one
                    # task, not two.
                    if line == text and procs.get(parent_of(pid)) != text:
                        started = start_time(pid)
                        if started is not None:  # else it ended during the scan
                            current[(pid, started)] = c
                            by_task[c].append((pid, started))
            # A scan is not a snapshot: a task restarted while /proc was read shows its ended
            # process and its new one. Two count only if both still run after the scan.
            for c, keys in by_task.items():
                if len(keys) > 1:
                    alive = [k for k in keys if start_time(k[0]) == k[1]
                             and command_line(k[0]) == seen_as[c]]
                    worst = max(worst, len(alive))
                    if len(alive) > 1:
                        doubles.append((c, alive))
                elif keys:
                    worst = max(worst, 1)
            samples += 1
            for key, c in live.items():
                if key not in current and c in ended:
                    ended[c].add(key)
            live = current
            if time.monotonic() >= next_kill:
                m.kill()
                m.start()
                restarts += 1
                next_kill = time.monotonic() + 5
            time.sleep(0.1)
        # At the end: exactly one process per task, once the crash loops are between two lives.
        final = 0
        until = time.monotonic() + 10
        while time.monotonic() < until:
            procs = command_lines().values()
            final = sum(1 for line in procs for text in seen_as.values() if line == text)
            if final == 100:
                break
            time.sleep(0.05)
        log = m.log()
        missing = 0
        for i, c in enumerate(crashing):
            failures = log.count(f"TASK FAILURE: C{i} (")
            missing += max(0, len(ended[c]) - failures)
        stable_failures = sum(log.count(f"TASK FAILURE: S{i} (") for i in range(len(stable)))
        ends = sum(len(v) for v in ended.values())
        return {"restarts": restarts, "samples": samples, "worst": worst, "final": final,
                "ends": ends, "missing": missing, "stable_failures": stable_failures,
                "adopt": log.count("ADOPT: "), "doubles": doubles[:5]}
    finally:
        m.close(marker)


def ready(binary, rounds=5):
    marker = "9200."
    lines = [f"START=sleep {marker}{i:04d},T{i},,True" for i in range(1000)] + [f"port={free_port()}"]
    m = Monitor(binary, lines)
    try:
        fresh = m.start()
        deadline = time.monotonic() + 30
        while m.state_tasks() < 1000 and time.monotonic() < deadline:
            time.sleep(0.05)
        times = []
        for _ in range(rounds):
            m.kill()
            times.append(m.start())
        log = m.log()
        return {"fresh_ms": fresh * 1000, "adopt_ms": statistics.median(times) * 1000,
                "adopt_max_ms": max(times) * 1000, "adopted": log.count("ADOPT: "),
                "started": log.count("START: "), "rounds": rounds}
    finally:
        m.close(marker)


def wakeups(binary, seconds=60):
    out = {}
    for usec in (30000000, None):
        marker = "9300."
        lines = [f"START=sleep {marker}{i},T{i},,True" for i in range(10)] + [f"port={free_port()}"]
        m = Monitor(binary, lines, usec)
        try:
            m.start()
            time.sleep(2)  # past start-up and the first tick intervals
            before = context_switches(m.proc.pid)
            time.sleep(seconds)
            out["watchdog" if usec else "plain"] = (context_switches(m.proc.pid) - before) * 60 / seconds
        finally:
            m.close(marker)
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--seconds", type=int, default=120)
    parser.add_argument("--only", default="soak,ready,wakeups")
    args = parser.parse_args()
    only = args.only.split(",")
    if "ready" in only:
        print("ready", ready(args.binary), flush=True)
    if "wakeups" in only:
        print("wakeups per minute", wakeups(args.binary), flush=True)
    if "soak" in only:
        print("soak", soak(args.binary, args.seconds), flush=True)


if __name__ == "__main__":
    main()
