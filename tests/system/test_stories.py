'''The stories told on both gateways, `gw`: the simulated one (sim/simulated.py,
ctest) and the real one in a VM of each release (vm/bench.py, scripts/vm-test).
The phone is another machine in both; what only the simulator can tell is
marked sim_only. A value that must hold is sampled over gw.hold_s and the
first wrong reading fails; bluetoothd turns Pairable on by itself when an
agent becomes its default, so the window's checks wait for the daemon's Set.'''

import os
import signal
import stat
import threading
import time

import dbus
import pytest

from expected import (ERR, FINISHED, GET_MANAGED_OBJECTS, SCAN_STOPPED, START, STARTED, STOP,
                      SWAP_BACK, SWAP_IN, pair, pairable, registration, scan_started,
                      start_discovery, trusted)
from expected import facts, line
from gateway import wait_until
from test_pairable import (BIN0_ACTIVE as OPEN, INACTIVE as CLOSED, REQUESTS, UNREADABLE,
                           loop_calls, opens, pass_runs, readings, settings, wait_readings,
                           window, window_line)

ADAPTER = 'org.bluez.Adapter1'
DEVICE = 'org.bluez.Device1'
BOTH = ('Pairable', 'Discoverable')
OPENED, SHUT = window_line('0', 'enabled'), window_line('0', 'disabled')
AUTH_FAILED = 'org.bluez.Error.AuthenticationFailed'
REJECTED = 'org.bluez.Error.Rejected'
UNKNOWN = '00:11:22:33:44:55'
PAIR_LIMIT_S = 75                     # the daemon's own limit on a web pairing's Pair
PASSKEY = facts.event(facts.EVENT_PASSKEY, passkey='000000')
sim_only = pytest.mark.sim_only


# ------------------------------------------------------------------ steps

def wait_call(gw, member, predicate=None, start=0, timeout=15):
    '''Index of the daemon's first call of MEMBER from START on matching PREDICATE.'''
    def found():
        return next((i + 1 for i, call in enumerate(gw.calls(start), start) if call.member == member
                     and (predicate is None or predicate(call))), None)
    return wait_until(found, timeout, f'a {member} call; calls: {gw.calls(start)}') - 1


def wait_log(gw, entry, start=0, timeout=30):
    wait_until(lambda: entry in gw.log(start), timeout, f'the log line {entry}')


def setting(path, name, value):
    return lambda call: call.path == path and call.args[1:] == [name, value]


def holds(gw, path, interface, name, value, what, during=None):
    '''NAME reads VALUE at every sample for gw.hold_s, or while DURING runs
    (what it gives is returned); a wrong reading fails at once.'''
    result = {}
    worker = threading.Thread(target=lambda: result.update(value=during())) if during else None
    if worker:
        worker.start()
    deadline = time.monotonic() + gw.hold_s
    while worker.is_alive() if worker else time.monotonic() < deadline:
        seen = gw.get(path, interface, name)
        assert seen == value, f'{what}: {name} read {bool(seen)}, not {value}'
        time.sleep(0.05)
    return result.get('value')


def window_set(gw, start, value, names=('Pairable',), path=None):
    '''The daemon set NAMES of the gateway (or of PATH) to VALUE after START,
    and bluetoothd has applied it: the call seen on the bus may still wait in
    bluetoothd's queue, and a read meanwhile gives the value before.'''
    for name in names:
        wait_call(gw, 'Set', setting(path or gw.GW, name, value), start)
        wait_until(lambda name=name: gw.get(path or gw.GW, ADAPTER, name) == value, 10,
                   f'{name} {value} applied')


def window_holds(gw, start, value, what, names=('Pairable',), path=None):
    '''The daemon set the window of the gateway (or of PATH) to VALUE after
    START, and it holds.'''
    window_set(gw, start, value, names, path)
    for name in names:
        holds(gw, path or gw.GW, ADAPTER, name, value, what)


def open_window(gw):
    start = gw.log_mark()
    gw.gpio(OPEN)
    wait_log(gw, OPENED, start)


def close_window(gw):
    start = gw.mark()
    gw.gpio(CLOSED)
    return start


def phone_pairs_open(gw):
    '''The phone pairs with the gateway, its window open.'''
    wait_until(lambda: gw.get(gw.GW, ADAPTER, 'Pairable'), 10, 'Pairable true with the window open')
    assert gw.phone_pair() == 'ok', 'the phone could not pair with the window open'


def trusted_soon(gw, timeout=20):
    wait_until(lambda: gw.device_flag(gw.phone_on_gw, 'Trusted'), timeout, 'the phone trusted')


def web_paired(gw):
    '''What pairgate-pair shows of a web pairing of the phone that succeeds.'''
    return facts.EXIT_PAIRED, [PASSKEY, facts.event(facts.EVENT_PAIRED, address=gw.phone_address)]


def web_pairing_fails(gw, address, reason, passkey=()):
    '''A web pairing that fails for REASON; the window is applied after the swap back.'''
    mark, log = gw.mark(), gw.log_mark()
    assert gw.web_pair(address) == (facts.EXIT_FAILED,
                                    [*passkey, facts.event(facts.EVENT_FAILED, address=address)])
    back = wait_call(gw, 'RegisterAgent', lambda c: c.args[1] == 'NoInputNoOutput', mark)
    window_set(gw, back, False)
    # Logged before those calls, but read from the log's socket by a thread of ours.
    wait_log(gw, line(facts.PAIRING_FAILED, address, reason), log)
    assert gw.log(log) == [line(facts.REQUEST, address),
                           line(facts.PAIRING_FAILED, address, reason)]
    return mark


# ---------------------------------------------------------------- stories

@pytest.mark.parametrize('sig', [signal.SIGTERM, pytest.param(signal.SIGINT, marks=sim_only)],
                         ids=['SIGTERM', 'SIGINT'])
def test_startup(gw, sig):
    '''The agent registered, discovery on hci0, Pairable false with no input,
    the request pipe a 0600 FIFO; on the signal, the agent unregistered,
    discovery stopped, exit 0, the pipe removed.'''
    gw.start_daemon()
    window_holds(gw, 0, False, 'no input selected')
    assert gw.get(gw.GW, ADAPTER, 'Discovering')
    mode = os.lstat(gw.request_pipe()).st_mode
    assert stat.S_ISFIFO(mode) and stat.S_IMODE(mode) == 0o600
    assert gw.stop_daemon(sig) == 0
    assert gw.calls() == START + [pairable(False)] + STOP
    assert gw.log() == [scan_started(), STARTED, SCAN_STOPPED, FINISHED]
    assert not gw.get(gw.GW, ADAPTER, 'Discovering')
    assert not os.path.exists(gw.request_pipe())


def test_web(gw):
    '''A device out of range fails well within the daemon's limit on Pair;
    the window open, the phone pairs, bonds and is trusted; closed, a paired
    device and an address with no device object fail; the window is applied
    again after each.'''
    gw.raw_phones()
    gw.start_daemon(settings('0'), gpio=CLOSED, io_exit=1)
    gw.phone_visible()
    gw.phone_out_of_range()
    began = time.monotonic()
    gone = web_pairing_fails(gw, gw.phone_address, 'ConnectionAttemptFailed')
    took = time.monotonic() - began
    gw.figure(f'out-of-range-failed-after-s {took:.2f}')
    assert took < PAIR_LIMIT_S
    window_holds(gw, gone, False, 'after a device out of range')
    gw.phone_out_of_range(gone=False)

    opening = gw.mark()
    open_window(gw)
    window_holds(gw, opening, True, 'window open')
    pairing = gw.mark()
    assert gw.web_pair_phone() == web_paired(gw)
    for name in ('Paired', 'Bonded'):
        assert gw.device_flag(gw.phone_on_gw, name), f'the phone is not {name}'
    trusted_soon(gw, 10)
    window_holds(gw, pairing, True, 'after a web pairing, window open')
    window_holds(gw, close_window(gw), False, 'window closed')
    for address, reason in ((gw.phone_address, 'AlreadyExists'), (UNKNOWN, 'UnknownObject')):
        mark = web_pairing_fails(gw, address, reason)
        assert gw.calls(mark)[-len(SWAP_BACK):] == SWAP_BACK
        holds(gw, gw.GW, ADAPTER, 'Pairable', False, f'after a pairing that failed: {reason}')


def test_window(gw):
    '''Closed: Pairable false throughout the phone's pairing, which fails,
    the phone left untrusted; open: the phone pairs and is trusted; closed
    again: Pairable false, and the phone, forgotten, is a stranger again.'''
    gw.start_daemon(settings('0'), gpio=CLOSED, io_exit=1)
    window_holds(gw, 0, False, 'window closed')
    gw.phone_finds(gw.GW)
    refused = holds(gw, gw.GW, ADAPTER, 'Pairable', False, 'while the phone pairs',
                    during=gw.phone_pair)
    assert refused == AUTH_FAILED, 'paired while closed'
    if gw.phone_on_gw in gw.objects():
        holds(gw, gw.phone_on_gw, DEVICE, 'Trusted', False, 'a device refused while closed')
    open_window(gw)
    phone_pairs_open(gw)
    trusted_soon(gw)
    wait_log(gw, line(facts.PAIRED_BY_DEVICE, gw.phone_address))
    assert [c for c in gw.calls() if c.args[1:] == ['Trusted', True]] == [
        trusted(True, gw.phone_on_gw)]
    closing, log = close_window(gw), gw.log_mark()
    wait_log(gw, SHUT, log)
    window_holds(gw, closing, False, 'window closed again')
    # The phone, its bonds removed, is a stranger again: refused, or, where it
    # gets past the closed adapter (btvirt asks the gateway nothing once it has
    # paired; a pairing that asks no bonding), removed and never trusted.
    gw.phone_forgets_gateway()
    gw.phone_finds(gw.GW)
    log = gw.log_mark()
    again = holds(gw, gw.GW, ADAPTER, 'Pairable', False, 'while a stranger pairs again',
                  during=gw.phone_pair)
    assert again in (AUTH_FAILED, 'ok'), f'the stranger: {again}'
    if again == 'ok':
        wait_log(gw, line(facts.PAIRED_WITH_WINDOW_CLOSED, gw.phone_address), log)
        wait_call(gw, 'RemoveDevice', lambda call: call.args == [gw.phone_on_gw])
        # bluetoothd 5.55 answers the removal of a connected device and drops
        # its link, but may keep its object: it is not waited for there.
        if not gw.real:
            assert gw.phone_on_gw not in gw.objects()
    assert [c for c in gw.calls() if c.args[1:] == ['Trusted', True]] == [
        trusted(True, gw.phone_on_gw)]


def test_nap(gw):
    '''A paired, untrusted phone's NAP connect: the BNEP authorisation granted;
    a serial-port connection that asks for authorisation: refused.'''
    gw.serve_nap()
    gw.start_daemon(settings('0'), gpio=OPEN)
    window_holds(gw, 0, True, 'window open')
    gw.phone_finds(gw.GW)
    assert gw.phone_pair() == 'ok', 'the phone could not pair'
    trusted_soon(gw)
    gw.set(gw.phone_on_gw, DEVICE, 'Trusted', False)
    assert gw.phone_connects_nap().startswith('bnep')
    assert gw.phone_connects_serial() == 'org.bluez.Error.Rejected'


def test_restart(gw):
    '''bluetoothd stops as it does (its adapters removed, Release answered, off
    the bus) and comes back, twice: followed quietly, the agent registered
    again, discovery again, Pairable false; a web pairing pairs and trusts.'''
    gw.raw_phones()
    gw.start_daemon()
    window_holds(gw, 0, False, 'no input selected')
    first = log = gw.log_mark()
    for _ in range(2):
        selected, log = gw.GW, gw.log_mark()
        gw.stop_bluez()
        wait_log(gw, facts.BLUEZ_LEFT, log)
        restarting = gw.mark()
        gw.start_bluez()
        gw.follow_selected(log)
        window_holds(gw, restarting, False, 'after the restart')
        # The agent goes to BlueZ as soon as it is back, discovery once the
        # adapter is there and powered: their order is bluetoothd's timing. An
        # adapter not powered yet refuses discovery (NotReady) until it is.
        timing = [facts.BLUEZ_BACK_WITHOUT_ADAPTER,
                  line(facts.FOLLOWING_ADAPTER_NOT_POWERED, gw.GW)]
        expected = [*registration(), start_discovery(gw.GW), pairable(False, gw.GW)]
        calls = gw.calls(restarting)
        if timing[1] in gw.log(log):
            expected.append(start_discovery(gw.GW))
            # 5.82 may answer the window's Set Busy until then: made again.
            if calls.count(pairable(False, gw.GW)) == 2:
                expected.append(pairable(False, gw.GW))
        assert calls[0] == GET_MANAGED_OBJECTS and sorted(calls[1:]) == sorted(expected), calls
        assert [entry for entry in gw.log(log) if entry not in timing] == [
            line(facts.ADAPTER_REMOVED, selected), facts.BLUEZ_LEFT,
            line(facts.FOLLOWING_SCAN_STARTED, gw.GW)]
    gw.phone_visible()
    assert gw.web_pair_phone() == web_paired(gw)
    trusted_soon(gw, 10)
    assert not [entry for entry in gw.log(first) if entry[0] <= ERR]
    assert 'Attempted to unregister' not in gw.daemon_output()  # libdbus's warning


def test_release(gw):
    '''The input held while the phone pairs and released as soon as the phone
    says paired: its pairing began with the window open, so it stays paired,
    bonded and trusted however late BlueZ announces it paired, and after a
    restart of BlueZ that announces the stored bond paired again.'''
    gw.start_daemon(settings('0'), gpio=CLOSED, io_exit=1)
    gw.phone_finds(gw.GW)
    open_window(gw)
    log = gw.log_mark()
    phone_pairs_open(gw)
    gw.gpio(CLOSED)
    trusted = line(facts.PAIRED_BY_DEVICE, gw.phone_address)
    wait_log(gw, trusted, log)
    holds(gw, gw.phone_on_gw, DEVICE, 'Trusted', True, 'the phone after the release')
    assert [gw.device_flag(gw.phone_on_gw, n) for n in ('Paired', 'Bonded')] == [True, True]
    assert sorted(gw.log(log)) == sorted([SHUT, trusted])  # trusted at once where it can be
    assert not [c for c in gw.calls() if c.member == 'RemoveDevice']
    # Stored, the bond is exported paired by a restarted BlueZ, and announced
    # paired again once the phone is back: it is kept as it was.
    gw.stop_bluez()
    wait_log(gw, facts.BLUEZ_LEFT, log)
    back = gw.mark()
    gw.start_bluez()
    gw.follow_selected(log)
    gw.phone_reconnects()
    holds(gw, gw.phone_on_gw, DEVICE, 'Paired', True, 'the stored bond reconnected')
    # Its Paired announced again is copied into Trusted, also on the other side
    # (the phone's adapter), should the daemon follow that one after the restart.
    trusted_soon(gw, 10)
    assert gw.device_flag(gw.phone_on_gw, 'Bonded')
    assert not [c for c in gw.calls(back) if c.member == 'RemoveDevice']


def test_reject(gw):
    '''The phone rejects the passkey: passkey then failed, the agent back as
    BlueZ's default, which makes the adapter pairable, and the window applied
    again after it.'''
    gw.raw_phones(reject=True)
    gw.start_daemon()
    window_set(gw, 0, False)  # the window's answer to BlueZ's Pairable, before the mark
    gw.phone_visible()
    mark = web_pairing_fails(gw, gw.phone_address, 'AuthenticationFailed', [PASSKEY])
    assert gw.calls(mark) == SWAP_IN + [pair(gw.phone_on_gw)] + SWAP_BACK
    window_holds(gw, mark, False, 'after a rejected web pairing')


def logged(gw, entry, count, start=0):
    wait_until(lambda: gw.log(start).count(entry) >= count, 10, f'{count} x {entry}')


@pytest.mark.parametrize('mode', [pytest.param(mode, marks=sim_only) for mode in (None, 0, 1)] + [
    2, pytest.param(3, marks=sim_only)], ids=['no-key', '0', '1', '2', '3'])
def test_discoverable(gw, mode):
    '''-1 -> 1 by the tool's exit code 0 whatever the level; 1 -> 0 on the
    first GPIO reading; 0 stays 0 without calls; 0 -> 1 sets true once and 1
    stays 1 without calls; 1 -> 0 again. Discoverable only with mode 2: then
    the phone finds the gateway without help.'''
    names = BOTH if mode == 2 else ('Pairable',)
    gw.start_daemon(settings('0', mode), gpio=CLOSED)
    logged(gw, SHUT, 1)
    window_holds(gw, 0, False, 'window closed', names)
    assert gw.daemon_children() == []  # the tool was reaped
    closed_at = len(readings(gw))
    wait_readings(gw, 20, closed_at)
    gw.gpio(OPEN)
    logged(gw, OPENED, 2)
    seen = wait_readings(gw, 3, closed_at, level=0)
    for name in names:
        holds(gw, gw.GW, ADAPTER, name, True, 'window open')
    if mode == 2:
        gw.phone_finds(gw.GW, make_discoverable=False)
    gw.gpio(CLOSED)
    logged(gw, SHUT, 2)
    wait_readings(gw, 20, seen, level=1)
    for name in names:
        holds(gw, gw.GW, ADAPTER, name, False, 'window closed again')
    assert gw.stop_daemon() == 0
    assert gw.log() == [scan_started(), STARTED, OPENED, SHUT, OPENED, SHUT, SCAN_STOPPED, FINISHED]
    runs = pass_runs(loop_calls(gw), mode)
    # One setting per change, none while the input stays where it is.
    assert runs == [(window(value, mode), 1) for value in (True, False, True, False)], runs
    assert gw.io_calls() == ['get bin0']
    (opened,) = opens(gw)  # the device stays open
    assert opened != 'open -1'
    assert {request for request, _ in readings(gw)} == {REQUESTS[0]}


def second_shut(gw, start, what):
    window_holds(gw, start, False, f'hci1 {what}', path=gw.SECOND)


def stranger_refused_by_second(gw, what):
    '''The phone, a stranger to the gateway, pairs with its second controller:
    refused, hci1 non-pairable throughout, nothing paired there.'''
    refused = holds(gw, gw.SECOND, ADAPTER, 'Pairable', False,
                    f'hci1 while a stranger pairs, {what}',
                    during=lambda: gw.phone_pair(target=gw.SECOND))
    assert refused == AUTH_FAILED, f'hci1 paired a stranger, {what}'
    stranger = gw.SECOND + '/dev_' + gw.phone_address.replace(':', '_')
    if stranger in gw.objects():
        for name in ('Paired', 'Trusted'):
            assert not gw.device_flag(stranger, name), f'the stranger {name} on hci1, {what}'


@pytest.mark.bench(controllers=3)
def test_adapters(gw):
    '''The gateway's second controller is kept shut: at start, after a
    client's Set, while a web pairing waits, after its registrations; the
    phone's pairing with it fails with the window closed and open.'''
    gw.raw_phones()
    gw.start_daemon(settings('0'), gpio=CLOSED, io_exit=1)
    window_holds(gw, 0, False, 'window closed')
    second_shut(gw, 0, 'at start')
    gw.set(gw.SECOND, ADAPTER, 'Discoverable', True)
    turning = gw.mark()
    gw.set(gw.SECOND, ADAPTER, 'Pairable', True)
    second_shut(gw, turning, 'after a client set it pairable')
    gw.phone_visible()
    # Each registration makes it pairable (bluetoothd's rule): what counts is
    # the daemon's Set after it, and that it holds while the pairing waits.
    # First: btvirt asks a controller that paired before no IO capability, the
    # step the phone holds the pairing at.
    result, swapped = web_pairing_held(gw, True, lambda gw, registered: second_shut(
        gw, registered, 'during a web pairing, after its registration'))
    assert result == web_paired(gw)
    second_shut(gw, swapped, 'after the swap back')
    for name in ('Bonded', 'Trusted'):
        wait_until(lambda name=name: gw.device_flag(gw.phone_on_gw, name), 10, f'phone {name}')
    gw.phone_finds(gw.SECOND, make_discoverable=False)
    stranger_refused_by_second(gw, 'window closed')
    open_window(gw)
    wait_until(lambda: gw.get(gw.GW, ADAPTER, 'Pairable'), 10, 'Pairable true with the window open')
    stranger_refused_by_second(gw, 'window open')
    window_holds(gw, close_window(gw), False, 'window closed again')


def kept_open(gw, seconds, what, names=BOTH):
    '''NAMES read true over SECONDS, sampled; BlueZ's own time-outs may turn
    one off, but every false spell ends within 1 s. Gives the longest.'''
    spells = {name: None for name in names}
    longest = 0.0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        now = time.monotonic()
        for name in names:
            if gw.get(gw.GW, ADAPTER, name):
                spells[name] = None
            else:
                spells[name] = spells[name] or now
                longest = max(longest, now - spells[name])
                assert now - spells[name] <= 1.0, f'{what}: {name} false for over 1 s'
        time.sleep(0.05)
    return longest


@pytest.mark.bench(main_conf='PairableTimeout = 3\nDiscoverableTimeout = 3\n')
def test_held(gw):
    '''BlueZ's own time-outs (main.conf's, 3 s, on the real one) turn the open
    window off: set again each time, never false for over 1 s; the cost of
    the window; an input that cannot be read told once a spell (2 s apart),
    the window open: a failing GPIO reading (a good one ends the spell), no
    I/O tool.'''
    gw.start_daemon(settings('0', 2), gpio=CLOSED, io_exit=1)
    window_holds(gw, 0, False, 'window closed', BOTH)
    opening = gw.mark()
    open_window(gw)
    window_set(gw, opening, True, BOTH)
    gw.bluez_times_out(BOTH)
    longest = kept_open(gw, 3 * gw.hold_s, 'the window held open')
    gw.figure(f'window-open-longest-false-s {longest:.2f}')
    for name in BOTH:
        again = [c for c in gw.calls(opening) if setting(gw.GW, name, True)(c)]
        assert len(again) >= 2, f'{name} turned off by BlueZ and not set again'
    # The cost of the window itself, without a re-assertion every 3 s.
    for name in ('PairableTimeout', 'DiscoverableTimeout'):
        gw.set(gw.GW, ADAPTER, name, dbus.UInt32(0))
    # A time-out that fell just before may still be in its spell, which ends
    # within 1 s as above; from then on nothing turns the window off.
    wait_until(lambda: gw.get(gw.GW, ADAPTER, 'Pairable'), 1.0, 'the window open again')
    holds(gw, gw.GW, ADAPTER, 'Pairable', True, 'the window open')
    cpu = {'open': gw.cpu(10)}
    window_holds(gw, close_window(gw), False, 'window closed', BOTH)
    cpu['closed'] = gw.cpu(10)
    assert gw.stop_daemon() == 0
    gw.start_daemon()
    window_holds(gw, 0, False, 'no input selected')
    cpu['none'] = gw.cpu(10)
    for name in cpu['none']:
        gw.figure(f'cpu-percent-{name} none {cpu["none"][name]:.1f} '
                  f'closed {cpu["closed"][name]:.1f} open {cpu["open"][name]:.1f}')
    for name in set(cpu['none']) & {'bluetoothd', 'dbus-daemon'}:
        assert cpu['open'][name] - cpu['closed'][name] <= 1.0, f'the open window costs {name}'
    assert gw.stop_daemon() == 0
    log = gw.log_mark()
    gw.start_daemon(settings('0'), gpio=CLOSED)
    logged(gw, SHUT, 1, log)
    for spell in range(2):
        gw.gpio('e 1 1 1')
        logged(gw, UNREADABLE, spell + 1, log)
        # 100 readings, 20 ms apart at least: the next spell is a new one, told in full.
        wait_readings(gw, 100, len(readings(gw)), level=-1, timeout=30)
        gw.gpio(CLOSED)
        logged(gw, SHUT, spell + 2, log)
    assert gw.stop_daemon() == 0
    assert gw.log(log) == [scan_started(), STARTED, OPENED, SHUT] + [
        UNREADABLE, OPENED, SHUT] * 2 + [SCAN_STOPPED, FINISHED]
    gw.remove_io_tool()
    log = gw.log_mark()
    gw.start_daemon(settings('0'), gpio=CLOSED)
    wait_log(gw, UNREADABLE, log)
    wait_log(gw, OPENED, log)
    kept_open(gw, gw.hold_s, 'an unreadable input', ('Pairable',))
    assert gw.log(log).count(UNREADABLE) == 1


def stranger_kept_out(gw, capability, unasked=False):
    '''The stranger pairs with the gateway during a web pairing: its agent
    call refused, or, bonded without one, removed; it is left neither paired
    nor trusted.'''
    mark, log = gw.mark(), gw.log_mark()
    paired, answer = gw.stranger_pairs(capability, unasked)
    if answer is None:
        # Told, or, as the second of a burst of removals, counted.
        wait_call(gw, 'RemoveDevice', lambda c: c.args == [gw.stranger_on_gw], mark)
        told = line(facts.PAIRED_DURING_WEB_PAIRING, gw.stranger_address)
        counts = facts.REMOVALS_LEFT_OUT[1].split('{}')[1]
        assert all(entry == told or counts in entry[1] for entry in gw.log(log)), gw.log(log)
    else:
        assert (paired, answer) == (False, REJECTED), f'a {capability} stranger'
    if gw.stranger_on_gw in gw.objects():
        for name in ('Paired', 'Bonded', 'Trusted'):
            assert not gw.device_flag(gw.stranger_on_gw, name), f'the {capability} stranger {name}'


def strangers_kept_out(gw, _registered):
    stranger_kept_out(gw, 'DisplayYesNo')
    stranger_kept_out(gw, 'NoInputNoOutput')
    if not gw.real:
        # Linux 5.10 bonds a Just Works stranger without asking the agent; the
        # bench cannot run this story on it (vm/run.py), the simulator plays it.
        stranger_kept_out(gw, 'NoInputNoOutput', unasked=True)


def web_pairing_held(gw, accept, meanwhile=strangers_kept_out):
    '''A web pairing of the phone, held by it at its IO capability step while
    MEANWHILE runs (given the index of the daemon's registration for it), then
    let through or refused; gives pairgate-pair's result and the index of the
    swap back.'''
    pairing = gw.mark()
    gw.phone_holds_pairing()
    result = {}
    web = threading.Thread(target=lambda: result.update(value=gw.web_pair(gw.phone_address)),
                           daemon=True)
    web.start()
    gw.phone_held()
    meanwhile(gw, wait_call(gw, 'RegisterAgent', lambda c: c.args[1] == 'DisplayYesNo', pairing))
    gw.phone_answers(accept)
    web.join(90)
    swapped = wait_call(gw, 'RegisterAgent', lambda c: c.args[1] == 'NoInputNoOutput', pairing)
    return result.get('value'), swapped


@pytest.mark.bench(controllers=3)
def test_stranger(gw):
    '''Another agent on the gateway is bluetoothd's default. While the
    requested phone holds a web pairing, a stranger pairing with the gateway
    as DisplayYesNo and as Just Works is refused by the daemon and left
    neither paired nor trusted; the window open, the phone then refuses:
    failed, the window open again; closed, the phone lets it through: passkey
    and paired, bonded and trusted, the window closed again.'''
    gw.raw_phones(stranger=True)
    gw.start_daemon(settings('0'), gpio=OPEN)
    gw.other_agent()
    # Page scan for the stranger: without it, its connection ends in Page Timeout.
    gw.set(gw.GW, ADAPTER, 'Discoverable', True)
    gw.phone_visible()
    window_holds(gw, 0, True, 'window open')
    result, swapped = web_pairing_held(gw, accept=False)
    assert result == (facts.EXIT_FAILED,
                      [facts.event(facts.EVENT_FAILED, address=gw.phone_address)])
    assert not gw.device_flag(gw.phone_on_gw, 'Paired'), 'the phone paired after refusing'
    window_holds(gw, swapped, True, 'window open after a failed web pairing')
    window_holds(gw, close_window(gw), False, 'window closed')
    result, swapped = web_pairing_held(gw, accept=True)
    assert result == web_paired(gw)
    for name in ('Bonded', 'Trusted'):
        wait_until(lambda name=name: gw.device_flag(gw.phone_on_gw, name), 10, f'the phone {name}')
    window_holds(gw, swapped, False, 'window closed after the web pairing')
