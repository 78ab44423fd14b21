#!/usr/bin/env python3
"""End-to-end scenarios: tolvarin-sim.exe under Wine, driven through its window like a person.

    scenarios.py --bin DIR --work DIR --shots DIR --server SCRIPT [--tool TOOL] [--prefix DIR]
                 [--port N] [--certs DIR] SCENARIO...

Each scenario prepares its update server tree and simulated device with the native tolvarin-tool
(--tool; by default build/native/bin/tolvarin-tool of the same source tree as --bin),
starts the local update server, or nginx with the deploy/nginx site (over https with a test
certificate from --certs), on the simulated programs' port (--port, 18047 by default) when it
needs one, starts the program (tolvarin-sim-tls.exe for https), reads and drives its window with
tolvarin-driver.exe, takes screenshots of
the X display into --shots as <scenario>-<step>.png, and checks the window's texts, the boxes,
the program's exit status and what the simulated device holds afterwards. Needs a prepared Wine
prefix (scripts/wine-prefix.sh; WINEPREFIX, or --prefix when that is unset) and DISPLAY. One
prefix serves one X display at a time: its desktop opens on the display of its first window.
"""
import argparse
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import time

PORT = 18047
START, EXIT, DEVICE_LABEL, LATEST_LABEL, COMBO = "112", "113", "116", "117", "125"
TITLE = "Tolvarin - k47Q"
SEARCH = "尋 找 中..... %3d"
DONE_CAPTION = "更新完成."
DONE_TEXT = "1.請移除<測速器>與<電腦>的USB連線,\n        之後,\n   電腦即可自動離開更新程式.\n2.Goodbye."
MORE_CAPTION = "還有更新!"
MORE_TEXT = ("1.請移除<測速器>與<電腦>的USB連線,\n  之後,電腦將自動離開更新程式.\n"
             "2.重新連接<測速器>與<電腦>的USB連線,\n3.電腦:再度執行更新程式.\n")
FATAL_CAPTION = "執行時錯誤"
LINES = [" 1123  [ main 1.2.3 ]", " 1124  [ main 1.2.4 ]"]
DEVICE_PATH = ("\\\\?\\usbstor#disk&ven_quorvel&prod_482diskprobexq&rev_1.00#0001#"
               "{53f56308-b6bf-11d0-94f2-00a0c91efb8b}")
# Start's caption while a run works: download, then per sector write and verify progress.
PROGRESS = re.compile(r"^(下載更新檔中\.\.\.|\[ +\d+ \]|[TVCI] - +\d+ -|Verify [TVCI] - +\d+ -|"
                      r"Verify [TVCI] Complete!)$")

# The fixtures' model and images: names are 8 characters, 2..5 the tag, 3..5 the stamp, 6 the kind
# digit; the T entry's characters 4..5 are the model code 0x41 (with main version digit 1).
MODEL_ID, MODEL_CODE = "4D9C", "0x41"
T_IMAGE = ("TT9C410x", 0, 0, 0x11, "model")
V_IMAGE = ("VV9V121x", 2, 3, 0x22, "voice 1.2")
C1_IMAGE = ("CC91232x", 8, 11, 0x33, "main 1.2.3")
C2_IMAGE = ("CC91242x", 8, 11, 0x44, "main 1.2.4")
FIXTURES = ("offer", "current", "more", "badmodel", "corrupt", "ignorewrite")


class Failure(Exception):
    pass


def check(condition, what, detail=None):
    if not condition:
        raise Failure(what + ("" if detail is None else ": " + repr(detail)))


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run_tool(tool, *argv):
    """Runs the native tolvarin-tool; its JSON answer."""
    result = subprocess.run([tool] + list(argv) + ["--json"], capture_output=True, text=True)
    check(result.returncode == 0, "tolvarin-tool " + " ".join(argv), result.stderr)
    return json.loads(result.stdout)


def publish_tree(tool, work, scenario):
    """Writes WORK/server, the scenario's server tree: an up-to-date device has one main image, the
    others two to pick from. A different final index means the pass is not the last; "corrupt"
    flips a payload byte of the voice image, so that it no longer matches its checksum. Returns
    the tool's layout of the model and the (name, first, last) sectors of each image."""
    check(scenario in FIXTURES, "known fixture", scenario)
    images = [T_IMAGE, V_IMAGE, C1_IMAGE] + ([] if scenario == "current" else [C2_IMAGE])
    entries = [{"name": name, "description": text} for name, _, _, _, text in images]
    model = {"modelId": MODEL_ID,
             "images": [{"name": name, "firstSector": first, "lastSector": last,
                         "pattern": seed} for name, first, last, seed, _ in images],
             "step": {"versionWord": 0x01000001, "entries": entries},
             "final": {"versionWord": 0x01000002 if scenario == "more" else 0x01000001,
                       "entries": entries}}
    manifest = os.path.join(work, "manifest.json")
    with open(manifest, "w", encoding="utf-8") as f:
        json.dump({"models": [model]}, f, ensure_ascii=False)
    root = os.path.join(work, "server")
    shutil.rmtree(root, ignore_errors=True)
    run_tool(tool, "publish", manifest, "--out", root)
    layout = run_tool(tool, "layout", "--model-id", MODEL_ID)
    if scenario == "corrupt":
        with open(os.path.join(root, layout["pool"], V_IMAGE[0]), "r+b") as f:
            f.seek(40)
            byte = f.read(1)[0]
            f.seek(40)
            f.write(bytes([byte ^ 0x5A]))
    return layout, [(name, first, last) for name, first, last, _, _ in images]


def create_device(tool, path, scenario, delay_us=0):
    """Writes the scenario's simulated device into the state file PATH."""
    current = scenario == "current"
    run_tool(tool, "sim", "create", "--model-id", "4G9C" if scenario == "badmodel" else MODEL_ID,
             "--model-code", MODEL_CODE, "--version", "1123" if current else "1100",
             "--stamp-v", "V12" if current else "V11", "--stamp-i", "ABC", "--state", path)
    faults = ["--delay-us", str(delay_us)]
    # The device takes the first page of the voice image's range without storing it.
    if scenario == "ignorewrite":
        faults += ["--ignore-write", str(V_IMAGE[1] * 16)]
    run_tool(tool, "sim", "fault", "--state", path, *faults)


class Session:
    """One scenario: its folder, device, server and program."""

    def __init__(self, args, name):
        self.args = args
        self.name = name
        self.work = os.path.join(args.work, name)
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        os.makedirs(args.shots, exist_ok=True)
        self.root = os.path.join(self.work, "server")
        self.state_file = os.path.join(self.work, "device.state")
        self.unplugged = os.path.join(self.work, "device.unplugged")
        self.env = dict(os.environ, WINEDEBUG="-all", TOLVARIN_SIM_STATE=windows_path(self.state_file))
        # The caller's prefix when it has one (scripts/wine-prefix.sh exports it), else --prefix.
        self.env.setdefault("WINEPREFIX", args.prefix)
        self.env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
        self.server = None
        self.program = None
        self.steps = []

    def tool(self, *argv):
        """Runs the native tolvarin-tool; its JSON answer."""
        return run_tool(self.args.tool, *argv)

    def wine(self, exe, *argv, **kwargs):
        return subprocess.run(["wine", os.path.join(self.args.bin, exe)] + list(argv),
                              env=self.env, cwd=self.work, capture_output=True, **kwargs)

    # --- the device and the server -------------------------------------------------------------
    def fixture(self, scenario, delay_us=0, plugged=True):
        """Writes the server tree and the device; the device stays unplugged until plug_in()."""
        self.publish_tree(scenario)
        create_device(self.args.tool, self.unplugged, scenario, delay_us)
        if plugged:
            self.plug_in()

    def publish_tree(self, scenario):
        self.layout, self.expected = publish_tree(self.args.tool, self.work, scenario)

    def pool_file(self, name):
        return os.path.join(self.root, self.layout["pool"], name)

    def plug_in(self):
        os.replace(self.unplugged, self.state_file)  # appears at once, never half-written

    def unplug(self):
        os.remove(self.state_file)

    def start_server(self):
        self.server = subprocess.Popen(
            [sys.executable, self.args.server, "--root", self.root, "--port", str(PORT)],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.server.stdout.readline()
        check(line.strip() == "READY %d" % PORT, "update server ready", line)

    def start_nginx(self, certificate=None):
        """nginx with the deploy/nginx site on PORT: http, or https with that test certificate."""
        run = os.path.join(self.work, "nginx")
        shutil.rmtree(run, ignore_errors=True)
        argv = [sys.executable, self.args.nginx, "--root", self.root, "--run", run, "--port",
                str(PORT)]
        if certificate:
            check(self.args.certs, "--certs names the test certificates")
            argv += ["--tls", self.args.certs, certificate]
        # stdin stays open: the script serves until it closes or is terminated.
        self.server = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                       stderr=subprocess.DEVNULL, text=True)
        line = self.server.stdout.readline()
        check(line.strip() == "READY %d" % PORT, "nginx ready", line)

    def image_payload(self, name):
        with open(self.pool_file(name), "rb") as f:
            return f.read()[32:]

    def device(self):
        """What the state file says: finishing commands and flash sectors."""
        commands, sectors = [], {}
        with open(self.state_file) as f:
            for line in f:
                words = line.split()
                if words[0] == "command":
                    commands.append(int(words[1], 16))
                elif words[0] == "sector":
                    sectors[int(words[1])] = bytes.fromhex(words[2])
        return commands, sectors

    def flash(self, sectors, first, last):
        erased = b"\xff" * 4096
        return b"".join(sectors.get(s, erased) for s in range(first, last + 1))

    def check_programmed(self, names):
        """Each listed image is in flash over its range; nothing else was written."""
        commands, sectors = self.device()
        written = set()
        for name, first, last in self.expected:
            if name in names:
                check(self.flash(sectors, first, last) == self.image_payload(name),
                      "flash holds " + name)
                written.update(range(first, last + 1))
        check(set(sectors) == written, "only the applied images' sectors were written",
              sorted(sectors))
        return commands

    # --- the program ---------------------------------------------------------------------------
    def start_program(self, *argv, exe="tolvarin-sim.exe"):
        self.program = subprocess.Popen(
            ["wine", os.path.join(self.args.bin, exe)] + list(argv),
            env=self.env, cwd=self.work, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # A Wine process beside the sanitizer tests may take more than 10 s to open its window.
        result = self.wine("tolvarin-driver.exe", "wait-window", "30000")
        check(result.returncode == 0, "main window appears", result.returncode)

    def driver(self, *argv):
        result = self.wine("tolvarin-driver.exe", *argv, timeout=60)
        return result.returncode, result.stdout.decode("utf-8")

    def state(self):
        rc, out = self.driver("state")
        if rc != 0:
            return None
        return json.loads(out)

    def wait(self, what, condition, timeout=15.0):
        """Polls the window until condition(state) holds; returns that state."""
        deadline = time.monotonic() + timeout
        last = None
        while True:
            check(self.program.poll() is None, "program still running while waiting for " + what,
                  self.program.returncode)
            state = self.state()
            if state is not None:
                last = state
                if condition(state):
                    return state
            if time.monotonic() > deadline:
                raise Failure("timed out waiting for %s; window was %s" % (
                    what, json.dumps(last, ensure_ascii=False)))
            time.sleep(0.1)

    def text(self, state, control):
        return state["controls"][control]["text"]

    def enabled(self, state, control):
        return state["controls"][control]["enabled"]

    def boxes(self, state):
        return [d for d in state["dialogs"] if not d["about"]]

    def wait_box(self, caption, timeout=20.0):
        state = self.wait("message box " + caption, lambda s: self.boxes(s), timeout)
        box = self.boxes(state)[0]
        check(box["caption"] == caption, "box caption", box)
        return box

    def click(self, control):
        rc, _ = self.driver("click", control)
        return rc

    def close_box(self):
        rc, _ = self.driver("close-box")
        check(rc == 0, "a box to close", rc)

    def wait_exit(self, timeout=15.0):
        try:
            return self.program.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure("program did not end within %.0f s" % timeout)

    def check_exit(self, timeout=15.0):
        code = self.wait_exit(timeout)
        check(code == 0, "exit status 0", code)

    def alive_after(self, seconds):
        time.sleep(seconds)
        return self.program.poll() is None

    def shot(self, step):
        path = os.path.join(self.args.shots, "%s-%s.png" % (self.name, step))
        subprocess.run(["import", "-window", "root", path], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.steps.append(path)

    def close(self):
        if self.program is not None and self.program.poll() is None:
            self.program.kill()
            self.program.wait()
        # Asked to end, a server frees its port before the next session needs it (nginx stops
        # through `nginx -s quit`).
        if self.server is not None and self.server.poll() is None:
            self.server.terminate()
            try:
                self.server.wait(10)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait()


def port_in_use():
    with socket.socket() as probe:
        probe.settimeout(0.5)
        return probe.connect_ex(("127.0.0.1", PORT)) == 0


def search_count(state):
    match = re.fullmatch(r"尋 找 中\.\.\.\.\. *(\d+)", state["controls"][DEVICE_LABEL]["text"])
    return int(match.group(1)) if match else None


# --- the scenarios -------------------------------------------------------------------------------

def scenario_update(s):
    """No device at start; plugging it in, picking the second main version, the whole run."""
    s.fixture("offer", delay_us=6000, plugged=False)
    s.start_server()
    s.start_program()
    state = s.state()
    check(state["title"] == TITLE, "title", state["title"])
    check(not s.enabled(state, START) and not s.enabled(state, COMBO), "Start and list disabled")
    check(s.text(state, LATEST_LABEL) == "", "empty latest label")
    state = s.wait("three search ticks", lambda st: (search_count(st) or 0) >= 3, 10)
    count = search_count(state)
    check(s.text(state, DEVICE_LABEL) == SEARCH % count, "search progress text",
          s.text(state, DEVICE_LABEL))
    s.shot("1-searching")

    s.plug_in()
    state = s.wait("device version", lambda st: s.text(st, DEVICE_LABEL) == "[ 1100 ]", 10)
    state = s.wait("Start enabled", lambda st: s.enabled(st, START), 10)
    check(s.text(state, LATEST_LABEL) == "[ 1124 ]  請<開始更新>", "latest label",
          s.text(state, LATEST_LABEL))
    check(state["lines"] == LINES, "catalogue lines", state["lines"])
    check(state["selection"] == 0 and s.enabled(state, COMBO), "first line selected, list on")
    check(search_count(s.state()) is None, "search stopped")
    s.shot("2-offer")

    s.driver("select", "1")
    check(s.click(START) == 0, "Start clickable")
    state = s.wait("progress in Start's caption", lambda st: PROGRESS.match(s.text(st, START))
                   and not s.text(st, START).startswith("下載"), 20)
    check(not s.enabled(state, START) and not s.enabled(state, EXIT) and
          not s.enabled(state, COMBO), "Start, Exit and the list disabled during the run")
    check(s.click(START) == 3, "a second press is refused")
    s.shot("3-progress")
    captions = set()
    state = s.wait("closing box", lambda st: captions.add(s.text(st, START)) or s.boxes(st), 30)
    for caption in captions:
        check(PROGRESS.match(caption), "progress caption", caption)
    box = s.boxes(state)[0]
    check(box["caption"] == DONE_CAPTION and box["text"] == DONE_TEXT, "closing box", box)
    check(s.text(state, START) == "Verify C Complete!", "last progress", s.text(state, START))
    s.shot("4-done")
    s.close_box()
    s.check_exit()
    commands = s.check_programmed({"VV9V121x", "CC91242x"})
    check(commands == [0x80000], "finishing command", commands)


def scenario_current(s):
    """An up-to-date device: nothing is offered and Start stays off."""
    s.fixture("current")
    s.start_server()
    s.start_program()
    state = s.wait("update check", lambda st: s.text(st, LATEST_LABEL) != "", 15)
    check(s.text(state, DEVICE_LABEL) == "[ 1123 ]", "device version", s.text(state, DEVICE_LABEL))
    check(s.text(state, LATEST_LABEL) == "[ 1123 ]  請<離開>,不須更新", "latest label",
          s.text(state, LATEST_LABEL))
    check(state["lines"] == LINES[:1], "catalogue lines", state["lines"])
    check(s.alive_after(1.5), "still running")
    state = s.state()
    check(not s.enabled(state, START), "Start stays disabled")
    check(s.click(START) == 3, "disabled Start cannot be pressed")
    s.shot("1-up-to-date")
    check(s.click(EXIT) == 0, "Exit")
    s.check_exit()
    commands, sectors = s.device()
    check(commands == [] and sectors == {}, "device untouched", (commands, sorted(sectors)))


def scenario_force(s):
    """"f" on the command line: forced mode offers and applies every image."""
    s.fixture("current")
    s.start_server()
    s.start_program("f")
    state = s.state()
    check(state["title"] == TITLE + " (強制更新)", "forced title", state["title"])
    state = s.wait("Start enabled", lambda st: s.enabled(st, START), 15)
    check(s.text(state, LATEST_LABEL) == "[ 1123 ]  請<開始更新>", "latest label",
          s.text(state, LATEST_LABEL))
    s.shot("1-forced")
    check(s.click(START) == 0, "Start")
    box = s.wait_box(DONE_CAPTION, 30)
    check(box["text"] == DONE_TEXT, "closing text", box)
    s.close_box()
    s.check_exit()
    commands = s.check_programmed({"TT9C410x", "VV9V121x", "CC91232x"})
    check(commands == [0x80000], "finishing command", commands)
    # Anything but exactly "f" is normal mode.
    for argv in (["F"], ["f", "f"]):
        s.start_program(*argv)
        state = s.state()
        check(state["title"] == TITLE, "title with %r" % argv, state["title"])
        check(s.click(EXIT) == 0, "Exit")
        s.check_exit()


def scenario_more(s):
    """The final index differs from this step's: the run asks for another pass."""
    s.fixture("more")
    s.start_server()
    s.start_program()
    state = s.wait("Start enabled", lambda st: s.enabled(st, START), 15)
    check(s.text(state, LATEST_LABEL) == "[ 1124 ]  須<開始更新>數次", "latest label",
          s.text(state, LATEST_LABEL))
    check(s.click(START) == 0, "Start")
    box = s.wait_box(MORE_CAPTION, 30)
    check(box["text"] == MORE_TEXT, "more-passes text", box)
    s.shot("1-more-passes")
    s.close_box()
    s.check_exit()
    commands = s.check_programmed({"VV9V121x", "CC91232x"})
    check(commands == [0x80002], "update-again command", commands)


def fatal_box(s, text_pattern, step):
    box = s.wait_box(FATAL_CAPTION, 30)
    check(re.fullmatch(text_pattern, box["text"]), "error text", box["text"])
    s.shot(step)
    s.close_box()
    s.check_exit()
    return box


def scenario_errors(s):
    """Error boxes: malformed model id, server down, corrupt image, device ignoring writes."""
    s.fixture("badmodel")
    s.start_server()
    s.start_program()
    fatal_box(s, re.escape("錯誤碼: 0300 機名錯誤"), "1-bad-model")
    s.close()

    s.fixture("offer")  # no server this time
    s.server = None
    check(not port_in_use(), "nobody else listens on port %d" % PORT)
    s.start_program()
    box = s.wait_box("網路問題", 30)
    check(box["text"] == "無法鏈結伺服器!", "connect error text", box)
    s.shot("2-server-down")
    s.close_box()
    s.check_exit()

    s.fixture("corrupt")
    s.start_server()
    s.start_program()
    s.wait("Start enabled", lambda st: s.enabled(st, START), 15)
    check(s.click(START) == 0, "Start")
    fatal_box(s, r"錯誤碼: 0402 -\d", "3-corrupt-image")
    commands, sectors = s.device()
    check(commands == [] and sectors == {}, "nothing written, no finishing command",
          (commands, sorted(sectors)))
    s.close()

    s.fixture("ignorewrite")
    s.start_server()
    s.start_program()
    s.wait("Start enabled", lambda st: s.enabled(st, START), 15)
    check(s.click(START) == 0, "Start")
    # Entry 1 (the voice image; the model entry is current): its first page stays erased.
    payload = s.image_payload("VV9V121x")
    mismatches = sum(1 for b in payload[:256] if b != 0xFF)
    expected = "錯誤碼: 0403+%2d\n%8d\n%8d" % (1, len(payload) + 32, mismatches)
    fatal_box(s, re.escape(expected), "4-verify-failed")
    commands, _ = s.device()
    check(commands == [], "no finishing command after a failure", commands)


def hexname(text):
    return text.encode("utf-8").hex()


def scenario_unplug(s):
    """Removal notices: before the device is found, for other disks, and unplugging mid-run."""
    s.fixture("offer", delay_us=20000, plugged=False)
    s.start_server()
    s.start_program()
    # The device is not found yet: even its own removal notice changes nothing.
    s.driver("removal", hexname(DEVICE_PATH))
    check(s.alive_after(0.5), "removal before the device was found is ignored")
    s.plug_in()
    s.wait("Start enabled", lambda st: s.enabled(st, START), 15)
    for other in ("\\\\?\\usbstor#disk&ven_other&prod_stick#0002#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}",
                  "\\\\?\\USBSTOR#DISK&VEN_QUORVEL&PROD_OTHER#0003#"):
        s.driver("removal", hexname(other))
        check(s.alive_after(0.3), "removal of another disk is ignored", other)
    state = s.state()
    check(s.enabled(state, START) and s.text(state, DEVICE_LABEL) == "[ 1100 ]",
          "window unchanged by other removals")
    check(s.click(START) == 0, "Start")
    s.wait("programming", lambda st: re.match(r"^(Verify )?[TVCI] - ", s.text(st, START)), 20)
    s.shot("1-before-unplug")
    s.unplug()
    started = time.monotonic()
    s.check_exit(10)
    check(not os.path.exists(s.state_file), "an unplugged device is not written back")
    print("  ended %.2f s after the unplug" % (time.monotonic() - started))

    # The same through the system's own notice, sent from another process, naming the device in
    # upper case as Wine's notices do.
    s.fixture("offer")
    s.start_program()
    s.wait("Start enabled", lambda st: s.enabled(st, START), 15)
    s.driver("removal", hexname(DEVICE_PATH.upper()))
    s.check_exit(10)


def sector_gap_longest_s(state_file):
    """The longest gap the device saw before a sector's first request (where progress is shown)."""
    with open(state_file) as f:
        for line in f:
            words = line.split()
            if words and words[0] == "sector-pace":
                return int(words[5]) * 1e-9
    return None


def scenario_busywindow(s):
    """The window's thread held up mid-run: the device is not, and the texts still end right."""
    # A run of about 2 s at 10 ms a request (under 1 s at 3 ms, which a loaded machine's polls
    # through Wine missed): a poll must see it programming, and the gaps stay well under the limit.
    s.fixture("offer", delay_us=10000)
    s.start_server()
    s.start_program()
    s.wait("Start enabled", lambda st: s.enabled(st, START), 15)
    check(s.click(START) == 0, "Start")
    s.wait("programming", lambda st: re.match(r"^[TVCI] - ", s.text(st, START)), 20)
    hold_s = 3.0
    rc, _ = s.driver("hold-window", str(int(hold_s * 1000)))
    check(rc == 0, "window thread held")
    state = s.wait("closing box", lambda st: s.boxes(st), 30)
    check(s.boxes(state)[0]["caption"] == DONE_CAPTION, "closing box", s.boxes(state))
    check(s.text(state, START) == "Verify C Complete!", "last progress", s.text(state, START))
    s.close_box()
    s.check_exit()
    longest = sector_gap_longest_s(s.state_file)
    # A worker that waited for the window would have left the device idle for the whole hold.
    check(longest is not None and longest < hold_s / 2, "device paced while the window was held",
          longest)
    print("  longest gap at a sector's start: %.3f s, window held %.1f s" % (longest, hold_s))


HELD, LET_GO = 0x80000001, 0x80000000  # ES_CONTINUOUS with and without ES_SYSTEM_REQUIRED
LOW_BATTERY_CAPTION = "電池電量不足"
LOW_BATTERY_TEXT = "電腦的電池電量低於 10%,\n更新中斷電會損壞<測速器>.\n請先接上電源,再按<開始更新>."


def end_session(s):
    """Asks every window of the prefix whether the session may end: 1 when one refused."""
    return subprocess.run(["wine", "wineboot", "--end-session"], env=s.env, cwd=s.work,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          timeout=30).returncode


def execution_state(s):
    rc, out = s.driver("execution-state")
    check(rc == 0, "the program answers the execution-state query")
    return int(out, 16)


def scenario_holdup(s):
    """The computer held up during the run only: the session ends before Start and with the closing
    box up, and is refused in between; a nearly flat battery at Start, then the charger."""
    s.fixture("offer", delay_us=20000)
    power = os.path.join(s.work, "power")
    s.env["TOLVARIN_SIM_POWER"] = windows_path(power)
    s.start_server()
    s.start_program()
    s.wait("Start enabled", lambda st: s.enabled(st, START), 15)
    check(execution_state(s) & HELD != HELD, "not held before Start")
    check(end_session(s) == 0, "the session may end before Start")
    s.check_exit(10)

    with open(power, "w") as f:
        f.write("battery 9\n")
    s.start_program()
    s.wait("Start enabled", lambda st: s.enabled(st, START), 15)
    check(s.click(START) == 0, "Start")
    box = s.wait_box(LOW_BATTERY_CAPTION)
    check(box["text"] == LOW_BATTERY_TEXT, "low-battery text", box)
    s.shot("1-low-battery")
    s.close_box()
    state = s.wait("box closed", lambda st: not s.boxes(st))
    check(s.enabled(state, START) and s.enabled(state, COMBO), "Start and the list still on")
    check(s.device() == ([], {}), "nothing erased or written")
    with open(power, "w") as f:
        f.write("mains\n")
    check(s.click(START) == 0, "Start on the mains")
    s.wait("programming", lambda st: re.match(r"^(Verify )?[TVCI] - ", s.text(st, START)), 20)
    check(execution_state(s) == HELD, "held during the run")
    check(end_session(s) == 1, "the end of the session refused during the run")
    s.wait_box(DONE_CAPTION, 60)
    check(execution_state(s) == LET_GO, "let go before the closing box")
    s.close_box()
    s.check_exit()
    check(s.check_programmed({"VV9V121x", "CC91232x"}) == [0x80000], "finishing command")
    # Once more, quickly: a session that ends by the system's hand saves no simulated device.
    s.tool("sim", "fault", "--state", s.state_file, "--delay-us", "0")
    s.start_program()
    s.wait("Start enabled", lambda st: s.enabled(st, START), 15)
    check(s.click(START) == 0, "Start")
    s.wait_box(DONE_CAPTION, 60)
    check(end_session(s) == 0, "the session may end with the closing box up")
    s.check_exit(10)


def scenario_window(s):
    """Exit while searching; the About box on Alt+"?" and Alt+"/", closed by Esc."""
    s.start_program()
    s.wait("searching", lambda st: search_count(st) is not None, 5)
    s.driver("alt", "?")
    state = s.wait("About box", lambda st: any(d["about"] for d in st["dialogs"]), 5)
    count = search_count(state)
    s.shot("1-about")
    state = s.wait("ticks while About is open", lambda st: (search_count(st) or 0) >= count + 2, 6)
    check(any(d["about"] for d in state["dialogs"]), "About still open")
    s.driver("escape")
    s.wait("About closed by Esc", lambda st: not st["dialogs"], 5)
    s.driver("alt", "/")
    s.wait("About box on Alt+/", lambda st: any(d["about"] for d in st["dialogs"]), 5)
    s.driver("escape")
    s.wait("About closed", lambda st: not st["dialogs"], 5)
    s.shot("2-searching")
    check(s.click(EXIT) == 0, "Exit while searching")
    s.check_exit(10)


def scenario_release(s):
    """The program for real devices: its SetupAPI search finds no device under Wine and goes on."""
    s.start_program(exe="tolvarin.exe")
    state = s.state()
    check(state["title"] == TITLE, "title", state["title"])
    check(s.text(state, DEVICE_LABEL) in (SEARCH % 0, SEARCH % 1), "search starts at 0",
          s.text(state, DEVICE_LABEL))
    state = s.wait("three search ticks", lambda st: (search_count(st) or 0) >= 3, 10)
    check(not s.enabled(state, START) and s.text(state, LATEST_LABEL) == "", "nothing offered")
    s.shot("1-searching")
    check(s.click(EXIT) == 0, "Exit while searching")
    s.check_exit(10)


def whole_update(s, exe):
    """Plugged in, forced: every image applied; returns the seconds from start to the closing box."""
    started = time.monotonic()
    s.start_program("f", exe=exe)
    s.wait("Start enabled", lambda st: s.enabled(st, START), 20)
    check(s.click(START) == 0, "Start")
    box = s.wait_box(DONE_CAPTION, 60)
    took = time.monotonic() - started
    check(box["text"] == DONE_TEXT, "closing text", box)
    s.shot("1-done")
    s.close_box()
    s.check_exit()
    commands = s.check_programmed({"TT9C410x", "VV9V121x", "CC91232x"})
    check(commands == [0x80000], "finishing command", commands)
    return took


def scenario_nginx(s):
    """A whole update from nginx with the deploy/nginx site, over http (tolvarin-sim.exe)."""
    s.fixture("current")
    s.start_nginx()
    print("  whole update over http from nginx: %.2f s" % whole_update(s, "tolvarin-sim.exe"))


def scenario_nginx_tls(s):
    """The same over https: tolvarin-sim-tls.exe, the test CA trusted by the prefix only."""
    s.fixture("current")
    s.start_nginx("localhost")
    print("  whole update over https from nginx: %.2f s" % whole_update(s, "tolvarin-sim-tls.exe"))


def scenario_tls_errors(s):
    """Certificates that do not verify: the connect box, nothing written, exit status 0."""
    for certificate in ("unknownca", "wronghost", "expired"):
        s.fixture("offer")
        s.start_nginx(certificate)
        started = time.monotonic()
        s.start_program(exe="tolvarin-sim-tls.exe")
        box = s.wait_box("網路問題", 30)
        check(box["text"] == "無法鏈結伺服器!", certificate + ": connect error text", box)
        print("  %s: %s / %s after %.1f s" % (certificate, box["caption"], box["text"],
                                             time.monotonic() - started))
        s.shot("%s" % certificate)
        s.close_box()
        s.check_exit()
        commands, sectors = s.device()
        check(commands == [] and sectors == {}, certificate + ": device untouched")
        with open(os.path.join(s.work, "nginx", "access.log")) as f:
            check(f.read() == "", certificate + ": no request reached the server")
        s.close()


def der_to_rs(der):
    """r then s, 32 bytes each, from the DER of an ECDSA signature (what openssl writes)."""
    check(der[0] == 0x30 and der[2] == 0x02, "a DER signature", der.hex())
    r_length = der[3]
    r = der[4:4 + r_length]
    s_length = der[5 + r_length]
    s = der[6 + r_length:6 + r_length + s_length]
    return r.lstrip(b"\0").rjust(32, b"\0") + s.lstrip(b"\0").rjust(32, b"\0")


def sign_tree(tool, key, root, expires=None):
    """Signs every model of the server tree at root with the private key (tolvarin-tool sign).
    With expires in the past (which the tool refuses), the record is rewritten with those times
    and signed again by openssl itself, as a stale release would be."""
    result = subprocess.run([tool, "sign", "--key", key, root], capture_output=True, text=True)
    check(result.returncode == 0, "tolvarin-tool sign", result.stderr)
    if not expires:
        return
    layout = run_tool(tool, "layout", "--model-id", MODEL_ID)
    record_path = os.path.join(root, layout["record"])
    with open(record_path, encoding="utf-8") as f:
        record = json.load(f)
    record["published"], record["expires"] = "2019-10-01T00:00:00Z", expires
    text = json.dumps(record, indent=2).encode()
    with open(record_path, "wb") as f:
        f.write(text)
    der = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key, record_path],
                         capture_output=True, check=True).stdout
    with open(os.path.join(root, layout["signature"]), "wb") as f:
        f.write(der_to_rs(der))


def flip_byte(path, offset):
    with open(path, "r+b") as f:
        f.seek(offset)
        byte = f.read(1)[0]
        f.seek(offset)
        f.write(bytes([byte ^ 0x01]))


SIGNED_EXE = "tolvarin-sim-signed.exe"


def scenario_signed(s):
    """tolvarin-sim-signed.exe takes a tree signed with the build's test key, and refuses a changed
    image (before its first erase) and an expired record, erasing nothing."""
    check(s.args.test_key, "--test-key names the build's test key")
    s.fixture("current")
    sign_tree(s.args.tool, s.args.test_key, s.root)
    s.start_server()
    print("  whole signed update: %.2f s" % whole_update(s, SIGNED_EXE))
    s.close()

    refusals = (("changed-image", "錯誤碼: 0506 檔案與簽署資料不符", None, True),
                ("expired", "錯誤碼: 0504 簽署資料已過期\n請確認電腦的日期與時間.",
                 "2020-01-01T00:00:00Z", False))
    for step, text, expires, changed in refusals:
        s.fixture("offer")
        sign_tree(s.args.tool, s.args.test_key, s.root, expires)
        if changed:
            flip_byte(s.pool_file("VV9V121x"), 4096)
        s.start_server()
        s.start_program(exe=SIGNED_EXE)
        if changed:
            # Refused at Start, when the image arrives: the model image before it is applied.
            s.wait("Start enabled", lambda st: s.enabled(st, START), 15)
            check(s.click(START) == 0, "Start")
        fatal_box(s, re.escape(text), step)
        commands, sectors = s.device()
        written = set(sectors)
        # The model entry is current on this device: the voice image is the first one applied.
        check(commands == [] and written == set(), step + ": nothing erased or written",
              (commands, sorted(written)))
        s.close()


# The window's client area at 100 %.
CLIENT_96 = (400, 450)
# A desktop that holds the window at 200 %, as a 4K laptop's would.
DPI_DESKTOP = (1600, 1200)
DESKTOP_KEY, DESKTOPS_KEY = r"HKCU\Control Panel\Desktop", r"HKCU\Software\Wine\Explorer\Desktops"


def reg(s, *argv):
    return subprocess.run(["wine", "reg"] + list(argv), env=s.env, cwd=s.work, capture_output=True)


def reg_value(s, key, name):
    """A registry value of the prefix as `reg query` prints it, or None when it is not there."""
    result = reg(s, "query", key, "/v", name)
    match = re.search(rb"\s" + name.encode() + rb"\s+REG_\w+\s+(\S+)", result.stdout)
    return match.group(1).decode() if match else None


def set_reg_value(s, key, name, kind, value):
    argv = ["delete", key, "/v", name, "/f"] if value is None else [
        "add", key, "/v", name, "/t", kind, "/d", value, "/f"]
    check(reg(s, *argv).returncode == 0, "reg " + " ".join(argv))


def fresh_desktop():
    """Wine closes a desktop about a second after its last program ended; the next one opens a new
    desktop with the prefix's settings."""
    time.sleep(2.5)


def geometry(s, dpi):
    rc, out = s.driver("geometry")
    check(rc == 0, "geometry read")
    g = json.loads(out)
    check(g["dpi"] == dpi, "display DPI", g["dpi"])
    return g


def check_client(g, dpi, slack):
    """The client size at dpi: the 100 % numbers × dpi / 96 within slack pixels. (Each control's
    rectangle at every scale is the window's in-process test.)"""
    for got, base, what in zip(g["client"], CLIENT_96, ("width", "height")):
        check(abs(got - round(base * dpi / 96)) <= slack, "client %s at %d DPI" % (what, dpi), got)


def scenario_dpi(s):
    """The window opened at 100, 150 and 200 %: the client area from the 100 % numbers, centred,
    the About box scaled by the system. (The controls' rectangles and font, the texts fitting and
    a change of DPI are the window's in-process test.) The prefix's DPI and desktop are put back
    afterwards."""
    saved = [(DESKTOP_KEY, "LogPixels", "REG_DWORD", reg_value(s, DESKTOP_KEY, "LogPixels")),
             (DESKTOPS_KEY, "Default", "REG_SZ", reg_value(s, DESKTOPS_KEY, "Default"))]
    abouts = {}
    try:
        set_reg_value(s, DESKTOPS_KEY, "Default", "REG_SZ", "%dx%d" % DPI_DESKTOP)
        s.fixture("offer")
        s.start_server()
        for dpi in (96, 144, 192):
            set_reg_value(s, DESKTOP_KEY, "LogPixels", "REG_DWORD", str(dpi))
            fresh_desktop()
            s.start_program()
            s.wait("Start enabled", lambda st: s.enabled(st, START), 15)
            g = geometry(s, dpi)
            check_client(g, dpi, 0 if dpi == 96 else 2)
            client_w, client_h = g["client"]
            check(g["frame"][:2] == [DPI_DESKTOP[0] // 2 - client_w // 2,
                                     DPI_DESKTOP[1] // 2 - client_h // 2], "centred", g["frame"])
            # The About box scales by the system's own rules (dialog units of its font).
            s.driver("alt", "?")
            s.wait("About box", lambda st: any(d["about"] for d in st["dialogs"]), 5)
            abouts[dpi] = geometry(s, dpi)["dialogs"][0]
            s.driver("escape")
            s.wait("About closed", lambda st: not st["dialogs"], 5)
            print("  %d DPI: client %dx%d; label %s, list %s, Start %s" % (
                dpi, client_w, client_h, *(g["controls"][i]["rect"] for i in (1, 7, 5))))
            check(s.click(EXIT) == 0, "Exit")
            s.check_exit()
        for dpi in (144, 192):
            for got, base in zip(abouts[dpi], abouts[96]):
                check(abs(got / base / (dpi / 96) - 1) < 0.1, "About box scaled at %d DPI" % dpi,
                      abouts)
        print("  About box: %s" % abouts)
    finally:
        s.close()
        for key, name, kind, value in saved:
            set_reg_value(s, key, name, kind, value)
        # The next program opens its desktop at the prefix's own size.
        fresh_desktop()


SCENARIOS = {
    "release": scenario_release,
    "update": scenario_update,
    "current": scenario_current,
    "force": scenario_force,
    "more": scenario_more,
    "errors": scenario_errors,
    "unplug": scenario_unplug,
    "window": scenario_window,
    "busywindow": scenario_busywindow,
    "holdup": scenario_holdup,
    "nginx": scenario_nginx,
    "nginx-tls": scenario_nginx_tls,
    "tls-errors": scenario_tls_errors,
    "signed": scenario_signed,
    "dpi": scenario_dpi,
}


def session_parser():
    """The options every Wine run shares: the exes, the work and screenshot folders, the server."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--shots", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--tool", help="the native tolvarin-tool that writes trees and devices")
    parser.add_argument("--prefix", help="Wine prefix when WINEPREFIX is not set")
    parser.add_argument("--nginx", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                        "..", "server", "nginx_server.py"))
    parser.add_argument("--certs", help="the test certificates (tests/tls/make_certs.sh); the "
                        "prefix trusts their CA (scripts/wine-prefix.sh)")
    parser.add_argument("--test-key", help="the private key the signed programs' test key pairs "
                        "with (build/<tree>/test-key/private.pem)")
    return parser


def parse_session_args(parser):
    args = parser.parse_args()
    if not os.environ.get("WINEPREFIX") and not args.prefix:
        parser.error("set WINEPREFIX or give --prefix")
    if not args.tool:
        args.tool = os.path.join(args.bin, "..", "..", "native", "bin", "tolvarin-tool")
    for folder in ("bin", "work", "shots", "server", "tool"):
        setattr(args, folder, os.path.abspath(getattr(args, folder)))
    return args


def run_cases(names, cases, make_session, errors=(Failure,)):
    """Runs each named case in a session of its own; 1 when any failed."""
    failed = 0
    for name in names:
        s = make_session(name)
        started = time.monotonic()
        try:
            cases[name](s)
            print("PASS %s (%.1f s)" % (name, time.monotonic() - started))
        except errors as error:
            failed += 1
            print("FAIL %s: %s" % (name, error))
        finally:
            s.close()
        for path in s.steps:
            print("  screenshot " + path)
        sys.stdout.flush()
    return 1 if failed else 0


def main():
    global PORT
    parser = session_parser()
    parser.add_argument("--port", type=int, default=PORT,
                        help="the update server port the simulated programs were built with")
    parser.add_argument("scenarios", nargs="+", choices=sorted(SCENARIOS))
    args = parse_session_args(parser)
    PORT = args.port
    return run_cases(args.scenarios, SCENARIOS, lambda name: Session(args, name))


if __name__ == "__main__":
    sys.exit(main())
