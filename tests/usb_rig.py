"""The adapter as a USB gadget inside the kernel rig (scripts/usb_rig.sh): configfs,
FunctionFS and the firmware program (sim/gadget.cpp) on the dummy host controller."""

import ctypes
import glob
import os
import subprocess
import time

VENDOR, PRODUCT = 0x0483, 0x5750
SERIAL = "5A1B2C3D4E5F"
CHANNELS = 4
GADGET = "/sys/kernel/config/usb_gadget/qlix"
FFS = "/dev/ffs-qlix"


_libc = ctypes.CDLL(None, use_errno=True)


def _mount(source, target, fstype):
    if _libc.mount(source.encode(), target.encode(), fstype.encode(), 0, None) != 0:
        raise OSError(ctypes.get_errno(), "usb_rig: mount %s on %s" % (fstype, target))


def _write(path, text):
    with open(path, "w") as f:
        f.write(text)


def _wait(condition, what, seconds=60.0):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise TimeoutError("usb_rig: %s within %.0f s" % (what, seconds))
        time.sleep(0.05)


def sysfs_device():
    """The adapter's folder under /sys/bus/usb/devices, or None while it is not attached."""
    for path in glob.glob("/sys/bus/usb/devices/*/idVendor"):
        folder = os.path.dirname(path)
        try:
            with open(path) as v, open(os.path.join(folder, "idProduct")) as p:
                if int(v.read(), 16) == VENDOR and int(p.read(), 16) == PRODUCT:
                    return folder
        except OSError:
            pass
    return None


def device_node():
    folder = sysfs_device()
    with open(os.path.join(folder, "busnum")) as b, open(os.path.join(folder, "devnum")) as d:
        return "/dev/bus/usb/%03d/%03d" % (int(b.read()), int(d.read()))


def interface_driver():
    """The kernel driver bound to interface 0 (for instance "usbhid"), or None."""
    folder = sysfs_device()
    link = os.path.join(folder, os.path.basename(folder) + ":1.0", "driver") if folder else ""
    return os.path.basename(os.readlink(link)) if os.path.islink(link) else None


class Gadget:
    """The gadget of the rig: started in one interface class at a time."""

    def __init__(self, program):
        self.program = program
        self.proc = None
        self.klass = None
        self.udc = None

    def _configure(self):
        if os.path.isdir(GADGET):
            return
        os.makedirs(GADGET)
        _write(GADGET + "/idVendor", "0x%04x" % VENDOR)
        _write(GADGET + "/idProduct", "0x%04x" % PRODUCT)
        _write(GADGET + "/bcdUSB", "0x0200")
        os.makedirs(GADGET + "/strings/0x409")
        _write(GADGET + "/strings/0x409/serialnumber", SERIAL)
        _write(GADGET + "/strings/0x409/manufacturer", "QLIX")
        _write(GADGET + "/strings/0x409/product", "QLIX multi-channel serial adapter")
        os.makedirs(GADGET + "/configs/c.1")
        _write(GADGET + "/configs/c.1/MaxPower", "100")
        os.makedirs(GADGET + "/functions/ffs.qlix")
        os.symlink(GADGET + "/functions/ffs.qlix", GADGET + "/configs/c.1/ffs.qlix")
        os.makedirs(FFS, exist_ok=True)
        self.udc = os.listdir("/sys/class/udc")[0]

    def start(self, klass):
        """Runs the firmware in interface class `klass` ("hid" or "vendor") until the adapter is
        attached (and, for HID, usbhid has bound it)."""
        if self.klass == klass and self.proc is not None and self.proc.poll() is None:
            if sysfs_device() is None:
                self.replug()
            return
        self.stop()
        self._configure()
        _mount("qlix", FFS, "functionfs")
        self.proc = subprocess.Popen(
            [self.program, "--ffs", FFS, "--class", klass, "--channels", str(CHANNELS)],
            stdout=subprocess.PIPE,
            text=True,
        )
        if self.proc.stdout.readline().strip() != "ready":
            raise RuntimeError("usb_rig: the gadget program did not start")
        self.klass = klass
        _write(GADGET + "/UDC", self.udc)
        self._attached()

    def _attached(self):
        _wait(lambda: sysfs_device() is not None and os.path.exists(device_node()), "the adapter enumerates")
        if self.klass == "hid":
            _wait(lambda: interface_driver() == "usbhid", "usbhid binds the adapter")

    def stop(self):
        if self.proc is None:
            return
        _write(GADGET + "/UDC", "\n")
        self.proc.kill()
        self.proc.wait()
        self.proc = self.klass = None
        if _libc.umount(FFS.encode()) != 0:
            raise OSError(ctypes.get_errno(), "usb_rig: umount " + FFS)

    def unplug(self):
        """The adapter leaves the bus: the gadget is unbound from the controller, as when it is pulled out."""
        _write(GADGET + "/UDC", "\n")
        _wait(lambda: sysfs_device() is None, "the adapter disappears", 10)

    def replug(self):
        _write(GADGET + "/UDC", self.udc)
        self._attached()
