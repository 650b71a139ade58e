'''An installed tree (cmake --install into a DESTDIR) holds what the README
says and runs where it is put, finding its libraries through its RPATH.'''

import os
import re
import subprocess

import pytest

from daemon_steps import stop, wait_first_pass
from expected import STARTED
from gateway import EMULATED

pytestmark = pytest.mark.usefixtures('needs_daemon')

SETTINGS_KEYS = [
    'MOD_BLUETOOTH_ENABLED', 'MOD_BLUETOOTH_ALIAS', 'MOD_BLUETOOTH_DISCOVERABLE',
    'MOD_BLUETOOTH_PAIRABLE_BIN', 'MOD_BLUETOOTH_PAN_ENABLED', 'MOD_BLUETOOTH_PAN_IPADDR4',
    'MOD_BLUETOOTH_PAN_NETMASK4', 'MOD_BLUETOOTH_PAN_DNS4', 'MOD_BLUETOOTH_PAN_POOLLO4',
    'MOD_BLUETOOTH_PAN_POOLHI4', 'MOD_BLUETOOTH_PAN_LEASETIME4', 'MOD_BLUETOOTH_PAN_IPADDR6',
    'MOD_BLUETOOTH_PAN_PREFIX6', 'MOD_BLUETOOTH_PAN_DNS6', 'MOD_BLUETOOTH_PAN_POOLLO6',
    'MOD_BLUETOOTH_PAN_POOLHI6', 'MOD_BLUETOOTH_PAN_LEASETIME6', 'MOD_BLUETOOTH_SYSLOGLEV']


@pytest.fixture
def staged(bluez_gateway, tmp_path):
    '''The build installed under a DESTDIR with the default prefix, then moved
    elsewhere: the tree must not depend on where it was installed.'''
    stage = tmp_path / 'stage'
    subprocess.run(['cmake', '--install', str(bluez_gateway.build_dir)], check=True,
                   env=dict(os.environ, DESTDIR=str(stage)), stdout=subprocess.DEVNULL)
    moved = tmp_path / 'elsewhere'
    (stage / 'opt' / 'bluetooth').rename(moved)
    return moved


def test_tree_layout(staged):
    names = sorted(str(p.relative_to(staged)) for p in staged.rglob('*') if not p.is_dir())
    assert [n for n in names if n.startswith('bin/')] == ['bin/pairgate-pair', 'bin/pairgated']
    for library in ('libpairgate_settings.so', 'libpairgate_io.so'):
        assert f'lib/{library}' in names
        assert any(re.fullmatch(rf'lib/{library}\.\d+', n) for n in names)
    example = (staged / 'etc' / 'settings.example').read_text()
    for key in SETTINGS_KEYS:
        assert re.search(rf'^{key}=', example, re.M), key


def test_installed_daemon_runs_with_its_own_libraries(bluez_gateway, staged):
    gw = bluez_gateway
    daemon = staged / 'bin' / 'pairgated'
    env = {k: v for k, v in os.environ.items() if k != 'LD_LIBRARY_PATH'}
    # ldd of the host cannot read a cross build's program; the target's own
    # loader lists what it resolves when asked through its environment.
    ldd = [EMULATED, '-E', 'LD_TRACE_LOADED_OBJECTS=1'] if EMULATED else ['ldd']
    resolved = subprocess.run(ldd + [str(daemon)], capture_output=True, text=True, env=env,
                              check=True).stdout
    for library in ('libpairgate_settings.so.1', 'libpairgate_io.so.1'):
        assert f'{library} => {staged}/bin/../lib/{library}' in resolved

    gw.start_daemon(binary=daemon)
    wait_first_pass(gw)
    assert stop(gw) == 0
    assert STARTED in gw.syslog.lines
