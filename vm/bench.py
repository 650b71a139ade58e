'''The real gateway of the shared stories (tests/system/test_stories.py) in a VM of the bench.

vm/init runs pytest on one story with PAIRGATE_GATEWAY=real, and the `gw`
fixture gives a Bench: the system bus with BlueZ's own policy (and the
bench's, which keeps the phone's adapter out of the gateway's reach),
dbus-monitor (the daemon's calls), btvirt (hci0 is the gateway, the last
controller plays the phone), bluetoothd -n -d, a socket at /dev/log (the
daemon's syslog) and the installed pairgated. Lines for the host (vm/run.py)
go to the serial console: "@@VMTEST figure NAME VALUE", "@@VMTEST note TEXT",
and at the end the recent bus traffic, syslog and bluetoothd log.
'''

import glob
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time

import dbus

import pairgate_facts as facts  # on the path of the tests that use it
import raw_phone
from gateway import Call, Syslog, Timeout, wait_until

DAEMON = '/opt/bluetooth/bin/pairgated'
CLIENT = '/opt/bluetooth/bin/pairgate-pair'
SETTINGS = '/opt/bluetooth/etc/settings'
REQUEST_PIPE = '/var/tmp/duskpair.fifo'
SIM = '/run/sim'                      # the I/O tool's and the GPIO stand-in's files
GPIO_PRELOAD = '/usr/lib/libfake_gpio.so'
LATE_FREE = '/usr/lib/liblate_free.so'  # btvirt's freed memory kept a while (vm/late_free.c)
# Where the release keeps it: /usr/libexec since bookworm, /usr/lib before.
BLUETOOTHD = next(path for path in ('/usr/libexec/bluetooth/bluetoothd',
                                    '/usr/lib/bluetooth/bluetoothd') if os.path.exists(path))
MONITOR_LOG = '/run/monitor.txt'
DAEMON_OUTPUT = '/run/pairgated.out'
PHONE_POLICY = '/etc/dbus-1/system.d/zz-pairgate-vm-phone.conf'
MAIN_CONF = '/etc/bluetooth/main.conf'
BLUETOOTHD_LOG = '/run/bluetoothd.log'
PHONE_HELPER = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'phone.py')
AGENT = '/org/bluez/agent_router'
SERIAL_UUID = '00001101-0000-1000-8000-00805f9b34fb'
SERIAL_CHANNEL = 5
ADAPTER = 'org.bluez.Adapter1'
DEVICE = 'org.bluez.Device1'
PROPERTIES = 'org.freedesktop.DBus.Properties'
# The gateway's agent call a stranger's pairing gives, by the stranger's IO capability.
ASKED = {'DisplayYesNo': 'RequestConfirmation', 'NoInputNoOutput': 'RequestAuthorization'}
# The daemon's Sets on the phone's adapter, refused by the bench's policy, and
# their counts.
REFUSED_BY_BENCH = re.compile(r'Rejected send message|on other adapters were not logged$')
# What the phone's host hears of a pairing that ends with these HCI statuses.
HOST_SAYS = {0x00: 'ok', 0x05: 'org.bluez.Error.AuthenticationFailed',
             0x18: 'org.bluez.Error.AuthenticationFailed'}


def say(text):
    print('@@VMTEST ' + text, flush=True)


def device_path(adapter, address):
    return adapter + '/dev_' + address.replace(':', '_')


# ------------------------------------------------------------ the bus traffic

HEADER = re.compile(r'^(method call|method return|error|signal) time=(\S+) sender=(\S+) -> '
                    r'destination=(\(null destination\)|\S+)(.*)$')
FIELD = re.compile(r'(\w+)=([^ ;]+)')
ARGUMENT = re.compile(r'^(?:variant\s+)?(string|object path|boolean|u?int\d+|byte|double)\s+(.*)$')


def argument(text):
    '''One of dbus-monitor's argument lines as a plain value (scalars only).'''
    found = ARGUMENT.match(text.strip())
    if not found:
        return text.strip()
    kind, value = found.groups()
    if kind in ('string', 'object path'):
        return value[1:-1]
    if kind == 'boolean':
        return value == 'true'
    return float(value) if kind == 'double' else int(value)


class Message:
    '''One message dbus-monitor printed.'''

    def __init__(self, kind, when, sender, destination, rest):
        self.kind, self.time, self.sender, self.destination = kind, float(when), sender, destination
        fields = dict(FIELD.findall(rest))
        self.serial, self.reply_serial = fields.get('serial'), fields.get('reply_serial')
        self.path, self.interface = fields.get('path', ''), fields.get('interface', '')
        self.member, self.error = fields.get('member', ''), fields.get('error_name', '')
        self.lines = []
        self._call = (None, -1)

    @property
    def body(self):
        return ' '.join(' '.join(line.split()) for line in self.lines)

    def call(self):
        # Read once its lines are all there (the polls ask again and again).
        if self._call[1] != len(self.lines):
            self._call = (Call(self.path, self.interface, self.member,
                               [argument(l) for l in self.lines]), len(self.lines))
        return self._call[0]

    def __str__(self):
        what = self.member or self.error or 'return'
        return (f'{self.time:.3f} {self.sender} -> {self.destination} {self.kind} {what} '
                f'{self.path} {self.body}'[:300])


class _Monitor:
    '''What dbus-monitor printed, parsed as it comes: the stories poll every
    10 ms, and parsing the whole log each time kept the emulated CPU busy.'''
    offset, partial, found = 0, b'', []


def messages():
    if os.path.getsize(MONITOR_LOG) < _Monitor.offset:  # a new monitor's log
        _Monitor.offset, _Monitor.partial, _Monitor.found = 0, b'', []
    with open(MONITOR_LOG, 'rb') as log:
        log.seek(_Monitor.offset)
        data = _Monitor.partial + log.read()
    _Monitor.offset += len(data) - len(_Monitor.partial)
    *lines, _Monitor.partial = data.split(b'\n')
    found = _Monitor.found
    for raw in lines:
        line = raw.decode(errors='replace') + '\n'
        header = HEADER.match(line)
        if header:
            found.append(Message(*header.groups()))
        elif found and line.startswith(' '):
            found[-1].lines.append(line)
    return list(found)


def stat(pid):
    try:
        with open(f'/proc/{pid}/stat') as stat_file:
            return stat_file.read().rsplit(')', 1)[1].split()
    except OSError:
        return None


def cpu_ticks(pid):
    fields = stat(pid)
    return int(fields[11]) + int(fields[12])   # utime + stime


def parent(pid):
    fields = stat(pid)
    return int(fields[1]) if fields else None


# ------------------------------------------------------------------ the bench

class Bench:
    '''The gateway (GW), its second controller with three (SECOND) and the
    phone: a host of its own (raw_phones) where the gateway pairs out to it,
    else another adapter of the same bluetoothd playing another machine.'''

    real = True
    hold_s = 3.0                       # how long a value that must hold is sampled

    def __init__(self, controllers=2, main_conf=''):
        self.procs = {}
        self.raw = []
        self.GW, self.SECOND = '/org/bluez/hci0', '/org/bluez/hci1'
        self.phone_path = f'/org/bluez/hci{controllers - 1}'
        self.adapters = [f'/org/bluez/hci{n}' for n in range(controllers)]
        self.daemon = self.daemon_name = None
        self.phones = [(0, self.phone_path)]  # (from which message on, the phone's adapter)
        if main_conf:
            # Into the release's own file: bluez 5.55 powers the adapters only
            # by the AutoEnable it sets.
            with open(MAIN_CONF) as conf:
                text = conf.read()
            with open(MAIN_CONF, 'w') as conf:
                conf.write(text.replace('[General]\n', '[General]\n' + main_conf, 1))
        # A syslog daemon keeps up; this reader shares a slow emulated CPU with
        # the bench, so its socket queues more than the kernel's 10 datagrams.
        with open('/proc/sys/net/unix/max_dgram_qlen', 'w') as queue:
            queue.write('1000\n')
        self.syslog = Syslog('/dev/log')
        self.protect_phone(reload=False)
        os.makedirs('/run/dbus', exist_ok=True)
        self.spawn('dbus-daemon', ['dbus-daemon', '--system', '--nofork', '--nopidfile'])
        wait_until(lambda: os.path.exists('/run/dbus/system_bus_socket'), 30, 'the system bus')
        self.spawn('dbus-monitor', ['dbus-monitor', '--system'], stdout=open(MONITOR_LOG, 'w'))
        self.spawn('btvirt', ['btvirt', f'-l{controllers}'],
                   env=dict(os.environ, LD_PRELOAD=LATE_FREE))
        wait_until(lambda: all(os.path.exists(f'/sys/class/bluetooth/hci{n}')
                         for n in range(controllers)), 30, 'the virtual controllers')
        self.bus = dbus.SystemBus()
        self.start_bluez()
        self.learn_addresses()

    # the roles
    def learn_addresses(self):
        def address(path):
            return str(self.get(path, ADAPTER, 'Address'))
        self.gw_address, self.phone_address = address(self.GW), address(self.phone_path)
        self.phone_on_gw = device_path(self.GW, self.phone_address)
        self.gw_on_phone = device_path(self.phone_path, self.gw_address)

    def protect_phone(self, reload=True, phone=True):
        '''The phone is another machine: nothing on the gateway's bus may set its
        adapter (the daemon keeps every adapter but its own shut). Not PHONE:
        while bluetoothd comes back, the adapter the daemon takes is not known
        yet.'''
        with open(PHONE_POLICY, 'w') as policy:
            policy.write('<busconfig><policy context="mandatory"><deny '
                         f'send_destination="org.bluez" send_path="{self.phone_path}" '
                         f'send_interface="{PROPERTIES}" send_member="Set"/></policy>'
                         '</busconfig>\n' if phone else '<busconfig/>\n')
        if reload:
            self.bus.call_blocking('org.freedesktop.DBus', '/org/freedesktop/DBus',
                                   'org.freedesktop.DBus', 'ReloadConfig', '', ())

    def follow_selected(self, start):
        '''bluetoothd exports its adapters in no fixed order after a restart, and
        the daemon takes the first: the other plays the phone from there on.'''
        scanning = '(Following BlueZ) Bluetooth scanning has been started on '
        selected = wait_until(lambda: [text[len(scanning):] for _, text in self.log(start)
                                 if text.startswith(scanning)], 30, 'an adapter selected')[0]
        if selected != self.GW:
            say(f'note the daemon selected {selected} after the restart: the phone is {self.GW}')
            self.GW, self.phone_path = self.phone_path, self.GW
            self.phones.append((self.started_at, self.phone_path))
            self.learn_addresses()
        self.protect_phone()

    # processes
    def spawn(self, name, argv, **options):
        options.setdefault('stdout', subprocess.DEVNULL)
        options.setdefault('stderr', subprocess.STDOUT)
        self.procs[name] = subprocess.Popen(argv, **options)
        return self.procs[name]

    def start_bluez(self):
        self.started_at = len(messages())
        if self.daemon:
            self.protect_phone(phone=False)
        self.spawn('bluetoothd', [BLUETOOTHD, '-n', '-d'], stdout=open(BLUETOOTHD_LOG, 'a'))
        wait_until(lambda: all(self.get(path, ADAPTER, 'Powered', quiet=True)
                               for path in self.adapters), 60, 'every adapter powered on D-Bus')

    def stop_bluez(self):
        '''bluetoothd stopped: the daemon answers its Release. bluetoothd sends
        it expecting no reply while it gives up its name, so the bus may refuse
        the return: that refusal shows an answer all the same.'''
        stopping = len(messages())
        bluetoothd = self.procs.pop('bluetoothd')
        bluetoothd.send_signal(signal.SIGTERM)
        bluetoothd.wait(30)
        # The bonds' services forgotten (both adapters': either may be the
        # gateway after the restart), as in an empty service cache: bluetoothd
        # browses them at the next connection and announces Paired again then,
        # as it does for every LE bond after a restart.
        for info in glob.glob('/var/lib/bluetooth/*/*/info'):
            with open(info) as text:
                kept = [line for line in text if not line.startswith('Services=')]
            with open(info, 'w') as text:
                text.writelines(kept)
        for cache in glob.glob('/var/lib/bluetooth/*/cache'):
            shutil.rmtree(cache)
        release = wait_until(lambda: [m for m in messages()[stopping:] if m.kind == 'method call'
                                and m.member == 'Release' and m.path == AGENT], 5, 'Release')[0]

        def answered():
            return any((m.kind == 'method return' and m.reply_serial == release.serial) or (
                m.error == 'org.freedesktop.DBus.Error.AccessDenied'
                and 'type="method_return"' in m.body
                and f'destination="{release.sender}"' in m.body)
                for m in messages()[stopping:] if release.destination in (m.sender, m.destination))
        wait_until(answered, 5, 'Release answered')

    def bluetoothd_log(self):
        with open(BLUETOOTHD_LOG, errors='replace') as log:
            return log.read()

    # D-Bus, blocking
    def call(self, path, interface, member, signature='', args=(), timeout=30):
        return self.bus.call_blocking('org.bluez', path, interface, member, signature, args,
                                      timeout=timeout)

    def get(self, path, interface, name, quiet=False):
        try:
            return self.call(path, PROPERTIES, 'Get', 'ss', (interface, name))
        except dbus.DBusException:
            if quiet:
                return None
            raise

    def set(self, path, interface, name, value):
        self.call(path, PROPERTIES, 'Set', 'ssv', (interface, name, value))

    def objects(self):
        return self.call('/', 'org.freedesktop.DBus.ObjectManager', 'GetManagedObjects')

    def device_flag(self, path, name):
        '''A device's property; bluez 5.55 has no Bonded, and a paired device
        is bonded there (its Pair answers AlreadyExists).'''
        if name == 'Bonded' and self.get(path, DEVICE, name, quiet=True) is None:
            name = 'Paired'
        return bool(self.get(path, DEVICE, name, quiet=True))

    # what the daemon did
    def calls(self, start=0):
        '''The daemon's calls to BlueZ, in order; the phone's adapter is another
        machine's, and left out.'''
        def phone(index):
            return [path for since, path in self.phones if since <= index][-1]
        return [m.call() for i, m in enumerate(messages()) if m.kind == 'method call'
                and m.sender == self.daemon_name and m.destination == 'org.bluez'
                and not m.path.startswith(phone(i))][start:]

    def log(self, start=0):
        return [(prio, text) for _, prio, ident, text in list(self.syslog.entries)
                if ident == 'pairgated' and not REFUSED_BY_BENCH.search(text)][start:]

    def mark(self):
        return len(self.calls())

    def log_mark(self):
        return len(self.log())

    # the daemon
    def start_daemon(self, settings=facts.settings(SYSLOGLEV=4), gpio=None, io_exit=0):
        os.makedirs(os.path.dirname(SETTINGS), exist_ok=True)
        with open(SETTINGS, 'w') as out:
            out.write(settings)
        os.makedirs(SIM, exist_ok=True)
        with open(f'{SIM}/io.exit', 'w') as out:
            out.write(f'{io_exit}\n')
        if gpio is not None:
            self.gpio(gpio)
        env = dict(os.environ, PAIRGATE_SIM_DIR=SIM, LD_PRELOAD=GPIO_PRELOAD)
        seen = len(messages())
        started = time.time()
        self.daemon = self.spawn('pairgated', [DAEMON], env=env,
                                 stdout=open(DAEMON_OUTPUT, 'a'))

        def registered():  # its last call at start: the request to be the default agent
            for m in messages()[seen:]:
                if (m.kind, m.member) == ('method call', 'RequestDefaultAgent') and AGENT in m.body:
                    return m
            return None
        self.daemon_name = wait_until(registered, 30, 'the daemon\'s registration').sender
        wait_until(lambda: facts.started(settings, self.log()) or self.daemon.poll() is not None,
                   10, "the daemon's start notice")
        say(f'figure start-to-agent-registered-s {time.time() - started:.2f}')

    def gpio(self, levels):
        '''Rewrites the levels in place: a file truncated before it is written
        would read empty in between, an input that cannot be read.'''
        fd = os.open('/dev/gpio', os.O_WRONLY | os.O_CREAT, 0o644)
        try:
            os.pwrite(fd, levels.encode() + b'\n', 0)
            os.ftruncate(fd, len(levels) + 1)
        finally:
            os.close(fd)

    def stop_daemon(self, sig=signal.SIGTERM):
        '''The daemon stopped, and its last datagrams read: the stories check
        the whole log right after.'''
        self.daemon.send_signal(sig)
        status = self.daemon.wait(60)
        self.syslog.sync()
        return status

    def daemon_output(self):
        with open(DAEMON_OUTPUT, errors='replace') as output:
            return output.read()

    def daemon_children(self):
        return [pid for pid in os.listdir('/proc')
                if pid.isdigit() and parent(pid) == self.daemon.pid]

    def io_calls(self):
        return open(f'{SIM}/io.calls').read().splitlines()

    def gpio_log(self):
        return open(f'{SIM}/gpio.log').read().splitlines()

    def request_pipe(self):
        return REQUEST_PIPE

    def remove_io_tool(self):
        os.rename('/usr/bin/io', '/usr/bin/io.gone')

    def bluez_times_out(self, names):
        '''bluetoothd turns NAMES off by itself: main.conf's time-outs do it here.'''

    def cpu(self, seconds):
        '''CPU % of the daemon, bluetoothd and dbus-daemon over SECONDS.'''
        names = ('pairgated', 'bluetoothd', 'dbus-daemon')
        before = {name: cpu_ticks(self.procs[name].pid) for name in names}
        time.sleep(seconds)
        hz = os.sysconf('SC_CLK_TCK')
        return {name: 100.0 * (cpu_ticks(self.procs[name].pid) - before[name]) / hz / seconds
                for name in names}

    def figure(self, text):
        say('figure ' + text)

    # the web road
    def web_pair(self, address):
        run = subprocess.run([CLIENT, '--json', '--timeout', '60', address],
                             stdout=subprocess.PIPE, timeout=90, check=False)
        events = [json.loads(line) for line in run.stdout.decode().splitlines()]
        say(f'note pairgate-pair {address}: exit {run.returncode}, {events}')
        return run.returncode, events

    def web_pair_phone(self):
        return self.web_pair(self.phone_address)

    # the phone
    def phone(self, *args, wait_ready=True):
        '''A helper process playing the phone's side; returns it once it is ready.'''
        helper = subprocess.Popen([sys.executable, '-u', PHONE_HELPER, *args],
                                  stdout=subprocess.PIPE, text=True)
        self.procs[f'phone{len(self.procs)}'] = helper
        if wait_ready:
            line = helper.stdout.readline()
            assert line.strip() == 'ready', f'phone helper {args}: {line!r}'
        return helper

    def other_agent(self):
        '''Another agent on the gateway (an administrator's tool) that accepts
        everything, made bluetoothd's default.'''
        return self.phone('agent', 'DisplayYesNo')

    def phone_visible(self):
        '''The gateway's discovery finds the phone, which shows itself.'''
        wait_until(lambda: self.phone_on_gw in self.objects(), 90, 'the gateway to find the phone')

    def phone_finds(self, adapter, make_discoverable=True):
        if make_discoverable:
            self.set(adapter, ADAPTER, 'Discoverable', True)
        if self.raw:
            return  # it connects by address
        found = device_path(self.phone_path, str(self.get(adapter, ADAPTER, 'Address')))
        self.call(self.phone_path, ADAPTER, 'StartDiscovery')
        wait_until(lambda: found in self.objects(), 90, f'the phone to find {adapter}')
        self.call(self.phone_path, ADAPTER, 'StopDiscovery')

    def phone_forgets_gateway(self):
        '''The phone hangs up (a connected device goes only once its link is
        down, which 5.55 may keep up for long), and both bonds are removed.'''
        try:
            self.call(self.gw_on_phone, DEVICE, 'Disconnect')
        except dbus.DBusException as error:
            say(f"note the phone's Disconnect: {error.get_dbus_name()}")
        self.call(self.phone_path, ADAPTER, 'RemoveDevice', 'o', (self.gw_on_phone,))
        self.call(self.GW, ADAPTER, 'RemoveDevice', 'o', (self.phone_on_gw,))
        wait_until(lambda: not {self.gw_on_phone, self.phone_on_gw} & set(self.objects()), 30,
                   'both bonds removed')

    def phone_reconnects(self):
        '''The gateway connects to the phone again, whose bond it stored
        without its services (stop_bluez): bluetoothd browses them first; once
        they are resolved. A phone of the gateway's bluetoothd shows itself
        first: a bond that bluetoothd has seen only over LE (its keys derived
        from the BR/EDR pairing) it connects over LE, which this phone does not
        take.'''
        if not self.raw:
            index, seen = int(self.phone_path[-1]), len(messages())
            raw_phone.mgmt_send(index, raw_phone.SET_LE, b'\x00')
            raw_phone.mgmt_send(index, raw_phone.SET_CONNECTABLE, b'\x01')
            raw_phone.mgmt_send(index, raw_phone.SET_DISCOVERABLE, b'\x01\x00\x00')
            wait_until(lambda: [m for m in messages()[seen:] if m.path == self.phone_on_gw
                                and '"RSSI"' in m.body], 60, 'the gateway to see the phone')
        try:
            self.call(self.phone_on_gw, DEVICE, 'Connect', timeout=60)
        except dbus.DBusException as error:
            say(f"note the gateway's Connect: {error.get_dbus_name()} {error.get_dbus_message()}")
        wait_until(lambda: [m for m in messages()[self.started_at:] if m.path == self.phone_on_gw
                            and '"ServicesResolved" variant boolean true' in m.body], 30,
                   "the gateway to resolve the phone's services")

    def phone_pair(self, target=None):
        '''The phone pairs with the gateway (or TARGET); "ok" or the error's name.
        bluetoothd forgets a device found by a discovery 30 s after it ends: where
        the phone's helper took that long to start (a loaded machine), the phone
        finds the gateway again and pairs once more.'''
        address = str(self.get(target or self.GW, ADAPTER, 'Address'))
        if self.raw:
            status = self.requested.pair(address, 'NoInputNoOutput')
            say(f'note the phone\'s pairing ended with status 0x{status:02x}')
            return HOST_SAYS.get(status, f'HCI status 0x{status:02x}')
        for again in (False, True):
            helper = self.phone('pair', 'NoInputNoOutput', self.phone_path, address,
                                wait_ready=False)
            result = helper.stdout.readline().strip()
            helper.wait(30)
            say(f'note the phone\'s Pair: {result}')
            if again or result != 'org.freedesktop.DBus.Error.UnknownObject':
                return result
            self.phone_finds(target or self.GW)

    def phone_out_of_range(self, gone=True):
        '''Its scan off, or on again: bluetoothd may have dropped the device
        object after the failed connection, and finds it again.'''
        self.requested.scan(not gone)
        if not gone:
            self.phone_visible()

    def serve_nap(self):
        '''The gateway's network server on a bridge, and a serial-port profile
        that asks for authorisation: before the phone pairs, which learns them.'''
        subprocess.run(['ip', 'link', 'add', 'br0', 'type', 'bridge'], check=True)
        subprocess.run(['ip', 'link', 'set', 'br0', 'up'], check=True)
        self.phone('servers', self.GW)

    def phone_connects_nap(self):
        '''The phone's Network1.Connect("nap"); the interface, once it is in the bridge.'''
        interface = str(self.call(self.gw_on_phone, 'org.bluez.Network1', 'Connect', 's', ('nap',)))
        assert os.path.exists(f'/sys/class/net/{interface}'), f'no {interface} interface'
        wait_until(lambda: os.listdir('/sys/class/net/br0/brif'), 10, 'a bnep interface in br0')
        log = self.bluetoothd_log()
        assert f'BNEP: incoming connect from {self.phone_address}' in log, 'no BNEP connect'
        assert 'server.c:auth_cb() Access denied' not in log, 'BNEP not authorised'
        self.call(self.gw_on_phone, 'org.bluez.Network1', 'Disconnect')
        return interface

    def phone_connects_serial(self):
        '''The phone connects to a serial-port profile that asks for authorisation;
        the daemon's answer to AuthorizeService (an error name, or "").'''
        asking = len(messages())
        serial = socket.socket(socket.AF_BLUETOOTH, socket.SOCK_STREAM, socket.BTPROTO_RFCOMM)
        serial.settimeout(30)
        try:
            serial.bind((self.phone_address, 0))
            serial.connect((self.gw_address, SERIAL_CHANNEL))
            assert serial.recv(1) == b'', 'the serial port answered'
        except OSError as error:
            say(f'note the phone\'s serial port connection: {error}')
        finally:
            serial.close()

        def answer():
            for call in messages()[asking:]:
                if call.member == 'AuthorizeService' and SERIAL_UUID in call.body:
                    return [m for m in messages() if m.reply_serial == call.serial
                            and m.destination == call.sender]
            return None
        reply = wait_until(answer, 30, 'the answer to AuthorizeService')[0]
        assert f'serial rejected {self.phone_address}' in self.bluetoothd_log(), 'not refused'
        return reply.error

    # the phones with hosts of their own
    def raw_phones(self, stranger=False, reject=False):
        '''The requested phone (the last controller) and, if asked, a stranger
        (hci1), each taken from bluetoothd and driven by vm/raw_phone.py: the
        gateway's bluetoothd is the gateway's alone, and its default agent the
        daemon's. The stranger stays out of sight: neither found by the gateway
        nor paged back for its services. REJECT: the phone rejects the passkey.'''
        self.requested = raw_phone.RawPhone(int(self.phone_path[-1]), 'phone', report=say)
        self.raw = [self.requested]
        self.phone_address = self.requested.start()
        if reject:
            self.requested.reject()
        if stranger:
            self.intruder = raw_phone.RawPhone(1, 'stranger', report=say)
            self.raw.append(self.intruder)
            self.stranger_address = self.intruder.start(visible=False)
            self.stranger_on_gw = device_path(self.GW, self.stranger_address)
        self.phone_on_gw = device_path(self.GW, self.phone_address)
        taken = [f'/org/bluez/hci{phone.index}' for phone in self.raw]
        self.adapters = [path for path in self.adapters if path not in taken]

    def phone_holds_pairing(self):
        self.requested.stall()

    def phone_held(self):
        self.requested.stalled(60)

    def phone_answers(self, accept):
        if accept:
            self.requested.accept()
        else:
            self.requested.refuse()

    def stranger_pairs(self, capability, unasked=False):  # pylint: disable=unused-argument
        '''The stranger pairs with the gateway as the initiator: (paired, the
        daemon's answer to the agent call it gave: an error name, '' for a
        plain return, None when bluetoothd did not ask).'''
        asking = len(messages())
        status = self.intruder.pair(self.gw_address, capability)
        say(f'note a {capability} stranger\'s pairing ended with status 0x{status:02x}')

        def answer():
            for call in messages()[asking:]:
                if call.member == ASKED[capability] and self.stranger_on_gw in call.body:
                    return [m for m in messages() if m.reply_serial == call.serial
                            and m.destination == call.sender]
            return None
        try:
            reply = wait_until(answer, 5, f'the answer to {ASKED[capability]}')[0]
        except Timeout:
            return status == 0, None
        return status == 0, reply.error

    # the end
    def close(self):
        '''What the bench saw last (all of it with pairgate.verbose on the
        kernel's command line), then every process of the bench ended.'''
        with open('/proc/cmdline') as cmdline:
            most = 100000 if 'pairgate.verbose' in cmdline.read() else 40
        quiet = self.bus.get_unique_name()  # the bench's own property reads
        dmesg = subprocess.run(['dmesg'], stdout=subprocess.PIPE, text=True, check=False).stdout
        for kind, lines in (('bus', [str(m) for m in messages() if quiet not in (
                m.sender, m.destination) and (m.interface != 'org.freedesktop.DBus'
                                              or m.member == 'NameOwnerChanged')][-2 * most:]),
                            ('syslog', [f'<{p}> {text}' for p, text in self.log()][-most:]),
                            ('bluetoothd', self.bluetoothd_log().splitlines()[-most:]),
                            ('dmesg', dmesg.splitlines()[-15:])):
            for line in lines:
                say(f'{kind} {line}')
        for phone in self.raw:
            for when, text in phone.trace[-most:]:
                say(f'note {phone.name} {when:7.2f} {text}')
            phone.close()
        for proc in reversed(list(self.procs.values())):
            if proc.poll() is None:
                proc.kill()
                proc.wait()

