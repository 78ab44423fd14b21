#!/usr/bin/env python3
"""DLL planting: a DLL named after a system library, beside the exe or in its working directory,
must never be loaded into the (elevated) program.

    planting.py --bin DIR --work DIR --shots DIR --server SCRIPT --marker DLL --control EXE
                [--exes DIR] [--prefix DIR] [--port N]

1. Learns the libraries the process loads: tolvarin-sim.exe runs a whole update under
   WINEDEBUG=+loaddll.
2. Takes every name on that list (and the few any run must cover) that Windows looks up beside
   an exe, that is no KnownDLL. The control exe (the programs' static imports, no code before
   its own restriction of the DLL search; then a window and WinINet's connection check) runs
   with them planted: what it loads from beside itself is Wine's loader's doing, and only those
   names are exempt. A marker can stop the control early, so it runs again without the names
   found until no new one turns up.
3. Plants the marker DLL under every other name beside a copy of each exe and in its working
   directory, gives those names Windows' own search order (native first), and runs the release
   device code (tolvarin-local.exe) through a whole update on the test bus (bus_scenarios.py), so
   that SetupAPI and all it pulls in load while a device is really searched, opened and driven,
   and the simulated exe through a whole update, and its twin with the test key through a whole
   signed update (which loads bcrypt for the record's signature), with the exes taken from
   --exes (for example the Authenticode-signed ones).
Fails when any marker was loaded: a module loaded from the planted folders in the +loaddll trace,
or a file the marker's DllMain leaves behind. Then runs each exe with one of its on-demand
libraries missing: without WinINet a download fails as offline, without WINMM an update still
completes, without SetupAPI the search finds nothing and goes on, without bcrypt the signed twin
refuses the publication as not signed and writes nothing.
"""
import os
import re
import shutil
import sys

import pefile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import scenarios  # noqa: E402  (the scenarios' session and helpers)
import bus_scenarios  # noqa: E402  (whole updates of the release device code on the test bus)
from scenarios import Failure, check  # noqa: E402
from known_dlls import KNOWN_DLLS  # noqa: E402

# Never looked up beside the exe: the KnownDLLs, and what the system has loaded before any search
# can happen (ntdll, kernel32's own kernelbase).
NEVER_SEARCHED = KNOWN_DLLS | {"ntdll", "kernelbase"}
# Wine's own pieces, which no Windows has to look up.
WINE_ONLY = re.compile(r"^(wine.*|.*\.drv|win32u)$")
# Whatever a run shows, these are planted: the program's own on-demand libraries and what they
# pull in on Windows, and the crypto provider's libraries, which a request for random bytes loads.
ALWAYS_PLANTED = {"winmm", "wininet", "setupapi", "cfgmgr32", "devobj", "wintrust", "iertutil",
                  "urlmon", "winhttp", "secur32", "mswsock", "dnsapi", "userenv", "profapi",
                  "msacm32", "mpr", "cryptsp", "cryptbase", "rsaenh", "bcrypt", "crypt32"}
CONTROL = "tolvarin-planting-control.exe"
SIGNED_EXE = scenarios.SIGNED_EXE
LOADED = re.compile(r'Loaded L"([^"]+)" at [0-9A-Fa-f]+: (\w+)')


def module_name(path):
    name = path.replace("\\", "/").rsplit("/", 1)[-1].lower()
    return name[:-4] if name.endswith(".dll") else name


class PlantedSession(scenarios.Session):
    """A session whose program runs from a folder of its own, with a +loaddll trace."""

    def __init__(self, args, name, planted=()):
        super().__init__(args, name)
        self.app = os.path.join(self.work, "app")
        self.markers = os.path.join(self.work, "markers")
        os.makedirs(self.app)
        os.makedirs(self.markers)
        for exe in ("tolvarin.exe", "tolvarin-sim.exe", "tolvarin-local.exe", SIGNED_EXE):
            shutil.copy(os.path.join(args.exes, exe), self.app)
        shutil.copy(args.control, os.path.join(self.app, CONTROL))
        for name in planted:
            for folder in (self.app, self.work):
                shutil.copy(args.marker, os.path.join(folder, name + ".dll"))
        overrides = ",".join(sorted(planted))
        self.program_env = dict(
            self.env, WINEDEBUG="+loaddll", TOLVARIN_MARKER_DIR=scenarios.windows_path(self.markers),
            WINEDLLOVERRIDES="mscoree,mshtml=" + (";%s=n,b" % overrides if overrides else ""))
        self.traces = []

    def start_program(self, *argv, exe="tolvarin-sim.exe"):
        trace = os.path.join(self.work, "loaddll-%d.txt" % len(self.traces))
        self.traces.append(trace)
        with open(trace, "wb") as out:
            self.program = scenarios.subprocess.Popen(
                ["wine", os.path.join(self.app, exe)] + list(argv), env=self.program_env,
                cwd=self.work, stdout=scenarios.subprocess.DEVNULL, stderr=out)
        result = self.wine("tolvarin-driver.exe", "wait-window", "10000")
        check(result.returncode == 0, "main window appears")

    def run_control(self):
        trace = os.path.join(self.work, "loaddll-%d.txt" % len(self.traces))
        self.traces.append(trace)
        with open(trace, "wb") as out:
            scenarios.subprocess.run(
                ["wine", os.path.join(self.app, CONTROL), "http://127.0.0.1:%d/" % scenarios.PORT],
                env=self.program_env, cwd=self.work, timeout=30,
                stdout=scenarios.subprocess.DEVNULL, stderr=out)
        check(any(n == "user32" for n, _, _ in self.loaded()), "the control exe started")

    def loaded(self):
        """(module name, path, native or builtin) of every load the traces show."""
        modules = []
        for trace in self.traces:
            with open(trace, encoding="utf-8", errors="replace") as f:
                for match in LOADED.finditer(f.read()):
                    # The trace escapes each backslash of the path.
                    path = match.group(1).replace("\\\\", "\\")
                    modules.append((module_name(path), path, match.group(2)))
        return modules

    def planted_loads(self):
        return ["%s (%s)" % (path, kind) for _, path, kind in self.planted_modules()] + [
            "marker %s" % name for name in sorted(os.listdir(self.markers))]

    def planted_modules(self):
        folders = [scenarios.windows_path(p).lower() for p in (self.app, self.work)]
        return [(name, path, kind) for name, path, kind in self.loaded()
                if any(path.lower().startswith(f + "\\") and not path.lower().endswith(".exe")
                       for f in folders)]


def static_imports(path):
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    return sorted(entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT)


def loader_exemptions(args, candidates):
    """The candidates the control exe loads from beside itself."""
    for exe in ("tolvarin.exe", "tolvarin-sim.exe"):
        check(static_imports(os.path.join(args.exes, exe)) == static_imports(args.control),
              "the control exe has the static imports of " + exe)
    exempt = set()
    while True:
        s = PlantedSession(args, "planting-control", sorted(set(candidates) - exempt))
        try:
            s.run_control()
            found = ({name for name, _, _ in s.planted_modules()} |
                     {name.split(".dll.")[0] for name in os.listdir(s.markers)})
        finally:
            s.close()
        if found <= exempt:
            return sorted(exempt)
        exempt |= found


def whole_update(s, signed=False):
    s.close()  # a session may run several updates: the last one's server frees the port first
    s.fixture("offer")
    if signed:
        scenarios.sign_tree(s.args.tool, s.args.test_key, s.root)
    s.start_server()
    s.start_program(exe=SIGNED_EXE if signed else "tolvarin-sim.exe")
    s.wait("Start enabled", lambda st: s.enabled(st, scenarios.START), 15)
    check(s.click(scenarios.START) == 0, "Start")
    box = s.wait_box(scenarios.DONE_CAPTION, 30)
    check(box["text"] == scenarios.DONE_TEXT, "closing box", box)
    s.close_box()
    s.check_exit()
    check(s.device()[0] == [0x80000], "finishing command")


def release_start(s):
    s.start_program(exe="tolvarin.exe")
    s.wait("three search ticks", lambda st: (scenarios.search_count(st) or 0) >= 3, 10)
    check(s.click(scenarios.EXIT) == 0, "Exit while searching")
    s.check_exit(10)


def without(args, name, library, case):
    """Runs a case with one system library missing (Wine refuses to load it)."""
    s = PlantedSession(args, "missing-" + library)
    s.program_env["WINEDLLOVERRIDES"] = "mscoree,mshtml=;%s=" % library
    try:
        case(s)
        print("PASS without %s: %s" % (library, name))
        return 0
    except Failure as error:
        print("FAIL without %s: %s" % (library, error))
        return 1
    finally:
        s.close()


def offline_box(s):
    """No WinINet: no Internet handle, so the step index fails as offline; nothing is written."""
    s.fixture("offer")
    s.start_server()
    s.start_program()
    box = s.wait_box("網路問題", 30)
    check(box["text"] == "未連線!請先上網.", "offline text", box)
    s.close_box()
    s.check_exit()
    commands, sectors = s.device()
    check(commands == [] and sectors == {}, "device untouched", (commands, sorted(sectors)))


def not_signed_box(s):
    """No bcrypt: the record's signature cannot be verified, so nothing is taken or written."""
    s.fixture("offer")
    scenarios.sign_tree(s.args.tool, s.args.test_key, s.root)
    s.start_server()
    s.start_program(exe=SIGNED_EXE)
    box = s.wait_box(scenarios.FATAL_CAPTION, 30)
    check(box["text"] == "錯誤碼: 0501 更新資料未經簽署", "not-signed text", box)
    s.close_box()
    s.check_exit()
    commands, sectors = s.device()
    check(commands == [] and sectors == {}, "device untouched", (commands, sorted(sectors)))


def missing_libraries(args):
    """A library that cannot be loaded fails its operation as the program says, never a crash."""
    return (without(args, "the downloads fail as offline", "wininet", offline_box) |
            without(args, "the user agent takes the uptime counter", "winmm", whole_update) |
            without(args, "the search finds nothing and goes on", "setupapi", release_start) |
            without(args, "the signed twin refuses the publication", "bcrypt", not_signed_box))


def main():
    parser = scenarios.session_parser()
    parser.add_argument("--marker", required=True, help="the marker DLL to plant")
    parser.add_argument("--control", required=True,
                        help="the control exe: the programs' static imports; restricts the DLL "
                        "search, then opens a window and a URL with WinINet")
    parser.add_argument("--exes", help="folder of the exes to run (default: --bin)")
    parser.add_argument("--port", type=int, default=scenarios.PORT,
                        help="the update server port the simulated programs were built with")
    args = scenarios.parse_session_args(parser)
    scenarios.PORT = args.port
    args.exes = os.path.abspath(args.exes or args.bin)
    args.marker = os.path.abspath(args.marker)
    args.control = os.path.abspath(args.control)

    learn = PlantedSession(args, "planting-learn")
    try:
        whole_update(learn)
        whole_update(learn, signed=True)
        bus_scenarios.update_on_bus(learn)
        seen = sorted({name for name, _, _ in learn.loaded()})
    except Failure as error:
        print("FAIL learning run: %s" % error)
        return 1
    finally:
        learn.close()
    candidates = sorted({n for n in set(seen) | ALWAYS_PLANTED
                         if n not in NEVER_SEARCHED and not WINE_ONLY.match(n)
                         and not n.endswith(".exe") and not n.startswith("tolvarin")})
    print("loaded: " + " ".join(seen))
    try:
        exempt = loader_exemptions(args, candidates)
    except Failure as error:
        print("FAIL control run: %s" % error)
        return 1
    planted = [n for n in candidates if n not in exempt]
    print("exempt, loaded from beside the control exe too: " + (" ".join(exempt) or "none"))
    print("planted: " + " ".join(planted))
    for name in ("winmm", "wininet", "setupapi", "cfgmgr32", "bcrypt"):
        check(name in planted, "%s is planted" % name)

    s = PlantedSession(args, "planting", planted)
    try:
        bus_scenarios.update_on_bus(s)
        whole_update(s)
        whole_update(s, signed=True)
        check(not s.planted_loads(), "no planted DLL is loaded")
        for name in ("wininet", "winmm", "bcrypt"):
            check(any(n == name and kind == "builtin" for n, _, kind in s.loaded()),
                  "%s still comes from the system" % name)
        print("PASS planting: %d names planted, 0 loaded" % len(planted))
        status = 0
    except Failure as error:
        # A planted DLL that was loaded can also be what broke the run: named either way.
        print("FAIL planting: %s; planted DLLs loaded: %s" % (error, s.planted_loads() or "none"))
        status = 1
    finally:
        s.close()
    return status | missing_libraries(args)


if __name__ == "__main__":
    sys.exit(main())
