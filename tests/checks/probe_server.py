#!/usr/bin/env python3
"""A test server for health probes: python3 probe_server.py PORT REQUEST_LOG.

Each request's path picks the answer: /NNN answers with that status, /garbage with a line that is
no HTTP answer, /noline with text that never ends a line, /flood with 200 and a body that never
ends, /silent with nothing, /close closes at once, / answers 200. Each request path is appended to REQUEST_LOG. SIGTERM
ends it through a handler, as servers that close cleanly do; while it is stopped, only SIGKILL
ends it.
"""
import os
import signal
import socketserver
import sys


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = self.request.recv(4096)
            if not chunk:
                return
            data += chunk
        path = data.split(b" ")[1].decode()
        with open(sys.argv[2], "a") as log:
            log.write(path + "\n")
        try:
            if path == "/close":
                return
            if path == "/silent":
                self.request.recv(1)  # until the client gives up
                return
            if path == "/garbage":
                self.request.sendall(b"SSH-2.0-hello\r\n")
            elif path in ("/noline", "/flood"):
                if path == "/flood":
                    self.request.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 1073741824\r\n\r\n")
                block = b"x" * 65536
                sent = 0
                try:
                    for _ in range(16384):  # 1 GiB, unless the client leaves first
                        self.request.sendall(block)
                        sent += len(block)
                finally:
                    with open(sys.argv[2], "a") as log:
                        log.write("%s sent %d\n" % (path, sent))
            else:
                self.request.sendall(b"HTTP/1.0 " + (path[1:] or "200").encode() + b" Answer\r\n\r\n")
        except OSError:
            pass


signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
socketserver.ThreadingTCPServer.allow_reuse_address = True
socketserver.ThreadingTCPServer.daemon_threads = True
with socketserver.ThreadingTCPServer(("127.0.0.1", int(sys.argv[1])), Handler) as server:
    print("ready", flush=True)
    server.serve_forever()
