'''BlueZ for the simulated gateway: dbusmock's bluez5 template plus what a test needs to steer it.

Load it by path:  /usr/bin/python3 -m dbusmock --system --template sim/bluez_sim.py

The stock template answers like a bluetoothd that never asks an agent
anything. Here a low-level message filter on the simulator's connection sees
every incoming call before dbusmock's objects do (calls to objects that do not
exist included); it records the call, applies injected failures and canned
replies, and does what needs the caller's unique name or a late answer:
agents kept per connection, and Device1.Pair that first asks an agent.

Control interface "org.pairgate.Sim1" on "/" (its calls are not recorded,
nor those on org.bluez.Mock and org.freedesktop.DBus.Mock):
  GetLogWithSignatures(u start) -> a(sssssav)   recorded calls from index
                                       START on: (sender, path, interface,
                                       member, signature, args)
  Senders() -> a{su}                   unique name -> pid of every caller
  FailMethod(s interface, s member, s error_name, s message, i count)
                                       the next COUNT calls (< 0: all) of that
                                       method on any path get that error
  ClearFailures()
  SetObjectPaths(as paths)             GetManagedObjects returns exactly these,
                                       in this order
  SetReply(s interface, s member, s signature, av args)   answer with these
  Agents() -> a(sos)                   (sender, agent path, capability)
  CallAgent(s method, s signature, av args, s destination, s path) -> u id
                                       BlueZ calls org.bluez.Agent1.METHOD; an
                                       empty destination or path means the
                                       default agent, which bluetoothd asks
                                       for what no Pair of a client asked
  AgentAnswer(u id) -> (s state, s error_name, s error_message)
                                       state "pending", "return" or "error"
  SetAgentTimeout(d seconds)           how long BlueZ waits for an agent (60)
                                       before it calls Cancel on it
  SetPairBehaviour(s mode, u passkey, s error_name, s paired_signal)
                                       mode "confirm", "direct" or "hold";
                                       paired_signal "before" (bluetoothd's
                                       order, the default), "after", "none"
  ReleasePairs(s error_name, s paired_signal) -> u
                                       answers every Pair that "hold" kept:
                                       success, or ERROR_NAME; the count
                                       (Device1.CancelPairing fails a kept
                                       Pair of its device at once)
  PairConfirmations() -> a(ssssss)     per Pair in "confirm" mode: (device,
                                       agent's unique name, agent path, state,
                                       error name, error message) of its
                                       RequestConfirmation; state "none" and
                                       no agent when there was none to ask
  EmitPropertiesChanged(o path, s interface, a{sv} changed, as invalidated)
  GetProperty(o path, s interface, s name) -> v
  SetProperty(o path, s interface, s name, v value)   silently, no signal
  SetResponderDelay(d seconds)         how long after {Connected, Bonded} a
                                       pairing the device started shows
                                       Paired (1.3)
  RemoveAdaptersOnStop(b remove)       on SIGTERM, also announce every
                                       adapter removed (InterfacesRemoved)
                                       before its agents are released
  SetAnswerDelay(d seconds)            every BlueZ call is answered that much
                                       later, one after the other (a slow or
                                       busy bluetoothd); 0 by default
On org.bluez.Mock, what a phone does to the gateway:
  PairDevice(s adapter, s address, i class)   it pairs (Just Works)
  PairDeviceWithoutBonding(s adapter, s address)   it pairs asking no
                                       bonding (its own adapter not pairable)
  ConnectNap(s adapter, s address) -> s       it connects to NAP; its
                                       network interface, or the error
  LoadBond(s adapter, s address, s alias, b trusted)   a stored bond, as a
                                       starting bluetoothd exports it
  ReconnectDevice(s adapter, s address)   a bonded device connects again
What bluetoothd 5.66 was seen to do, and the simulator does too:
  - every adapter is pairable while there is a default agent, and turns
    non-pairable when there is none; the first agent to register becomes the
    default by itself, any other only by RequestDefaultAgent; an agent that
    is not the default changes nothing, coming or going; when the default
    goes while another agent is registered, that one becomes the default and
    every adapter is made pairable again, whatever a client had set; a new
    adapter is pairable (and powered) with a default agent, not without;
  - it announces such a change of Pairable one call late: after the reply to
    the call that made it, during the next call or some 10 ms later; a Set
    is answered before its change is announced;
  - Pair of a paired device fails with org.bluez.Error.AlreadyExists, of an
    address with no device object with org.freedesktop.DBus.Error.UnknownObject,
    and with no agent anywhere at once with AuthenticationFailed;
  - an agent that does not answer within 60 s is sent Cancel, and the Pair
    that asked it then fails with AuthenticationFailed;
  - a Pair brings the link up (Connected) before the agent is asked, then
    announces {Bonded, UUIDs, ServicesResolved, Paired} just before its
    reply, without Bonded when its adapter is not pairable; a failed one is
    followed by Connected false;
  - a device it had not found that pairs is exported already paired,
    bonded and connected, and announced Paired again after service discovery;
  - a stored bond is exported paired and bonded (trusted as stored), its
    services not resolved; reconnected, it is announced Paired again once
    they are;
  - a pairing the device started shows {Connected, Bonded} at once and
    Paired after service discovery, 1.2 to 1.6 s later; while the adapter
    is not pairable it fails with AuthenticationFailed, unless it asks no
    bonding: the kernel lets that one through whatever Pairable, and it ends
    Paired but not Bonded (let through on 5.66 and 5.82; not Bonded on 5.82);
  - a device's NAP connect makes the network server ask the default agent
    AuthorizeService with the BNEP UUID, only when the device is not
    trusted; a refusal fails the connect;
  - on SIGTERM the adapters are powered off (Powered and Discovering false)
    before every agent is released, then the name goes; started again, it
    takes the name first and exports its adapters 0.3 s later;
  - a second RegisterAgent from a connection that has an agent fails with
    org.bluez.Error.AlreadyExists, and a second StartDiscovery on an adapter
    from a client whose discovery runs there with org.bluez.Error.InProgress.
What has not yet been measured on a real bluetoothd is marked so below.
Order of answering a recorded call: injected failure, canned reply, the
behaviours below, then dbusmock's objects. org.bluez.Mock keeps bluez5's
AddDevice and the others; AddAdapter is replaced so that any adapter name
works, and PairDevice to give bluetoothd's order of Bonded and Paired.

Parameter (dbusmock's -p, JSON): "answer_delay" (seconds, as
SetAnswerDelay). Run as a script (python3 bluez_sim.py [PARAMETERS]), the
simulator sets up everything, prints "PID standing by" and takes org.bluez
(from whoever owns it) only when its standard input becomes readable:
restarts a few milliseconds apart. The adapters (parameter "adapters",
names) and devices ("devices", [adapter, address, alias] each) follow the
name 0.3 s later.
'''

import json
import os
import re
import signal
import sys
import time
import traceback

import dbus
import dbus.lowlevel
from dbusmock import MOCK_IFACE, OBJECT_MANAGER_IFACE, mockobject
from dbusmock.templates import bluez5
from gi.repository import GLib

BUS_NAME = bluez5.BUS_NAME
MAIN_OBJ = '/'
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

SIM_IFACE = 'org.pairgate.Sim1'
SIM_ERROR = 'org.pairgate.Sim1.Error'
AGENT_IFACE = 'org.bluez.Agent1'
AGENT_MANAGER_PATH = '/org/bluez'
CAPABILITIES = ('DisplayOnly', 'DisplayYesNo', 'KeyboardOnly', 'NoInputNoOutput',
                'KeyboardDisplay')
INVALID_ARGS = 'org.freedesktop.DBus.Error.InvalidArgs'
AUTH_FAILED = 'org.bluez.Error.AuthenticationFailed'
CONNECTION_FAILED = 'org.bluez.Error.ConnectionAttemptFailed'
BNEP_UUID = '0000000f-0000-1000-8000-00805f9b34fb'
# How long bluetoothd waits for an agent's answer before it calls Cancel on
# the agent and fails the request (a Pair: 60.27 s to AuthenticationFailed).
AGENT_TIMEOUT_S = 60.0
NO_REPLY = 'org.freedesktop.DBus.Error.NoReply'
# From {Connected, Bonded} to Paired of a pairing the device started:
# bluetoothd's service discovery took 1.16 to 1.59 s.
RESPONDER_DELAY_S = 1.3
# A change bluetoothd asks of the kernel (Pairable as the default agent comes
# and goes) is announced when the kernel has answered: after the reply to the
# call that made it, during the next call or some 10 to 25 ms later.
KERNEL_ANSWER_S = 0.01
# A starting bluetoothd exports its adapters this long after taking its name.
EXPORT_DELAY_S = 0.3
# The services a phone announces once they are resolved (GAP, GATT, Device
# Information): the traces leave them out, any list does. Its Modalias is the
# one seen.
PEER_UUIDS = ['00001800-0000-1000-8000-00805f9b34fb', '00001801-0000-1000-8000-00805f9b34fb',
              '0000180a-0000-1000-8000-00805f9b34fb']
PEER_MODALIAS = 'usb:v1D6Bp0246d0542'

HANDLED = dbus.lowlevel.HANDLER_RESULT_HANDLED
NOT_YET_HANDLED = dbus.lowlevel.HANDLER_RESULT_NOT_YET_HANDLED

# The stock template's convenience methods on org.bluez.Mock (AddTemplate
# picks every D-Bus method found in this module). AddAdapter is our own.
AddDevice = bluez5.AddDevice
RemoveAdapter = bluez5.RemoveAdapter
RemoveAdapterWithDevices = bluez5.RemoveAdapterWithDevices
BlockDevice = bluez5.BlockDevice
ConnectDevice = bluez5.ConnectDevice
DisconnectDevice = bluez5.DisconnectDevice


class SimError(Exception):
    '''A call to the simulator that it answers with a D-Bus error.'''

    def __init__(self, message, name=INVALID_ARGS):
        super().__init__(message)
        self.name = name


# ---------------------------------------------------------------- adapters


def _discovering(adapter, value):
    props = adapter.props[bluez5.ADAPTER_IFACE]
    props['Discovering'] = dbus.Boolean(value, variant_level=1)
    adapter.EmitSignal(dbus.PROPERTIES_IFACE, 'PropertiesChanged', 'sa{sv}as', [
        bluez5.ADAPTER_IFACE, {'Discovering': props['Discovering']}, []])


IN_PROGRESS = 'org.bluez.Error.InProgress'


# The stock methods need SetDiscoveryFilter to have been called first.
def StartDiscovery(adapter):
    _discovering(adapter, True)


def StopDiscovery(adapter):
    _discovering(adapter, False)


def _adapter_address(name):
    # Any name works, also "hci" or a very long one: the address only has to
    # look like one.
    n = sum(name.encode()) % 200
    return ':'.join(f'{n + i:02X}' for i in range(6))


@dbus.service.method(bluez5.BLUEZ_MOCK_IFACE, in_signature='ss', out_signature='s')
def AddAdapter(self, device_name, system_name):
    '''Add an adapter /org/bluez/DEVICE_NAME; returns its path.'''
    path = '/org/bluez/' + device_name
    dbus.ObjectPath(path)  # refuses a name that makes no valid path
    sim = getattr(self, 'sim', None)
    props = {
        'Address': dbus.String(_adapter_address(device_name), variant_level=1),
        'AddressType': dbus.String('public', variant_level=1),
        'Name': dbus.String(system_name, variant_level=1),
        'Alias': dbus.String(system_name, variant_level=1),
        'Class': dbus.UInt32(268, variant_level=1),
        'Powered': dbus.Boolean(True, variant_level=1),
        'Discoverable': dbus.Boolean(False, variant_level=1),
        'DiscoverableTimeout': dbus.UInt32(180, variant_level=1),
        # A fresh controller is not bondable; a default agent makes it so.
        'Pairable': dbus.Boolean(bool(sim and sim.default_agent), variant_level=1),
        'PairableTimeout': dbus.UInt32(0, variant_level=1),
        'Discovering': dbus.Boolean(False, variant_level=1),
        'UUIDs': dbus.Array([], signature='s', variant_level=1),
        'Modalias': dbus.String('usb:v1D6Bp0245d050A', variant_level=1),
    }
    self.AddObject(path, bluez5.ADAPTER_IFACE, props, [
        ('RemoveDevice', 'o', '', bluez5.RemoveDevice),
        ('StartDiscovery', '', '', StartDiscovery),
        ('StopDiscovery', '', '', StopDiscovery),
        ('SetDiscoveryFilter', 'a{sv}', '', bluez5.SetDiscoveryFilter),
    ])
    self.EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesAdded', 'oa{sa{sv}}', [
        dbus.ObjectPath(path), {bluez5.ADAPTER_IFACE: props}])
    if sim:
        sim.discovering.pop(path, None)  # a new adapter: no discovery runs
    return path


def _variant(value):
    '''VALUE as dbusmock keeps a property.'''
    if isinstance(value, bool):
        return dbus.Boolean(value, variant_level=1)
    if isinstance(value, list):
        return dbus.Array(value, signature='s', variant_level=1)
    return dbus.String(value, variant_level=1)


def _device(adapter_device_name, device_address):
    path = f'/org/bluez/{adapter_device_name}/dev_' + device_address.replace(':', '_').upper()
    device = mockobject.objects.get(path)
    return device if device is not None and bluez5.DEVICE_IFACE in device.props else None


def _known_device(adapter_device_name, device_address):
    device = _device(adapter_device_name, device_address)
    if device is None:
        raise dbus.exceptions.DBusException(f'no device {device_address} on {adapter_device_name}',
                                            name=bluez5.BLUEZ_MOCK_IFACE + '.NoSuchDevice')
    return device


@dbus.service.method(bluez5.BLUEZ_MOCK_IFACE, in_signature='ssi', out_signature='')
def PairDevice(self, adapter_device_name, device_address, class_):
    '''A pairing the device started (Just Works: no agent is asked). Refused
    with AuthenticationFailed while the adapter is not pairable; otherwise
    {Connected, Bonded} at once and Paired after service discovery.'''
    device = _device(adapter_device_name, device_address)
    adapter = mockobject.objects.get(f'/org/bluez/{adapter_device_name}')
    if device is None and adapter and adapter.props[bluez5.ADAPTER_IFACE]['Pairable']:
        # One the gateway had not found: made by the pairing, once it has made its keys.
        self.sim.after_services(_export(self, adapter_device_name, device_address, 'Phone',
                                        Paired=True, Bonded=True, Connected=True))
        return
    if device is None:
        bluez5.PairDevice(self, adapter_device_name, device_address, class_)  # its errors
        return
    self.sim.pair_from_device(device, bool(adapter.props[bluez5.ADAPTER_IFACE]['Pairable']))


@dbus.service.method(bluez5.BLUEZ_MOCK_IFACE, in_signature='ss', out_signature='')
def PairDeviceWithoutBonding(self, adapter_device_name, device_address):
    '''A pairing the device started asking no bonding, as a device whose own
    adapter is not pairable does: let through whatever the adapter's Pairable;
    Connected at once, Paired after service discovery, never Bonded.'''
    device = _known_device(adapter_device_name, device_address)
    self.sim.pair_from_device(device, pairable=True, bonding=False)


def _export(mock, adapter_device_name, device_address, alias, **state):
    '''A new device object exported already in STATE (not as found).'''
    emit = mock.EmitSignal

    def exported(interface, member, signature, args):
        args[1][bluez5.DEVICE_IFACE].update({k: _variant(v) for k, v in state.items()})
        emit(interface, member, signature, args)

    mock.EmitSignal = exported
    try:
        path = bluez5.AddDevice(mock, adapter_device_name, device_address, alias)
    finally:
        del mock.EmitSignal
    Simulator.store(path, bluez5.DEVICE_IFACE, state)
    mockobject.objects[path].paired = state.get('Paired', False)
    return mockobject.objects[path]


@dbus.service.method(bluez5.BLUEZ_MOCK_IFACE, in_signature='sssb', out_signature='s')
def LoadBond(self, adapter_device_name, device_address, alias, trusted):
    '''A stored bond as bluetoothd loads it: exported paired and bonded,
    trusted as stored, its services not resolved yet in this run.'''
    return _export(self, adapter_device_name, device_address, alias, Paired=True, Bonded=True,
                   Trusted=bool(trusted)).path


@dbus.service.method(bluez5.BLUEZ_MOCK_IFACE, in_signature='ss', out_signature='')
def ReconnectDevice(self, adapter_device_name, device_address):
    '''A bonded device connects again.'''
    device = _known_device(adapter_device_name, device_address)
    self.sim.link_up(device)
    if not device.props[bluez5.DEVICE_IFACE].get('ServicesResolved'):
        self.sim.after_services(device)


@dbus.service.method(bluez5.BLUEZ_MOCK_IFACE, in_signature='ss', out_signature='s',
                     async_callbacks=('done', 'failed'))
def ConnectNap(self, adapter_device_name, device_address, done, failed):
    '''The device's Network1.Connect("nap") to the adapter's network server;
    returns the device's network interface. bluetoothd asks the default agent
    to authorise BNEP for a device that is not trusted, and fails the connect
    with org.bluez.Error.Failed "Input/output error" when it is refused.'''
    device = _known_device(adapter_device_name, device_address)
    self.sim.connect_nap(device, done, failed)


# ------------------------------------------------------- argument checking


def _check_value(sig, value):
    '''Raises SimError unless VALUE can be appended as SIG.

    libdbus aborts the whole process on an invalid object path or signature
    given to append, and dbus-python does not check them first.'''
    code = sig[0]
    try:
        if code == 'o':
            dbus.ObjectPath(value)
        elif code == 'g':
            dbus.Signature(value)
        elif code == 'a' and sig[1] == '{':
            key, val = list(dbus.Signature(sig[2:-1]))
            for k, v in dict(value).items():
                _check_value(key, k)
                _check_value(val, v)
        elif code == 'a':
            for v in value:
                _check_value(sig[1:], v)
        elif code == '(':
            fields = list(dbus.Signature(sig[1:-1]))
            if len(fields) != len(value):
                raise SimError(f'struct {sig} needs {len(fields)} fields')
            for f, v in zip(fields, value):
                _check_value(f, v)
    except (TypeError, ValueError) as e:
        raise SimError(f'{value!r} is no valid {sig}: {e}') from e


def _check_args(signature, args):
    try:
        types = list(dbus.Signature(signature))
    except ValueError as e:
        raise SimError(f'invalid signature {signature!r}') from e
    if len(types) != len(args):
        raise SimError(f'signature {signature!r} needs {len(types)} arguments, got {len(args)}')
    for sig, value in zip(types, args):
        _check_value(str(sig), value)


def _message_with_args(msg, signature, args):
    _check_args(signature, args)
    try:
        if args:
            msg.append(*args, signature=signature)
    except (TypeError, ValueError, OverflowError, dbus.exceptions.DBusException) as e:
        raise SimError(f'arguments do not fit {signature!r}: {e}') from e
    return msg


_ELEMENT = re.compile(r'[A-Za-z_][A-Za-z0-9_]*')


def _check_error_name(name):
    # The rule for interface names; a name without a dot cannot travel on a
    # bus at all (libdbus and dbus-daemon both refuse it).
    parts = name.split('.')
    if len(name) > 255 or len(parts) < 2 or not all(_ELEMENT.fullmatch(p) for p in parts):
        raise SimError(f'invalid error name {name!r}')


# ---------------------------------------------------------------- records


class Agent:
    '''One RegisterAgent that is still in force.'''

    def __init__(self, sender, path, capability):
        self.sender = sender
        self.path = path
        self.capability = capability


class AgentCall:
    '''A call from BlueZ to an agent and, once it came, the agent's answer.'''

    def __init__(self, destination, path, method):
        self.destination = destination
        self.path = path
        self.method = method
        self.state = 'pending'
        self.error_name = ''
        self.error_message = ''
        self.pending = None

    def answered(self, reply):
        if reply.get_type() == dbus.lowlevel.MESSAGE_TYPE_ERROR:
            self.state = 'error'
            self.error_name = reply.get_error_name() or ''
            args = reply.get_args_list()
            self.error_message = str(args[0]) if args and isinstance(args[0], str) else ''
        else:
            self.state = 'return'
        self.pending = None

    def timed_out(self):
        self.state = 'error'
        self.error_name = NO_REPLY
        self.error_message = 'Did not receive a reply'
        self.pending = None

    def answer(self):
        return (self.state, self.error_name, self.error_message)


class PairConfirmation:
    '''What became of the RequestConfirmation that one Pair call made.'''

    def __init__(self, device_path, call):
        self.device_path = device_path
        self.call = call  # None when no agent was there to ask

    def row(self):
        if self.call is None:
            return (self.device_path, '', '', 'none', '', '')
        return (self.device_path, self.call.destination, self.call.path, *self.call.answer())


class PairBehaviour:
    def __init__(self, mode='confirm', passkey=123456, error_name='', paired_signal='before'):
        self.mode = mode
        self.passkey = passkey
        self.error_name = error_name
        self.paired_signal = paired_signal


# ---------------------------------------------------------------- simulator


class Simulator:
    '''The state behind org.pairgate.Sim1 and the message filter.'''

    def __init__(self, mock):
        self.mock = mock
        self.conn = mock.connection
        self.log = []  # (sender, path, interface, member, signature, args)
        self.pids = {}  # unique name -> pid, for every caller seen
        self.failures = {}  # (interface, member) -> [error name, message, count]
        self.replies = {}  # (interface, member) -> (signature, args)
        self.object_paths = None  # None: every object, as dbusmock does
        self.agents = []  # in registration order
        self.defaults = []  # agents made the default, the default of now last
        self.announcements = []  # (path, interface, changed) the kernel has not answered yet
        self._announce_timer = None
        self.agent_calls = []  # id n is agent_calls[n - 1]
        self.pair_behaviour = PairBehaviour()
        self.pair_confirmations = []
        self.held_pairs = []  # Pair calls that "hold" never answers
        self.agent_timeout_s = AGENT_TIMEOUT_S
        self.responder_delay_s = RESPONDER_DELAY_S
        self.remove_adapters_on_stop = False
        self.discovering = {}  # adapter path -> unique names whose discovery runs there
        self.answer_delay_s = 0.0
        self._filter = self.filter
        self.conn.add_message_filter(self._filter)
        # Listed on "/" only so that introspection gives clients the
        # signatures; the filter answers every call before dbusmock sees it.
        for name, (in_sig, out_sig, _method) in self.CONTROL.items():
            mock.AddMethod(SIM_IFACE, name, in_sig, out_sig, '')
        self._owner_watch = self.conn.add_signal_receiver(
            self.name_owner_changed, 'NameOwnerChanged', 'org.freedesktop.DBus',
            'org.freedesktop.DBus', '/org/freedesktop/DBus')
        self._stop_watch = GLib.unix_signal_add(GLib.PRIORITY_HIGH, signal.SIGTERM, self.stop)

    def close(self):
        self.conn.remove_message_filter(self._filter)
        self._owner_watch.remove()
        GLib.source_remove(self._stop_watch)
        if self._announce_timer:
            GLib.source_remove(self._announce_timer)

    @property
    def default_agent(self):
        return self.defaults[-1] if self.defaults else None

    def stop(self):
        '''SIGTERM, as bluetoothd stops: its adapters made undiscoverable, their
        devices disconnected, the adapters powered off (and, if asked, removed),
        then its agents released, then off the bus without answering anything
        else.'''
        self.announce_now()
        adapters = self.adapters()
        for path, props in adapters:
            if props['Discoverable']:
                self.change(path, bluez5.ADAPTER_IFACE, {'Discoverable': False})
        for path, obj in list(mockobject.objects.items()):
            if obj.props.get(bluez5.DEVICE_IFACE, {}).get('Connected'):
                self.change(path, bluez5.DEVICE_IFACE, {'ServicesResolved': False,
                                                        'Connected': False})
        for path, props in adapters:
            self.change(path, bluez5.ADAPTER_IFACE, {'Powered': False, 'Discovering': False})
        if self.remove_adapters_on_stop:
            for path, _props in adapters:
                self.mock.EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesRemoved', 'oas', [
                    dbus.ObjectPath(path), dbus.Array(mockobject.objects[path].props.keys(),
                                                      signature='s')])
        for agent in self.agents:
            self.send(dbus.lowlevel.MethodCallMessage(agent.sender, agent.path, AGENT_IFACE,
                                                      'Release'))
        self.conn.flush()
        print(f'{time.time():.3f} pairgate BlueZ simulator stopped', flush=True)
        os._exit(0)

    # -------------------------------------------------------- the filter

    def filter(self, _conn, msg):
        if msg.get_type() != dbus.lowlevel.MESSAGE_TYPE_METHOD_CALL:
            return NOT_YET_HANDLED
        interface = msg.get_interface() or ''
        if interface in (MOCK_IFACE, bluez5.BLUEZ_MOCK_IFACE):
            return NOT_YET_HANDLED
        try:
            if interface == SIM_IFACE:
                return self.control_call(msg)
            self.record(msg)
            return self.bluez_call(msg, interface, msg.get_member())
        except SimError as e:
            self.send(dbus.lowlevel.ErrorMessage(msg, e.name, str(e)))
            return HANDLED
        except Exception as e:  # pylint: disable=broad-except
            # A fault of the simulator must show, not hang the caller.
            traceback.print_exc()
            sys.stderr.flush()
            self.send(dbus.lowlevel.ErrorMessage(msg, SIM_ERROR + '.Internal', repr(e)))
            return HANDLED

    def send(self, msg):
        self.conn.send_message(msg)

    def record(self, msg):
        sender = msg.get_sender() or ''
        try:
            args = msg.get_args_list()
        except Exception:  # pylint: disable=broad-except
            args = []
        self.log.append((sender, msg.get_path() or '', msg.get_interface() or '',
                         msg.get_member() or '', msg.get_signature() or '', args))
        if sender and sender not in self.pids:
            self.learn_pid(sender)

    def learn_pid(self, sender):
        # Asked before this call is answered, so the caller is still there
        # when the bus looks it up (it waits for our answer or sent after it).
        self.pids[sender] = 0

        def got(pid):
            self.pids[sender] = int(pid)

        self.conn.call_async('org.freedesktop.DBus', '/org/freedesktop/DBus',
                             'org.freedesktop.DBus', 'GetConnectionUnixProcessID', 's',
                             (sender,), got, lambda _e: None)

    def bluez_call(self, msg, interface, member):
        if self.answer_delay_s:
            time.sleep(self.answer_delay_s)
        self.announce_now()  # the kernel's answers came in meanwhile
        failure = self.failures.get((interface, member))
        if failure and failure[2] != 0:
            if failure[2] > 0:
                failure[2] -= 1
            self.send(dbus.lowlevel.ErrorMessage(msg, failure[0], failure[1]))
            return HANDLED
        canned = self.replies.get((interface, member))
        if canned:
            reply = dbus.lowlevel.MethodReturnMessage(msg)
            if canned[1]:
                reply.append(*canned[1], signature=canned[0])
            self.send(reply)
            return HANDLED
        handler = self.BEHAVIOURS.get((interface, member))
        if handler:
            return handler(self, msg)
        return NOT_YET_HANDLED

    # ------------------------------------------------- BlueZ's behaviours

    def get_managed_objects(self, msg):
        if self.object_paths is None or msg.get_path() != '/':
            return NOT_YET_HANDLED
        result = {}
        for path in self.object_paths:
            obj = mockobject.objects.get(path)
            props = obj.props if obj is not None and path != '/' else {}
            result[dbus.ObjectPath(path)] = {
                iface: dbus.Dictionary(p, signature='sv') for iface, p in props.items()}
        reply = dbus.lowlevel.MethodReturnMessage(msg)
        reply.append(dbus.Dictionary(result, signature='oa{sa{sv}}'), signature='a{oa{sa{sv}}}')
        self.send(reply)
        return HANDLED

    def properties_set(self, msg):
        # Like bluetoothd: a value of the wrong type is refused, not stored.
        if msg.get_signature() != 'ssv':
            raise SimError('Set needs (ssv), got ' + repr(msg.get_signature()))
        interface, name, value = msg.get_args_list()
        obj = mockobject.objects.get(msg.get_path())
        old = obj.props.get(interface, {}).get(name) if obj is not None else None
        if old is None:
            return NOT_YET_HANDLED  # dbusmock's errors for what is not there
        if type(old) is not type(value):
            raise SimError(f'{name} is a {type(old).__name__}, not a {type(value).__name__}',
                           'org.bluez.Error.InvalidArguments')
        obj.props[interface][name] = value
        self.send(dbus.lowlevel.MethodReturnMessage(msg))
        if old != value:  # bluetoothd announces a property only when its value changes
            self.emit_properties_changed(msg.get_path(), interface, {name: value}, [])
        return HANDLED

    def agent_of(self, sender):
        return next((a for a in self.agents if a.sender == sender), None)

    def register_agent(self, msg):
        if msg.get_path() != AGENT_MANAGER_PATH:
            return NOT_YET_HANDLED
        if msg.get_signature() != 'os':
            raise SimError('RegisterAgent needs (os)')
        path, capability = msg.get_args_list()
        sender = msg.get_sender()
        if self.agent_of(sender):
            raise SimError('Already Exists', 'org.bluez.Error.AlreadyExists')
        if capability not in CAPABILITIES:
            raise SimError('Invalid arguments in method call', 'org.bluez.Error.InvalidArguments')
        agent = Agent(sender, str(path), str(capability))
        self.agents.append(agent)
        self.send(dbus.lowlevel.MethodReturnMessage(msg))
        if self.default_agent is None:  # the first agent becomes the default by itself
            self.make_default(agent)
        return HANDLED

    def callers_agent(self, msg):
        '''The agent of the caller that its one argument (o) names.'''
        if msg.get_signature() != 'o':
            raise SimError(f'{msg.get_member()} needs (o)')
        agent = self.agent_of(msg.get_sender())
        if agent is None or agent.path != msg.get_args_list()[0]:
            raise SimError('Does Not Exist', 'org.bluez.Error.DoesNotExist')
        return agent

    def unregister_agent(self, msg):
        if msg.get_path() != AGENT_MANAGER_PATH:
            return NOT_YET_HANDLED
        agent = self.callers_agent(msg)
        self.send(dbus.lowlevel.MethodReturnMessage(msg))
        self.drop_agent(agent)
        return HANDLED

    def request_default_agent(self, msg):
        if msg.get_path() != AGENT_MANAGER_PATH:
            return NOT_YET_HANDLED
        agent = self.callers_agent(msg)
        self.send(dbus.lowlevel.MethodReturnMessage(msg))
        self.make_default(agent)
        return HANDLED

    def make_default(self, agent):
        '''Every adapter is bondable while there is a default agent.'''
        if self.default_agent is not agent:
            if agent in self.defaults:
                self.defaults.remove(agent)
            self.defaults.append(agent)
            self.set_pairable_everywhere(True)

    def drop_agent(self, agent):
        '''An agent that is not the default changes nothing. When the default
        goes, another registered agent takes over and every adapter is made
        pairable again; with none left, every adapter turns non-pairable. The
        one that takes over is the default before it, if still there, else
        the longest registered (with only one left, bluetoothd was seen to
        pick it; which of several it picks was not measured).'''
        was_default = self.default_agent is agent
        self.agents.remove(agent)
        if agent in self.defaults:
            self.defaults.remove(agent)
        if not was_default:
            return
        if self.default_agent is None and self.agents:
            self.defaults.append(self.agents[0])
        self.set_pairable_everywhere(self.default_agent is not None)

    def adapters(self):
        '''(path, Adapter1 properties) of every adapter, the newest first, in
        the order bluetoothd goes through its adapters.'''
        return [(path, obj.props[bluez5.ADAPTER_IFACE])
                for path, obj in reversed(list(mockobject.objects.items()))
                if bluez5.ADAPTER_IFACE in obj.props]

    def set_pairable_everywhere(self, value):
        for path, props in self.adapters():
            if bool(props.get('Pairable')) != value:
                props['Pairable'] = dbus.Boolean(value, variant_level=1)
                self.announce_later(path, bluez5.ADAPTER_IFACE, {'Pairable': props['Pairable']})

    def announce_later(self, path, interface, changed):
        '''A change the kernel makes: announced once it has answered.'''
        self.announcements.append((path, interface, changed))
        if self._announce_timer is None:
            self._announce_timer = GLib.timeout_add(int(KERNEL_ANSWER_S * 1000), self._answered)

    def _answered(self):
        self._announce_timer = None
        self.announce_now()
        return False

    def announce_now(self):
        if self._announce_timer is not None:
            GLib.source_remove(self._announce_timer)
            self._announce_timer = None
        pending, self.announcements = self.announcements, []
        for path, interface, changed in pending:
            self.emit_properties_changed(path, interface, changed, [])

    @staticmethod
    def store(path, interface, changed):
        '''Stores CHANGED on the object at PATH, silently; returns it as stored.'''
        changed = {name: _variant(value) for name, value in changed.items()}
        mockobject.objects[path].props[interface].update(changed)
        return changed

    def change(self, path, interface, changed):
        '''Stores CHANGED on the object at PATH and announces it at once.'''
        self.emit_properties_changed(path, interface, self.store(path, interface, changed), [])

    def name_owner_changed(self, name, _old, new):
        # bluetoothd forgets the agent of a connection that goes away.
        if not new and name.startswith(':'):
            agent = self.agent_of(name)
            if agent:
                self.drop_agent(agent)
            for clients in self.discovering.values():
                clients.discard(name)

    def start_discovery(self, msg):
        clients = self.discovering.setdefault(msg.get_path(), set())
        if msg.get_sender() in clients:
            raise SimError('Operation already in progress', IN_PROGRESS)
        if msg.get_path() in mockobject.objects:
            clients.add(msg.get_sender())
        return NOT_YET_HANDLED  # dbusmock's method: Discovering becomes true

    def stop_discovery(self, msg):
        self.discovering.get(msg.get_path(), set()).discard(msg.get_sender())
        return NOT_YET_HANDLED

    def pair_call(self, msg):
        device = mockobject.objects.get(msg.get_path())
        if device is None or bluez5.DEVICE_IFACE not in device.props:
            return NOT_YET_HANDLED  # the library's UnknownObject/UnknownMethod
        if msg.get_signature() != '':
            raise SimError('Pair takes no arguments')
        if getattr(device, 'paired', False):
            raise SimError('Already Exists', 'org.bluez.Error.AlreadyExists')
        behaviour = self.pair_behaviour
        if behaviour.mode == 'direct':  # Just Works, done at once
            self.finish_pair(msg, device, behaviour.error_name, behaviour.paired_signal)
            return HANDLED
        self.link_up(device)  # the link comes up before the agent is asked
        if behaviour.mode == 'hold':
            self.held_pairs.append(msg)
        else:
            self.confirm_pair(msg, device, behaviour)
        return HANDLED

    def confirm_pair(self, msg, device, behaviour):
        agent = self.agent_of(msg.get_sender()) or self.default_agent
        if agent is None:
            self.pair_confirmations.append(PairConfirmation(msg.get_path(), None))
            self.fail_pair(msg, device, AUTH_FAILED, 'Authentication Failed')
            return

        def answered(call):
            if call.state == 'return':
                self.finish_pair(msg, device, behaviour.error_name, behaviour.paired_signal)
            else:
                self.fail_pair(msg, device, AUTH_FAILED, 'Authentication Failed')

        call = self.call_agent('RequestConfirmation', 'ou',
                               [dbus.ObjectPath(msg.get_path()), dbus.UInt32(behaviour.passkey)],
                               agent.sender, agent.path, answered)
        self.pair_confirmations.append(PairConfirmation(msg.get_path(), call))

    def finish_pair(self, msg, device, error_name, paired_signal):
        '''Bonded, the services and Paired in one announcement, before the
        reply (PAIRED_SIGNAL "before"), after it, or not at all.'''
        if error_name:
            if error_name != CONNECTION_FAILED:
                self.link_up(device)
            self.fail_pair(msg, device, error_name, 'Simulated pairing failure')
            return
        device.paired = True
        changed = {} if self.connected(device) else {'Connected': True}
        if mockobject.objects[device.path.rsplit('/', 1)[0]].props[bluez5.ADAPTER_IFACE][
                'Pairable']:  # the kernel keeps the link key of a bondable adapter only
            changed['Bonded'] = True
        changed.update(UUIDs=PEER_UUIDS, ServicesResolved=True, Paired=True)
        changed = self.store(device.path, bluez5.DEVICE_IFACE, changed)
        if paired_signal == 'before':
            self.emit_properties_changed(device.path, bluez5.DEVICE_IFACE, changed, [])
        self.send(dbus.lowlevel.MethodReturnMessage(msg))
        if paired_signal == 'after':
            self.emit_properties_changed(device.path, bluez5.DEVICE_IFACE, changed, [])

    def fail_pair(self, msg, device, error_name, message):
        self.send(dbus.lowlevel.ErrorMessage(msg, error_name, message))
        self.link_down(device)

    @staticmethod
    def connected(device):
        return bool(device.props[bluez5.DEVICE_IFACE].get('Connected'))

    def link_up(self, device):
        if not self.connected(device):
            self.change(device.path, bluez5.DEVICE_IFACE, {'Connected': True})

    def link_down(self, device):
        if self.connected(device):
            self.change(device.path, bluez5.DEVICE_IFACE, {'Connected': False})

    def cancel_pairing(self, msg):
        '''Like bluetoothd: the Pair under way fails at once with
        AuthenticationCanceled; with none, DoesNotExist.'''
        device = mockobject.objects.get(msg.get_path())
        if device is None or bluez5.DEVICE_IFACE not in device.props:
            return NOT_YET_HANDLED
        cancelled = [p for p in self.held_pairs if p.get_path() == msg.get_path()]
        if not cancelled:
            raise SimError('No such pairing', 'org.bluez.Error.DoesNotExist')
        self.held_pairs = [p for p in self.held_pairs if p not in cancelled]
        for pair in cancelled:
            self.fail_pair(pair, device, 'org.bluez.Error.AuthenticationCanceled',
                           'Authentication Canceled')
        self.send(dbus.lowlevel.MethodReturnMessage(msg))
        return HANDLED

    def pair_from_device(self, device, pairable, bonding=True):
        '''A pairing the device started: without Pairable the kernel refuses it;
        otherwise Paired follows once the services are resolved.'''
        if not pairable:
            self.link_up(device)
            self.link_down(device)
            raise dbus.exceptions.DBusException('Authentication Failed', name=AUTH_FAILED)
        changed = {} if self.connected(device) else {'Connected': True}
        if bonding:
            changed['Bonded'] = True
        if changed:
            self.change(device.path, bluez5.DEVICE_IFACE, changed)

        self.after_services(device, {'Modalias': PEER_MODALIAS})

    def after_services(self, device, changed=()):
        '''Paired announced once service discovery has resolved the device's
        services; not for a device removed meanwhile.'''
        def paired():
            if mockobject.objects.get(device.path) is device:
                device.paired = True
                self.change(device.path, bluez5.DEVICE_IFACE, dict(
                    changed, UUIDs=PEER_UUIDS, ServicesResolved=True, Paired=True))
            return False

        GLib.timeout_add(int(self.responder_delay_s * 1000), paired)

    def connect_nap(self, device, done, failed):
        '''The network server asks the default agent to authorise BNEP for a
        device that is not trusted; a refusal fails the connect.'''
        self.link_up(device)

        def refused():
            failed(dbus.exceptions.DBusException('Input/output error',
                                                 name='org.bluez.Error.Failed'))
            self.link_down(device)

        agent = self.default_agent
        if device.props[bluez5.DEVICE_IFACE]['Trusted']:
            done('bnep0')
        elif agent is None:
            refused()  # not yet measured: a connect while no default agent is there
        else:
            self.call_agent('AuthorizeService', 'os', [dbus.ObjectPath(device.path), BNEP_UUID],
                            agent.sender, agent.path,
                            lambda call: done('bnep0') if call.state == 'return' else refused())

    BEHAVIOURS = {
        (OBJECT_MANAGER_IFACE, 'GetManagedObjects'): get_managed_objects,
        (dbus.PROPERTIES_IFACE, 'Set'): properties_set,
        (bluez5.AGENT_MANAGER_IFACE, 'RegisterAgent'): register_agent,
        (bluez5.AGENT_MANAGER_IFACE, 'UnregisterAgent'): unregister_agent,
        (bluez5.AGENT_MANAGER_IFACE, 'RequestDefaultAgent'): request_default_agent,
        (bluez5.DEVICE_IFACE, 'Pair'): pair_call,
        (bluez5.DEVICE_IFACE, 'CancelPairing'): cancel_pairing,
        (bluez5.ADAPTER_IFACE, 'StartDiscovery'): start_discovery,
        (bluez5.ADAPTER_IFACE, 'StopDiscovery'): stop_discovery,
    }

    # --------------------------------------------------- calls to agents

    def call_agent(self, method, signature, args, destination, path, then=None):
        call = AgentCall(destination, path, method)
        msg = dbus.lowlevel.MethodCallMessage(destination, path, AGENT_IFACE, method)
        _message_with_args(msg, signature, args)

        def finished():
            if then:
                then(call)

        def replied(reply):
            GLib.source_remove(timer)
            call.answered(reply)
            finished()

        def timed_out():
            # bluetoothd gives up on the agent, tells it so, then fails what asked.
            call.pending.cancel()
            self.send(dbus.lowlevel.MethodCallMessage(destination, path, AGENT_IFACE, 'Cancel'))
            call.timed_out()
            finished()
            return False

        # libdbus's own time-out, later than ours, never fires: ours cancels the call.
        call.pending = self.conn.send_message_with_reply(msg, replied, self.agent_timeout_s + 1,
                                                         require_main_loop=True)
        timer = GLib.timeout_add(int(self.agent_timeout_s * 1000), timed_out)
        self.agent_calls.append(call)
        return call

    def emit_properties_changed(self, path, interface, changed, invalidated):
        signal = dbus.lowlevel.SignalMessage(path, dbus.PROPERTIES_IFACE, 'PropertiesChanged')
        _message_with_args(signal, 'sa{sv}as', [interface, changed, invalidated])
        self.send(signal)

    # ------------------------------------------- org.pairgate.Sim1 calls

    def control_call(self, msg):
        member = msg.get_member()
        entry = self.CONTROL.get(member)
        if entry is None or msg.get_path() != '/':
            return NOT_YET_HANDLED
        in_sig, out_sig, method = entry
        if msg.get_signature() != in_sig:
            raise SimError(f'{member} needs ({in_sig}), got ({msg.get_signature()})')
        result = method(self, *msg.get_args_list())
        reply = dbus.lowlevel.MethodReturnMessage(msg)
        if out_sig:
            values = result if len(list(dbus.Signature(out_sig))) > 1 else (result,)
            reply.append(*values, signature=out_sig)
        self.send(reply)
        return HANDLED

    def c_get_log_with_signatures(self, start):
        return self.log[start:]

    def c_senders(self):
        return dbus.Dictionary(self.pids, signature='su')

    def c_fail_method(self, interface, member, error_name, message, count):
        _check_error_name(error_name)
        self.failures[(str(interface), str(member))] = [str(error_name), str(message), int(count)]

    def c_clear_failures(self):
        self.failures.clear()

    def c_set_object_paths(self, paths):
        for p in paths:
            _check_value('o', p)
        self.object_paths = [str(p) for p in paths]

    def c_set_reply(self, interface, member, signature, args):
        args = list(args)
        _message_with_args(dbus.lowlevel.MethodCallMessage('a.b', '/', 'a.b', 'c'),
                           signature, args)
        self.replies[(str(interface), str(member))] = (str(signature), args)

    def c_agents(self):
        return dbus.Array([(a.sender, dbus.ObjectPath(a.path), a.capability) for a in self.agents],
                          signature='(sos)')

    def c_call_agent(self, method, signature, args, destination, path):
        agent = self.agent_of(destination) if destination else None
        if not destination or not path:
            fallback = agent or self.default_agent
            if fallback is None:
                raise SimError('no agent is registered', SIM_ERROR + '.NoAgent')
            destination = destination or fallback.sender
            path = path or fallback.path
        try:
            self.call_agent(str(method), str(signature), list(args), str(destination), str(path))
        except ValueError as e:
            raise SimError(str(e)) from e
        return dbus.UInt32(len(self.agent_calls))

    def c_agent_answer(self, call_id):
        if not 1 <= call_id <= len(self.agent_calls):
            raise SimError(f'no agent call {call_id}')
        return self.agent_calls[call_id - 1].answer()

    def c_set_pair_behaviour(self, mode, passkey, error_name, paired_signal):
        if mode not in ('confirm', 'direct', 'hold'):
            raise SimError(f'unknown mode {mode!r}')
        if paired_signal not in ('before', 'after', 'none'):
            raise SimError(f'unknown paired_signal {paired_signal!r}')
        if error_name:
            _check_error_name(error_name)
        self.pair_behaviour = PairBehaviour(str(mode), int(passkey), str(error_name),
                                            str(paired_signal))

    def c_release_pairs(self, error_name, paired_signal):
        if error_name:
            _check_error_name(error_name)
        if paired_signal not in ('before', 'after', 'none'):
            raise SimError(f'unknown paired_signal {paired_signal!r}')
        held, self.held_pairs = self.held_pairs, []
        for msg in held:
            device = mockobject.objects.get(msg.get_path())
            self.finish_pair(msg, device, str(error_name), str(paired_signal))
        return dbus.UInt32(len(held))

    def c_set_agent_timeout(self, seconds):
        if not 0 < seconds <= 3600:
            raise SimError(f'agent timeout {seconds} s is out of range')
        self.agent_timeout_s = float(seconds)

    def c_set_responder_delay(self, seconds):
        if not 0 <= seconds <= 60:
            raise SimError(f'responder delay {seconds} s is out of range')
        self.responder_delay_s = float(seconds)

    def c_remove_adapters_on_stop(self, remove):
        self.remove_adapters_on_stop = bool(remove)

    def c_set_answer_delay(self, seconds):
        if not 0 <= seconds <= 10:
            raise SimError(f'answer delay {seconds} s is out of range')
        self.answer_delay_s = float(seconds)

    def c_pair_confirmations(self):
        return dbus.Array([c.row() for c in self.pair_confirmations], signature='(ssssss)')

    def c_emit_properties_changed(self, path, interface, changed, invalidated):
        self.emit_properties_changed(path, interface, changed, invalidated)

    def c_get_property(self, path, interface, name):
        try:
            value = mockobject.objects[path].props[interface][name]
        except KeyError as e:
            raise SimError(f'no property {interface}.{name} at {path}',
                           SIM_ERROR + '.NoSuchProperty') from e
        return value

    def c_set_property(self, path, interface, name, value):
        obj = mockobject.objects.get(path)
        if obj is None:
            raise SimError(f'no object at {path}', SIM_ERROR + '.NoSuchObject')
        obj.props.setdefault(interface, {})[name] = value
        if interface == bluez5.DEVICE_IFACE and name == 'Paired':
            obj.paired = bool(value)

    CONTROL = {
        'GetLogWithSignatures': ('u', 'a(sssssav)', c_get_log_with_signatures),
        'Senders': ('', 'a{su}', c_senders),
        'FailMethod': ('ssssi', '', c_fail_method),
        'ClearFailures': ('', '', c_clear_failures),
        'SetObjectPaths': ('as', '', c_set_object_paths),
        'SetReply': ('sssav', '', c_set_reply),
        'Agents': ('', 'a(sos)', c_agents),
        'CallAgent': ('ssavss', 'u', c_call_agent),
        'AgentAnswer': ('u', 'sss', c_agent_answer),
        'SetPairBehaviour': ('suss', '', c_set_pair_behaviour),
        'PairConfirmations': ('', 'a(ssssss)', c_pair_confirmations),
        'ReleasePairs': ('ss', 'u', c_release_pairs),
        'SetAgentTimeout': ('d', '', c_set_agent_timeout),
        'SetAnswerDelay': ('d', '', c_set_answer_delay),
        'EmitPropertiesChanged': ('osa{sv}as', '', c_emit_properties_changed),
        'GetProperty': ('oss', 'v', c_get_property),
        'SetProperty': ('ossv', '', c_set_property),
        'SetResponderDelay': ('d', '', c_set_responder_delay),
        'RemoveAdaptersOnStop': ('b', '', c_remove_adapters_on_stop),
    }


def load(mock, parameters):
    bluez5.load(mock, parameters)
    if getattr(mock, 'sim', None):  # dbusmock's Reset() loads the template again
        mock.sim.close()
    mock.sim = Simulator(mock)
    mock.sim.answer_delay_s = float((parameters or {}).get('answer_delay', 0))
    print(f'{time.time():.3f} pairgate BlueZ simulator ready', flush=True)


def export(mock, parameters):
    '''The adapters and devices PARAMETERS name, as bluetoothd finds them.'''
    for name in parameters.get('adapters', []):
        AddAdapter(mock, name, name)
    for adapter, address, alias in parameters.get('devices', []):
        AddDevice(mock, adapter, address, alias)
    return False


def standby_then_run(parameters):
    '''What dbusmock's own start does, except that org.bluez is asked for only
    when a line arrives on standard input, everything else being ready; the
    adapters follow, as bluetoothd's do, some time after the name.'''
    # pylint: disable=import-outside-toplevel
    import dbus.mainloop.glib
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    main = mockobject.DBusMockObject(bus, MAIN_OBJ, OBJECT_MANAGER_IFACE, {}, None,
                                     IS_OBJECT_MANAGER)
    mockobject.objects[MAIN_OBJ] = main
    main.AddTemplate(__file__, parameters)

    def take_name(*_args):
        bus.request_name(BUS_NAME, dbus.bus.NAME_FLAG_ALLOW_REPLACEMENT
                         | dbus.bus.NAME_FLAG_REPLACE_EXISTING | dbus.bus.NAME_FLAG_DO_NOT_QUEUE)
        GLib.timeout_add(int(EXPORT_DELAY_S * 1000), export, main, parameters)
        return False

    GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_IN | GLib.IO_HUP, take_name)
    print(f'{os.getpid()} standing by', flush=True)
    GLib.MainLoop().run()


if __name__ == '__main__':
    standby_then_run(json.loads(sys.argv[1]) if len(sys.argv) > 1 else {})
