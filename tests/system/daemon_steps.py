'''Steps the system tests take with a running daemon, each waiting on an event.'''

import json
import re
import signal
import subprocess

from expected import BNEP_UUID, DEVICE, DEVICE_PATH, line
from gateway import wait_until


def wait_first_pass(gw):
    '''The loop runs, and the stop signals are handled, once the first pass
    has set Pairable (every first pass does, with or without an input).'''
    gw.wait_for_call('Set')


def stop(gw, sig=signal.SIGTERM, timeout=10):
    '''Stops the daemon; its exit status, with every log line it sent read.'''
    gw.signal(sig)
    status = gw.wait_exit(timeout)
    gw.syslog.sync()
    return status


def run_to_failure(gw, **start):
    '''Starts a daemon that is expected to give up at start; its exit status.'''
    gw.start_daemon(**start)
    status = gw.wait_exit()
    gw.syslog.sync()
    return status


def log_mark(gw):
    '''Where the lines of what follows will start.'''
    gw.syslog.sync()
    return len(gw.syslog.lines)


def logged_since(gw, start):
    '''The lines logged from START on, every datagram sent so far included.'''
    gw.syslog.sync()
    return gw.syslog.lines[start:]


def barrier(gw, turns=1):
    '''Returns once the daemon has dealt with every message BlueZ sent it
    before: BlueZ's messages reach it in order, and it answers the network
    authorisation (as bluetoothd asks it for NAP) at once. Each turn is one
    more pass of the loop, since a dispatch handles one message.'''
    for _ in range(turns):
        call = gw.call_agent('AuthorizeService', 'os', [DEVICE_PATH, BNEP_UUID])
        assert gw.agent_answer(call) == ('return', '', '')


def counted(gw, start, total, fact, *args):
    '''Waits until the count lines of FACT (the count, then ARGS) from START on
    add up to TOTAL lines left out; the lines.'''
    pattern = re.compile(re.escape(line(fact, '\0', *args)[1]).replace('\0', r'(\d+)'))

    def lines():
        found = [(p, t) for p, t in gw.syslog.lines[start:]
                 if p == fact[0] and pattern.fullmatch(t)]
        return sum(int(pattern.fullmatch(t)[1]) for _, t in found) == total and found

    return wait_until(lines, 10, f'{total} lines counted as {fact[1]!r}')


def request_pairing(gw, address=DEVICE):
    '''Writes a request and waits for the Pair call it starts; the index of
    that call in gw.calls().'''
    start = len(gw.calls())
    gw.write_request(address.encode() if isinstance(address, str) else address)
    return gw.wait_for_call('Pair', start=start)


def wait_agent_back(gw, start=0):
    '''Waits until a web pairing has ended: the agent registered as
    "NoInputNoOutput" again and the window applied to the adapter after it;
    the index of the RegisterAgent call.'''
    index = gw.wait_for_call('RegisterAgent', lambda c: c.args[1] == 'NoInputNoOutput',
                             start=start)
    gw.wait_for_call('Set', lambda c: c.args[1] == 'Pairable', start=index)
    return index


def pairgate_pair(gw, *args):
    '''Runs pairgate-pair --json where it sees the daemon's /var/tmp;
    (status, events, standard error).'''
    proc = gw.spawn(gw.target_command(gw.client_path) + ['--json', *args], sandboxed=True,
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = proc.communicate(timeout=30)
    return proc.returncode, [json.loads(line) for line in out.decode().splitlines()], err
