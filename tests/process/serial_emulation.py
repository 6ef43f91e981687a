"""A serial port emulated with umockdev: a tty node whose ioctl handler
answers TIOCMGET with modem-status bits the test sets at any moment, and
holds each TIOCMIWAIT open until one of the awaited lines changes, as the
kernel does. Settings calls (TCGETS, TCSETS) reach the testbed's pty."""

import errno
import struct
import threading

from gi.repository import GLib, UMockdev

TIOCMGET = 0x5415
TIOCMBIS = 0x5416
TIOCMBIC = 0x5417
TIOCMSET = 0x5418
TIOCMIWAIT = 0x545C

TIOCM_DTR = 0x002
TIOCM_RTS = 0x004
TIOCM_CTS = 0x020
TIOCM_CAR = 0x040
TIOCM_RNG = 0x080
TIOCM_DSR = 0x100

LINE_BITS = {"cts": TIOCM_CTS, "dsr": TIOCM_DSR, "dcd": TIOCM_CAR, "ri": TIOCM_RNG}


class SerialHandler(UMockdev.IoctlBase):
    def __init__(self, bits):
        super().__init__()
        self.bits = bits
        self.fail_errno = 0
        self.calls = {}
        self.waiting = []  # clients whose waits are held open
        self._lock = threading.Lock()

    def do_handle_ioctl(self, client):
        request = client.get_request()
        with self._lock:
            self.calls[request] = self.calls.get(request, 0) + 1
            if self.fail_errno:
                client.complete(-1, self.fail_errno)
                return True
            if request == TIOCMGET:
                client.get_arg().resolve(0, 4).update(0, struct.pack("i", self.bits))
                client.complete(0, 0)
                return True
            if request == TIOCMIWAIT:
                self.waiting.append(client)
                return True
        client.complete(-1, errno.ENOTTY)
        return True

    def count(self, request):
        with self._lock:
            return self.calls.get(request, 0)

    def _release_waits(self, res, err):
        with self._lock:
            waiting, self.waiting = self.waiting, []
        for client in waiting:
            client.complete(res, err)
        return False


class EmulatedSerial:
    """/dev/<name> in the testbed of `inputs` (an EmulatedInput)."""

    def __init__(self, inputs, name="ttyUSB0", bits=TIOCM_DTR | TIOCM_RTS):
        self.testbed = inputs.testbed
        self.testbed.add_from_string(
            "P: /devices/pci0000:00/usb1/1-1/1-1:1.0/%s/tty/%s\n"
            "N: %s\n"
            "E: SUBSYSTEM=tty\n"
            "E: DEVNAME=/dev/%s\n"
            "A: dev=188:0\n" % (name, name, name, name))
        self.path = "/dev/" + name
        self.handler = SerialHandler(bits)
        self.testbed.attach_ioctl(self.path, self.handler)
        inputs.handlers[self.path] = self.handler  # detached at the inputs' close

    def set_line(self, line, high):
        """Raise or lower a modem-status input; held waits return, as at an edge."""
        bit = LINE_BITS[line]
        with self.handler._lock:
            self.handler.bits = (self.handler.bits | bit) if high else (self.handler.bits & ~bit)
        GLib.idle_add(self.handler._release_waits, 0, 0)

    def unplug(self):
        """Every call fails with EIO, as on a USB adapter pulled out; waits end."""
        with self.handler._lock:
            self.handler.fail_errno = errno.EIO
        GLib.idle_add(self.handler._release_waits, -1, errno.EIO)

    def plug(self):
        with self.handler._lock:
            self.handler.fail_errno = 0

    def count(self, request):
        return self.handler.count(request)
