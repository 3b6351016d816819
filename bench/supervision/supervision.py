#!/usr/bin/python3
"""Supervision benchmark: Prowlix side by side with supervisord, monit, runit and s6.

Every supervisor looks after the same children ("sleep 3600") and is measured the same way:
restart latency (SIGKILL of a child until its replacement runs), for Prowlix also the time until
"TASK FAILURE: " is in the log, idle CPU and proportional set size with 100 tasks, and the time
from exec until all 100 tasks run. Normally started by run.sh, which fetches the supervisors.

Each supervisor runs under a small keeper process (a child subreaper started by this program), so
that processes a supervisor orphans stay reachable, zombies are reaped at once, and stopping a
supervisor kills exactly its own process tree, by process id.
"""

import argparse
import ctypes
import datetime
import errno
import os
import platform
import random
import select
import signal
import socket
import statistics
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from benchlib import (SilentMailServer, children, context_switches, cpu_sched_ms,  # noqa: E402
                      cpu_ticks_ms, free_port, kill_all, log_files, memory_kib, pids, read_bytes,
                      scratch_copy, stat_fields)

TASK_CMDLINE = b"sleep\x003600\x00"
PR_SET_CHILD_SUBREAPER = 36


# ---------------------------------------------------------------------------------------------
# /proc helpers. A process that vanished between listing and reading simply reads as empty.

def is_task(pid):
    return read_bytes(f"/proc/{pid}/cmdline") == TASK_CMDLINE


def parent_of(pid):
    fields = stat_fields(pid)
    return int(fields[1]) if len(fields) > 1 else 0


def descendants(root, known_tasks=()):
    """All processes below root. Known tasks are not descended into (a sleep has no children)."""
    found, todo = [], [root]
    while todo:
        for child in children(todo.pop()):
            found.append(child)
            if child not in known_tasks:
                todo.append(child)
    return found


def cpu_time(pid):
    """(ms from utime+stime in clock ticks, ms from the scheduler's nanosecond account)."""
    return cpu_ticks_ms(pid), cpu_sched_ms(pid)


def now_ms():
    return time.monotonic_ns() / 1e6


# ---------------------------------------------------------------------------------------------
# The keeper: child subreaper around one supervisor.

def kill_tree(root):
    for _ in range(200):
        found = descendants(root)
        if not found:
            return
        kill_all(found)
        try:
            while os.waitpid(-1, os.WNOHANG)[0] > 0:
                pass
        except ChildProcessError:
            pass
        time.sleep(0.01)


def keeper_main(fd, argv):
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        sys.exit("keeper: cannot become a child subreaper")
    signal.signal(signal.SIGTERM, lambda *_: kill_tree(os.getpid()))
    pid = os.fork()
    if pid == 0:
        for sig in (signal.SIGTERM, signal.SIGPIPE, signal.SIGXFSZ):
            signal.signal(sig, signal.SIG_DFL)
        # The exec time is taken here, in the same monotonic clock the harness reads.
        os.write(fd, f"{os.getpid()} {time.monotonic_ns()}\n".encode())
        os.close(fd)
        try:
            os.execvp(argv[0], argv)
        except OSError as e:
            os.write(2, f"keeper: cannot run {argv[0]}: {e}\n".encode())
            os._exit(127)
    os.close(fd)
    while True:
        try:
            os.wait()
        except ChildProcessError:
            return


# ---------------------------------------------------------------------------------------------
# Supervisors under test: each writes its scratch configuration and names its command line.

class Instance:
    def __init__(self, kind, label, workdir, ntasks, tools, env_extra=None):
        self.kind, self.label, self.ntasks, self.tools = kind, label, ntasks, tools
        self.mail_port = None
        self.dir = workdir
        os.makedirs(self.dir)
        self.env = dict(os.environ)
        self.env["PATH"] = f"{tools['bin']}:/usr/local/bin:/usr/bin:/bin"
        extra = dict(env_extra or {})
        self.mail_port = extra.pop("mute_mail_port", None)
        self.env.update(extra)
        self.argv = getattr(self, "setup_" + kind)()
        self.keeper = self.root = None
        self.known_tasks = set()

    def setup_supervisord(self):
        conf = os.path.join(self.dir, "supervisord.conf")
        with open(conf, "w") as f:
            f.write(f"[supervisord]\nnodaemon=true\nuser=root\nlogfile={self.dir}/supervisord.log\n"
                    f"pidfile={self.dir}/supervisord.pid\nchildlogdir={self.dir}\n")
            for i in range(1, self.ntasks + 1):
                f.write(f"\n[program:t{i}]\ncommand=sleep 3600\nautorestart=true\n"
                        "stdout_logfile=NONE\nstderr_logfile=NONE\n")
        self.env["PYTHONPATH"] = self.tools["python"]
        return ["/usr/bin/python3", "-m", "supervisor.supervisord", "-c", conf]

    def setup_monit(self):
        rc = os.path.join(self.dir, "monitrc")
        with open(rc, "w") as f:
            f.write(f"set daemon 1\nset logfile {self.dir}/monit.log\nset pidfile {self.dir}/monit.pid\n"
                    f"set idfile {self.dir}/monit.id\nset statefile {self.dir}/monit.state\n")
            # monit follows processes through pid files and expects its start program to return,
            # so the shell starts the task in the background and writes its pid file.
            for i in range(1, self.ntasks + 1):
                pid = f"{self.dir}/t{i}.pid"
                f.write(f"\ncheck process t{i} with pidfile {pid}\n"
                        f"  start program = \"/bin/sh -c 'sleep 3600 </dev/null >/dev/null 2>&1 & "
                        f"echo $! > {pid}'\"\n")
        os.chmod(rc, 0o600)
        return [os.path.join(self.tools["bin"], "monit"), "-I", "-c", rc]

    def service_dirs(self, run_script, extra=None):
        scan = os.path.join(self.dir, "service")
        for i in range(1, self.ntasks + 1):
            sv = os.path.join(scan, f"t{i}")
            os.makedirs(sv)
            with open(os.path.join(sv, "run"), "w") as f:
                f.write(run_script)
            os.chmod(os.path.join(sv, "run"), 0o755)
            for name, text in (extra or {}).items():
                with open(os.path.join(sv, name), "w") as f:
                    f.write(text)
        # runsvdir ignores a directory changed within the current second until that second has
        # passed; service directories normally exist long before the supervisor starts.
        past = time.time() - 10
        os.utime(scan, (past, past))
        return scan

    def setup_runit(self):
        scan = self.service_dirs("#!/bin/sh\nexec sleep 3600\n")
        return [os.path.join(self.tools["bin"], "runsvdir"), scan]

    def setup_s6(self):
        # Readiness notification on: the run script reports ready on fd 3, then becomes the task.
        scan = self.service_dirs("#!/bin/sh\necho >&3\nexec sleep 3600 3>&-\n",
                                 {"notification-fd": "3\n"})
        return ["s6-svscan", scan]

    def setup_prowlix(self):
        text = f"port={free_port()}\n"
        if self.mail_port:
            text += (f"SMTP_SERVER=127.0.0.1\nSMTP_TO=ops@example.org\nSMTP_PORT={self.mail_port}\n"
                     "SMTP_TIMEOUT=3\n")
        text += "".join(f"START=sleep 3600,t{i},,True\n" for i in range(1, self.ntasks + 1))
        exe, ini = scratch_copy(self.tools["prowlix"], self.dir, "bench.ini", text)
        return [exe, "/NOGUI", "/I:" + ini]

    def log_file(self):
        names = log_files(self.dir)
        return names[-1] if names else None

    def start(self):
        """Starts the supervisor; returns the monotonic exec time in ms."""
        r, w = os.pipe()
        out = open(os.path.join(self.dir, "output.txt"), "wb")
        self.keeper = subprocess.Popen([sys.executable, os.path.abspath(__file__), "keeper", str(w), "--",
                                        *self.argv], cwd=self.dir, env=self.env, stdin=subprocess.DEVNULL,
                                       stdout=out, stderr=subprocess.STDOUT, pass_fds=(w,),
                                       start_new_session=True)
        out.close()
        os.close(w)
        with os.fdopen(r) as pipe:
            line = pipe.readline().split()
        if len(line) != 2:
            raise RuntimeError(f"{self.label}: keeper did not start the supervisor")
        self.root = int(line[0])
        return int(line[1]) / 1e6

    def scan(self):
        """(task pids, the supervisor's own pids) under the keeper."""
        tasks, own = [], []
        for pid in descendants(self.keeper.pid, self.known_tasks):
            if pid in self.known_tasks or is_task(pid):
                self.known_tasks.add(pid)
                tasks.append(pid)
            else:
                own.append(pid)
        return tasks, own

    def wait_tasks(self, count, timeout_s):
        """Monotonic ms at which count tasks first ran, or None on time-out."""
        deadline = now_ms() + timeout_s * 1000
        while now_ms() < deadline:
            self.known_tasks &= set(self.scan()[0])
            if len(self.known_tasks) >= count:
                return now_ms()
            if self.keeper.poll() is not None:
                return None
            time.sleep(0.0002)
        return None

    def stop(self):
        if self.keeper is None:
            return
        if self.keeper.poll() is None:
            self.keeper.send_signal(signal.SIGTERM)
            try:
                self.keeper.wait(timeout=20)
            except subprocess.TimeoutExpired:
                kill_all(descendants(self.keeper.pid))
                self.keeper.kill()
                self.keeper.wait()
        self.keeper = None


# ---------------------------------------------------------------------------------------------
# Measurements

def percentile(values, q):
    """Nearest rank: with fewer than 100 samples the 99th percentile is the maximum."""
    ordered = sorted(values)
    rank = max(1, -(-len(ordered) * q // 100))
    return ordered[int(rank) - 1]


def summary(values):
    if not values:
        return None
    return {"n": len(values), "min": min(values), "median": statistics.median(values),
            "p99": percentile(values, 99), "max": max(values)}


class ExecEvents:
    """Exec events from the kernel's process connector, each with the kernel's monotonic time.

    The harness sleeps until the kernel reports, so it neither competes with the supervisor for
    the two cores nor adds its polling period to the figures."""

    NETLINK_CONNECTOR, CN_IDX_PROC, CN_VAL_PROC, PROC_CN_MCAST_LISTEN, PROC_EVENT_EXEC = 11, 1, 1, 1, 2

    def __init__(self):
        self.sock = socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM, self.NETLINK_CONNECTOR)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        self.sock.bind((0, self.CN_IDX_PROC))
        op = struct.pack("=I", self.PROC_CN_MCAST_LISTEN)
        cn = struct.pack("=IIIIHH", self.CN_IDX_PROC, self.CN_VAL_PROC, 0, 0, len(op), 0) + op
        self.sock.send(struct.pack("=IHHII", 16 + len(cn), 3, 0, 0, 0) + cn)  # NLMSG_DONE
        self.sock.setblocking(False)
        self.overrun = False

    def fileno(self):
        return self.sock.fileno()

    def read(self):
        """Pending exec events as (pid, ms)."""
        events = []
        while True:
            try:
                data = self.sock.recv(65536)
            except BlockingIOError:
                return events
            except OSError as e:
                if e.errno != errno.ENOBUFS:
                    raise
                self.overrun = True  # events were dropped; callers fall back to scanning
                continue
            at = 0
            while at + 16 <= len(data):
                length = struct.unpack_from("=I", data, at)[0]
                what, _, stamp = struct.unpack_from("=IIQ", data, at + 36)
                if what == self.PROC_EVENT_EXEC:
                    events.append((struct.unpack_from("=I", data, at + 52)[0], stamp / 1e6))
                at += max((length + 3) & ~3, 16)

    def drain(self):
        self.read()
        self.overrun = False


class DirectoryWatch:
    """inotify on a directory: wakes the harness when a file in it is written."""

    IN_MODIFY, IN_CREATE, IN_NONBLOCK, IN_CLOEXEC = 0x2, 0x100, 0o4000, 0o2000000

    def __init__(self, path):
        libc = ctypes.CDLL(None, use_errno=True)
        self.fd = libc.inotify_init1(self.IN_NONBLOCK | self.IN_CLOEXEC)
        if self.fd < 0 or libc.inotify_add_watch(self.fd, path.encode(), self.IN_MODIFY | self.IN_CREATE) < 0:
            raise OSError(ctypes.get_errno(), "inotify")

    def fileno(self):
        return self.fd

    def drain(self):
        try:
            while os.read(self.fd, 65536):
                pass
        except BlockingIOError:
            pass

    def close(self):
        os.close(self.fd)


def in_family(pid, keeper):
    for _ in range(8):
        pid = parent_of(pid)
        if pid == keeper:
            return True
        if pid <= 1:
            return False
    return False


def task_execs(events, keeper, found):
    """Records in found the exec time of each task of this family among the events. A shell that
    became the task shows the task's command line already at its own exec, so the last exec of a
    process is the one kept."""
    for pid, stamp in events.read():
        if pid in found or (is_task(pid) and in_family(pid, keeper)):
            found[pid] = stamp


def kill_once(inst, events, watch_log, timeout_s=10.0):
    """SIGKILL the one task; (ms until its replacement runs, ms until TASK FAILURE: is logged)."""
    tasks = inst.scan()[0]
    if len(tasks) != 1:
        raise RuntimeError(f"{inst.label}: expected one task, found {len(tasks)}")
    victim = tasks[0]
    watch = DirectoryWatch(inst.dir) if watch_log else None
    log = inst.log_file() if watch_log else None
    offset = os.path.getsize(log) if log else 0
    found, logged = {}, None
    events.drain()
    t0 = now_ms()
    os.kill(victim, signal.SIGKILL)
    while (not found or (watch and logged is None)) and now_ms() - t0 < timeout_s * 1000:
        ready = select.select([events] + ([watch] if watch else []), [], [], 0.5)[0]
        if events in ready:
            task_execs(events, inst.keeper.pid, found)
        if watch in ready:
            watch.drain()
            log = log or inst.log_file()
            if log and logged is None:
                with open(log, "rb") as f:
                    f.seek(offset)
                    if b"TASK FAILURE: " in f.read():
                        logged = now_ms() - t0
    if found:
        task_execs(events, inst.keeper.pid, found)  # a later exec of the same process may be queued
    if watch:
        watch.close()
    inst.known_tasks.discard(victim)
    return (min(found.values()) - t0 if found else None), logged


def latency_run(inst, events, samples, gap, watch_log):
    inst.start()
    if inst.wait_tasks(1, 60) is None:
        raise RuntimeError(f"{inst.label}: the task did not start")
    restart, detect, missed = [], [], 0
    for _ in range(samples):
        # Random spacing keeps kills out of step with the supervisor's own timers, and respects
        # each one's minimum run time before a restart is immediate.
        time.sleep(random.uniform(*gap))
        found, logged = kill_once(inst, events, watch_log)
        if found is None:
            missed += 1
        else:
            restart.append(found)
        if logged is not None:
            detect.append(logged)
        if inst.wait_tasks(1, 30) is None:
            break
    inst.stop()
    return {"restart": summary(restart), "detect": summary(detect), "missed": missed}


def startup_run(inst, events, timeout_s):
    """ms from the supervisor's exec until the last of its tasks was exec'd."""
    events.drain()
    t_exec = inst.start()
    found = {}
    deadline = now_ms() + timeout_s * 1000
    while len(found) < inst.ntasks and now_ms() < deadline and inst.keeper.poll() is None:
        if select.select([events], [], [], 0.5)[0]:
            task_execs(events, inst.keeper.pid, found)
        if events.overrun:
            break
    if len(found) >= inst.ntasks:
        task_execs(events, inst.keeper.pid, found)
        return max(found.values()) - t_exec
    # Events were lost or the tasks are slow: the scan still tells when all run, if less exactly.
    t_all = inst.wait_tasks(inst.ntasks, max(1.0, (deadline - now_ms()) / 1000))
    return None if t_all is None else t_all - t_exec


def own_usage(instances):
    return {inst.label: inst.scan()[1] for inst in instances}


def idle_window(instances, seconds):
    own = own_usage(instances)
    tasks = {inst.label: set(inst.scan()[0]) for inst in instances}
    before = {label: {pid: cpu_time(pid) for pid in pids} for label, pids in own.items()}
    switches = {label: {pid: context_switches(pid) for pid in pids} for label, pids in own.items()}
    time.sleep(seconds)
    # A task killed from outside during the window makes the figure a restart, not idle time.
    replaced = {inst.label: len(tasks[inst.label] - set(inst.scan()[0])) for inst in instances}
    result = {}
    for label, pids in own.items():
        ticks = sched = 0.0
        for pid in pids:
            t1, s1 = cpu_time(pid)
            t0, s0 = before[label][pid]
            ticks += t1 - t0
            sched += s1 - s0
        woken = sum(context_switches(pid) - switches[label][pid] for pid in pids)
        result[label] = {"ticks_ms": ticks, "sched_ms": sched, "procs": len(pids), "replaced": replaced[label],
                         "wakeups_per_min": woken * 60.0 / seconds}
        if replaced[label]:
            print(f"warning: {replaced[label]} tasks of {label} ended during the idle window", flush=True)
    return result


def memory(instances):
    result = {}
    for label, pids in own_usage(instances).items():
        totals = [sum(values) / 1024.0 for values in zip(*(memory_kib(p) for p in pids))] or [0, 0, 0]
        result[label] = {"pss_mib": totals[0], "rss_mib": totals[1], "private_mib": totals[2], "procs": len(pids)}
    return result


# ---------------------------------------------------------------------------------------------
# Report

def fmt(stats, key="median"):
    return "-" if not stats else f"{stats[key]:.1f}" if stats[key] >= 10 else f"{stats[key]:.2f}"


def spread(stats):
    if not stats:
        return "-"
    return f"{fmt(stats)} (p99 {fmt(stats, 'p99')}, n={stats['n']})"


def markdown(res, args):
    labels = res["labels"]
    lat, up, idle, mem = res["latency"], res["startup"], res["idle"], res["memory"]
    head = "| figure | " + " | ".join(labels) + " |\n|---|" + "---|" * len(labels) + "\n"
    rows = []

    def row(name, cell):
        rows.append(f"| {name} | " + " | ".join(cell(label) for label in labels) + " |")

    row("restart latency, ms: median (p99, samples)", lambda l: spread(lat.get(l, {}).get("restart")))
    row("detection, ms: SIGKILL to \"TASK FAILURE: \" logged, median (p99)",
        lambda l: spread(lat.get(l, {}).get("detect")))
    row(f"idle CPU over {res['idle_seconds']} s, {args.tasks} tasks, ms (scheduler; ticks)",
        lambda l: "-" if l not in idle else f"{idle[l]['sched_ms']:.1f} ({idle[l]['ticks_ms']:.0f})"
        + (f" [{idle[l]['replaced']} tasks ended meanwhile]" if idle[l]["replaced"] else ""))
    row(f"wake-ups per minute while idle, {args.tasks} tasks (context switches)",
        lambda l: "-" if l not in idle else f"{idle[l]['wakeups_per_min']:.0f}")
    row(f"memory, PSS, {args.tasks} tasks, MiB (processes)",
        lambda l: "-" if l not in mem else f"{mem[l]['pss_mib']:.1f} ({mem[l]['procs']})")
    row(f"start-up until all {args.tasks} tasks run, ms (runs)",
        lambda l: "-" if not up.get(l) else f"{statistics.median(up[l]):.0f} ({len(up[l])})")
    lines = [head + "\n".join(rows), ""]
    big = res.get("big")
    if big:
        lines.append(f"Prowlix with {big['tasks']} tasks: start-up {big['startup']:.0f} ms, idle CPU "
                     f"{big['sched_ms']:.1f} ms over {res['idle_seconds']} s (ticks {big['ticks_ms']:.0f} ms), "
                     f"{big['wakeups_per_min']:.0f} wake-ups a minute, "
                     f"PSS {big['pss_mib']:.1f} MiB (private {big['private_mib']:.1f} MiB).")
        lines.append("")
    lines.append("Idle windows: " + "; ".join(res["windows"]) + ".")
    lines.append("")
    lines.append("Memory of the supervisors' own processes in MiB: PSS / RSS / private (PSS shares the "
                 "pages of common libraries among every process that maps them, so it depends on what else "
                 "runs; private memory does not):")
    lines.append("")
    for label in labels:
        m = mem.get(label)
        if m:
            lines.append(f"- {label}: {m['pss_mib']:.1f} / {m['rss_mib']:.1f} / {m['private_mib']:.1f} "
                         f"({m['procs']} processes)")
    lines.append("")
    lines.append("Restart latency and detection, all samples in ms (min / median / p99 / max):")
    lines.append("")
    for label in labels:
        for key in ("restart", "detect"):
            s = lat.get(label, {}).get(key)
            if s:
                lines.append(f"- {label}, {key}: {s['min']:.2f} / {s['median']:.2f} / {s['p99']:.2f} / "
                             f"{s['max']:.2f} (n={s['n']}, missed {lat[label]['missed']})")
    return "\n".join(lines) + "\n"


def update_report(path, section_body, header):
    begin, end = "<!-- supervision-results:begin -->", "<!-- supervision-results:end -->"
    block = f"{begin}\n{header}\n{section_body}{end}"
    text = open(path).read() if os.path.exists(path) else "# Benchmark report\n"
    if begin in text and end in text:
        text = text[:text.index(begin)] + block + text[text.index(end) + len(end):]
    elif "## Supervision" in text:
        at = text.index("## Supervision")
        at = text.index("\n", at) + 1
        text = text[:at] + "\n" + block + "\n" + text[at:]
    else:
        text = text.rstrip("\n") + "\n\n## Supervision\n\n" + block + "\n"
    with open(path, "w") as f:
        f.write(text)


# ---------------------------------------------------------------------------------------------

def main():
    if len(sys.argv) > 1 and sys.argv[1] == "keeper":
        keeper_main(int(sys.argv[2]), sys.argv[4:])
        return
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--tools", required=True, help="directory the supervisors were unpacked into")
    ap.add_argument("--prowlix", required=True, help="the prowlix binary to measure")
    ap.add_argument("--workdir", required=True, help="scratch directory for this run")
    ap.add_argument("--quick", action="store_true", help="fewer samples and a short idle window")
    ap.add_argument("--tasks", type=int, default=100)
    ap.add_argument("--big", type=int, default=1000, help="tasks for the large Prowlix idle figure (0: skip)")
    ap.add_argument("--only", default="", help="comma-separated subset of supervisors")
    ap.add_argument("--report", help="update the results block of this markdown file")
    ap.add_argument("--command", default="bench/supervision/run.sh", help="command line quoted in the report")
    args = ap.parse_args()

    tools = {"bin": os.path.join(args.tools, "usr/bin"),
             "python": os.path.join(args.tools, "usr/lib/python3/dist-packages"),
             "prowlix": os.path.abspath(args.prowlix)}
    fast, slow = (10, 10) if args.quick else (100, 30)
    idle_seconds = 10 if args.quick else 60
    startup_runs = 1 if args.quick else 3
    # (kind, label, samples, spacing between kills in s, extra environment)
    # supervisord counts a run under 1 s as a failed start, runit and s6 delay a restart that
    # comes within 1 s of the last start, monit looks once a second; Prowlix leaves a task that
    # ends within 100 ms of its launch to the next tick.
    plan = [("supervisord", "supervisord", slow, (1.2, 1.6), None),
            ("monit", "monit (1 s cycle)", slow, (1.1, 2.1), None),
            ("runit", "runit", slow, (1.1, 1.4), None),
            ("s6", "s6 + readiness", slow, (1.1, 1.4), None),
            ("prowlix", "Prowlix", fast, (0.15, 0.4), None),
            ("prowlix", "Prowlix, tick only", fast, (0.15, 0.4), {"PROWLIX_BENCH_TICK_ONLY": "1"}),
            # A mail server that accepts and never answers: a restart must not wait for the alert.
            ("prowlix", "Prowlix, mute mail server", fast, (0.15, 0.4), {"mute_mail_port": None})]
    if args.only:
        wanted = set(args.only.split(","))
        plan = [p for p in plan if p[0] in wanted or p[1] in wanted]
    if any(p[4] and "mute_mail_port" in p[4] for p in plan):
        mute = SilentMailServer()
        plan = [p[:4] + ({"mute_mail_port": mute.port},) if p[4] and "mute_mail_port" in p[4] else p
                for p in plan]
    labels = [p[1] for p in plan]
    random.seed()
    started = datetime.datetime.now(datetime.timezone.utc)
    load = open("/proc/loadavg").read().split()[:3]
    res = {"labels": labels, "latency": {}, "startup": {}, "idle": {}, "memory": {}, "idle_seconds": idle_seconds,
           "windows": []}
    live = []
    events = ExecEvents()
    counter = iter(range(1, 10000))

    def instance(kind, label, ntasks, env):
        return Instance(kind, label, os.path.join(args.workdir, f"{next(counter):02d}-{kind}"), ntasks, tools, env)

    def interrupted(*_):
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, interrupted)
    try:
        for kind, label, samples, gap, env in plan:
            print(f"restart latency: {label} ({samples} kills)", flush=True)
            inst = instance(kind, label, 1, env)
            live.append(inst)
            res["latency"][label] = r = latency_run(inst, events, samples, gap, kind == "prowlix")
            live.remove(inst)
            print(f"  restart {fmt(r['restart'])} ms median, p99 {fmt(r['restart'], 'p99')}"
                  + (f"; detection {fmt(r['detect'])} ms, p99 {fmt(r['detect'], 'p99')}" if r["detect"] else "")
                  + (f"; {r['missed']} missed" if r["missed"] else ""), flush=True)

        # monit walks every process of the system on each cycle, so it gets an idle window of its
        # own; the others' idle cost does not depend on what else runs, and they share one.
        groups = [[p for p in plan if p[0] != "monit"], [p for p in plan if p[0] == "monit"]]
        res["big"] = None
        for group in groups:
            steady = []
            for kind, label, _, _, env in group:
                if label in ("Prowlix, tick only", "Prowlix, mute mail server"):
                    continue
                runs = 1 if kind == "monit" else startup_runs
                times = []
                for n in range(runs):
                    inst = instance(kind, label, args.tasks, env)
                    live.append(inst)
                    t = startup_run(inst, events, 120)
                    if t is not None:
                        times.append(t)
                    if n < runs - 1 or t is None:
                        inst.stop()
                        live.remove(inst)
                res["startup"][label] = times
                print(f"start-up, {args.tasks} tasks: {label}: "
                      + (", ".join(f"{t:.0f}" for t in times) + " ms" if times else "did not finish"), flush=True)
                if times:
                    steady.append(inst)
            big = None
            if args.big and any(p[0] == "prowlix" for p in group):
                big = instance("prowlix", f"Prowlix {args.big}", args.big, None)
                live.append(big)
                t = startup_run(big, events, 300)
                print(f"start-up, {args.big} tasks: Prowlix: {t:.0f} ms" if t else "Prowlix, big: did not finish",
                      flush=True)
                res["big"] = {"tasks": args.big, "startup": t or float("nan")}
                steady.append(big)
            if not steady:
                continue
            time.sleep(3)  # let start-up work (logs, first checks) settle before the idle window
            res["memory"].update(memory(steady))
            names = ", ".join(inst.label for inst in steady)
            print(f"idle window: {idle_seconds} s: {names}", flush=True)
            res["idle"].update(idle_window(steady, idle_seconds))
            res["windows"].append(f"{names} ({len(pids())} "
                                  "processes on the system)")
            if big:
                res["big"].update(res["idle"].pop(big.label))
                res["big"].update(res["memory"].pop(big.label))
            for inst in steady:
                inst.stop()
                live.remove(inst)
    finally:
        for inst in live:
            inst.stop()

    text = markdown(res, args)
    print()
    print(text)
    tick_only = res["latency"].get("Prowlix, tick only", {}).get("detect")
    if tick_only and tick_only["median"] < 10:
        print("note: PROWLIX_BENCH_TICK_ONLY=1 had no visible effect (detection stayed immediate)")
    if args.report:
        header = (f"Measured {started:%Y-%m-%d %H:%M} UTC with `{args.command}` on a machine with "
                  f"{os.cpu_count()} cores ({platform.machine()}, Linux {platform.release()}), "
                  f"load average {' '.join(load)} at the start; supervisors: {versions(args.tools)}.\n")
        update_report(args.report, text, header)


def versions(tools):
    path = os.path.join(tools, "versions.txt")
    return ", ".join(open(path).read().split("\n")).strip(", ") if os.path.exists(path) else "versions unknown"


if __name__ == "__main__":
    main()
