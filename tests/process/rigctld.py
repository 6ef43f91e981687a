"""A real rigctld running hamlib's dummy rig (model 1) on 127.0.0.1 and a
free port, whose PTT the test keys with "T 1" / "T 0" over a connection of
its own. The dummy rig answers "t" with what was set last, to every client.
Stopping it and starting it again on the same port is a rig that stops
answering and comes back (with PTT off, as a restarted rig is)."""

import socket
import subprocess
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Rigctld:
    def __init__(self, port=None):
        self.port = port or free_port()
        self.address = "127.0.0.1:%d" % self.port
        self.proc = None
        self.keyer = None
        self.start()

    def start(self, timeout=10.0):
        self.proc = subprocess.Popen(
            ["rigctld", "-m", "1", "-P", "RIG", "-T", "127.0.0.1", "-t", str(self.port)],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True)
        deadline = time.monotonic() + timeout
        while True:
            try:
                self.keyer = socket.create_connection(("127.0.0.1", self.port), timeout=2)
                break
            except OSError:
                if time.monotonic() > deadline or self.proc.poll() is not None:
                    raise AssertionError("rigctld did not come up on %s" % self.address)
                time.sleep(0.05)
        self.keyer.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.reader = self.keyer.makefile("rb")

    def key(self, on):
        """Sets PTT; returns (when the command left, when its reply came)."""
        sent = time.monotonic()
        self.keyer.sendall(b"T 1\n" if on else b"T 0\n")
        reply = self.reader.readline()
        assert reply.startswith(b"RPRT 0"), reply
        return sent, time.monotonic()

    def stop(self):
        if self.keyer:
            self.reader.close()
            self.keyer.close()
            self.keyer = None
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)
