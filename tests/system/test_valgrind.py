'''One whole session of the plain build under valgrind's memcheck: start, a web
pairing, a device's own pairing, the pairing window opened and closed by the
input (I/O tool and GPIO stand-ins), SIGTERM. No error and no byte definitely
or indirectly lost may be reported. Skipped without valgrind, on the
sanitizer build (valgrind cannot run it) and on a cross build (this machine's
valgrind cannot run an ARM program; the native build is checked).'''

import re
import shutil
from pathlib import Path

import pytest

from conftest import BUILD_DIR
from daemon_steps import wait_agent_back
from expected import DEVICE, INFO, STARTED, facts, trusted
from gateway import EMULATED

VALGRIND = shutil.which('valgrind')
# Under valgrind the daemon runs some twenty times slower.
SLOW_S = 60
ENABLED = 'By BIN0, Bluetooth automatic paring has been enabled'
DISABLED = 'By BIN0, Bluetooth automatic paring has been disabled'


def sanitized(build_dir):
    cache = Path(build_dir) / 'CMakeCache.txt'
    return cache.exists() and re.search(r'^PAIRGATE_SANITIZE:BOOL=ON$', cache.read_text(), re.M)


pytestmark = [
    pytest.mark.usefixtures('needs_daemon'),
    pytest.mark.skipif(VALGRIND is None, reason='valgrind is not installed'),
    pytest.mark.skipif(bool(sanitized(BUILD_DIR)), reason='valgrind cannot run a sanitizer build'),
    pytest.mark.skipif(bool(EMULATED), reason="this machine's valgrind cannot run an ARM program"),
]


def memcheck_wrapper(gw):
    '''A script that runs the daemon under memcheck in the same process, so
    that the sandbox, the pid and the bus name stay the daemon's.'''
    log = gw.root / 'valgrind.log'
    wrapper = gw.root / 'valgrind-pairgated'
    wrapper.write_text('#!/bin/sh\n'
                       f'exec {VALGRIND} --tool=memcheck --leak-check=full '
                       '--errors-for-leak-kinds=definite,indirect --error-exitcode=99 '
                       f'--log-file={log} {gw.daemon_path}\n')
    wrapper.chmod(0o755)
    return wrapper, log


def window(gw, levels, line):
    start = len(gw.syslog.lines)
    gw.gpio(levels)
    gw.syslog.wait_for(line, INFO, timeout=SLOW_S, start=start)


def test_whole_session_has_no_memory_error_or_leak(bluez_gateway):
    gw = bluez_gateway
    gw.settings(facts.settings(SYSLOGLEV=4, PAIRABLE_BIN=0, DISCOVERABLE=2))
    gw.io_tool(exit=0)  # the probe reads the input active: the window opens at once
    gw.gpio('1 1 1 1')
    wrapper, log = memcheck_wrapper(gw)
    gw.start_daemon(binary=wrapper, wait=False)
    gw.syslog.wait_for(STARTED[1], STARTED[0], timeout=SLOW_S)
    gw.syslog.wait_for(DISABLED, INFO, timeout=SLOW_S)  # closed by the first GPIO reading

    reply = gw.reply_reader()
    mark = len(gw.calls())
    gw.write_request(DEVICE.encode())
    assert reply.read(6, timeout=SLOW_S) == b'123456'
    wait_agent_back(gw, mark)
    assert trusted(True) in gw.calls(mark)

    window(gw, '0 1 1 1', ENABLED)
    mark = len(gw.calls())
    gw.mock.PairDevice('hci0', '00:1A:7D:DA:71:14', 0x5a020c)  # the phone web-paired is known
    phone = trusted(True, '/org/bluez/hci0/dev_00_1A_7D_DA_71_14')
    gw.wait_for_call('Set', lambda c: c == phone, start=mark, timeout=SLOW_S)
    window(gw, '1 1 1 1', DISABLED)
    assert any(line.startswith('ioctl') for line in gw.gpio_log()), \
        'the GPIO stand-in was not preloaded under valgrind'

    gw.signal(15)
    status = gw.wait_exit(SLOW_S)
    summary = log.read_text()
    assert status == 0, summary[-3000:]
    assert re.search(r'ERROR SUMMARY: 0 errors', summary), summary[-3000:]
    for kind in ('definitely', 'indirectly'):
        lost = re.search(rf'{kind} lost: ([\d,]+) bytes', summary)
        assert lost is None or lost.group(1) == '0', summary[-3000:]
    print(summary[summary.find('HEAP SUMMARY'):])
