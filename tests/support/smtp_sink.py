#!/usr/bin/python3
"""Local SMTP server for the mail tests and benchmarks: stores each message it accepts on
127.0.0.1:PORT (or --host) as DIRECTORY/msg-NNNN.json, with its dialogue and what Python's mail parser makes of
it. Prints READY once it listens; runs until SIGTERM or SIGINT."""
import argparse
import email
import email.policy
import itertools
import json
import logging
import os
import signal
import ssl
import time
import warnings

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult


def parse(content):
    message = email.message_from_bytes(content, policy=email.policy.default)
    date = message["Date"]
    return {
        "headers": {name: str(value) for name, value in message.items()},
        "date_utc": date.datetime.timestamp() if date is not None and date.datetime else None,
        "defects": [type(d).__name__ for d in message.defects] +
                   [type(d).__name__ for v in message.values() for d in v.defects],
        "body": message.get_content(),
        "transfer_encoding": message.get("Content-Transfer-Encoding", ""),
    }


class Store:
    def __init__(self, directory):
        self.directory = directory
        self.numbers = itertools.count(1)

    async def handle_DATA(self, server, session, envelope):
        number = next(self.numbers)
        auth = session.auth_data
        record = {
            "stored_at": time.time(),
            "helo": session.host_name,
            "user": auth.login.decode() if session.authenticated and auth else None,
            "rcpt_tos": envelope.rcpt_tos,
            "content": envelope.original_content.decode("utf-8", "replace"),
            "parsed": parse(envelope.original_content),
        }
        temporary = os.path.join(self.directory, ".msg-%04d.tmp" % number)
        with open(temporary, "w", encoding="utf-8") as out:
            json.dump(record, out)
        # Renamed into place so a reader never sees half a message.
        os.replace(temporary, os.path.join(self.directory, "msg-%04d.json" % number))
        return "250 Message accepted for delivery"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", type=int)
    parser.add_argument("directory")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--starttls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--require-tls", action="store_true")
    parser.add_argument("--auth", nargs=2, metavar=("USER", "PASSWORD"))
    parser.add_argument("--mechanisms", nargs="+", default=["PLAIN", "LOGIN"])
    args = parser.parse_args()

    def context(pair):
        if pair is None:
            return None
        tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        tls.load_cert_chain(*pair)
        return tls

    def authenticator(server, session, envelope, mechanism, auth_data):
        user, password = args.auth
        good = auth_data.login.decode() == user and auth_data.password.decode() == password
        return AuthResult(success=good, handled=False, auth_data=auth_data)

    options = {}
    if args.auth:
        options["authenticator"] = authenticator
        options["auth_exclude_mechanism"] = [m for m in ("PLAIN", "LOGIN")
                                             if m not in args.mechanisms]
        # aiosmtpd counts only STARTTLS as TLS; with --tls every byte is encrypted anyway.
        options["auth_require_tls"] = not args.tls
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGINT})
    # Clients that give up on purpose (a refused certificate) are no news.
    logging.getLogger("mail.log").setLevel(logging.CRITICAL)
    warnings.simplefilter("ignore")
    controller = Controller(Store(args.directory), hostname=args.host, port=args.port,
                            ssl_context=context(args.tls), tls_context=context(args.starttls),
                            require_starttls=args.require_tls, **options)
    controller.start()
    print("READY", flush=True)
    signal.sigwait({signal.SIGTERM, signal.SIGINT})
    controller.stop()


if __name__ == "__main__":
    main()
