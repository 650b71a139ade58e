'''pytest fixtures for the system tests: a simulated gateway per test (sim/gateway.py);
for the shared stories (test_stories.py) `gw`, the simulated gateway or, with
PAIRGATE_GATEWAY=real inside a VM of the bench, the real one (vm/bench.py).'''

import importlib
import os
import shutil
import sys
from pathlib import Path

import pytest

SOURCE_DIR = Path(__file__).resolve().parents[2]
sys.path[:0] = [str(SOURCE_DIR / 'sim'), str(SOURCE_DIR / 'tests')]
REAL = os.environ.get('PAIRGATE_GATEWAY') == 'real'
if REAL:
    sys.path.insert(0, str(SOURCE_DIR / 'vm'))
    import bench  # noqa: E402  pylint: disable=wrong-import-position,import-error

from gateway import Gateway, daemon_missing  # noqa: E402  pylint: disable=wrong-import-position
import pairgate_facts as facts  # noqa: E402  pylint: disable=wrong-import-position

BUILD_DIR = Path(os.environ.get('PAIRGATE_BUILD_DIR', SOURCE_DIR / 'build'))
# ctest counts this exit status as "skipped".
EXIT_SKIPPED = 77


def _why_not():
    if os.geteuid() != 0:
        return 'the system tests need root (mount namespaces, overlays on /dev)'
    if shutil.which('dbus-daemon') is None:
        return 'dbus-daemon is not installed'
    try:
        importlib.import_module('dbusmock')
    except ImportError:
        return 'python3-dbusmock is not installed (run the tests with /usr/bin/python3)'
    return None


def pytest_configure(config):
    config.addinivalue_line('markers', 'sim_only: a story (or a case of one) that needs what only '
                            'the simulator can do; the real gateway skips it')
    config.addinivalue_line('markers', 'bench(controllers=2, main_conf=""): what a shared story '
                            'needs of its gateway: controllers (the phone is the last on the real '
                            "one), lines for bluetoothd's main.conf")


def pytest_collection_modifyitems(config, items):  # pylint: disable=unused-argument
    reason = 'the real gateway cannot tell it' if REAL else _why_not()
    for item in items:
        if reason and (not REAL or item.get_closest_marker('sim_only')):
            item.add_marker(pytest.mark.skip(reason=reason))


_outcomes = {'passed': 0, 'failed': 0, 'skipped': 0}


def pytest_runtest_logreport(report):
    if report.when == 'call' or report.outcome != 'passed':
        _outcomes[report.outcome] = _outcomes.get(report.outcome, 0) + 1


def pytest_sessionfinish(session, exitstatus):
    # A file whose every test was skipped is reported to ctest as skipped.
    if exitstatus == 0 and _outcomes['skipped'] and not _outcomes['passed'] \
            and not _outcomes['failed']:
        session.exitstatus = EXIT_SKIPPED


@pytest.fixture
def gateway(tmp_path):
    '''A Gateway in a fresh directory; nothing started.'''
    gw = Gateway(tmp_path, BUILD_DIR)
    yield gw
    gw.close()


@pytest.fixture
def gw(request, tmp_path):
    '''The gateway of a shared story, with the phone; the daemon not started.'''
    marker = request.node.get_closest_marker('bench')
    options = marker.kwargs if marker else {}
    if REAL:
        gateway_ = bench.Bench(**options)
    else:
        if daemon_missing(BUILD_DIR):
            pytest.skip(daemon_missing(BUILD_DIR))
        from simulated import Simulated  # pylint: disable=import-outside-toplevel
        gateway_ = Simulated(tmp_path, BUILD_DIR, **options)
    yield gateway_
    gateway_.close()


@pytest.fixture
def bluez_gateway(gateway):
    '''Bus and simulator running, with hci0 and the device 00:1A:7D:DA:71:13;
    log level 4; no I/O tool, no GPIO device.'''
    gateway.settings(facts.settings(SYSLOGLEV=4))
    gateway.start_bus()
    gateway.start_bluez()
    return gateway


@pytest.fixture
def needs_daemon():
    '''Skips a test that runs the daemon when it is not built (list it first).'''
    reason = daemon_missing(BUILD_DIR)
    if reason:
        pytest.skip(reason)


@pytest.fixture
def running(needs_daemon, bluez_gateway):  # pylint: disable=redefined-outer-name,unused-argument
    '''bluez_gateway with the daemon started and its agent registered.'''
    daemon = bluez_gateway.start_daemon()
    assert daemon.poll() is None, \
        f'pairgated ended at start ({daemon.returncode}): {bluez_gateway.syslog.lines!r}'
    return bluez_gateway
