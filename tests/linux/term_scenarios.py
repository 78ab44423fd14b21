#!/usr/bin/env python3
"""The terminal program driven as a person would, in tmux: tolvarin-sim with the simulated device
and the local update server on a free port.

Usage: term_scenarios.py --bin DIR --server update_server.py --work DIR --version V SCENARIO...
Scenarios: update unplug errors current piped options. Each screen it checks is also written to
WORK/<scenario>-<n>.txt.
"""
import argparse
import json
import os
import re
import shlex
import shutil
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
    def __init__(self, root):
        self.proc = subprocess.Popen([sys.executable, ARGS.server, "--root", root, "--port", "0"],
                                     stdout=subprocess.PIPE, text=True)
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


class World:
    """One scenario's server tree and device (written by tolvarin-tool), plugged in or not."""

    def __init__(self, name, fixture, delay_us=0, plugged=True, server=True):
        self.dir = os.path.join(ARGS.work, name)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.state = os.path.join(self.dir, "device.state")
        self.unplugged = self.state + ".unplugged"
        tool = os.path.join(ARGS.bin, "tolvarin-tool")
        worlds.publish_tree(tool, self.dir, fixture)
        worlds.create_device(tool, self.state, fixture, delay_us)
        if not plugged:
            os.rename(self.state, self.unplugged)
        self.server = Server(os.path.join(self.dir, "server")) if server else None
        self.port = self.server.port if server else closed_port()

    def env(self, extra=None):
        env = {"TOLVARIN_SIM_STATE": self.state, "TOLVARIN_SIM_SERVER": "127.0.0.1:%d" % self.port,
               "LANG": "C.UTF-8", "TERM": "screen"}
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
    """tolvarin-sim in a tmux pane of its own server; its exit status lands in a file."""
    count = 0

    def __init__(self, world, args=(), env=None, width=90, height=40):
        self.world = world
        Pane.count += 1
        self.socket = "tolvarin-term-%d-%d" % (os.getpid(), Pane.count)
        self.status_file = os.path.join(world.dir, "status-%d" % Pane.count)
        self.shots = 0
        environment = " ".join("%s=%s" % (k, shlex.quote(v)) for k, v in world.env(env).items())
        program = " ".join(shlex.quote(a) for a in [os.path.join(ARGS.bin, "tolvarin-sim")] + list(args))
        command = "cd %s && env %s %s; echo $? > %s; sleep 600" % (
            shlex.quote(world.dir), environment, program, shlex.quote(self.status_file))
        subprocess.run(["tmux", "-u", "-L", self.socket, "-f", "/dev/null", "new-session", "-d",
                        "-x", str(width), "-y", str(height), command], check=True)

    def screen(self):
        out = subprocess.run(["tmux", "-u", "-L", self.socket, "capture-pane", "-p"],
                             capture_output=True, text=True)
        return out.stdout.rstrip("\n")

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
    screen = pane.wait("closing box", r"請按 Enter 鍵繼續\.", 60)
    check(re.search(r"^┌─ 更新完成\. ─+┐$", screen, re.M), "closing box frame", screen)
    check(re.search(r"^Verify C Complete!  \[#{30}\] 100%$", screen, re.M), "full bar", screen)
    widths = {len(line) + sum(1 for c in line if ord(c) > 0x2E80)
              for line in screen.splitlines() if line[:1] in "┌│└"}
    check(len(widths) == 1, "the frame's right edge is straight", screen)
    pane.save(screen, "done")
    check(pane.running(), "the closing box waits")
    pane.keys("Enter")
    check(pane.status() == 0, "exit status 0 after the update")
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
    screen = pane.wait("forced offer", r"按 1-1 選擇版本")
    check("Tolvarin - k47Q (強制更新)" in screen, "forced title", screen)
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
    check("\x1b" not in out and "\r" not in out, "no escape sequences", repr(out[:200]))
    lines = out.splitlines()
    check(lines[:2] == ["Tolvarin - k47Q", "按 q 離開."], "first lines", lines[:2])
    check(" 你的版本 : [ 1100 ]" in lines, "device version line", lines)
    check(any(l.startswith("開 始 更 新:  > 1. 1123") for l in lines), "chosen line", lines)
    check(lines[-7] == "Verify C Complete!  [##############################] 100%", "last progress",
          lines[-7:])
    check(lines[-6].startswith("┌─ 更新完成. ─"), "closing box", lines[-6:])
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
    # SIGTERM while searching ends the program at once; q too.
    world.unplug()
    proc = subprocess.Popen([os.path.join(ARGS.bin, "tolvarin-sim")], env=dict(
        os.environ, **world.env()), stdout=subprocess.DEVNULL, stdin=subprocess.PIPE)
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


SCENARIOS = {
    "update": lambda: World("update", "offer", delay_us=8000, plugged=False),
    "unplug": lambda: World("unplug", "offer", delay_us=20000),
    "errors": lambda: None,
    "current": lambda: World("current", "current"),
    "piped": lambda: World("piped", "offer"),
    "options": lambda: World("options", "offer"),
}


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("scenarios", nargs="+", choices=sorted(SCENARIOS))
    ARGS = parser.parse_args()
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
