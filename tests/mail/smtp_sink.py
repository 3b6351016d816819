#!/usr/bin/python3
"""Local SMTP server for the mail tests and benchmarks.

Usage: smtp_sink.py PORT DIRECTORY
Accepts every message on 127.0.0.1:PORT and stores each one as DIRECTORY/msg-NNNN.json with
its HELO name, envelope, content and the time it was stored. Prints READY once it accepts connections and runs until
SIGTERM or SIGINT.
"""
import itertools
import json
import os
import signal
import sys
import time

from aiosmtpd.controller import Controller


class Store:
    def __init__(self, directory):
        self.directory = directory
        self.numbers = itertools.count(1)

    async def handle_DATA(self, server, session, envelope):
        number = next(self.numbers)
        record = {
            "stored_at": time.time(),
            "helo": session.host_name,
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "content": envelope.original_content.decode("utf-8", "replace"),
        }
        temporary = os.path.join(self.directory, ".msg-%04d.tmp" % number)
        with open(temporary, "w", encoding="utf-8") as out:
            json.dump(record, out)
        # Renamed into place so a reader never sees half a message.
        os.replace(temporary, os.path.join(self.directory, "msg-%04d.json" % number))
        return "250 Message accepted for delivery"


def main():
    port, directory = int(sys.argv[1]), sys.argv[2]
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGINT})
    controller = Controller(Store(directory), hostname="127.0.0.1", port=port)
    controller.start()
    print("READY", flush=True)
    signal.sigwait({signal.SIGTERM, signal.SIGINT})
    controller.stop()


if __name__ == "__main__":
    main()
