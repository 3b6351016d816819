#!/usr/bin/env python3
"""prowlixctl against a monitor with many tasks: `prowlixctl status` from exec to exit (median of
--runs), and the monitor's wake-ups while idle with its control socket listening.

    bench/control/control_bench.py --bin build-dir/app [--tasks 1000] [--runs 20] [--idle 60]
"""

import argparse
import resource
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from benchlib import context_switches, cpu_ticks_ms, free_port, wait_for  # noqa: E402


def children_cpu_ms():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (usage.ru_utime + usage.ru_stime) * 1000.0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", required=True, help="the directory of prowlix and prowlixctl")
    parser.add_argument("--tasks", type=int, default=1000)
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--idle", type=float, default=60.0, help="seconds of the idle window")
    args = parser.parse_args()
    prowlix = str(Path(args.bin, "prowlix").resolve())
    ctl = str(Path(args.bin, "prowlixctl").resolve())

    with tempfile.TemporaryDirectory() as scratch:
        sock = os.path.join(scratch, "c.sock")
        ini = os.path.join(scratch, "tasks.ini")
        lines = [f"port={free_port()}", "kill=True", f"CONTROL_SOCKET={sock}"]
        lines += [f"START=sleep 100000,task{i},,False" for i in range(args.tasks)]
        Path(ini).write_text("\n".join(lines) + "\n")
        monitor = subprocess.Popen([prowlix, "/NOGUI", f"/I:{ini}", f"/D:{scratch}"],
                                   stdin=subprocess.DEVNULL)
        try:
            status = [ctl, "-s", sock, "status"]
            if not wait_for(lambda: os.path.exists(sock), 120) or not wait_for(
                    lambda: subprocess.run(status, stdout=subprocess.DEVNULL).returncode == 0, 60):
                raise SystemExit("the monitor did not come up")
            for label, extra in (("table", []), ("--json", ["--json"])):
                times = []
                client_before, monitor_before = children_cpu_ms(), cpu_ticks_ms(monitor.pid)
                for _ in range(args.runs):
                    start = time.perf_counter()
                    done = subprocess.run(status + extra, stdout=subprocess.DEVNULL)
                    times.append((time.perf_counter() - start) * 1000)
                    assert done.returncode == 0
                client = (children_cpu_ms() - client_before) / args.runs
                served = (cpu_ticks_ms(monitor.pid) - monitor_before) / args.runs
                print(f"prowlixctl status {label}, {args.tasks} tasks, {args.runs} runs: "
                      f"min {min(times):.1f} ms, median {statistics.median(times):.1f} ms, "
                      f"max {max(times):.1f} ms; processor time per run: prowlixctl "
                      f"{client:.1f} ms, monitor {served:.1f} ms")
            time.sleep(1)  # let the last client's close settle before the idle window
            before = context_switches(monitor.pid)
            time.sleep(args.idle)
            woken = context_switches(monitor.pid) - before
            print(f"idle with the control socket listening, {args.idle:.0f} s: {woken} wake-ups "
                  f"({woken * 60.0 / args.idle:.1f} a minute)")
        finally:
            monitor.send_signal(signal.SIGTERM)
            monitor.wait(60)


if __name__ == "__main__":
    main()
