#!/usr/bin/python3
"""Time from a task's death to its failure alert stored by a local SMTP server.

    bench/mail/alert_latency.py [--prowlix BINARY] [--count 20] [--secure]

Runs the real monitor headless (a copy in a scratch directory, so its logs land there) with one
task that ends 0.3 s after each start and is restarted every time. The task writes the time just
before it ends; the local aiosmtpd server (tests/support/smtp_sink.py) records when it stored each
alert. Prints min, median and max over COUNT failures, then the monitor's proportional set size
with mail configured and its alerts sent. --secure sends through STARTTLS with a login (AUTH
PLAIN, password file), with a certificate made for the run by the openssl tool.
"""

import argparse
import os
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import json

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from benchlib import ScratchMonitor, free_port, memory_kib  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def wait_for_line(process, text, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        ready, _, _ = select.select([process.stdout], [], [], deadline - time.monotonic())
        if ready and process.stdout.readline().startswith(text):
            return True
    return False


def stored_messages(directory):
    names = sorted(n for n in os.listdir(directory) if n.startswith("msg-"))
    messages = []
    for name in names:
        with open(os.path.join(directory, name), encoding="utf-8") as f:
            messages.append(json.load(f))
    return messages


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--prowlix", default=os.path.join(REPO, "build", "app", "prowlix"))
    parser.add_argument("--count", type=int, default=20)
    parser.add_argument("--secure", action="store_true")
    args = parser.parse_args()

    scratch = tempfile.mkdtemp(prefix="prowlix-alert-")
    mail_dir = os.path.join(scratch, "mail")
    os.mkdir(mail_dir)
    died = os.path.join(scratch, "died.txt")
    with open(os.path.join(scratch, "dies.sh"), "w") as f:
        f.write("sleep 0.3\ndate +%%s.%%N >> %s\n" % died)

    smtp_port = free_port(low=True)
    sink_command = ["/usr/bin/python3", os.path.join(REPO, "tests", "support", "smtp_sink.py"),
                    str(smtp_port), mail_dir]
    secure_keys = ""
    if args.secure:
        cert, key, password = (os.path.join(scratch, n) for n in ("cert.pem", "key.pem", "pw"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                        "/CN=localhost", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", key, "-out", cert], check=True, capture_output=True)
        with open(password, "w") as f:
            f.write("bench-secret\n")
        os.chmod(password, 0o600)
        sink_command += ["--starttls", cert, key, "--require-tls", "--auth", "bench", "bench-secret"]
        secure_keys = ("SMTP_TLS=STARTTLS\nSMTP_CA_FILE=%s\nSMTP_USER=bench\n"
                       "SMTP_PASSWORD_FILE=%s\n" % (cert, password))
    sink = subprocess.Popen(sink_command, stdout=subprocess.PIPE, text=True)
    monitor = None
    try:
        if not wait_for_line(sink, "READY", 10):
            sys.exit("the SMTP server did not start")
        ini_text = ("START=/bin/sh %s,Dies,,True\n" % os.path.join(scratch, "dies.sh")
                    + "port=%d\n" % free_port(low=True)
                    + "SMTP_SERVER=127.0.0.1\nSMTP_PORT=%d\nSMTP_TO=bench@example.com\n" % smtp_port
                    + "SMTP_TIMEOUT=10\n" + secure_keys)
        monitor = ScratchMonitor(args.prowlix, scratch, ini_text).start(
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30 + args.count * 2
        while len(stored_messages(mail_dir)) < args.count:
            if time.monotonic() > deadline or monitor.poll() is not None:
                sys.exit("only %d alerts arrived" % len(stored_messages(mail_dir)))
            time.sleep(0.1)  # polling a directory; the figures come from the recorded times
        pss_kib, rss_kib, _ = memory_kib(monitor.pid)
    finally:
        if monitor is not None:
            monitor.send_signal(signal.SIGTERM)
            monitor.wait(10)
        sink.send_signal(signal.SIGTERM)
        sink.wait(10)

    with open(died) as f:
        deaths = [float(line) for line in f if line.strip()]
    messages = stored_messages(mail_dir)[:args.count]
    latencies = [(m["stored_at"] - d) * 1000 for m, d in zip(messages, deaths)]
    print("%s: task death to stored alert over %d failures: min %.1f ms, median %.1f ms, "
          "max %.1f ms" % ("STARTTLS+AUTH" if args.secure else "plain", len(latencies),
                           min(latencies), statistics.median(latencies), max(latencies)))
    print("monitor with mail configured, after its alerts: PSS %.1f MiB, RSS %.1f MiB"
          % (pss_kib / 1024, rss_kib / 1024))
    shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
