#!/usr/bin/env python3
"""Prints the benchmark figures of one scripts/bench.sh run, each beside its yardstick.

    bench_report.py OUT_DIR MODE

OUT_DIR holds core.json and update.json (Google Benchmark), memory.txt (tolvarin-update-memory),
prefetch.txt (tolvarin-prefetch-bench), term.json (bench_term.py), and wine.json (bench_wine.py)
or wine.status (why there is none). MODE "smoke" only checks that
every figure is there.
"""
import json
import os
import re
import statistics
import subprocess
import sys

UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load_runs(path):
    """Per benchmark name: its iteration entries (aggregates left out)."""
    with open(path) as f:
        data = json.load(f)
    runs = {}
    for b in data["benchmarks"]:
        if b.get("run_type") == "aggregate" or b.get("error_occurred"):
            continue
        b["ns"] = b["real_time"] * UNIT_NS[b["time_unit"]]
        runs.setdefault(b["run_name"], []).append(b)
    return runs


def find(runs, prefix):
    for name, entries in runs.items():
        if name.startswith(prefix):
            return name, entries
    raise KeyError("no benchmark " + prefix)


def min_ns(runs, prefix):
    return min(b["ns"] for b in find(runs, prefix)[1])


def median_ns(runs, prefix):
    return statistics.median(b["ns"] for b in find(runs, prefix)[1])


def callgrind(out, name, functions):
    """Instructions counted in profile `name`, and the inclusive count of each function named."""
    with open(os.path.join(out, "cg.%s.log" % name)) as f:
        total = int(re.search(r"Collected : (\d+)", f.read()).group(1))
    text = subprocess.run(["callgrind_annotate", "--inclusive=yes", os.path.join(out, "cg." + name)],
                          capture_output=True, text=True, check=True).stdout
    counts = {}
    for function in functions:
        match = re.search(r"^\s*([\d,]+) .*%s" % re.escape(function), text, re.M)
        counts[function] = int(match.group(1).replace(",", "")) if match else 0
    return total, counts


def report_instructions(out):
    print("\n0. Instruction counts (callgrind: repeatable, whatever the machine's load)")
    sectors_path = os.path.join(out, "profile_sectors")
    if not os.path.exists(sectors_path):
        print("   none: no valgrind on this machine")
        return
    with open(sectors_path) as f:
        pages = int(f.read()) * 16
    device = "CSimDevice::HandleRequest("
    curl_init = "curl_global_init"
    total, counts = callgrind(out, "core", [device])
    floor, _ = callgrind(out, "floor", [])
    program = total - counts[device]
    print("   ProgramAndVerify of %d pages: %.0f a page, of which the simulated device %.0f and "
          "the program %.0f" % (pages, total / pages, counts[device] / pages, program / pages))
    print("   floor (copy a page into a block, compare it): %.0f a page; the program is %.1f x "
          "floor (%.1f x with the device)" % (floor / pages, program / floor, total / floor))
    total, counts = callgrind(out, "update", [device, curl_init])
    program = total - counts[device] - counts[curl_init]
    print("   whole update of %d KiB, no delay: %d, of which the device %d and libcurl's one-off "
          "start-up %d; the program %.0f a page" %
          (pages // 4, total, counts[device], counts[curl_init], program / pages))


def report_term(out):
    print("\n5. The Linux program (tolvarin-sim --force --yes): the run's start to the closing box")
    with open(os.path.join(out, "term.json")) as f:
        term = json.load(f)
    for mode, runs in term["modes"].items():
        requests = runs[0]["requests"] - 1  # the information page was read before the run
        nominal = requests * term["delay_us"] * 1e-6
        best = min(runs, key=lambda r: r["seconds"])
        med = statistics.median(r["seconds"] for r in runs)
        print("   %s, %d KiB: %d requests x delay = %.3f s; fastest %.3f s (%+.2f %%), median "
              "%.3f s of %d" % (mode, term["kib"], requests, nominal, best["seconds"],
                                100 * (best["seconds"] - nominal) / nominal, med, len(runs)))
        # The device's side: the time from each answer to the next request is the program's.
        print("     as the device saw the fastest run: %.1f ms between answers and requests "
              "(%.2f %%, the download and time off the processor included), %d gaps over 100 us;"
              " the rest, %.1f ms, is the simulated device's own work and its time off the "
              "processor" %
              (1e3 * best["gap_s"], 100 * best["gap_s"] / nominal, best["slow_gaps"],
               1e3 * (best["seconds"] - nominal - best["gap_s"])))
        gap = statistics.median(r["median_gap_us"] for r in runs)
        print("     typical gap %.2f us a request (median of runs): x requests = %.2f %% of the "
              "device's time" % (gap, 100 * gap * 1e-6 * requests / nominal))


def report_prefetch(out):
    print("\n6. The sample release (4 images) over a link of about 5 Mbit/s: Start to the closing "
          "box")
    runs, header = {}, {}
    with open(os.path.join(out, "prefetch.txt")) as f:
        for line in f:
            words = line.split()
            if len(words) == 2:
                header[words[0]] = float(words[1])
            else:
                runs.setdefault(words[0], []).append(
                    {k: float(v) for k, v in zip(words[1::2], words[2::2])})
    first = runs["loopback_at_once"][0]
    device_s = first["requests"] * header["delay_us"] * 1e-6
    print("   the device's own time: %d requests x %d us = %.3f s" %
          (first["requests"], header["delay_us"], device_s))
    best = {mode: min(r["run_s"] for r in entries) for mode, entries in runs.items()}
    labels = (("loopback_at_once", "loopback, Start at once"),
              ("slow_prefetched", "5 Mbit/s, Start after the prefetch"),
              ("slow_at_once", "5 Mbit/s, Start at once (download and device)"))
    for mode, label in labels:
        entries = runs[mode]
        med = statistics.median(r["run_s"] for r in entries)
        print("   %-47s fastest %.3f s (%+.2f %% of the device's), median %.3f s of %d; "
              "against loopback %+.2f %%" %
              (label, best[mode], 100 * (best[mode] - device_s) / device_s, med, len(entries),
               100 * (best[mode] - best["loopback_at_once"]) / best["loopback_at_once"]))
    offer = statistics.median(r["offer_s"] for r in runs["slow_prefetched"])
    images = first["image_bytes"]
    print("     the prefetch took %.3f s with the offer on screen (median): %.2f Mbit/s for %d "
          "bytes of images" % (offer, images * 8 / offer / 1e6, images))
    peak = max(r["peak_bytes"] for entries in runs.values() for r in entries)
    print("   peak memory, identification to the closing box: the heap %.0f KiB above its start, "
          "against %.0f KiB of images in the run: %.2f x" %
          (peak / 1024, images / 1024, peak / images))


def main():
    out, mode = sys.argv[1], sys.argv[2]
    core = load_runs(os.path.join(out, "core.json"))
    update = load_runs(os.path.join(out, "update.json"))
    print()
    print("Wall-clock figures: median of the repetitions (whole updates: fastest and median);")
    print("the machine is shared, so they move with its load. Ratios are against the yardstick")
    print("measured in the same run.")

    report_instructions(out)

    print("\n1. Core path: simulated device, no delay")
    floor = median_ns(core, "BM_PageFloor")
    print("   floor: copy 256 bytes into a block, compare 256 bytes   %8.1f ns" % floor)
    for label, prefix in (("one write request, block built to device answer", "BM_WriteRequest"),
                          ("one read request, page copied out", "BM_ReadRequest"),
                          ("one erase request", "BM_EraseRequest")):
        ns = median_ns(core, prefix)
        print("   %-55s %8.1f ns  %6.1f x floor" % (label, ns, ns / floor))
    yield_ns = median_ns(core, "BM_Yield")
    print("   %-55s %8.1f ns" % ("processor yield (after each erase and page write)", yield_ns))
    name, entries = find(core, "BM_ProgramAndVerify")
    pages = entries[0]["pages"]
    page_ns = statistics.median(b["ns"] for b in entries) / pages
    print("   ProgramAndVerify of %d pages: %.2f M pages/s = %.1f ns a page  %6.1f x floor" %
          (pages, 1e3 / page_ns, page_ns, page_ns / floor))
    yields = yield_ns * (1 + 1 / 16)
    print("     of which the yields it must make: %.1f ns; the rest %.1f ns = %.1f x floor" %
          (yields, page_ns - yields, (page_ns - yields) / floor))

    print("\n2. Whole update (identification, index files, download, program, verify), "
          "device delay per request")
    native_run_s = {}
    native_gap_us = {}
    native_sector_gap_us = {}
    for name, entries in sorted(update.items()):
        if not name.startswith("BM_WholeUpdate"):
            continue
        label = name.split("/")[1]
        nominal = entries[0]["device_s"]
        requests = int(entries[0]["requests"])
        times = sorted(b["ns"] / 1e9 for b in entries)
        best, med = times[0], statistics.median(times)
        fastest = min(entries, key=lambda b: b["ns"])
        native_run_s[label] = min(b["run_s"] for b in entries)
        native_gap_us[label] = statistics.median(b["median_gap_us"] for b in entries)
        native_sector_gap_us[label] = statistics.median(b["sector_gap_us"] for b in entries)
        print("   %s: %d requests x delay = %.3f s; measured fastest %.3f s (%+.2f %%), "
              "median %.3f s (%+.2f %%) of %d" %
              (label, requests, nominal, best, 100 * (best - nominal) / nominal, med,
               100 * (med - nominal) / nominal, len(times)))
        gap = native_gap_us[label]
        print("     as the device saw the fastest run: %.1f ms between answers and requests "
              "(%.2f %%, downloads included), %d gaps over 100 us; in the device %.3f s" %
              (1e3 * fastest["program_s"], 100 * fastest["program_s"] / nominal,
               fastest["slow_gaps"], fastest["in_device_s"]))
        print("     typical gap %.2f us a request (median of runs): x requests = %.2f %% of the "
              "device's time" % (gap, 100 * gap * 1e-6 * requests / nominal))
        sector_gap = native_sector_gap_us[label]
        sectors = fastest["sector_gaps"]
        print("     at a sector's start (progress shown): typical gap %.2f us, x %d = %.3f %%" %
              (sector_gap, sectors, 100 * sector_gap * 1e-6 * sectors / nominal))

    print("\n2a. What a signed program adds to the 1 MiB update: SHA-256 of the image and both "
          "index files, one verify")
    checks_ns = median_ns(core, "BM_PublicationChecks")
    whole = [n for n in update if n.startswith("BM_WholeUpdate/1024KiB")]
    if whole:
        device_s = update[whole[0]][0]["device_s"]
        print("   %.3f ms (libcrypto, median) against the device's %.3f s (requests x delay): "
              "%.4f %% of the device's time" % (checks_ns / 1e6, device_s,
                                                  100 * checks_ns / 1e9 / device_s))
    else:
        print("   %.3f ms (libcrypto, median); no 1 MiB whole update in this run to compare with"
              % (checks_ns / 1e6))

    print("\n3. Download and memory")
    name = [n for n in update if n.startswith("BM_DownloadToBuffer/") and "tiny" not in n][0]
    label = name.split("/")[1]
    # The fastest repetition of each: a process start varies more than the transfer itself.
    ours = min_ns(update, "BM_DownloadToBuffer/" + label)
    curl = min_ns(update, "BM_CurlCommand/" + label)
    ours_tiny = min_ns(update, "BM_DownloadToBuffer/tiny")
    curl_tiny = min_ns(update, "BM_CurlCommand/tiny")
    print("   %s from the local server (fastest of the repetitions): DownloadToBuffer %.1f ms, "
          "curl -o /dev/null %.1f ms: ratio %.2f" % (label, ours / 1e6, curl / 1e6, ours / curl))
    print("     a tiny file (what any download costs; curl starts a process): %.2f ms and "
          "%.2f ms" % (ours_tiny / 1e6, curl_tiny / 1e6))
    if curl > curl_tiny and ours > ours_tiny:
        print("     the transfer alone (estimate: less the tiny file's time): %.1f ms and %.1f ms: "
              "ratio %.2f" % ((ours - ours_tiny) / 1e6, (curl - curl_tiny) / 1e6,
                              (ours - ours_tiny) / (curl - curl_tiny)))
    memory = {}
    with open(os.path.join(out, "memory.txt")) as f:
        for line in f:
            key, value = line.split()
            memory[key] = float(value)
    print("   whole update of a %d KiB image: peak %d KiB above what stayed resident: %.2f x "
          "the image" % (memory["image_kib"], memory["update_peak_kib"],
                         memory["peak_over_image"]))

    builds = {"win32": "the i686 build, WoW64 in a 64-bit prefix",
              "win64": "the x86-64 build in a 64-bit prefix"}
    build_path = os.path.join(out, "wine.build")
    build = "?"
    if os.path.exists(build_path):
        with open(build_path) as f:
            build = f.read().strip()
    print("\n4. Under Wine: tolvarin-sim.exe (%s), Start to the closing box" %
          builds.get(build, build))
    wine_path = os.path.join(out, "wine.json")
    if os.path.exists(wine_path):
        with open(wine_path) as f:
            wine = json.load(f)
        label = "%dKiB" % wine["kib"]
        runs = wine["runs"]
        best = min(r["seconds"] for r in runs)
        med = statistics.median(r["seconds"] for r in runs)
        requests = runs[0]["requests"] - 1  # the information page was read before Start
        nominal = requests * wine["delay_us"] * 1e-6
        native = native_run_s.get(label)
        print("   %s: %d requests x delay = %.3f s; fastest %.3f s (%+.2f %%), median %.3f s of %d"
              % (label, requests, nominal, best, 100 * (best - nominal) / nominal, med, len(runs)))
        fastest = min(runs, key=lambda r: r["seconds"])
        if "run_gap_s" in fastest:
            print("     as the device saw the fastest run: %.1f ms between answers and requests "
                  "after Start (%.2f %%), %d gaps over 100 us" %
                  (1e3 * fastest["run_gap_s"], 100 * fastest["run_gap_s"] / nominal,
                   fastest["slow_gaps"]))
        if native is not None:
            print("   native update run of the same image, fastest %.3f s: Wine / native = %.3f" %
                  (native, best / native))
            if "in_device_s" in fastest and "run_gap_s" in fastest:
                rest = fastest["seconds"] - fastest["in_device_s"] - fastest["run_gap_s"]
                print("     of the fastest Wine run: in the device %.3f s (its delays and its own "
                      "work), gaps %.1f ms, the rest %.1f ms (the closing box coming up and seen "
                      "by the driver); without that rest Wine / native = %.3f" %
                      (fastest["in_device_s"], 1e3 * fastest["run_gap_s"], 1e3 * rest,
                       (fastest["seconds"] - rest) / native))
            if "median_gap_us" in runs[0]:
                wine_gap = statistics.median(r["median_gap_us"] for r in runs)
                print("   typical gap between requests: Wine %.2f us, native %.2f us: ratio %.2f; "
                      "x requests = %.2f %% of the device's time under Wine" %
                      (wine_gap, native_gap_us[label], wine_gap / native_gap_us[label],
                       100 * wine_gap * 1e-6 * requests / nominal))
            if "sector_gap_us" in runs[0]:
                wine_sector = statistics.median(r["sector_gap_us"] for r in runs)
                sectors = runs[0]["sector_gaps"]
                print("   at a sector's start (progress shown): Wine %.1f us, native %.2f us; "
                      "x %d = %.2f %% of the device's time under Wine" %
                      (wine_sector, native_sector_gap_us[label], sectors,
                       100 * wine_sector * 1e-6 * sectors / nominal))
        else:
            print("   no native run of %s in this run to compare with" % label)
    status = "not run"
    if not os.path.exists(wine_path):
        status_path = os.path.join(out, "wine.status")
        if os.path.exists(status_path):
            with open(status_path) as f:
                status = f.read().strip()
        print("   pending: " + status)
    report_term(out)
    report_prefetch(out)
    # Every figure must be there, Wine's too, even in a smoke run; only a machine that cannot run
    # the program at all is let off.
    missing = not os.path.exists(wine_path) and not status.startswith("skipped:")
    return 1 if mode == "smoke" and missing else 0


if __name__ == "__main__":
    sys.exit(main())
