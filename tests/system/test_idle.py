'''The daemon with no input to read sleeps until something happens: a message
on the bus, a request on the pipe or a stop signal wakes it (as every system
test has it do), nothing else, which is measured here.'''

import os
import time
from pathlib import Path

import pytest

from daemon_steps import barrier, request_pairing, stop, wait_first_pass
from expected import facts

pytestmark = pytest.mark.usefixtures('needs_daemon')

TICKS = os.sysconf('SC_CLK_TCK')
# A wait that returns at once every time (a spin) costs nearly all of it.
MEASURED_S = 2
CPU_BOUND_S = 0.05
SECOND_DEVICE = '00:1A:7D:DA:71:14'


def cpu_seconds(pid):
    fields = Path(f'/proc/{pid}/stat').read_text().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def cpu_while_left_alone(gw):
    '''The daemon's CPU time (user and system) over MEASURED_S seconds.'''
    before = cpu_seconds(gw.daemon.pid)
    time.sleep(MEASURED_S)  # the quantity measured is what happens meanwhile
    used = cpu_seconds(gw.daemon.pid) - before
    assert gw.daemon.poll() is None, 'the daemon ended'
    return used


@pytest.mark.parametrize('pairable_bin', [None, '0'], ids=['no-input', 'input'])
def test_waiting_daemon_does_not_spin(bluez_gateway, pairable_bin):
    '''Without an input: a request pipe whose writer came and went (a named
    pipe then reports a hang-up on every poll to a reader alone). With or
    without one: a request waiting in the pipe while a pairing is under way,
    when the pipe is not read.'''
    gw = bluez_gateway
    if pairable_bin is not None:
        gw.settings(facts.settings(SYSLOGLEV=4, PAIRABLE_BIN=pairable_bin))
        gw.io_tool(exit=1)
        gw.gpio('1 1 1 1')
    gw.start_daemon()
    wait_first_pass(gw)
    if pairable_bin is None:
        os.close(os.open(gw.request_pipe, os.O_WRONLY | os.O_NONBLOCK))
        barrier(gw)
        assert cpu_while_left_alone(gw) < CPU_BOUND_S

    gw.set_pair_behaviour(mode='hold')
    request_pairing(gw)
    gw.write_request(SECOND_DEVICE.encode())
    barrier(gw)
    assert cpu_while_left_alone(gw) < CPU_BOUND_S
    assert gw.request_pending() == 17
    assert stop(gw) == 0
