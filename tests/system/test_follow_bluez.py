'''pairgated following BlueZ through the gateway's life: bluetoothd restarted,
a controller replaced by another, a pairing cut short, forged news of either.
Every case ends with a web pairing that succeeds through the BlueZ or the
adapter of now.'''

import re
import signal
import subprocess
import time

import dbus
import dbus.lowlevel
import pytest

from daemon_steps import (log_mark, logged_since, pairgate_pair, request_pairing, stop,
                          wait_agent_back, wait_first_pass)
from expected import (AGENT, DEVICE, DEVICE_PATH, ERR, FINISHED, GET_MANAGED_OBJECTS, INFO,
                      NAP_UUID, NOTICE, WARNING, discoverable, pair, pairable,
                      start_discovery)
from expected import facts, line
from gateway import wait_until

pytestmark = pytest.mark.usefixtures('needs_daemon')

PHONE = ('hci0', DEVICE, 'Phone')
FAILED = facts.REPLY_FAILED
LEFT = facts.BLUEZ_LEFT
REMOVED = line(facts.ADAPTER_REMOVED, '/org/bluez/hci0')
WAITING = facts.BLUEZ_BACK_WITHOUT_ADAPTER
BIN0_ACTIVE = '0 1 1 1'


def scanning(adapter='/org/bluez/hci0'):
    return line(facts.FOLLOWING_SCAN_STARTED, adapter)


@pytest.fixture
def follow(running):
    '''A running daemon after its first pass, the web UI's reader on the reply pipe.'''
    wait_first_pass(running)
    running.reply = running.reply_reader()
    return running


def leave(gw):
    start = log_mark(gw)
    gw.stop_bluez()
    gw.syslog.wait_for(LEFT[1], LEFT[0], start=start)
    return start


def come_back(gw, start=0):
    '''Starts a new BlueZ the way bluetoothd starts: it takes its name, then
    exports its adapter. Returns once the daemon works on the adapter.'''
    gw.start_bluez((), ())
    gw.syslog.wait_for(WAITING[1], WAITING[0], start=start)
    gw.mock.AddAdapter('hci0', 'hci0')
    gw.mock.AddDevice(*PHONE)
    gw.syslog.wait_for(scanning()[1], NOTICE, start=start)


def web_pairing_succeeds(gw, adapter='/org/bluez/hci0'):
    gw.set_pair_behaviour(mode='confirm', passkey=42)
    start = len(gw.calls())
    gw.write_request(DEVICE.encode())
    index = gw.wait_for_call('Pair', start=start)
    assert gw.calls()[index] == pair(f'{adapter}/dev_{DEVICE.replace(":", "_")}')
    assert gw.reply.read(facts.REPLY_SIZE) == facts.reply_passkey(42)
    wait_agent_back(gw, start)


def settled(gw, timeout):
    '''Returns once the daemon has dealt with every change of BlueZ so far
    (a call from BlueZ is answered after them), with the outcomes of the
    pairings they cut short read off the reply pipe.'''
    call = gw.call_agent('AuthorizeService', 'os', [DEVICE_PATH, NAP_UUID], gw.daemon_name(),
                         AGENT)
    assert gw.agent_answer(call, timeout) == ('return', '', '')
    while not gw.reply.nothing_pending():
        assert gw.reply.read(facts.REPLY_SIZE) == FAILED


def served_within(gw, seconds):
    '''Once BlueZ has settled, writes requests until one is served (a
    passkey, the agent back), which must happen within SECONDS; a request
    may be refused at once until the daemon has caught up.'''
    deadline = time.monotonic() + seconds
    settled(gw, seconds)
    gw.set_pair_behaviour(mode='confirm', passkey=42)
    while True:
        start = len(gw.calls())
        gw.write_request(DEVICE.encode())
        outcome = gw.reply.read(facts.REPLY_SIZE, timeout=max(0.1, deadline - time.monotonic()))
        if outcome == facts.reply_passkey(42):
            wait_agent_back(gw, start)
            return
        assert outcome == FAILED
        assert time.monotonic() < deadline, f'no request served within {seconds} s'
        time.sleep(0.05)  # the next try of a web UI


def test_bluez_restarted_mid_web_pairing(follow):
    follow.set_pair_behaviour(mode='hold')
    follow.write_request(DEVICE.encode())
    follow.wait_for_call('Pair')
    start = leave(follow)
    assert follow.reply.read(facts.REPLY_SIZE) == FAILED
    assert logged_since(follow, start) == [
        LEFT, line(facts.PAIRING_FAILED, DEVICE, 'BlueZ has left the system bus')]
    come_back(follow, start)
    web_pairing_succeeds(follow)


def test_bluez_restarted_while_the_input_holds_the_window_open(bluez_gateway):
    gw = bluez_gateway
    gw.settings(facts.settings(SYSLOGLEV=4, PAIRABLE_BIN=0, DISCOVERABLE=2))
    gw.io_tool()
    gw.gpio(BIN0_ACTIVE)
    gw.start_daemon()
    gw.wait_for_call('Set', lambda c: c.args[1] == 'Discoverable' and c.args[2])
    come_back(gw, leave(gw))
    # Applied again on the new BlueZ, from the input, as at start.
    gw.wait_for_call('Set', lambda c: c.args[1] == 'Discoverable' and c.args[2])
    assert gw.calls()[4:6] == [pairable(True), discoverable(True)]
    # The new BlueZ is listened to: a device that pairs now is trusted.
    gw.emit_properties_changed(DEVICE_PATH, 'org.bluez.Device1', {'Paired': True})
    gw.syslog.wait_for(line(facts.PAIRED_BY_DEVICE, DEVICE)[1], INFO)
    assert gw.property(DEVICE_PATH, 'org.bluez.Device1', 'Trusted') is True
    gw.reply = gw.reply_reader()
    web_pairing_succeeds(gw)


def test_adapter_replaced_by_another(follow):
    start = log_mark(follow)
    mark = len(follow.calls())
    follow.mock.RemoveAdapter('hci0')
    follow.syslog.wait_for('(Following BlueZ) Adapter /org/bluez/hci0 has been removed', WARNING)
    follow.mock.AddAdapter('hci1', 'hci1')
    follow.mock.AddDevice('hci1', DEVICE, 'Phone')
    follow.syslog.wait_for(scanning('/org/bluez/hci1')[1], NOTICE)
    follow.wait_for_call('Set', start=mark)
    # The removal looked for another adapter; the agent stays registered with BlueZ.
    assert follow.calls(mark) == [GET_MANAGED_OBJECTS, start_discovery('/org/bluez/hci1'),
                                  pairable(False, '/org/bluez/hci1')]
    assert logged_since(follow, start) == [
        REMOVED,
        scanning('/org/bluez/hci1')]
    web_pairing_succeeds(follow, '/org/bluez/hci1')

    # bluetoothd 5.82 may export an adapter before it powers it, answering
    # StartDiscovery with NotReady until then: the adapter is kept, and
    # discovery starts once BlueZ reports it powered.
    hci2 = '/org/bluez/hci2'
    start = log_mark(follow)
    follow.fail_method('org.bluez.Adapter1', 'StartDiscovery', 'org.bluez.Error.NotReady',
                       'Resource Not Ready')
    mark = len(follow.calls())
    follow.mock.RemoveAdapter('hci1')
    follow.syslog.wait_for(line(facts.ADAPTER_REMOVED, '/org/bluez/hci1')[1], WARNING)
    follow.mock.AddAdapter('hci2', 'hci2')
    follow.mock.AddDevice('hci2', DEVICE, 'Phone')
    follow.wait_for_call('Set', start=mark)
    follow.emit_properties_changed(hci2, 'org.bluez.Adapter1', {'Powered': dbus.Boolean(True)})
    follow.syslog.wait_for(scanning(hci2)[1], NOTICE)
    assert follow.calls(mark) == [GET_MANAGED_OBJECTS, start_discovery(hci2),
                                  pairable(False, hci2), start_discovery(hci2)]
    assert logged_since(follow, start) == [
        line(facts.ADAPTER_REMOVED, '/org/bluez/hci1'),
        line(facts.FOLLOWING_ADAPTER_NOT_POWERED, hci2), scanning(hci2)]
    web_pairing_succeeds(follow, hci2)


def test_requests_while_bluez_is_away_are_refused(follow):
    leave(follow)
    start = log_mark(follow)
    follow.write_request(DEVICE.encode())
    assert follow.reply.read(facts.REPLY_SIZE) == FAILED
    assert logged_since(follow, start) == [
        line(facts.REQUEST_REFUSED, DEVICE, 'BlueZ is not on the system bus')]
    assert follow.daemon.poll() is None
    follow.start_bluez((), ())  # bluetoothd owns its name before it exports an adapter
    follow.syslog.wait_for(WAITING[1], WAITING[0], start=start)
    follow.write_request(DEVICE.encode())
    assert follow.reply.read(facts.REPLY_SIZE) == FAILED
    follow.syslog.wait_for(f'Request from web UI to pair {DEVICE} refused: no adapter is present',
                           ERR)
    follow.mock.AddAdapter('hci0', 'hci0')
    follow.mock.AddDevice('hci0', DEVICE, 'Phone')
    follow.syslog.wait_for(scanning()[1], NOTICE)
    web_pairing_succeeds(follow)


def test_stop_while_bluez_is_away(follow):
    leave(follow)
    start = log_mark(follow)
    assert stop(follow) == 1
    lines = logged_since(follow, start)
    assert [priority for priority, _ in lines] == [WARNING, WARNING, NOTICE]
    assert lines[0][1].startswith('(Quiting) Deregistering agent failed: ')
    assert lines[1:] == [
        line(facts.STOPPING_DISCOVERY_FAILED, 'no adapter has been selected'), FINISHED]
    assert not follow.request_pipe.exists()


OBJECT_MANAGER = 'org.freedesktop.DBus.ObjectManager'
BUS = ('/org/freedesktop/DBus', 'org.freedesktop.DBus')


def forge(gw, signals):
    '''Signals (path, interface, member, signature, args) that a stray client
    sends straight to the daemon; returns once the daemon has dispatched
    them, as the answer to a later call from the same client shows.'''
    intruder = gw.connect()
    daemon = gw.daemon_name()
    for path, interface, member, signature, args in signals:
        signal = dbus.lowlevel.SignalMessage(path, interface, member)
        signal.append(*args, signature=signature)
        signal.set_destination(daemon)
        intruder.send_message(signal)
    with pytest.raises(dbus.DBusException):
        intruder.call_blocking(daemon, '/', 'org.pairgate.Nothing', 'Barrier', '', [], timeout=10)


def test_forged_news_of_bluez_changes_nothing(follow):
    start = log_mark(follow)
    mark = len(follow.calls())
    owner = follow.bus.get_name_owner('org.bluez')
    adapter = dbus.Dictionary({'org.bluez.Adapter1': dbus.Dictionary({}, signature='sv')},
                              signature='sa{sv}')
    forge(follow, [
        (*BUS, 'NameOwnerChanged', 'sss', ['org.bluez', owner, '']),
        (*BUS, 'NameOwnerChanged', 'sss', ['org.bluez', '', owner]),
        ('/', OBJECT_MANAGER, 'InterfacesRemoved', 'oas', ['/org/bluez/hci0', ['org.bluez.Adapter1']]),
        ('/', OBJECT_MANAGER, 'InterfacesAdded', 'oa{sa{sv}}', ['/org/bluez/hci1', adapter]),
    ])
    assert logged_since(follow, start) == []
    assert follow.calls(mark) == []
    web_pairing_succeeds(follow)


def test_client_that_times_out_cancels_its_pairing(follow):
    follow.set_pair_behaviour(mode='hold')
    mark = len(follow.calls())
    status, events, _ = pairgate_pair(follow, '--timeout', '1', DEVICE)
    assert (status, events) == (facts.EXIT_TIMED_OUT, [facts.event(facts.EVENT_TIMEOUT)])
    # Asked by the client before it gave up; BlueZ then fails the held Pair.
    assert [c.path for c in follow.log() if c.member == 'CancelPairing'] == [DEVICE_PATH]
    wait_agent_back(follow, mark)
    follow.syslog.wait_for(re.compile(f'^Pairing with {DEVICE} failed: AuthenticationCanceled$'),
                           ERR)
    # The next client gets its own outcome, not the abandoned one.
    follow.set_pair_behaviour(mode='direct')
    status, events, _ = pairgate_pair(follow, DEVICE)
    assert (status, events) == (facts.EXIT_PAIRED,
                                [facts.event(facts.EVENT_PAIRED, address=DEVICE)])


def test_a_signal_ends_a_client_that_waits_on_a_hung_bluez(follow):
    '''After the passkey the client asks BlueZ whether the device is paired;
    a bluetoothd that answers nothing must not hold a web server's SIGTERM
    until the time limit: the client cancels and ends by the signal.'''
    gw = follow
    gw.set_pair_behaviour(mode='hold')
    start = len(gw.calls())
    client = gw.spawn(gw.target_command(gw.client_path) + ['--json', '--grace', '0.5',
                                                           '--timeout', '30', DEVICE],
                      sandboxed=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    gw.wait_for_call('Pair', start=start)
    call = gw.call_agent('RequestConfirmation', 'ou', [DEVICE_PATH, 123456])
    assert gw.agent_answer(call)[0] == 'return'
    assert client.stdout.readline() == b'{"event":"passkey","passkey":"123456"}\n'
    rule = "type='method_call',member='GetManagedObjects'"
    with gw.bus_monitor(rule) as sent, gw.bluez_hung():
        sent('member=GetManagedObjects', timeout=10)  # the client's question, unanswered
        client.send_signal(signal.SIGTERM)
        # Well within the time limit of 30 s: its cancel waits at most 1 s.
        out, err = client.communicate(timeout=10)
    assert (client.returncode, out, err) == (-signal.SIGTERM, b'', b'')
    gw.release_pairs()


def test_killed_client_leaves_no_outcome_to_the_next(follow):
    '''A CGI time-out or Ctrl-C ends a client: it cancels its pairing first.
    A client killed outright cannot; the next one, whose request waited in the
    pipe meanwhile, takes neither the six 0x01 nor the six 0x00 of that
    pairing for its own, and reports its own device's outcome.'''
    gw = follow
    other, other_path = '00:1A:7D:DA:71:14', '/org/bluez/hci0/dev_00_1A_7D_DA_71_14'
    gw.mock.AddDevice('hci0', other, 'Tablet')

    def client(address):
        return gw.spawn(gw.target_command(gw.client_path) + ['--json', address], sandboxed=True,
                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGKILL):
        gw.set_pair_behaviour(mode='hold')
        mark, start = len(gw.log()), len(gw.calls())
        first = client(DEVICE)
        gw.wait_for_call('Pair', start=start)
        first.send_signal(sig)
        assert first.communicate(timeout=10) == (b'', b'')
        assert first.returncode == -sig
        cancels = [c.path for c in gw.log(mark) if c.member == 'CancelPairing']
        assert cancels == ([] if sig == signal.SIGKILL else [DEVICE_PATH]), sig
        if sig != signal.SIGKILL:
            wait_agent_back(gw, start)  # its failure written, for nobody
    # The killed client's Pair is still held: the next request waits behind it.
    second = client(other)
    wait_until(lambda: gw.request_pending() == 17, 10, "the second client's request")
    gw.set_pair_behaviour(mode='direct', error_name='org.bluez.Error.AuthenticationFailed')
    assert gw.release_pairs() == 1  # the first device pairs: six 0x01 for nobody waiting
    out, _ = second.communicate(timeout=20)
    assert (second.returncode, out) == (facts.EXIT_FAILED,
                                        facts.event_line(facts.EVENT_FAILED, address=other))
    assert gw.property(DEVICE_PATH, 'org.bluez.Device1', 'Paired')
    assert not gw.property(other_path, 'org.bluez.Device1', 'Paired')
    # Now the killed client's pairing fails while the next request waits.
    third, third_path = '00:1A:7D:DA:71:15', '/org/bluez/hci0/dev_00_1A_7D_DA_71_15'
    gw.mock.AddDevice('hci0', third, 'Headset')
    gw.set_pair_behaviour(mode='hold')
    start = len(gw.calls())
    killed = client(third)
    gw.wait_for_call('Pair', lambda c: c.path == third_path, start=start)
    killed.kill()
    killed.communicate(timeout=10)
    second = client(other)
    wait_until(lambda: gw.request_pending() == 17, 10, "the second client's request")
    gw.set_pair_behaviour(mode='direct')
    assert gw.release_pairs(error_name='org.bluez.Error.AuthenticationFailed') == 1
    out, _ = second.communicate(timeout=20)
    assert (second.returncode, out) == (facts.EXIT_PAIRED,
                                        facts.event_line(facts.EVENT_PAIRED, address=other))
    assert gw.property(other_path, 'org.bluez.Device1', 'Paired')
    assert not gw.property(third_path, 'org.bluez.Device1', 'Paired')


def test_owner_races_and_adapter_churn(follow):
    '''bluetoothd restarting three times 30 ms apart and answering every call
    20 ms late: the daemon acts for the owner of now only, and what an earlier
    owner's handling set up with the newest (agent, discovery) counts as
    done. Then the adapter goes and comes back during web pairings. After
    each, once BlueZ has settled, a request is served within 5 s.'''
    gw = follow
    for _ in range(3):
        gw.restart_storm(count=3, interval=0.03, answer_delay=0.02)
        served_within(gw, 5)
        settled(gw, 5)
        wait_until(lambda: gw.agents() == [(gw.daemon_name(), AGENT, 'NoInputNoOutput')], 5,
                   'the agent registered as NoInputNoOutput')
    for _ in range(5):
        gw.set_pair_behaviour(mode='hold')
        request_pairing(gw)
        gw.mock.RemoveAdapterWithDevices('hci0')
        gw.mock.AddAdapter('hci0', 'hci0')
        gw.mock.AddDevice(*PHONE)
        assert gw.reply.read(facts.REPLY_SIZE) == FAILED
        served_within(gw, 5)
