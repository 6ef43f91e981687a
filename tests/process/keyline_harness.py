"""Harness for running the real keyline-bench under an emulated keyboard.

Pieces:
  - GLibLoop: serves the umockdev ioctl handlers from a background thread.
  - EmulatedInput: a umockdev testbed with /dev/input nodes, by-path links and
    ioctl handlers whose key levels the test sets at any moment; it can also
    queue the kernel's event records on the devices, unplug the keyboard and
    plug one back.
  - Pty: a pseudo-terminal whose slave becomes the program's standard input.
  - UdpReceiver: collects the inhibit datagrams on 127.0.0.1.
  - Agent: starts the program, reads its output with timestamps, bounded waits.

Every wait here is bounded, and an Agent never outlives its test.
"""

import errno
import fcntl
import json
import os
import pty
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import termios
import threading
import time

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import GLib, UMockdev  # noqa: E402

# ioctl requests the program makes on an input device.
EVIOCGBIT_TYPES = 0x80084520  # EVIOCGBIT(0, 8): event-type bitmap
EVIOCGBIT_KEYS = 0x80604521  # EVIOCGBIT(EV_KEY, 96): key-code bitmap
EVIOCGKEY = 0x80604518  # EVIOCGKEY(96): keys down now

SO_TIMESTAMPNS = 35  # Linux: receive time stamps as struct timespec
F_SETPIPE_SZ = 1031  # Linux: fcntl that sets a pipe's capacity
F_GETPIPE_SZ = 1032

EV_SYN = 0
EV_KEY = 1
SYN_REPORT = 0
KEY_ESC = 1
KEY_Q = 16
KEY_GRAVE = 41
KEY_LEFTSHIFT = 42
KEY_RIGHTSHIFT = 54

# A plain PC keyboard: Esc through F12 (codes 1..88).
FULL_KEYBOARD = frozenset(range(1, 89))

KBD_LINK = "platform-i8042-serio-0-event-kbd"


def event_record(ev_type, code, value):
    """One struct input_event of a 64-bit system: a 16-byte time stamp (left
    zero: the program never looks inside), type, code, value."""
    return struct.pack("=qqHHi", 0, 0, ev_type, code, value)


def key_records(codes, value):
    """What the kernel queues for one change: an EV_KEY record per key, then
    SYN_REPORT."""
    return b"".join(event_record(EV_KEY, code, value) for code in sorted(codes)) \
        + event_record(EV_SYN, SYN_REPORT, 0)


def key_bitmap(codes, size):
    """Kernel layout: code n is bit n % 64 of little-endian 64-bit word n // 64."""
    buf = bytearray(size)
    for code in codes:
        if 0 <= code < size * 8:
            buf[code // 8] |= 1 << (code % 8)
    return bytes(buf)


class GLibLoop:
    """The default GLib main context iterated by one background thread.

    attach_ioctl() hooks its socket into the default context, so a loop on it
    answers the program's ioctls while the test thread does its own waiting."""

    def __init__(self):
        self.loop = GLib.MainLoop()
        self.thread = threading.Thread(target=self.loop.run, name="glib", daemon=True)
        self.thread.start()

    def stop(self):
        self.loop.quit()
        self.thread.join(timeout=5)


class KeyboardHandler(UMockdev.IoctlBase):
    """Answers the evdev ioctls of one device path.

    `types` and `codes` are the advertised capabilities; `down` is the set of
    keys held now, read on every EVIOCGKEY. `calls` counts requests by value."""

    def __init__(self, path, types=(EV_KEY,), codes=FULL_KEYBOARD):
        super().__init__()
        self.path = path
        self.types = frozenset(types)
        self.codes = frozenset(codes)
        self.down = frozenset()
        self.calls = {}
        self._lock = threading.Lock()
        # Non-zero: every ioctl and read fails with this errno, as on a
        # device that was unplugged while open (see EmulatedInput.fail).
        self.fail_errno = 0
        # Non-zero: only the key-state query fails with this errno.
        self.key_state_errno = 0
        # Called once a key-state query has been answered (see
        # EmulatedInput.after_next_query).
        self.after_key_query = None

    def do_handle_ioctl(self, client):
        request = client.get_request()
        with self._lock:
            self.calls[request] = self.calls.get(request, 0) + 1
        if self.fail_errno:
            client.complete(-1, self.fail_errno)
            return True
        if request == EVIOCGBIT_TYPES:
            return self._answer(client, key_bitmap(self.types, 8))
        if request == EVIOCGBIT_KEYS:
            return self._answer(client, key_bitmap(self.codes, 96))
        if request == EVIOCGKEY:
            if self.key_state_errno:
                client.complete(-1, self.key_state_errno)
                return True
            self._answer(client, key_bitmap(self.down, 96))
            hook = self.after_key_query
            if hook:
                hook()
            return True
        client.complete(-1, errno.ENOTTY)
        return True

    def do_handle_read(self, client):
        if self.fail_errno:
            client.complete(-1, self.fail_errno)
            return True
        return UMockdev.IoctlBase.do_handle_read(self, client)

    @staticmethod
    def _answer(client, data):
        client.get_arg().resolve(0, len(data)).update(0, data)
        client.complete(len(data), 0)
        return True

    def count(self, request):
        with self._lock:
            return self.calls.get(request, 0)


class OneShot:
    """An action run at most once, from whichever thread comes first."""

    def __init__(self, action):
        self.action = action
        self.at = None
        self.done = threading.Event()
        self._lock = threading.Lock()

    def __call__(self):
        with self._lock:
            if self.done.is_set():
                return False
            self.at = time.monotonic()
            self.action()
            self.done.set()
            return True


class EmulatedInput:
    """A umockdev testbed holding the program's view of /dev/input.

    /dev/input and /dev/input/by-path always exist in the testbed (possibly
    empty): a path missing there would fall through to the real /dev."""

    def __init__(self):
        self.testbed = UMockdev.Testbed.new()
        self.root = self.testbed.get_root_dir()
        self.input_dir = os.path.join(self.root, "dev", "input")
        self.by_path_dir = os.path.join(self.input_dir, "by-path")
        os.makedirs(self.by_path_dir, exist_ok=True)
        self.handlers = {}  # device path as the program opens it -> handler
        self.keyboards = []  # nodes of the keyboards added, present ones only
        self._held = frozenset()

    # --- building -------------------------------------------------------

    def add_node(self, name="event0"):
        """An event node /dev/input/<name> that answers no ioctls by itself."""
        self.testbed.add_from_string(
            "P: /devices/platform/i8042/serio0/input/input0/%s\n"
            "N: input/%s\n"
            "E: SUBSYSTEM=input\n"
            "E: DEVNAME=/dev/input/%s\n"
            "E: ID_INPUT=1\n"
            "E: ID_INPUT_KEY=1\n"
            "E: ID_INPUT_KEYBOARD=1\n" % (name, name, name)
        )
        return "/dev/input/" + name

    def add_link(self, link_name, target_name):
        """A by-path link, made by hand as udev would: <link> -> ../<target>."""
        os.symlink("../" + target_name, os.path.join(self.by_path_dir, link_name))
        return "/dev/input/by-path/" + link_name

    def answer(self, path, types=(EV_KEY,), codes=FULL_KEYBOARD, key_state_errno=0):
        """Attach an ioctl handler to one path. Routing follows the path the
        program opened, so a node and each link to it need their own."""
        handler = KeyboardHandler(path, types, codes)
        handler.down = self._held
        handler.key_state_errno = key_state_errno
        self.testbed.attach_ioctl(path, handler)
        self.handlers[path] = handler
        return handler

    def add_keyboard(self, name="event0", link=KBD_LINK, types=(EV_KEY,),
                     codes=FULL_KEYBOARD, key_state_errno=0):
        """A keyboard node, optionally reachable through a by-path link, with
        handlers on the node and on the link."""
        node = self.add_node(name)
        self.answer(node, types, codes, key_state_errno)
        if link:
            self.answer(self.add_link(link, name), types, codes, key_state_errno)
        self.keyboards.append(node)
        return node

    def add_locked_node(self, name="event0"):
        """An entry the program may not open: mode 000. Only refuses an
        opener without CAP_DAC_OVERRIDE (see unprivileged_prefix)."""
        path = os.path.join(self.input_dir, name)
        with open(path, "wb"):
            pass
        os.chmod(path, 0)
        return "/dev/input/" + name

    # --- key levels (any thread, any moment) ----------------------------

    def set_keys(self, codes):
        self._held = frozenset(codes)
        for handler in self.handlers.values():
            handler.down = self._held

    def down(self, *codes, records=False):
        """Keys go down. With records, the change's event records follow on
        every keyboard, as the kernel queues them after updating the state."""
        self.set_keys(self._held | set(codes))
        if records:
            self.write_records(key_records(codes, 1))

    def up(self, *codes, records=False):
        self.set_keys(self._held - set(codes))
        if records:
            self.write_records(key_records(codes, 0))

    def repeat(self, *codes):
        """The kernel's auto-repeat of held keys: records only, levels unchanged."""
        self.write_records(key_records(codes, 2))

    def write_records(self, data):
        """Queues raw event records on every present keyboard, through the
        device's other end; they become readable on the program's descriptor.
        A full queue drops them, as the kernel's does."""
        for node in self.keyboards:
            fd = self.testbed.get_dev_fd(node)
            if fd < 0:
                continue
            os.set_blocking(fd, False)
            try:
                os.write(fd, data)
            except BlockingIOError:
                pass

    def held(self):
        return self._held

    def after_next_query(self, action):
        """Runs action once, right after the program's next key-state query
        has been answered, on the thread that answered it. The program
        cannot have read its clock for a later query before then, so a
        change made there has a moment that is not in doubt: a change made
        from the test thread may land while a query sent before it still
        waits for its answer. Returns a OneShot; .done.wait() then .at
        (time.monotonic() just before the action)."""
        shot = OneShot(action)

        def hook():
            if shot():
                for handler in self.handlers.values():
                    handler.after_key_query = None

        for handler in self.handlers.values():
            handler.after_key_query = hook
        return shot

    def unplug(self):
        """The keyboard goes away as a USB keyboard pulled out does: every
        query on an open descriptor fails with "no such device", the
        descriptor hangs up (the device's other end is closed), and the node
        and its links vanish, so discovery finds nothing."""
        self.fail(errno.ENODEV)
        null = os.open(os.devnull, os.O_RDWR)
        try:
            for node in self.keyboards:
                fd = self.testbed.get_dev_fd(node)
                if fd >= 0:
                    # The number stays taken (the testbed closes it later).
                    os.dup2(null, fd)
        finally:
            os.close(null)
        for entry in os.listdir(self.by_path_dir):
            os.unlink(os.path.join(self.by_path_dir, entry))
        for node in self.keyboards:
            os.unlink(os.path.join(self.root, node.lstrip("/")))
        self.keyboards = []

    def plug(self, name="event1", link=KBD_LINK, key_state_errno=0):
        """A keyboard comes (back) under a new event node, reachable through
        the same by-path link; the keys held now are held on it. The testbed
        cannot reuse a node name, as the kernel often does not either. With
        key_state_errno its key-state query fails (a device half gone)."""
        if link:
            path = "/dev/input/by-path/" + link
            if path in self.handlers:
                self.testbed.detach_ioctl(path)
                del self.handlers[path]
        return self.add_keyboard(name, link, key_state_errno=key_state_errno)

    def fail(self, err=errno.ENODEV):
        """From now on every ioctl and read on every path fails with err:
        the keyboard is gone, the program's descriptor stays open."""
        for handler in self.handlers.values():
            handler.fail_errno = err

    def count(self, request):
        """Requests of this kind answered on all paths together."""
        return sum(h.count(request) for h in self.handlers.values())

    def child_env(self):
        env = dict(os.environ)
        env["UMOCKDEV_DIR"] = self.root
        return env

    def close(self):
        for path in list(self.handlers):
            try:
                self.testbed.detach_ioctl(path)
            except GLib.Error:
                pass
        self.handlers.clear()
        # The testbed removes its directory when released; locked entries
        # are made removable first.
        for entry in os.listdir(self.input_dir):
            full = os.path.join(self.input_dir, entry)
            if os.path.isfile(full) and not os.path.islink(full):
                os.chmod(full, 0o600)
        self.testbed = None


_unprivileged = None


def unprivileged_prefix():
    """Command prefix under which file modes are enforced, or None.

    As root, drop CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH from the bounding
    set (the uid stays 0, so the testbed stays reachable); as any other user
    nothing is needed."""
    global _unprivileged
    if _unprivileged is None:
        if os.geteuid() != 0:
            _unprivileged = []
        else:
            setpriv = shutil.which("setpriv")
            cmd = [setpriv, "--bounding-set", "-dac_override,-dac_read_search"] if setpriv else None
            ok = False
            if cmd:
                try:
                    ok = subprocess.run(cmd + ["true"], timeout=10,
                                        stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL).returncode == 0
                except (OSError, subprocess.TimeoutExpired):
                    ok = False
            _unprivileged = cmd if ok else False
    return _unprivileged if _unprivileged is not False else None


class Pty:
    """A pseudo-terminal; the slave is the program's standard input. The test
    keeps both ends open so it can read the slave's settings and type."""

    def __init__(self):
        self.master, self.slave = pty.openpty()
        self.initial = self.attrs()  # as the program will find them

    def attrs(self):
        return termios.tcgetattr(self.slave)

    def type(self, data):
        os.write(self.master, data)

    def close(self):
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass


def monotonic_of_wall(wall):
    """A recent wall-clock moment on the monotonic clock. Both clocks are
    read close together (a pair read across a preemption is read again), or
    the moment would move by the time this thread was off the processor."""
    for _ in range(5):
        before = time.time()
        mono = time.monotonic()
        after = time.time()
        if after - before < 50e-6:
            break
    return mono - max(0.0, (before + after) / 2 - wall)


class UdpReceiver:
    """Collects datagrams on 127.0.0.1:<random port> as (monotonic arrival
    time, parsed JSON or None, raw bytes).

    With kernel_stamps the arrival is the moment the kernel queued the
    datagram (SO_TIMESTAMPNS), so this thread's own wake-up is not counted;
    the benchmark measures latencies with it."""

    def __init__(self, kernel_stamps=False):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.05)
        self.kernel_stamps = kernel_stamps
        if kernel_stamps:
            self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.port = self.sock.getsockname()[1]
        self._items = []
        self._cond = threading.Condition()
        self._stop = threading.Event()
        self.thread = threading.Thread(target=self._run, name="udp", daemon=True)
        self.thread.start()

    def _run(self):
        while not self._stop.is_set():
            kernel_wall = None
            try:
                if self.kernel_stamps:
                    data, kernel_wall = self._recv_stamped()
                else:
                    data, _ = self.sock.recvfrom(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            if kernel_wall is not None:
                # How long ago the kernel queued it: a span of microseconds on
                # the wall clock, moved onto the monotonic clock.
                arrived = monotonic_of_wall(kernel_wall)
            else:
                arrived = time.monotonic()
            try:
                parsed = json.loads(data.decode("utf-8"))
            except ValueError:
                parsed = None
            with self._cond:
                self._items.append((arrived, parsed, data))
                self._cond.notify_all()

    def _recv_stamped(self):
        """One datagram and its kernel receive time (wall clock, seconds)."""
        data, ancillary, _, _ = self.sock.recvmsg(65536, socket.CMSG_SPACE(16))
        for level, kind, payload in ancillary:
            if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS and len(payload) >= 16:
                sec, nsec = struct.unpack("qq", payload[:16])
                return data, sec + nsec * 1e-9
        return data, None

    def datagrams(self):
        with self._cond:
            return list(self._items)

    def wait_count(self, n, timeout):
        """Wait until at least n datagrams arrived; returns them all."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while len(self._items) < n:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self._cond.wait(left)
            return list(self._items)

    def close(self):
        self._stop.set()
        self.thread.join(timeout=2)
        self.sock.close()


class _LineReader:
    """Reads one pipe to EOF, keeping the raw bytes and timestamped lines."""

    def __init__(self, stream, cond):
        self.stream = stream
        self.cond = cond
        self.raw = bytearray()
        self.lines = []  # (monotonic time, text without the line feed)
        self.eof = False
        self.reading = threading.Event()  # cleared: the reader stops reading, as a stalled pager
        self.reading.set()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        pending = b""
        fd = self.stream.fileno()
        while True:
            # Wait for data without taking it, so a pause leaves it in the pipe.
            try:
                ready, _, _ = select.select([fd], [], [], 0.05)
            except (OSError, ValueError):
                ready = [fd]
            if not ready or not self.reading.is_set():
                continue
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                chunk = b""
            now = time.monotonic()
            with self.cond:
                if not chunk:
                    if pending:
                        self.lines.append((now, pending.decode("utf-8", "replace")))
                    self.eof = True
                    self.cond.notify_all()
                    return
                self.raw += chunk
                pending += chunk
                while b"\n" in pending:
                    line, pending = pending.split(b"\n", 1)
                    self.lines.append((now, line.decode("utf-8", "replace")))
                self.cond.notify_all()


class Agent:
    """One run of keyline-bench."""

    def __init__(self, binary, inputs, receiver):
        self.binary = binary
        self.inputs = inputs
        self.receiver = receiver
        self.proc = None
        self.tty = None
        self._cond = threading.Condition()
        self._out = None
        self._err = None
        self._stdout = None
        self.stdout_writer = None

    def start(self, args=(), stdin="pty", prefix=(), port=True, stdout_pipe_bytes=0):
        """Start the program. stdin 'pty' gives it a fresh pseudo-terminal
        (self.tty), 'devnull' gives it /dev/null. Unless port is False,
        --port <receiver port> goes first so nothing leaves loopback.
        stdout_pipe_bytes shrinks its output pipe (at least a page) and
        keeps a write end of it as self.stdout_writer."""
        assert self.proc is None, "one run per Agent"
        argv = list(prefix) + [self.binary]
        if port:
            argv += ["--port", str(self.receiver.port)]
        argv += list(args)
        if stdin == "pty":
            self.tty = Pty()
            stdin_arg = self.tty.slave
        elif stdin == "devnull":
            stdin_arg = subprocess.DEVNULL
        else:
            raise ValueError(stdin)
        stdout_arg = subprocess.PIPE
        if stdout_pipe_bytes:
            # The test keeps a write end too, so it can fill the pipe itself.
            read_end, self.stdout_writer = os.pipe()
            fcntl.fcntl(read_end, F_SETPIPE_SZ, stdout_pipe_bytes)
            stdout_arg = self.stdout_writer
        self.proc = subprocess.Popen(
            argv, stdin=stdin_arg, stdout=stdout_arg, stderr=subprocess.PIPE,
            env=self.inputs.child_env(), start_new_session=True)
        self._stdout = self.proc.stdout or os.fdopen(read_end, "rb")
        self._out = _LineReader(self._stdout, self._cond)
        self._err = _LineReader(self.proc.stderr, self._cond)
        return self

    # --- output ---------------------------------------------------------

    def lines(self, stream="stdout"):
        with self._cond:
            return [text for _, text in self._reader(stream).lines]

    def timed_lines(self, stream="stdout"):
        with self._cond:
            return list(self._reader(stream).lines)

    def text(self, stream="stdout"):
        with self._cond:
            return bytes(self._reader(stream).raw).decode("utf-8", "replace")

    def _reader(self, stream):
        return self._out if stream == "stdout" else self._err

    def wait_line(self, regex, timeout=10.0, stream="stdout", start=0):
        """The first line (from index `start`) matching regex; fails the test
        with what was seen when none arrives within the timeout."""
        pattern = re.compile(regex)
        deadline = time.monotonic() + timeout
        reader = self._reader(stream)
        with self._cond:
            while True:
                for _, text in reader.lines[start:]:
                    if pattern.search(text):
                        return text
                left = deadline - time.monotonic()
                if left <= 0 or reader.eof:
                    break
                self._cond.wait(min(left, 0.1))
        raise AssertionError(
            "no %s line matching %r within %.1f s (exit status %r)\nstdout:\n%s\nstderr:\n%s"
            % (stream, regex, timeout, self.proc.poll(), self.text("stdout"), self.text("stderr")))

    def wait_banner(self, timeout=15.0):
        """Wait for the banner's closing empty line; returns the stdout lines."""
        self.wait_line(r"^$", timeout)
        return self.lines()

    # --- process --------------------------------------------------------

    def wait_exit(self, timeout=10.0):
        """Exit status (negative for a signal), after all output was read."""
        try:
            status = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(
                "program still running after %.1f s\nstdout:\n%s\nstderr:\n%s"
                % (timeout, self.text("stdout"), self.text("stderr")))
        deadline = time.monotonic() + 5
        with self._cond:
            while not (self._out.eof and self._err.eof) and time.monotonic() < deadline:
                self._cond.wait(0.1)
        return status

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def quit(self, timeout=10.0):
        """Type q into the terminal and wait for the exit status."""
        self.tty.type(b"q")
        return self.wait_exit(timeout)

    def signal(self, signum):
        self.proc.send_signal(signum)

    def pause_stdout_reader(self):
        """Stop reading the program's output: what it writes stays in the pipe."""
        self._out.reading.clear()

    def fill_stdout_pipe(self, line=b"filler.\n"):
        """Fill the program's (shrunk, empty) output pipe with whole lines of
        our own; the lines written. The reader sees no end of file while our
        write end is open (kill() closes it)."""
        capacity = fcntl.fcntl(self.stdout_writer, F_GETPIPE_SZ)
        count = capacity // len(line)
        os.write(self.stdout_writer, line * count)
        return count

    def resume_stdout_reader(self):
        self._out.reading.set()

    def close_stdout_reader(self, timeout=5.0):
        """Let go of the read end of the program's stdout pipe, so its later
        writes fail with EPIPE. /dev/null is put in the descriptor's place
        (no other file can take the number); the reader thread's blocked read
        still holds the pipe until the program writes once more, so the
        program must be writing (e.g. --verbose-keepalive during a hold).
        True once the reader has let go within the timeout."""
        fd = self._stdout.fileno()
        null = os.open(os.devnull, os.O_RDONLY)
        try:
            os.dup2(null, fd)
        finally:
            os.close(null)
        deadline = time.monotonic() + timeout
        with self._cond:
            while not self._out.eof and time.monotonic() < deadline:
                self._cond.wait(0.1)
            return self._out.eof

    def kill(self):
        """Never leave a child running: SIGKILL its session, then reap."""
        if self.proc is None:
            return
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except OSError:
                pass
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        for reader in (self._out, self._err):
            reader.thread.join(timeout=5)
        if self.stdout_writer is not None:
            os.close(self.stdout_writer)
        for stream in (self._stdout, self.proc.stderr):
            try:
                stream.close()
            except OSError:
                pass
        if self.tty:
            self.tty.close()


# --- what the receiver got -------------------------------------------------------

def ttls(receiver):
    """The ttl_ms of every datagram so far, in arrival order."""
    return [parsed["ttl_ms"] for _, parsed, _ in receiver.datagrams()]


def wait_release(receiver, timeout=5.0):
    """Arrival time of the first datagram with ttl_ms 0, or None (bounded)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for arrived, parsed, _ in receiver.datagrams():
            if parsed["ttl_ms"] == 0:
                return arrived
        time.sleep(0.01)
    return None


# --- /proc ---------------------------------------------------------------------

def proc_stat_fields(pid):
    """The fields of /proc/<pid>/stat after the command name: the state is
    [0], utime [11] and stime [12] (fields 3, 14 and 15 of the line)."""
    with open("/proc/%d/stat" % pid) as f:
        return f.read().rpartition(")")[2].split()


def proc_state(pid):
    return proc_stat_fields(pid)[0]


def cpu_seconds(pid):
    """utime + stime of the whole process."""
    fields = proc_stat_fields(pid)
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
