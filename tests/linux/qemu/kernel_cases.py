#!/usr/bin/env python3
"""The Linux program on a real kernel's USB storage, in a QEMU guest made at test time.

    kernel_cases.py --bin NATIVE_BIN --work DIR --source REPO --port N [CASE...]

On the host: fetches Debian's kernel package with apt (the one linux-image-amd64 depends on now)
and unpacks it into WORK/kernel (kept for later runs), makes a busybox initramfs that mounts the
host's root read-only over 9p under a tmpfs overlay, and boots it once with QEMU (TCG, no network
device). The guest runs this script again (--guest) as its first process: udev with the shipped
rule, dummy_hcd with two configfs gadgets whose mass-storage function is tolvarin-usb-gadget on
FunctionFS, the update server on the guest's loopback, then the cases with tolvarin-local (the
program for real devices, built with the local update URL).

The shared folder WORK/share carries everything between the two: the server tree and the devices'
state files, which the host writes before the boot and checks after it with tolvarin-tool (fast
there), and the guest's report. Cases: search update unplug access fault (all by default); NAME*N runs
a case N times in the one boot, each time on a device of its own.
"""
import argparse
import ctypes
import glob
import json
import lzma
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "wine"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "..", "scripts"))
import scenarios as worlds  # noqa: E402  (the same server tree and device as the other runs)
import bench_wine as pace  # noqa: E402  (how the device saw its requests paced)

CASES = ("search", "update", "unplug", "access", "fault")
# The detector as its INQUIRY answers (sysfs pads the fields), and another maker's USB disk.
DETECTOR = ("Quorvel", "482DiskProbeXQ", "1.00")
OTHER_DISK = ("Kestrel", "Pocket Drive", "2.10")
UNPRIVILEGED = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
# The boot and set-up, and what one case may take at most.
QEMU_BOOT_TIMEOUT_S = 120
QEMU_CASE_TIMEOUT_S = 90
DONE_MARK = "更新完成."
REMOVED_MARK = "測速器已移除, 更新未完成!"
FAILING_REQUEST = 40  # in the fault case: a page write of the first image
XZ_MAGIC = b"\xfd7zXZ\x00"
# What the guest mounts its own file systems over, hiding the host's folders there.
GUEST_MOUNTS = ("/run", "/proc", "/sys", "/dev")

ARGS = None  # host: the command line; guest: the job
FAILURES = []
RUN_TAG = ""  # "" on a case's first run, ".2" on its second...: its devices' own files


class Abort(Exception):
    """A case cannot go on."""


def check(ok, what, detail=""):
    if not ok:
        FAILURES.append("%s %s" % (what, detail))
        log("CHECK FAILED: %s %s" % (what, detail))
    return ok


STARTED = time.monotonic()


def log(text):
    print("%6.2f %s" % (time.monotonic() - STARTED, text), flush=True)


def run(*argv, **kwargs):
    return subprocess.run(list(argv), check=True, **kwargs)


def tool(*argv):
    out = run(os.path.join(ARGS.bin, "tolvarin-tool"), *argv, "--json", capture_output=True,
              text=True)
    return json.loads(out.stdout)


def state(name):
    return os.path.join(ARGS.share, name + RUN_TAG + ".state")


def gadget_log(name, index):
    return os.path.join(ARGS.share, "%s%s-gadget%d.log" % (name, RUN_TAG, index))


def fail(message):
    print("FAIL: " + message, flush=True)
    sys.exit(1)


# --- the cases: devices made on the host, the program run in the guest, flash checked on the host
def prepare_device(name, delay_us=1, faults=()):
    """The end-to-end scenarios' device that the offer fits (version 1100); each request takes
    delay_us, so that the device times the gaps between them."""
    worlds.create_device(os.path.join(ARGS.bin, "tolvarin-tool"), state(name), "offer", delay_us)
    if faults:
        tool("sim", "fault", "--state", state(name), *faults)


def prepare_search():
    prepare_device("search")
    prepare_device("search-other")


def case_search(detector, other):
    """Started before the plug: searches, then finds the detector; the other disk is left alone,
    and the shipped rule tags only the detector's node for the user at the seat."""
    other_node = other.plug("search-other")
    program = Program("tolvarin-local")
    program.wait("second search tick", r"尋 找 中\.\.\.\.\. +2$", 15)
    node = detector.plug("search", settle=True)
    program.wait("the offer", r"^按 1-2 選擇版本", 30)
    check(" 你的版本 : [ 1100 ]" in program.text(), "device version read", program.text())
    check("uaccess" in udev_tags(node), "the shipped rule tags the detector", udev_tags(node))
    check("uaccess" not in udev_tags(other_node), "the other disk is not tagged",
          udev_tags(other_node))
    program.keys("q")
    check(program.status() == 0, "q ends with 0")
    detector.unplug()
    other.unplug()


def verify_search():
    other = tool("sim", "show", "--state", state("search-other"))
    check(other["requestCount"] == 0, "no request reached the other disk", other)
    check(tool("sim", "show", "--state", state("search"))["requestCount"] >= 1,
          "the information page came from the model")


def prepare_update():
    prepare_device("update")
    prepare_device("update-sim")


def case_update(detector, _):
    """A whole update with --yes through the real stack, then the same on the simulated back end
    in this guest, for the figure."""
    detector.plug("update")
    program = Program("tolvarin-local", ["--yes"])
    check(program.status(120) == 0, "exit status 0 after the update", program.text())
    check(DONE_MARK in program.text(), "closing box")
    detector.unplug()
    sim = Program("tolvarin-sim", ["--yes"], env={
        "TOLVARIN_SIM_STATE": state("update-sim"),
        "TOLVARIN_SIM_SERVER": "127.0.0.1:%d" % ARGS.port})
    check(sim.status(60) == 0, "the simulated back end's update")


def request_us(name):
    """Mean time from an answer to the next request within a sector (downloads and progress
    output fall between sectors), plus the request's own microsecond."""
    r = pace.device_report(state(name))
    return 1e6 * (r["gap_s"] - r["sector_gap_s"]) / (r["gaps"] - r["sector_gaps"]) + 1, r


def verify_update():
    device = tool("sim", "show", "--state", state("update"))
    check(device["commands"] == ["0x80000"], "finishing command", device["commands"])
    written = set()
    for name, first, last in EXPECTED:
        if name not in ("VV9V121x", "CC91232x"):  # the voice image and main line 1
            continue
        dump = os.path.join(ARGS.share, name + ".flash")
        run(os.path.join(ARGS.bin, "tolvarin-tool"), "sim", "dump", "--state", state("update"),
            "--sectors", "%d-%d" % (first, last), "--out", dump, capture_output=True)
        with open(dump, "rb") as f:
            flash = f.read()
        with open(os.path.join(ARGS.share, "server", LAYOUT["pool"], name), "rb") as f:
            image = f.read()
        # The dump covers exactly the image's sectors, and the payload is the image's tail.
        check(len(image) > len(flash) and image.endswith(flash), "flash holds " + name)
        written.update(range(first, last + 1))
    check(set(device["sectors"]) == written, "only the applied images' sectors written",
          device["sectors"])
    real, report = request_us("update")
    simulated, _ = request_us("update-sim")
    return "one request %.0f us through the kernel, %.1f us on the simulated back end: %.0fx " \
           "(mean of %d requests within sectors)" % (real, simulated, real / simulated,
                                                     report["gaps"] - report["sector_gaps"])


def prepare_unplug():
    prepare_device("unplug", delay_us=5000)


def case_unplug(detector, _):
    """Unplugged in the middle of the run: the removal ends it with 3 and nothing follows."""
    detector.plug("unplug")
    program = Program("tolvarin-local", ["--yes"])
    program.wait("the main image being written", r"^C - ", 60)
    detector.unplug()
    status = program.status(30)
    check(status == 3, "exit status 3 after an unplug mid-run", status)
    lines = program.lines()
    check(lines[-1:] == [REMOVED_MARK], "the removal is the last word", lines[-5:])


def verify_unplug():
    device = tool("sim", "show", "--state", state("unplug"))
    check(device["commands"] == [], "no finishing command", device["commands"])
    check(8 in device["sectors"], "the run had reached the main image", device["sectors"])


def prepare_access():
    prepare_device("access")


def case_access(detector, _):
    """A user without access to /dev/sgN is told which rule gives it and the search goes on; with
    read-write access (what uaccess grants at the seat) the same user's vendor commands go
    through."""
    node = detector.plug("access", settle=True)
    program = Program("tolvarin-local", prefix=UNPRIVILEGED)
    # The box arrives line by line: wait for its line that names the rule.
    program.wait("the access box", r"70-tolvarin\.rules", 15)
    text = program.text()
    check("無法以讀寫方式開啟 %s." % node in text and "70-tolvarin.rules" in text,
          "the box names the node and the rule", text)
    ticks = text.count("尋 找 中")
    wait_until("the search going on", lambda: program.text().count("尋 找 中") > ticks, 10)
    os.chown(node, 65534, 65534)
    program.wait("device version", r"^ 你的版本 : \[ 1100 \]$", 15)
    check(program.text().count("權限不足") == 1, "told once per device file")
    program.keys("q")
    check(program.status() == 0, "q ends with 0")
    detector.unplug()


def prepare_fault():
    prepare_device("fault", faults=["--fail-request", str(FAILING_REQUEST)])


def case_fault(detector, _):
    """A request the device fails reaches the program as the kernel's transport error after a
    port reset; the device answers the program's probe, so the failure is told as the run's own:
    the run goes on over the same node and ends with the verify error box, not as a removal."""
    detector.plug("fault")
    program = Program("tolvarin-local", ["--yes"])
    status = program.status(60)
    check(status == 1, "exit status 1 after the error box", status)
    check(re.search(r"^│ 錯誤碼: 0403", program.text(), re.M), "verify error", program.text())
    detector.unplug()


def verify_fault():
    with open(gadget_log("fault", 0)) as f:
        told = f.read()
    check(re.search(r"phase error\n(.*\n)*gadget: configured", told),
          "the host reset and configured the disk again after the failed request", told)
    device = tool("sim", "show", "--state", state("fault"))
    check(device["commands"] == [] and device["requestCount"] > FAILING_REQUEST,
          "the device answered again after the reset; no finishing command", device)


# --- the host: kernel, initramfs, QEMU -----------------------------------------------------------
def kernel_package():
    """The kernel package that linux-image-amd64 depends on now, and its release name."""
    out = subprocess.run(["apt-cache", "depends", "linux-image-amd64"], capture_output=True,
                         text=True)
    found = re.search(r"Depends: (linux-image-(\d\S*))", out.stdout)
    return found.groups() if found else (None, None)


def fetch_kernel(cache):
    """Debian's current kernel, unpacked with its module index: (tree, release)."""
    package, release = kernel_package()
    if package and os.path.exists(os.path.join(cache, package + ".ready")):
        return os.path.join(cache, package), release
    # A kernel that Debian has since replaced is of no more use.
    shutil.rmtree(cache, ignore_errors=True)
    os.makedirs(cache)
    got = None
    for attempt in range(2):
        if package:
            print("fetching %s" % package, flush=True)
            got = subprocess.run(["apt-get", "download", package], cwd=cache,
                                 capture_output=True, text=True)
            if got.returncode == 0:
                break
        # Lists that are missing or older than the archive (Debian rotates the kernel's ABI
        # name): read them again once, where this may.
        if attempt == 0 and os.geteuid() == 0:
            subprocess.run(["apt-get", "update", "-qq"], capture_output=True)
            package, release = kernel_package()
    debs = glob.glob(os.path.join(cache, "%s_*.deb" % package))
    if not package or got is None or got.returncode != 0 or not debs:
        fail("cannot have Debian's kernel package (%s) with apt: %s" % (
            package or "nothing behind linux-image-amd64", got.stderr.strip() if got else ""))
    tree = os.path.join(cache, package)
    run("dpkg", "-x", debs[0], tree)
    run("depmod", "-b", tree, release)
    os.remove(debs[0])
    # The uncompressed kernel boots straight into its PVH entry: under TCG that saves the seconds
    # of unpacking it (and of the firmware) at every boot.
    with open(os.path.join(tree, "boot", "vmlinuz-" + release), "rb") as f:
        packed = f.read()
    if packed.find(XZ_MAGIC) >= 0:
        with open(os.path.join(tree, "vmlinux"), "wb") as f:
            f.write(lzma.LZMADecompressor().decompress(packed[packed.find(XZ_MAGIC):]))
    open(tree + ".ready", "w").close()
    return tree, release


INIT = """#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
die() {{ echo "guest: $*"; poweroff -f; }}
mkdir -p /proc /sys /dev /host /rw /newroot
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for m in {modules}; do insmod /lib/modules/$m || die "insmod $m"; done
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=loose,ro host /host || die 9p
mount -t tmpfs -o size=768m tmpfs /rw && mkdir /rw/upper /rw/work
mount -t overlay -o lowerdir=/host,upperdir=/rw/upper,workdir=/rw/work overlay /newroot ||
  die overlay
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 share /newroot{share} || die share
mkdir -p /newroot/lib/modules/{release}
mount --bind /newroot{tree}/lib/modules/{release} /newroot/lib/modules/{release}
for d in proc sys dev; do mount --move /$d /newroot/$d; done
exec switch_root /newroot /usr/bin/python3 {script} --guest {share}/job.json
"""


def make_initramfs(tree, release):
    """A busybox initramfs that loads the 9p and overlay modules and switches to the host's root."""
    busybox = subprocess.run(["dpkg-query", "-W", "-f=${Status}", "busybox-static"],
                             capture_output=True, text=True)
    if "install ok installed" not in busybox.stdout:
        fail("busybox-static is not installed (scripts/install-deps.sh installs it)")
    root = os.path.join(ARGS.work, "initramfs")
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(os.path.join(root, "bin"))
    os.makedirs(os.path.join(root, "lib", "modules"))
    shutil.copy("/bin/busybox", os.path.join(root, "bin", "busybox"))
    # The kernel's own dependency order, each module once.
    shown = run("modprobe", "-d", tree, "-S", release, "--show-depends", "-a", "virtio_pci",
                "9pnet_virtio", "9p", "overlay", capture_output=True, text=True).stdout
    modules = []
    for line in shown.splitlines():
        words = line.split()
        if words[:1] == ["insmod"] and os.path.basename(words[1]) not in modules:
            modules.append(os.path.basename(words[1]))
            shutil.copy(words[1], os.path.join(root, "lib", "modules"))
    init = os.path.join(root, "init")
    with open(init, "w") as f:
        f.write(INIT.format(modules=" ".join(modules), share=ARGS.share, tree=tree,
                            release=release, script=os.path.abspath(__file__)))
    os.chmod(init, 0o755)
    image = os.path.join(ARGS.work, "initramfs.cpio")
    files = run("find", ".", cwd=root, capture_output=True).stdout
    with open(image, "wb") as out:
        run("cpio", "-o", "-H", "newc", "--quiet", cwd=root, input=files, stdout=out)
    return image


def die_with_parent():
    """QEMU ends with this script, even when the script is killed (a test's time-out)."""
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def each_run():
    """Every run of the cases, in order: its name, with RUN_TAG set for it."""
    global RUN_TAG
    for name, tag in ARGS.runs:
        RUN_TAG = tag
        yield name
    RUN_TAG = ""


def host():
    global FAILURES, LAYOUT, EXPECTED
    if not shutil.which("qemu-system-x86_64"):
        fail("qemu-system-x86_64 is missing (scripts/install-deps.sh installs qemu-system-x86)")
    for name in ("bin", "work", "source"):
        path = os.path.realpath(getattr(ARGS, name))
        for mount in GUEST_MOUNTS:
            if os.path.commonpath([path, mount]) == mount:
                fail("--%s %s is under %s, which the guest mounts its own over: use a folder "
                     "elsewhere" % (name, path, mount))
    for program in ("tolvarin-local", "tolvarin-sim", "tolvarin-tool", "tolvarin-usb-gadget"):
        if not os.access(os.path.join(ARGS.bin, program), os.X_OK):
            fail("%s is not built in %s" % (program, ARGS.bin))
    started = time.monotonic()
    tree, release = fetch_kernel(os.path.join(ARGS.work, "kernel"))
    print("kernel %s (%.1f s to have it)" % (release, time.monotonic() - started), flush=True)
    shutil.rmtree(ARGS.share, ignore_errors=True)
    os.makedirs(ARGS.share)
    LAYOUT, EXPECTED = worlds.publish_tree(os.path.join(ARGS.bin, "tolvarin-tool"), ARGS.share,
                                           "offer")
    prepared = {}
    for name in each_run():
        FAILURES = []
        globals()["prepare_" + name]()
        prepared[name + RUN_TAG] = FAILURES
    initrd = make_initramfs(tree, release)
    kernel = os.path.join(tree, "vmlinux")
    if not os.path.exists(kernel):
        kernel = os.path.join(tree, "boot", "vmlinuz-" + release)
    with open(os.path.join(ARGS.share, "job.json"), "w") as f:
        json.dump(vars(ARGS), f)
    fsdev = "local,id={0},path={1},security_model=none,multidevs=remap{2}"
    command = [
        "qemu-system-x86_64", "-accel", "tcg", "-cpu", "max", "-smp", "2", "-m", "1024",
        "-display", "none", "-monitor", "none", "-serial", "stdio", "-no-reboot", "-nic", "none",
        "-kernel", kernel, "-initrd", initrd,
        "-append", "console=ttyS0 quiet panic=-1 rdinit=/init",
        "-fsdev", fsdev.format("host", "/", ",readonly=on"),
        "-device", "virtio-9p-pci,fsdev=host,mount_tag=host",
        "-fsdev", fsdev.format("share", ARGS.share, ""),
        "-device", "virtio-9p-pci,fsdev=share,mount_tag=share"]
    booted = time.monotonic()
    timeout = QEMU_BOOT_TIMEOUT_S + QEMU_CASE_TIMEOUT_S * len(ARGS.runs)
    try:
        qemu = subprocess.run(command, stdin=subprocess.DEVNULL, timeout=timeout,
                              preexec_fn=die_with_parent)
        if qemu.returncode != 0:
            fail("qemu ended with status %d" % qemu.returncode)
    except subprocess.TimeoutExpired:
        fail("the guest did not finish within %d s" % timeout)
    in_qemu = time.monotonic() - booted
    report_path = os.path.join(ARGS.share, "report.json")
    if not os.path.exists(report_path):
        fail("the guest wrote no report (see its console above)")
    with open(report_path) as f:
        report = json.load(f)
    if report.get("error"):
        fail("the guest's set-up failed: " + report["error"])
    print("== %.1f s in QEMU: the guest's script started %.1f s after the kernel, its set-up "
          "took %.1f s" % (in_qemu, report["boot_s"], report["setup_s"]))
    failed, figure = 0, None
    for name in each_run():
        label = name + RUN_TAG
        case = report["cases"].get(label)
        FAILURES = prepared[label] + (case["failures"] if case else ["not run in the guest"])
        if case and not case["failures"] and "verify_" + name in globals():
            figure = globals()["verify_" + name]() or figure
        print("%-8s %s  %.1f s" % (label, "FAILED" if FAILURES else "ok",
                                   case["seconds"] if case else 0))
        for failure in FAILURES:
            print("    " + failure)
        failed += bool(FAILURES)
    if figure:
        print("figure: " + figure)
    print("%d passed, %d failed" % (len(ARGS.runs) - failed, failed))
    return 1 if failed else 0


# --- the guest: udev, gadgets, server, cases -----------------------------------------------------
def write(path, text):
    with open(path, "w") as f:
        f.write(text)


def wait_until(what, condition, timeout):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            check(False, "waiting for " + what)
            raise Abort(what)
        time.sleep(0.05)


def scsi_generic(vendor, product):
    """/dev/sgN of the SCSI generic device with these INQUIRY fields, or None."""
    for device in glob.glob("/sys/class/scsi_generic/sg*"):
        try:
            with open(device + "/device/vendor") as v, open(device + "/device/model") as m:
                if v.read().strip() == vendor and m.read().strip() == product:
                    return "/dev/" + os.path.basename(device)
        except OSError:
            pass
    return None


def udev_tags(node):
    out = run("udevadm", "info", "--query=property", "--name=" + node, capture_output=True,
              text=True).stdout
    found = re.search(r"^TAGS=(.*)$", out, re.M)
    return found.group(1).strip(":").split(":") if found else []


class Disk:
    """One configfs gadget on its own dummy UDC; tolvarin-usb-gadget answers its commands."""

    def __init__(self, index, fields):
        self.index, self.fields = index, fields
        self.gadget = "/sys/kernel/config/usb_gadget/disk%d" % index
        self.udc = sorted(os.listdir("/sys/class/udc"))[index]
        self.process = None
        g, function = self.gadget, self.gadget + "/functions/ffs.disk%d" % index
        os.makedirs(g + "/strings/0x409")
        write(g + "/idVendor", "0x1d6b")
        write(g + "/idProduct", "0x0104")
        write(g + "/strings/0x409/serialnumber", "TOLVARIN%04d" % index)
        os.makedirs(g + "/configs/c.1")
        os.makedirs(function)
        os.symlink(function, g + "/configs/c.1/ffs.disk%d" % index)
        self.ffs = "/run/ffs%d" % index
        os.makedirs(self.ffs)
        run("mount", "-t", "functionfs", "disk%d" % index, self.ffs)

    def plug(self, name, settle=False):
        """Starts the gadget on the device NAME and binds it; the node the kernel gives it, once
        there (and, with settle, once udev has handled it)."""
        vendor, product, revision = self.fields
        self.log = open(gadget_log(name, self.index), "w")
        self.process = subprocess.Popen(
            [os.path.join(ARGS.bin, "tolvarin-usb-gadget"), "--ffs", self.ffs, "--state",
             state(name), "--vendor", vendor, "--product", product, "--revision", revision],
            stdout=subprocess.PIPE, stderr=self.log, text=True)
        if self.process.stdout.readline().strip() != "READY":
            check(False, "gadget ready")
            raise Abort("gadget")
        write(self.gadget + "/UDC", self.udc)
        self.node = wait_until("%s at %s" % (vendor, self.udc),
                               lambda: scsi_generic(vendor, product), 20)
        if settle:
            run("udevadm", "settle", "-t", "20")
        log("plugged %s at %s" % (name, self.node))
        return self.node

    def unplug(self):
        """Unbinds the gadget; its process saves the state file and ends."""
        write(self.gadget + "/UDC", "\n")
        try:
            status = self.process.wait(20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            status = None
        self.process = None
        self.log.close()
        check(status == 0, "the gadget saved its device at the unplug", status)
        wait_until("the device node to go", lambda: not os.path.exists(self.node), 20)
        log("unplugged %s" % self.node)

    def pull(self):
        """After a failed case: unbound and ended, whatever state it is in."""
        if self.process is not None:
            self.process.kill()
            self.process.wait()
            self.process = None
            write(self.gadget + "/UDC", "\n")


class Program:
    """A program of the native build with its output piped (plain lines)."""

    def __init__(self, name, args=(), prefix=(), env=None):
        environment = {"LANG": "C.UTF-8", "PATH": os.environ["PATH"]}
        environment.update(env or {})
        self.output = []
        self.process = subprocess.Popen(
            list(prefix) + [os.path.join(ARGS.bin, name)] + list(args), stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=environment, cwd="/tmp")
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()

    def read(self):
        for raw in self.process.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            self.output.append(line)
            log("  | " + line)

    def lines(self):
        return list(self.output)

    def text(self):
        return "\n".join(self.output)

    def wait(self, what, pattern, timeout=30):
        wait_until(what, lambda: any(re.search(pattern, line) for line in self.lines()), timeout)

    def keys(self, text):
        self.process.stdin.write(text.encode())
        self.process.stdin.flush()

    def status(self, timeout=30):
        try:
            status = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            status = None
        self.reader.join(5)
        return status


def guest_setup():
    # udev's /run of its own; /tmp stays the overlay's (writable): a build tree may be there.
    run("mount", "-t", "tmpfs", "tmpfs", "/run")
    run("ip", "link", "set", "lo", "up")
    # The server starts (slowly, under TCG) while the modules load.
    server = subprocess.Popen([sys.executable, os.path.join(ARGS.source, "tests", "server",
                                                            "update_server.py"),
                               "--root", os.path.join(ARGS.share, "server"),
                               "--port", str(ARGS.port)], stdout=subprocess.PIPE, text=True)
    shutil.copy(os.path.join(ARGS.source, "deploy", "udev", "70-tolvarin.rules"),
                "/etc/udev/rules.d/")
    run("/lib/systemd/systemd-udevd", "--daemon")
    run("modprobe", "-a", "sg", "sd_mod", "usb-storage", "libcomposite", "usb_f_fs")
    run("modprobe", "dummy_hcd", "num=2")
    run("mount", "-t", "configfs", "configfs", "/sys/kernel/config")
    line = server.stdout.readline()
    if line.strip() != "READY %d" % ARGS.port:
        raise RuntimeError("update server: " + line)
    return Disk(0, DETECTOR), Disk(1, OTHER_DISK)


def guest(job_path):
    global ARGS, FAILURES
    with open(job_path) as f:
        ARGS = argparse.Namespace(**json.load(f))
    os.environ["PATH"] = "/usr/sbin:/usr/bin:/sbin:/bin"
    report = {"cases": {}}
    with open("/proc/uptime") as f:
        report["boot_s"] = float(f.read().split()[0])
    try:
        disks = guest_setup()
        report["setup_s"] = time.monotonic() - STARTED
        for name in each_run():
            log("== " + name + RUN_TAG)
            FAILURES = []
            began = time.monotonic()
            try:
                globals()["case_" + name](*disks)
            except Abort:
                pass
            except Exception:
                FAILURES.append(traceback.format_exc())
            for disk in disks:
                disk.pull()
            report["cases"][name + RUN_TAG] = {"failures": FAILURES,
                                               "seconds": time.monotonic() - began}
    except Exception:
        report["error"] = traceback.format_exc()
        log(report["error"])
    with open(os.path.join(ARGS.share, "report.json"), "w") as f:
        json.dump(report, f, ensure_ascii=False, indent=1)
    os.sync()
    subprocess.run(["/bin/busybox", "poweroff", "-f"])


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--guest", help=argparse.SUPPRESS)
    parser.add_argument("--bin")
    parser.add_argument("--work")
    parser.add_argument("--source")
    parser.add_argument("--port", type=int)
    parser.add_argument("cases", nargs="*", help=" ".join(CASES) + ", each as NAME or NAME*N")
    args = parser.parse_args()
    if args.guest:
        guest(args.guest)
        return 0
    args.runs, count = [], {}
    for word in args.cases or CASES:
        name, _, times = word.partition("*")
        if name not in CASES or not re.fullmatch(r"[1-9]\d*|", times):
            args.runs = None
            break
        for _ in range(int(times or 1)):
            count[name] = count.get(name, 0) + 1
            args.runs.append([name, "" if count[name] == 1 else ".%d" % count[name]])
    if not (args.runs and args.bin and args.work and args.source and args.port):
        parser.error("--bin, --work, --source and --port, and cases among: " + " ".join(CASES))
    for name in ("bin", "work", "source"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    args.share = os.path.join(args.work, "share")
    os.makedirs(args.work, exist_ok=True)
    ARGS = args
    return host()


if __name__ == "__main__":
    sys.exit(main())
