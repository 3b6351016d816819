"""Soak scenarios for the prowlix binary: crash loop with a mail server that never answers,
1000 tasks killed at random, the status port under many clients, a full log file system, restarts
beside a mute mail server, a daemonizing task under RESTART_LIMIT, half-closing clients and a
burst of 5,000 connections.

Each scenario runs a copy of the binary in a scratch directory of its own (its log lands there),
checks what it must and returns a row of numbers. Loopback only; every process started here is
stopped by its id, and the tmpfs mounted for the last scenario is unmounted.
"""

import argparse
import collections
import os
import random
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
import benchlib  # noqa: E402
from benchlib import SilentMailServer, free_port, pids, read_bytes, read_to_end  # noqa: E402


def probe(port, timeout=5.0):
    """'up' (exactly SERVICES UP), 'refused', 'empty' (closed or reset with nothing) or 'other:<data>'."""
    s = socket.socket()
    s.settimeout(timeout)
    try:
        s.connect(("127.0.0.1", port))
    except ConnectionRefusedError:
        s.close()
        return "refused"
    except ConnectionResetError:
        # The listener closed while the connection waited in its queue: closed with nothing.
        s.close()
        return "empty"
    except OSError as e:
        s.close()
        return "other:connect " + str(e)
    data = bytearray()
    try:
        read_to_end(s, data)
    except ConnectionResetError:
        pass
    except socket.timeout:
        return "other:timeout after %r" % bytes(data)
    finally:
        s.close()
    if data == b"SERVICES UP":
        return "up"
    if data == b"":
        return "empty"
    return "other:%r" % bytes(data)


class Monitor(benchlib.ScratchMonitor):
    """A copy of the binary in a scratch directory, run headless with an INI file."""

    def __init__(self, binary, workdir, ini_text, name):
        super().__init__(binary, os.path.join(workdir, name), ini_text, "soak.ini")

    def start(self):
        super().start(stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def rss_kib(self):
        with open("/proc/%d/status" % self.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def fds(self):
        return benchlib.open_descriptors(self.pid)

    def children(self):
        return benchlib.children(self.pid)

    def stop(self):
        """SIGTERM; seconds until the process ended (None if it had to be killed)."""
        if self.proc.poll() is not None:
            return 0.0
        left = self.children()
        start = time.monotonic()
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=10)
            return time.monotonic() - start
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None
        finally:
            self.reap_tasks(left)

    def cleanup(self):
        """Whatever happened: the monitor and the tasks it left behind end."""
        if self.proc is not None and self.proc.poll() is None:
            left = self.children()
            self.proc.kill()
            self.proc.wait()
            self.reap_tasks(left)

    def reap_tasks(self, pids):
        # Tasks outlive the monitor in their own sessions: stop the ones it left behind.
        benchlib.kill_all(pids)


def sampler(monitor, seconds, every=1.0, probe_port=None):
    """Samples RSS and descriptors (and probes the port) once per interval for the duration."""
    samples, probes = [], collections.Counter()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        samples.append((monitor.rss_kib(), monitor.fds()))
        if probe_port:
            stop = time.monotonic() + every
            while time.monotonic() < stop:
                probes[probe(probe_port, 2.0)] += 1
                time.sleep(0.02)
        else:
            time.sleep(every)
    return samples, probes


def growth(samples, settle=3):
    """Growth of RSS (KiB) and descriptors from the first settled sample to the maximum after it."""
    tail = samples[settle:] if len(samples) > settle + 1 else samples
    return (max(s[0] for s in tail) - tail[0][0], max(s[1] for s in tail) - tail[0][1])


def lines_ok(log):
    """Every line is one event: a time stamp, ' - ', and the text."""
    stamp = re.compile(r"\d:\d\d - ")
    return [l for l in log.split("\r\n")
            if l and (not re.match(r"^\S.* - [A-Za-z]", l) or len(stamp.findall(l)) != 1)]


def scenario_crashloop(binary, workdir, seconds):
    mail = SilentMailServer()
    port = free_port()
    ini = ("START=/bin/false,crash,,True\nSMTP_SERVER=127.0.0.1\nSMTP_TO=ops@example.org\n"
           "SMTP_PORT=%d\nSMTP_TIMEOUT=1\nport=%d\n" % (mail.port, port))
    m = Monitor(binary, workdir, ini, "crashloop")
    m.start()
    try:
        # A task that cannot stay up keeps the port closed: "STATUS PORT CLOSED (" ends start-up.
        assert m.wait_log("PORT"), "monitor did not start"
        samples, probes = sampler(m, seconds, probe_port=port)
        # Stop while an alert is waiting for the silent server.
        stop_seconds = m.stop()
    finally:
        m.cleanup()
        mail.stop()
    log = m.log()
    failures = log.count(" - TASK FAILURE: crash (")
    restarts = log.count(" - RE-START: '/bin/false'") + log.count(" - ERROR: Unable to restart '")
    alerts = log.count(" - EMAIL ALERT: ")
    rss, fds = growth(samples)
    stopped = log.rstrip("\r\n").split("\r\n")[-1].find(" - SYSTEM STOPPED (") >= 0
    ok = (restarts >= failures - 1 and failures > 0 and stopped and stop_seconds is not None
          and stop_seconds < 1.0 and fds <= 0 and not lines_ok(log)
          and not any(k.startswith("other") for k in probes))
    return {
        "scenario": "crash loop, silent mail server (SMTP_TIMEOUT=1)",
        "result": "pass" if ok else "FAIL",
        "numbers": "%d failures, %d restarts, %d alerts (all %s); probes: %s; RSS growth %d KiB, "
                   "fd growth %d; SIGTERM to exit %s s, SYSTEM STOPPED %s" % (
                       failures, restarts, alerts,
                       "failed" if log.count("EMAIL ALERT: failed") == alerts else "MIXED",
                       dict(probes), rss, fds,
                       "%.2f" % stop_seconds if stop_seconds is not None else "never",
                       "written" if stopped else "MISSING"),
    }


def scenario_many(binary, workdir, seconds, tasks=1000, per_second=10):
    port = free_port()
    lines = ["port=%d" % port]
    for i in range(tasks):
        # A distinct argument names the task in the process's command line.
        lines.append("START=/bin/sleep %d,t%04d,,True" % (3600 + i, i))
    m = Monitor(binary, workdir, "\n".join(lines) + "\n", "many")
    m.start()
    kills = collections.Counter()
    try:
        assert m.wait_log("PORT: ", deadline=120), "monitor did not start"
        start = time.monotonic()
        rnd = random.Random(7)
        while time.monotonic() - start < seconds:
            tick = time.monotonic()
            children = m.children()
            for pid in rnd.sample(children, min(per_second, len(children))):
                try:
                    argv = read_bytes("/proc/%d/cmdline" % pid).split(b"\0")
                    task = "t%04d" % (int(argv[1]) - 3600)
                    os.kill(pid, signal.SIGKILL)
                    kills[task] += 1
                except (OSError, ValueError, IndexError):
                    pass
            time.sleep(max(0.0, 1.0 - (time.monotonic() - tick)))
        # Every death is reported once; give the last ones a moment to be noticed.
        total = sum(kills.values())
        m.wait_log(" - TASK FAILURE: ", deadline=10, count=total)
        time.sleep(0.5)
        children = m.children()
        stop_seconds = m.stop()
    finally:
        m.cleanup()
    log = m.log()
    reported = collections.Counter(re.findall(r" - TASK FAILURE: (t\d{4}) \(", log))
    missed = sum(max(0, kills[t] - reported[t]) for t in kills)
    twice = sum(max(0, reported[t] - kills[t]) for t in reported)
    ok = missed == 0 and twice == 0 and not lines_ok(log) and stop_seconds is not None
    return {
        "scenario": "%d tasks, %d killed at random per second" % (tasks, per_second),
        "result": "pass" if ok else "FAIL",
        "numbers": "%d kills, %d failures reported, %d missed, %d reported twice; %d tasks "
                   "running at stop; SIGTERM to exit %s s" % (
                       sum(kills.values()), sum(reported.values()), missed, twice, len(children),
                       "%.2f" % stop_seconds if stop_seconds is not None else "never"),
    }


def scenario_port(binary, workdir, seconds, clients=50, connections=20000):
    port = free_port()
    ini = ("port=%d\nSTART=/bin/sleep 3600,steady,,True\nSTART=/bin/sleep 0.3,flaky,,True\n" % port)
    m = Monitor(binary, workdir, ini, "port")
    m.start()
    outcomes = collections.Counter()
    examples = []
    lock = threading.Lock()
    left = [connections]
    end = time.monotonic() + max(seconds, 5)
    try:
        assert m.wait_log("PORT: "), "monitor did not start"
        time.sleep(1)
        idle_fds = m.fds()

        def client():
            while True:
                with lock:
                    if left[0] == 0 or time.monotonic() > end:
                        return
                    left[0] -= 1
                result = probe(port, 5.0)
                with lock:
                    outcomes[result if not result.startswith("other") else "other"] += 1
                    if result.startswith("other") and len(examples) < 3:
                        examples.append(result)

        start = time.monotonic()
        threads = [threading.Thread(target=client) for _ in range(clients)]
        for t in threads:
            t.start()
        peak = idle_fds
        while any(t.is_alive() for t in threads):
            peak = max(peak, m.fds())
            time.sleep(0.1)
        elapsed = time.monotonic() - start
        # Descriptors of answered connections go once their close completes.
        settle = time.monotonic() + 5
        while m.fds() > idle_fds and time.monotonic() < settle:
            time.sleep(0.1)
        after_fds = m.fds()
        failures = m.log().count(" - TASK FAILURE: flaky (")
        stop_seconds = m.stop()
    finally:
        m.cleanup()
    done = sum(outcomes.values())
    ok = outcomes["other"] == 0 and after_fds <= idle_fds and stop_seconds is not None
    return {
        "scenario": "status port, %d clients, %d connections, task failing every 0.3 s" % (clients, connections),
        "result": "pass" if ok else "FAIL",
        "numbers": "%d connections in %.1f s: %d SERVICES UP, %d refused, %d closed with nothing, "
                   "%d anything else; %d task failures meanwhile; fds idle %d, peak %d, after %d" % (
                       done, elapsed, outcomes["up"], outcomes["refused"], outcomes["empty"],
                       outcomes["other"], failures, idle_fds, peak, after_fds)
                   + ("; e.g. " + ", ".join(examples) if examples else ""),
    }


def scenario_fullfs(binary, workdir, seconds):
    mnt = os.path.join(workdir, "fullfs")
    os.makedirs(mnt, exist_ok=True)
    size_kib = os.path.getsize(binary) // 1024 + 1024
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dk" % size_kib, "tmpfs", mnt])
    if r.returncode != 0:
        return {"scenario": "log on a full file system", "result": "skipped",
                "numbers": "mounting a tmpfs was not permitted"}
    port = free_port()
    ini = "port=%d\nSTART=/bin/sleep 0.2,blink,,True\nSTART=/bin/sleep 0.2,blank,,True\n" % port
    m = None
    try:
        m = Monitor(binary, mnt, ini, "log")
        m.start()
        assert m.wait_log("PORT: "), "monitor did not start"
        assert m.wait_log("TASK FAILURE: blink", count=3)
        filler = os.path.join(mnt, "filler")
        fd = os.open(filler, os.O_WRONLY | os.O_CREAT | os.O_APPEND)
        # Down to the last byte, so that not even a short line fits in a fresh page.
        for chunk in (65536, 4096, 512, 64, 1):
            try:
                while True:
                    os.write(fd, b"\0" * chunk)
            except OSError:
                pass
        os.close(fd)
        # The log's last page may still take some lines: wait until the file system refuses them.
        settle = time.monotonic() + 30
        size, still = len(m.log()), time.monotonic()
        while time.monotonic() < settle and time.monotonic() - still < 2.0:
            time.sleep(0.1)
            if len(m.log()) != size:
                size, still = len(m.log()), time.monotonic()
        before = len(m.log())
        pids_before = set(m.children())
        probes = collections.Counter()
        end = time.monotonic() + seconds
        restarts_seen = set()
        while time.monotonic() < end:
            probes[probe(port, 2.0).split(":")[0]] += 1
            restarts_seen.update(m.children())
            time.sleep(0.05)
        alive = m.proc.poll() is None
        during = len(m.log()) - before
        os.remove(filler)
        resumed = m.wait_log("TASK FAILURE: blink", deadline=10,
                             count=m.log().count("TASK FAILURE: blink") + 3)
        left = m.children()
        stop_seconds = m.stop()
        m.reap_tasks(left)
        log = m.log()
        bad = lines_ok(log)
        stderr = m.proc.stderr.read().decode("utf-8", "replace")
        ok = (alive and during == 0 and resumed and not bad and probes["other"] == 0
              and len(restarts_seen - pids_before) > 3 and stop_seconds is not None
              and " - SYSTEM STOPPED (" in log)
        return {
            "scenario": "log directory on a full tmpfs for the run, then space returns",
            "result": "pass" if ok else "FAIL",
            "numbers": "monitor %s while full; %d bytes logged while full; %d task processes "
                       "started while full; probes %s; logging resumed: %s; malformed lines: %d; "
                       "warnings on stderr: %d" % (
                           "alive" if alive else "DEAD", during, len(restarts_seen - pids_before),
                           dict(probes), "yes" if resumed else "NO", len(bad),
                           stderr.count("cannot write the log file")),
        }
    finally:
        if m is not None:
            m.cleanup()
        for _ in range(50):
            if subprocess.run(["umount", mnt], stderr=subprocess.DEVNULL).returncode == 0:
                break
            time.sleep(0.1)
        else:
            subprocess.run(["umount", "-l", mnt])


def restart_gaps(m, seconds, kill_at=None, marker="3600"):
    """Polls the monitor's children every 2 ms for the duration. Returns the gaps in ms between a
    task's process ending (or being killed here at kill_at seconds) and its replacement running,
    per task command-line marker, and the number of polls."""
    gaps = collections.defaultdict(list)
    def running():
        found = {}
        for pid in m.children():
            argv = read_bytes("/proc/%d/cmdline" % pid).split(b"\0")
            # A child not yet exec'd still shows the monitor's command line: not a task yet.
            if argv[0] == b"/bin/sleep" and len(argv) > 1:
                found[pid] = argv[1].decode()
        return found
    start = time.monotonic()
    known = running()
    lost = {}  # task marker -> when its process was found gone
    killed = False
    while time.monotonic() - start < seconds:
        if kill_at is not None and not killed and time.monotonic() - start >= kill_at:
            for pid, arg in known.items():
                if arg == marker:
                    os.kill(pid, signal.SIGKILL)
                    lost[arg] = time.monotonic()
            killed = True
        now_running = running()
        t = time.monotonic()
        for pid, arg in known.items():
            if pid not in now_running and arg not in lost:
                lost[arg] = t
        for pid, arg in now_running.items():
            if pid not in known and arg in lost:
                gaps[arg].append((t - lost.pop(arg)) * 1000)
        known = now_running
        time.sleep(0.002)
    return gaps, lost


def scenario_mutemail(binary, workdir, seconds):
    """One task ends every 2 s, another is killed once, the mail server never answers: every
    restart must come within 200 ms."""
    mail = SilentMailServer()
    port = free_port()
    ini = ("START=/bin/sleep 2,every2s,,True\nSTART=/bin/sleep 3600,once,,True\n"
           "SMTP_SERVER=127.0.0.1\nSMTP_TO=ops@example.org\nSMTP_PORT=%d\nSMTP_TIMEOUT=30\n"
           "port=%d\n" % (mail.port, port))
    m = Monitor(binary, workdir, ini, "mutemail")
    m.start()
    try:
        assert m.wait_log("PORT: "), "monitor did not start"
        fds0 = m.fds()
        gaps, pending = restart_gaps(m, max(seconds, 12), kill_at=5.0)
        fds1 = m.fds()
        stop_seconds = m.stop()
    finally:
        m.cleanup()
        mail.stop()
    log = m.log()
    every = gaps.get("2", [])
    once = gaps.get("3600", [])
    worst = max(every + once) if every + once else float("inf")
    stopped = " - SYSTEM STOPPED (" in log
    ok = (len(every) >= max(seconds, 12) // 2 - 2 and len(once) == 1 and worst <= 200 and not pending
          and stopped and stop_seconds is not None and stop_seconds < 1.0)
    return {
        "scenario": "mute mail server (SMTP_TIMEOUT=30): a task ending every 2 s beside one killed once",
        "result": "pass" if ok else "FAIL",
        "numbers": "%d restarts of the 2 s task, %d of the killed one, slowest %.0f ms (limit 200); "
                   "%d still waiting at the end; fds %d -> %d; SIGTERM to exit %s s, SYSTEM STOPPED %s" % (
                       len(every), len(once), worst if worst != float("inf") else -1, len(pending),
                       fds0, fds1, "%.2f" % stop_seconds if stop_seconds is not None else "never",
                       "written" if stopped else "MISSING"),
    }


def stray_copies(marker):
    """Processes anywhere on the system whose command line is /bin/sleep <marker>."""
    wanted = b"/bin/sleep\0" + marker.encode() + b"\0"
    return [pid for pid in pids() if read_bytes("/proc/%d/cmdline" % pid) == wanted]


def scenario_daemon(binary, workdir, seconds, limit=5):
    """A task that forks and exits at once (setsid -f), with automatic restart and RESTART_LIMIT."""
    marker = str(3000 + os.getpid() % 500)
    port = free_port()
    ini = ("START=setsid -f /bin/sleep %s,daemon,,True\nRESTART_LIMIT=%d,60\nport=%d\n"
           % (marker, limit, port))
    m = Monitor(binary, workdir, ini, "daemon")
    m.start()
    try:
        # A task that cannot stay up keeps the port closed: "STATUS PORT CLOSED (" ends start-up.
        assert m.wait_log("PORT"), "monitor did not start"
        m.wait_log("RESTART LIMIT: daemon", deadline=10)
        time.sleep(max(seconds, 5))
        copies = len(stray_copies(marker))
        answer = probe(port)
        stop_seconds = m.stop()
    finally:
        m.cleanup()
        benchlib.kill_all(stray_copies(marker))
    log = m.log()
    failures = log.count(" - TASK FAILURE: daemon (")
    limited = log.count(" - RESTART LIMIT: daemon (setsid -f /bin/sleep %s)" % marker)
    ok = limited == 1 and failures == limit + 1 and copies == limit + 1 and answer == "refused" \
        and stop_seconds is not None
    return {
        "scenario": "daemonizing task (setsid -f), automatic restart, RESTART_LIMIT=%d,60" % limit,
        "result": "pass" if ok else "FAIL",
        "numbers": "%d failures, %d RESTART LIMIT events, %d live copies after %d s; status port %s; "
                   "SIGTERM to exit %s s" % (failures, limited, copies, max(seconds, 5), answer,
                                            "%.2f" % stop_seconds if stop_seconds is not None else "never"),
    }


def steady_monitor(binary, workdir, name):
    """A monitor started with one task that stays up and the status port; (monitor, port)."""
    port = free_port()
    m = Monitor(binary, workdir, "port=%d\nSTART=/bin/sleep 3600,steady,,True\n" % port, name)
    m.start()
    return m, port


def scenario_halfclose(binary, workdir, seconds, clients=1000):
    """Clients that shut their sending side before reading."""
    m, port = steady_monitor(binary, workdir, "halfclose")
    outcomes = collections.Counter()
    try:
        assert m.wait_log("PORT: "), "monitor did not start"
        start = time.monotonic()
        for _ in range(clients):
            s = socket.create_connection(("127.0.0.1", port), timeout=5)
            s.shutdown(socket.SHUT_WR)
            data = bytearray()
            try:
                read_to_end(s, data)
            except OSError as e:
                data += b"<%s>" % str(e).encode()
            s.close()
            outcomes["up" if data == b"SERVICES UP" else "empty" if not data else "other"] += 1
        elapsed = time.monotonic() - start
        stop_seconds = m.stop()
    finally:
        m.cleanup()
    ok = outcomes["up"] == clients and stop_seconds is not None
    return {
        "scenario": "%d clients that half-close before reading" % clients,
        "result": "pass" if ok else "FAIL",
        "numbers": "%d SERVICES UP, %d closed with nothing, %d anything else, in %.1f s" % (
            outcomes["up"], outcomes["empty"], outcomes["other"], elapsed),
    }


def scenario_burst(binary, workdir, seconds, clients=5000, deadline=20.0):
    """Thousands of connections opened at once; each must be answered or refused, none left hanging."""
    import resource
    import selectors
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, max(soft, clients + 1000)), hard))
    m, port = steady_monitor(binary, workdir, "burst")
    outcomes = collections.Counter()
    try:
        assert m.wait_log("PORT: "), "monitor did not start"
        sel = selectors.DefaultSelector()
        start = time.monotonic()
        for _ in range(clients):
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", port))
            sel.register(s, selectors.EVENT_READ, bytearray())
        last = start
        while sel.get_map() and time.monotonic() - start < deadline:
            for key, _ in sel.select(timeout=0.5):
                s, data = key.fileobj, key.data
                try:
                    chunk = s.recv(64)
                except ConnectionRefusedError:
                    chunk, data[:] = b"", b"<refused>"
                except OSError:
                    chunk, data[:] = b"", b"<reset>"
                if chunk:
                    data += chunk
                    continue
                outcomes["up" if data == b"SERVICES UP" else "refused" if data == b"<refused>"
                         else "empty"] += 1
                sel.unregister(s)
                s.close()
                last = time.monotonic()
        hanging = len(sel.get_map())
        for key in list(sel.get_map().values()):
            key.fileobj.close()
        elapsed = last - start
        stop_seconds = m.stop()
    finally:
        m.cleanup()
    ok = hanging == 0 and outcomes["empty"] == 0 and stop_seconds is not None
    return {
        "scenario": "%d connections opened at once" % clients,
        "result": "pass" if ok else "FAIL",
        "numbers": "%d SERVICES UP, %d refused, %d closed with nothing, %d unanswered after %.0f s; "
                   "last answer after %.1f s" % (outcomes["up"], outcomes["refused"], outcomes["empty"],
                                                  hanging, deadline, elapsed),
    }


def write_report(path, rows, command):
    table = ["## Soak", "",
             "Written by `%s`; each scenario runs the real binary headless from a scratch directory "
             "of its own, on loopback." % command, "",
             "| Scenario | Result | Numbers |", "| --- | --- | --- |"]
    for r in rows:
        table.append("| %s | %s | %s |" % (r["scenario"], r["result"], r["numbers"].replace("|", "/")))
    table += [
        "",
        "Reading the numbers:",
        "- The crash loop's few \"SERVICES UP\" probes fall in its first tick: start-up opens the "
        "status port once all tasks are started, and the first tick finds `/bin/false` gone. After a "
        "restart the port stays closed until the new process has run for one tick interval, so a "
        "task that keeps ending at once never opens it again.",
        "- \"Closed with nothing\" counts connections that the monitor accepted and then closed "
        "without the text (a newer request took the answering socket) or reset because the listener "
        "closed while they waited in its queue.",
        "- The mute mail server scenario measures, polling every 2 ms, how long each task stays "
        "without a process after it ended; it passes only while restarts do not wait for the "
        "alert's dialogue.",
        "- The daemonizing task leaves one live copy per start; RESTART_LIMIT stops the count at "
        "its limit plus one and holds the task down with the status port closed.",
        "- On the full file system the log drops whole lines (no line was found cut), supervision and "
        "the status port go on, stderr gets one warning per run of failed writes, and lines are "
        "written again once there is space.",
    ]
    section = "\n".join(table) + "\n"
    text = open(path).read() if os.path.exists(path) else "# Benchmark report\n"
    start = text.find("\n## Soak\n")
    if start < 0:
        text = text.rstrip("\n") + "\n\n" + section
    else:
        nxt = text.find("\n## ", start + 1)
        text = text[:start + 1] + section + (text[nxt:] if nxt >= 0 else "")
    with open(path, "w") as f:
        f.write(text)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--binary", required=True)
    ap.add_argument("--seconds", type=int, default=60)
    ap.add_argument("--only", default="crashloop,many,port,fullfs,mutemail,daemon,halfclose,burst")
    ap.add_argument("--report")
    ap.add_argument("--command", default="bench/soak/run.sh")
    args = ap.parse_args()
    connections = 20000 if args.seconds >= 60 else 4000
    scenarios = {
        "crashloop": lambda w: scenario_crashloop(args.binary, w, args.seconds),
        "many": lambda w: scenario_many(args.binary, w, args.seconds),
        "port": lambda w: scenario_port(args.binary, w, args.seconds, connections=connections),
        "fullfs": lambda w: scenario_fullfs(args.binary, w, args.seconds),
        "mutemail": lambda w: scenario_mutemail(args.binary, w, args.seconds),
        "daemon": lambda w: scenario_daemon(args.binary, w, args.seconds),
        "halfclose": lambda w: scenario_halfclose(args.binary, w, args.seconds),
        "burst": lambda w: scenario_burst(args.binary, w, args.seconds),
    }
    rows = []
    with tempfile.TemporaryDirectory(prefix="prowlix-soak-") as work:
        for name in args.only.split(","):
            print("== %s" % name, flush=True)
            try:
                row = scenarios[name](work)
            except AssertionError as e:
                row = {"scenario": name, "result": "FAIL", "numbers": str(e)}
            print("   %s: %s" % (row["result"], row["numbers"]), flush=True)
            rows.append(row)
    if args.report:
        write_report(args.report, rows, args.command)
    return 0 if all(r["result"] != "FAIL" for r in rows) else 1


if __name__ == "__main__":
    raise SystemExit(main())
