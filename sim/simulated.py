'''The simulated gateway of the shared stories (tests/system/test_stories.py): a
thin layer over Gateway and the BlueZ simulator, with the API of the real one
in the VM bench (vm/bench.py). The phone is the simulator's device
00:1A:7D:DA:71:13 on hci0 (and on hci1 with three controllers); what it does
to the gateway goes through org.bluez.Mock; another agent on the gateway is
vm/phone.py on the private bus, as in the VM.'''

import json
import signal
import subprocess
from pathlib import Path

import dbus

import pairgate_facts as facts  # on the path of the tests that use it
from gateway import PYTHON, Gateway, plain, wait_until

PHONE_HELPER = Path(__file__).resolve().parents[1] / 'vm' / 'phone.py'
ADAPTER = 'org.bluez.Adapter1'
DEVICE = 'org.bluez.Device1'
SERIAL_UUID = '00001101-0000-1000-8000-00805f9b34fb'
# The agent call a stranger's pairing with the gateway gives, by its IO capability.
ASKED = {'DisplayYesNo': ('RequestConfirmation', 'ou'),
         'NoInputNoOutput': ('RequestAuthorization', 'o')}


class Simulated:
    real = False
    hold_s = 0.5                       # the simulator changes nothing by itself

    # pylint: disable-next=unused-argument
    def __init__(self, root, build_dir, controllers=2, main_conf=''):
        self.gw = Gateway(root, build_dir)
        self.GW, self.SECOND = '/org/bluez/hci0', '/org/bluez/hci1'
        self.phone_address = '00:1A:7D:DA:71:13'
        self.phone_on_gw = self.GW + '/dev_' + self.phone_address.replace(':', '_')
        self.adapters = ('hci0', 'hci1')[:controllers - 1]
        self.earlier = []
        self.bonds = {}
        self.io_present = True
        self.gw.start_bus()
        self.start_bluez()

    def start_bluez(self):
        '''Like bluetoothd: the name first, the adapters once the daemon has
        seen it back (a first start exports them at once).'''
        devices = [(name, self.phone_address, 'Phone') for name in self.adapters]
        if self.gw.daemon is None:
            self.gw.start_bluez(self.adapters, devices)
        else:
            start = len(self.gw.syslog.lines)
            self.gw.start_bluez((), ())
            self.gw.syslog.wait_for(facts.BLUEZ_BACK_WITHOUT_ADAPTER[1], start=start)
            for name in self.adapters:
                self.gw.mock.AddAdapter(name, name)
            for device in devices:
                path = f'/org/bluez/{device[0]}/dev_' + device[1].replace(':', '_')
                if path in self.bonds:
                    self.gw.mock.LoadBond(*device, self.bonds[path])
                else:
                    self.gw.mock.AddDevice(*device)
        self.gw.set_pair_behaviour(passkey=0)

    def stop_bluez(self):
        '''Its bonds stored (and whether trusted), as bluetoothd keeps them.'''
        self.bonds = {path: self.device_flag(path, 'Trusted') for path, interfaces in
                      self.objects().items() if interfaces.get(DEVICE, {}).get('Paired')}
        self.gw.stop_bluez(remove_adapters=True)
        self.earlier += self.gw.calls()  # a new simulator keeps a log of its own

    def follow_selected(self, start):
        pass

    # D-Bus
    def get(self, path, interface, name):
        return self.gw.property(path, interface, name)

    def set(self, path, interface, name, value):
        self.gw.bus.call_blocking('org.bluez', path, 'org.freedesktop.DBus.Properties', 'Set',
                                  'ssv', (interface, name, value))

    def objects(self):
        return plain(self.gw.bus.call_blocking(
            'org.bluez', '/', 'org.freedesktop.DBus.ObjectManager', 'GetManagedObjects', '', ()))

    def device_flag(self, path, name):
        return bool(self.gw.property(path, DEVICE, name))

    # what the daemon did
    def calls(self, start=0):
        return (self.earlier + (self.gw.calls() if self.gw.sim else []))[start:]

    def log(self, start=0):
        return self.gw.syslog.lines[start:]

    def mark(self):
        return len(self.calls())

    def log_mark(self):
        return len(self.log())

    # the daemon
    def start_daemon(self, settings=facts.settings(SYSLOGLEV=4), gpio=None, io_exit=0):
        self.gw.settings(settings)
        self.gw.io_tool(exit=io_exit, present=self.io_present)
        if gpio is not None:
            self.gw.gpio(gpio)
        self.earlier = []
        self.gw.start_daemon()
        # Its notice follows the registration: a log mark taken before it would count it.
        wait_until(lambda: facts.started(settings, self.log()) or self.gw.daemon.poll() is not None,
                   10, "the daemon's start notice")

    def gpio(self, levels):
        self.gw.gpio(levels)

    def stop_daemon(self, sig=signal.SIGTERM):
        self.gw.signal(sig)
        status = self.gw.wait_exit()
        self.gw.syslog.sync()
        return status

    def daemon_output(self):
        return self.gw.daemon_out.read_text(errors='replace')

    def daemon_children(self):
        return self.gw.daemon_children()

    def io_calls(self):
        return self.gw.io_calls()

    def gpio_log(self):
        return self.gw.gpio_log()

    def request_pipe(self):
        return str(self.gw.request_pipe)

    def remove_io_tool(self):
        self.io_present = False

    def bluez_times_out(self, names):
        '''BlueZ turns NAMES off by itself, as bluetoothd's time-outs do.'''
        for name in names:
            self.gw.set_property(self.GW, ADAPTER, name, False)
            self.gw.emit_properties_changed(self.GW, ADAPTER, {name: dbus.Boolean(False)})

    def cpu(self, seconds):  # pylint: disable=unused-argument
        return {}

    def figure(self, text):
        print(text)

    # the web road
    def web_pair(self, address):
        proc = self.gw.spawn(self.gw.target_command(self.gw.client_path) + [
            '--json', '--timeout', '60', address], sandboxed=True, stdout=subprocess.PIPE)
        out, _ = proc.communicate(timeout=90)
        return proc.returncode, [json.loads(line) for line in out.decode().splitlines()]

    def web_pair_phone(self):
        return self.web_pair(self.phone_address)

    # the phone
    def other_agent(self):
        helper = self.gw.spawn([PYTHON, '-u', str(PHONE_HELPER), 'agent', 'DisplayYesNo'],
                               stdout=subprocess.PIPE, text=True)
        assert helper.stdout.readline().strip() == 'ready'
        return helper

    def phone_visible(self):
        pass

    def phone_finds(self, adapter, make_discoverable=True):
        if make_discoverable:
            self.set(adapter, ADAPTER, 'Discoverable', True)

    def phone_forgets_gateway(self):
        '''Both bonds removed; the gateway finds the phone again.'''
        self.gw.bus.call_blocking('org.bluez', self.GW, ADAPTER, 'RemoveDevice', 'o',
                                  (self.phone_on_gw,))
        self.gw.mock.AddDevice(self.GW.rsplit('/', 1)[1], self.phone_address, 'Phone')

    def phone_reconnects(self):
        self.gw.mock.ReconnectDevice('hci0', self.phone_address)
        wait_until(lambda: self.device_flag(self.phone_on_gw, 'ServicesResolved'), 10,
                   "the gateway to resolve the phone's services")

    def phone_pair(self, target=None):
        try:
            self.gw.mock.PairDevice((target or self.GW).rsplit('/', 1)[1], self.phone_address,
                                    0x5a020c)
            return 'ok'
        except dbus.DBusException as error:
            return error.get_dbus_name()

    def phone_out_of_range(self, gone=True):
        self.gw.set_pair_behaviour(
            mode='direct' if gone else 'confirm', passkey=0,
            error_name='org.bluez.Error.ConnectionAttemptFailed' if gone else '')

    def serve_nap(self):
        pass

    def phone_connects_nap(self):
        return str(self.gw.mock.ConnectNap('hci0', self.phone_address))

    def phone_connects_serial(self):
        call = self.gw.call_agent('AuthorizeService', 'os', [self.phone_on_gw, SERIAL_UUID])
        return self.gw.agent_answer(call)[1]

    # the phones with hosts of their own: here, the simulator's devices
    def raw_phones(self, stranger=False, reject=False):
        '''The requested phone and, if asked, a stranger, both in range of the
        gateway. REJECT: the phone rejects the passkey (the simulator asks the
        caller's agent alone: the outcome is the phone's).'''
        if reject:
            self.gw.set_pair_behaviour(passkey=0, error_name='org.bluez.Error.AuthenticationFailed')
        if stranger:
            self.stranger_address = '00:1A:7D:DA:71:77'
            self.stranger_on_gw = self.GW + '/dev_' + self.stranger_address.replace(':', '_')
            self.stranger_in_range()

    def stranger_in_range(self):
        '''The stranger's device object, again after the daemon removed it (as
        bluetoothd makes one when the stranger connects).'''
        if self.stranger_on_gw not in self.objects():
            self.gw.mock.AddDevice('hci0', self.stranger_address, 'Stranger')
            self.gw.set_property(self.stranger_on_gw, DEVICE, 'Bonded', dbus.Boolean(False))

    def phone_holds_pairing(self):
        self.held_from = self.mark()
        self.gw.set_pair_behaviour(mode='hold', passkey=0)

    def phone_held(self):
        self.gw.wait_for_call('Pair', lambda call: call.path == self.phone_on_gw, timeout=30,
                              start=self.held_from)

    def phone_answers(self, accept):
        '''The held pairing let through (the passkey confirmed on both sides) or refused.'''
        if accept:  # asked of the agent of Pair's caller
            call = self.gw.call_agent('RequestConfirmation', 'ou', [self.phone_on_gw, 0],
                                      self.gw.daemon_name(), '/org/bluez/agent_router')
            assert self.gw.agent_answer(call)[0] == 'return', 'the passkey not confirmed'
        self.gw.release_pairs('' if accept else 'org.bluez.Error.AuthenticationFailed', 'before')
        self.gw.set_pair_behaviour(passkey=0)

    def stranger_pairs(self, capability, unasked=False):
        '''The stranger pairs with the gateway: (paired, the agent's answer: an
        error name, '' for a plain return, None when it was not asked). UNASKED:
        bonded without an agent call, as Linux 5.10 lets a Just Works one in.'''
        self.stranger_in_range()
        if unasked:
            self.gw.set_property(self.stranger_on_gw, DEVICE, 'Paired', True)
            self.gw.emit_properties_changed(self.stranger_on_gw, DEVICE, {
                'Bonded': dbus.Boolean(True), 'Paired': dbus.Boolean(True)})
            return True, None
        method, signature = ASKED[capability]
        call = self.gw.call_agent(method, signature, [self.stranger_on_gw, 0][:len(signature)])
        state, error, _ = self.gw.agent_answer(call)
        return False, error if state == 'error' else ''

    def close(self):
        self.gw.close()

