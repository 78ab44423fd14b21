#!/usr/bin/env python3
"""The whole update of the simulated Windows build under Wine, timed from Start to the closing box.

    bench_wine.py --bin WIN32_BIN --native-bin NATIVE_BIN --work DIR --server SCRIPT
                  [--kib N] [--delay-us N] [--reps N] --out FILE

Reuses the end-to-end scenarios' session (tests/wine/scenarios.py) to run the server on the
simulated build's port, start tolvarin-sim.exe (forced, so the one image is applied) and drive its
window; the tree and the device come from tolvarin-bench-fixture, the same ones the native
benchmark updates. Writes JSON: per run the seconds from the click on Start to the closing box,
less one start-up of the driver (measured on each run), the requests the device received and how
it saw them paced (the gaps between its answers and the next requests).
Needs WINEPREFIX and DISPLAY, as the scenarios do.
"""
import argparse
import json
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "wine"))
import scenarios  # noqa: E402


def device_report(state_file):
    """Requests received, and the pace lines: gaps timed, their total ns, slow ones, median ns,
    longest ns; of all gaps, and of those before a sector's first request; the time the device
    spent answering."""
    report = {"requests": 0}
    with open(state_file) as f:
        for line in f:
            words = line.split()
            if words and words[0] == "requests":
                report["requests"] = int(words[1])
            elif words and words[0] == "sector-pace":
                report.update(sector_gaps=int(words[1]), sector_gap_s=int(words[2]) * 1e-9,
                              sector_gap_us=int(words[4]) * 1e-3)
            elif words and words[0] == "pace":
                gaps, total, slow, median, longest = (int(w) for w in words[1:6])
                # The longest gap is the wait for the click on Start.
                report.update(gaps=gaps, gap_s=total * 1e-9, slow_gaps=slow,
                              median_gap_us=median * 1e-3, longest_gap_s=longest * 1e-9,
                              run_gap_s=(total - longest) * 1e-9)
            elif words and words[0] == "busy":
                report["in_device_s"] = int(words[1]) * 1e-9
    return report


def one_run(args, index):
    s = scenarios.Session(args, "bench-%s" % index)
    try:
        subprocess.run([os.path.join(args.native_bin, "tolvarin-bench-fixture"), s.root,
                        s.state_file, str(args.kib), str(args.delay_us)], check=True)
        s.start_server()
        s.start_program("f")
        s.wait("Start enabled", lambda st: s.enabled(st, scenarios.START), 60)
        # What one driver command costs around its action: Wine starting and ending the process.
        started = time.monotonic()
        s.driver("state")
        driver_s = time.monotonic() - started
        started = time.monotonic()
        scenarios.check(s.click(scenarios.START) == 0, "Start clickable")
        rc, out = s.driver("wait-box", "120000")
        raw_s = time.monotonic() - started
        scenarios.check(rc == 0, "closing box", out)
        box = s.boxes(json.loads(out))[0]
        scenarios.check(box["caption"] == scenarios.DONE_CAPTION, "closing box", box)
        s.close_box()
        s.check_exit()
        run = {"raw_s": raw_s, "driver_s": driver_s, "seconds": raw_s - driver_s}
        run.update(device_report(s.state_file))
        return run
    finally:
        s.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--native-bin", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--kib", type=int, default=1024)
    parser.add_argument("--delay-us", type=int, default=500)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--port", type=int, default=scenarios.PORT,
                        help="the update server port the simulated build was made with")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    for folder in ("bin", "native_bin", "work", "server"):
        setattr(args, folder, os.path.abspath(getattr(args, folder)))
    args.shots = os.path.join(args.work, "shots")
    args.prefix = os.environ.get("WINEPREFIX")
    scenarios.PORT = args.port
    runs = []
    for i in range(args.reps):
        # The display and Wine are shared with whatever else runs; a run that fails is tried
        # again, twice at most, and reported if it never completes.
        for attempt in range(3):
            try:
                runs.append(one_run(args, "%d-%d" % (i, attempt)))
                break
            except scenarios.Failure as error:
                print("wine run %d, attempt %d failed: %s" % (i, attempt + 1, error),
                      file=sys.stderr)
        else:
            return 1
    with open(args.out, "w") as f:
        json.dump({"kib": args.kib, "delay_us": args.delay_us, "runs": runs}, f)
    return 0


if __name__ == "__main__":
    sys.exit(main())
