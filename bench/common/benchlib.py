"""What the benchmark scripts share: loopback ports, a mail server that never answers, the monitor
run headless from a scratch directory, its log, polling with a deadline, and what /proc tells of a
process.

A script imports it with a path relative to its own file:

    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
    import benchlib
"""

import os
import random
import shutil
import signal
import socket
import subprocess
import threading
import time

# Variables that would give the monitor a display: without them it cannot reach one by accident.
DISPLAY_VARIABLES = ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")
CLK_TCK = os.sysconf("SC_CLK_TCK")


# ---------------------------------------------------------------------------------------------
# Loopback and waiting

def free_port(low=False):
    """A free loopback port; low=True keeps it within a signed 16-bit setting (SMTP_PORT)."""
    for _ in range(200):
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", random.randint(20000, 32000) if low else 0))
                return s.getsockname()[1]
            except OSError:
                continue
    raise RuntimeError("no free port")


def wait_for(condition, seconds=10.0, pause=0.05):
    """Polls condition until it holds (True) or the deadline passes (False)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(pause)
    return False


def read_to_end(sock, data):
    """Appends to the bytearray data what sock sends until it closes; errors reach the caller with
    data holding what came before them."""
    while True:
        chunk = sock.recv(64)
        if not chunk:
            return data
        data += chunk


class SilentMailServer:
    """Accepts SMTP connections on a low loopback port and never says a word."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        # Bound here rather than through free_port, so no one can take the port in between.
        for _ in range(200):
            try:
                self.sock.bind(("127.0.0.1", random.randint(20000, 32000)))
                break
            except OSError:
                continue
        else:
            raise RuntimeError("no free port")
        self.sock.listen(64)
        self.port = self.sock.getsockname()[1]
        self.held = []
        self.accepted = 0
        self.stopping = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        self.sock.settimeout(0.2)
        while not self.stopping:
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                break
            self.accepted += 1
            self.held.append(conn)

    def stop(self):
        self.stopping = True
        self.thread.join()
        for c in self.held:
            c.close()
        self.sock.close()


# ---------------------------------------------------------------------------------------------
# The monitor, headless, from a scratch directory

def headless_env():
    return {k: v for k, v in os.environ.items() if k not in DISPLAY_VARIABLES}


def scratch_copy(binary, directory, ini_name, ini_text):
    """Copies the binary into directory (so its logs land there) beside an INI file; (exe, ini)."""
    os.makedirs(directory, exist_ok=True)
    exe = os.path.join(directory, "prowlix")
    shutil.copy2(binary, exe)
    ini = os.path.join(directory, ini_name)
    with open(ini, "w") as f:
        f.write(ini_text)
    return exe, ini


def log_files(directory):
    """The monitor's daily log files in directory, oldest first."""
    return [os.path.join(directory, n) for n in sorted(os.listdir(directory))
            if n.startswith("LOG.") and n.endswith(".txt")]


def read_log(directory):
    """Every log file in directory, as written (lines end in CR LF)."""
    text = ""
    for path in log_files(directory):
        with open(path, "rb") as f:
            text += f.read().decode("utf-8", "replace")
    return text


class ScratchMonitor:
    """A copy of the binary in a directory of its own, run headless with an INI file."""

    def __init__(self, binary, directory, ini_text, ini_name="bench.ini"):
        self.dir = directory
        self.exe, self.ini = scratch_copy(binary, directory, ini_name, ini_text)
        self.env = headless_env()
        self.proc = None

    def start(self, **popen):
        """Starts the monitor; popen adds to or overrides the subprocess.Popen arguments."""
        options = {"cwd": self.dir, "env": self.env, **popen}
        self.proc = subprocess.Popen([self.exe, "/NOGUI", "/I:" + self.ini], **options)
        return self.proc

    @property
    def pid(self):
        return self.proc.pid

    def log(self):
        return read_log(self.dir)

    def wait_log(self, needle, deadline=30.0, count=1):
        """True once needle is logged count times; False on time-out or when the monitor ended."""
        end = time.monotonic() + deadline
        while time.monotonic() < end:
            if self.log().count(needle) >= count:
                return True
            if self.proc.poll() is not None:
                return False
            time.sleep(0.05)
        return False


# ---------------------------------------------------------------------------------------------
# /proc. A process that vanished between listing and reading simply reads as empty.

def read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return b""


def pids():
    """Every process on the system."""
    return [int(n) for n in os.listdir("/proc") if n.isdigit()]


def command_line(pid):
    """The arguments joined by blanks ("" for a zombie or a process that is gone)."""
    return read_bytes(f"/proc/{pid}/cmdline").rstrip(b"\0").replace(b"\0", b" ").decode(errors="replace")


def command_lines():
    """pid -> command_line for every live process (zombies have none)."""
    out = {}
    for pid in pids():
        line = command_line(pid)
        if line:
            out[pid] = line
    return out


def stat_fields(pid):
    """The fields of /proc/<pid>/stat after the command name (which may hold blanks and
    parentheses, so they start after the last ")"): fields[0] is the state."""
    stat = read_bytes(f"/proc/{pid}/stat")
    return stat[stat.rfind(b")") + 2:].split()


def children(pid):
    """The children of every thread of pid, thread by thread."""
    result = []
    try:
        tids = sorted(os.listdir(f"/proc/{pid}/task"), key=int)
    except OSError:
        return result
    for tid in tids:
        result.extend(int(c) for c in read_bytes(f"/proc/{pid}/task/{tid}/children").split())
    return result


def cpu_ticks_ms(pid):
    """User plus system time so far in ms, counted in clock ticks."""
    fields = stat_fields(pid)
    return (int(fields[11]) + int(fields[12])) * 1000.0 / CLK_TCK if len(fields) > 12 else 0.0


def cpu_sched_ms(pid):
    """Processor time so far in ms, from the scheduler's nanosecond account of every thread."""
    ns = 0
    try:
        for tid in os.listdir(f"/proc/{pid}/task"):
            parts = read_bytes(f"/proc/{pid}/task/{tid}/schedstat").split()
            ns += int(parts[0]) if parts else 0
    except OSError:
        pass
    return ns / 1e6


def context_switches(pid):
    """Voluntary plus involuntary context switches of every thread: each wake-up is at least one."""
    total = 0
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return 0
    for tid in tids:
        for line in read_bytes(f"/proc/{pid}/task/{tid}/status").splitlines():
            if line.startswith((b"voluntary_ctxt_switches:", b"nonvoluntary_ctxt_switches:")):
                total += int(line.split()[1])
    return total


def memory_kib(pid):
    """PSS, RSS and private (unique) memory of one process in KiB."""
    fields = {}
    for line in read_bytes(f"/proc/{pid}/smaps_rollup").splitlines():
        parts = line.split()
        if len(parts) >= 2 and parts[0].endswith(b":"):
            fields[parts[0][:-1]] = int(parts[1]) if parts[1].isdigit() else 0
    private = fields.get(b"Private_Clean", 0) + fields.get(b"Private_Dirty", 0)
    return fields.get(b"Pss", 0), fields.get(b"Rss", 0), private


def kill_all(pids, sig=signal.SIGKILL):
    """Signals each process by its id; one that is gone already is passed over."""
    for pid in pids:
        try:
            os.kill(pid, sig)
        except OSError:
            pass


def open_descriptors(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))

