#!/usr/bin/env python3
"""The whole update of the Linux program (tolvarin-sim), timed from the run's start to its closing
box, on a terminal (a pseudo-terminal: the screen redrawn in place) and with its output piped.

    bench_term.py --bin NATIVE_BIN --work DIR --server SCRIPT [--kib N] [--delay-us N] [--reps N]
                  --out FILE

The tree and the device come from tolvarin-bench-fixture, the same ones the other whole-update
benchmarks use; the program runs forced and with --yes, so it applies the one image without a
question. The clock starts when the program says the run has begun and stops when the closing box
appears. Writes JSON: per mode and run the seconds, the requests the device received and how it
saw them paced (see bench_wine.py).
"""
import argparse
import json
import os
import pty
import select
import subprocess
import sys
import time

from bench_wine import device_report

RUN_MARK = "更新中, 請勿移除測速器.".encode()
DONE_MARK = "更新完成.".encode()


def one_run(args, mode, index):
    work = os.path.join(args.work, "%s-%d" % (mode, index))
    os.makedirs(work, exist_ok=True)
    root, state = os.path.join(work, "server"), os.path.join(work, "device.state")
    subprocess.run([os.path.join(args.bin, "tolvarin-bench-fixture"), root, state, str(args.kib),
                    str(args.delay_us)], check=True)
    server = subprocess.Popen([sys.executable, args.server, "--root", root, "--port", "0"],
                              stdout=subprocess.PIPE, text=True)
    try:
        port = int(server.stdout.readline().split()[1])
        env = dict(os.environ, TOLVARIN_SIM_STATE=state, LANG="C.UTF-8",
                   TOLVARIN_SIM_SERVER="127.0.0.1:%d" % port)
        env.pop("NO_COLOR", None)
        command = [os.path.join(args.bin, "tolvarin-sim"), "--force", "--yes"]
        if mode == "terminal":
            master, slave = pty.openpty()
            proc = subprocess.Popen(command, env=env, stdin=slave, stdout=slave, stderr=slave)
            os.close(slave)
            source = master
        else:
            proc = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE)
            source = proc.stdout.fileno()
        seen, started, ended = b"", None, None
        deadline = time.monotonic() + 300
        while ended is None and time.monotonic() < deadline:
            ready, _, _ = select.select([source], [], [], 1.0)
            if not ready:
                continue
            try:
                chunk = os.read(source, 65536)
            except OSError:
                break
            if not chunk:
                break
            now = time.monotonic()
            seen += chunk
            if started is None and RUN_MARK in seen:
                started = now
            if started is not None and DONE_MARK in seen[seen.find(RUN_MARK):]:
                ended = now
        status = proc.wait(30)
        if mode == "terminal":
            os.close(master)
        if started is None or ended is None or status != 0:
            raise RuntimeError("%s run %d: no complete update (status %s)" % (mode, index, status))
        run = {"seconds": ended - started}
        run.update(device_report(state))
        return run
    finally:
        server.kill()
        server.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--kib", type=int, default=1024)
    parser.add_argument("--delay-us", type=int, default=500)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    for folder in ("bin", "work", "server"):
        setattr(args, folder, os.path.abspath(getattr(args, folder)))
    result = {"kib": args.kib, "delay_us": args.delay_us, "modes": {}}
    for mode in ("terminal", "piped"):
        result["modes"][mode] = [one_run(args, mode, i) for i in range(args.reps)]
    with open(args.out, "w") as f:
        json.dump(result, f)
    return 0


if __name__ == "__main__":
    sys.exit(main())
