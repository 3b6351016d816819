#!/usr/bin/python3
"""Time from exec to the main window shown, and resident memory, of the desktop monitor with
100 tasks, on a virtual X display with a window manager and a notification area.

Needs xvfb, openbox, trayer, x11-utils and xdotool (scripts/screenshots.sh installs them).
Prints min, median and max over the runs.

    bench/ui/desktop_startup.py --prowlix build-dir/app/prowlix --runs 10
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from benchlib import memory_kib, wait_for  # noqa: E402


def window_shown():
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Prowlix$"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return found.returncode == 0


def summary(name, values, unit):
    print(f"| {name} | {min(values):.1f} {unit} | {statistics.median(values):.1f} {unit} "
          f"| {max(values):.1f} {unit} |")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--prowlix", required=True)
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--tasks", type=int, default=100)
    parser.add_argument("--display", default=":61")
    args = parser.parse_args()

    work = tempfile.mkdtemp()
    exe_dir = os.path.dirname(os.path.abspath(args.prowlix))
    for name in ("prowlix", "libprowlix-desktop.so"):
        shutil.copy(os.path.join(exe_dir, name), work)
    ini = os.path.join(work, "bench.ini")
    with open(ini, "w") as file:
        for i in range(args.tasks):
            file.write(f"START=sleep 3600,Task {i + 1},,False\n")
        # The monitor asks its tasks to close when it stops, so no run leaves sleepers behind.
        file.write("port=18190\nkill=True\n")

    env = dict(os.environ, DISPLAY=args.display)
    env.pop("WAYLAND_DISPLAY", None)
    env.pop("QT_QPA_PLATFORM", None)
    helpers = [subprocess.Popen(["Xvfb", args.display, "-screen", "0", "1024x768x24", "-dpi",
                                 "96", "-nolisten", "tcp"], stderr=subprocess.DEVNULL)]
    os.environ["DISPLAY"] = args.display
    wait_for(lambda: subprocess.run(["xdpyinfo"], stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL).returncode == 0, pause=0.002)
    helpers.append(subprocess.Popen(["openbox"], env=env, stderr=subprocess.DEVNULL))
    helpers.append(subprocess.Popen(["trayer", "--edge", "bottom", "--height", "32",
                                     "--SetDockType", "true"], env=env,
                                    stderr=subprocess.DEVNULL))
    time.sleep(1)

    shown_ms, rss_mib, pss_mib = [], [], []
    try:
        for _ in range(args.runs):
            start = time.monotonic()
            monitor = subprocess.Popen([os.path.join(work, "prowlix"), "/I:" + ini], env=env,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if not wait_for(window_shown, pause=0.002):
                sys.exit("the main window did not appear")
            shown_ms.append((time.monotonic() - start) * 1000)
            time.sleep(2)  # every task started, the splash still up: the steady working set
            pss_kib, rss_kib, _ = memory_kib(monitor.pid)
            rss_mib.append(rss_kib / 1024)
            pss_mib.append(pss_kib / 1024)
            monitor.terminate()
            monitor.wait()
            wait_for(lambda: not window_shown(), pause=0.002)
    finally:
        for helper in reversed(helpers):
            helper.terminate()
            helper.wait()
        shutil.rmtree(work)

    print(f"{args.runs} runs, {args.tasks} tasks")
    print("| | min | median | max |")
    print("| --- | --- | --- | --- |")
    summary("Exec to main window shown", shown_ms, "ms")
    summary("Resident set (RSS)", rss_mib, "MiB")
    summary("Proportional set (PSS)", pss_mib, "MiB")


if __name__ == "__main__":
    main()
