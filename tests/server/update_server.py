#!/usr/bin/env python3
"""The local update server of the tests: serves a directory over HTTP, with injectable faults.

    python3 tests/server/update_server.py --root DIR [--port N] [--fault MODE] [--fault-path SUBSTR]

Prints "READY <port>" (flushed) once it listens on 127.0.0.1; port 0 picks a free one. Missing
files get a 404 with an HTML body. A fault applies to every request whose path contains
--fault-path (to every request when it is not given):

    not-found  404 with an HTML body, as for a missing file
    long-body  the file followed by junk that Content-Length does not announce
    oversize   the file followed by junk, all of it announced: more than the caller's buffer
    cut        announces the whole file, sends part of it and closes
    reset      sends part of the file, then resets the connection (SO_LINGER 0)
    slow       sends the file in small chunks with pauses; it still completes
    stall      sends the headers and part of the file, then hangs until the server is killed

A refused connection needs no fault: point the client at a port nobody listens on.
Standard library only.
"""

import argparse
import http.server
import os
import socket
import struct
import sys
import time
import urllib.parse

FAULTS = ("not-found", "long-body", "oversize", "cut", "reset", "slow", "stall")

NOT_FOUND_BODY = (
    b"<!DOCTYPE html>\n<html><head><title>404 Not Found</title></head>\n"
    b"<body><h1>Not Found</h1><p>The requested URL was not found on this server.</p>"
    b"</body></html>\n"
)

# Junk after the file: more than any caller's slack (an image buffer holds its size + 128 bytes,
# an index buffer 2048 bytes).
OVERSIZE_JUNK = 65536
LONG_BODY_JUNK = 4096


class Handler(http.server.BaseHTTPRequestHandler):
    # One request per connection: the end of the body is the end of the connection or its length.
    protocol_version = "HTTP/1.0"
    server_version = "TolvarinTestServer/1"

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        if self.server.verbose:
            sys.stderr.write("update_server: " + (format % args) + "\n")

    def do_GET(self):
        self.respond(send_body=True)

    def do_HEAD(self):
        self.respond(send_body=False)

    def respond(self, send_body):
        path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
        fault = self.server.fault
        if fault and self.server.fault_path and self.server.fault_path not in path:
            fault = None

        data = None if fault == "not-found" else self.read_file(path)
        if data is None:
            self.send_head(404, len(NOT_FOUND_BODY), "text/html")
            if send_body:
                self.wfile.write(NOT_FOUND_BODY)
            return

        if fault == "oversize":
            data += bytes((i * 37 + 11) & 0xFF for i in range(OVERSIZE_JUNK))
        announced = len(data)
        if fault == "long-body":
            data += b"J" * LONG_BODY_JUNK
        self.send_head(200, announced, "application/octet-stream")
        if not send_body:
            return

        part = data[: len(data) // 2]
        if fault == "cut":
            self.wfile.write(part)
        elif fault == "reset":
            self.wfile.write(part)
            time.sleep(0.2)  # let the client take the part before the reset discards the rest
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.close()
        elif fault == "slow":
            for at in range(0, len(data), self.server.chunk):
                self.wfile.write(data[at : at + self.server.chunk])
                time.sleep(self.server.delay)
        elif fault == "stall":
            self.wfile.write(part)
            while True:
                time.sleep(3600)
        else:
            self.wfile.write(data)

    def send_head(self, status, length, content_type):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(length))
        self.send_header("Connection", "close")
        self.end_headers()

    def read_file(self, path):
        """The bytes of the file at a request path under the root, or None when there is none."""
        root = self.server.root
        full = os.path.realpath(os.path.join(root, path.lstrip("/")))
        if full != root and not full.startswith(root + os.sep):
            return None
        if not os.path.isfile(full):
            return None
        with open(full, "rb") as f:
            return f.read()


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        # A client that gives up mid-body is part of the tests, not a server fault.
        if self.verbose:
            super().handle_error(request, client_address)


def main():
    parser = argparse.ArgumentParser(description="Local update server for the tests.")
    parser.add_argument("--root", required=True, help="directory served as the server's root")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: a free one)")
    parser.add_argument("--fault", choices=FAULTS, help="fault to inject")
    parser.add_argument("--fault-path", default="", help="inject only where the path holds this")
    parser.add_argument("--chunk", type=int, default=256, help="slow mode: bytes per chunk")
    parser.add_argument("--delay", type=float, default=0.005, help="slow mode: seconds per chunk")
    parser.add_argument("--verbose", action="store_true", help="log requests to stderr")
    args = parser.parse_args()

    root = os.path.realpath(args.root)
    if not os.path.isdir(root):
        parser.error("no such directory: " + args.root)
    server = Server(("127.0.0.1", args.port), Handler)
    server.root = root
    server.fault = args.fault
    server.fault_path = args.fault_path
    server.chunk = max(1, args.chunk)
    server.delay = max(0.0, args.delay)
    server.verbose = args.verbose
    print("READY %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


if __name__ == "__main__":
    main()
