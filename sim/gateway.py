'''The simulated gateway: a private system bus, the BlueZ simulator and pairgated in its sandbox.

Used by the system tests (through tests/system/conftest.py) and by the demo.
Every wait is for an event (a log line, a recorded call, bytes on a pipe, an
exit) with a deadline; every process the harness starts is ended by its pid
in close().

Layout of ROOT (see sim/sandbox for how the daemon sees it):
  etc/settings       /opt/bluetooth/etc/settings
  var-tmp/           /var/tmp (the request and reply pipes)
  io, io.*           /usr/bin/io and the stand-in's control files
  gpio, gpio.log     /dev/gpio (levels) and what the GPIO stand-in saw
  log                /dev/log, a datagram socket read by Syslog
  bus, bus.conf      the private system bus
  bluez.log          the simulator's output
  daemon.out         the daemon's stdout and stderr (sanitizer reports)

Use (the fixtures of tests/system/conftest.py do the same):
    gw = Gateway(Path('/tmp/gw'), Path('build'))
    try:
        gw.settings(facts.settings(SYSLOGLEV=4))
        gw.start_bus()
        gw.start_bluez()          # hci0 with the device 00:1A:7D:DA:71:13
        gw.start_daemon()         # returns once the agent is registered
        gw.syslog.wait_for('Bluetooth helper daemon has been started', priority=5)
        print(gw.calls())
    finally:
        gw.close()
'''

import collections
import contextlib
import fcntl
import json
import os
import re
import select
import shutil
import signal as signals
import socket
import struct
import subprocess
import tempfile
import termios
import threading
import time
from pathlib import Path

import dbus

SIM_DIR = Path(__file__).resolve().parent
SETPRIV = shutil.which('setpriv')
PYTHON = '/usr/bin/python3'
SIM_IFACE = 'org.pairgate.Sim1'
BLUEZ_MOCK_IFACE = 'org.bluez.Mock'
POLL_S = 0.01
DAEMON_START_S = 15
SANITIZER_MARKS = ('ERROR: AddressSanitizer', 'ERROR: LeakSanitizer', 'runtime error:')
# Datagrams of Syslog.sync(); never kept as log lines.
SYNC_MARK = b'<191>pairgate-test-sync: '
# A unix socket path must fit in sun_path (108 bytes with the terminator).
MAX_SOCKET_PATH = 100
# In a cross build, the script that runs a program built for the target under
# qemu-user (set by ctest; see tests/CMakeLists.txt). Empty for a native build.
EMULATED = os.environ.get('PAIRGATE_EMULATED', '')
# A local user's loop: a directory at the path argv[1] whenever there is none.
MKDIR_LOOP = '''
import os, sys
while True:
    try:
        os.mkdir(sys.argv[1])
    except OSError:
        pass
'''


class Timeout(AssertionError):
    '''An awaited event did not happen before its deadline.'''


def wait_until(probe, timeout, what):
    '''Polls PROBE until it returns something true; returns that or raises Timeout.'''
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Timeout(f'timed out after {timeout} s waiting for {what}')
        time.sleep(POLL_S)


def plain(value):
    '''A D-Bus value as plain Python: bool, int, float, str, bytes, list, tuple, dict.'''
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, int):
        return int(value)
    if isinstance(value, float):
        return float(value)
    if isinstance(value, str):
        return str(value)
    if isinstance(value, bytes):
        return bytes(value)
    if isinstance(value, dict):
        return {plain(k): plain(v) for k, v in value.items()}
    if isinstance(value, dbus.Struct):
        return tuple(plain(v) for v in value)
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    return value


class Call(collections.namedtuple('Call', 'path interface member args')):
    '''One method call BlueZ received. Compares as (path, interface, member, args);
    .sender and .signature tell who sent it and with which signature.'''

    sender = ''
    signature = ''


# What became of the RequestConfirmation a Pair made: the agent asked (empty
# when there was none; state "none") and its answer (state "pending",
# "return" or "error").
PairConfirmation = collections.namedtuple(
    'PairConfirmation', 'device agent agent_path state error_name error_message')


def _call_from_row(row):
    sender, path, interface, member, signature, args = row
    call = Call(str(path), str(interface), str(member), plain(args))
    call.sender = str(sender)
    call.signature = str(signature)
    return call


# ------------------------------------------------------------------ syslog

# glibc without openlog: "<PRI>Mmm dd hh:mm:ss IDENT: TEXT" (IDENT[PID] with LOG_PID).
SYSLOG_LINE = re.compile(
    rb'<(\d{1,3})>(?:[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d )?([^:\[ ]*)(?:\[\d+\])?: (.*)', re.S)


class Syslog:
    '''The datagram socket that the sandbox shows as /dev/log, read by a thread.

    .entries holds (facility, priority, ident, text) per datagram, .lines the
    (priority, text) pairs. Texts are decoded as UTF-8 with surrogateescape, so
    text.encode('utf-8', 'surrogateescape') gives back the bytes sent.
    A pattern is a str (the whole text must be equal) or a compiled regex
    (searched in the text).'''

    def __init__(self, path):
        self.path = Path(path)
        if self.path.exists() or self.path.is_socket():
            self.path.unlink()
        self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self._sock.bind(str(self.path))
        os.chmod(self.path, 0o666)
        self._sock.settimeout(0.05)
        self.entries = []
        self.raw = []
        self._syncs_seen = 0
        self._syncs_sent = 0
        self._changed = threading.Condition()
        self._reading = threading.Event()
        self._reading.set()
        self._stop = False
        self._thread = threading.Thread(target=self._run, name='syslog', daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop:
            if not self._reading.wait(0.05):
                continue
            try:
                data = self._sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            with self._changed:
                if data.startswith(SYNC_MARK):
                    self._syncs_seen += 1
                else:
                    self.raw.append(data)
                    self.entries.append(self._parse(data))
                self._changed.notify_all()

    def sync(self, timeout=5):
        '''Returns once every datagram sent before this call has been read: a
        marker goes through the same queue and is waited for. Use it after the
        daemon has exited, to assert on the complete log (also when it logs
        nothing at all).'''
        with self._changed:
            self._syncs_sent += 1
            wanted = self._syncs_sent
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as sender:
            sender.sendto(SYNC_MARK + str(wanted).encode(), str(self.path))
        deadline = time.monotonic() + timeout
        with self._changed:
            while self._syncs_seen < wanted:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise Timeout(f'syslog: sync marker not read within {timeout} s')
                self._changed.wait(left)

    @contextlib.contextmanager
    def held(self):
        '''Within the block nothing is read, as from a stalled syslog daemon:
        the socket queues net.unix.max_dgram_qlen datagrams (10), then takes
        no more. Do not sync() within it.'''
        self._reading.clear()
        try:
            yield
        finally:
            self._reading.set()

    @staticmethod
    def _parse(data):
        match = SYSLOG_LINE.fullmatch(data)
        if not match:
            return (-1, -1, '', data.decode('utf-8', 'surrogateescape'))
        pri = int(match.group(1))
        return (pri >> 3, pri & 7, match.group(2).decode('utf-8', 'surrogateescape'),
                match.group(3).decode('utf-8', 'surrogateescape'))

    @property
    def lines(self):
        with self._changed:
            return [(e[1], e[3]) for e in self.entries]

    def texts(self, start=0):
        return [text for _, text in self.lines[start:]]

    @staticmethod
    def _matches(entry, pattern, priority):
        if priority is not None and entry[1] != priority:
            return False
        if isinstance(pattern, re.Pattern):
            return pattern.search(entry[3]) is not None
        return entry[3] == pattern

    def find(self, pattern, priority=None, start=0):
        '''Indices of the matching lines from START on.'''
        with self._changed:
            return [i for i in range(start, len(self.entries))
                    if self._matches(self.entries[i], pattern, priority)]

    def wait_count(self, pattern, n, priority=None, timeout=5, start=0):
        '''Waits until N lines from START on match; returns their indices.'''
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                found = self.find(pattern, priority, start)
                if len(found) >= n:
                    return found[:n]
                left = deadline - time.monotonic()
                if left <= 0:
                    raise Timeout(f'syslog: {n} x {pattern!r} (priority {priority}) not seen '
                                  f'within {timeout} s; lines: {self.lines[start:]!r}')
                self._changed.wait(left)

    def wait_for(self, pattern, priority=None, timeout=5, start=0):
        '''Waits for a matching line from START on; returns its index.'''
        return self.wait_count(pattern, 1, priority, timeout, start)[0]

    def close(self):
        self._stop = True
        self._thread.join(timeout=5)
        self._sock.close()
        if self.path.is_socket():
            self.path.unlink()


# ------------------------------------------------------------- reply pipe


class ReplyReader:
    '''The web UI's end of the reply pipe: opened for reading, with a writer of
    its own kept open so that poll() never reports a hang-up.'''

    def __init__(self, path):
        self.path = Path(path)
        if not self.path.exists():
            os.mkfifo(self.path, 0o600)
            os.chmod(self.path, 0o600)
        self.fd = os.open(self.path, os.O_RDONLY | os.O_NONBLOCK)
        self._writer = os.open(self.path, os.O_WRONLY | os.O_NONBLOCK)

    def _readable(self, timeout_s):
        poller = select.poll()
        poller.register(self.fd, select.POLLIN)
        return bool(poller.poll(max(0, int(timeout_s * 1000))))

    def read(self, n, timeout=5):
        '''Exactly N bytes, or Timeout (naming what did come) at the deadline.'''
        data = b''
        deadline = time.monotonic() + timeout
        while len(data) < n:
            left = deadline - time.monotonic()
            if left <= 0 or not self._readable(left):
                raise Timeout(f'reply pipe: {n} bytes expected within {timeout} s, got {data!r}')
            try:
                data += os.read(self.fd, n - len(data))
            except BlockingIOError:
                continue
        return data

    def nothing_pending(self):
        return not self._readable(0)

    def close(self):
        for fd in (self.fd, self._writer):
            try:
                os.close(fd)
            except OSError:
                pass


# ---------------------------------------------------------------- gateway


class Gateway:
    '''One simulated gateway under ROOT, driving the daemon built in BUILD_DIR.'''

    def __init__(self, root, build_dir):
        self.root = Path(root).resolve()
        self.build_dir = Path(build_dir).resolve()
        self._socket_dir = None
        (self.root / 'etc').mkdir(parents=True, exist_ok=True)
        (self.root / 'var-tmp').mkdir(parents=True, exist_ok=True)
        self.request_pipe = self.root / 'var-tmp' / 'duskpair.fifo'
        self.reply_pipe = self.root / 'var-tmp' / 'duskweb.fifo'
        self.daemon_out = self.root / 'daemon.out'
        self.bluez_log = self.root / 'bluez.log'
        self.bus_address = None
        self.bus = None
        self.sim = None
        self.mock = None
        self.daemon = None
        self._bus_proc = None
        self._sim_proc = None
        self._procs = []
        self._readers = []
        self._connections = []
        self._log_cache = []
        self._names = {}  # pid -> unique bus name
        self._dbusmock = None
        self.syslog = Syslog(self._short_path('log'))

    # ------------------------------------------------------- platform

    @property
    def daemon_path(self):
        return self.build_dir / 'daemon' / 'pairgated'

    @property
    def client_path(self):
        return self.build_dir / 'client' / 'pairgate-pair'

    @property
    def preload_path(self):
        return self.build_dir / 'sim' / 'libfake_gpio.so'

    def settings(self, text):
        path = self.root / 'etc' / 'settings'
        if text is None:
            path.unlink(missing_ok=True)
        else:
            path.write_bytes(text.encode() if isinstance(text, str) else text)

    # pylint: disable-next=redefined-builtin
    def io_tool(self, output=b'1', exit=0, mode='normal', present=True):
        '''Installs sim/fake-io as ROOT/io (present=False removes it) and writes
        its control files; output=None removes io.output, so that the stand-in
        prints its default, and output=b'' makes it print nothing.'''
        tool = self.root / 'io'
        if present:
            source = SIM_DIR / 'fake-io'
            if not source.exists():
                raise FileNotFoundError(f'{source} (the I/O tool stand-in) is missing')
            shutil.copyfile(source, tool)
            tool.chmod(0o755)
        else:
            tool.unlink(missing_ok=True)
        if output is None:
            (self.root / 'io.output').unlink(missing_ok=True)
        else:
            (self.root / 'io.output').write_bytes(
                output.encode() if isinstance(output, str) else output)
        (self.root / 'io.exit').write_text(f'{exit}\n')
        (self.root / 'io.mode').write_text(f'{mode}\n')

    def gpio(self, levels):
        '''Rewrites ROOT/gpio in place: it keeps its inode, which the sandbox
        has bind-mounted as /dev/gpio.'''
        path = self.root / 'gpio'
        if levels is None:
            path.unlink(missing_ok=True)
            return
        data = levels.encode() if isinstance(levels, str) else levels
        fd = os.open(path, os.O_WRONLY | os.O_CREAT, 0o644)
        try:
            os.pwrite(fd, data, 0)
            os.ftruncate(fd, len(data))
        finally:
            os.close(fd)

    def _lines(self, name):
        path = self.root / name
        return path.read_text(errors='surrogateescape').splitlines() if path.exists() else []

    def io_calls(self):
        return self._lines('io.calls')

    def gpio_log(self):
        return self._lines('gpio.log')

    # ------------------------------------------------------------- bus

    def _short_path(self, name, reachable=False):
        '''ROOT/NAME for a unix socket, or a path elsewhere that ROOT/NAME links
        to when ROOT is too deep for one or REACHABLE asks for a directory that
        any user may search.'''
        path = self.root / name
        if len(str(path)) <= MAX_SOCKET_PATH and not reachable:
            return path
        if self._socket_dir is None:
            self._socket_dir = tempfile.mkdtemp(prefix='pairgate-')
        if reachable:
            os.chmod(self._socket_dir, 0o711)
        short = Path(self._socket_dir) / name
        if not path.is_symlink():
            path.symlink_to(short)
        return short

    def _socket_path(self):
        return self._short_path('bus')

    def start_bus(self, max_match_rules=None, reachable=False):
        '''Starts the private system bus. MAX_MATCH_RULES limits the match rules
        of every connection, so that a client's AddMatch can be made to fail;
        REACHABLE lets clients of other users connect.'''
        sock = self._short_path('bus', reachable)
        if sock.is_socket():
            sock.unlink()
        limits = ''
        if max_match_rules is not None:
            limits = f'<limit name="max_match_rules_per_connection">{int(max_match_rules)}</limit>'
        conf = self.root / 'bus.conf'
        template = (SIM_DIR / 'dbus-system.conf.in').read_text()
        conf.write_text(template.replace('@SOCKET@', str(sock)).replace('@LIMITS@', limits))
        with open(self.root / 'bus.log', 'ab') as log:
            proc = subprocess.Popen(_tied(['dbus-daemon', f'--config-file={conf}', '--nofork',
                                           '--print-address=1']),
                                    stdout=subprocess.PIPE, stderr=log, stdin=subprocess.DEVNULL)
        self._bus_proc = proc
        self._procs.append(('dbus-daemon', proc))
        try:
            address = self._read_line(proc, 10).strip()
        finally:
            proc.stdout.close()
        if not address:
            raise RuntimeError(f'dbus-daemon gave no address: {self._tail("bus.log")}')
        self.bus_address = address
        self.bus = dbus.bus.BusConnection(address)

    @staticmethod
    def _read_line(proc, timeout):
        fd = proc.stdout.fileno()
        data = b''
        deadline = time.monotonic() + timeout
        while not data.endswith(b'\n'):
            left = deadline - time.monotonic()
            if left <= 0:
                raise Timeout(f'no address from dbus-daemon within {timeout} s')
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 4096)
                if not chunk:
                    break
                data += chunk
        return data.decode()

    def stop_bus(self):
        '''Ends dbus-daemon, as when the system bus goes away. The calls BlueZ
        had received stay readable through log() and calls().'''
        if self.sim is not None:
            self.log()
        if self._bus_proc is not None:
            self._end(self._bus_proc)
            self._bus_proc = None
        for conn in [self.bus] + self._connections:
            if conn is not None:
                conn.close()
        self._connections = []
        self.bus = None
        self.sim = None
        self.mock = None

    def connect(self):
        '''A further client connection to the private bus (e.g. a hostile one).'''
        conn = dbus.bus.BusConnection(self.bus_address)
        self._connections.append(conn)
        return conn

    def forge_replies(self, destination, serials, error_name=None):
        '''From a stray client: a method return (or an error named ERROR_NAME)
        to DESTINATION for each reply serial in SERIALS, as a local process can
        send on a bus whose policy lets unrequested replies through. Returns
        once DESTINATION has dispatched them all: a last call from the same
        client is answered only after them.'''
        # dbus-python builds replies only from a call it received; Gio builds any.
        from gi.repository import Gio  # pylint: disable=import-outside-toplevel
        from gio_reply import reply_message  # pylint: disable=import-outside-toplevel
        flags = (Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
                 | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
        conn = Gio.DBusConnection.new_for_address_sync(self.bus_address, flags, None, None)
        try:
            for serial in serials:
                reply = reply_message(serial, error_name)
                reply.set_destination(destination)
                conn.send_message(reply, Gio.DBusSendMessageFlags.NONE)
            try:
                conn.call_sync(destination, '/', 'org.pairgate.Forger', 'Barrier', None, None,
                               Gio.DBusCallFlags.NONE, 10000, None)
            except Exception:  # pylint: disable=broad-except
                pass  # nobody serves it; the error answer is the barrier
        finally:
            conn.close_sync(None)

    # ------------------------------------------------------- simulator

    def start_bluez(self, adapters=('hci0',), devices=(('hci0', '00:1A:7D:DA:71:13', 'Phone'),)):
        if self.bus is None:
            raise RuntimeError('start_bus() first')
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.bus_address)
        with open(self.bluez_log, 'ab') as log:
            proc = subprocess.Popen(_tied([PYTHON, '-m', 'dbusmock', '--system', '--template',
                                           str(SIM_DIR / 'bluez_sim.py')]),
                                    stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                    env=env)
        self._sim_proc = proc
        self._procs.append(('BlueZ simulator', proc))
        self._log_cache = []

        def owned():
            if proc.poll() is not None:
                raise RuntimeError(f'the simulator ended: {self._tail("bluez.log")}')
            return self.bus.name_has_owner('org.bluez')

        wait_until(owned, 15, 'the simulator to own org.bluez')
        obj = self.bus.get_object('org.bluez', '/')  # introspected: typed Sim1 calls
        self.sim = dbus.Interface(obj, SIM_IFACE)
        self.mock = dbus.Interface(obj, BLUEZ_MOCK_IFACE)
        self._dbusmock = dbus.Interface(obj, 'org.freedesktop.DBus.Mock')
        for name in adapters:
            self.mock.AddAdapter(name, name)
        for adapter, address, alias in devices:
            self.mock.AddDevice(adapter, address, alias)

    def restart_storm(self, count=3, interval=0.03, answer_delay=0.02, adapters=('hci0',),
                      devices=(('hci0', '00:1A:7D:DA:71:13', 'Phone'),)):
        '''bluetoothd in a crash loop: COUNT new simulators, each answering every
        call ANSWER_DELAY s late and exporting ADAPTERS and DEVICES 0.3 s after
        it has taken org.bluez over, take it one after the other, INTERVAL s apart.
        Returns once the last owns it, and the others have ended; the last is
        the simulator from then on.'''
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.bus_address)
        parameters = json.dumps({'answer_delay': answer_delay, 'adapters': list(adapters),
                                 'devices': [list(d) for d in devices]})
        command = [PYTHON, str(SIM_DIR / 'bluez_sim.py'), parameters]
        waiting = []
        with open(self.bluez_log, 'ab') as log:
            for _ in range(count):
                proc = subprocess.Popen(_tied(command), stdin=subprocess.PIPE, stdout=log,
                                        stderr=subprocess.STDOUT, env=env)
                self._procs.append(('BlueZ simulator', proc))
                waiting.append(proc)
        marks = [f'{proc.pid} standing by' for proc in waiting]
        wait_until(lambda: all(m in self._tail_all('bluez.log') for m in marks), 30,
                   'the simulators to stand by')
        if self.sim is not None:
            self.log()
        self.sim = self.mock = self._dbusmock = None
        superseded = [self._sim_proc] + waiting[:-1]
        for proc in waiting:
            # Each takes the name over from the one before, which keeps
            # answering what it was asked until it ends below.
            proc.stdin.write(b'\n')
            proc.stdin.close()
            time.sleep(interval)  # the fault: the pace of the restarts
        last = self._sim_proc = waiting[-1]
        wait_until(lambda: self._owner_pid() == last.pid, 60, 'the last simulator to own org.bluez')
        for proc in superseded:
            if proc is not None:
                self._end(proc)
        self._log_cache = []
        obj = self.bus.get_object('org.bluez', '/')
        self.sim = dbus.Interface(obj, SIM_IFACE)
        self.mock = dbus.Interface(obj, BLUEZ_MOCK_IFACE)
        self._dbusmock = dbus.Interface(obj, 'org.freedesktop.DBus.Mock')

    def _owner_pid(self):
        try:
            owner = self.bus.get_name_owner('org.bluez')
            return int(self.bus.call_blocking('org.freedesktop.DBus', '/org/freedesktop/DBus',
                                              'org.freedesktop.DBus',
                                              'GetConnectionUnixProcessID', 's', [owner]))
        except dbus.DBusException:
            return None

    def _tail_all(self, name):
        path = self.root / name
        return path.read_text(errors='replace') if path.exists() else ''

    @contextlib.contextmanager
    def bluez_hung(self):
        '''Within the block the simulator hangs (SIGSTOP), as a bluetoothd
        that answers nothing; it goes on (SIGCONT) after.'''
        proc = self._sim_proc
        proc.send_signal(signals.SIGSTOP)
        try:
            yield
        finally:
            proc.send_signal(signals.SIGCONT)

    @contextlib.contextmanager
    def daemon_stalled(self):
        '''Within the block the daemon is stopped (SIGSTOP) where its loop waits
        for the next event (ppoll), never in the middle of a pass (slow under
        emulation), whose sample would then follow what the block does; it
        goes on (SIGCONT) after.'''
        pid = self.daemon.pid

        def stopped_waiting():
            os.kill(pid, signals.SIGSTOP)
            wait_until(lambda: _state(pid) == 'T', 5, f'pid {pid} stopped')
            waits_in = Path(f'/proc/{pid}/syscall').read_text().split()[0]
            if waits_in == str(PPOLL[os.uname().machine]):
                return True
            os.kill(pid, signals.SIGCONT)
            return False

        wait_until(stopped_waiting, 10, f'pid {pid} stopped in its wait')
        try:
            yield
        finally:
            os.kill(pid, signals.SIGCONT)

    @contextlib.contextmanager
    def bus_monitor(self, rule):
        '''dbus-monitor on the private bus for the match RULE, within the block;
        yields a function that waits (with a deadline) for a line holding a
        given text and returns that line.'''
        proc = self.spawn(['dbus-monitor', '--address', self.bus_address, rule],
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        pending = [b'']

        def wait_line(text, timeout=5):
            deadline = time.monotonic() + timeout
            while True:
                *lines, pending[0] = pending[0].split(b'\n')
                for line in lines:
                    if text.encode() in line:
                        return line.decode(errors='replace')
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([proc.stdout], [], [], left)[0]:
                    raise Timeout(f'dbus-monitor: no line with {text!r} within {timeout} s')
                pending[0] += os.read(proc.stdout.fileno(), 65536)

        try:
            wait_line('member=NameLost')  # it has become a monitor
            yield wait_line
        finally:
            self._end(proc)

    def set_answer_delay(self, seconds):
        self.sim.SetAnswerDelay(float(seconds))

    def stop_bluez(self, remove_adapters=False):
        '''Ends the simulator, as when bluetoothd stops: it powers its adapters
        off (and, with REMOVE_ADAPTERS, announces them removed), then releases
        its agents, then leaves the bus. start_bluez() starts a new one (a new
        owner of org.bluez, with a fresh call log).'''
        if self._sim_proc is not None:
            self.log()
            if remove_adapters:
                self.sim.RemoveAdaptersOnStop(True)
            self._end(self._sim_proc)
            self._sim_proc = None
        self.sim = None
        self.mock = None
        self._dbusmock = None

    def log(self, start=0):
        '''Every call BlueZ received from anyone, as Call tuples (once the
        simulator is gone, what was fetched before it went).'''
        if self.sim is not None:
            rows = self.sim.GetLogWithSignatures(len(self._log_cache))
            self._log_cache.extend(_call_from_row(r) for r in rows)
        return self._log_cache[start:]

    def fail_method(self, interface, member, error_name, message='Simulated failure', count=1):
        self.sim.FailMethod(interface, member, error_name, message, count)

    def set_object_paths(self, paths):
        self.sim.SetObjectPaths(dbus.Array(paths, signature='s'))

    def set_reply(self, interface, member, signature, args):
        self.sim.SetReply(interface, member, signature, dbus.Array(args, signature='v'))

    def set_pair_behaviour(self, mode='confirm', passkey=123456, error_name='',
                           paired_signal='before'):
        self.sim.SetPairBehaviour(mode, passkey, error_name, paired_signal)

    def release_pairs(self, error_name='', paired_signal='none'):
        '''Answers the Pair calls held so far (mode "hold"); how many there were.'''
        return int(self.sim.ReleasePairs(error_name, paired_signal))

    def pair_confirmations(self):
        '''One PairConfirmation per Pair answered in "confirm" mode.'''
        return [PairConfirmation(*plain(r)) for r in self.sim.PairConfirmations()]

    def agents(self):
        return [tuple(plain(r)) for r in self.sim.Agents()]

    def call_agent(self, method, signature, args, destination='', path=''):
        '''BlueZ calls org.bluez.Agent1.METHOD(SIGNATURE, ARGS); returns the call's id.'''
        typed = _typed_args(signature, list(args))
        return int(self.sim.CallAgent(method, signature, dbus.Array(typed, signature='v'),
                                      destination, path))

    def agent_state(self, call_id):
        return tuple(str(v) for v in self.sim.AgentAnswer(call_id))

    def agent_answer(self, call_id, timeout=5):
        '''(state, error name, error message) once the agent answered.'''

        def answered():
            answer = self.agent_state(call_id)
            return answer if answer[0] != 'pending' else None

        return wait_until(answered, timeout, f'an answer to agent call {call_id}')

    def emit_properties_changed(self, path, interface, changed, invalidated=()):
        self.sim.EmitPropertiesChanged(path, interface, dbus.Dictionary(changed, signature='sv'),
                                       dbus.Array(invalidated, signature='s'))

    def emit_signal(self, path, interface, member, signature, args, destination=None):
        '''Any signal, from the owner of org.bluez.'''
        details = {'path': path}
        if destination:
            details['destination'] = destination
        self._dbusmock.EmitSignalDetailed(interface, member, signature,
                                          dbus.Array(_typed_args(signature, list(args)),
                                                     signature='v'),
                                          dbus.Dictionary(details, signature='sv'))

    def property(self, path, interface, name):
        return plain(self.sim.GetProperty(path, interface, name))

    def set_property(self, path, interface, name, value):
        '''Changes a property in the simulator without announcing it.'''
        self.sim.SetProperty(path, interface, name, value)

    # ---------------------------------------------------------- daemon

    def start_daemon(self, close_stdio=False, wait=True, read_only_var_tmp=False, binary=None):
        '''Starts pairgated (the build's, or BINARY, e.g. an installed copy).'''
        binary = Path(binary) if binary else self.daemon_path
        if not binary.exists():
            raise FileNotFoundError(f'{binary} is not built')
        cmd = [str(SIM_DIR / 'sandbox')]
        if close_stdio:
            cmd.append('--close-stdio')
        if read_only_var_tmp:
            cmd.append('--read-only-var-tmp')
        if self.preload_path.exists() and not EMULATED:
            cmd += ['--preload', str(self.preload_path)]
        cmd += [str(self.root), '--'] + self.target_command(binary)
        # Without a bus of its own the daemon must not find the machine's.
        address = self.bus_address or f'unix:path={self._socket_path()}'
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address)
        with open(self.daemon_out, 'ab') as out:
            self.daemon = subprocess.Popen(_tied(cmd), stdin=subprocess.DEVNULL, stdout=out,
                                           stderr=subprocess.STDOUT, env=env)
        self._procs.append(('pairgated', self.daemon))
        if wait:
            self._wait_started()
        return self.daemon

    def target_command(self, binary):
        '''The command that runs BINARY, a program of the build. In a cross build
        it runs under the emulator, with the GPIO stand-in (built for the
        target) preloaded into the emulated program alone: qemu-user and the
        shell scripts the daemon starts are host programs.'''
        if not EMULATED:
            return [str(binary)]
        cmd = [EMULATED]
        if self.preload_path.exists():
            cmd += ['-E', f'LD_PRELOAD={self.preload_path}']
        return cmd + [str(binary)]

    def _wait_started(self):
        def started():
            if self.daemon.poll() is not None:
                return True
            # Its last call at start: the request to be the default agent.
            return self.sim is not None and any(c.member == 'RequestDefaultAgent'
                                                for c in self.calls())

        wait_until(started, DAEMON_START_S, "the daemon's RequestDefaultAgent call or its exit")

    def _name_now(self, proc):
        if proc is None:
            return None
        if proc.pid not in self._names and self.sim is not None:
            for name, pid in self.sim.Senders().items():
                if int(pid) == proc.pid:
                    self._names[proc.pid] = str(name)
        return self._names.get(proc.pid)

    def name_of(self, proc, timeout=5):
        '''The unique bus name of PROC, learnt from its first call to BlueZ.'''
        return wait_until(lambda: self._name_now(proc), timeout, f'a call from pid {proc.pid}')

    def daemon_name(self, timeout=5):
        '''The unique bus name of the daemon started last, learnt from its first call.'''
        return self.name_of(self.daemon, timeout)

    def calls(self, start=0, proc=None):
        '''The calls of the daemon started last (or of PROC), in arrival order.'''
        name = self._name_now(proc or self.daemon)
        if name is None:
            return []
        return [c for c in self.log() if c.sender == name][start:]

    def wait_for_call(self, member, predicate=None, timeout=5, start=0):
        '''Index (in calls()) of the first call of MEMBER from START on matching PREDICATE.'''

        def found():
            for i, call in enumerate(self.calls(start), start):
                if call.member == member and (predicate is None or predicate(call)):
                    return i + 1
            return None

        try:
            return wait_until(found, timeout, f'a {member} call') - 1
        except Timeout as e:
            raise Timeout(f'{e}; daemon calls: {self.calls(start)!r}') from None

    def signal(self, sig):
        self.daemon.send_signal(sig)

    def wait_exit(self, timeout=10):
        try:
            return self.daemon.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Timeout(f'the daemon did not exit within {timeout} s') from None

    def daemon_children(self):
        '''(pid, state, name) of every process whose parent is the daemon.'''
        if self.daemon is None:
            return []
        return [(pid, state, name) for pid, ppid, state, name in _processes()
                if ppid == self.daemon.pid]

    # ----------------------------------------------------------- pipes

    def write_request(self, data):
        fd = os.open(self.request_pipe, os.O_WRONLY | os.O_NONBLOCK)
        try:
            written = os.write(fd, data)
        finally:
            os.close(fd)
        if written != len(data):
            raise RuntimeError(f'request pipe took {written} of {len(data)} bytes')

    def request_pending(self):
        '''Bytes written to the request pipe and not yet read by the daemon.'''
        fd = os.open(self.request_pipe, os.O_WRONLY | os.O_NONBLOCK)
        try:
            return struct.unpack('i', fcntl.ioctl(fd, termios.FIONREAD, b'\0' * 4))[0]
        finally:
            os.close(fd)

    def wait_request_taken(self, timeout=5):
        '''Waits until the daemon has read everything written to the request pipe.'''
        wait_until(lambda: self.request_pending() == 0, timeout, 'the daemon to read the request')

    def reply_reader(self):
        reader = ReplyReader(self.reply_pipe)
        self._readers.append(reader)
        return reader

    # ---------------------------------------------------------- others

    def spawn(self, args, sandboxed=False, **kwargs):
        '''Starts a helper process on the private bus; close() ends it.
        SANDBOXED runs it in a sandbox of its own over ROOT, where it sees the
        daemon's /var/tmp, /opt/bluetooth/etc and /dev/log (e.g. pairgate-pair).'''
        env = dict(kwargs.pop('env', os.environ))
        if self.bus_address:
            env['DBUS_SYSTEM_BUS_ADDRESS'] = self.bus_address
        cmd = list(args)
        if sandboxed:
            cmd = [str(SIM_DIR / 'sandbox'), str(self.root), '--'] + cmd
        proc = subprocess.Popen(_tied(cmd), env=env, **kwargs)
        self._procs.append((str(args[0]), proc))
        return proc

    def mkdir_loop(self, path):
        '''Starts a local user's loop that makes a directory at PATH (on this
        side of the sandbox) whenever there is none; close() ends it.'''
        return self.spawn([PYTHON, '-c', MKDIR_LOOP, str(path)])

    # ---------------------------------------------------------- ending

    @staticmethod
    def _end(proc, grace=10):
        '''SIGTERM, then SIGKILL after GRACE seconds; true when it took SIGKILL.'''
        if proc.poll() is not None:
            return False
        proc.send_signal(signals.SIGTERM)
        try:
            proc.wait(grace)
            return False
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(5)
            return True

    def close(self):
        '''Ends everything the harness started; raises on what should not be there.'''
        problems = []
        for reader in self._readers:
            reader.close()
        for name, proc in reversed(self._procs):
            try:
                if self._end(proc):
                    problems.append(f'{name} (pid {proc.pid}) ignored SIGTERM and was killed')
            except subprocess.TimeoutExpired:
                problems.append(f'{name} (pid {proc.pid}) did not end even on SIGKILL')
            for stream in (proc.stdin, proc.stdout):
                if stream:
                    stream.close()
        for conn in [self.bus] + self._connections:
            if conn is not None:
                conn.close()
        self.syslog.close()
        problems += self._leftover_processes()
        problems += self._leftover_mounts()
        problems += self._sanitizer_reports()
        problems += self._simulator_faults()
        if self._socket_dir:
            shutil.rmtree(self._socket_dir, ignore_errors=True)
        if problems:
            raise AssertionError('gateway: ' + '\n'.join(problems))

    def _leftover_processes(self):
        # Everything started inside the sandbox carries PAIRGATE_SIM_DIR=ROOT.
        mark = f'PAIRGATE_SIM_DIR={self.root}'.encode()
        found = []
        for pid in _pids():
            try:
                environ = Path(f'/proc/{pid}/environ').read_bytes().split(b'\0')
                name = Path(f'/proc/{pid}/comm').read_text().strip()
            except OSError:
                continue
            if mark in environ and pid != os.getpid():
                found.append(f'{name} (pid {pid})')
                try:
                    os.kill(pid, signals.SIGKILL)
                except OSError:
                    pass
        return [f'left-over process {p} killed' for p in found]

    def _leftover_mounts(self):
        root = str(self.root)
        with open('/proc/self/mountinfo', encoding='utf-8') as info:
            points = [line.split()[4] for line in info]
        return [f'left-over mount {p}' for p in points if p == root or p.startswith(root + '/')]

    def _sanitizer_reports(self):
        if not self.daemon_out.exists():
            return []
        text = self.daemon_out.read_text(errors='replace')
        if any(mark in text for mark in SANITIZER_MARKS):
            return [f'sanitizer report in {self.daemon_out}:\n{text[-4000:]}']
        return []

    def _simulator_faults(self):
        if not self.bluez_log.exists():
            return []
        text = self.bluez_log.read_text(errors='replace')
        if 'Traceback' in text:
            return [f'the simulator failed, see {self.bluez_log}:\n{text[-4000:]}']
        return []

    def _tail(self, name):
        path = self.root / name
        return path.read_text(errors='replace')[-2000:] if path.exists() else '(no output)'


# ----------------------------------------------------------------- helpers

_INT_TYPES = {'y': dbus.Byte, 'n': dbus.Int16, 'q': dbus.UInt16, 'i': dbus.Int32,
              'u': dbus.UInt32, 'x': dbus.Int64, 't': dbus.UInt64}


def _typed_args(signature, args):
    '''Gives plain ints the integer type their place in SIGNATURE asks for, so
    that a passkey such as 4000000000 survives the trip through "av". Anything
    that does not fit is passed as it is (malformed calls stay possible).'''
    try:
        types = [str(t) for t in dbus.Signature(signature)]
    except ValueError:
        return args
    typed = []
    for i, value in enumerate(args):
        kind = _INT_TYPES.get(types[i]) if i < len(types) else None
        if kind and type(value) is int:  # pylint: disable=unidiomatic-typecheck
            try:
                value = kind(value)
            except (OverflowError, ValueError):
                pass
        elif i < len(types) and types[i].startswith('a{') and isinstance(value, dict):
            value = dbus.Dictionary(value, signature=types[i][2:-1])
        elif i < len(types) and types[i].startswith('a') and isinstance(value, list):
            # An empty list in a variant has no type of its own.
            value = dbus.Array(value, signature=types[i][1:])
        typed.append(value)
    return typed


# The system call the daemon's loop waits in, by the machine the tests run on
# (under qemu-user too: the emulator waits in the host's).
PPOLL = {'x86_64': 271, 'aarch64': 73, 'armv7l': 336}


def _tied(cmd):
    '''CMD run so that it gets SIGTERM should the harness die without close()
    (the pid stays CMD's: setpriv execs it).'''
    return ['setpriv', '--pdeathsig', 'TERM', '--'] + cmd if SETPRIV else cmd


def _pids():
    return [int(p) for p in os.listdir('/proc') if p.isdigit()]


def _stat(pid):
    '''(name, the fields after it) of /proc/PID/stat.'''
    stat = Path(f'/proc/{pid}/stat').read_text()
    return stat[stat.index('(') + 1:stat.rindex(')')], stat[stat.rindex(')') + 2:].split()


def _state(pid):
    return _stat(pid)[1][0]


def _processes():
    '''(pid, ppid, state, name) of every process.'''
    result = []
    for pid in _pids():
        try:
            name, fields = _stat(pid)
        except OSError:
            continue
        result.append((pid, int(fields[1]), fields[0], name))
    return result


def daemon_missing(build_dir):
    '''Why tests that run the daemon cannot run, or None.'''
    path = Path(build_dir) / 'daemon' / 'pairgated'
    return None if path.exists() else f'{path} is not built'


__all__ = ['Call', 'Gateway', 'PairConfirmation', 'ReplyReader', 'Syslog', 'Timeout',
           'daemon_missing', 'plain', 'wait_until']
