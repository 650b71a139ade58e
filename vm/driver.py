'''The test driver inside a VM of the bench: one scenario per boot.

Runs as the VM's only test program (started by vm/init as
`driver.py SCENARIO`). It starts the system bus with BlueZ's own policy
(and the bench's, which keeps the phone's adapter out of the gateway's
reach), dbus-monitor, btvirt (hci0 is the gateway, the last controller plays
the phone: hci1, or hci2 when hci1 is the gateway's second one) and
bluetoothd -n -d, then the installed pairgated, and checks what happened on
the bus, in bluetoothd's debug log, in the daemon's syslog and on the pipes.

Everything goes to the serial console as lines the host reads:
  @@VMTEST result PASS|FAIL SCENARIO SECONDS [why]
  @@VMTEST figure NAME VALUE
  @@VMTEST note TEXT
On a failure the recent bus traffic, syslog and bluetoothd log follow.

`driver.py @phone ...` is a helper process: the phone's side (an agent,
a pairing, a NAP server), each alive as long as its process.
'''

import json
import os
import re
import signal
import socket
import stat
import subprocess
import sys
import threading
import time

import dbus

DAEMON = '/opt/bluetooth/bin/pairgated'
CLIENT = '/opt/bluetooth/bin/pairgate-pair'
SETTINGS = '/opt/bluetooth/etc/settings'
REQUEST_PIPE = '/var/tmp/duskpair.fifo'
SIM = '/run/sim'                      # the I/O tool's and the GPIO stand-in's files
GPIO_PRELOAD = '/usr/lib/libfake_gpio.so'
# Where the release keeps it: /usr/libexec since bookworm, /usr/lib before.
BLUETOOTHD = next(path for path in ('/usr/libexec/bluetooth/bluetoothd',
                                    '/usr/lib/bluetooth/bluetoothd') if os.path.exists(path))
MONITOR_LOG = '/run/monitor.txt'
PHONE_POLICY = '/etc/dbus-1/system.d/zz-pairgate-vm-phone.conf'
MAIN_CONF = '/etc/bluetooth/main.conf'
BLUETOOTHD_LOG = '/run/bluetoothd.log'

GW = '/org/bluez/hci0'
# The phone's adapter: hci1, or the last of more controllers (the helpers learn it from the driver).
PHONE = os.environ.get('PAIRGATE_VM_PHONE', '/org/bluez/hci1')
SECOND = '/org/bluez/hci1'            # the gateway's second controller, with three
# btvirt's addresses differ between releases: read from the adapters (learn_addresses).
GW_ADDR = PHONE_ADDR = PHONE_ON_GW = GW_ON_PHONE = None
AGENT = '/org/bluez/agent_router'
PHONE_AGENT = '/test/phone_agent'
BNEP_UUID = '0000000f-0000-1000-8000-00805f9b34fb'
SERIAL_UUID = '00001101-0000-1000-8000-00805f9b34fb'
SERIAL_CHANNEL = 5
ADAPTER = 'org.bluez.Adapter1'
DEVICE = 'org.bluez.Device1'
PROPERTIES = 'org.freedesktop.DBus.Properties'
ERR, WARNING, NOTICE, INFO = 3, 4, 5, 6
PAIR_LIMIT_S = 75                     # the daemon's own limit on a web pairing's Pair
BIN0 = 'MOD_BLUETOOTH_PAIRABLE_BIN=0\n'
DISCOVERABLE = 'MOD_BLUETOOTH_DISCOVERABLE=2\n'
OPENED = 'By BIN0, Bluetooth automatic paring has been enabled'
UNREADABLE = 'Input bin0 cannot be read; the pairing window stays open until it can'
LOG = 'MOD_BLUETOOTH_SYSLOGLEV=4\n'


def learn_addresses(bus):
    global GW_ADDR, PHONE_ADDR, PHONE_ON_GW, GW_ON_PHONE  # pylint: disable=global-statement

    def address(path):
        return str(bus.call_blocking('org.bluez', path, PROPERTIES, 'Get', 'ss',
                                     (ADAPTER, 'Address')))
    GW_ADDR, PHONE_ADDR = address(GW), address(PHONE)
    PHONE_ON_GW = GW + '/dev_' + PHONE_ADDR.replace(':', '_')
    GW_ON_PHONE = PHONE + '/dev_' + GW_ADDR.replace(':', '_')


def swap_roles(bus):
    global GW, PHONE  # pylint: disable=global-statement
    GW, PHONE = PHONE, GW
    protect_phone(bus)
    learn_addresses(bus)


def phone_is_last(controllers):
    global PHONE  # pylint: disable=global-statement
    PHONE = f'/org/bluez/hci{controllers - 1}'


def protect_phone(bus):
    '''The phone is another machine: nothing on the gateway's bus may set its
    adapter (the daemon keeps every adapter but its own shut). The bench sets
    the phone's own properties with btmgmt, past the bus.'''
    os.environ['PAIRGATE_VM_PHONE'] = PHONE
    with open(PHONE_POLICY, 'w') as policy:
        policy.write('<busconfig><policy context="mandatory"><deny send_destination="org.bluez" '
                     f'send_path="{PHONE}" send_interface="{PROPERTIES}" send_member="Set"/>'
                     '</policy></busconfig>\n')
    if bus:
        bus.call_blocking('org.freedesktop.DBus', '/org/freedesktop/DBus', 'org.freedesktop.DBus',
                          'ReloadConfig', '', ())


def btmgmt(path, *command):
    run = subprocess.run(['btmgmt', '--index', path.rsplit('hci', 1)[1], *command],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=30,
                         check=False)
    said = ' '.join(run.stdout.split())
    check(run.returncode == 0 and 'failed' not in said, f'btmgmt {command}: {said}')


def say(text):
    print('@@VMTEST ' + text, flush=True)


class Failed(AssertionError):
    pass


def check(condition, what):
    if not condition:
        raise Failed(what)


def wait(probe, timeout, what):
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failed(f'timed out after {timeout} s waiting for {what}')
        time.sleep(0.1)


# ------------------------------------------------------------ the bus traffic

HEADER = re.compile(r'^(method call|method return|error|signal) time=(\S+) sender=(\S+) -> '
                    r'destination=(\(null destination\)|\S+)(.*)$')
FIELD = re.compile(r'(\w+)=([^ ;]+)')


class Message:
    '''One message dbus-monitor printed.'''

    def __init__(self, kind, when, sender, destination, rest):
        self.kind, self.time, self.sender, self.destination = kind, float(when), sender, destination
        fields = dict(FIELD.findall(rest))
        self.serial = fields.get('serial')
        self.reply_serial = fields.get('reply_serial')
        self.path = fields.get('path', '')
        self.interface = fields.get('interface', '')
        self.member = fields.get('member', '')
        self.error = fields.get('error_name', '')
        self.lines = []

    @property
    def body(self):
        return ' '.join(' '.join(line.split()) for line in self.lines)

    def __str__(self):
        what = self.member or self.error or 'return'
        return (f'{self.time:.3f} {self.sender} -> {self.destination} {self.kind} {what} '
                f'{self.path} {self.body}'[:300])


class Monitor:
    '''dbus-monitor --system, written to a file and read back on demand.'''

    def __init__(self):
        self.out = open(MONITOR_LOG, 'w')

    def messages(self):
        found = []
        with open(MONITOR_LOG, errors='replace') as text:
            for line in text:
                header = HEADER.match(line)
                if header:
                    found.append(Message(*header.groups()))
                elif found and line.startswith(' '):
                    found[-1].lines.append(line)
        return found

    def calls(self, member, path=None, body='', since=0.0):
        return [m for m in self.messages()
                if m.kind == 'method call' and m.member == member and m.time >= since
                and (path is None or m.path == path) and body in m.body]

    def reply(self, call):
        for m in self.messages():
            if (m.kind in ('method return', 'error') and m.reply_serial == call.serial
                    and m.destination == call.sender):
                return m
        return None

    def answered(self, member, path=None, body='', since=0.0, error=None, timeout=30):
        '''Waits for a call of MEMBER answered with a return (or with ERROR); gives both.'''
        def probe():
            for call in self.calls(member, path, body, since):
                reply = self.reply(call)
                if reply and (reply.error == error if error else reply.kind == 'method return'):
                    return call, reply
            return None
        return wait(probe, timeout, f'{member}({body}) answered with {error or "a return"}')

    def dump(self, quiet, count=80):
        '''The last COUNT messages, without the bus driver's and QUIET's polls.'''
        shown = [m for m in self.messages()
                 if (m.interface != 'org.freedesktop.DBus' or m.member == 'NameOwnerChanged')
                 and quiet not in (m.sender, m.destination)]
        for m in shown[-count:]:
            say('bus ' + str(m))


# ------------------------------------------------------------------ syslog

SYSLOG_LINE = re.compile(
    r'<(\d+)>(?:\w{3} [ \d]\d \d\d:\d\d:\d\d )?([^:\[ ]*)(?:\[\d+\])?: (.*)', re.S)


class Syslog:
    '''/dev/log, read by a thread: (priority, ident, text) per datagram.'''

    def __init__(self):
        self.entries = []
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind('/dev/log')
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while True:
            data = self.sock.recv(65536).decode('utf-8', 'replace')
            line = SYSLOG_LINE.match(data)
            if line:
                self.entries.append((int(line[1]) & 7, line[2], line[3].rstrip('\n')))

    def daemon(self):
        return [(prio, text) for prio, ident, text in list(self.entries) if ident == 'pairgated']

    def wait_for(self, priority, text, timeout=30):
        return wait(lambda: (priority, text) in self.daemon(), timeout, f'syslog "{text}"')


# ------------------------------------------------------------------ the bench

def cpu_ticks(pid):
    with open(f'/proc/{pid}/stat') as stat_file:
        fields = stat_file.read().rsplit(')', 1)[1].split()
    return int(fields[11]) + int(fields[12])   # utime + stime


class Bench:
    def __init__(self, controllers=2, main_conf=''):
        self.procs = {}
        self.flaws = []
        self.syslog = Syslog()
        self.adapters = [f'/org/bluez/hci{n}' for n in range(controllers)]
        if main_conf:
            # Into the release's own file: bluez 5.55 powers the adapters only
            # by the AutoEnable it sets.
            with open(MAIN_CONF) as conf:
                text = conf.read()
            with open(MAIN_CONF, 'w') as conf:
                conf.write(text.replace('[General]\n', '[General]\n' + main_conf, 1))
        protect_phone(None)
        os.makedirs('/run/dbus', exist_ok=True)
        self.spawn('dbus-daemon', ['dbus-daemon', '--system', '--nofork', '--nopidfile'])
        wait(lambda: os.path.exists('/run/dbus/system_bus_socket'), 30, 'the system bus')
        self.monitor = Monitor()
        self.spawn('dbus-monitor', ['dbus-monitor', '--system'], stdout=self.monitor.out)
        self.spawn('btvirt', ['btvirt', f'-l{controllers}'])
        wait(lambda: all(os.path.exists(f'/sys/class/bluetooth/hci{n}')
                         for n in range(controllers)), 30, 'the virtual controllers')
        self.bus = dbus.SystemBus()
        self.start_bluetoothd()
        learn_addresses(self.bus)
        self.daemon = None

    def flaw(self, check_, *args):
        '''Runs a check whose failure still lets the scenario go on; noted, failed at the end.'''
        try:
            check_(*args)
        except Failed as error:
            say(f'note FAILED: {error}')
            self.flaws.append(str(error))

    def spawn(self, name, argv, **options):
        options.setdefault('stdout', subprocess.DEVNULL)
        options.setdefault('stderr', subprocess.STDOUT)
        self.procs[name] = subprocess.Popen(argv, **options)
        return self.procs[name]

    def start_bluetoothd(self):
        log = open(BLUETOOTHD_LOG, 'a')
        self.spawn('bluetoothd', [BLUETOOTHD, '-n', '-d'], stdout=log)
        wait(lambda: all(self.get(path, ADAPTER, 'Powered', quiet=True) for path in self.adapters),
             60, 'every adapter powered on D-Bus')

    def stop_bluetoothd(self):
        bluetoothd = self.procs.pop('bluetoothd')
        bluetoothd.send_signal(signal.SIGTERM)
        bluetoothd.wait(30)

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

    def device_flag(self, path, name):
        '''A device's property; bluez 5.55 has no Bonded, and a paired device
        is bonded there (its Pair answers AlreadyExists, checked after).'''
        if name == 'Bonded' and self.get(path, DEVICE, name, quiet=True) is None:
            name = 'Paired'
        return self.get(path, DEVICE, name)

    def set(self, path, interface, name, value):
        self.call(path, PROPERTIES, 'Set', 'ssv', (interface, name, value))

    def objects(self):
        return self.call('/', 'org.freedesktop.DBus.ObjectManager', 'GetManagedObjects')

    def holds(self, path, interface, name, value, what, seconds=3.0, during=None):
        '''The property reads VALUE at every sample for SECONDS, or while
        DURING runs (what it gives is returned); a wrong one fails at once.'''
        result = {}
        worker = threading.Thread(target=lambda: result.update(value=during())) if during else None
        if worker:
            worker.start()
        deadline = time.monotonic() + seconds
        while worker.is_alive() if worker else time.monotonic() < deadline:
            seen = self.get(path, interface, name)
            check(seen == value, f'{what}: {name} read {bool(seen)}, not {value}')
            time.sleep(0.05)
        return result.get('value')

    def window_holds(self, since, value, what, names=('Pairable',)):
        '''The daemon set the window to VALUE after SINCE, and it holds: bluetoothd
        changes Pairable itself when an agent registers, so a read before the
        daemon's Set would tell nothing.'''
        for name in names:
            self.monitor.answered('Set', path=GW, since=since, timeout=15,
                                  body=f'string "{name}" variant boolean {str(value).lower()}')
        for name in names:
            self.holds(GW, ADAPTER, name, value, what)

    # the daemon
    def start_daemon(self, settings=LOG, gpio=None, io_exit=0):
        os.makedirs(os.path.dirname(SETTINGS), exist_ok=True)
        with open(SETTINGS, 'w') as out:
            out.write(settings)
        os.makedirs(SIM, exist_ok=True)
        with open(f'{SIM}/io.exit', 'w') as out:
            out.write(f'{io_exit}\n')
        if gpio is not None:
            self.gpio(gpio)
        env = dict(os.environ, PAIRGATE_SIM_DIR=SIM, LD_PRELOAD=GPIO_PRELOAD)
        started = self.started = time.time()
        self.daemon = self.spawn('pairgated', [DAEMON], env=env,
                                 stdout=open('/run/pairgated.out', 'w'))
        _, reply = self.monitor.answered('RegisterAgent', body=AGENT, since=started - 1)
        return reply.time - started

    def open_window(self):
        '''BIN0 active: the window opens.'''
        self.gpio('0 1 1 1')
        self.syslog.wait_for(INFO, OPENED)

    def gpio(self, levels):
        with open('/dev/gpio', 'w') as out:
            out.write(levels + '\n')

    def stop_daemon(self):
        self.daemon.send_signal(signal.SIGTERM)
        return self.daemon.wait(60)

    def cpu(self, seconds):
        '''CPU % of the daemon, bluetoothd and dbus-daemon over SECONDS.'''
        names = ('pairgated', 'bluetoothd', 'dbus-daemon')
        before = {name: cpu_ticks(self.procs[name].pid) for name in names}
        time.sleep(seconds)
        hz = os.sysconf('SC_CLK_TCK')
        return {name: 100.0 * (cpu_ticks(self.procs[name].pid) - before[name]) / hz / seconds
                for name in names}

    # the web road
    def web_pair(self, address):
        run = subprocess.run([CLIENT, '--json', '--timeout', '60', address],
                             stdout=subprocess.PIPE, timeout=90, check=False)
        events = [json.loads(line) for line in run.stdout.decode().splitlines()]
        say(f'note pairgate-pair {address}: exit {run.returncode}, {events}')
        return run.returncode, [event['event'] + ':' + event.get('passkey', '') for event in events]

    def web_pair_phone(self):
        '''A web pairing of the phone that must pair; (its result, when the
        attempt that counts began). The phone's adapter shares bluetoothd with
        the gateway, whose agent swap makes every adapter non-pairable for a
        moment: a refusal before any passkey is the bench's, and tried once more.'''
        began = time.time()
        result = self.web_pair(PHONE_ADDR)
        if result == (1, ['failed:']):
            say('note the phone refused before a passkey (the shared bluetoothd): once more')
            began = time.time()
            result = self.web_pair(PHONE_ADDR)
        return result, began

    def release_answered(self, since):
        '''The daemon answers Release. bluetoothd sends it expecting no reply
        while it gives up its name, so the bus may refuse the return: that
        refusal shows an answer all the same.'''
        call = wait(lambda: self.monitor.calls('Release', AGENT, since=since), 5, 'Release')[0]

        def answered():
            return any(m.time >= call.time and (
                (m.kind == 'method return' and m.reply_serial == call.serial) or
                (m.error == 'org.freedesktop.DBus.Error.AccessDenied'
                 and 'type="method_return"' in m.body and f'destination="{call.sender}"' in m.body))
                for m in self.monitor.messages() if call.destination in (m.sender, m.destination))
        wait(answered, 5, 'Release answered')

    # the phone
    def phone_visible(self):
        '''The phone shows itself, and the gateway's discovery finds it.'''
        btmgmt(PHONE, 'bondable', 'on')
        btmgmt(PHONE, 'connectable', 'on')
        btmgmt(PHONE, 'discov', 'on')
        wait(lambda: PHONE_ON_GW in self.objects(), 90, 'the gateway to find the phone')

    def phone_finds_gateway(self, make_discoverable=True):
        if make_discoverable:
            self.set(GW, ADAPTER, 'Discoverable', True)
        self.call(PHONE, ADAPTER, 'StartDiscovery')
        wait(lambda: GW_ON_PHONE in self.objects(), 90, 'the phone to find the gateway')
        self.call(PHONE, ADAPTER, 'StopDiscovery')

    def phone(self, *args, wait_ready=True):
        '''A helper process playing the phone's side; returns it once it is ready.'''
        helper = subprocess.Popen([sys.executable, '-u', __file__, '@phone', *args],
                                  stdout=subprocess.PIPE, text=True)
        self.procs[f'phone{len(self.procs)}'] = helper
        if wait_ready:
            line = helper.stdout.readline()
            check(line.strip() == 'ready', f'phone helper {args}: {line!r}')
        return helper

    def phone_agent(self):
        '''The phone's own agent, its default: a pairing's confirmation on the
        phone's side is the phone's, not the gateway's (one bluetoothd serves
        both, and gives the side that did not call Pair to the default agent).'''
        return self.phone('agent', 'DisplayYesNo')

    def phone_pair(self, capability='NoInputNoOutput', target=None):
        '''The phone pairs with the gateway (or TARGET); gives "ok" or the error's name.'''
        helper = self.phone('pair', capability, target or GW, wait_ready=False)
        result = helper.stdout.readline().strip()
        helper.wait(30)
        say(f'note the phone\'s Pair: {result}')
        return result

    def close(self):
        for name, proc in reversed(list(self.procs.items())):
            if proc.poll() is None:
                proc.kill()
                proc.wait()

    def dump(self, everything=False):
        self.monitor.dump(self.bus.get_unique_name(), 100000 if everything else 80)
        # The daemon's Sets on the phone's adapter, refused by the bench's policy, left out.
        for prio, text in [entry for entry in self.syslog.daemon()
                           if 'Rejected send message' not in entry[1]][-40:]:
            say(f'syslog <{prio}> {text}')
        with open(BLUETOOTHD_LOG, errors='replace') as log:
            for line in log.readlines()[-100000 if everything else -40:]:
                say('bluetoothd ' + line.rstrip())
        dmesg = subprocess.run(['dmesg'], stdout=subprocess.PIPE, text=True).stdout
        for line in dmesg.splitlines()[-15:]:
            say('dmesg ' + line)


def bluetoothd_log():
    with open(BLUETOOTHD_LOG, errors='replace') as log:
        return log.read()


# ------------------------------------------------------------------ scenarios

def startup_stop(b):
    figure = b.start_daemon()
    say(f'figure start-to-agent-registered-s {figure:.2f}')
    b.monitor.answered('StartDiscovery', path=GW)
    check(b.get(GW, ADAPTER, 'Discovering'), 'discovery does not run on hci0')
    b.window_holds(b.started, False, 'no input selected')
    b.syslog.wait_for(NOTICE, 'Bluetooth helper daemon has been started')
    mode = os.lstat(REQUEST_PIPE).st_mode
    check(stat.S_ISFIFO(mode) and stat.S_IMODE(mode) == 0o600, 'request pipe not a 0600 FIFO')
    check('Default agent set to' in bluetoothd_log(), 'bluetoothd set no default agent')
    stopping = time.time()
    check(b.stop_daemon() == 0, 'exit status not 0 after SIGTERM')
    b.monitor.answered('UnregisterAgent', body=AGENT, since=stopping)
    b.monitor.answered('StopDiscovery', path=GW, since=stopping)
    check(not b.get(GW, ADAPTER, 'Discovering'), 'discovery still runs on hci0')
    b.syslog.wait_for(NOTICE, 'Bluetooth helper daemon has been finished')
    check(not os.path.exists(REQUEST_PIPE), 'request pipe left behind')


def web_pairing(b):
    b.phone_agent()
    b.start_daemon(LOG + BIN0, gpio='1 1 1 1', io_exit=1)
    b.phone_visible()
    out_of_range(b)
    opening = time.time()
    b.open_window()
    b.window_holds(opening, True, 'window open')
    result, pairing = b.web_pair_phone()
    check(result == (0, ['passkey:000000', 'paired:']), 'web pairing did not pair')
    for name in ('Paired', 'Bonded'):
        check(b.device_flag(PHONE_ON_GW, name), f'the phone is not {name}')
    wait(lambda: b.get(PHONE_ON_GW, DEVICE, 'Trusted'), 10, 'the phone trusted')
    b.flaw(b.window_holds, pairing, True, 'after a web pairing, window open')
    closing = time.time()
    b.gpio('1 1 1 1')
    b.window_holds(closing, False, 'window closed')
    again = time.time()
    check(b.web_pair(PHONE_ADDR) == (1, ['failed:']), 'pairing a paired device did not fail')
    b.monitor.answered('Pair', path=PHONE_ON_GW, since=again, error='org.bluez.Error.AlreadyExists')
    unknown = time.time()
    check(b.web_pair('00:11:22:33:44:55') == (1, ['failed:']), 'pairing an unknown address')
    b.monitor.answered('Pair', path=GW + '/dev_00_11_22_33_44_55', since=again,
                       error='org.freedesktop.DBus.Error.UnknownObject')
    b.monitor.answered('RegisterAgent', body='NoInputNoOutput', since=unknown)
    b.flaw(b.window_holds, unknown, False, 'after two failed web pairings')


def out_of_range(b):
    '''The phone found, then gone: the pairing fails well within the
    daemon's own limit on Pair (btvirt answers Page Timeout at once), and the
    window is set again.'''
    btmgmt(PHONE, 'power', 'off')
    gone = time.time()
    check(b.web_pair(PHONE_ADDR) == (1, ['failed:']), 'pairing a device out of range')
    b.monitor.answered('Pair', path=PHONE_ON_GW, since=gone,
                       error='org.bluez.Error.ConnectionAttemptFailed')
    took = time.time() - gone
    say(f'figure out-of-range-failed-after-s {took:.2f}')
    check(took < PAIR_LIMIT_S, f'the failure took {took:.0f} s')
    b.window_holds(gone, False, 'after a device out of range')
    btmgmt(PHONE, 'power', 'on')
    b.phone_visible()


def window(b):
    b.start_daemon(LOG + 'MOD_BLUETOOTH_PAIRABLE_BIN=0\n', gpio='1 1 1 1', io_exit=1)
    b.window_holds(b.started, False, 'window closed')
    b.phone_finds_gateway()
    refused = b.holds(GW, ADAPTER, 'Pairable', False, 'while the phone pairs', during=b.phone_pair)
    check(refused == 'org.bluez.Error.AuthenticationFailed', 'paired while closed')
    if PHONE_ON_GW in b.objects():
        b.holds(PHONE_ON_GW, DEVICE, 'Trusted', False, 'a device refused while closed')
    b.open_window()
    wait(lambda: b.get(GW, ADAPTER, 'Pairable'), 10, 'Pairable true with the window open')
    check(b.phone_pair() == 'ok', 'the phone could not pair with the window open')
    wait(lambda: b.get(PHONE_ON_GW, DEVICE, 'Trusted'), 20, 'the phone trusted')
    closing = time.time()
    b.gpio('1 1 1 1')
    b.syslog.wait_for(INFO, 'By BIN0, Bluetooth automatic paring has been disabled')
    b.window_holds(closing, False, 'window closed again')
    stranger_again(b)


def stranger_again(b):
    '''The window has been open and is closed: the phone, its bond removed on
    both sides, is a stranger again and pairs. Refused; or, where btvirt lets
    it through (its controller no longer asks the gateway's kernel for its IO
    capability once the gateway has paired, so the non-pairable adapter is
    never consulted), paired but never trusted, and said so.'''
    # A connected device goes only once its link is down, which 5.55 may keep
    # up for long: the phone hangs up first.
    try:
        b.call(GW_ON_PHONE, DEVICE, 'Disconnect')
    except dbus.DBusException as error:
        say(f'note the phone\'s Disconnect: {error.get_dbus_name()}')
    b.call(PHONE, ADAPTER, 'RemoveDevice', 'o', (GW_ON_PHONE,))
    b.call(GW, ADAPTER, 'RemoveDevice', 'o', (PHONE_ON_GW,))
    wait(lambda: not {GW_ON_PHONE, PHONE_ON_GW} & set(b.objects()), 30, 'both bonds removed')
    b.phone_finds_gateway()
    result = b.holds(GW, ADAPTER, 'Pairable', False, 'while a stranger pairs again',
                     during=b.phone_pair)
    say(f'note a stranger after the window closed: {result}')
    check(result in ('org.bluez.Error.AuthenticationFailed', 'ok'), f'the stranger: {result}')
    if result == 'ok':
        b.syslog.wait_for(WARNING, f'Device {PHONE_ADDR} paired while the pairing window is '
                                   'closed; not trusted')
    if PHONE_ON_GW in b.objects():
        b.holds(PHONE_ON_GW, DEVICE, 'Trusted', False, 'a stranger after the window closed')


def discoverable(b):
    b.start_daemon(LOG + 'MOD_BLUETOOTH_PAIRABLE_BIN=0\nMOD_BLUETOOTH_DISCOVERABLE=2\n',
                   gpio='1 1 1 1', io_exit=1)
    both = ('Pairable', 'Discoverable')
    b.window_holds(b.started, False, 'window closed', both)
    b.gpio('0 1 1 1')
    for name in both:
        wait(lambda name=name: b.get(GW, ADAPTER, name), 10, f'{name} true with the window open')
    b.phone_finds_gateway(make_discoverable=False)
    closing = time.time()
    b.gpio('1 1 1 1')
    b.window_holds(closing, False, 'window closed again', both)


def nap(b):
    subprocess.run(['ip', 'link', 'add', 'br0', 'type', 'bridge'], check=True)
    subprocess.run(['ip', 'link', 'set', 'br0', 'up'], check=True)
    b.phone('servers')
    # The daemon sets the window again on BlueZ's word: another client's
    # Set would not hold; the window opens the gateway.
    b.start_daemon(LOG + BIN0, gpio='0 1 1 1')
    b.window_holds(b.started, True, 'window open')
    b.phone_finds_gateway()
    check(b.phone_pair() == 'ok', 'the phone could not pair')
    wait(lambda: b.get(PHONE_ON_GW, DEVICE, 'Trusted'), 20, 'the phone trusted')
    b.set(PHONE_ON_GW, DEVICE, 'Trusted', False)
    connecting = time.time()
    interface = b.call(GW_ON_PHONE, 'org.bluez.Network1', 'Connect', 's', ('nap',))
    b.monitor.answered('AuthorizeService', body=BNEP_UUID, since=connecting)
    check(os.path.exists(f'/sys/class/net/{interface}'), f'no {interface} interface')
    wait(lambda: os.listdir('/sys/class/net/br0/brif'), 10, 'a bnep interface in br0')
    check(f'BNEP: incoming connect from {PHONE_ADDR}' in bluetoothd_log()
          and 'server.c:auth_cb() Access denied' not in bluetoothd_log(), 'BNEP not authorised')
    b.call(GW_ON_PHONE, 'org.bluez.Network1', 'Disconnect')
    asking = time.time()
    serial = socket.socket(socket.AF_BLUETOOTH, socket.SOCK_STREAM, socket.BTPROTO_RFCOMM)
    serial.settimeout(30)
    try:
        serial.bind((PHONE_ADDR, 0))
        serial.connect((GW_ADDR, SERIAL_CHANNEL))
        check(serial.recv(1) == b'', 'the serial port answered')
    except OSError as error:
        say(f'note the phone\'s serial port connection: {error}')
    finally:
        serial.close()
    b.monitor.answered('AuthorizeService', body=SERIAL_UUID, since=asking,
                       error='org.bluez.Error.Rejected')
    check(f'serial rejected {PHONE_ADDR}' in bluetoothd_log(), 'bluetoothd did not refuse')


def restart(b):
    b.phone_agent()
    b.start_daemon()
    b.window_holds(b.started, False, 'no input selected')
    stopping = time.time()
    b.stop_bluetoothd()
    b.flaw(b.release_answered, stopping)
    time.sleep(1)
    restarting = time.time()
    b.start_bluetoothd()
    b.monitor.answered('RegisterAgent', body=AGENT, since=restarting)
    # The daemon takes the adapter bluetoothd exports first, whose order
    # varies with two: the other plays the phone from here on.
    selected = wait(lambda: [text.rsplit(' ', 1)[1] for _, text in b.syslog.daemon() if text.startswith(
        '(Following BlueZ) Bluetooth scanning has been started on ')], 30, 'an adapter selected')[0]
    if selected != GW:
        say(f'note the daemon selected {selected} after the restart: the phone is {GW} now')
        swap_roles(b.bus)
    b.monitor.answered('StartDiscovery', path=GW, since=restarting)
    check(bluetoothd_log().count('Default agent set to') >= 2, 'no default agent after restart')
    b.window_holds(restarting, False, 'after the restart')
    b.phone_agent()
    b.phone_visible()
    result, _ = b.web_pair_phone()
    check(result == (0, ['passkey:000000', 'paired:']), 'web pairing after restart')
    wait(lambda: b.get(PHONE_ON_GW, DEVICE, 'Trusted'), 10, 'the phone trusted')
    noise = [text for prio, text in b.syslog.daemon()
             if prio <= ERR and 'Looking for an adapter failed' in text]
    b.flaw(check, not noise, f'errors logged on the restart: {noise}')


def rejected(b):
    phone = b.phone('agent', 'DisplayYesNo', 'reject')
    b.start_daemon()
    b.phone_visible()
    pairing = time.time()
    check(b.web_pair(PHONE_ADDR) == (1, ['passkey:000000', 'failed:']), 'rejected passkey')
    b.monitor.answered('Pair', path=PHONE_ON_GW, since=pairing,
                       error='org.bluez.Error.AuthenticationFailed')
    check('agent error reply: org.bluez.Error.Rejected' in bluetoothd_log(), 'no rejection')
    b.monitor.answered('RegisterAgent', body='NoInputNoOutput', since=pairing)
    # The phone's agent was the default all along, so bluetoothd left Pairable
    # alone; once it is gone, the daemon's own registrations turn it on.
    b.holds(GW, ADAPTER, 'Pairable', False, 'after a rejected web pairing')
    phone.kill()
    phone.wait()
    again = time.time()
    check(b.web_pair('00:11:22:33:44:55') == (1, ['failed:']), 'pairing an unknown address')
    b.window_holds(again, False, 'after a web pairing with no other agent left')


def second_shut(b, since, what):
    '''The daemon set the gateway's second controller non-pairable after
    SINCE, and it stays so.'''
    b.monitor.answered('Set', path=SECOND, since=since, timeout=15,
                       body='string "Pairable" variant boolean false')
    b.holds(SECOND, ADAPTER, 'Pairable', False, f'hci1 {what}')


def stranger_refused_by_second(b, what):
    '''The phone, a stranger to the gateway, pairs with its second
    controller: refused, hci1 non-pairable throughout, nothing paired there.'''
    refused = b.holds(SECOND, ADAPTER, 'Pairable', False, f'hci1 while a stranger pairs, {what}',
                      during=lambda: b.phone_pair(target=SECOND))
    check(refused == 'org.bluez.Error.AuthenticationFailed', f'hci1 paired a stranger, {what}')
    stranger = SECOND + '/dev_' + PHONE_ADDR.replace(':', '_')
    if stranger in b.objects():
        for name in ('Paired', 'Trusted'):
            check(not b.get(stranger, DEVICE, name), f'the stranger {name} on hci1, {what}')


def adapters(b):
    '''hci0 the gateway, hci1 its second controller, hci2 the phone.'''
    b.phone_agent()
    b.start_daemon(LOG + BIN0, gpio='1 1 1 1', io_exit=1)
    b.window_holds(b.started, False, 'window closed')
    second_shut(b, b.started, 'at start')
    b.set(SECOND, ADAPTER, 'Discoverable', True)
    turning = time.time()
    b.set(SECOND, ADAPTER, 'Pairable', True)
    second_shut(b, turning, 'after a client set it pairable')
    b.phone_visible()
    b.call(PHONE, ADAPTER, 'StartDiscovery')
    second_on_phone = PHONE + '/dev_' + str(b.get(SECOND, ADAPTER, 'Address')).replace(':', '_')
    wait(lambda: second_on_phone in b.objects(), 90, 'the phone to find hci1')
    b.call(PHONE, ADAPTER, 'StopDiscovery')
    stranger_refused_by_second(b, 'window closed')
    b.open_window()
    wait(lambda: b.get(GW, ADAPTER, 'Pairable'), 10, 'Pairable true with the window open')
    stranger_refused_by_second(b, 'window open')
    pairing = time.time()
    result = b.holds(SECOND, ADAPTER, 'Pairable', False, 'hci1 during a web pairing',
                     during=lambda: b.web_pair_phone()[0])
    check(result == (0, ['passkey:000000', 'paired:']), 'the web pairing did not pair')
    registered, _ = b.monitor.answered('RegisterAgent', body='DisplayYesNo', since=pairing)
    second_shut(b, registered.time, 'after the registration for a web pairing')
    swapped, _ = b.monitor.answered('RegisterAgent', body='NoInputNoOutput', since=registered.time)
    second_shut(b, swapped.time, 'after the swap back')
    for name in ('Bonded', 'Trusted'):
        wait(lambda name=name: b.device_flag(PHONE_ON_GW, name), 10, f'the phone {name} on hci0')
    # Not checked here: the phone's pairing with hci1 after this web pairing
    # crashed L2CAP in Debian's 6.1 kernel (list_del corruption), once in three runs.
    closing = time.time()
    b.gpio('1 1 1 1')
    b.window_holds(closing, False, 'window closed again')


def kept_open(b, seconds, what, names=('Pairable', 'Discoverable')):
    '''NAMES read true over SECONDS, sampled; bluetoothd's own time-outs may
    turn one off, but every false spell ends within 1 s. Gives the longest.'''
    spells = {name: None for name in names}
    longest = 0.0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        now = time.monotonic()
        for name in names:
            if b.get(GW, ADAPTER, name):
                spells[name] = None
            else:
                spells[name] = spells[name] or now
                longest = max(longest, now - spells[name])
                check(now - spells[name] <= 1.0, f'{what}: {name} false for over 1 s')
        time.sleep(0.05)
    return longest


def reasserted(b, since, name):
    '''bluetoothd turned NAME off by itself after SINCE, and the daemon's Set followed.'''
    off = [m for m in b.monitor.messages()
           if m.kind == 'signal' and m.member == 'PropertiesChanged' and m.path == GW
           and m.time >= since and f'string "{name}" variant boolean false' in m.body]
    check(off, f'bluetoothd never turned {name} off by itself')
    b.monitor.answered('Set', path=GW, since=off[0].time, timeout=5,
                       body=f'string "{name}" variant boolean true')


def held(b):
    '''bluetoothd's own time-outs at 3 s: the window held open for longer;
    the cost of the window; the unreadable input.'''
    both = ('Pairable', 'Discoverable')
    b.start_daemon(LOG + BIN0 + DISCOVERABLE, gpio='1 1 1 1', io_exit=1)
    b.window_holds(b.started, False, 'window closed', both)
    opening = time.time()
    b.open_window()
    longest = kept_open(b, 10, 'the window held open')
    say(f'figure window-open-longest-false-s {longest:.2f}')
    for name in both:
        reasserted(b, opening, name)
    # The cost of the window itself, without a re-assertion every 3 s.
    for name in ('PairableTimeout', 'DiscoverableTimeout'):
        b.set(GW, ADAPTER, name, dbus.UInt32(0))
    # Each figure after the same 3 s of sampling, which the bus has to carry.
    b.holds(GW, ADAPTER, 'Pairable', True, 'the window open')
    cpu = {'open': b.cpu(10)}
    closing = time.time()
    b.gpio('1 1 1 1')
    b.window_holds(closing, False, 'window closed', both)
    cpu['closed'] = b.cpu(10)
    b.stop_daemon()
    b.start_daemon()
    b.window_holds(b.started, False, 'no input selected')
    cpu['none'] = b.cpu(10)
    for name in cpu['none']:
        say(f'figure cpu-percent-{name} none {cpu["none"][name]:.1f} '
            f'closed {cpu["closed"][name]:.1f} open {cpu["open"][name]:.1f}')
    for name in ('bluetoothd', 'dbus-daemon'):
        b.flaw(check, cpu['open'][name] - cpu['closed'][name] <= 1.0,
               f'the open window cost {name} over 1 point of a core')
    b.stop_daemon()
    os.rename('/usr/bin/io', '/usr/bin/io.gone')
    earlier = len(b.syslog.daemon())
    b.start_daemon(LOG + BIN0, gpio='1 1 1 1')
    b.syslog.wait_for(WARNING, UNREADABLE)
    b.syslog.wait_for(INFO, OPENED)
    kept_open(b, 4, 'an unreadable input', ('Pairable',))
    told = b.syslog.daemon()[earlier:].count((WARNING, UNREADABLE))
    check(told == 1, f'the unreadable input told {told} times')


SCENARIOS = {'startup': startup_stop, 'web': web_pairing, 'window': window, 'nap': nap,
             'restart': restart, 'reject': rejected, 'discoverable': discoverable,
             'adapters': adapters, 'held': held}
# What a scenario's bench needs beyond two controllers and bluetoothd's own main.conf.
BENCHES = {'adapters': {'controllers': 3},
           'held': {'main_conf': 'PairableTimeout = 3\nDiscoverableTimeout = 3\n'}}


# ------------------------------------------------------------------ the phone's helpers

def phone_helper(mode, *args):
    '''Runs in its own process: what it registers lives as long as it does.'''
    import dbus.service
    from dbus.mainloop.glib import DBusGMainLoop
    from gi.repository import GLib

    DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    loop = GLib.MainLoop()
    bluez = bus.get_object('org.bluez', '/org/bluez')
    learn_addresses(bus)
    reject = 'reject' in args

    class Agent(dbus.service.Object):
        @dbus.service.method('org.bluez.Agent1', in_signature='ou', out_signature='')
        def RequestConfirmation(self, device, passkey):
            if reject:
                raise dbus.DBusException('the phone rejects', name='org.bluez.Error.Rejected')

        @dbus.service.method('org.bluez.Agent1', in_signature='o', out_signature='')
        def RequestAuthorization(self, device):
            pass

        @dbus.service.method('org.bluez.Agent1', in_signature='os', out_signature='')
        def AuthorizeService(self, device, uuid):
            pass

        @dbus.service.method('org.bluez.Agent1', in_signature='', out_signature='')
        def Release(self):
            pass

        @dbus.service.method('org.bluez.Agent1', in_signature='', out_signature='')
        def Cancel(self):
            pass

    if mode == 'servers':
        bus.call_blocking('org.bluez', GW, 'org.bluez.NetworkServer1', 'Register', 'ss',
                          ('nap', 'br0'))
        options = {'Role': 'server', 'Channel': dbus.UInt16(SERIAL_CHANNEL, variant_level=1),
                   'RequireAuthorization': dbus.Boolean(True, variant_level=1),
                   'RequireAuthentication': dbus.Boolean(False, variant_level=1),
                   'Name': dbus.String('serial', variant_level=1)}
        bus.call_blocking('org.bluez', '/org/bluez', 'org.bluez.ProfileManager1', 'RegisterProfile',
                          'osa{sv}', ('/test/serial', SERIAL_UUID, options))
        print('ready', flush=True)
        loop.run()
        return
    capability = args[0]
    Agent(bus, PHONE_AGENT)
    manager = dbus.Interface(bluez, 'org.bluez.AgentManager1')
    manager.RegisterAgent(PHONE_AGENT, capability)
    if mode == 'agent':
        manager.RequestDefaultAgent(PHONE_AGENT)
        print('ready', flush=True)
        loop.run()
        return
    target = str(bus.call_blocking('org.bluez', args[1], PROPERTIES, 'Get', 'ss',
                                   (ADAPTER, 'Address')))
    device = dbus.Interface(bus.get_object(
        'org.bluez', PHONE + '/dev_' + target.replace(':', '_')), DEVICE)

    def done(error=None):
        print(error.get_dbus_name() if error else 'ok', flush=True)
        loop.quit()

    device.Pair(reply_handler=done, error_handler=done, timeout=60)
    loop.run()
    manager.UnregisterAgent(PHONE_AGENT)


def main():
    if sys.argv[1] == '@phone':
        phone_helper(*sys.argv[2:])
        return 0
    name = sys.argv[1]
    begun = time.monotonic()
    bench = None
    try:
        scenario = SCENARIOS[name]
        options = BENCHES.get(name, {})
        phone_is_last(options.get('controllers', 2))
        bench = Bench(**options)
        scenario(bench)
        if bench.flaws:
            raise Failed('; '.join(bench.flaws))
        say(f'result PASS {name} {time.monotonic() - begun:.1f}')
        if 'pairgate.verbose' in open('/proc/cmdline').read():
            bench.dump(everything=True)
        return 0
    except Exception as error:   # every failure is reported, with what the bench saw
        why = f'{type(error).__name__}: {error}'
        earlier = [flaw for flaw in bench.flaws if flaw not in why] if bench else []
        why = '; '.join(earlier + [why])
        say(f'result FAIL {name} {time.monotonic() - begun:.1f} {why}')
        if bench:
            bench.dump()
        return 1
    finally:
        if bench:
            bench.close()


if __name__ == '__main__':
    sys.exit(main())
