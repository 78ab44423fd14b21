#!/usr/bin/env python3
"""The terminal program driven as a person would, in tmux: tolvarin-sim with the simulated device
and the local update server on a free port.

Usage: term_scenarios.py --bin DIR --server update_server.py --work DIR --version V SCENARIO...
Scenarios: update unplug errors current piped options screen power partlock. Each screen it checks is also written
to WORK/<scenario>-<n>.txt.
"""
import argparse
import json
import os
import pwd
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
import scenarios as worlds  # noqa: E402  (the same server trees and devices as the Wine runs)

ARGS = None
FAILURES = []


class Abort(Exception):
    """A scenario cannot go on (what it waited for never came)."""


def check(ok, what, detail=""):
    if not ok:
        FAILURES.append("%s: %s" % (what, detail))
        print("FAIL %s\n%s" % (what, detail), flush=True)
    return ok


class Server:
    def __init__(self, root, *options):
        self.proc = subprocess.Popen([sys.executable, ARGS.server, "--root", root, "--port", "0"]
                                     + list(options), stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline().split()
        assert line[:1] == ["READY"], line
        self.port = int(line[1])

    def stop(self):
        self.proc.kill()
        self.proc.wait()


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# Descriptions of the two main images as a hostile server sends them: a title change, a bell and a
# screen clear; line breaks, bidi overrides and isolates, a C1 CSI and DEL. Each such character
# must show as one U+FFFD.
HOSTILE = ("1.2.3\x1b]0;PWN\x07\x1b[2J", "1.2.4\r\n\u202e\u2066\x9b31m\x7f")
HOSTILE_LINES = ["1. 1123  [ 1.2.3\ufffd]0;PWN\ufffd\ufffd[2J ]",
                 "2. 1124  [ 1.2.4" + "\ufffd" * 5 + "31m\ufffd ]"]


# The note of a run that cannot keep the computer on (no system bus, no login manager).
NO_SLEEP_LOCK = "無法阻止電腦休眠或關機: 更新完成前請讓電腦保持開機."
SLEEP_LOCK_WHAT = ("sleep:shutdown:idle:handle-lid-switch:handle-power-key:handle-suspend-key:"
                   "handle-hibernate-key")


def hostile(tree):
    for index in ("step", "final"):
        for entry, text in zip(tree["models"][0][index]["entries"][2:], HOSTILE):
            entry["description"] = text


def more_passes(tree):
    """The final index differs from the step one: the update takes another pass."""
    tree["models"][0]["final"]["versionWord"] += 1


class World:
    """One scenario's server tree and device (written by tolvarin-tool), plugged in or not.
    device names the fixture of the device when it differs from the server's; edit changes the
    fixture's manifest before it is published."""

    def __init__(self, name, fixture, delay_us=0, plugged=True, server=True, device=None,
                 edit=None):
        self.dir = os.path.join(ARGS.work, name)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.state = os.path.join(self.dir, "device.state")
        self.unplugged = self.state + ".unplugged"
        tool = os.path.join(ARGS.bin, "tolvarin-tool")
        worlds.publish_tree(tool, self.dir, fixture)
        if edit:
            manifest = os.path.join(self.dir, "manifest.json")
            with open(manifest, encoding="utf-8") as f:
                tree = json.load(f)
            edit(tree)
            with open(manifest, "w", encoding="utf-8") as f:
                json.dump(tree, f)
            shutil.rmtree(os.path.join(self.dir, "server"))
            worlds.run_tool(tool, "publish", manifest, "--out", os.path.join(self.dir, "server"))
        worlds.create_device(tool, self.state, device or fixture, delay_us)
        if not plugged:
            os.rename(self.state, self.unplugged)
        self.server = Server(os.path.join(self.dir, "server")) if server else None
        self.port = self.server.port if server else closed_port()

    def env(self, extra=None):
        env = {"TOLVARIN_SIM_STATE": self.state, "TOLVARIN_SIM_SERVER": "127.0.0.1:%d" % self.port,
               "LANG": "C.UTF-8", "TERM": "screen",
               "DBUS_SYSTEM_BUS_ADDRESS": "unix:path=" + os.path.join(self.dir, "no-bus")}
        env.update(extra or {})
        return env

    def plug_in(self):
        os.rename(self.unplugged, self.state)

    def unplug(self):
        os.remove(self.state)

    def device(self):
        out = subprocess.run([os.path.join(ARGS.bin, "tolvarin-tool"), "sim", "show", "--state",
                              self.state, "--json"], check=True, capture_output=True, text=True)
        return json.loads(out.stdout)

    def close(self):
        if self.server:
            self.server.stop()


class Pane:
    """tolvarin-sim in a tmux pane of its own server; its exit status lands in a file, and the
    terminal's modes after it (stty -a) in another. With shell, the program runs from an
    interactive bash, which has job control: stopped, it goes on with continue_job."""
    count = 0

    def __init__(self, world, args=(), env=None, width=90, height=40, shell=False):
        self.world = world
        Pane.count += 1
        self.socket = "tolvarin-term-%d-%d" % (os.getpid(), Pane.count)
        self.status_file = os.path.join(world.dir, "status-%d" % Pane.count)
        self.stty_file = self.status_file + ".stty"
        self.shots = 0
        environment = " ".join("%s=%s" % (k, shlex.quote(v)) for k, v in world.env(env).items())
        program = " ".join(shlex.quote(a) for a in [os.path.join(ARGS.bin, "tolvarin-sim")] + list(args))
        command = "cd %s && env %s %s" % (shlex.quote(world.dir), environment, program)
        self.epilogue = "s=$?; stty -a > %s; echo $s > %s" % (shlex.quote(self.stty_file),
                                                              shlex.quote(self.status_file))
        first = "bash --norc --noprofile -i" if shell else "%s; %s; sleep 600" % (command,
                                                                                   self.epilogue)
        subprocess.run(["tmux", "-u", "-L", self.socket, "-f", "/dev/null", "new-session", "-d",
                        "-x", str(width), "-y", str(height), first], check=True)
        if shell:
            # The epilogue comes with fg: bash would run it as soon as the program stops.
            self.keys("-l", command)
            self.keys("Enter")

    def continue_job(self):
        self.keys("-l", "fg; " + self.epilogue)
        self.keys("Enter")

    def screen(self, history=False):
        """The visible screen; with history, the scrollback above it too."""
        out = subprocess.run(["tmux", "-u", "-L", self.socket, "capture-pane", "-p"]
                             + (["-S", "-"] if history else []), capture_output=True, text=True)
        return out.stdout.rstrip("\n")

    def tmux(self, *argv):
        return subprocess.run(["tmux", "-L", self.socket] + list(argv), capture_output=True,
                              text=True).stdout.strip()

    def pid(self):
        """The program's process id: the one child of the pane's shell."""
        shell = self.tmux("display", "-p", "#{pane_pid}")
        with open("/proc/%s/task/%s/children" % (shell, shell)) as f:
            return int(f.read().split()[0])

    def process_state(self):
        """The program's state letter in /proc: R or S running, T stopped."""
        with open("/proc/%d/stat" % self.pid()) as f:
            return f.read().rsplit(")", 1)[1].split()[0]

    def cursor_visible(self):
        return self.tmux("display", "-p", "#{cursor_flag}") == "1"

    def modes_restored(self):
        """Line editing and echo on after the program: the terminal as it was before it."""
        with open(self.stty_file) as f:
            words = f.read().split()
        return "icanon" in words and "echo" in words

    def keys(self, *keys):
        subprocess.run(["tmux", "-L", self.socket, "send-keys"] + list(keys), check=True)

    def wait(self, what, pattern, timeout=20):
        """Waits until the screen matches pattern (a regular expression); returns the screen."""
        end = time.time() + timeout
        while True:
            screen = self.screen()
            if re.search(pattern, screen, re.M):
                return screen
            if time.time() > end:
                check(False, "waiting for " + what, screen)
                raise Abort(what)
            time.sleep(0.1)

    def save(self, screen, label):
        self.shots += 1
        path = "%s-%d-%s.txt" % (self.world.dir, self.shots, label)
        with open(path, "w", encoding="utf-8") as f:
            f.write(screen + "\n")
        print("---- %s\n%s" % (label, screen), flush=True)

    def status(self, timeout=20):
        end = time.time() + timeout
        while time.time() < end:
            if os.path.exists(self.status_file):
                with open(self.status_file) as f:
                    text = f.read().strip()
                if text:
                    return int(text)
            time.sleep(0.1)
        return None

    def running(self):
        return not os.path.exists(self.status_file)

    def close(self):
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], capture_output=True)


def scenario_update(world):
    """Search ticks, plug-in, the list, a selection, the confirmation, progress, the closing box."""
    pane = Pane(world)
    screen = pane.wait("second search tick", r"尋 找 中\.\.\.\.\.   2$")
    check(screen.count("尋 找 中") == 1, "the search line is redrawn in place", screen)
    check("按 q 離開." in screen, "search prompt", screen)
    pane.save(screen, "searching")
    world.plug_in()
    screen = pane.wait("version list", r"按 1-2 選擇版本, Enter 開始更新, q 離開\.")
    check(re.search(r"^ 你的版本 : \[ 1100 \]$", screen, re.M), "device version", screen)
    check(re.search(r"^ 最新版本 : \[ 1124 \]  請<開始更新>$", screen, re.M), "status line", screen)
    check(re.search(r"^  > 1\. 1123  \[ main 1\.2\.3 \]$\n^    2\. 1124  \[ main 1\.2\.4 \]$",
                    screen, re.M), "numbered list, line 1 selected", screen)
    pane.save(screen, "list")
    pane.keys("2")
    screen = pane.wait("line 2 selected", r"^  > 2\. 1124")
    check(re.search(r"^    1\. 1123", screen, re.M), "line 1 no longer selected", screen)
    check(world.device()["commands"] == [] and not world.device()["sectors"],
          "nothing written before the confirmation")
    pane.keys("Enter")
    screen = pane.wait("progress", r"\] +([1-9]|[1-9]\d)%$")
    check("更新中, 請勿移除測速器." in screen, "run prompt", screen)
    pane.save(screen, "progress")
    # Ctrl-\ and Ctrl-Z would leave the flash half written: held off like Ctrl-C.
    pane.keys("C-\\")
    pane.keys("C-z")
    screen = pane.wait("quit and stop held off", r"^更新中, 不能中斷! 請等待更新完成\.$")
    time.sleep(0.3)
    check(pane.running() and pane.process_state() in ("R", "S"), "the run goes on",
          (pane.process_state(), screen))
    screen = pane.wait("closing box", r"請按 Enter 鍵繼續\.", 60)
    check("不能中斷" not in screen, "the warning goes with the run", screen)
    check(re.search(r"^┌─ 更新完成\. ─+┐$", screen, re.M), "closing box frame", screen)
    check(re.search(r"^Verify C Complete!  \[#{30}\] 100%$", screen, re.M), "full bar", screen)
    widths = {len(line) + sum(1 for c in line if ord(c) > 0x2E80)
              for line in screen.splitlines() if line[:1] in "┌│└"}
    check(len(widths) == 1, "the frame's right edge is straight", screen)
    pane.save(screen, "done")
    check(pane.running(), "the closing box waits")
    pane.keys("Enter")
    check(pane.status() == 0, "exit status 0 after the update")
    check(pane.modes_restored() and pane.cursor_visible(), "the terminal as it was")
    history = pane.screen(history=True)
    check(history.count("Tolvarin - k47Q") == 1, "redrawn in place: one block in the scrollback",
          history)
    device = world.device()
    check(device["commands"] == ["0x80000"], "finishing command", device["commands"])
    check(8 in device["sectors"] and 11 in device["sectors"], "main image 2 written",
          device["sectors"])
    pane.close()


def scenario_unplug(world):
    """Ctrl-C held off during the run; unplugging in the middle ends it with status 3."""
    pane = Pane(world, ["--yes"])
    screen = pane.wait("run under way", r"\] +([1-9]|[1-4]\d)%$", 30)
    pane.keys("C-c")
    screen = pane.wait("interrupt held off", r"^更新中, 不能中斷! 請等待更新完成\.$")
    time.sleep(0.5)
    check(pane.running(), "the run goes on after Ctrl-C", screen)
    pane.save(screen, "ctrl-c")
    world.unplug()
    screen = pane.wait("removal", r"^測速器已移除, 更新未完成!$")
    pane.save(screen, "unplugged")
    check(pane.status() == 3, "exit status 3 after an unplug mid-run", screen)
    pane.close()
    # Unplugging at the closing box, as it asks, ends the program as Enter does.
    closing = World("unplug-closing", "offer")
    try:
        pane = Pane(closing)
        pane.wait("question", r"Enter 開始更新")
        pane.keys("Enter")
        pane.wait("closing box", r"請按 Enter 鍵繼續\.", 30)
        closing.unplug()
        screen = pane.wait("removal", r"^測速器已移除\.$")
        pane.save(screen, "unplugged-at-the-end")
        check(pane.status() == 0, "exit status 0 after unplugging at the closing box", screen)
        pane.close()
    finally:
        closing.close()


def error_box(world, args, caption, text, name, answer=True):
    """The box's caption, its first line (a regular expression), and status 1 after it."""
    pane = Pane(world, args)
    screen = pane.wait(caption, r"^┌─ %s ─" % re.escape(caption), 30)
    time.sleep(0.3)
    screen = pane.screen()
    check(re.search(r"^│ %s +│$" % text, screen, re.M), name + " text", screen)
    pane.save(screen, name)
    if answer:
        check(pane.running(), name + ": the box waits for Enter")
        pane.keys("Enter")
    check(pane.status() == 1, name + ": exit status 1 after an error box", pane.screen())
    pane.close()


def scenario_errors(_):
    world = World("errors-badmodel", "badmodel")
    error_box(world, [], "執行時錯誤", "錯誤碼: 0300 機名錯誤", "bad-model")
    world.close()
    world = World("errors-server-down", "offer", server=False)
    error_box(world, [], "網路問題", "無法鏈結伺服器!", "server-down")
    world.close()
    world = World("errors-corrupt", "corrupt")
    error_box(world, ["--yes"], "執行時錯誤", r"錯誤碼: 0402 -\d", "corrupt-image", answer=False)
    check(world.device()["commands"] == [], "no finishing command after a failure")
    world.close()
    # The main image, last of the run, cut short by the server: the images before it are in hand
    # by then, and none of them is written.
    world = World("errors-image-cut", "offer", server=False)
    world.server = Server(os.path.join(world.dir, "server"), "--fault", "cut", "--fault-path",
                          worlds.C1_IMAGE[0])
    world.port = world.server.port
    error_box(world, ["--yes"], "網路問題", "讀檔 失敗!", "image-cut", answer=False)
    device = world.device()
    check(device["commands"] == [] and device["sectors"] == [], "a network failure writes nothing",
          device)
    world.close()
    world = World("errors-ignorewrite", "ignorewrite")
    error_box(world, ["--yes", "--select", "2"], "執行時錯誤", r"錯誤碼: 0403\+ 1", "verify",
              answer=False)
    world.close()


def scenario_current(world):
    """Up to date: the status line says so and the program ends with 0, asking nothing."""
    pane = Pane(world)
    check(pane.status() == 0, "exit status 0 when up to date")
    screen = pane.screen()
    check(re.search(r"^ 最新版本 : \[ 1123 \]  請<離開>,不須更新$", screen, re.M), "status", screen)
    check("Enter" not in screen, "no question", screen)
    pane.save(screen, "up-to-date")
    pane.close()
    # Forced, the same device is offered its images again.
    pane = Pane(world, ["--force"])
    screen = pane.wait("forced offer", r"^按 Enter 開始更新, q 離開\.$")
    check("Tolvarin - k47Q (強制更新)" in screen, "forced title", screen)
    # One version: nothing to choose; a digit beyond the list says so.
    pane.keys("3")
    screen = pane.wait("no such line", r"^沒有第 3 個版本 \(共 1 個\)\. 按 Enter 開始更新")
    pane.save(screen, "no-such-line")
    pane.keys("q")
    check(pane.status() == 0, "q ends with 0")
    pane.close()


def scenario_piped(world):
    """--yes with the output piped: plain lines, no escape sequences, status 0."""
    env = dict(os.environ)
    env.update(world.env())
    result = subprocess.run([os.path.join(ARGS.bin, "tolvarin-sim"), "--yes", "--select", "1"],
                            cwd=world.dir, env=env, stdin=subprocess.DEVNULL,
                            capture_output=True, text=True, timeout=60)
    out = result.stdout
    with open(world.dir + "-piped.txt", "w", encoding="utf-8") as f:
        f.write(out)
    print("---- piped\n" + out, flush=True)
    check(result.returncode == 0, "exit status 0", result.returncode)
    check(not re.search("[\x00-\x09\x0b-\x1f\x7f-\x9f\u202a-\u202e\u2066-\u2069]", out),
          "no control or bidi characters, the server's included", repr(out[:200]))
    lines = out.splitlines()
    check(lines[:2] == ["Tolvarin - k47Q", " 你的版本 : 尋 找 中.....   0"],
          "first lines: --yes reads no key, so offers none", lines[:2])
    check(["    " + line for line in HOSTILE_LINES] == lines[lines.index(" 可取得版本 :") + 1:][:2],
          "the server's descriptions, each control a stand-in", lines)
    check(" 你的版本 : [ 1100 ]" in lines, "device version line", lines)
    check(any(l.startswith("開 始 更 新:  > 1. 1123") for l in lines), "chosen line", lines)
    check(lines[-7] == "Verify C Complete!  [##############################] 100%", "last progress",
          lines[-7:])
    check(lines[-6].startswith("┌─ 更新完成. ─"), "closing box", lines[-6:])
    check(NO_SLEEP_LOCK in lines, "no system bus: the run goes on, and says so", lines)
    # A Big5 locale gets Big5, frames in ASCII and '?' for what Big5 lacks; a Latin-1 one is told
    # plainly (in ASCII) that the texts cannot show.
    locales = os.path.join(ARGS.work, "locale")
    os.makedirs(locales, exist_ok=True)
    for charset, name in (("BIG5", "zh_TW.BIG5"), ("ISO-8859-1", "en_US.ISO-8859-1"),
                          ("CP1251", "ru_RU.CP1251")):
        if not os.path.isdir(os.path.join(locales, name)):
            subprocess.run(["localedef", "-f", charset, "-i", name.split(".")[0],
                            os.path.join(locales, name)], check=True)
    for name in ("LC_ALL", "LC_CTYPE"):
        env.pop(name, None)
    # With LOCPATH set, glibc's newlocale leaks its copy of the path when p11-kit (under libcurl)
    # calls it while loading: not the program's leak, for the sanitizer builds.
    suppressions = os.path.join(locales, "lsan.supp")
    with open(suppressions, "w") as f:
        f.write("leak:__argz_add_sep\n")
    env["LSAN_OPTIONS"] = ":".join(filter(None, (env.get("LSAN_OPTIONS"),
                                                 "suppressions=" + suppressions)))
    runs = {}
    for name in ("zh_TW.BIG5", "en_US.ISO-8859-1"):
        runs[name] = subprocess.run([os.path.join(ARGS.bin, "tolvarin-sim"), "--yes"],
                                    cwd=world.dir, env=dict(env, LOCPATH=locales, LANG=name),
                                    stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    big5 = runs["zh_TW.BIG5"].stdout.decode("big5", errors="replace").splitlines()
    check(runs["zh_TW.BIG5"].returncode == 0 and " 你的版本 : [ 1100 ]" in big5
          and "    " + HOSTILE_LINES[0].replace("\ufffd", "?") in big5
          and any(line.startswith("+- 更新完成. --") for line in big5), "Big5 output", big5)
    latin = runs["en_US.ISO-8859-1"]
    check(latin.returncode == 0 and b"cannot show the program's Traditional Chinese texts"
          in latin.stderr and b"Tolvarin - k47Q\n" in latin.stdout, "Latin-1: said so", latin)
    # CP1251 has U+203A on 0x9B (CSI) and U+045C on 0x9D (OSC): a server's "›2J" would clear
    # a terminal that takes 8-bit controls. They show as '?', U+0416 as itself (0xC6).
    def c1_descriptions(tree):
        for index in ("step", "final"):
            tree["models"][0][index]["entries"][2]["description"] = "\u203a2J\u045c\u0416"
    cyrillic = World("piped-cp1251", "offer", edit=c1_descriptions)
    try:
        run = subprocess.run([os.path.join(ARGS.bin, "tolvarin-sim"), "--yes"], cwd=cyrillic.dir,
                             env=dict(env, LOCPATH=locales, LANG="ru_RU.CP1251", **{
                                 k: v for k, v in cyrillic.env().items() if k != "LANG"}),
                             stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    finally:
        cyrillic.close()
    check(run.returncode == 0 and b"    1. 1123  [ ?2J?\xc6 ]" in run.stdout.splitlines()
          and not re.search(b"[\x80-\x9f]", run.stdout), "CP1251: no C1 byte", run.stdout)
    # NO_COLOR on a terminal: plain lines too, so each search tick is a line of its own.
    world.unplug()
    pane = Pane(world, [], {"NO_COLOR": "1"})
    screen = pane.wait("third tick", r"尋 找 中\.\.\.\.\.   2$")
    check(screen.count("尋 找 中") == 3, "ticks as lines under NO_COLOR", screen)
    pane.keys("C-c")
    check(pane.status() == 130, "Ctrl-C while searching ends with 130")
    pane.close()


def scenario_options(world):
    def run(*args):
        return subprocess.run([os.path.join(ARGS.bin, "tolvarin-sim")] + list(args), env=dict(
            os.environ, **world.env()), cwd=world.dir, capture_output=True, text=True, timeout=30)

    result = run("--version")
    check(result.returncode == 0 and result.stdout.strip() == "tolvarin " + ARGS.version,
          "--version", result)
    result = run("--help")
    check(result.returncode == 0 and all(o in result.stdout for o in
                                         ("--force", "--select", "--yes", "強制更新")), "--help", result)
    result = run("--bogus")
    check(result.returncode == 2, "unknown option: status 2", result)
    result = run("--yes", "--select", "3")
    check(result.returncode == 2 and "沒有第 3 個版本 (共 2 個)." in result.stdout,
          "--select beyond the list", result)
    check(world.device()["commands"] == [], "nothing written")
    # Option errors: short, in the program's language, with the range --help shows.
    valid = re.search(r"--select INT:1-(\d+)", run("--help").stdout)
    result = run("--select", "0")
    check(valid and result.returncode == 2 and result.stderr.splitlines() == [
        "tolvarin: --select: 須為 1 到 %s 的整數, 不是 0." % valid.group(1),
        "選項說明: tolvarin --help"], "--select 0", result)
    result = run("--bogus")
    check(result.stderr.startswith("tolvarin: 不認得: --bogus\n"), "unknown option", result)
    # No input to confirm with, however it ends: status 2 with the box, never a wait.
    for what, command in (("end of input", "exec %s < /dev/null"),
                          ("a closed input", "exec %s 0<&-")):
        try:
            result = subprocess.run(["bash", "-c", command % shlex.quote(
                os.path.join(ARGS.bin, "tolvarin-sim"))], env=dict(os.environ, **world.env()),
                cwd=world.dir, capture_output=True, text=True, timeout=15)
            check(result.returncode == 2 and "沒有輸入可以確認開始更新." in result.stdout,
                  what + ": status 2", result)
        except subprocess.TimeoutExpired:
            check(False, what + ": the program waits for ever")
    drop_root(world)
    # SIGTERM while searching ends the program at once; q too.
    world.unplug()
    proc = subprocess.Popen([os.path.join(ARGS.bin, "tolvarin-sim")], env=dict(
        os.environ, **world.env()), stdout=subprocess.PIPE, stdin=subprocess.PIPE)
    # The title comes once signals are the program's events; a signal before it (a slow start
    # under a sanitizer on a busy machine) would meet the default action.
    proc.stdout.readline()
    time.sleep(0.5)
    proc.terminate()
    check(proc.wait(5) == 143, "SIGTERM while searching: 143")
    result = subprocess.run([os.path.join(ARGS.bin, "tolvarin-sim")], env=dict(
        os.environ, **world.env()), input="q", capture_output=True, text=True, timeout=10)
    check(result.returncode == 0, "q while searching: 0", result)
    # The program for real devices on this machine: libudev lists its SCSI generic devices each
    # tick (none of them the detector here), and q ends it.
    proc = subprocess.Popen([os.path.join(ARGS.bin, "tolvarin")], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True, env=dict(os.environ, LANG="C.UTF-8"))
    time.sleep(2.5)
    out, _ = proc.communicate("q", timeout=10)
    check(proc.returncode == 0 and " 你的版本 : 尋 找 中.....   2" in out.splitlines(),
          "tolvarin searches once a second until q", out)


def scenario_screen(world):
    """A narrow, short terminal at an odd width, resized; the server's text; Ctrl-Z between runs;
    a crash; a pass with nothing to write."""
    pane = Pane(world, [], width=31, height=9)
    pane.wait("the prompt, wrapped", r"^, q 離開\.$")
    pane.keys("2")
    pane.wait("line 2 selected", r"^  > 2\.")
    pane.keys("1")
    pane.wait("line 1 selected", r"^  > 1\.")
    # The block's last 8 rows (the terminal has 9), each wrapped where the terminal wraps it:
    # a wide character that does not fit the last column starts the next row. Nothing above them,
    # not even in the scrollback: the title and the device line are left out.
    screen = pane.screen(history=True)
    pane.save(screen, "narrow")
    check(screen.splitlines() == [
        " 最新版本 : [ 1124 ]  請<開始更",
        "新>",
        " 可取得版本 :",
        "  > 1. 1123  [ 1.2.3\ufffd]0;PWN\ufffd\ufffd[2",
        "J ]",
        "    2. 1124  [ 1.2.4\ufffd\ufffd\ufffd\ufffd\ufffd31m\ufffd ]",  # all 31 columns
        "按 1-2 選擇版本, Enter 開始更新",
        ", q 離開."], "the rows of a short, narrow terminal", screen)
    for width, height in ((90, 20), (40, 20)):
        pane.tmux("resize-window", "-x", str(width), "-y", str(height))
        for line in "21":  # two redraws at the new size
            time.sleep(0.3)
            pane.keys(line)
        pane.wait("redrawn at %dx%d" % (width, height), r"^  > 1\.")
        time.sleep(0.3)
        screen = pane.screen()
        pane.save(screen, "resized-%d" % width)
        check(screen.count("Tolvarin - k47Q") == 1 and screen.count("1124  [") == 1,
              "one block after resizing to %dx%d" % (width, height), screen)
    pane.keys("q")
    check(pane.status() == 0, "q ends with 0")
    pane.close()
    # Ctrl-Z before the run stops the program with the terminal as it was; fg brings it back.
    pane = Pane(world, [], width=90, height=20, shell=True)
    pane.wait("the prompt", r"Enter 開始更新, q 離開\.$")
    pane.keys("C-z")
    screen = pane.wait("stopped", r"Stopped")
    check(pane.process_state() == "T" and pane.cursor_visible(), "stopped, the cursor shown",
          screen)
    pane.continue_job()
    screen = pane.wait("back", r"Stopped(.|\n)*Enter 開始更新, q 離開\.$")
    check(not pane.cursor_visible(), "drawing again", screen)
    pane.save(screen, "continued")
    pane.keys("q")
    check(pane.status() == 0 and pane.modes_restored(), "q ends with 0, the terminal restored")
    pane.close()
    # A crash too leaves the terminal as it was.
    pane = Pane(world, [])
    pane.wait("the prompt", r"Enter 開始更新, q 離開\.$")
    os.kill(pane.pid(), signal.SIGSEGV)
    check(pane.status() is not None and pane.modes_restored() and pane.cursor_visible(),
          "after a crash, the terminal as it was")
    pane.close()
    # The device is current but the server has more passes: the run writes nothing, and no
    # empty bar suggests a stalled update.
    more = World("screen-more", "current", edit=more_passes)
    try:
        pane = Pane(more, ["--yes"])
        screen = pane.wait("the closing box", r"^┌─ 還有更新! ─", 30)
        pane.save(screen, "nothing-to-write")
        check(not re.search(r"\[[.#]+\]", screen), "no progress bar", screen)
        pane.close()
    finally:
        more.close()


class SystemBus:
    """A private system bus (dbus-daemon) with python3-dbusmock's login manager on it. The
    system's python has the dbus modules; the first python3 on PATH may not."""

    def __init__(self, folder, template="logind"):
        self.address = "unix:path=" + os.path.join(folder, "sysbus")
        self.daemon = subprocess.Popen(["dbus-daemon", "--session", "--address=" + self.address,
                                        "--nofork", "--print-address=1"],
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.daemon.stdout.readline()
        self.logind = subprocess.Popen(["/usr/bin/python3", "-m", "dbusmock", "--system",
                                        "--template", template], env=self.env(os.environ),
                                       stdout=subprocess.DEVNULL)
        end = time.time() + 10
        while self.inhibitors() is None and time.time() < end:
            time.sleep(0.1)

    def env(self, base=None):
        return dict(base or {}, DBUS_SYSTEM_BUS_ADDRESS=self.address)

    def inhibitors(self):
        """logind's ListInhibitors as (what, who, why, mode) tuples; None while it cannot say."""
        out = subprocess.run(["busctl", "--system", "--json=short", "call", "org.freedesktop.login1",
                              "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                              "ListInhibitors"], env=self.env(os.environ), capture_output=True,
                             text=True)
        if out.returncode != 0:
            return None
        return [tuple(lock[:4]) for lock in json.loads(out.stdout)["data"][0]]

    def stop(self):
        # This container does not reap them: each goes by its own pid.
        for proc in (self.logind, self.daemon):
            proc.kill()
            proc.wait()


def scenario_power(world):
    """Start on a low battery: the box and nothing written; plugged in, Enter runs the update
    under logind's sleep lock, which goes before the closing box. With --yes: the box, status 1."""
    power = os.path.join(world.dir, "power")
    with open(power, "w") as f:
        f.write("battery 5\n")
    result = subprocess.run([os.path.join(ARGS.bin, "tolvarin-sim"), "--yes"], cwd=world.dir,
                            env=dict(os.environ, TOLVARIN_SIM_POWER=power, **world.env()),
                            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
    device = world.device()
    check(result.returncode == 1 and "┌─ 電池電量不足 ─" in result.stdout
          and device["commands"] == [] and device["sectors"] == [], "--yes on a low battery",
          (result, device))
    bus = SystemBus(world.dir)
    try:
        check(bus.inhibitors() == [], "the login manager is up, holding no lock")
        pane = Pane(world, [], bus.env({"TOLVARIN_SIM_POWER": power}))
        pane.wait("question", r"Enter 開始更新, q 離開\.$")
        pane.keys("Enter")
        screen = pane.wait("low-battery box", r"^┌─ 電池電量不足 ─")
        pane.save(screen, "low-battery")
        check(world.device()["sectors"] == [] and bus.inhibitors() == [],
              "nothing written, no lock taken")
        pane.keys("Enter")
        pane.wait("question again", r"Enter 開始更新, q 離開\.$")
        with open(power, "w") as f:
            f.write("mains\n")
        pane.keys("Enter")
        screen = pane.wait("run under way", r"\] +([1-9]|[1-9]\d)%$", 30)
        locks = bus.inhibitors()
        check(len(locks) == 1 and locks[0][:2] == (SLEEP_LOCK_WHAT, "Tolvarin")
              and locks[0][3] == "block" and "韌體" in locks[0][2] and NO_SLEEP_LOCK not in screen,
              "logind's block lock during the run", (locks, screen))
        pane.wait("closing box", r"請按 Enter 鍵繼續\.", 60)
        end = time.time() + 5
        while bus.inhibitors() and time.time() < end:
            time.sleep(0.1)
        check(bus.inhibitors() == [], "the lock is let go before the closing box")
        pane.keys("Enter")
        check(pane.status() == 0, "status 0: the low-battery box was no error of the run's")
        pane.close()
    finally:
        bus.stop()


def scenario_partlock(world):
    """Policy refuses the lid and the keys: the run holds sleep, shutdown and idle, and says
    what it could not hold."""
    bus = SystemBus(world.dir, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                            "logind_keys_refused.py"))
    try:
        out_path = os.path.join(world.dir, "partlock.out")
        with open(out_path, "w") as out:
            proc = subprocess.Popen([os.path.join(ARGS.bin, "tolvarin-sim"), "--yes"],
                                    cwd=world.dir, env=bus.env(dict(os.environ, **world.env())),
                                    stdin=subprocess.DEVNULL, stdout=out)
        held = []
        while proc.poll() is None and not held:
            held = bus.inhibitors() or []
            time.sleep(0.1)
        code = proc.wait(60)
        with open(out_path, encoding="utf-8") as f:
            lines = f.read().splitlines()
        check(code == 0 and [lock[0] for lock in held] == ["sleep:shutdown:idle"],
              "the smaller lock during the run", (code, held))
        notes = [line for line in lines if "電源鍵" in line or line == NO_SLEEP_LOCK]
        check(len(notes) == 1 and "休眠與關機" in notes[0], "one note: what is held, what is not",
              lines)
    finally:
        bus.stop()


def drop_root(world):
    """sudo: once the device is open the program is the sudo user, before any download."""
    if os.geteuid() != 0:
        print("SKIP giving up root: the tests do not run as root", flush=True)
        return
    nobody = pwd.getpwnam("nobody")
    sudo = {"SUDO_UID": str(nobody.pw_uid), "SUDO_GID": str(nobody.pw_gid)}
    layout = worlds.run_tool(os.path.join(ARGS.bin, "tolvarin-tool"), "layout", "--model-id",
                             worlds.MODEL_ID)
    # The step index stalls mid-body: the program is then caught in its first download.
    stall = Server(os.path.join(world.dir, "server"), "--fault", "stall", "--fault-path",
                   layout["stepIndex"])
    out_path = os.path.join(world.dir, "sudo.out")
    env = dict(os.environ, **world.env())
    env.update(sudo, TOLVARIN_SIM_SERVER="127.0.0.1:%d" % stall.port)
    with open(out_path, "w") as out:
        proc = subprocess.Popen([os.path.join(ARGS.bin, "tolvarin-sim"), "--yes"], env=env,
                                cwd=world.dir, stdin=subprocess.DEVNULL, stdout=out)
    end = time.time() + 10
    while time.time() < end and "[ 1100 ]" not in open(out_path, encoding="utf-8").read():
        time.sleep(0.2)
    time.sleep(0.5)  # into the download, which then stalls
    with open("/proc/%d/status" % proc.pid) as f:
        status = dict(line.split(":", 1) for line in f.read().splitlines())
    proc.terminate()
    proc.wait(5)
    stall.stop()
    check([status["Uid"].split(), status["Gid"].split(), sorted(status["Groups"].split())] == [
        [str(nobody.pw_uid)] * 4, [str(nobody.pw_gid)] * 4,
        sorted(map(str, os.getgrouplist("nobody", nobody.pw_gid)))],
        "downloading as nobody, with nobody's groups", status)
    # A whole update as nobody: the device opened as root stays usable. (The simulated device
    # writes its state file back at the end, so nobody may write that file.)
    os.chmod(world.state, 0o666)
    env = dict(os.environ, **world.env())
    env.update(sudo)
    result = subprocess.run([os.path.join(ARGS.bin, "tolvarin-sim"), "--yes"], env=env,
                            cwd=world.dir, stdin=subprocess.DEVNULL, capture_output=True,
                            text=True, timeout=60)
    check(result.returncode == 0 and world.device()["commands"] == ["0x80000"],
          "an update as nobody", result)


def scenario_signed(world):
    """tolvarin-sim-signed with --yes: a tree signed with the build's test key is applied; an
    expired record is refused with its box, and a final index the record lists that is reset
    mid-transfer with the network box, nothing erased either time. (Changed files are refused by
    the workflow's own tests and the window's.)"""
    tool = os.path.join(ARGS.bin, "tolvarin-tool")
    root = os.path.join(world.dir, "server")
    env = dict(os.environ)
    env.update(world.env())
    for name, expires, box in (("signed", None, None),
                               ("expired", "2020-01-01T00:00:00Z", "錯誤碼: 0504 簽署資料已過期"),
                               ("final-reset", None, "讀檔 失敗!")):
        worlds.create_device(tool, world.state, "offer")
        worlds.sign_tree(tool, ARGS.test_key, root, expires)
        server = Server(root, "--fault", "reset", "--fault-path", "DoorU/") \
            if name == "final-reset" else world.server
        env["TOLVARIN_SIM_SERVER"] = "127.0.0.1:%d" % server.port
        result = subprocess.run([os.path.join(ARGS.bin, "tolvarin-sim-signed"), "--yes",
                                 "--select", "1"], cwd=world.dir, env=env,
                                stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                timeout=60)
        if server is not world.server:
            server.stop()
        with open("%s-%s.txt" % (world.dir, name), "w", encoding="utf-8") as f:
            f.write(result.stdout)
        device = world.device()
        if not box:
            check(result.returncode == 0 and device["commands"] == ["0x80000"],
                  name + ": the signed update is applied", result.stdout[-400:])
            continue
        check(result.returncode == 1 and re.search(r"^│ %s +│$" % box, result.stdout, re.M),
              name + ": refused with its box", result.stdout[-600:])
        check(device["commands"] == [] and not device["sectors"],
              name + ": nothing erased or written", device)


SCENARIOS = {
    "update": lambda: World("update", "offer", delay_us=20000, plugged=False),
    "unplug": lambda: World("unplug", "offer", delay_us=20000),
    "errors": lambda: None,
    "current": lambda: World("current", "current"),
    "piped": lambda: World("piped", "offer", edit=hostile),
    "options": lambda: World("options", "offer"),
    "screen": lambda: World("screen", "offer", edit=hostile),
    "power": lambda: World("power", "offer", delay_us=20000),
    "partlock": lambda: World("partlock", "offer", delay_us=20000),
    "signed": lambda: World("signed", "offer"),
}


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--test-key", help="the private key of the build's test key pair")
    parser.add_argument("scenarios", nargs="+", choices=sorted(SCENARIOS))
    ARGS = parser.parse_args()
    # Run by sudo, the program would give up root for that user (drop_root sets these itself).
    for name in ("SUDO_UID", "SUDO_GID", "SUDO_USER"):
        os.environ.pop(name, None)
    for name in ("bin", "server", "work"):
        setattr(ARGS, name, os.path.abspath(getattr(ARGS, name)))
    os.makedirs(ARGS.work, exist_ok=True)
    for name in ARGS.scenarios:
        world = SCENARIOS[name]()
        try:
            globals()["scenario_" + name](world)
        except Abort:
            pass
        finally:
            for n in range(1, Pane.count + 1):
                subprocess.run(["tmux", "-L", "tolvarin-term-%d-%d" % (os.getpid(), n),
                                "kill-server"], capture_output=True)
            if world:
                world.close()
    if FAILURES:
        print("%d check(s) failed" % len(FAILURES))
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
