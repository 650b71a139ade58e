'''The road of a web-requested pairing: the request pipe, the agent swap, Pair,
the passkey and the outcome on the reply pipe, and pairgate-pair on top.'''

import os
import re
import signal
import stat
import subprocess

import pytest

from daemon_steps import (barrier, log_mark, logged_since, pairgate_pair, request_pairing,
                          wait_agent_back, wait_first_pass)
from expected import (DEVICE, ERR, SWAP_BACK, SWAP_IN, UNREGISTER_AGENT, pair, stop_discovery,
                      trusted)
from expected import facts, line
from gateway import wait_until

pytestmark = pytest.mark.usefixtures('needs_daemon')

PAIRED, FAILED = facts.REPLY_PAIRED, facts.REPLY_FAILED
AUTH_FAILED = 'org.bluez.Error.AuthenticationFailed'
REQUESTED = line(facts.REQUEST, DEVICE)
TRUSTED = line(facts.PAIRED_FROM_WEB, DEVICE)
SECOND_DEVICE = '00:1A:7D:DA:71:14'
SECOND_PATH = '/org/bluez/hci0/dev_00_1A_7D_DA_71_14'


@pytest.fixture
def web(running):
    '''A running daemon after its first pass, with the web UI's reader on the
    reply pipe; gw.calls() from web.mark on are the pairing's.'''
    wait_first_pass(running)
    running.reply = running.reply_reader()
    running.mark = len(running.calls())
    running.log_start = log_mark(running)
    return running


def pairing_calls(gw):
    return gw.calls(gw.mark)


def finish(gw):
    '''Waits until the pairing under way has ended (agent swapped back).'''
    wait_agent_back(gw, gw.mark)
    gw.syslog.sync()


# ------------------------------------------------------------------ outcomes

def test_paired_without_passkey(web):
    web.set_pair_behaviour(mode='direct')
    request_pairing(web)
    finish(web)
    assert pairing_calls(web) == SWAP_IN + [pair(), trusted(True)] + SWAP_BACK
    assert web.reply.read(facts.REPLY_SIZE) == PAIRED
    assert logged_since(web, web.log_start) == [REQUESTED, TRUSTED]
    assert web.agents()[0][1:] == ('/org/bluez/agent_router', 'NoInputNoOutput')


def test_paired_with_passkey(web):
    web.set_pair_behaviour(mode='confirm', passkey=999999)  # the largest BlueZ gives
    request_pairing(web)
    assert web.reply.read(facts.REPLY_SIZE) == facts.reply_passkey(999999)
    finish(web)
    assert pairing_calls(web) == SWAP_IN + [pair(), trusted(True)] + SWAP_BACK
    assert web.pair_confirmations()[0].state == 'return'
    assert web.reply.nothing_pending()  # BlueZ tells the web UI the rest
    assert logged_since(web, web.log_start) == [REQUESTED, TRUSTED]


@pytest.mark.parametrize('mode, passkey', [('direct', b''), ('confirm', b'123456')])
def test_untrusted_pairing_is_a_failure(web, mode, passkey):
    '''Also after a passkey: BlueZ alone would show the web UI a success.'''
    web.set_pair_behaviour(mode=mode)
    web.fail_method('org.freedesktop.DBus.Properties', 'Set', 'org.bluez.Error.Failed',
                    'Not now')
    request_pairing(web)
    assert web.reply.read(facts.REPLY_SIZE + len(passkey)) == passkey + FAILED
    finish(web)
    assert pairing_calls(web) == SWAP_IN + [pair(), trusted(True)] + SWAP_BACK
    assert logged_since(web, web.log_start)[-1] == (
        ERR, f'Setting "Trusted" property for devie {DEVICE} to true failed: Not now')


def test_failed_temporary_unregistration_stops_the_daemon(web):
    web.fail_method('org.bluez.AgentManager1', 'UnregisterAgent', 'org.bluez.Error.Failed',
                    'Busy')
    web.write_request(DEVICE.encode())
    assert web.wait_exit() == 1
    web.syslog.sync()
    assert logged_since(web, web.log_start)[:2] == [
        REQUESTED, line(facts.TEMPORARY_DEREGISTERING_FAILED, 'Busy')]
    # No agent swap and no Pair; the shutdown follows (the pairable state is 0).
    assert pairing_calls(web) == [UNREGISTER_AGENT, UNREGISTER_AGENT, stop_discovery()]
    # The web UI learns at once that nothing will come of its request.
    assert web.reply.read(facts.REPLY_SIZE) == FAILED


def test_forged_answers_to_pair_are_ignored(web):
    '''On a bus that lets any client send replies, a local client that forges
    answers for every likely serial neither ends the pairing nor gets the
    device trusted; BlueZ's own answer still does.'''
    web.set_pair_behaviour(mode='hold')
    request_pairing(web)
    web.forge_replies(web.daemon_name(), range(1, 2001))
    assert web.reply.nothing_pending()
    assert [c for c in pairing_calls(web) if c.member == 'Set'] == []
    assert web.release_pairs() == 1
    assert web.reply.read(facts.REPLY_SIZE) == PAIRED
    finish(web)
    assert pairing_calls(web) == SWAP_IN + [pair(), trusted(True)] + SWAP_BACK


def test_failed_swap_back_is_logged_and_the_next_request_pairs(web):
    web.set_pair_behaviour(mode='hold')
    request_pairing(web)
    web.fail_method('org.bluez.AgentManager1', 'UnregisterAgent', 'org.bluez.Error.Failed',
                    'Busy')
    assert web.release_pairs() == 1
    assert web.reply.read(facts.REPLY_SIZE) == PAIRED
    web.syslog.wait_for(re.compile('^Registering agent failed: '), ERR)
    assert logged_since(web, web.log_start)[-2][1] == 'Deregistering agent failed: Busy'
    # BlueZ still has the "DisplayYesNo" agent; the daemon is idle all the same.
    assert [a[2] for a in web.agents()] == ['DisplayYesNo']

    web.set_pair_behaviour(mode='direct')
    web.mock.AddDevice('hci0', SECOND_DEVICE, 'Tablet')  # the first one is paired now
    mark = len(web.calls())
    request_pairing(web, SECOND_DEVICE)
    assert web.reply.read(facts.REPLY_SIZE) == PAIRED
    wait_agent_back(web, mark)
    assert [a[2] for a in web.agents()] == ['NoInputNoOutput']


# -------------------------------------------------------------- request pipe

def test_short_request_is_logged_and_dropped(web):
    web.write_request(b'0123456789')
    web.wait_request_taken()
    barrier(web)
    assert logged_since(web, web.log_start) == [
        line(facts.MALFORMED_REQUEST, '0123456789', 10)]
    assert pairing_calls(web) == []


def test_requests_back_to_back_are_served_one_after_the_other(web):
    web.mock.AddDevice('hci0', SECOND_DEVICE, 'Tablet')
    web.set_pair_behaviour(mode='direct')
    web.write_request(DEVICE.encode() + SECOND_DEVICE.encode())
    assert web.reply.read(12) == PAIRED + PAIRED
    wait_agent_back(web, web.wait_for_call('Pair', lambda c: c.path == SECOND_PATH, start=web.mark))
    assert pairing_calls(web) == (SWAP_IN + [pair(), trusted(True)] + SWAP_BACK +
                                  SWAP_IN + [pair(SECOND_PATH), trusted(True, SECOND_PATH)] +
                                  SWAP_BACK)


def test_request_with_a_newline(web):
    web.set_pair_behaviour(mode='direct')
    web.write_request(DEVICE.encode() + b'\n')
    assert web.reply.read(facts.REPLY_SIZE) == PAIRED
    web.syslog.wait_for('Malformed request "\n" (1 bytes) from cgi', ERR)
    assert logged_since(web, web.log_start) == [
        REQUESTED, TRUSTED, line(facts.MALFORMED_REQUEST, '\n', 1)]


def test_zero_bytes_and_empty_writes_do_nothing(web):
    web.write_request(b'\x00' * 17)
    web.write_request(b'')
    web.wait_request_taken()
    web.write_request(b'x')  # a line to wait for
    web.syslog.wait_for('Malformed request "x" (1 bytes) from cgi', ERR)
    assert logged_since(web, web.log_start) == [line(facts.MALFORMED_REQUEST, 'x', 1)]
    assert pairing_calls(web) == []


@pytest.mark.parametrize('make_pipe, reason', [(False, 'No such file or directory'),
                                               (True, 'No such device or address')],
                         ids=['missing', 'no-reader'])
def test_no_reader_on_the_reply_pipe(running, make_pipe, reason):
    gw = running
    wait_first_pass(gw)
    if make_pipe:
        reader = gw.reply_reader()
        reader.close()
    gw.set_pair_behaviour(mode='confirm', passkey=42)
    mark = len(gw.calls())
    request_pairing(gw)
    wait_agent_back(gw, mark)
    gw.syslog.sync()
    assert gw.calls(mark)[-1 - len(SWAP_BACK):] == [trusted(True)] + SWAP_BACK
    assert line(facts.OPENING_OUTPUT_FIFO_FAILED, facts.REPLY_PIPE, reason) in gw.syslog.lines


def test_reply_pipe_that_is_a_link_is_not_written(running):
    gw = running
    wait_first_pass(gw)
    victim = gw.root / 'victim'
    victim.write_bytes(b'precious')
    gw.reply_pipe.symlink_to(victim)
    gw.set_pair_behaviour(mode='direct')
    mark = len(gw.calls())
    request_pairing(gw)
    wait_agent_back(gw, mark)
    gw.syslog.sync()
    assert victim.read_bytes() == b'precious'
    assert line(facts.OPENING_OUTPUT_FIFO_FAILED, facts.REPLY_PIPE,
                'Too many levels of symbolic links') in gw.syslog.lines


# ------------------------------------------------ addresses that make no path

@pytest.mark.parametrize('address', [
    b'00:1A:7D:DA 71:13', b'00:1A:7D:DA.71:13', b'00:1A:7D:DA-71:13', b'00:1A:7D:DA:\xc3\xa9:13',
    b'00:1A:7D:DA:71//3', b'00:1A:7D:DA:71:1/',
], ids=['space', 'dot', 'dash', 'non-ascii', 'double-slash', 'trailing-slash'])
def test_address_that_makes_no_object_path_is_refused(web, address):
    web.write_request(address)
    assert web.reply.read(facts.REPLY_SIZE) == FAILED
    finish(web)
    assert pairing_calls(web) == SWAP_IN + SWAP_BACK  # no Pair
    text = address.decode('utf-8', 'surrogateescape')
    path = '/org/bluez/hci0/dev_' + text.replace(':', '_')
    assert logged_since(web, web.log_start) == [
        line(facts.REQUEST, text),
        line(facts.REQUEST_REFUSED, text, f'invalid object path "{path}"')]

    # The daemon is idle again and pairs the next request.
    web.set_pair_behaviour(mode='direct')
    web.write_request(DEVICE.encode())
    assert web.reply.read(facts.REPLY_SIZE) == PAIRED


def test_deeper_path_is_valid_and_goes_to_bluez(web):
    web.write_request(b'00:1A:7D:DA:71/13')
    assert web.reply.read(facts.REPLY_SIZE) == FAILED  # no such device object
    finish(web)
    assert pair('/org/bluez/hci0/dev_00_1A_7D_DA_71/13') in pairing_calls(web)


# ------------------------------------------------------------- pairgate-pair

def test_client_with_a_pipe_left_behind(running):
    '''A daemon whose bus went away leaves its request pipe; the writer it
    held on it went with it, so the pipe has no reader.'''
    wait_first_pass(running)
    running.stop_bus()
    assert running.wait_exit() == 1
    assert stat.S_ISFIFO(os.stat(running.request_pipe).st_mode)
    status, events, _ = pairgate_pair(running, DEVICE)
    assert (status, events) == (facts.EXIT_NOT_RUNNING,
                                [facts.event(facts.EVENT_ERROR, message=facts.NOT_RUNNING)])


def test_root_leaves_the_web_servers_waiting_run_alone(running):
    '''The web server's run (another user's, its reply pipe its own) waits on a
    pairing: root's run from a shell finds that pipe locked, stops with exit
    status 6 and leaves it in place, and the web run gets its outcome (a
    failure: a success it would check with BlueZ, on a bus it cannot reach).'''
    gw = running
    wait_first_pass(gw)
    os.chmod(gw.root / 'var-tmp', 0o1777)
    os.chmod(gw.request_pipe, 0o622)  # an integrator's way in for the web server
    gw.set_pair_behaviour(mode='hold')
    start = len(gw.calls())
    web_run = gw.spawn(['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups',
                        *gw.target_command(gw.client_path), '--json', DEVICE],
                       sandboxed=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    gw.wait_for_call('Pair', start=start)
    status, events, _ = pairgate_pair(gw, SECOND_DEVICE)
    assert (status, events) == (6, [{'event': 'error', 'message': 'another pairgate-pair is '
                                     f'already waiting on {facts.REPLY_PIPE}'}])
    assert gw.reply_pipe.stat().st_uid == 65534
    assert gw.release_pairs(error_name=AUTH_FAILED) == 1
    assert web_run.communicate(timeout=20) == (b'{"event":"failed","address":"%s"}\n'
                                               % DEVICE.encode(), b'')


LOADED_S = 30  # the deadlines of a step beside two busy loops


def test_a_killed_clients_failure_is_never_the_next_ones(running):
    '''A client is killed outright mid-pairing, the next one's request waits
    behind it, and the killed one's pairing fails: however late the next one
    looks, it reports its own device's outcome. Stopped (SIGSTOP) until the
    daemon has taken its request, after dropping the failure left unread for
    a second; then, a few times, beside two busy loops.'''
    gw = running
    wait_first_pass(gw)
    for _ in range(2):
        gw.spawn(['sh', '-c', 'while :; do :; done'])
    for attempt in range(1 + int(os.environ.get('PAIRGATE_TRIES', '3'))):
        address = f'00:1A:7D:DA:72:{attempt:02X}'
        path = '/org/bluez/hci0/dev_' + address.replace(':', '_')
        gw.mock.AddDevice('hci0', address, 'Tablet')
        gw.set_pair_behaviour(mode='hold')
        start, log = len(gw.calls()), log_mark(gw)
        killed = gw.spawn(gw.target_command(gw.client_path) + ['--json', DEVICE], sandboxed=True)
        gw.wait_for_call('Pair', start=start, timeout=LOADED_S)
        killed.kill()
        killed.wait()
        second = gw.spawn(gw.target_command(gw.client_path) + ['--json', address],
                          sandboxed=True, stdout=subprocess.PIPE)
        wait_until(lambda: gw.request_pending() == 17, LOADED_S, "the second client's request")
        if attempt == 0:
            second.send_signal(signal.SIGSTOP)
        gw.set_pair_behaviour(mode='direct')
        assert gw.release_pairs(error_name=AUTH_FAILED) == 1
        if attempt == 0:
            gw.wait_for_call('Pair', lambda c: c.path == path, start=start, timeout=LOADED_S)
            second.send_signal(signal.SIGCONT)
        out, _ = second.communicate(timeout=LOADED_S)
        assert (second.returncode, out) == (0, b'{"event":"paired","address":"%s"}\n'
                                            % address.encode()), attempt
        dropped = line(facts.REPLY_DROPPED, facts.REPLY_PIPE, 6, 1)
        assert attempt > 0 or dropped in logged_since(gw, log)


def test_client_usage(bluez_gateway):
    status, _, err = pairgate_pair(bluez_gateway, '00:1A:7D:DA:71')
    assert status == 2 and err
