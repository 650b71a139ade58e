'''Pins what the system tests rely on in the simulated gateway (BlueZ simulator
and harness) where a fault of it would let them pass: where bluetoothd's ways
are followed, what is refused, and what the harness must not hide. A fault
that makes the system tests or the shared stories fail (a control of the
simulator, a file of the platform, the daemon's start) is theirs to show.'''

import json
import os
import re
import select
import signal
import socket
import stat
import subprocess
import time

import dbus
import pytest

from bluez_sim import AGENT_TIMEOUT_S, PEER_UUIDS
from expected import ADAPTER as ADAPTER_PATH, AGENT as AGENT_PATH, BNEP_UUID, DEVICE_PATH, NAP_UUID
from gateway import PYTHON, Gateway, Timeout, wait_until

DEVICE1 = 'org.bluez.Device1'
ADAPTER1 = 'org.bluez.Adapter1'
PROPS = 'org.freedesktop.DBus.Properties'
OBJECT_MANAGER = 'org.freedesktop.DBus.ObjectManager'

# A bus client with a main loop, driven through stdin, reporting on stdout one
# JSON list per event. It can watch BlueZ's PropertiesChanged signals (and who
# owns org.bluez, and what it exports), be an agent that answers "return",
# "error" or not at all, and call Pair or set Pairable without waiting.
PEER = r'''
import json, os
import dbus, dbus.lowlevel as ll, dbus.mainloop.glib
from gi.repository import GLib

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(os.environ['DBUS_SYSTEM_BUS_ADDRESS'])
state = {'mode': 'return'}
held = []

def plain(v):
    if isinstance(v, dbus.Boolean): return bool(v)
    if isinstance(v, int): return int(v)
    if isinstance(v, str): return str(v)
    if isinstance(v, dict): return {plain(k): plain(x) for k, x in v.items()}
    if isinstance(v, (list, tuple)): return [plain(x) for x in v]
    return repr(v)

def say(*words):
    print(json.dumps(words), flush=True)

def on_message(conn, msg):
    kind = msg.get_type()
    if kind == ll.MESSAGE_TYPE_SIGNAL and msg.get_member() in ('PropertiesChanged',
                                                               'InterfacesRemoved',
                                                               'InterfacesAdded'):
        say('signal', msg.get_sender(), msg.get_path(), msg.get_signature(),
            plain(msg.get_args_list()))
    elif kind == ll.MESSAGE_TYPE_SIGNAL and msg.get_member() == 'NameOwnerChanged':
        say('owner', *plain(msg.get_args_list()))
    elif kind == ll.MESSAGE_TYPE_METHOD_CALL and msg.get_interface() == 'org.bluez.Agent1':
        say('agent', msg.get_member(), msg.get_path(), msg.get_signature(),
            plain(msg.get_args_list()))
        if state['mode'] == 'return':
            conn.send_message(ll.MethodReturnMessage(msg))
        elif state['mode'] == 'error':
            conn.send_message(ll.ErrorMessage(msg, 'org.bluez.Error.Rejected', 'Rejected'))
        else:
            held.append(msg)
        return ll.HANDLER_RESULT_HANDLED
    return ll.HANDLER_RESULT_NOT_YET_HANDLED

def answer(*tag):
    return (lambda *r: say(*tag, 'return'),
            lambda e: say(*tag, 'error', e.get_dbus_name()))

def command(line):
    words = line.split()
    if words[0] == 'match':
        bus.add_match_string("type='signal',interface='org.freedesktop.DBus.Properties',"
                             "member='PropertiesChanged',sender='org.bluez'")  # blocks
        bus.add_match_string("type='signal',member='InterfacesRemoved',sender='org.bluez'")
        say('matched')
    elif words[0] == 'owner':
        bus.add_match_string("type='signal',member='NameOwnerChanged',arg0='org.bluez'")
        bus.add_match_string("type='signal',member='InterfacesAdded',sender='org.bluez'")
        say('owner')
    elif words[0] == 'Pairable':
        bus.call_async('org.bluez', words[1], 'org.freedesktop.DBus.Properties', 'Set', 'ssv',
                       ('org.bluez.Adapter1', 'Pairable', dbus.Boolean(words[2] == 'true')),
                       *answer('Set'))
    elif words[0] == 'mode':
        state['mode'] = words[1]
        say('mode', words[1])
    elif words[0] in ('RegisterAgent', 'UnregisterAgent', 'RequestDefaultAgent'):
        sig = 'os' if words[0] == 'RegisterAgent' else 'o'
        bus.call_async('org.bluez', '/org/bluez', 'org.bluez.AgentManager1', words[0], sig,
                       words[1:], *answer(words[0]))
    elif words[0] == 'Pair':
        bus.call_async('org.bluez', words[1], 'org.bluez.Device1', 'Pair', '', (),
                       *answer('Pair', words[1]), timeout=60)

pending = ['']

def on_stdin(_source, _condition):
    data = os.read(0, 65536).decode()
    if not data:
        loop.quit()
        return False
    *lines, pending[0] = (pending[0] + data).split('\n')
    for line in lines:
        command(line)
    return True

bus.add_message_filter(on_message)
loop = GLib.MainLoop()
GLib.io_add_watch(0, GLib.IO_IN | GLib.IO_HUP, on_stdin)
say('ready', bus.get_unique_name())
loop.run()
'''


class Peer:
    '''One PEER process; its events are read with a deadline.'''

    def __init__(self, gateway):
        self.proc = gateway.spawn([PYTHON, '-c', PEER], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)
        self.events = []
        self._buffer = ''
        self.name = self.expect('ready')[1]

    def send(self, *words):
        self.proc.stdin.write(' '.join(words) + '\n')
        self.proc.stdin.flush()

    def _next(self, deadline):
        while '\n' not in self._buffer:
            left = deadline - time.monotonic()
            ready = select.select([self.proc.stdout], [], [], max(left, 0))[0] if left > 0 else []
            if not ready:
                return None
            chunk = os.read(self.proc.stdout.fileno(), 65536).decode()
            if not chunk:
                return None
            self._buffer += chunk
        line, self._buffer = self._buffer.split('\n', 1)
        event = json.loads(line)
        self.events.append(event)
        return event

    def expect(self, *head, timeout=5):
        '''The next event that starts with HEAD; events before it are kept in .events.'''
        deadline = time.monotonic() + timeout
        while True:
            event = self._next(deadline)
            if event is None:
                raise Timeout(f'peer: no {head!r} within {timeout} s; saw {self.events!r}')
            if tuple(event[:len(head)]) == head:
                return event

    def do(self, *words, timeout=5):
        '''Sends a command and returns its answer event.'''
        self.send(*words)
        return self.expect(*words[:2 if words[0] == 'Pair' else 1], timeout=timeout)

    def watch(self):
        self.send('match')
        self.expect('matched')


def call(conn, path, interface, member, signature='', args=()):
    return conn.call_blocking('org.bluez', path, interface, member, signature, args)


def dbus_error(conn, *args):
    with pytest.raises(dbus.DBusException) as failure:
        call(conn, *args)
    return failure.value.get_dbus_name()


def sim_alive(gw):
    # One answered call proves that the simulator neither died nor hangs.
    return gw.sim.Agents() is not None


# ------------------------------------------------------------------ Set


def test_set_stores_checked_values_and_announces_changes(bluez_gateway):
    gw = bluez_gateway
    peer = Peer(gw)
    peer.watch()
    conn = gw.connect()
    for _ in range(2):  # the second Set changes nothing and is not announced
        call(conn, ADAPTER_PATH, PROPS, 'Set', 'ssv', (ADAPTER1, 'Pairable', dbus.Boolean(True)))
    assert dbus_error(conn, ADAPTER_PATH, PROPS, 'Set', 'ssv',
                      (ADAPTER1, 'Discoverable', dbus.Int32(1))) \
        == 'org.bluez.Error.InvalidArguments'
    assert dbus_error(conn, ADAPTER_PATH, PROPS, 'Set', 'ssb',
                      (ADAPTER1, 'Discoverable', True)) \
        == 'org.freedesktop.DBus.Error.InvalidArgs'
    call(conn, DEVICE_PATH, PROPS, 'Set', 'ssv', (DEVICE1, 'Trusted', dbus.Boolean(True)))

    assert gw.property(ADAPTER_PATH, ADAPTER1, 'Pairable') is True
    assert gw.property(ADAPTER_PATH, ADAPTER1, 'Discoverable') is False
    assert gw.property(DEVICE_PATH, DEVICE1, 'Trusted') is True
    signal_from = peer.expect('signal', timeout=5)
    assert signal_from[2:] == [ADAPTER_PATH, 'sa{sv}as', [ADAPTER1, {'Pairable': True}, []]]
    assert peer.expect('signal')[2:] == [DEVICE_PATH, 'sa{sv}as',
                                         [DEVICE1, {'Trusted': True}, []]]
    assert len([c for c in gw.log() if c.member == 'Set']) == 5


ODD_PATHS = ['/org/bluez/hci0/dev_00_1A_7D_DA_71_13', '/org/bluez/hci',
             '/org/bluez/hci0123456789012345678901', ADAPTER_PATH, '/org/bluez']


# --------------------------------------------------------------- agents


def test_agents_are_kept_per_connection(bluez_gateway):
    gw = bluez_gateway
    first, second = Peer(gw), Peer(gw)
    assert first.do('RegisterAgent', '/a', 'NoInputNoOutput')[1] == 'return'
    assert first.do('RegisterAgent', '/b', 'DisplayYesNo')[1:] \
        == ['error', 'org.bluez.Error.AlreadyExists']
    assert second.do('RegisterAgent', '/a', 'Chatty')[1:] \
        == ['error', 'org.bluez.Error.InvalidArguments']
    assert second.do('RegisterAgent', '/a', 'DisplayYesNo')[1] == 'return'
    assert gw.agents() == [(first.name, '/a', 'NoInputNoOutput'),
                           (second.name, '/a', 'DisplayYesNo')]
    assert second.do('UnregisterAgent', '/b')[1:] == ['error', 'org.bluez.Error.DoesNotExist']
    assert first.do('UnregisterAgent', '/a')[1] == 'return'
    assert first.do('UnregisterAgent', '/a')[1:] == ['error', 'org.bluez.Error.DoesNotExist']
    assert first.do('RegisterAgent', '/a', 'KeyboardDisplay')[1] == 'return'
    assert gw.agents() == [(second.name, '/a', 'DisplayYesNo'),
                           (first.name, '/a', 'KeyboardDisplay')]
    assert gw.name_of(first.proc) == first.name
    assert [c.member for c in gw.calls(proc=first.proc)] == ['RegisterAgent'] * 2 + [
        'UnregisterAgent'] * 2 + ['RegisterAgent']

    second.proc.stdin.close()  # its connection goes away, and its agent with it
    second.proc.wait(5)
    wait_until(lambda: gw.agents() == [(first.name, '/a', 'KeyboardDisplay')], 5,
               'the agent of the connection that went away to be dropped')


def test_bluez_calls_agents_and_keeps_their_answers(bluez_gateway):
    gw = bluez_gateway
    with pytest.raises(dbus.DBusException):
        gw.call_agent('RequestConfirmation', 'ou', [DEVICE_PATH, 1])  # nobody registered
    rejecting, answering = Peer(gw), Peer(gw)
    rejecting.do('mode', 'error')
    answering.do('RegisterAgent', '/answer', 'NoInputNoOutput')  # the default: asked
    rejecting.do('RegisterAgent', '/reject', 'DisplayYesNo')     # for what no Pair asked

    confirmed = gw.call_agent('RequestConfirmation', 'ou', [DEVICE_PATH, 4000000000])
    assert answering.expect('agent') == ['agent', 'RequestConfirmation', '/answer', 'ou',
                                         [DEVICE_PATH, 4000000000]]
    assert gw.agent_answer(confirmed) == ('return', '', '')

    refused = gw.call_agent('AuthorizeService', 'os', [DEVICE_PATH, NAP_UUID],
                            destination=rejecting.name)
    assert rejecting.expect('agent')[1:3] == ['AuthorizeService', '/reject']
    assert gw.agent_answer(refused) == ('error', 'org.bluez.Error.Rejected', 'Rejected')

    malformed = gw.call_agent('RequestConfirmation', 's', ['00:1A:7D:DA:71:13'],
                              path='/elsewhere')
    assert answering.expect('agent')[1:] == ['RequestConfirmation', '/elsewhere', 's',
                                             ['00:1A:7D:DA:71:13']]
    assert gw.agent_answer(malformed)[0] == 'return'
    assert malformed == refused + 1 == confirmed + 2

    answering.do('mode', 'silent')
    unanswered = gw.call_agent('RequestConfirmation', 'ou', [DEVICE_PATH, 1])
    answering.expect('agent')
    assert gw.agent_state(unanswered) == ('pending', '', '')
    gw.sim.SetAgentTimeout(0.2)
    late = gw.call_agent('RequestConfirmation', 'ou', [DEVICE_PATH, 2])
    assert gw.agent_answer(late)[:2] == ('error', 'org.freedesktop.DBus.Error.NoReply')

    for method, signature, args in (('RequestConfirmation', 'ou', ['no path', 1]),
                                    ('RequestConfirmation', 'ou', [DEVICE_PATH]),
                                    ('RequestConfirmation', 'ou', [DEVICE_PATH, -1]),
                                    ('Request-Confirmation', '', [])):
        with pytest.raises(dbus.DBusException):
            gw.call_agent(method, signature, args)
    assert sim_alive(gw)


# ----------------------------------------------------------------- Pair


def test_pair_asks_the_callers_agent_then_answers(bluez_gateway):
    gw = bluez_gateway
    default, own = Peer(gw), Peer(gw)
    default.do('RegisterAgent', '/default', 'NoInputNoOutput')
    own.do('RegisterAgent', '/own', 'DisplayYesNo')
    gw.set_pair_behaviour('confirm', passkey=42)

    assert own.do('Pair', DEVICE_PATH) == ['Pair', DEVICE_PATH, 'return']
    assert own.events[-2] == ['agent', 'RequestConfirmation', '/own', 'ou', [DEVICE_PATH, 42]]
    assert gw.property(DEVICE_PATH, DEVICE1, 'Paired') is True

    stranger = Peer(gw)  # no agent of its own: the default agent is asked
    gw.set_property(DEVICE_PATH, DEVICE1, 'Paired', dbus.Boolean(False))
    gw.set_pair_behaviour('confirm', passkey=7,
                          error_name='org.bluez.Error.AuthenticationCanceled')
    assert stranger.do('Pair', DEVICE_PATH)[2:] \
        == ['error', 'org.bluez.Error.AuthenticationCanceled']
    assert default.expect('agent')[4] == [DEVICE_PATH, 7]
    assert gw.property(DEVICE_PATH, DEVICE1, 'Paired') is False

    own.do('mode', 'error')
    gw.set_pair_behaviour('confirm')
    assert own.do('Pair', DEVICE_PATH)[2:] == ['error', 'org.bluez.Error.AuthenticationFailed']

    own.do('mode', 'silent')
    gw.sim.SetAgentTimeout(0.2)
    assert own.do('Pair', DEVICE_PATH)[2:] == ['error', 'org.bluez.Error.AuthenticationFailed']

    assert [row[:5] for row in gw.pair_confirmations()] == [
        (DEVICE_PATH, own.name, '/own', 'return', ''),
        (DEVICE_PATH, default.name, '/default', 'return', ''),
        (DEVICE_PATH, own.name, '/own', 'error', 'org.bluez.Error.Rejected'),
        (DEVICE_PATH, own.name, '/own', 'error', 'org.freedesktop.DBus.Error.NoReply'),
    ]
    with pytest.raises(dbus.DBusException):
        gw.set_pair_behaviour('sometimes')
    with pytest.raises(dbus.DBusException):
        gw.set_pair_behaviour('direct', paired_signal='later')


def test_paired_signal_comes_before_after_or_not_at_all(bluez_gateway):
    gw = bluez_gateway
    peer = Peer(gw)
    peer.watch()
    peer.do('RegisterAgent', '/agent', 'DisplayYesNo')
    paired = {'Bonded': True, 'UUIDs': PEER_UUIDS, 'ServicesResolved': True, 'Paired': True}
    for mode, order in (('direct', 'before'), ('confirm', 'after'), ('direct', 'none')):
        for name in ('Paired', 'Connected'):
            gw.set_property(DEVICE_PATH, DEVICE1, name, dbus.Boolean(False))
        gw.set_pair_behaviour(mode, paired_signal=order)
        mark = len(peer.events)
        peer.do('Pair', DEVICE_PATH)
        seen = [e[4][1] if e[0] == 'signal' else e[0] for e in until_now(gw, peer, mark)
                if e[0] == 'Pair' or e[0] == 'signal' and e[2] == DEVICE_PATH]
        expected = {'before': [dict(paired, Connected=True), 'Pair'],
                    'after': [{'Connected': True}, 'Pair', paired],
                    'none': ['Pair']}[order]
        assert seen == expected, order
        assert gw.property(DEVICE_PATH, DEVICE1, 'Paired') is True


# ------------------------------------------------ as bluetoothd does it
#
# One row per behaviour in which the simulator follows Debian 12's bluetoothd
# 5.66: the lines of the D-Bus traces recorded on the VM bench (dbus-monitor,
# condensed; FILE:LINES) it follows, and what was measured there by hand.

HCI1 = '/org/bluez/hci1'
END = '/org/pairgate/end'
AUTH_FAILED = 'org.bluez.Error.AuthenticationFailed'


def until_now(gw, peer, start=0):
    """PEER's events from START on, every signal BlueZ sent before this
    included: a call to BlueZ sends out what it announces late, then a
    marker follows."""
    call(gw.connect(), '/', OBJECT_MANAGER, 'GetManagedObjects')
    gw.emit_properties_changed(END, 'org.pairgate.End', {'End': True})
    while peer.expect('signal')[2] != END:
        pass
    return [e for e in peer.events[start:] if e[0] != 'signal' or e[2] != END]


def pairable_seen(events):
    """(adapter, value) of every Pairable announced in EVENTS."""
    return [(e[2], e[4][1]['Pairable']) for e in events
            if e[0] == 'signal' and e[4][0] == ADAPTER1 and 'Pairable' in e[4][1]]


def device_story(events, path=DEVICE_PATH):
    """What EVENTS tell of the device at PATH: its announced changes, the
    agent's calls, the answers to Pair."""
    story = []
    for e in events:
        if e[0] == 'signal' and e[2] == path and e[4][0] == DEVICE1:
            story.append(e[4][1])
        elif e[0] == 'agent':
            story.append(e[1])
        elif e[0] == 'Pair':
            story.append(tuple(e[2:]))
    return story


def pairable(gw, path=ADAPTER_PATH):
    return gw.property(path, ADAPTER1, 'Pairable')


def pairable_for_a_new_default_only(gw):
    """A registered agent that is not the default changes nothing."""
    gw.mock.AddAdapter('hci1', 'hci1')
    phone, gateway = Peer(gw), Peer(gw)
    phone.watch()
    phone.do('RegisterAgent', '/test/phone_agent', 'DisplayYesNo')
    phone.do('RequestDefaultAgent', '/test/phone_agent')
    call(gw.connect(), ADAPTER_PATH, PROPS, 'Set', 'ssv',
         (ADAPTER1, 'Pairable', dbus.Boolean(False)))
    gateway.do('RegisterAgent', AGENT_PATH, 'NoInputNoOutput')
    gateway.do('UnregisterAgent', AGENT_PATH)
    gateway.do('RegisterAgent', AGENT_PATH, 'DisplayYesNo')
    assert pairable_seen(until_now(gw, phone)) == [(HCI1, True), (ADAPTER_PATH, True),
                                                   (ADAPTER_PATH, False)]
    assert (pairable(gw, HCI1), pairable(gw)) == (True, False)


def the_default_goes_over_to_a_remaining_agent(gw):
    """Which makes every adapter pairable again, whatever a client set; with no
    agent left, every adapter turns non-pairable and a Pair finds no agent."""
    gw.mock.AddAdapter('hci1', 'hci1')
    first, second, stranger = Peer(gw), Peer(gw), Peer(gw)
    first.watch()
    conn = gw.connect()

    def asked():
        gw.set_property(DEVICE_PATH, DEVICE1, 'Paired', dbus.Boolean(False))
        answer = stranger.do('Pair', DEVICE_PATH)[2]
        return answer, gw.pair_confirmations()[-1].agent_path

    first.do('RegisterAgent', '/1', 'DisplayYesNo')
    second.do('RegisterAgent', '/2', 'DisplayYesNo')
    assert asked() == ('return', '/1')
    for path in (ADAPTER_PATH, HCI1):
        call(conn, path, PROPS, 'Set', 'ssv', (ADAPTER1, 'Pairable', dbus.Boolean(False)))
    first.do('UnregisterAgent', '/1')
    assert asked() == ('return', '/2')
    assert (pairable(gw), pairable(gw, HCI1)) == (True, True)
    assert first.do('RequestDefaultAgent', '/1')[1:] == ['error', 'org.bluez.Error.DoesNotExist']
    first.do('RegisterAgent', '/1', 'DisplayYesNo')
    assert asked() == ('return', '/2')  # a newcomer does not take over
    first.do('RequestDefaultAgent', '/1')
    assert asked() == ('return', '/1')
    first.do('UnregisterAgent', '/1')
    assert asked() == ('return', '/2')
    second.do('UnregisterAgent', '/2')
    assert asked() == ('error', '')
    assert pairable_seen(until_now(gw, first)) == [
        (HCI1, True), (ADAPTER_PATH, True), (ADAPTER_PATH, False), (HCI1, False),
        (HCI1, True), (ADAPTER_PATH, True), (HCI1, False), (ADAPTER_PATH, False)]


def a_new_adapter_is_pairable_with_a_default_agent_only(gw):
    """And powered."""
    peer = Peer(gw)
    peer.watch()
    gw.mock.AddAdapter('hci1', 'hci1')
    assert (pairable(gw), pairable(gw, HCI1)) == (False, False)
    call(gw.connect(), HCI1, PROPS, 'Set', 'ssv', (ADAPTER1, 'Pairable', dbus.Boolean(True)))
    peer.do('RegisterAgent', AGENT_PATH, 'NoInputNoOutput')
    gw.mock.AddAdapter('hci2', 'hci2')
    assert pairable(gw, '/org/bluez/hci2') is True
    assert gw.property('/org/bluez/hci2', ADAPTER1, 'Powered') is True
    assert pairable_seen(until_now(gw, peer)) == [(HCI1, True), (ADAPTER_PATH, True)]


def pairable_announced_one_call_late(gw):
    """After the reply to the agent's call; a Set answered before its change."""
    gw.mock.AddAdapter('hci1', 'hci1')
    peer = Peer(gw)
    peer.watch()
    mark = len(peer.events)
    peer.send('RegisterAgent', AGENT_PATH, 'NoInputNoOutput')
    peer.send('Pairable', ADAPTER_PATH, 'false')
    peer.expect('Set')
    peer.send('UnregisterAgent', AGENT_PATH)
    peer.send('RegisterAgent', AGENT_PATH, 'DisplayYesNo')
    peer.expect('RegisterAgent')
    story = [e[:2] if e[0] != 'signal' else (e[2], e[4][1]['Pairable'])
             for e in until_now(gw, peer, mark)]
    assert story == [
        ['RegisterAgent', 'return'], (HCI1, True), (ADAPTER_PATH, True),
        ['Set', 'return'], (ADAPTER_PATH, False),
        ['UnregisterAgent', 'return'], (HCI1, False), ['RegisterAgent', 'return'],
        (HCI1, True), (ADAPTER_PATH, True)]


def stop_powers_off_releases_then_leaves(gw):
    """Undiscoverable, disconnected and powered off, removed, then released."""
    gw.mock.AddAdapter('hci1', 'hci1')
    peer = Peer(gw)
    peer.watch()
    peer.do('RegisterAgent', AGENT_PATH, 'NoInputNoOutput')
    conn = gw.connect()
    call(conn, HCI1, PROPS, 'Set', 'ssv', (ADAPTER1, 'Discoverable', dbus.Boolean(True)))
    call(conn, ADAPTER_PATH, ADAPTER1, 'StartDiscovery')
    gw.set_property(DEVICE_PATH, DEVICE1, 'Connected', dbus.Boolean(True))
    until_now(gw, peer)
    mark = len(peer.events)
    gw.stop_bluez(remove_adapters=True)
    peer.expect('agent')
    off = {'Powered': False, 'Discovering': False}
    assert [e[2:] for e in peer.events[mark:]] == [
        [HCI1, 'sa{sv}as', [ADAPTER1, {'Discoverable': False}, []]],
        [DEVICE_PATH, 'sa{sv}as', [DEVICE1, {'ServicesResolved': False, 'Connected': False}, []]],
        [HCI1, 'sa{sv}as', [ADAPTER1, off, []]],
        [ADAPTER_PATH, 'sa{sv}as', [ADAPTER1, off, []]],
        ['/', 'oas', [HCI1, [ADAPTER1]]],
        ['/', 'oas', [ADAPTER_PATH, [ADAPTER1]]],
        [AGENT_PATH, '', []]]
    assert peer.events[-1][:2] == ['agent', 'Release']


def restart_takes_the_name_then_exports(gw):
    peer = Peer(gw)
    peer.do('owner')
    gw.restart_storm(count=1, interval=0, answer_delay=0)
    owner = peer.expect('owner', 'org.bluez')
    added = peer.expect('signal')
    assert owner[3] and added[1] == owner[3]  # what the new owner exports, after its name
    assert added[2:4] == ['/', 'oa{sa{sv}}'] and added[4][0] == ADAPTER_PATH
    assert added[4][1][ADAPTER1]['Pairable'] is False


def own_pairing_connects_confirms_then_pairs(gw):
    """Just Works (no agent call) announces all in one."""
    peer = Peer(gw)
    peer.watch()
    peer.do('RegisterAgent', AGENT_PATH, 'DisplayYesNo')
    gw.set_pair_behaviour('confirm', passkey=0)
    mark = len(peer.events)
    peer.do('Pair', DEVICE_PATH)
    paired = {'Bonded': True, 'UUIDs': PEER_UUIDS, 'ServicesResolved': True, 'Paired': True}
    assert device_story(until_now(gw, peer, mark)) == [
        {'Connected': True}, 'RequestConfirmation', paired, ('return',)]
    gw.mock.AddDevice('hci0', '11:22:33:44:55:66', 'Other')
    gw.set_pair_behaviour('direct')
    mark = len(peer.events)
    peer.do('Pair', '/org/bluez/hci0/dev_11_22_33_44_55_66')
    assert device_story(until_now(gw, peer, mark), '/org/bluez/hci0/dev_11_22_33_44_55_66') \
        == [dict(paired, Connected=True), ('return',)]
    call(gw.connect(), ADAPTER_PATH, PROPS, 'Set', 'ssv', (ADAPTER1, 'Pairable', dbus.Boolean(0)))
    gw.mock.AddDevice('hci0', '11:22:33:44:55:77', 'Unbonded')
    mark = len(peer.events)
    peer.do('Pair', '/org/bluez/hci0/dev_11_22_33_44_55_77')
    del paired['Bonded']
    assert device_story(until_now(gw, peer, mark), '/org/bluez/hci0/dev_11_22_33_44_55_77') \
        == [dict(paired, Connected=True), ('return',)]


def device_pairing_connects_bonds_then_pairs(gw):
    """Paired once the services are resolved, 1.16 to 1.59 s later there;
    a device the gateway had not found is made by the pairing."""
    peer = Peer(gw)
    peer.watch()
    peer.do('RegisterAgent', AGENT_PATH, 'NoInputNoOutput')
    gw.sim.SetResponderDelay(0.3)
    began = time.monotonic()
    gw.mock.PairDevice('hci0', '00:1A:7D:DA:71:13', 5898764)
    owner = gw.bus.get_name_owner('org.bluez')
    bonded = peer.expect('signal', owner, DEVICE_PATH)
    assert bonded[4] == [DEVICE1, {'Connected': True, 'Bonded': True}, []]
    changed = peer.expect('signal', owner, DEVICE_PATH)
    assert time.monotonic() - began >= 0.3
    assert changed[4] == [DEVICE1, {'Modalias': 'usb:v1D6Bp0246d0542', 'UUIDs': PEER_UUIDS,
                                    'ServicesResolved': True, 'Paired': True}, []]
    assert gw.property(DEVICE_PATH, DEVICE1, 'Paired') is True
    assert [e for e in peer.events if e[0] == 'agent'] == []  # Just Works
    # One it had not found: made by the pairing, exported paired, bonded, connected.
    peer.do('owner')
    gw.mock.PairDevice('hci0', '00:1A:7D:DA:71:14', 5898764)
    path, interfaces = peer.expect('signal', owner, '/')[4]
    assert {name: interfaces[DEVICE1][name] for name in ('Paired', 'Bonded', 'Connected')} == {
        'Paired': True, 'Bonded': True, 'Connected': True}
    assert peer.expect('signal', owner, path)[4][1]['Paired'] is True


def stored_bond_paired_again_once_reconnected(gw):
    """Exported paired and bonded, trusted as stored, its services not known
    in this run; once it reconnects, Paired is announced again after them."""
    peer = Peer(gw)
    peer.watch()
    peer.do('owner')
    gw.sim.SetResponderDelay(0.1)
    owner, bond = gw.bus.get_name_owner('org.bluez'), '/org/bluez/hci0/dev_00_1A_7D_DA_71_14'
    gw.mock.LoadBond('hci0', '00:1A:7D:DA:71:14', 'Bond', True)
    path, interfaces = peer.expect('signal', owner, '/')[4]
    assert path == bond and [interfaces[DEVICE1][name] for name in (
        'Paired', 'Bonded', 'Trusted', 'ServicesResolved')] == [True, True, True, False]
    gw.mock.ReconnectDevice('hci0', '00:1A:7D:DA:71:14')
    assert peer.expect('signal', owner, bond)[4] == [DEVICE1, {'Connected': True}, []]
    assert peer.expect('signal', owner, bond)[4] == [
        DEVICE1, {'UUIDs': PEER_UUIDS, 'ServicesResolved': True, 'Paired': True}, []]


def device_pairing_refused_while_not_pairable(gw):
    peer = Peer(gw)
    peer.watch()
    with pytest.raises(dbus.DBusException) as failure:
        gw.mock.PairDevice('hci0', '00:1A:7D:DA:71:13', 5898764)
    assert failure.value.get_dbus_name() == AUTH_FAILED
    assert device_story(until_now(gw, peer)) == [{'Connected': True}, {'Connected': False}]
    assert gw.property(DEVICE_PATH, DEVICE1, 'Paired') is False


def device_pairing_without_bonding_passes_while_not_pairable(gw):
    """The kernel refuses only a pairing that asks bonding."""
    peer = Peer(gw)
    peer.watch()
    gw.sim.SetResponderDelay(0.1)
    gw.mock.PairDeviceWithoutBonding('hci0', '00:1A:7D:DA:71:13')
    owner = gw.bus.get_name_owner('org.bluez')
    assert peer.expect('signal', owner, DEVICE_PATH)[4] == [DEVICE1, {'Connected': True}, []]
    assert peer.expect('signal', owner, DEVICE_PATH)[4] == [
        DEVICE1, {'Modalias': 'usb:v1D6Bp0246d0542', 'UUIDs': PEER_UUIDS,
                  'ServicesResolved': True, 'Paired': True}, []]
    assert pairable(gw) is False
    assert [e for e in peer.events if e[0] == 'agent'] == []


def failed_pair_connects_then_disconnects(gw):
    peer = Peer(gw)
    peer.watch()
    peer.do('RegisterAgent', AGENT_PATH, 'DisplayYesNo')
    peer.do('mode', 'error')
    gw.set_pair_behaviour('confirm', passkey=0)
    mark = len(peer.events)
    assert peer.do('Pair', DEVICE_PATH)[2:] == ['error', AUTH_FAILED]
    assert device_story(until_now(gw, peer, mark)) == [
        {'Connected': True}, 'RequestConfirmation', ('error', AUTH_FAILED), {'Connected': False}]


def nap_authorised_for_an_untrusted_device_only(gw):
    """BNEP's UUID, never NAP's; a refusal fails the connect."""
    peer = Peer(gw)
    peer.do('RegisterAgent', AGENT_PATH, 'NoInputNoOutput')
    assert gw.mock.ConnectNap('hci0', '00:1A:7D:DA:71:13') == 'bnep0'
    assert peer.expect('agent') == ['agent', 'AuthorizeService', AGENT_PATH, 'os',
                                    [DEVICE_PATH, BNEP_UUID]]
    peer.do('mode', 'error')
    with pytest.raises(dbus.DBusException) as failure:
        gw.mock.ConnectNap('hci0', '00:1A:7D:DA:71:13')
    assert (failure.value.get_dbus_name(), failure.value.get_dbus_message()) \
        == ('org.bluez.Error.Failed', 'Input/output error')
    assert gw.property(DEVICE_PATH, DEVICE1, 'Connected') is False
    call(gw.connect(), DEVICE_PATH, PROPS, 'Set', 'ssv', (DEVICE1, 'Trusted', dbus.Boolean(True)))
    # The agent still refuses: asked, it would fail the connect.
    assert gw.mock.ConnectNap('hci0', '00:1A:7D:DA:71:13') == 'bnep0'


def no_agent_or_no_answer_fails_the_pair(gw):
    """At once with no agent anywhere; with an agent that does not answer, after
    its time-out (60 s; here shortened) and a Cancel to the agent."""
    with pytest.raises(dbus.DBusException) as failure:
        call(gw.connect(), DEVICE_PATH, DEVICE1, 'Pair')
    assert (failure.value.get_dbus_name(), failure.value.get_dbus_message()) \
        == (AUTH_FAILED, 'Authentication Failed')
    assert gw.pair_confirmations() == [(DEVICE_PATH, '', '', 'none', '', '')]
    peer = Peer(gw)
    peer.watch()
    assert peer.do('Pair', '/org/bluez/hci0/dev_66_55_44_33_22_11')[2:] \
        == ['error', 'org.freedesktop.DBus.Error.UnknownObject']
    peer.do('RegisterAgent', AGENT_PATH, 'DisplayYesNo')
    peer.do('mode', 'silent')
    assert AGENT_TIMEOUT_S == 60
    gw.sim.SetAgentTimeout(0.2)
    mark = len(peer.events)
    assert peer.do('Pair', DEVICE_PATH)[2:] == ['error', AUTH_FAILED]
    assert device_story(until_now(gw, peer, mark)) == [
        {'Connected': True}, 'RequestConfirmation', 'Cancel', ('error', AUTH_FAILED),
        {'Connected': False}]
    assert [e[1:4] for e in peer.events if e[0] == 'agent'][-1] == ['Cancel', AGENT_PATH, '']
    assert gw.pair_confirmations()[-1].error_name == 'org.freedesktop.DBus.Error.NoReply'


AS_BLUETOOTHD = [
    ('pgreject.txt:2-7,16-24', pairable_for_a_new_default_only),
    ('pgdev.txt:74-78; measured on bluetoothd 5.66: A the default, B registered without '
     'RequestDefaultAgent, every adapter set false, A unregisters: every adapter pairable '
     'again and B asked; with no agent left, every adapter non-pairable',
     the_default_goes_over_to_a_remaining_agent),
    ('pgweb.txt:2-4,11-16; measured on bluetoothd 5.66: a new adapter while an agent is the '
     'default is pairable and powered', a_new_adapter_is_pairable_with_a_default_agent_only),
    ('pgweb.txt:11-27', pairable_announced_one_call_late),
    ('pgrestart.txt:12-16,67-72', stop_powers_off_releases_then_leaves),
    ('pgrestart.txt:16-21', restart_takes_the_name_then_exports),
    ('pgweb.txt:24-33; pgnap.txt:26-29; measured on bluetoothd 5.66: Pair from a non-pairable '
     'adapter succeeds, the device Paired but not Bonded', own_pairing_connects_confirms_then_pairs),
    ('pgdev.txt:34,42; pgweb.txt:32,47; measured on bluetoothd 5.66 and 5.82 (VM bench, release): '
     'a device the gateway had not found is exported Paired, Bonded and Connected, ServicesResolved '
     'false, as the phone pairs, and announced Paired again 0.36 and 1.2 s later with its services',
     device_pairing_connects_bonds_then_pairs),
    ('measured on bluetoothd 5.55, 5.66 and 5.82 (VM bench, restart): the stored bond exported '
     'Paired (5.66, 5.82: and Bonded), Trusted as stored, not Connected, ServicesResolved false; '
     'the gateway connects to it again: {Connected, ServicesResolved, Paired} true at once',
     stored_bond_paired_again_once_reconnected),
    ('pgdev.txt:19-26', device_pairing_refused_while_not_pairable),
    ('measured on bluetoothd 5.82 (VM bench): a phone made non-bondable with btmgmt pairs with '
     'the non-pairable gateway, which ends Paired, not Bonded; no agent is asked',
     device_pairing_without_bonding_passes_while_not_pairable),
    ('pgreject.txt:25-34', failed_pair_connects_then_disconnects),
    ('pgnap.txt:38-39,45-53', nap_authorised_for_an_untrusted_device_only),
    ('measured on bluetoothd 5.66: Pair with no agent anywhere fails at once with '
     'AuthenticationFailed "Authentication Failed"; an agent that never answers '
     'RequestConfirmation gets Cancel after 60 s, then Pair fails with AuthenticationFailed',
     no_agent_or_no_answer_fails_the_pair),
]


@pytest.mark.parametrize('trace, story', AS_BLUETOOTHD,
                         ids=[story.__name__ for _, story in AS_BLUETOOTHD])
def test_as_bluetoothd_does(bluez_gateway, trace, story):  # pylint: disable=unused-argument
    story(bluez_gateway)


# -------------------------------------------------------------- signals


def test_bus_lets_a_hostile_client_do_anything(bluez_gateway):
    gw = bluez_gateway
    peer = Peer(gw)
    hostile = gw.connect()
    assert hostile.request_name('org.bluez.Impostor') == dbus.bus.REQUEST_NAME_REPLY_PRIMARY_OWNER
    forged = dbus.lowlevel.SignalMessage(DEVICE_PATH, PROPS, 'PropertiesChanged')
    forged.append(DEVICE1, {'Paired': dbus.Boolean(True)}, dbus.Array([], signature='s'),
                  signature='sa{sv}as')
    forged.set_destination(peer.name)  # directed: no match rule needed
    hostile.send_message(forged)
    assert peer.expect('signal') == ['signal', hostile.get_unique_name(), DEVICE_PATH,
                                     'sa{sv}as', [DEVICE1, {'Paired': True}, []]]
    peer.do('RegisterAgent', '/agent', 'DisplayYesNo')
    hostile.call_blocking(peer.name, '/agent', 'org.bluez.Agent1', 'RequestConfirmation', 'ou',
                          (DEVICE_PATH, 1))
    assert peer.expect('agent')[1:3] == ['RequestConfirmation', '/agent']


# -------------------------------------------------------------- harness


def test_syslog_collects_lines_with_their_priority(gateway):
    log = gateway.syslog
    sender = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sender.connect(str(gateway.root / 'log'))
    sender.send(b'<13>Dec  7 23:46:31 pairgated: Bluetooth helper daemon has been started')
    sender.send(b'<11>Dec 17 03:06:01 pairgated: (Starting) No hci interface on DBus found: '
                b'no adapter is present')
    sender.send(b'<14>Dec 17 03:06:01 pairgated: Malformed request "\xff\x01" (2 bytes) from cgi')
    sender.close()
    assert log.wait_for('Bluetooth helper daemon has been started', priority=5) == 0
    assert log.wait_for(re.compile(r'^\(Starting\) No hci'), priority=3) == 1
    third = log.wait_for(re.compile('Malformed'))
    assert log.lines[third][1].encode('utf-8', 'surrogateescape') \
        == b'Malformed request "\xff\x01" (2 bytes) from cgi'
    assert log.entries[0][:3] == (1, 5, 'pairgated')
    assert log.find('Bluetooth helper daemon has been started', start=1) == []
    with pytest.raises(Timeout):
        log.wait_for('Bluetooth helper daemon has been started', priority=6, timeout=0.1)


def test_reply_reader_makes_a_private_pipe_or_keeps_the_one_there(gateway):
    gateway.reply_reader()
    mode = os.stat(gateway.reply_pipe).st_mode
    assert stat.S_ISFIFO(mode) and stat.S_IMODE(mode) == 0o600
    os.unlink(gateway.reply_pipe)
    os.mkfifo(gateway.reply_pipe, 0o644)
    os.chmod(gateway.reply_pipe, 0o644)
    gateway.reply_reader()
    assert stat.S_IMODE(os.stat(gateway.reply_pipe).st_mode) == 0o644


def test_request_pipe_gets_one_write(gateway):
    os.mkfifo(gateway.request_pipe, 0o600)
    fd = os.open(gateway.request_pipe, os.O_RDONLY | os.O_NONBLOCK)
    try:
        gateway.write_request(b'00:1A:7D:DA:71:13\n')
        assert os.read(fd, 64) == b'00:1A:7D:DA:71:13\n'
    finally:
        os.close(fd)
    with pytest.raises(OSError):  # no reader: the web UI would be told at once
        gateway.write_request(b'00:1A:7D:DA:71:13')


def test_bluez_restarts_under_a_new_owner(bluez_gateway):
    gw = bluez_gateway
    conn = gw.connect()
    call(conn, ADAPTER_PATH, ADAPTER1, 'StartDiscovery')
    before = gw.bus.get_name_owner('org.bluez')
    gw.stop_bluez()
    assert [c.member for c in gw.log()][-1] == 'StartDiscovery'  # kept from the first one
    gw.start_bluez()
    assert gw.bus.get_name_owner('org.bluez') != before
    assert gw.log() == [] or all(c.member != 'StartDiscovery' for c in gw.log())


def test_close_fails_loudly_on_what_is_left(tmp_path):
    gw = Gateway(tmp_path, tmp_path)
    gw.daemon_out.write_text('==1==ERROR: AddressSanitizer: heap-use-after-free\n')
    straggler = subprocess.Popen(['sleep', '60'],
                                 env=dict(os.environ, PAIRGATE_SIM_DIR=str(gw.root)))
    try:
        with pytest.raises(AssertionError) as failure:
            gw.close()
        assert 'AddressSanitizer' in str(failure.value)
        assert f'pid {straggler.pid}' in str(failure.value)
        assert straggler.wait(5) == -signal.SIGKILL
    finally:
        if straggler.poll() is None:
            straggler.kill()
            straggler.wait()
