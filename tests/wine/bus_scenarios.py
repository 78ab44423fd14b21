#!/usr/bin/env python3
"""Scenarios on a real device stack: tolvarin-local.exe (the release device code, with the local
update server's URL) under Wine, on USB disks that the test bus driver presents.

    bus_scenarios.py --bin DIR --work DIR --shots DIR --server SCRIPT [--tool TOOL] [--prefix DIR]
                     [--port N] [CASE...]

The program's own SetupAPI search, CreateFileW, IOCTL_SCSI_PASS_THROUGH and the system's removal
notices run here; tolvarin-bus.exe (tests/wine/bus) installs the driver, plugs and unplugs the
disks and answers their requests with the simulated device on state files that the native
tolvarin-tool writes, so the state files' faults work as in the simulated build. Uses the
end-to-end scenarios' session (scenarios.py) for the server, the window and the checks. Cases run
by default: appear, two, other, unplug, passing, failing; "speed" times a 1 MiB update through the driver against
tolvarin-sim.exe (needs tolvarin-bench-fixture beside --tool). Needs WINEPREFIX and DISPLAY, as
the scenarios do.
"""
import json
import os
import re
import select
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import scenarios  # noqa: E402  (the scenarios' session and helpers)
from scenarios import Failure, check  # noqa: E402

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
DETECTOR, SECOND, OTHER = "0001", "0002", "0003"
APPLIED = {"VV9V121x", "CC91232x"}  # what the "offer" fixture applies with the first line chosen


def device_tokens():
    """The vendor and product the program looks for, as its source states them."""
    with open(os.path.join(SOURCE, "src", "device", "hid.h"), encoding="utf-8") as f:
        text = f.read()
    return (re.search(r'VENDOR_TOKEN\[\] = u"([^"]+)"', text).group(1),
            re.search(r'PRODUCT_TOKEN\[\] = u"([^"]+)"', text).group(1))


class Bus:
    """A tolvarin-bus.exe session: plugs, unplugs and serves the disks of one folder's state
    files. Its disks go away with it."""

    def __init__(self, s):
        # The 64-bit control program where the i686 tree has one: the prefix is 64-bit, and a
        # driver installed from a 32-bit process would be started in the 32-bit winedevice.
        prefix = os.environ.get("WINEPREFIX") or s.args.prefix
        control = os.path.join(s.args.bin, "tolvarin-bus-x86_64.exe")
        if not os.path.exists(control) or not os.path.isdir(
                os.path.join(prefix, "drive_c", "windows", "syswow64")):
            control = os.path.join(s.args.bin, "tolvarin-bus.exe")
        installed = os.path.join(s.work, "bus-install.txt")
        # Never a pipe to a program that starts a service: the service keeps it open for ever.
        with open(installed, "w") as out:
            code = subprocess.run(["wine", control, "install"],
                                  env=s.env, stdout=out, stderr=subprocess.STDOUT).returncode
        with open(installed) as f:
            check(code == 0, "test bus driver installed", f.read())
        with open(os.path.join(s.work, "bus-session.txt"), "w") as log:
            self.process = subprocess.Popen(
                ["wine", control, "session",
                 scenarios.windows_path(s.work)], env=s.env, stdin=subprocess.PIPE,
                stdout=subprocess.PIPE, stderr=log)
        self.pending = b""
        self.vendor, self.product = device_tokens()

    def command(self, line, timeout=20.0):
        """The lines a command printed before its "ok"."""
        self.process.stdin.write((line + "\n").encode())
        self.process.stdin.flush()
        deadline = time.monotonic() + timeout
        lines = []
        while True:
            # Its own line buffer: select() sees the pipe, not what a file object has read ahead.
            while b"\n" not in self.pending:
                ready, _, _ = select.select([self.process.stdout], [], [],
                                            max(0, deadline - time.monotonic()))
                check(ready, "bus answers " + line)
                chunk = os.read(self.process.stdout.fileno(), 65536)
                check(chunk, "bus session running", line)
                self.pending += chunk
            answer, self.pending = self.pending.split(b"\n", 1)
            answer = answer.decode().rstrip("\r")
            check(not answer.startswith("error"), "bus: " + line, answer)
            if answer == "ok":
                return lines
            lines.append(answer)

    def plug(self, instance, vendor=None, product=None, revision="1.00"):
        self.command("plug %s %s %s %s" % (vendor or self.vendor.upper(), product or self.product,
                                           revision, instance))

    def unplug(self, instance="*"):
        self.command("unplug " + instance)

    def listed(self):
        return self.command("list")

    def close(self):
        if self.process.poll() is None:
            try:
                self.unplug()
            except (Failure, OSError):
                pass
            self.process.stdin.close()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class BusSession(scenarios.Session):
    """A scenario whose disks sit on the test bus."""

    def __init__(self, args, name):
        super().__init__(args, name)
        self.bus = None

    def start_bus(self, serve=True):
        self.bus = Bus(self)
        if serve:
            self.bus.command("serve")
        return self.bus

    def start_program(self, *argv, exe="tolvarin-local.exe"):
        super().start_program(*argv, exe=exe)

    def close(self):
        super().close()
        if self.bus is not None:
            self.bus.close()


def disk_state(s, instance):
    return os.path.join(s.work, instance + ".state")


def write_disk(s, instance, version="1100", delay_us=0):
    """A disk's state file: the fixtures' model at that main version."""
    path = disk_state(s, instance)
    s.tool("sim", "create", "--model-id", scenarios.MODEL_ID, "--model-code", scenarios.MODEL_CODE,
           "--version", version, "--stamp-v", "V11", "--stamp-i", "ABC", "--state", path)
    s.tool("sim", "fault", "--state", path, "--delay-us", str(delay_us))


def requests(s, instance):
    """Requests the disk received, as its state file (saved on unplug) counts them."""
    with open(disk_state(s, instance)) as f:
        return next(int(line.split()[1]) for line in f if line.startswith("requests "))


def disk_device(s, instance, check_programmed=None):
    """The session's state file checks (device(), check_programmed()) on a disk's state file."""
    kept, s.state_file = s.state_file, disk_state(s, instance)
    try:
        return s.check_programmed(check_programmed) if check_programmed else s.device()
    finally:
        s.state_file = kept


def interface_order(bus, instances):
    """The instances in SetupAPI's enumeration order."""
    paths = bus.listed()
    return sorted(instances, key=lambda i: next(n for n, p in enumerate(paths) if "#%s#" % i in p))


def whole_update(s, bus):
    """Start on the window's offer, the closing box, exit status 0, the flash byte-exact."""
    s.wait("Start enabled", lambda st: s.enabled(st, scenarios.START), 20)
    check(s.click(scenarios.START) == 0, "Start")
    box = s.wait_box(scenarios.DONE_CAPTION, 60)
    check(box["text"] == scenarios.DONE_TEXT, "closing box", box)
    s.close_box()
    s.check_exit()
    bus.unplug(DETECTOR)
    check(disk_device(s, DETECTOR, APPLIED) == [0x80000], "finishing command")


def update_on_bus(s, exe="tolvarin-local.exe"):
    """The release device code through a whole update on the bus: the search, the open, every
    request and the closing box (also the planting test's run of the release program)."""
    s.publish_tree("offer")
    write_disk(s, DETECTOR)
    own_server = s.server is None
    if own_server:
        s.start_server()
    bus = Bus(s)
    try:
        bus.command("serve")
        bus.plug(DETECTOR)
        s.start_program(exe=exe)
        whole_update(s, bus)
    finally:
        bus.close()
        if own_server:
            s.server.terminate()
            s.server.wait(10)
            s.server = None


# --- the cases -----------------------------------------------------------------------------------

def case_appear(s):
    """No disk: the search goes on. Then another vendor's disk (first in the list, with a device
    behind it that would answer) and the detector: the other is skipped, the detector updated."""
    s.publish_tree("offer")
    write_disk(s, OTHER, version="1099")
    write_disk(s, DETECTOR)
    s.start_server()
    bus = s.start_bus()
    s.start_program()
    s.wait("three search ticks", lambda st: (scenarios.search_count(st) or 0) >= 3, 10)
    bus.plug(OTHER, vendor="ACME", product="Stick")
    bus.plug(DETECTOR)
    check(interface_order(bus, [DETECTOR, OTHER]) == [OTHER, DETECTOR], "other disk listed first")
    s.wait("the detector's version", lambda st: s.text(st, scenarios.DEVICE_LABEL) == "[ 1100 ]")
    s.shot("1-found")
    whole_update(s, bus)
    bus.unplug(OTHER)
    check(requests(s, OTHER) == 0, "the other disk never received a request")


def case_two(s):
    """Two detectors: the first in enumeration order is opened, the second never used."""
    s.publish_tree("offer")
    bus = s.start_bus()
    versions = {DETECTOR: "1100", SECOND: "1101"}
    for instance in (SECOND, DETECTOR):
        write_disk(s, instance, version=versions[instance])
        bus.plug(instance)
    first, second = interface_order(bus, [DETECTOR, SECOND])
    s.start_program()
    s.wait("the first detector's version",
           lambda st: s.text(st, scenarios.DEVICE_LABEL) == "[ %s ]" % versions[first])
    check(s.click(scenarios.EXIT) == 0, "Exit")
    s.check_exit()
    # A 32-bit caller's request block (the i686 program's) through the same driver.
    with open(disk_state(s, first)) as f:
        info = next(line.split()[1] for line in f if line.startswith("info "))
    check(bus.command("read-info " + first) == [info], "information page read with a 44-byte header")
    bus.unplug()
    counts = requests(s, first), requests(s, second)
    check(counts[0] > 0 and counts[1] == 0, "only the first was used", counts)


def case_other(s):
    """Two detectors: the one not opened unplugged during the other's run changes nothing, the run
    completes byte-exact; the opened one unplugged with the closing box up ends the program."""
    s.publish_tree("offer")
    s.start_server()
    bus = s.start_bus()
    for instance in (DETECTOR, SECOND):
        write_disk(s, instance, delay_us=20000)
        bus.plug(instance)
    opened, other = interface_order(bus, [DETECTOR, SECOND])
    s.start_program()
    s.wait("Start enabled", lambda st: s.enabled(st, scenarios.START), 20)
    check(s.click(scenarios.START) == 0, "Start")
    s.wait("programming", lambda st: re.match(r"^[TVCI] - ", s.text(st, scenarios.START)), 20)
    bus.unplug(other)
    box = s.wait_box(scenarios.DONE_CAPTION, 60)
    check(box["text"] == scenarios.DONE_TEXT, "closing box", box)
    bus.unplug(opened)
    s.check_exit(10)
    check(disk_device(s, opened, APPLIED) == [0x80000], "finishing command")
    check(requests(s, other) == 0, "the other detector never received a request")


def programming_on_detector(s, *fault):
    """The "offer" update under way on the detector's disk (20 ms a request; `fault`: options of
    `sim fault` for its state), from Start pressed to the progress shown. Returns the bus."""
    s.publish_tree("offer")
    write_disk(s, DETECTOR, delay_us=20000)
    if fault:
        s.tool("sim", "fault", "--state", disk_state(s, DETECTOR), *fault)
    s.start_server()
    bus = s.start_bus()
    bus.plug(DETECTOR)
    s.start_program()
    s.wait("Start enabled", lambda st: s.enabled(st, scenarios.START), 20)
    check(s.click(scenarios.START) == 0, "Start")
    s.wait("programming", lambda st: re.match(r"^(Verify )?[TVCI] - ", s.text(st, scenarios.START)),
           20)
    return bus


def case_unplug(s):
    """Unplugged while it is written: the process ends with no box, at the system's own notice or
    at the first failed request, which finds the device gone from the list; the flash keeps what
    was written before, in order, and nothing comes after."""
    bus = programming_on_detector(s)
    s.shot("1-before-unplug")
    started = time.monotonic()
    bus.unplug(DETECTOR)
    s.check_exit(10)
    print("  ended %.2f s after the unplug" % (time.monotonic() - started))
    with open(disk_state(s, DETECTOR), "rb") as f:
        at_removal = f.read()
    commands, sectors = disk_device(s, DETECTOR)
    check(commands == [], "no finishing command", commands)
    # Pages are written in order: the images' flash is what they hold up to some page, then
    # erased; an image is only begun after the one before it was written and verified.
    flash = b"".join(s.flash(sectors, first, last) for name, first, last in s.expected
                     if name in APPLIED)
    image = b"".join(s.image_payload(name) for name, _, _ in s.expected if name in APPLIED)
    written = len(flash.rstrip(b"\xff"))
    check(0 < written <= len(image) and flash[:written] == image[:written], "a prefix was written",
          written)
    bus.unplug()
    with open(disk_state(s, DETECTOR), "rb") as f:
        check(f.read() == at_removal, "nothing reached the device after the removal")


def case_passing(s):
    """A request that fails once and the run goes on (the first erase, on blank flash), then an
    unplug mid-run while the window's thread is held: the back end looks again and the process
    ends within the hold, before any box; the notice alone could only end it after the hold."""
    bus = programming_on_detector(s, "--fail-request", "2")
    hold = subprocess.Popen(["wine", os.path.join(s.args.bin, "tolvarin-driver.exe"),
                             "hold-window", "8000"], env=s.env, cwd=s.work,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(2)  # the driver started and holds the window
        bus.unplug(DETECTOR)
        code = s.wait_exit(10)
        check(code == 0 and hold.poll() is None, "ended while the window was held", code)
    finally:
        hold.wait(20)
    commands, _ = disk_device(s, DETECTOR)
    check(commands == [], "no finishing command", commands)


def case_failing(s):
    """No helper, then a disk without a state file: the device requests fail as the program shows
    a failed request (the information page reads as zeros: the model box) once it has seen the
    device still listed; no hang."""
    s.publish_tree("offer")
    s.start_server()
    bus = s.start_bus(serve=False)
    bus.plug(DETECTOR)
    for step, serve in (("1-no-helper", False), ("2-no-state-file", True)):
        if serve:
            bus.command("serve")
        s.start_program()
        box = s.wait_box(scenarios.FATAL_CAPTION, 20)
        check(box["text"] == "錯誤碼: 0300 機名錯誤", step + ": box", box)
        check(s.text(s.state(), scenarios.DEVICE_LABEL) == "[ 0000 ]", step + ": version shown")
        s.shot(step)
        s.close_box()
        s.check_exit()


def case_speed(s):
    """One 1 MiB update, from Start to the closing box: tolvarin-sim.exe on its state file, then
    tolvarin-local.exe on the same device through the driver."""
    fixture = os.path.join(os.path.dirname(s.args.tool), "tolvarin-bench-fixture")
    subprocess.run([fixture, s.root, s.state_file, "1024", "0"], check=True)
    with open(s.state_file, "rb") as f:
        device = f.read()
    s.start_server()
    seconds = {}
    for exe in ("tolvarin-sim.exe", "tolvarin-local.exe"):
        if exe == "tolvarin-local.exe":
            with open(disk_state(s, DETECTOR), "wb") as f:
                f.write(device)
            s.start_bus().plug(DETECTOR)
        s.start_program("f", exe=exe)
        s.wait("Start enabled", lambda st: s.enabled(st, scenarios.START), 60)
        started = time.monotonic()
        check(s.click(scenarios.START) == 0, "Start")
        rc, out = s.driver("wait-box", "300000")
        seconds[exe] = time.monotonic() - started
        check(rc == 0 and s.boxes(json.loads(out))[0]["caption"] == scenarios.DONE_CAPTION,
              exe + ": closing box", out)
        s.close_box()
        s.check_exit()
    print("  1 MiB update, Start to closing box: %.2f s simulated back end, %.2f s through the "
          "driver" % (seconds["tolvarin-sim.exe"], seconds["tolvarin-local.exe"]))


CASES = {"appear": case_appear, "two": case_two, "other": case_other, "unplug": case_unplug,
         "passing": case_passing, "failing": case_failing, "speed": case_speed}
DEFAULT_CASES = ["appear", "two", "other", "unplug", "passing", "failing"]


def main():
    parser = scenarios.session_parser()
    parser.add_argument("--port", type=int, default=scenarios.PORT,
                        help="the update server port the local programs were built with")
    parser.add_argument("cases", nargs="*", help="of: " + " ".join(sorted(CASES)))
    args = scenarios.parse_session_args(parser)
    for case in args.cases:
        if case not in CASES:
            parser.error("no case " + case)
    scenarios.PORT = args.port
    return scenarios.run_cases(args.cases or DEFAULT_CASES, CASES,
                               lambda name: BusSession(args, "bus-" + name))


if __name__ == "__main__":
    sys.exit(main())
