'''The daemon as BlueZ's agent: service authorisation, the confirmation
guard, trust for devices that paired on their own, and who may speak for
BlueZ at all.'''

import subprocess
import time

import dbus
import pytest

from daemon_steps import (barrier, counted, log_mark, logged_since, request_pairing,
                          wait_agent_back, wait_first_pass)
from expected import (AGENT, BNEP_UUID, DEVICE, DEVICE_PATH, ERR, INFO, NAP_UUID, remove_device,
                      trusted)
from expected import facts, line
from gateway import PYTHON, Gateway

pytestmark = pytest.mark.usefixtures('needs_daemon')

UNHANDLED = 'org.freedesktop.DBus.Error.UnknownMethod'
# A local user's client: 100,000 announcements that DEVICE (argv[3]) paired,
# sent through the bus at argv[1] to the connection argv[2].
FLOOD = '''
import sys, dbus, dbus.lowlevel
conn = dbus.bus.BusConnection(sys.argv[1])
forged = dbus.lowlevel.SignalMessage(sys.argv[3], 'org.freedesktop.DBus.Properties',
                                     'PropertiesChanged')
forged.append('org.bluez.Device1', {'Paired': True}, [], signature='sa{sv}as')
forged.set_destination(sys.argv[2])
for n in range(100000):
    conn.send_message(forged)
    if n == 10000:
        print('flooding', flush=True)
conn.flush()
'''
# BlueZ's call waits until the daemon has read the signals queued before it:
# a second or two of the flood here, tens of seconds under qemu-user beside
# another suite. A deadline for an answer at all: a stall (a round trip for
# each forged signal) is seen on the bus, whatever the machine's speed.
FLOOD_READ_S = 90
REJECTED = 'org.bluez.Error.Rejected'
OTHER_DEVICE_PATH = '/org/bluez/hci0/dev_00_1A_7D_DA_71_14'
FROM_DEVICE = line(facts.PAIRED_BY_DEVICE, DEVICE)


@pytest.fixture
def agent(running):
    '''A running daemon whose loop has made its first pass (no input: the
    pairable state is 0), with the reply pipe open as the web UI keeps it.'''
    wait_first_pass(running)
    running.reply = running.reply_reader()
    return running


@pytest.fixture
def window_open(needs_daemon, bluez_gateway):  # pylint: disable=unused-argument
    '''The agent of a running daemon whose window BIN0 holds open.'''
    gw = bluez_gateway
    gw.settings(facts.settings(SYSLOGLEV=4, PAIRABLE_BIN=0))
    gw.io_tool()
    gw.gpio('0 1 1 1')
    gw.start_daemon()
    gw.syslog.wait_for(line(facts.BIN_CHANGED, '0', 'enabled')[1], INFO)
    gw.reply = gw.reply_reader()
    return gw


def trusted_calls(gw):
    return [c for c in gw.calls() if c.member == 'Set' and c.args[1] == 'Trusted']


# ------------------------------------------------------------------ authorisation

def test_nap_is_authorised_at_once(agent):
    '''BNEP's UUID, which bluetoothd's network server asks with, is the shared
    stories' (test_nap).'''
    call = agent.call_agent('AuthorizeService', 'os', [DEVICE_PATH, NAP_UUID])
    assert agent.agent_answer(call) == ('return', '', '')


def test_other_services_are_refused_at_once(agent):
    '''A refusal left unanswered would hold one of BlueZ's pending-reply slots
    on the bus (128) until it timed out; after some 130 of them every later
    agent call would fail, the web road's confirmation included.'''
    uuids = ['0000110a-0000-1000-8000-00805f9b34fb', NAP_UUID.upper(), BNEP_UUID.upper()] * 54
    calls = [agent.call_agent('AuthorizeService', 'os', [DEVICE_PATH, uuid]) for uuid in uuids]
    assert {agent.agent_answer(call)[:2] for call in calls} == {('error', REJECTED)}
    assert [line for line in logged_since(agent, 0) if line[0] == ERR] == []
    agent.set_pair_behaviour(mode='confirm', passkey=42)
    request_pairing(agent)
    assert agent.reply.read(facts.REPLY_SIZE) == facts.reply_passkey(42)
    wait_agent_back(agent)
    assert agent.pair_confirmations()[0].state == 'return'


def test_malformed_authorisation_is_refused_by_the_library(agent):
    start = log_mark(agent)
    call = agent.call_agent('AuthorizeService', 's', [NAP_UUID])
    assert agent.agent_answer(call)[:2] == ('error', UNHANDLED)
    # Once as the filter, once as the agent object.
    assert logged_since(agent, start) == [
        facts.INVALID_AUTHORISATION] * 2


# ------------------------------------------------------------- confirmation guard

def test_confirmation_outside_a_web_pairing_is_refused(agent):
    call = agent.call_agent('RequestConfirmation', 'ou', [DEVICE_PATH, 42])
    assert agent.agent_answer(call)[:2] == ('error', UNHANDLED)
    assert agent.reply.nothing_pending()


def test_malformed_confirmation_outside_a_pairing_is_not_read(agent):
    start = log_mark(agent)
    call = agent.call_agent('RequestConfirmation', 's', ['42'])
    assert agent.agent_answer(call)[:2] == ('error', UNHANDLED)
    assert logged_since(agent, start) == []


def test_confirmation_for_another_device_is_refused(agent):
    '''While a web pairing runs, a stranger is refused outright.'''
    agent.set_pair_behaviour(mode='hold')
    request_pairing(agent)
    other = agent.call_agent('RequestConfirmation', 'ou', [OTHER_DEVICE_PATH, 42])
    assert agent.agent_answer(other)[:2] == ('error', REJECTED)
    assert agent.reply.nothing_pending()

    right = agent.call_agent('RequestConfirmation', 'ou', [DEVICE_PATH, 42])
    assert agent.agent_answer(right) == ('return', '', '')
    assert agent.reply.read(facts.REPLY_SIZE) == facts.reply_passkey(42)


def test_malformed_confirmation_during_a_pairing(agent):
    agent.set_pair_behaviour(mode='hold')
    request_pairing(agent)
    start = log_mark(agent)
    call = agent.call_agent('RequestConfirmation', 'ou', ['/org/bluez/hci0', 7])
    assert agent.agent_answer(call)[:2] == ('error', REJECTED)
    assert logged_since(agent, start) == []  # a path without an address: refused quietly
    call = agent.call_agent('RequestConfirmation', 'o', [DEVICE_PATH])
    assert agent.agent_answer(call)[:2] == ('error', UNHANDLED)
    assert logged_since(agent, start) == [
        facts.INVALID_CONFIRMATION] * 2
    assert agent.reply.nothing_pending()


# -------------------------------------------------------------------- trust rule

def test_strangers_are_removed_and_a_burst_of_them_told_as_one_line_and_counts(agent):
    '''With no input selected the window stays closed; a pairing that asks no
    bonding gets past the non-pairable adapter all the same: the device is a
    stranger, untrusted and removed (its link with it), and said to be one. A
    burst of 200, each removal refused by BlueZ, is told by its first lines,
    then counts.'''
    start = log_mark(agent)
    agent.fail_method('org.bluez.Adapter1', 'RemoveDevice', 'org.bluez.Error.Failed', 'Not now',
                      count=-1)
    paths = [f'{DEVICE_PATH[:-2]}{n:02X}' for n in range(200)]
    for path in paths:
        agent.emit_properties_changed(path, 'org.bluez.Device1', {'Connected': True,
                                                                  'Paired': True})
    counts = counted(agent, start, 199, facts.REMOVALS_LEFT_OUT)
    counts += counted(agent, start, 199, facts.REMOVING_FAILURES_LEFT_OUT)
    assert trusted_calls(agent) == []
    assert [c for c in agent.calls() if c.member == 'RemoveDevice'] == [
        remove_device(path) for path in paths]
    told = logged_since(agent, start)
    first = DEVICE[:-2] + '00'
    assert told[:2] == [line(facts.PAIRED_WITH_WINDOW_CLOSED, first),
                        line(facts.REMOVING_FAILED, first, 'Not now')]
    assert sorted(told[2:]) == sorted(counts)


def test_unpaired_device_is_distrusted(agent):
    agent.emit_properties_changed(DEVICE_PATH, 'org.bluez.Device1', {'Paired': False})
    agent.wait_for_call('Set', lambda c: c.args[1] == 'Trusted')
    assert trusted_calls(agent) == [trusted(False)]
    agent.syslog.wait_for(FROM_DEVICE[1], FROM_DEVICE[0])


def test_signals_that_do_not_announce_pairing_are_ignored(agent):
    agent.emit_properties_changed('/org/bluez/hci0', 'org.bluez.Adapter1', {'Paired': True})
    agent.emit_properties_changed(DEVICE_PATH, 'org.bluez.Device1', {'Connected': True})
    agent.emit_properties_changed(DEVICE_PATH, 'org.bluez.Device1', {'Paired': 'yes'})
    agent.emit_signal(DEVICE_PATH, 'org.freedesktop.DBus.Properties', 'PropertiesChanged',
                      'sa{iv}as', ['org.bluez.Device1', {1: dbus.Boolean(True)}, []])
    agent.emit_signal(DEVICE_PATH, 'org.freedesktop.DBus.Properties', 'PropertiesChanged',
                      'ias', [1, []])
    agent.emit_signal(DEVICE_PATH, 'org.freedesktop.DBus.Properties', 'PropertiesChanged',
                      'ss', ['org.bluez.Device1', 'Paired'])
    barrier(agent)
    assert trusted_calls(agent) == []
    assert [line for line in logged_since(agent, 0) if line[0] == ERR] == []


def test_failed_trust_is_logged(window_open):
    window_open.fail_method('org.freedesktop.DBus.Properties', 'Set', 'org.bluez.Error.Failed',
                            'Not now')
    window_open.emit_properties_changed(DEVICE_PATH, 'org.bluez.Device1', {'Paired': True})
    window_open.syslog.wait_for('Setting "Trusted" property to true failed: Not now', ERR)


def test_pairing_signals_wait_while_a_web_pairing_runs(agent):
    agent.set_pair_behaviour(mode='hold')
    request_pairing(agent)
    agent.emit_properties_changed(DEVICE_PATH, 'org.bluez.Device1', {'Paired': True})
    barrier(agent)
    assert trusted_calls(agent) == []


# ------------------------------------------------- only BlueZ speaks for BlueZ

def intruder_call(gw, method, signature, args):
    '''METHOD called on the daemon's agent by a bus client that is not BlueZ;
    the error name it gets back, or None for a plain return.'''
    intruder = gw.connect()
    try:
        intruder.call_blocking(gw.daemon_name(), AGENT, 'org.bluez.Agent1', method, signature,
                               args, timeout=5)
        return None
    except dbus.DBusException as error:
        return error.get_dbus_name()


def answer_time(gw, when, sent):
    '''How long BlueZ's AuthorizeService waits for its answer, printed; the
    daemon's first message since the last (SENT: a monitor of them) must be
    that answer, not a question on the bus about a forged signal.'''
    began = time.monotonic()
    call = gw.call_agent('AuthorizeService', 'os', [DEVICE_PATH, BNEP_UUID])
    first = sent('method ', timeout=FLOOD_READ_S)
    assert first.startswith('method return'), first
    assert gw.agent_answer(call) == ('return', '', '')
    print(f'AuthorizeService answered {when} the flood in {time.monotonic() - began:.3f} s')


def test_a_flood_of_forged_pairing_signals_is_ignored_and_stalls_nothing(needs_daemon, gateway):
    '''A local user sends the daemon, by its unique name, 100,000 forged
    announcements that a device paired: none is acted on (nothing trusted,
    nothing removed, nothing logged), and BlueZ's calls are answered during
    the flood and after it, with nothing asked on the bus meanwhile: no
    sender costs a look-up.'''
    gw = gateway
    gw.settings(facts.settings(SYSLOGLEV=4))
    gw.start_bus(reachable=True)
    gw.start_bluez()
    gw.start_daemon()
    wait_first_pass(gw)
    start = log_mark(gw)
    with gw.bus_monitor(f"sender='{gw.daemon_name()}'") as sent:
        flooder = gw.spawn(['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups',
                            PYTHON, '-c', FLOOD, gw.bus_address, gw.daemon_name(), DEVICE_PATH],
                           stdout=subprocess.PIPE)
        assert Gateway._read_line(flooder, 30) == 'flooding\n'  # pylint: disable=protected-access
        answer_time(gw, 'during', sent)
        assert flooder.wait(120) == 0
        answer_time(gw, 'after', sent)
    assert trusted_calls(gw) == []
    assert [c for c in gw.calls() if c.member == 'RemoveDevice'] == []
    assert logged_since(gw, start) == []


def test_agent_calls_from_others_are_refused(agent):
    assert intruder_call(agent, 'AuthorizeService', 'os', [DEVICE_PATH, NAP_UUID]) == UNHANDLED
    agent.set_pair_behaviour(mode='hold')
    request_pairing(agent)
    assert intruder_call(agent, 'RequestConfirmation', 'ou', [DEVICE_PATH, 42]) == UNHANDLED
    assert agent.reply.nothing_pending()
    call = agent.call_agent('RequestConfirmation', 'ou', [DEVICE_PATH, 42])
    assert agent.agent_answer(call) == ('return', '', '')
    assert agent.reply.read(facts.REPLY_SIZE) == facts.reply_passkey(42)


def test_release_forgets_the_registration_and_cancel_is_answered(agent):
    assert intruder_call(agent, 'Release', '', []) == UNHANDLED
    assert agent.agent_answer(agent.call_agent('Release', 's', ['x']))[:2] == ('error', UNHANDLED)
    for method in ('Cancel', 'Release'):
        assert agent.agent_answer(agent.call_agent(method, '', [])) == ('return', '', '')
    start = log_mark(agent)
    agent.write_request(DEVICE.encode())
    assert agent.reply.read(facts.REPLY_SIZE) == facts.REPLY_FAILED
    assert logged_since(agent, start) == [
        line(facts.REQUEST_REFUSED, DEVICE, 'the agent is not registered with BlueZ')]


def test_a_release_during_a_web_pairing_is_undone_by_its_swap_back(agent):
    agent.set_pair_behaviour(mode='hold')
    start = request_pairing(agent)
    assert agent.agent_answer(agent.call_agent('Release', '', [])) == ('return', '', '')
    assert agent.release_pairs() == 1
    wait_agent_back(agent, start)
    agent.set_pair_behaviour()
    request_pairing(agent)  # not refused: the swap back registered the agent again

