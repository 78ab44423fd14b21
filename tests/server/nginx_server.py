#!/usr/bin/env python3
"""nginx, unprivileged, serving a published tree with the site configuration of deploy/nginx/.

    nginx_server.py --root DIR --run DIR [--port N] [--tls CERT_DIR NAME]

Writes RUN/nginx.conf: the http or (with --tls) the https server block of
deploy/nginx/tolvarin.conf, with its listen address, root, log and certificate lines pointed at
127.0.0.1:PORT, DIR, RUN and CERT_DIR/NAME.pem|key, and its snippets included from deploy/nginx/;
pid, logs and the five temp paths under RUN. --tls makes the test certificates in CERT_DIR first
(tests/tls/make_certs.sh) when they are missing. Port 0 takes a free one. Prints "READY <port>"
once nginx accepts connections, then serves until stdin closes or SIGTERM/SIGINT arrives, and
stops nginx with `nginx -s quit`. When this script dies, nginx gets SIGQUIT from the kernel.
"""
import argparse
import ctypes
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
DEPLOY = os.path.join(SOURCE, "deploy", "nginx")
MAKE_CERTS = os.path.join(SOURCE, "tests", "tls", "make_certs.sh")
START_TIMEOUT_S = 10.0
STOP_TIMEOUT_S = 10.0


def server_block(site, tls):
    """The server block of the site file that listens with ssl (tls) or without it."""
    for match in re.finditer(r"^server \{\n(.*?)^\}", site, re.S | re.M):
        body = match.group(1)
        if bool(re.search(r"^\s*listen [^;]*\bssl\b", body, re.M)) == tls:
            return body
    raise SystemExit("no %s server block in the site file" % ("https" if tls else "http"))


def test_config(args, port):
    with open(os.path.join(DEPLOY, "tolvarin.conf")) as f:
        body = server_block(f.read(), bool(args.tls))
    run = args.run
    lines = []
    for line in body.splitlines():
        word = line.split()[0] if line.split() else ""
        if word == "listen":
            if "[::]" in line:
                continue
            line = "    listen 127.0.0.1:%d%s;" % (port, " ssl" if args.tls else "")
        elif word == "root":
            line = "    root %s;" % args.root
        elif word == "access_log":
            line = "    access_log %s/access.log;" % run
        elif word in ("ssl_certificate", "ssl_certificate_key"):
            cert_dir, name = args.tls
            line = "    %s %s/%s.%s;" % (word, cert_dir, name,
                                         "pem" if word == "ssl_certificate" else "key")
        elif word == "include":
            line = re.sub(r"snippets/", DEPLOY + "/", line)
        lines.append(line)
    temp = "\n".join("    %s_temp_path %s/%s;" % (kind, run, kind)
                     for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    return """daemon off;
master_process on;
worker_processes 1;
pid %(run)s/nginx.pid;
error_log %(run)s/error.log;
events { worker_connections 64; }
http {
    default_type application/octet-stream;
    sendfile on;
%(temp)s
    server {
%(server)s
    }
}
""" % {"run": run, "temp": temp, "server": "\n".join(lines)}


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def readable_for_workers(root):
    # Started as root, nginx's workers run as nobody: the tree must be world-readable.
    if os.geteuid() != 0:
        return
    for folder, dirs, files in os.walk(root):
        os.chmod(folder, os.stat(folder).st_mode | 0o555)
        for name in files:
            path = os.path.join(folder, name)
            os.chmod(path, os.stat(path).st_mode | 0o444)


def die_with_parent():
    # nginx's master gets SIGQUIT (a graceful stop) when this script goes, however it goes.
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGQUIT)  # PR_SET_PDEATHSIG


def start(args, port):
    """Starts nginx on port; its process once it accepts connections, or None."""
    conf = os.path.join(args.run, "nginx.conf")
    with open(conf, "w") as f:
        f.write(test_config(args, port))
    log = open(os.path.join(args.run, "start.log"), "w")
    nginx = subprocess.Popen(["nginx", "-p", args.run, "-c", conf, "-e",
                              os.path.join(args.run, "error.log")],
                             stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                             preexec_fn=die_with_parent)
    deadline = time.monotonic() + START_TIMEOUT_S
    while time.monotonic() < deadline:
        if nginx.poll() is not None:
            return None
        with socket.socket() as probe:
            if probe.connect_ex(("127.0.0.1", port)) == 0:
                return nginx
        time.sleep(0.01)
    nginx.kill()
    nginx.wait()
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--run", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--tls", nargs=2, metavar=("CERT_DIR", "NAME"))
    args = parser.parse_args()
    args.root = os.path.abspath(args.root)
    args.run = os.path.abspath(args.run)
    os.makedirs(args.run, exist_ok=True)
    if args.tls:
        args.tls = [os.path.abspath(args.tls[0]), args.tls[1]]
        subprocess.run([MAKE_CERTS, args.tls[0]], check=True)
    readable_for_workers(args.root)

    nginx = None
    for _ in range(5 if args.port == 0 else 1):  # a free port may be taken before nginx binds it
        port = args.port or free_port()
        nginx = start(args, port)
        if nginx is not None:
            break
    if nginx is None:
        with open(os.path.join(args.run, "error.log")) as f:
            sys.stderr.write(f.read())
        return 1

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    threading.Thread(target=lambda: (sys.stdin.read(), stop.set()), daemon=True).start()
    print("READY %d" % port, flush=True)
    while not stop.wait(0.2) and nginx.poll() is None:
        pass
    subprocess.run(["nginx", "-p", args.run, "-c", os.path.join(args.run, "nginx.conf"),
                    "-s", "quit"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        nginx.wait(STOP_TIMEOUT_S)
    except subprocess.TimeoutExpired:
        nginx.kill()
        nginx.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())
