'''The Debian package and the tarball as an integrator gets them: what they
hold, dpkg leaving the settings alone, the unpacked daemon through a web
pairing under the unit's limits, and the init script under BusyBox.

CPack makes both packages from the build under test, once for this file.'''

import ctypes
import json
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tarfile
import threading
import time
from pathlib import Path

import pytest

from conftest import SOURCE_DIR
from daemon_steps import request_pairing, stop, wait_agent_back
from expected import FINISHED, INFO, NOTICE, SCAN_STOPPED, STARTED, scan_started
from expected import facts, line
from gateway import EMULATED, _processes, _stat, wait_until

pytestmark = pytest.mark.usefixtures('needs_daemon')

BUILD_DIR = Path(os.environ.get('PAIRGATE_BUILD_DIR',
                                Path(__file__).resolve().parents[2] / 'build'))
NOBODY = 65534
CPACK_S = 300
PASSKEY = facts.reply_passkey(42)
WEB_TRUSTED = line(facts.PAIRED_FROM_WEB, '00:1A:7D:DA:71:13')
# Linux: orphans below a "child subreaper" are handed to it instead of init.
PR_SET_CHILD_SUBREAPER = 36


def cached(name):
    '''A value from the build's CMake cache.'''
    text = (BUILD_DIR / 'CMakeCache.txt').read_text()
    return re.search(rf'^{name}:\w+=(.*)$', text, re.M).group(1)


def expected_files():
    '''(path pattern, mode) of every file and link in the package.'''
    unit_dir = cached('PAIRGATE_SYSTEMD_UNIT_DIR').lstrip('/')
    man_dir = cached('PAIRGATE_MANDIR').lstrip('/')
    lib = r'opt/bluetooth/lib/libpairgate_(settings|io)\.so'
    return [
        ('etc/default/pairgated', '-rw-r--r--'),
        ('etc/init.d/S41pairgated', '-rwxr-xr-x'),
        (re.escape(f'{unit_dir}/pairgated.service'), '-rw-r--r--'),
        (re.escape(f'{unit_dir}/S41pairgated.service'), 'lrwxrwxrwx'),  # -> /dev/null
        ('opt/bluetooth/bin/pairgated', '-rwxr-xr-x'),
        ('opt/bluetooth/bin/pairgate-pair', '-rwxr-xr-x'),
        ('opt/bluetooth/etc/settings.example', '-rw-r--r--'),
        ('opt/bluetooth/share/pairgate/www/index.html', '-rw-r--r--'),
        ('opt/bluetooth/share/pairgate/www/cgi-bin/pairgate.cgi', '-rwxr-xr-x'),
        (lib, 'lrwxrwxrwx'), (lib + r'\.1', 'lrwxrwxrwx'), (lib + r'\.\d+\.\d+\.\d+', '-rw-r--r--'),
        (re.escape(man_dir) + r'/man1/pairgate-pair\.1\.gz', '-rw-r--r--'),
        (re.escape(man_dir) + r'/man5/pairgate-settings\.5\.gz', '-rw-r--r--'),
        (re.escape(man_dir) + r'/man8/pairgated\.8\.gz', '-rw-r--r--'),
    ]


@pytest.fixture(scope='module')
def packages(tmp_path_factory):
    '''(the .deb, the tarball) that CPack makes from the build.'''
    for tool in ('cpack', 'dpkg-deb', 'dpkg-shlibdeps'):
        if shutil.which(tool) is None:
            pytest.skip(f'{tool} is not installed')
    config = BUILD_DIR / 'CPackConfig.cmake'
    if not config.exists():
        pytest.skip(f'{config} is missing')
    out = tmp_path_factory.mktemp('packages')
    made = subprocess.run(['cpack', '-G', 'DEB;TGZ', '-B', str(out), '--config', str(config)],
                          capture_output=True, text=True, timeout=CPACK_S, check=False)
    assert made.returncode == 0, made.stdout + made.stderr
    [deb] = out.glob('*.deb')
    [tarball] = out.glob('*.tar.gz')
    return deb, tarball


@pytest.fixture
def unpacked(packages, tmp_path):
    '''The .deb unpacked into a scratch root (dpkg -x).'''
    root = tmp_path / 'root'
    subprocess.run(['dpkg-deb', '-x', str(packages[0]), str(root)], check=True)
    return root


def deb_listing(deb):
    '''{path: (mode, owner)} of the files and links in DEB.'''
    listing = subprocess.run(['dpkg-deb', '-c', str(deb)], capture_output=True, text=True,
                             check=True).stdout
    entries = {}
    for line in listing.splitlines():
        mode, owner, _size, _day, _time, path = line.split(None, 5)
        if not mode.startswith('d'):
            entries[path.split(' -> ')[0].removeprefix('./')] = (mode, owner)
    return entries


def tar_listing(tarball):
    with tarfile.open(tarball) as archive:
        return {m.name.removeprefix('./'): stat.filemode(m.mode | (stat.S_IFLNK if m.issym()
                                                                   else stat.S_IFREG))
                for m in archive.getmembers() if not m.isdir()}


def control(deb, field):
    return subprocess.run(['dpkg-deb', '-f', str(deb), field], capture_output=True, text=True,
                          check=True).stdout.strip()


def test_package_contents(packages, unpacked):
    deb, tarball = packages
    files = deb_listing(deb)
    expected = expected_files()
    for path, (mode, owner) in files.items():
        modes = [m for pattern, m in expected if re.fullmatch(pattern, path)]
        assert modes == [mode], f'{path}: {mode}, expected {modes}'
        assert owner == 'root/root', path
    for pattern, _ in expected:
        assert any(re.fullmatch(pattern, path) for path in files), pattern
    # The settings themselves are never the package's: it cannot overwrite them.
    assert 'opt/bluetooth/etc/settings' not in files
    assert tar_listing(tarball) == {path: mode for path, (mode, _) in files.items()}

    depends = control(deb, 'Depends')
    for runtime in ('libdbus-1-3', 'libstdc++6', 'libc6'):
        assert re.search(rf'\b{re.escape(runtime)}\b', depends), depends
    assert control(deb, 'Recommends') == 'bluez'
    info = subprocess.run(['dpkg-deb', '--ctrl-tarfile', str(deb)], capture_output=True,
                          check=True).stdout
    scripts = subprocess.run(['tar', '-xOf', '-', './postinst', './prerm', './postrm'],
                             input=info, capture_output=True, check=True).stdout.decode()
    assert not re.search(r'systemctl\s+(--\S+\s+)*(enable|unmask|start)\b|update-rc\.d', scripts)
    conffiles = subprocess.run(['tar', '-xOf', '-', './conffiles'], input=info,
                               capture_output=True, check=True).stdout.decode().split()
    assert conffiles == ['/etc/default/pairgated', '/etc/init.d/S41pairgated']

    unit_dir = unpacked / cached('PAIRGATE_SYSTEMD_UNIT_DIR').lstrip('/')
    assert os.readlink(unit_dir / 'S41pairgated.service') == '/dev/null'
    example = (unpacked / 'opt' / 'bluetooth' / 'etc' / 'settings.example').read_text()
    for key in facts.SETTINGS_KEYS:
        assert re.search(rf'^{key}=', example, re.M), key


def test_dpkg_leaves_the_settings_alone(packages, tmp_path):
    '''Install, remove and purge with dpkg in a scratch root that already has
    settings: they stay as they were; the rest comes and goes.'''
    root = tmp_path / 'root'
    for directory in ('var/lib/dpkg/info', 'var/lib/dpkg/updates', 'opt/bluetooth/etc'):
        (root / directory).mkdir(parents=True)
    (root / 'var/lib/dpkg/status').touch()
    settings = root / 'opt/bluetooth/etc/settings'
    settings.write_text(facts.settings(SYSLOGLEV=2))
    # Maintainer scripts see DPKG_ROOT and leave this machine's services alone.
    dpkg = ['dpkg', f'--root={root}', '--force-script-chrootless', '--force-depends',
            '--force-architecture']  # a cross build's package, into this machine's dpkg

    subprocess.run(dpkg + ['-i', str(packages[0])], check=True, capture_output=True)
    assert (root / 'opt/bluetooth/bin/pairgated').exists()
    assert (root / 'etc/init.d/S41pairgated').exists()
    subprocess.run(dpkg + ['-r', 'pairgate'], check=True, capture_output=True)
    assert not (root / 'opt/bluetooth/bin/pairgated').exists()
    assert (root / 'etc/default/pairgated').exists()  # a conffile stays until purged
    subprocess.run(dpkg + ['-P', 'pairgate'], check=True, capture_output=True)
    assert not (root / 'etc/default/pairgated').exists()
    assert settings.read_text() == facts.settings(SYSLOGLEV=2)


def capability_wrapper(unpacked, tmp_path):
    '''A script that runs the unpacked daemon with what its systemd unit
    leaves it: the unit's capability bounding set and no new privileges.'''
    unit = next(unpacked.rglob('pairgated.service')).read_text()
    names = re.search(r'^CapabilityBoundingSet=(.*)$', unit, re.M).group(1).split()
    keep = ''.join(f',+{n.lower().removeprefix("cap_")}' for n in names)
    daemon = unpacked / 'opt' / 'bluetooth' / 'bin' / 'pairgated'
    wrapper = tmp_path / 'limited-pairgated'
    wrapper.write_text(f'#!/bin/sh\nexec setpriv --bounding-set=-all{keep} --inh-caps=-all '
                       f'--no-new-privs -- {daemon}\n')
    wrapper.chmod(0o755)
    return wrapper


# The two tests below run the unpacked programs through host tools (setpriv,
# BusyBox's start-stop-daemon) that exec them directly: a cross build's
# programs would need binfmt_misc for that, which these machines do not set up
# (the web road of a cross build runs under the emulator in test_web_pairing).
NATIVE_ONLY = pytest.mark.skipif(bool(EMULATED),
                                reason='execs the unpacked ARM programs without the emulator')


@NATIVE_ONLY
def test_unpacked_daemon_pairs_under_the_unit_limits(bluez_gateway, unpacked, tmp_path):
    '''The unpacked tree runs where it is put, with its own libraries. Under
    the unit's limits it reads settings and writes a reply pipe that belong to
    another user, runs the I/O tool and reads the GPIO device.'''
    gw = bluez_gateway
    daemon = unpacked / 'opt' / 'bluetooth' / 'bin' / 'pairgated'
    env = {k: v for k, v in os.environ.items() if k != 'LD_LIBRARY_PATH'}
    resolved = subprocess.run(['ldd', str(daemon)], capture_output=True, text=True, env=env,
                              check=True).stdout
    lib = unpacked / 'opt' / 'bluetooth' / 'lib'
    for library in ('libpairgate_settings.so.1', 'libpairgate_io.so.1'):
        assert f'{library} => {daemon.parent}/../lib/{library}' in resolved
        assert (lib / library).exists()

    gw.settings(facts.settings(SYSLOGLEV=4, PAIRABLE_BIN=0))
    settings = gw.root / 'etc' / 'settings'
    os.chown(settings, NOBODY, NOBODY)
    settings.chmod(0o600)
    os.mkfifo(gw.reply_pipe, 0o600)
    os.chown(gw.reply_pipe, NOBODY, NOBODY)
    gw.io_tool()
    gw.gpio('1 1 1 1')
    reply = gw.reply_reader()
    gw.set_pair_behaviour(mode='confirm', passkey=42)

    gw.start_daemon(binary=capability_wrapper(unpacked, tmp_path))
    gw.syslog.wait_for('By BIN0, Bluetooth automatic paring has been disabled', INFO)
    assert gw.io_calls() == ['get bin0']
    start = request_pairing(gw)
    assert reply.read(facts.REPLY_SIZE) == PASSKEY
    wait_agent_back(gw, start)
    assert stop(gw) == 0
    assert WEB_TRUSTED in gw.syslog.lines
    assert gw.syslog.lines[-1] == FINISHED


# ------------------------------------------------------------ init script


@pytest.fixture
def reaper():
    '''This process takes the place of init for the daemons the init script
    puts in the background, so that their exit status can be read.'''
    libc = ctypes.CDLL(None, use_errno=True)
    assert libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0
    yield
    reap_orphans(('pairgated', 'start-stop-daem'))
    libc.prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0)


def reap_orphans(names):
    '''Reaps the ended children of this process with one of NAMES (such as the
    middle process of start-stop-daemon --background).'''
    for pid, ppid, state, name in _processes():
        if ppid == os.getpid() and state == 'Z' and name in names:
            os.waitpid(pid, 0)


def reap(pid, timeout=10):
    '''The exit status of PID, a process handed to this one.'''
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            done, status = os.waitpid(pid, os.WNOHANG)
        except ChildProcessError:  # not handed over yet
            done, status = 0, 0
        if done:
            reap_orphans(('start-stop-daem',))
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    raise AssertionError(f'pid {pid} was not reaped within {timeout} s')


@pytest.fixture
def busybox_bin(tmp_path):
    '''A directory of BusyBox applets (busybox itself included), the only
    PATH of the init script.'''
    busybox = shutil.which('busybox')
    if busybox is None:
        pytest.skip('busybox is not installed')
    applets = tmp_path / 'busybox-bin'
    applets.mkdir()
    subprocess.run([busybox, '--install', '-s', str(applets)], check=True)
    if not (applets / 'busybox').is_symlink():  # busybox-static's --install links it too
        (applets / 'busybox').symlink_to(busybox)
    return applets


@pytest.fixture(params=['busybox', 'debian'])
def init_shell(request):
    '''The environment and shell that run the init script: BusyBox's sh and
    applets alone, or dash with Debian's start-stop-daemon and coreutils.'''
    if request.param == 'busybox':
        return [f'PATH={request.getfixturevalue("busybox_bin")}', 'busybox', 'sh']
    if not Path('/sbin/start-stop-daemon').exists():
        pytest.skip("Debian's start-stop-daemon is not installed")
    return ['PATH=/usr/sbin:/usr/bin:/sbin:/bin', '/bin/sh']


def shipped_paths(unpacked):
    '''The init script's own DAEMON and PIDFILE, and every setting of the
    shipped defaults file (all commented out).'''
    script = (unpacked / 'etc' / 'init.d' / 'S41pairgated').read_text()
    defaults = (unpacked / 'etc' / 'default' / 'pairgated').read_text()
    own = dict(re.findall(r'^(DAEMON|PIDFILE)=(.*)$', script, re.M))
    active = [line for line in defaults.splitlines() if line and not line.startswith('#')]
    return own, active


def init_script(gw, unpacked, tmp_path, shell):
    '''(run(action...) -> (status, output) of each, the defaults file, the
    pidfile) for the unpacked init script run by SHELL (environment settings,
    then the shell's command) where it sees the gateway's /var/tmp. The
    actions run one right after the other in one shell.'''
    pidfile = gw.root / 'pairgated.pid'
    defaults = tmp_path / 'pairgated.defaults'
    defaults.write_text(f'DAEMON={unpacked}/opt/bluetooth/bin/pairgated\n'
                        f'PIDFILE={pidfile}\nSTOP_TIMEOUT=30\n')
    script = unpacked / 'etc' / 'init.d' / 'S41pairgated'
    settings = [word for word in shell if '=' in word]
    command = [word for word in shell if '=' not in word]

    def run(*actions):
        each = ''.join(f'{" ".join(command)} "$0" {a}; echo "=$?"; ' for a in actions)
        proc = gw.spawn(['env', *settings, f'PAIRGATED_DEFAULTS={defaults}', *command, '-c',
                         each, str(script)], sandboxed=True, stdin=subprocess.DEVNULL,
                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        out = proc.communicate(timeout=60)[0].decode()
        results = [(int(status), text) for text, status in
                   re.findall(r'(.*?)=(\d+)\n', out, re.S)]
        return results[0] if len(actions) == 1 else results

    return run, defaults, pidfile


def daemons(gw):
    '''The pids of the gateway's live pairgated processes.'''
    mark = f'PAIRGATE_SIM_DIR={gw.root}'.encode()
    found = []
    for pid, _, state, name in _processes():
        try:
            environ = Path(f'/proc/{pid}/environ').read_bytes().split(b'\0')
        except OSError:
            continue
        if name == 'pairgated' and state != 'Z' and mark in environ:
            found.append(pid)
    return found


@NATIVE_ONLY
def test_init_script_under_busybox(reaper, bluez_gateway, unpacked, busybox_bin, tmp_path):
    '''start, restart and stop with BusyBox sh and start-stop-daemon: each stop
    waits for the whole shutdown, leaves no pidfile and no request pipe, and
    the next start works.'''
    gw = bluez_gateway
    own, active = shipped_paths(unpacked)
    assert own == {'DAEMON': '/opt/bluetooth/bin/pairgated', 'PIDFILE': '/var/run/pairgated.pid'}
    assert active == []
    run, defaults, pidfile = init_script(gw, unpacked, tmp_path,
                                         [f'PATH={busybox_bin}', 'busybox', 'sh'])

    def started(count):
        gw.syslog.wait_count(STARTED[1], count, NOTICE, timeout=15)
        return int(pidfile.read_text())

    assert run('start') == (0, 'Starting pairgated: OK\n')
    first = started(1)
    assert stat.S_ISFIFO(gw.request_pipe.lstat().st_mode)
    assert run('start') == (0, 'Starting pairgated: already running\n')
    assert run('restart') == (0, 'Stopping pairgated: OK\nStarting pairgated: OK\n')
    assert reap(first) == 0
    second = started(2)
    assert second != first
    assert run('stop') == (0, 'Stopping pairgated: OK\n')
    assert reap(second) == 0
    assert not pidfile.exists()
    assert not gw.request_pipe.exists()
    assert run('stop') == (0, 'Stopping pairgated: not running\n')
    gw.syslog.sync()
    # The first run had shut down completely before the second started.
    assert gw.syslog.lines == [scan_started(), STARTED, SCAN_STOPPED, FINISHED] * 2

    defaults.write_text(defaults.read_text() + 'ENABLED=no\n')
    assert run('start') == (0, f'pairgated is disabled in {defaults}\n')
    assert not pidfile.exists()


@NATIVE_ONLY
def test_init_script_starts_exactly_one(reaper, bluez_gateway, unpacked, init_shell, tmp_path):
    '''Under BusyBox and Debian's start-stop-daemon alike: start returns once
    the daemon is up or has ended (a failure), a second start starts nothing,
    restart ends with one daemon even when the stop outlasts STOP_TIMEOUT, and
    bad options or a linked pidfile stop the script before it signals anyone.'''
    gw = bluez_gateway
    run, defaults, pidfile = init_script(gw, unpacked, tmp_path, init_shell)
    good = defaults.read_text()
    for _ in range(3):  # start-stop-daemon --background once lost the race now and then
        started, status, again, stopped = run('start', 'status', 'start', 'stop')
        assert (started, again, stopped) == ((0, 'Starting pairgated: OK\n'),
                                             (0, 'Starting pairgated: already running\n'),
                                             (0, 'Stopping pairgated: OK\n'))
        assert re.fullmatch(r'pairgated is running \(pid \d+\)\n', status[1]), status
        assert daemons(gw) == []
    assert run('start') == (0, 'Starting pairgated: OK\n')
    first = int(pidfile.read_text())

    os.kill(first, signal.SIGSTOP)  # a shutdown that hangs
    defaults.write_text(good + 'STOP_TIMEOUT=1\n')
    assert run('restart') == (0, 'Stopping pairgated: FAIL (killed after 1 s)\n'
                                 'Starting pairgated: OK\n')
    assert reap(first) == -signal.SIGKILL
    second = int(pidfile.read_text())
    assert daemons(gw) == [second]

    defaults.write_text(good + 'STOP_TIMEOUT=1O\n')
    assert run('stop') == (6, "pairgated: STOP_TIMEOUT must be a whole number of seconds, not "
                              f"'1O' (in {defaults}); nothing done\n")
    assert daemons(gw) == [second]
    defaults.write_text(good)
    assert run('stop') == (0, 'Stopping pairgated: OK\n')
    assert reap(second) == 0

    target = tmp_path / 'elsewhere'
    target.write_text('precious\n')
    pidfile.symlink_to(target)
    assert run('start') == (6, f'pairgated: PIDFILE {pidfile} is a symbolic link (in '
                               f'{defaults}); nothing done\n')
    assert target.read_text() == 'precious\n'
    pidfile.unlink()

    gw.mock.RemoveAdapter('hci0')  # the daemon ends at once with status 1
    assert run('start') == (1, 'Starting pairgated: FAIL (it ended at once; see the system '
                               'log)\n')
    assert daemons(gw) == [] and not pidfile.exists()


def identity(pid, boot=Path('/proc/sys/kernel/random/boot_id').read_text().strip()):
    '''What the init script's lock names a process by.'''
    return f'{pid}:{_stat(pid)[1][19]}:{boot}'


def stale_locks(gw, lock):
    '''Plants, at LOCK, each lock that no script holds any more.'''
    ended, live = gw.spawn(['sleep', '60']), gw.spawn(['sleep', '60'])
    gone, (pid, started, boot) = identity(ended.pid), identity(live.pid).split(':')
    ended.kill()
    ended.wait()
    pid_reused, other_boot = f'{pid}:1:{boot}', f'{pid}:{started}:{"0" * 8}-0000-0000-0000-{"0" * 12}'
    yield None
    for target in (gone, pid_reused, other_boot):
        lock.symlink_to(target)
        yield target
    lock.symlink_to(gone)  # and one that took it over from there, killed too
    Path(f'{lock}.after.{gone}').symlink_to(pid_reused)
    yield 'a chain'
    for pid in (f'{live.pid}\n', None):  # an earlier release's, with a pid or killed before one
        lock.mkdir()
        if pid:
            (lock / 'pid').write_text(pid)
        yield 'a directory'


@NATIVE_ONLY
def test_init_script_starts_at_once_give_one_daemon(reaper, bluez_gateway, unpacked, init_shell,
                                                    tmp_path):
    '''Four starts at once run one after the other: one starts the daemon,
    the others find it running; stop then leaves none, and no lock. A lock
    whose script has gone is taken over at once by exactly one of them.'''
    gw = bluez_gateway
    run, _, pidfile = init_script(gw, unpacked, tmp_path, init_shell)
    lock = Path(f'{pidfile}.lock')
    for stale in stale_locks(gw, lock):
        answers = []
        starts = [threading.Thread(target=lambda: answers.append(run('start')))
                  for _ in range(4)]
        for start in starts:
            start.start()
        for start in starts:
            start.join(60)
        assert sorted(answers) == [(0, 'Starting pairgated: OK\n')] + [
            (0, 'Starting pairgated: already running\n')] * 3, stale
        pid = int(pidfile.read_text())
        assert daemons(gw) == [pid]
        assert run('stop') == (0, 'Stopping pairgated: OK\n')
        assert reap(pid) == 0
        assert daemons(gw) == []
        assert sorted(gw.root.glob('pairgated.pid.*')) == [], stale


STRANGER = '''
import ctypes, sys, time
ctypes.CDLL(None).prctl(15, b"pairgated", 0, 0, 0)  # PR_SET_NAME
time.sleep(120)
'''


@NATIVE_ONLY
def test_init_script_leaves_a_stranger_with_the_daemons_name_alone(
        reaper, bluez_gateway, unpacked, init_shell, tmp_path):
    '''A pidfile left by a crash names a pid that a process named pairgated
    has taken since: another user's, or root's from another executable.
    status says not running, stop signals nobody, start starts the daemon.'''
    gw = bluez_gateway
    run, _, pidfile = init_script(gw, unpacked, tmp_path, init_shell)
    for user in (NOBODY, 0):
        stranger = gw.spawn([sys.executable, '-c', STRANGER], user=user)
        wait_until(lambda: Path(f'/proc/{stranger.pid}/comm').read_text() == 'pairgated\n', 10,
                   'the stranger to take the name')
        pidfile.write_text(f'{stranger.pid}\n')
        assert run('status', 'stop', 'status') == [
            (3, 'pairgated is not running\n'), (0, 'Stopping pairgated: not running\n'),
            (3, 'pairgated is not running\n')]
        pidfile.write_text(f'{stranger.pid}\n')
        assert run('start') == (0, 'Starting pairgated: OK\n')
        pid = int(pidfile.read_text())
        assert pid != stranger.pid and daemons(gw) == [pid]
        assert run('stop') == (0, 'Stopping pairgated: OK\n')
        assert reap(pid) == 0
        assert stranger.poll() is None, user
        stranger.kill()
        stranger.wait()



# ------------------------------------------------- scripts/install-deps, apt stood in for

# apt-get, apt-cache, dpkg and dpkg-query over world.json beside them: each package's
# versions in the lists (newest first), what is installed (any other package of the
# machine's own counts as installed), what each depends on (for its own architecture),
# the Multi-Arch: same ones, how many more times `apt-get update` fails. Calls are logged.
APT_STANDIN = r'''#!/usr/bin/python3 -S
import json, os, sys
world_file = os.path.join(os.path.dirname(__file__), 'world.json')
world = json.load(open(world_file))
tool, args = os.path.basename(sys.argv[0]), sys.argv[1:]
print(tool, *args, file=open(world_file + '.calls', 'a'))
full = lambda name: name if ':' in name else name + ':amd64'
arch = lambda name: full(name).split(':')[1]
base = lambda name: name.split(':')[0]
def installed(name):
    own = arch(name) == 'amd64' and full(name) not in world['lists']
    return world['installed'].get(full(name), '1' if own else None)
def save(status=0):
    json.dump(world, open(world_file, 'w'))
    sys.exit(status)
if tool == 'dpkg' and args[0] == '--print-foreign-architectures':
    print(*world['foreign'], sep='\n')
elif tool == 'dpkg' and args[0] == '--add-architecture':
    world['foreign'].append(args[1])
    save()
elif tool == 'dpkg':
    os.execv('/usr/bin/dpkg', ['dpkg'] + args)
elif tool == 'dpkg-query' and len(args) == 2:
    for name, version in world['installed'].items():
        print(f'ii |{base(name)}|{version}|{base(name)}|{arch(name)}')
elif tool == 'dpkg-query':
    version = installed(args[2])
    sys.exit(print(f'install ok installed {version}', end='') if version else 1)
elif args[0] == 'update':
    world['update_fails'] -= 1
    print('E: Failed to fetch armhf Packages  Mirror sync in progress?', file=sys.stderr)
    save(100 if world['update_fails'] >= 0 else 0)
elif args[0] == 'madison':
    print(*(f' {n} | {v} | Packages' for n in args[1:] for v in world['lists'].get(full(n), [])),
          sep='\n')
elif args[0] == 'show':
    print(*(f'Package: {base(n)}\nMulti-Arch: same\n' for n in args if base(n) in world['same']),
          sep='\n')
elif args[0] == 'depends':
    for name in (a for a in args[1:] if not a.startswith('-')):
        print(name, *(f'  Depends: {d}:{arch(name)}' for d in world['depends'].get(base(name), [])),
              sep='\n')
else:  # install: the words and what they need, Multi-Arch: same at one version
    wanted = dict((full(w.split('=')[0]), w.partition('=')[2]) for w in args[5:])
    needed = list(wanted)
    while needed:
        name = needed.pop()
        for dep in (f'{d}:{arch(name)}' for d in world['depends'].get(base(name), [])):
            needed += [] if dep in wanted else [dep]
            wanted.setdefault(dep, '')
    world['installed'].update({n: v or installed(n) or world['lists'][n][0]
                               for n, v in wanted.items()})
    for name, version in world['installed'].items():
        if base(name) in world['same'] and version != installed(base(name)):
            sys.exit(f'E: {name} {version} beside {base(name)} {installed(base(name))}')
    save()
'''


def install_deps(tmp_path, world, *args, script='install-deps'):
    '''(exit status, stderr, apt-get's calls, the world after) of SCRIPT ARGS
    against the stand-in.'''
    (tmp_path / 'world.json').write_text(json.dumps(world))
    (tmp_path / 'world.json.calls').unlink(missing_ok=True)
    for tool in ('apt-get', 'apt-cache', 'dpkg', 'dpkg-query'):
        (tmp_path / tool).write_text(APT_STANDIN)
        (tmp_path / tool).chmod(0o755)
    run = subprocess.run([str(SOURCE_DIR / 'scripts' / script), *args], capture_output=True,
                         text=True, check=False, timeout=120,
                         env=dict(os.environ, PATH=f'{tmp_path}:{os.environ["PATH"]}',
                                  PAIRGATE_APT_RETRY_S='0'))
    calls = (tmp_path / 'world.json.calls').read_text().splitlines()
    return (run.returncode, run.stderr, [c for c in calls if c.startswith('apt-get')],
            json.loads((tmp_path / 'world.json').read_text()))


# The set-up scripts do not depend on the build: tested once, in the plain native one.
SCRIPTS = pytest.mark.skipif(bool(EMULATED) or cached('PAIRGATE_SANITIZE') == 'ON',
                             reason='scripts/install-deps is tested in the plain native build')


@SCRIPTS
def test_install_deps_gets_past_an_index_that_fails_once(tmp_path):
    status, errors, calls, world = install_deps(tmp_path, {
        'foreign': [], 'installed': {}, 'lists': {'lighttpd:amd64': ['1.4.69-1']},
        'depends': {}, 'same': [], 'update_fails': 1})
    assert status == 0, errors
    assert calls == ['apt-get update -q'] * 2 + [
        'apt-get install -y -q --no-install-recommends --no-remove lighttpd']
    assert world['installed'] == {'lighttpd:amd64': '1.4.69-1'}


@SCRIPTS
def test_install_deps_brings_a_library_to_one_version_or_says_which_is_missing(tmp_path):
    '''The arm64 lists are a point release behind the liblzma5 installed (and
    every update fails): the machine's own is brought to theirs; where its own
    lists lack that version, the cross part cannot run, and says why.'''
    world = {'foreign': ['arm64'], 'installed': {'liblzma5:amd64': '5.4.1-1'}, 'lists': {
        'liblzma5:amd64': ['5.4.1-1+deb12u2', '5.4.1-1+deb12u1'],
        'liblzma5:arm64': ['5.4.1-1+deb12u1'], 'libsystemd0:arm64': ['252.39'],
        'libdbus-1-dev:arm64': ['1.14.10'], 'libgtest-dev:arm64': ['1.12.1'],
        'libstdc++6:arm64': ['12.2.0']}, 'same': ['liblzma5'],
        'depends': {'libdbus-1-dev': ['libsystemd0'], 'libsystemd0': ['liblzma5']},
        'update_fails': 9}
    status, errors, calls, after = install_deps(tmp_path, world, '--cross', 'arm64')
    assert status == 0, errors
    assert calls[3:] == ['apt-get install -y -q --no-install-recommends --no-remove '
                         'libdbus-1-dev:arm64 libgtest-dev:arm64 libstdc++6:arm64 '
                         'liblzma5:arm64=5.4.1-1+deb12u1 liblzma5=5.4.1-1+deb12u1']
    assert after['installed']['liblzma5:amd64'] == after['installed']['liblzma5:arm64']
    world['lists']['liblzma5:amd64'].pop()
    status, errors, calls, after = install_deps(tmp_path, world, 'arm64', script='cross')
    assert (status, after['installed']) == (77, world['installed'])
    assert errors.splitlines()[-3:] == [
        'install-deps: apt-get update failed 3 times; going on with the lists there are',
        'install-deps: liblzma5:arm64 5.4.1-1 (the version installed for amd64) is missing from '
        'the arm64 lists (they have 5.4.1-1+deb12u1), and liblzma5 cannot be brought to '
        '5.4.1-1+deb12u1 from the amd64 lists',
        'install-deps: the cross packages for arm64 cannot be installed (said above)']
