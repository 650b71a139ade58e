'''The hardware pairing window: a binary input opening and closing the adapter's
pairing window through the running daemon, with the I/O tool and GPIO stand-ins.

The first reading of an input is the I/O tool's exit code; later readings are
GPIO ioctls, which the GPIO stand-in logs one per line in gpio.log. Each ioctl
is made at the start of a pass, after the blocking Set calls of the pass
before have been answered, so the ioctls seen bound the calls BlueZ has seen.'''

import itertools
import os
import re
import signal
import time

import dbus
import pytest

import daemon_steps
from daemon_steps import barrier, counted, wait_agent_back
from expected import (ADAPTER, BIN_DISABLED_AT_EXIT, DEVICE, DEVICE_PATH, ERR, FINISHED, INFO,
                      SCAN_STOPPED, START, STARTED, STOP, SWAP_IN, UNREGISTER_AGENT, WARNING,
                      discoverable, pair, pairable, registration, remove_device, scan_started,
                      trusted)
from expected import facts, line
from gateway import EMULATED, wait_until

pytestmark = pytest.mark.usefixtures('needs_daemon')

# Well under the probe's 10 s limit: a stop must not wait for a hanging tool.
STOP_S = 5
INACTIVE = '1 1 1 1'
BIN0_ACTIVE = '0 1 1 1'
REQUESTS = ['0x80004207', '0x8000421B', '0x8000422E', '0x8000422F']
SET_FAILED = 'Simulated failure'
UNREADABLE = line(facts.INPUT_UNREADABLE, 'bin0')
WEB_REQUEST = line(facts.REQUEST, DEVICE)
WEB_TRUSTED = line(facts.PAIRED_FROM_WEB, DEVICE)


def settings(pairable_bin='0', discoverable_mode=None, level=4):
    '''A settings file; None leaves a key out.'''
    values = {'SYSLOGLEV': level, 'PAIRABLE_BIN': pairable_bin, 'DISCOVERABLE': discoverable_mode}
    return facts.settings(**{key: value for key, value in values.items() if value is not None})


def window_line(pairable_bin, change):
    return line(facts.BIN_CHANGED, pairable_bin, change)


def window(value, discoverable_mode=None):
    '''The calls of one pass that sets the window to VALUE.'''
    if str(discoverable_mode) == '2':
        return (pairable(value), discoverable(value))
    return (pairable(value),)


def pass_runs(calls, discoverable_mode=None):
    '''The loop's calls cut into passes, as (calls of a pass, passes in a row).'''
    width = len(window(True, discoverable_mode))
    assert len(calls) % width == 0, calls
    passes = [tuple(calls[i:i + width]) for i in range(0, len(calls), width)]
    return [(one_pass, len(list(run))) for one_pass, run in itertools.groupby(passes)]


def loop_calls(gw, shutdown=()):
    '''The daemon's calls between its start and its stop (which must be START,
    and SHUTDOWN followed by STOP).'''
    calls = gw.calls()
    tail = list(shutdown) + STOP
    assert calls[:len(START)] == START, calls
    assert calls[-len(tail):] == tail, calls
    return calls[len(START):-len(tail)]


def loop_calls_so_far(gw):
    '''The daemon's calls after its start-up ones, while it runs.'''
    calls = gw.calls()
    assert calls[:len(START)] == START, calls
    return calls[len(START):]


def readings(gw, start=0):
    '''(request, result) of every input ioctl the GPIO stand-in answered.'''
    found = []
    for line in gw.gpio_log():
        words = line.split()
        if len(words) == 3 and words[0] == 'ioctl':
            found.append((words[1], int(words[2])))
    return found[start:]


def wait_readings(gw, count, start=0, level=None, timeout=5):
    '''Waits for COUNT readings (of LEVEL, when given) from START on; returns
    how many readings there are then.'''

    def enough():
        seen = readings(gw)
        matching = [r for r in seen[start:] if level is None or r[1] == level]
        return len(seen) if len(matching) >= count else None

    return wait_until(enough, timeout, f'{count} GPIO readings of {level} from reading {start} on')


def opens(gw):
    return [line for line in gw.gpio_log() if line.startswith('open ')]


def stop(gw, sig=signal.SIGTERM):
    return daemon_steps.stop(gw, sig, STOP_S)


def start(gw, config, levels=INACTIVE, **io):
    gw.settings(config)
    gw.io_tool(**io)
    gw.gpio(levels)
    gw.start_daemon()
    gw.syslog.wait_for(STARTED[1], STARTED[0])


# ------------------------------------------------ the transition table


def test_first_reading_not_zero_closes_the_window_silently(bluez_gateway):
    '''The tool prints 1 and exits 3: -1 -> 0 sets false without a line
    although the input is active; the GPIO reading then opens the window.'''
    gw = bluez_gateway
    start(gw, settings('0', 2), levels=BIN0_ACTIVE, exit=3)
    enabled, disabled = window_line('0', 'enabled'), window_line('0', 'disabled')
    gw.syslog.wait_for(enabled[1], INFO)
    gw.gpio(INACTIVE)
    gw.syslog.wait_for(disabled[1], INFO)

    assert stop(gw) == 0
    assert gw.syslog.lines == [scan_started(), STARTED, enabled, disabled, SCAN_STOPPED,
                               FINISHED]
    runs = pass_runs(loop_calls(gw), 2)
    assert [one_pass for one_pass, _ in runs] == [
        window(False, 2), window(True, 2), window(False, 2)], runs
    assert runs[0][1] == 1 and runs[2][1] == 1, runs
    assert gw.io_calls() == ['get bin0']


# ------------------------------------------------------- reader choice


@pytest.mark.parametrize('pairable_bin, index', [
    ('0', 0), ('1', 1), ('2', 2), ('3', 3), ('12', 1),
])
def test_first_character_selects_the_input(bluez_gateway, pairable_bin, index):
    '''Only the selected input reads inactive: any other one read would keep
    the window open. The line names the setting's whole text.'''
    gw = bluez_gateway
    levels = ['0'] * 4
    levels[index] = '1'
    start(gw, settings(pairable_bin), levels=' '.join(levels))
    gw.syslog.wait_for(window_line(pairable_bin, 'disabled')[1], INFO)

    assert stop(gw) == 0
    assert gw.syslog.lines == [scan_started(), STARTED, window_line(pairable_bin, 'enabled'),
                               window_line(pairable_bin, 'disabled'), SCAN_STOPPED, FINISHED]
    assert loop_calls(gw) == [pairable(True), pairable(False)]
    assert gw.io_calls() == [f'get bin{index}']
    assert {request for request, _ in readings(gw)} == {REQUESTS[index]}


@pytest.mark.parametrize('pairable_bin', ['4', 'x', '', None],
                         ids=['4', 'letter', 'empty', 'no-key'])
def test_no_input_selected(bluez_gateway, pairable_bin):
    '''The first pass closes the window without a line; then nothing at all.'''
    gw = bluez_gateway
    start(gw, settings(pairable_bin, 2), levels=BIN0_ACTIVE)
    gw.wait_for_call('Set')
    barrier(gw, turns=3)

    assert stop(gw) == 0
    assert gw.syslog.lines == [scan_started(), STARTED, SCAN_STOPPED, FINISHED]
    assert loop_calls(gw) == list(window(False, 2))
    assert gw.io_calls() == [] and gw.gpio_log() == []


def test_unsupported_input_reads_active_for_ever(bluez_gateway):
    '''No GPIO device access ever; every reading is 0, so the window opens once
    and stays open, with one warning naming the input, and the stop closes it.
    Here there is no tool; a tool that prints no digit is the readers' unit
    tests' (ReaderUnsupported).'''
    gw = bluez_gateway
    start(gw, settings('0'), levels=INACTIVE, present=False)
    gw.syslog.wait_for(window_line('0', 'enabled')[1], INFO)
    barrier(gw, turns=5)

    assert stop(gw) == 0
    assert gw.syslog.lines == [scan_started(), STARTED, UNREADABLE, window_line('0', 'enabled'),
                               BIN_DISABLED_AT_EXIT, SCAN_STOPPED, FINISHED]
    assert loop_calls(gw, shutdown=[pairable(False)]) == [pairable(True)]
    assert gw.io_calls() == [] and gw.gpio_log() == []


def test_a_flapping_input_moves_the_window_each_time_and_is_told_as_a_burst(bluez_gateway):
    '''An input whose readings fail and succeed in turn: the window follows
    every reading, and the warning of each failure after a good reading is
    logged once, then as counts.'''
    gw = bluez_gateway
    start(gw, settings('0'), exit=1)
    seen = wait_readings(gw, 1, level=1)
    for _ in range(20):
        gw.gpio('e 1 1 1')
        seen = wait_readings(gw, 1, seen, level=-1)
        gw.gpio(INACTIVE)
        seen = wait_readings(gw, 1, seen, level=1)
    counts = counted(gw, 0, 19, facts.UNREADABLE_LEFT_OUT, 'bin0')
    assert stop(gw) == 0
    assert [told for told in gw.syslog.lines if told[0] == WARNING] == [UNREADABLE] + counts
    assert loop_calls(gw) == [pairable(False)] + [pairable(True), pairable(False)] * 20
    assert gw.syslog.lines.count(window_line('0', 'disabled')) == 20


# ------------------------------------------------------- web pairing


def test_input_is_left_alone_while_a_web_pairing_runs(bluez_gateway):
    '''From the Pair call on, no GPIO reading and no property call: the window
    stays as it was even when the input goes inactive meanwhile. Once the
    pairing has ended the input is read again.'''
    gw = bluez_gateway
    start(gw, settings('0', 2), levels=BIN0_ACTIVE)
    gw.syslog.wait_for(window_line('0', 'enabled')[1], INFO)
    wait_readings(gw, 3, level=0)
    reply = gw.reply_reader()
    gw.set_pair_behaviour(mode='hold')
    gw.write_request(DEVICE.encode())
    paired_at = gw.wait_for_call('Pair')
    readings_then = len(readings(gw))

    gw.gpio(INACTIVE)
    barrier(gw, turns=3)
    assert len(readings(gw)) == readings_then
    assert gw.calls(paired_at) == [pair()]

    assert gw.release_pairs() == 1
    assert reply.read(facts.REPLY_SIZE) == facts.REPLY_PAIRED
    wait_agent_back(gw, paired_at)
    gw.syslog.wait_for(window_line('0', 'disabled')[1], INFO)
    assert stop(gw) == 0
    assert gw.syslog.lines == [scan_started(), STARTED, window_line('0', 'enabled'), WEB_REQUEST,
                               WEB_TRUSTED, window_line('0', 'disabled'), SCAN_STOPPED, FINISHED]
    calls = loop_calls(gw)
    # The swap back made BlueZ set the adapter pairable: the window, still
    # open as last read, is applied at once; the next reading closes it.
    assert calls[paired_at - len(START):] == [
        pair(), trusted(True), UNREGISTER_AGENT, *registration(),
        pairable(True), discoverable(True), pairable(False), discoverable(False)]
    before = calls[:paired_at - len(START)]
    assert before[-3:] == SWAP_IN
    assert before[:-3] == list(window(True, 2))


def test_stop_during_a_web_pairing_clears_the_window(bluez_gateway):
    '''Shutdown clears Pairable whenever the state is not 0, also while a
    pairing holds the input's last decision.'''
    gw = bluez_gateway
    start(gw, settings('0', 2), levels=BIN0_ACTIVE)
    gw.syslog.wait_for(window_line('0', 'enabled')[1], INFO)
    gw.set_pair_behaviour(mode='hold')
    gw.write_request(DEVICE.encode())
    gw.wait_for_call('Pair')
    assert stop(gw) == 0
    assert gw.syslog.lines[-3:] == [BIN_DISABLED_AT_EXIT, SCAN_STOPPED, FINISHED]
    assert loop_calls(gw, shutdown=[pairable(False)])[-1] == pair()


# ------------------------------------------------------ failing calls


def test_failing_property_calls_are_retried_once_a_second_and_told_as_a_burst(bluez_gateway):
    '''A failed Set changes nothing else, and is tried again at most once a
    second while the decision stands; once BlueZ takes it, nothing more is
    sent. BlueZ refusing for a while is told by each property's first failure,
    then counts of the others.'''
    gw = bluez_gateway
    gw.fail_method('org.freedesktop.DBus.Properties', 'Set', 'org.bluez.Error.Failed',
                   SET_FAILED, count=-1)
    start(gw, settings('0', 2))
    began = time.monotonic()
    gw.syslog.wait_for(window_line('0', 'disabled')[1], INFO)
    # Two retries of the closed window, both properties tried: none under way.
    gw.wait_for_call('Set', lambda c: c.args[1] == 'Discoverable', start=len(START) + 7)
    mark = len(gw.calls())
    gw.sim.ClearFailures()
    taken = gw.wait_for_call('Set', start=mark)
    wait_readings(gw, 20, len(readings(gw)), level=1)

    assert stop(gw) == 0
    seconds = time.monotonic() - began
    failures = [line(facts.SETTING_PAIRABLE_FAILED, SET_FAILED),
                line(facts.SETTING_DISCOVERABLE_FAILED, SET_FAILED)]
    lines = gw.syslog.lines
    assert lines[:6] == [scan_started(), STARTED] + failures + [
        window_line('0', 'enabled'), window_line('0', 'disabled')]
    calls = loop_calls(gw)
    assert calls[:4] == list(window(True, 2) + window(False, 2))
    # Retries of the closed window only, one a second at most, the last taken.
    assert pass_runs(calls[4:], 2) == [(window(False, 2), len(calls[4:]) // 2)]
    assert len(calls[4:]) // 2 <= seconds + 1 and taken - len(START) == len(calls) - 2, calls
    counts = [counted(gw, 0, len(calls) // 2 - 2, facts.SETTING_FAILURES_LEFT_OUT, name)
              for name in ('Pairable', 'Discoverable')]
    assert sorted(lines[6:-2]) == sorted(counts[0] + counts[1])
    assert lines[-2:] == [SCAN_STOPPED, FINISHED]


# ------------------------------------------ BlueZ's word and other adapters

HCI1 = '/org/bluez/hci1'
STRANGER = '00:1A:7D:DA:71:99'
UNSEEN = '00:1A:7D:DA:71:95'
STRANGER_PATH = f'{HCI1}/dev_00_1A_7D_DA_71_99'
REJECTED = 'org.bluez.Error.Rejected'


def turn(gw, path, name, value, by):
    '''Turns an adapter's property to VALUE as BlueZ itself does after its
    PairableTimeout or DiscoverableTimeout (by='bluez'), or as another bus
    client's Set does (by='client'); either is announced with PropertiesChanged.'''
    if by == 'bluez':
        gw.set_property(path, 'org.bluez.Adapter1', name, dbus.Boolean(value))
        gw.emit_properties_changed(path, 'org.bluez.Adapter1', {name: dbus.Boolean(value)})
    else:
        gw.bus.call_blocking('org.bluez', path, 'org.freedesktop.DBus.Properties', 'Set', 'ssv',
                             ['org.bluez.Adapter1', name, dbus.Boolean(value)])


def wait_property(gw, path, name, value):
    wait_until(lambda: gw.property(path, 'org.bluez.Adapter1', name) == value, 5,
               f'{path} {name} {value}')


@pytest.mark.parametrize('by', ['bluez', 'client'])
def test_window_is_held_to_its_decision_on_bluez_word(bluez_gateway, by):
    '''Open: BlueZ turning Pairable or Discoverable off is answered by setting
    the window again; closed: so is BlueZ turning Pairable on. Nothing is set
    while BlueZ reports nothing.'''
    gw = bluez_gateway
    start(gw, settings('0', 2), levels=BIN0_ACTIVE)
    gw.syslog.wait_for(window_line('0', 'enabled')[1], INFO)
    barrier(gw, turns=3)
    assert loop_calls_so_far(gw) == list(window(True, 2))

    for name in ['Pairable', 'Discoverable']:
        mark = len(gw.calls())
        turn(gw, ADAPTER, name, False, by)
        gw.wait_for_call('Set', lambda c: c.args[2] is True, start=mark)
        wait_property(gw, ADAPTER, name, True)
        barrier(gw, turns=3)
        assert gw.calls(mark) == list(window(True, 2))

    gw.gpio(INACTIVE)
    gw.syslog.wait_for(window_line('0', 'disabled')[1], INFO)
    mark = len(gw.calls())
    turn(gw, ADAPTER, 'Pairable', True, by)
    gw.wait_for_call('Set', start=mark)
    wait_property(gw, ADAPTER, 'Pairable', False)
    barrier(gw, turns=3)
    assert gw.calls(mark) == list(window(False, 2))
    assert stop(gw) == 0


def test_reassertion_is_bounded_however_often_it_is_flipped(bluez_gateway):
    '''Another client flips Pairable as fast as it can: the daemon sets it back
    a few times a second at most, and holds it once the flipping stops. A Set
    that failed is made again within that bound once BlueZ reports the
    property away or the adapter powered.'''
    gw = bluez_gateway
    start(gw, settings('0'), levels=BIN0_ACTIVE)
    gw.syslog.wait_for(window_line('0', 'enabled')[1], INFO)
    mark = len(gw.calls())
    began = time.monotonic()
    flips = 0
    while time.monotonic() - began < 1.5:
        turn(gw, ADAPTER, 'Pairable', False, 'client')
        turn(gw, ADAPTER, 'Pairable', True, 'client')
        flips += 2
    turn(gw, ADAPTER, 'Pairable', False, 'client')
    seconds = time.monotonic() - began
    wait_property(gw, ADAPTER, 'Pairable', True)
    sets = gw.calls(mark)
    print(f'{len(sets)} Set calls of the daemon against {flips} flips in {seconds:.2f} s')
    assert sets and all(call == pairable(True) for call in sets), sets
    assert len(sets) <= 4 * seconds + 3

    # bluetoothd 5.82 answers Busy (no message) to a Set on an adapter it is
    # still powering after a restart, then powers it and makes it pairable:
    # BlueZ's word of that, or of the adapter powered, is acted on as any
    # other, not a second later when the failed Set is due again.
    for report in ({'Pairable': dbus.Boolean(False)}, {'Powered': dbus.Boolean(True)}):
        mark = len(gw.calls())
        gw.fail_method('org.freedesktop.DBus.Properties', 'Set', 'org.bluez.Error.Busy', '')
        turn(gw, ADAPTER, 'Pairable', False, 'bluez')
        failed = gw.wait_for_call('Set', start=mark)
        gw.emit_properties_changed(ADAPTER, 'org.bluez.Adapter1', report)
        barrier(gw)
        # Readings come at least 20 ms apart, each after the Sets of the pass
        # before: 16 of them outlast the four-a-second bound, not the retry.
        wait_readings(gw, 16, len(readings(gw)))
        assert gw.calls(mark) == [pairable(True)] * 2 and failed == mark, gw.calls(mark)
        wait_property(gw, ADAPTER, 'Pairable', True)
    # That first Busy is no failure to tell; one that outlasts it is.
    mark = len(gw.calls())
    gw.fail_method('org.freedesktop.DBus.Properties', 'Set', 'org.bluez.Error.Busy', '', count=2)
    turn(gw, ADAPTER, 'Pairable', False, 'bluez')
    wait_property(gw, ADAPTER, 'Pairable', True)
    assert gw.calls(mark) == [pairable(True)] * 3, gw.calls(mark)
    assert stop(gw) == 0
    assert [e for e in gw.syslog.lines if e[0] <= ERR] == [line(facts.SETTING_PAIRABLE_FAILED, '')]


def test_every_other_adapter_is_kept_shut(gateway):
    '''A second controller is made non-pairable at start, right after the
    DisplayYesNo registration of a web pairing, at its end, and whenever BlueZ
    reports it pairable; an adapter that appears is shut too. During the web
    pairing a stranger is refused, on either adapter; BlueZ refuses a pairing
    with the shut controller, and one announced there anyway is not trusted.'''
    gw = gateway
    gw.settings(settings('0', 2))
    gw.io_tool()
    gw.gpio(BIN0_ACTIVE)
    gw.start_bus()
    gw.start_bluez(adapters=('hci0', 'hci1'),
                   devices=(('hci0', DEVICE, 'Phone'), ('hci0', STRANGER, 'Stranger'),
                            ('hci1', STRANGER, 'Stranger')))
    gw.start_daemon()
    gw.syslog.wait_for(window_line('0', 'enabled')[1], INFO)
    shut = [pairable(False, HCI1), discoverable(False, HCI1)]
    gw.wait_for_call('Set', lambda c: c.path == HCI1 and c.args[1] == 'Discoverable')
    assert loop_calls_so_far(gw) == list(window(True, 2)) + shut
    wait_property(gw, HCI1, 'Pairable', False)

    reply = gw.reply_reader()
    gw.set_pair_behaviour(mode='hold')
    paired_at = daemon_steps.request_pairing(gw)
    assert gw.calls(paired_at - 5) == SWAP_IN + shut + [pair()]
    assert gw.property(ADAPTER, 'org.bluez.Adapter1', 'Pairable') is True
    for method, signature, args in [
            ('RequestConfirmation', 'ou', [STRANGER_PATH, 7]),
            ('RequestConfirmation', 'ou', [f'{HCI1}/dev_{DEVICE.replace(":", "_")}', 7]),
            ('RequestConfirmation', 'ou', [f'{ADAPTER}/dev_00_1A_7D_DA_71_99', 7]),
            ('RequestAuthorization', 'o', [f'{ADAPTER}/dev_00_1A_7D_DA_71_99']),
            ('RequestPasskey', 'o', [STRANGER_PATH])]:
        call = gw.call_agent(method, signature, args)
        assert gw.agent_answer(call)[:2] == ('error', REJECTED), (method, args)
    # Linux 5.10 bonds a Just Works stranger without asking the agent: it is
    # removed once announced; the requested device's own announcement is the
    # web pairing's.
    gw.emit_properties_changed(f'{ADAPTER}/dev_00_1A_7D_DA_71_99', 'org.bluez.Device1',
                               {'Paired': dbus.Boolean(True)})
    gw.emit_properties_changed(DEVICE_PATH, 'org.bluez.Device1', {'Paired': dbus.Boolean(True)})
    during = line(facts.PAIRED_DURING_WEB_PAIRING, STRANGER)
    gw.syslog.wait_for(during[1], during[0])
    barrier(gw)
    assert gw.calls(paired_at + 1) == [remove_device(f'{ADAPTER}/dev_00_1A_7D_DA_71_99')]
    assert reply.nothing_pending()
    assert gw.release_pairs() == 1
    assert reply.read(facts.REPLY_SIZE) == facts.REPLY_PAIRED
    back = wait_agent_back(gw, paired_at)
    gw.wait_for_call('Set', lambda c: c.path == HCI1 and c.args[1] == 'Discoverable', start=back)
    assert gw.calls(back) == registration() + list(window(True, 2)) + shut

    mark = len(gw.calls())
    turn(gw, HCI1, 'Pairable', True, 'bluez')
    gw.wait_for_call('Set', start=mark)
    wait_property(gw, HCI1, 'Pairable', False)

    # bluetoothd refuses a pairing with a non-pairable adapter; one that raced
    # the shut is announced, and is not trusted.
    with pytest.raises(dbus.DBusException) as refused:
        gw.mock.PairDevice('hci1', STRANGER, 0x5a020c)
    assert refused.value.get_dbus_name() == 'org.bluez.Error.AuthenticationFailed'
    gw.emit_properties_changed(STRANGER_PATH, 'org.bluez.Device1', {'Paired': dbus.Boolean(True)})
    barrier(gw, turns=3)

    gw.mock.AddAdapter('hci2', 'hci2')
    gw.wait_for_call('Set', lambda c: c.path == '/org/bluez/hci2', start=mark)
    wait_property(gw, '/org/bluez/hci2', 'Pairable', False)
    barrier(gw, turns=3)
    assert gw.calls(mark) == shut + [pairable(False, '/org/bluez/hci2'),
                                     discoverable(False, '/org/bluez/hci2')]
    assert not any('trusted' in text for text in gw.syslog.texts() if STRANGER in text)
    assert stop(gw) == 0


def bus_stats(gw, name):
    return gw.bus.call_blocking('org.freedesktop.DBus', '/org/freedesktop/DBus',
                                'org.freedesktop.DBus.Debug.Stats', 'GetConnectionStats', 's',
                                (name,))


def test_only_a_device_paired_while_the_window_is_open_is_trusted(bluez_gateway):
    '''With the window closed, a pairing that asks bonding is refused, and one
    that asks none, which the kernel lets through whatever Pairable, earns no
    trust, while a bond stored before the start, announced paired again, is
    trusted again, never removed; the window opened, a phone bonds, a web
    pairing of another device starts, and the phone, announced paired during
    it, is trusted; the requested device announced paired again is trusted
    again; a phone that bonds while the daemon is stalled and the input let go
    meanwhile began with the window open, as BlueZ said first; closed again, a
    device that never paired earns no trust either.'''
    gw = bluez_gateway
    late, known, web = '00:1A:7D:DA:71:98', '00:1A:7D:DA:71:96', '00:1A:7D:DA:71:97'
    stalled = '00:1A:7D:DA:71:94'
    for address in (STRANGER, late, web, stalled):
        gw.mock.AddDevice('hci0', address, 'Stranger')
    gw.mock.LoadBond('hci0', known, 'Known', False)
    gw.sim.SetResponderDelay(0.2)
    start(gw, settings('0'), exit=1)
    gw.wait_for_call('Set')
    with pytest.raises(dbus.DBusException) as refused:
        gw.mock.PairDevice('hci0', STRANGER, 0x5a020c)
    assert refused.value.get_dbus_name() == 'org.bluez.Error.AuthenticationFailed'
    stranger = line(facts.PAIRED_WITH_WINDOW_CLOSED, STRANGER)
    gw.mock.PairDeviceWithoutBonding('hci0', STRANGER)
    gw.syslog.wait_for(stranger[1], stranger[0])
    gw.mock.ReconnectDevice('hci0', known)
    again = line(facts.PAIRED_BY_DEVICE, known)
    gw.syslog.wait_for(again[1], again[0])

    enabled, disabled = window_line('0', 'enabled'), window_line('0', 'disabled')
    gw.gpio(BIN0_ACTIVE)
    gw.syslog.wait_for(enabled[1], INFO)
    reply = gw.reply_reader()
    gw.set_pair_behaviour(mode='hold')
    gw.sim.SetResponderDelay(1.0)
    gw.mock.PairDevice('hci0', DEVICE, 0x5a020c)
    barrier(gw)  # the phone's Bonded seen before the request
    web_at = daemon_steps.request_pairing(gw, web)
    phone = line(facts.PAIRED_BY_DEVICE, DEVICE)
    gw.syslog.wait_for(phone[1], phone[0])
    assert gw.release_pairs() == 1
    assert reply.read(facts.REPLY_SIZE) == facts.REPLY_PAIRED
    wait_agent_back(gw, web_at)
    web_path = f'{ADAPTER}/dev_{web.replace(":", "_")}'
    gw.emit_properties_changed(web_path, 'org.bluez.Device1', {'Paired': dbus.Boolean(True)})
    unseen = line(facts.PAIRED_BY_DEVICE, UNSEEN)  # its object made by the pairing
    gw.mock.PairDevice('hci0', UNSEEN, 0x5a020c)
    gw.syslog.wait_for(unseen[1], unseen[0])

    with gw.daemon_stalled():
        # Connected, then Bonded, wait in the daemon's socket, as bluetoothd sends them.
        gw.emit_properties_changed(f'{ADAPTER}/dev_00_1A_7D_DA_71_94', 'org.bluez.Device1',
                                   {'Connected': dbus.Boolean(True)})
        gw.mock.PairDevice('hci0', stalled, 0x5a020c)
        gw.gpio(INACTIVE)
        time.sleep(0.1)  # a stall of five sample periods: a sample is due when it goes on
        wait_until(lambda: not bus_stats(gw, gw.daemon_name())['OutgoingMessages'], 5,
                   'the bus to have written the signals to the daemon')
    gw.syslog.wait_for(disabled[1], INFO)
    late_phone = line(facts.PAIRED_BY_DEVICE, stalled)
    gw.syslog.wait_for(late_phone[1], late_phone[0])
    gw.mock.PairDeviceWithoutBonding('hci0', late)
    gw.wait_for_call('RemoveDevice', lambda c: late.replace(':', '_') in c.args[0])
    assert [c for c in gw.calls() if c.args[1:2] == ['Trusted']] == [
        trusted(True, f'{ADAPTER}/dev_{known.replace(":", "_")}'), trusted(True),
        trusted(True, web_path), trusted(True, web_path),
        trusted(True, f'{ADAPTER}/dev_00_1A_7D_DA_71_95'),
        trusted(True, f'{ADAPTER}/dev_00_1A_7D_DA_71_94')]
    assert [c for c in gw.calls() if c.member == 'RemoveDevice'] == [
        remove_device(f'{ADAPTER}/dev_{a.replace(":", "_")}') for a in (STRANGER, late)]
    assert stop(gw) == 0
    # Told in full, or, within two seconds of the first, counted.
    assert gw.syslog.lines in ([scan_started(), STARTED, stranger, again, enabled,
                                line(facts.REQUEST, web), phone, line(facts.PAIRED_FROM_WEB, web),
                                line(facts.PAIRED_BY_DEVICE, web), unseen, disabled, late_phone,
                                told,
                                SCAN_STOPPED, FINISHED] for told in (
        line(facts.PAIRED_WITH_WINDOW_CLOSED, late), line(facts.REMOVALS_LEFT_OUT, 1)))


def test_input_is_sampled_not_spun_on(bluez_gateway):
    '''While the window stays closed the input is read on its period, not on
    every pass, and nothing is set.'''
    gw = bluez_gateway
    start(gw, settings('0'))
    gw.syslog.wait_for(window_line('0', 'disabled')[1], INFO)
    first = len(readings(gw))
    began = time.monotonic()
    wait_readings(gw, 25, first)
    barrier(gw, turns=10)  # agent calls between the samples add none
    seen = len(readings(gw)) - first
    seconds = time.monotonic() - began
    print(f'{seen} readings in {seconds:.3f} s')
    assert seen <= seconds / 0.020 + 2
    assert stop(gw) == 0
    assert loop_calls(gw) == [pairable(True), pairable(False)]


# ---------------------------------------------------- the tool's faults


@pytest.mark.parametrize('level', [4, 0], ids=['logging', 'silent'])
def test_probe_with_closed_standard_streams(bluez_gateway, level):
    '''Started without 0, 1 and 2, the daemon's own descriptors take their
    numbers; when it logs nothing, no log socket takes one, and descriptor 2
    is still free when the probe makes its pipe.'''
    gw = bluez_gateway
    gw.settings(settings('0', level=level))
    gw.io_tool()
    gw.gpio(INACTIVE)
    gw.start_daemon(close_stdio=True)
    # Open (the probe's pass), then closed by the first GPIO reading.
    gw.wait_for_call('Set', lambda call: call.args[2] is False)
    assert gw.daemon_children() == []

    assert stop(gw) == 0
    assert loop_calls(gw) == [pairable(True), pairable(False)]
    assert gw.io_calls() == ['get bin0']
    assert readings(gw)[0] == (REQUESTS[0], 1)
    if level == 4:
        assert gw.syslog.lines == [scan_started(), STARTED, window_line('0', 'enabled'),
                                   window_line('0', 'disabled'), SCAN_STOPPED, FINISHED]


@pytest.mark.skipif(bool(EMULATED), reason='the limit is set by a host shell around the daemon')
def test_probe_without_descriptors_is_told_as_a_burst(bluez_gateway, tmp_path):
    '''With no descriptor left for the tool's pipe, the probe fails at once on
    every pass: logged once, then as counts of the lines left out, and the
    passes go on.'''
    gw = bluez_gateway
    limited = tmp_path / 'few-descriptors'
    # 0, 1, 2, the log, the bus and the request pipe; one left over.
    limited.write_text(f'#!/bin/sh\nulimit -n 7\nexec {gw.daemon_path}\n')
    limited.chmod(0o755)
    gw.settings(settings('0'))
    gw.io_tool()
    gw.gpio(INACTIVE)
    gw.start_daemon(binary=limited)
    failed = line(facts.PROBE_NO_PIPE, 'bin0')
    left_out = re.compile(r'gpio: (\d+) more failures when checking support for bin0 were not '
                          r'logged')
    gw.syslog.wait_for(left_out, ERR, timeout=5)
    assert stop(gw) == 0
    texts = [text for priority, text in gw.syslog.lines if priority == ERR]
    assert texts[0] == failed[1]
    counts = [int(left_out.fullmatch(text).group(1)) for text in texts[1:]]
    assert min(counts) > 10  # the samples went on meanwhile
    assert gw.io_calls() == []


def wait_tool(gw, count=1):
    '''The pid of the COUNTth run of the hanging tool, once it hangs; it must
    be the daemon's only child.'''
    wait_until(lambda: len(gw.io_calls()) >= count, 5, f'I/O tool run {count}')
    pids = wait_until(lambda: [pid for pid, _, name in gw.daemon_children() if name == 'sleep'],
                      5, 'the hanging I/O tool')
    assert [pid for pid, _, _ in gw.daemon_children()] == pids, gw.daemon_children()
    return pids[0]


@pytest.mark.parametrize('sig', [signal.SIGTERM, signal.SIGINT])
def test_stop_during_a_hanging_probe(bluez_gateway, sig):
    '''The stop cuts the probe short: no reading counts, the window was never
    decided (-1), so the normal shutdown closes it; the tool is killed and reaped.'''
    gw = bluez_gateway
    start(gw, settings('0'), mode='hang')
    tool = wait_tool(gw)

    assert stop(gw, sig) == 0
    assert not os.path.exists(f'/proc/{tool}')
    assert gw.syslog.lines == [scan_started(), STARTED, BIN_DISABLED_AT_EXIT, SCAN_STOPPED,
                               FINISHED]
    assert loop_calls(gw, shutdown=[pairable(False)]) == []
    assert gw.gpio_log() == []


def test_hanging_probe_times_out_and_is_retried(bluez_gateway):
    '''After 10 s the tool is killed and reaped, the probe fails with a line
    (a failed reading is 0: the window opens) and the next pass probes again.'''
    gw = bluez_gateway
    start(gw, settings('0'), mode='hang')
    first = wait_tool(gw)
    gw.syslog.wait_for('gpio: timeout when checking support for bin0', ERR, timeout=15)
    second = wait_tool(gw, count=2)
    assert second != first and not os.path.exists(f'/proc/{first}')

    assert stop(gw) == 0
    assert not os.path.exists(f'/proc/{second}')
    assert gw.syslog.lines == [scan_started(), STARTED,
                               line(facts.PROBE_TIMEOUT, 'bin0'),
                               UNREADABLE, window_line('0', 'enabled'), BIN_DISABLED_AT_EXIT,
                               SCAN_STOPPED,
                               FINISHED]
    assert loop_calls(gw, shutdown=[pairable(False)]) == [pairable(True)]
    assert gw.io_calls() == ['get bin0'] * 2
