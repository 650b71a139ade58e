'''pytest fixtures for the system tests: a simulated gateway per test (sim/gateway.py).'''

import importlib
import os
import shutil
import sys
from pathlib import Path

import pytest

SOURCE_DIR = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE_DIR / 'sim'))

from gateway import Gateway, daemon_missing  # noqa: E402  pylint: disable=wrong-import-position

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


def pytest_collection_modifyitems(config, items):  # pylint: disable=unused-argument
    reason = _why_not()
    if reason:
        for item in items:
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
def bluez_gateway(gateway):
    '''Bus and simulator running, with hci0 and the device 00:1A:7D:DA:71:13;
    log level 4; no I/O tool, no GPIO device.'''
    gateway.settings('MOD_BLUETOOTH_SYSLOGLEV=4\n')
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
