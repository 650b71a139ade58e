'''The daemon's life on the simulated gateway: start-up, shutdown, failures at
every step, the log mask and the settings it acts on.'''

import os
import re
import signal
import stat
import subprocess
import time

import pytest

from expected import (ADAPTER, BIN_DISABLED_AT_EXIT, DEVICE_PATH, ERR, FINISHED,
                      GET_MANAGED_OBJECTS, INFO, NAP_UUID, SCAN_STOPPED, START, STARTED,
                      STOP, UNREGISTER_AGENT, WARNING, pairable, registration, scan_started,
                      start_discovery, stop_discovery)
from expected import facts, line
from daemon_steps import barrier, pairgate_pair, run_to_failure, stop, wait_first_pass

pytestmark = pytest.mark.usefixtures('needs_daemon')

NO_ADAPTER = 'no adapter has been selected'
OBJECT_MANAGER = 'org.freedesktop.DBus.ObjectManager'
FIRST_PASS = pairable(False)  # no input configured: the first pass clears Pairable once


def test_no_bus(gateway):
    gateway.settings(facts.settings(SYSLOGLEV=4))
    assert run_to_failure(gateway) == 1
    (priority, text), finished = gateway.syslog.lines
    assert priority == ERR
    assert re.fullmatch(r'\(Starting\) Connecting to D-Bus failed: .*No such file or directory',
                        text), text
    assert finished == FINISHED


# What each failed start-up logs first; the shutdown that follows is checked
# with it (the agent was never registered with BlueZ, so its unregistration
# always fails).
NOT_REGISTERED = line(facts.DEREGISTERING_FAILED_AT_EXIT, 'Does Not Exist')
SHUTDOWN_WITHOUT_ADAPTER = [
    line(facts.DISABLING_PAIRABLE_FAILED, NO_ADAPTER), BIN_DISABLED_AT_EXIT,
    NOT_REGISTERED, line(facts.STOPPING_DISCOVERY_FAILED, NO_ADAPTER), FINISHED]
SHUTDOWN_WITH_ADAPTER = [BIN_DISABLED_AT_EXIT, NOT_REGISTERED, SCAN_STOPPED, FINISHED]
CALLS_WITH_ADAPTER = [pairable(False), UNREGISTER_AGENT, stop_discovery()]


def test_no_adapter(bluez_gateway):
    gw = bluez_gateway
    gw.set_object_paths(['/org/bluez', '/org/bluez/hci0/dev_00_1A_7D_DA_71_13'])
    assert run_to_failure(gw) == 1
    assert gw.syslog.lines == [
        line(facts.NO_ADAPTER_AT_START, 'no adapter is present')
    ] + SHUTDOWN_WITHOUT_ADAPTER
    # The empty adapter path never reaches the bus.
    assert gw.calls() == [GET_MANAGED_OBJECTS, UNREGISTER_AGENT]


def test_object_list_that_fails_or_is_not_an_array(bluez_gateway):
    gw = bluez_gateway
    gw.fail_method(OBJECT_MANAGER, 'GetManagedObjects', 'org.freedesktop.DBus.Error.Failed',
                   'BlueZ is busy')
    assert run_to_failure(gw) == 1
    assert gw.syslog.texts()[0] == '(Starting) No hci interface on DBus found: BlueZ is busy'

    start = len(gw.syslog.lines)
    gw.set_reply(OBJECT_MANAGER, 'GetManagedObjects', 's', [ADAPTER])
    assert run_to_failure(gw) == 1
    assert gw.syslog.lines[start:] == [
        line(facts.NO_ADAPTER_AT_START, 'no adapter is present')
    ] + SHUTDOWN_WITHOUT_ADAPTER


HCI12 = tuple(f'hci{n}' for n in range(12))


@pytest.mark.parametrize('adapters, listed, chosen, shut', [
    (('hci0', 'hci1'), ['/org/bluez/hci1', '/org/bluez/hci0'], '/org/bluez/hci1',
     ['/org/bluez/hci0']),
    (('hci0',), ['/org/bluez/hci0/dev_00_1A_7D_DA_71_13', '/org/bluez/hci0'], '/org/bluez/hci0',
     []),
    (('hci',), ['/org/bluez', '/org/bluez/hci'], '/org/bluez/hci', []),
    (('hci01234567890123456', 'hci0123456789'),
     ['/org/bluez/hci01234567890123456', '/org/bluez/hci0123456789'],
     '/org/bluez/hci0123456789', []),  # the first, cut to 24 characters, is the second
    (HCI12, [f'/org/bluez/{name}' for name in HCI12], '/org/bluez/hci0',
     [f'/org/bluez/{name}' for name in HCI12[1:]]),
], ids=['several', 'device-first', 'no-digits', 'too-long', 'twelve'])
def test_adapter_choice(gateway, adapters, listed, chosen, shut):
    '''The first adapter is the daemon's; every other one is made non-pairable
    right after it.'''
    gateway.settings(facts.settings(SYSLOGLEV=4))
    gateway.start_bus()
    gateway.start_bluez(adapters=adapters, devices=())
    gateway.set_object_paths(listed)
    gateway.start_daemon()
    wait_first_pass(gateway)
    if shut:
        gateway.wait_for_call('Set', lambda c: c.path == shut[-1])
    assert stop(gateway) == 0
    assert gateway.calls() == [
        GET_MANAGED_OBJECTS, start_discovery(chosen), *registration(), pairable(False, chosen)
    ] + [pairable(False, other) for other in shut] + [UNREGISTER_AGENT, stop_discovery(chosen)]
    assert gateway.syslog.lines[0] == scan_started(chosen)


def test_discovery_refused(bluez_gateway):
    gw = bluez_gateway
    gw.fail_method('org.bluez.Adapter1', 'StartDiscovery', 'org.bluez.Error.NotReady',
                   'Resource Not Ready')
    assert run_to_failure(gw) == 1
    assert gw.syslog.lines == [
        line(facts.DISCOVERY_FAILED_AT_START, 'Resource Not Ready')
    ] + SHUTDOWN_WITH_ADAPTER
    assert gw.calls() == [GET_MANAGED_OBJECTS, start_discovery()] + CALLS_WITH_ADAPTER


def test_request_pipe_cannot_be_created(bluez_gateway):
    gw = bluez_gateway
    assert run_to_failure(gw, read_only_var_tmp=True) == 1
    assert gw.syslog.lines == [
        scan_started(),
        line(facts.CREATING_INPUT_FIFO_FAILED, facts.REQUEST_PIPE, 'Read-only file system'),
    ] + SHUTDOWN_WITH_ADAPTER
    assert gw.calls() == [GET_MANAGED_OBJECTS, start_discovery()] + CALLS_WITH_ADAPTER


SECRET = 'AA:BB:CC:DD:EE:FF a secret'
NOBODY = 65534


def plant_file(gw):
    gw.request_pipe.write_text('00:11:22:33:44:55 from a file')
    return 'a regular file', 0


def plant_link(gw):
    secret = gw.root / 'secret'
    secret.write_text(SECRET)
    gw.request_pipe.symlink_to(secret)
    return 'a symbolic link', 0


def plant_foreign_pipe(gw):
    os.mkfifo(gw.request_pipe, 0o666)
    os.chmod(gw.request_pipe, 0o666)
    os.chown(gw.request_pipe, NOBODY, NOBODY)
    return 'a named pipe', NOBODY


@pytest.mark.parametrize('plant', [plant_file, plant_link, plant_foreign_pipe],
                         ids=['regular-file', 'symlink', 'foreign-pipe'])
def test_planted_request_pipe_is_replaced(bluez_gateway, plant):
    '''/var/tmp is writable by everyone: what another user left at the pipe's
    path is replaced by a private pipe, never read, followed or written.'''
    gw = bluez_gateway
    kind, owner = plant(gw)
    gw.start_daemon()
    wait_first_pass(gw)
    status = os.lstat(gw.request_pipe)
    assert stat.S_ISFIFO(status.st_mode) and status.st_uid == 0
    assert stat.S_IMODE(status.st_mode) == 0o600
    assert stop(gw) == 0
    assert line(facts.INPUT_FIFO_REPLACED, facts.REQUEST_PIPE, kind, owner) in gw.syslog.lines
    if (gw.root / 'secret').exists():
        assert (gw.root / 'secret').read_text() == SECRET
    assert sorted(p.name for p in (gw.root / 'var-tmp').iterdir()) == []


def test_planted_pipe_gives_its_owner_no_say(bluez_gateway):
    '''A user who planted the pipe and holds it open can write what they like
    into it: nothing pairs. The web UI's request, through the path, still does.'''
    gw = bluez_gateway
    plant_foreign_pipe(gw)
    planted = os.open(gw.request_pipe, os.O_RDWR | os.O_NONBLOCK)
    try:
        gw.start_daemon()
        wait_first_pass(gw)
        os.write(planted, b'00:1A:7D:DA:71:13')
        gw.set_pair_behaviour(mode='direct')
        reply = gw.reply_reader()
        start = len(gw.calls())
        gw.write_request(b'00:1A:7D:DA:71:13')
        gw.wait_for_call('Pair', start=start)
        assert reply.read(facts.REPLY_SIZE) == facts.REPLY_PAIRED
        assert [c.member for c in gw.calls()].count('Pair') == 1
    finally:
        os.close(planted)


def test_directories_at_the_pipes_are_moved_aside(bluez_gateway):
    '''mkdir at a pipe's path, by anyone, disables nothing: the daemon and
    root's pairgate-pair rename the directory, contents and all, to a fresh
    name in /var/tmp and make their pipe. Neither ever makes a directory
    there, so root's own is moved too.'''
    gw = bluez_gateway
    for path, owner in ((gw.request_pipe, NOBODY), (gw.reply_pipe, 0)):
        path.mkdir()
        (path / 'keep').write_text(SECRET)
        os.chown(path, owner, owner)
    gw.start_daemon()
    wait_first_pass(gw)
    gw.set_pair_behaviour(mode='direct')
    status, events, err = pairgate_pair(gw, '00:1A:7D:DA:71:13')
    assert (status, events) == (facts.EXIT_PAIRED,
                                [facts.event(facts.EVENT_PAIRED, address='00:1A:7D:DA:71:13')])
    assert stop(gw) == 0
    moved = {p.name.split('.fifo.')[0]: p for p in (gw.root / 'var-tmp').iterdir()
             if '.fifo.' in p.name}
    assert sorted(moved) == ['duskpair', 'duskweb']
    for name, owner in (('duskpair', NOBODY), ('duskweb', 0)):
        assert moved[name].stat().st_uid == owner
        assert (moved[name] / 'keep').read_text() == SECRET
    assert (WARNING, f'(Starting) Input FIFO (/var/tmp/duskpair.fifo) was a directory owned by '
                     f'uid {NOBODY}; moved it to /var/tmp/{moved["duskpair"].name} and made a new '
                     'one') in gw.syslog.lines
    assert err.decode() == ('pairgate-pair: the reply pipe /var/tmp/duskweb.fifo was a directory '
                            f'of uid 0; moved it to /var/tmp/{moved["duskweb"].name}\n')
    assert stat.S_ISFIFO(gw.reply_pipe.lstat().st_mode)


def test_a_second_daemon_leaves_the_first_alone(running):
    '''A second pairgated started while one runs finds the request pipe
    locked: it says so, ends with status 1 and undoes nothing of the first's
    (the pipe, the agent, the window); the first goes on serving requests.'''
    gw = running
    wait_first_pass(gw)
    first, log, start = gw.daemon, len(gw.syslog.lines), len(gw.log())
    for _ in range(2):
        second = gw.start_daemon(wait=False)
        assert second.wait(10) == 1
        gw.syslog.sync()
        assert gw.syslog.lines[log:] == [
            scan_started(),
            line(facts.INPUT_FIFO_IN_USE, facts.REQUEST_PIPE),
            FINISHED]
        # Everyone's calls: the first daemon, idle, makes none.
        assert gw.log(start) == [GET_MANAGED_OBJECTS, start_discovery()]
        log, start = len(gw.syslog.lines), len(gw.log())
    gw.daemon = first
    assert stat.S_ISFIFO(gw.request_pipe.lstat().st_mode)
    gw.set_pair_behaviour(mode='direct')
    status, events, _ = pairgate_pair(gw, '00:1A:7D:DA:71:13')
    assert (status, events) == (facts.EXIT_PAIRED,
                                [facts.event(facts.EVENT_PAIRED, address='00:1A:7D:DA:71:13')])
    assert stop(gw) == 0
    assert not gw.request_pipe.exists()


def test_a_mkdir_loop_at_the_pipes_stops_no_start(bluez_gateway):
    '''Someone looping mkdir at a pipe's path gets a directory back there the
    moment one is moved away; the daemon and root's pairgate-pair still start
    every time, and each start moves at most the one directory it found.'''
    gw = bluez_gateway
    var_tmp = gw.root / 'var-tmp'
    starts = 10
    loop = gw.mkdir_loop(gw.request_pipe)
    try:
        for _ in range(starts):
            gw.start_daemon()
            wait_first_pass(gw)
            assert stop(gw) == 0, gw.syslog.lines
    finally:
        loop.kill()
        loop.wait()
    moved = [p for p in var_tmp.iterdir() if p.name.startswith('duskpair.fifo.')]
    assert 1 <= len(moved) <= starts
    assert not [t for t in gw.syslog.texts() if 'failed' in t]
    if gw.request_pipe.is_dir():  # the loop, killed, may not have made one since the last stop
        gw.request_pipe.rmdir()
    gw.start_daemon()
    wait_first_pass(gw)
    gw.set_pair_behaviour(mode='direct')
    loop = gw.mkdir_loop(gw.reply_pipe)
    try:
        for _ in range(starts):
            status, events, _ = pairgate_pair(gw, '00:1A:7D:DA:71:13')
            assert (status, events[-1:]) in (
                (facts.EXIT_PAIRED, [facts.event(facts.EVENT_PAIRED, address='00:1A:7D:DA:71:13')]),
                (facts.EXIT_FAILED,
                 [facts.event(facts.EVENT_FAILED, address='00:1A:7D:DA:71:13')])), events
            gw.reply_pipe.unlink()
    finally:
        loop.kill()
        loop.wait()
    moved = [p for p in var_tmp.iterdir() if p.name.startswith('duskweb.fifo.')]
    assert len(moved) <= starts


def test_match_rule_refused(gateway):
    gateway.settings(facts.settings(SYSLOGLEV=4))
    gateway.start_bus(max_match_rules=2)  # the simulator needs two; the daemon's third fails
    gateway.start_bluez()
    assert run_to_failure(gateway) == 1
    lines = gateway.syslog.lines
    assert lines[0] == scan_started()
    assert lines[1][0] == ERR
    assert lines[1][1].startswith('(Starting) Adding D-Bus match rule failed: ')
    assert lines[2:] == SHUTDOWN_WITH_ADAPTER
    assert not gateway.request_pipe.exists()


def test_agent_registration_refused(bluez_gateway):
    gw = bluez_gateway
    gw.fail_method('org.bluez.AgentManager1', 'RegisterAgent', 'org.bluez.Error.Failed',
                   'No more agents')
    assert run_to_failure(gw) == 1
    assert gw.syslog.lines == [
        scan_started(), line(facts.REGISTERING_FAILED_AT_START, 'No more agents'),
    ] + SHUTDOWN_WITH_ADAPTER
    assert gw.calls() == START[:-1] + CALLS_WITH_ADAPTER  # not the default of a refused agent


def test_refused_default_agent_is_logged_and_the_daemon_goes_on(bluez_gateway):
    gw = bluez_gateway
    gw.fail_method('org.bluez.AgentManager1', 'RequestDefaultAgent', 'org.bluez.Error.Failed',
                   'Not now')
    gw.start_daemon()
    wait_first_pass(gw)
    assert stop(gw) == 0
    assert gw.syslog.lines == [scan_started(), line(facts.REQUESTING_DEFAULT_FAILED, 'Not now'),
                               STARTED, SCAN_STOPPED, FINISHED]
    assert gw.calls() == START + [FIRST_PASS] + STOP


@pytest.mark.parametrize('interface, member, line', [
    ('org.bluez.AgentManager1', 'UnregisterAgent',
     line(facts.DEREGISTERING_FAILED_AT_EXIT, 'Simulated failure')),
    ('org.bluez.Adapter1', 'StopDiscovery',
     line(facts.STOPPING_DISCOVERY_FAILED, 'Simulated failure')),
])
def test_failed_shutdown_step_goes_on_and_sets_status(running, interface, member, line):
    gw = running
    wait_first_pass(gw)
    gw.fail_method(interface, member, 'org.bluez.Error.Failed')
    assert stop(gw) == 1
    assert gw.calls() == START + [FIRST_PASS] + STOP
    assert line in gw.syslog.lines
    assert gw.syslog.lines[-1] == FINISHED
    assert not gw.request_pipe.exists()


def test_bus_going_away_leaves_the_pipe_for_the_next_start(running):
    gw = running
    wait_first_pass(gw)
    gw.stop_bus()
    assert gw.wait_exit() == 1
    gw.syslog.sync()
    assert FINISHED not in gw.syslog.lines
    assert stat.S_ISFIFO(os.stat(gw.request_pipe).st_mode)

    gw.start_bus()
    gw.start_bluez()
    start = len(gw.syslog.lines)
    gw.start_daemon()
    wait_first_pass(gw)
    assert stop(gw) == 0
    assert gw.syslog.lines[start:] == [scan_started(), STARTED, SCAN_STOPPED, FINISHED]


def test_leftover_pipe_is_used_unchanged(bluez_gateway):
    gw = bluez_gateway
    os.mkfifo(gw.request_pipe, 0o640)
    os.chmod(gw.request_pipe, 0o640)
    gw.start_daemon()
    wait_first_pass(gw)
    assert stat.S_IMODE(os.stat(gw.request_pipe).st_mode) == 0o640
    assert stop(gw) == 0
    assert [p for p, _ in gw.syslog.lines if p <= WARNING] == []


def provoke_every_priority(gw):
    '''A run that has something to say at ERR, WARNING, NOTICE and INFO: a
    malformed request, a failed shutdown step, start and stop.'''
    gw.start_daemon()
    wait_first_pass(gw)
    gw.write_request(b'0123456789')
    gw.wait_request_taken()
    gw.fail_method('org.bluez.Adapter1', 'StopDiscovery', 'org.bluez.Error.Failed')
    assert stop(gw) == 1
    return {priority for priority, _ in gw.syslog.lines}


# The level's table is the unit test's (LogMask); here the daemon applies it.
@pytest.mark.parametrize('settings, priorities', [
    (None, set()),
    (facts.settings(SYSLOGLEV=2), {ERR, WARNING}),
], ids=['no-file', '2'])
def test_log_mask(bluez_gateway, settings, priorities):
    bluez_gateway.settings(settings)
    assert provoke_every_priority(bluez_gateway) == priorities


def test_settings_fifo_reads_as_a_missing_file(bluez_gateway):
    '''Opening a FIFO for reading waits for a writer: the daemon must neither
    block at start nor lose its orderly stop.'''
    gw = bluez_gateway
    gw.settings(None)
    os.mkfifo(gw.root / 'etc' / 'settings', 0o600)
    daemon = gw.start_daemon()
    assert daemon.poll() is None
    assert gw.calls()[:len(START)] == START
    wait_first_pass(gw)
    assert stop(gw, signal.SIGTERM) == 0
    assert gw.syslog.lines == []  # log level 0, as without a file


# From SIGTERM to exit, whatever BlueZ does; the unit's TimeoutStopSec and
# the init script's STOP_TIMEOUT leave a margin over it.
STOP_BOUND_S = 20
# The longest wait of a call to BlueZ while no stop is asked for.
BLUEZ_CALL_TIMEOUT_S = 10


@pytest.mark.parametrize('state', ['idle', 'web request pending', 'window open',
                                   'window open, discoverable'])
def test_stop_while_bluez_hangs(bluez_gateway, state):
    '''bluetoothd stopped dead (SIGSTOP): a stop still ends within the bound,
    having tried and logged every shutdown step, with exit status 1.'''
    gw = bluez_gateway
    window = state.startswith('window')
    if window:
        gw.settings(facts.settings(SYSLOGLEV=4, PAIRABLE_BIN=0) +
                    (facts.settings(DISCOVERABLE=2) if 'discoverable' in state else ''))
        gw.io_tool(exit=0)
        gw.gpio('1 1 1 1')
    gw.start_daemon()
    if window:
        gw.syslog.wait_for('By BIN0, Bluetooth automatic paring has been disabled', INFO)
    else:
        wait_first_pass(gw)
    rule = f"type='method_call',sender='{gw.daemon_name()}',destination='org.bluez'"
    with gw.bus_monitor(rule) as sent, gw.bluez_hung():
        # The worst moment: the daemon waits for an answer that will not come.
        if state == 'web request pending':
            gw.write_request(b'00:1A:7D:DA:71:13')
            sent('member=UnregisterAgent')
        elif window:
            # The input goes active: the window's Set is left unanswered.
            gw.gpio('0 1 1 1')
            sent('member=Set')
        began = time.monotonic()
        gw.signal(signal.SIGTERM)
        status = gw.wait_exit(STOP_BOUND_S + 10)
        took = time.monotonic() - began
        gw.syslog.sync()
    print(f'{state}: stopped in {took:.1f} s')
    assert took <= STOP_BOUND_S
    assert status == 1
    texts = gw.syslog.texts()
    shutdown = ['(Quiting) Deregistering agent failed: ', '(Quiting) Stopping Discovery failed: ']
    if window:
        shutdown[:0] = ['(Quiting) Disabling Pairable failed: ', BIN_DISABLED_AT_EXIT[1]]
    steps = [next(i for i, text in enumerate(texts) if text.startswith(step)) for step in shutdown]
    assert steps == sorted(steps), texts
    assert gw.syslog.lines[-1] == FINISHED
    assert not gw.request_pipe.exists()


SHORT_REQUEST = b'00:1A'
MALFORMED = facts.text(facts.MALFORMED_REQUEST, '00:1A', 5)
DROPPED = re.compile('^' + re.escape(facts.LINES_DROPPED[1]).replace(r'\{\}', r'(\d+)') + '$')
STAMP = re.compile(rb'^(<\d+>)[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d ')


def malformed_requests(gw, count):
    '''COUNT requests the daemon logs one line each for, each read before the next.'''
    for _ in range(count):
        gw.write_request(SHORT_REQUEST)
        gw.wait_request_taken()


def glibc_datagrams(gw, lines):
    '''Has glibc's syslog() send LINES, (priority, text) pairs, from a program
    named pairgated to the sandbox's /dev/log, as the daemon's syslog() did
    before it had its own.'''
    code = ('import ctypes, sys\nlibc = ctypes.CDLL(None)\n'
            'for line in sys.stdin.buffer.read().split(b"\\0")[:-1]:\n'
            '    priority, text = line.split(b" ", 1)\n'
            '    libc.syslog(int(priority), b"%s", text)\n')
    proc = gw.spawn(['bash', '-c', 'exec -a pairgated /usr/bin/python3 -c "$0"', code],
                    sandboxed=True, stdin=subprocess.PIPE)
    proc.communicate(b''.join(f'{p} {t}\0'.encode() for p, t in lines), timeout=10)
    assert proc.returncode == 0


def test_stalled_syslog_reader_holds_nothing(running):
    '''A /dev/log reader that stops reading: the agent still answers, lines
    that find no room are dropped and counted, the count follows once the
    reader reads again, and a stop ends the daemon. What is sent is what
    glibc's syslog() sends, byte for byte but for the time stamp.'''
    gw = running
    log = gw.syslog
    wait_first_pass(gw)
    with log.held():
        malformed_requests(gw, 30)
        call = gw.call_agent('AuthorizeService', 'os', [DEVICE_PATH, NAP_UUID])
        assert gw.agent_answer(call) == ('return', '', '')
    # The count goes out before the first line the socket takes again, which
    # may come a few lines later: lines are tried without waiting until then.
    written = 30
    while not log.find(DROPPED, ERR):
        assert written < 60, 'no count of the dropped lines'
        malformed_requests(gw, 1)
        written += 1
        barrier(gw)
        log.sync()
    report = log.find(DROPPED, ERR)[0]
    assert log.lines[report + 1] == (ERR, MALFORMED)
    dropped = int(DROPPED.match(log.lines[report][1]).group(1))
    assert dropped > 0
    assert dropped + len(log.find(MALFORMED, ERR)) == written

    log.sync()
    daemon = len(log.raw)
    glibc_datagrams(gw, [(priority, text) for _, priority, _, text in log.entries])
    log.sync()
    assert len(log.raw) == 2 * daemon
    assert [STAMP.sub(rb'\1', d) for d in log.raw[daemon:]] == \
        [STAMP.sub(rb'\1', d) for d in log.raw[:daemon]]
    assert all(STAMP.match(d) for d in log.raw)

    with log.held():
        malformed_requests(gw, 15)
        gw.signal(signal.SIGTERM)
        assert gw.wait_exit(5) == 0
