#!/usr/bin/env python3
"""Tests of the local update server itself: its command line, static serving and each fault, seen
from a raw socket so that what goes over the wire is what is compared.

    python3 tests/server/server_test.py
"""

import os
import re
import socket
import subprocess
import sys
import tempfile
import time
import unittest

SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "update_server.py")
CONTENT = bytes((i * 7 + 3) & 0xFF for i in range(20000))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """The server as a child process for one test."""

    def __init__(self, root, *args):
        self.process = subprocess.Popen([sys.executable, SERVER, "--root", root, *args],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.line = self.process.stdout.readline()
        match = re.fullmatch(r"READY (\d+)\n", self.line)
        self.port = int(match.group(1)) if match else 0

    def stop(self):
        self.process.kill()
        self.process.wait()
        self.process.stdout.close()
        self.process.stderr.close()


def exchange(port, path, method="GET", timeout=5.0):
    """Sends one request; returns (status, headers, body, how) where how is "closed", "reset"
    or "timeout", the way the body ended."""
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    s.sendall(("%s %s HTTP/1.1\r\nHost: x\r\nAccept: */*\r\n\r\n" % (method, path)).encode())
    data, how = b"", "closed"
    try:
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    except ConnectionResetError:
        how = "reset"
    except socket.timeout:
        how = "timeout"
    finally:
        s.close()
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    status = int(lines[0].split()[1]) if lines and lines[0] else 0
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return status, headers, body, how


class ServerTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.root = os.path.join(self.tmp.name, "root")
        with open(os.path.join(self.tmp.name, "outside.bin"), "wb") as f:
            f.write(b"not served")
        os.makedirs(os.path.join(self.root, "a"))
        os.makedirs(os.path.join(self.root, "b"))
        for name in ("a/f.bin", "b/f.bin"):
            with open(os.path.join(self.root, name), "wb") as f:
                f.write(CONTENT)
        self.servers = []

    def tearDown(self):
        for server in self.servers:
            server.stop()
        self.tmp.cleanup()

    def start(self, *args):
        server = Server(self.root, *args)
        self.servers.append(server)
        self.assertGreater(server.port, 0, server.line)
        return server.port

    def test_ready_names_the_port_it_listens_on(self):
        wanted = free_port()
        self.assertEqual(self.start("--port", str(wanted)), wanted)
        self.assertNotEqual(self.start("--port", "0"), 0)

    def test_a_missing_root_is_refused(self):
        server = Server(os.path.join(self.root, "missing"))
        self.assertEqual(server.line, "")
        self.assertNotEqual(server.process.wait(timeout=10), 0)
        server.stop()

    def test_files_are_served_whole_and_missing_ones_get_an_html_404(self):
        port = self.start()
        status, headers, body, how = exchange(port, "/a/f.bin")
        self.assertEqual((status, headers["content-length"], body, how),
                         (200, str(len(CONTENT)), CONTENT, "closed"))
        for path in ("/a/missing.bin", "/a", "/../outside.bin", "/a/../../outside.bin"):
            status, headers, body, _ = exchange(port, path)
            self.assertEqual(status, 404, path)
            self.assertIn(b"<html>", body)
            self.assertEqual(headers["content-length"], str(len(body)))
        self.assertEqual(exchange(port, "/b/../a/f.bin")[2], CONTENT, "a path that stays inside")
        status, headers, body, _ = exchange(port, "/a/f.bin", method="HEAD")
        self.assertEqual((status, headers["content-length"], body), (200, str(len(CONTENT)), b""))

    def test_a_fault_applies_only_where_its_path_matches(self):
        port = self.start("--fault", "not-found", "--fault-path", "a/")
        self.assertEqual(exchange(port, "/a/f.bin")[0], 404)
        self.assertEqual(exchange(port, "/b/f.bin")[2], CONTENT)

    def test_each_fault_on_the_wire(self):
        cases = {
            # fault: (announced length, check of the body, how it ends)
            "long-body": (len(CONTENT), lambda b: len(b) > len(CONTENT) and b.startswith(CONTENT),
                          "closed"),
            "oversize": (len(CONTENT) + 65536, lambda b: len(b) == len(CONTENT) + 65536 and
                         b.startswith(CONTENT), "closed"),
            "cut": (len(CONTENT), lambda b: b == CONTENT[: len(CONTENT) // 2], "closed"),
            "reset": (len(CONTENT), lambda b: CONTENT.startswith(b) and len(b) < len(CONTENT),
                      "reset"),
            "slow": (len(CONTENT), lambda b: b == CONTENT, "closed"),
            "stall": (len(CONTENT), lambda b: b == CONTENT[: len(CONTENT) // 2], "timeout"),
        }
        for fault, (announced, body_ok, ending) in cases.items():
            with self.subTest(fault=fault):
                port = self.start("--fault", fault, "--chunk", "4096", "--delay", "0.01")
                started = time.monotonic()
                status, headers, body, how = exchange(port, "/a/f.bin", timeout=1.5)
                self.assertEqual(status, 200)
                self.assertEqual(headers["content-length"], str(announced))
                self.assertTrue(body_ok(body), "%d bytes" % len(body))
                self.assertEqual(how, ending)
                if fault == "slow":
                    self.assertGreater(time.monotonic() - started, 0.04, "five chunks, paused")


if __name__ == "__main__":
    unittest.main(verbosity=2)
