'''Runs each story of each release in a VM of its own and reads its result from the serial console.

usage: run.py --images DIR [--jobs N] [--limit SECONDS] [--total SECONDS] RELEASE/STORY...

DIR/RELEASE holds what vm/image made for that release (vmlinuz,
initramfs.gz, disk.raw, versions). Each release boots once up to where
vm/init asks for its story, and is saved there (DIR/RELEASE/machine.state);
each story's VM starts from that state on a fresh copy of the disk and is
told its story on the console. A story passes when its VM prints
"@@VMTEST result PASS". A VM that crashes, hangs past its time limit
(--limit for each VM, and no VM runs past --total from the start of all) or
ends without a result fails its story, and the tail of its console is
printed. The story "system" boots the image under systemd.
Exit status: 0 when every story passed, 1 otherwise.
'''

import argparse
import collections
import json
import os
import re
import shlex
import shutil
import socket
import subprocess
import sys
import threading
import tempfile
import time

# The stories a release cannot run at all, and why: the one place they are listed.
CANNOT_RUN = {
    # Debian's 6.1 kernel: once hci0 has paired out (the story's web pairing),
    # L2CAP may crash (list_del corruption in hci_chan_del) as the links go;
    # the story passes on 5.10 and 6.12.
    'bookworm/adapters': "kernel 6.1's L2CAP crash after hci0 has paired out (list_del "
                         'corruption in hci_chan_del)',
    # bullseye's btvirt (bluez 5.55) keeps one pairing outcome per controller:
    # once the stranger has been refused, the gateway's next pairing failed
    # (Simple Pairing Complete 0x05) as soon as the phone confirmed. Tried
    # again with the story on the shared gateway: once, the first web pairing
    # passed (the Just Works stranger bonded unasked and the daemon removed
    # it), then in the second a DisplayYesNo stranger the daemon refused came
    # out of btvirt paired all the same; once, btvirt crashed (SIGSEGV).
    'bullseye/stranger': "btvirt 5.55 carries a refused pairing's outcome over to the gateway's "
                         'next pairing',
    # bluez 5.55 announces no Bonded, and exports the phone's device unpaired
    # when the link comes up: the first sign of the phone's own pairing is its
    # Paired, after service discovery, 1.1 s after the phone's success in one
    # run (removed), before it in another.
    'bullseye/release': 'bluez 5.55 has no Bonded: a pairing shows first as Paired, after '
                        'service discovery',
}

# About how long each story's VM takes (seconds on an idle two-core machine,
# TCG): the longest start first, so that the last ones to end are short and
# neither core waits long on the other. A story not listed counts as longest.
SECONDS = {'stranger': 160, 'window': 150, 'system': 130, 'adapters': 125, 'web': 120,
           'held': 115, 'nap': 95, 'restart': 85, 'discoverable': 65, 'reject': 45,
           'startup': 40}

RESULT = re.compile(r'@@VMTEST result (PASS|FAIL) (\S+) (\S+) ?(.*)')
# btvirt, the bench's emulated radio, crashing (seen on 5.82 in about one run in
# four of `system`, before vm/late_free.c), or answering the kernel's first
# command to a controller (HCI Reset) past the kernel's limit on a loaded machine,
# which leaves the controller down (seen once, trixie's `stranger` at a load of
# 15): the story then fails whatever the daemon does. Such a story boots once
# more, and the report says so; a second time fails it.
EMULATOR_CRASH = re.compile(r'btvirt(\.service: Main process exited, code=killed|\[\d+\]:? '
                            r'(segfault|general protection))|hci\d+: Opcode 0x0c03 failed: -110')


def accelerator():
    '''KVM only where it can work: /dev/kvm, and vmx or svm in the CPU flags.'''
    try:
        with open('/proc/cpuinfo') as cpuinfo:
            flags = re.search(r'\b(vmx|svm)\b', cpuinfo.read())
    except OSError:
        flags = None
    if flags and os.access('/dev/kvm', os.R_OK | os.W_OK):
        return 'kvm'
    return 'tcg'


def cpu_seconds(pid):
    '''The CPU time the process has used so far (None once it is gone).'''
    try:
        with open(f'/proc/{pid}/stat') as stat:
            fields = stat.read().rsplit(')', 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


def qemu_command(args, release, accel, *extra, story='told'):
    image = os.path.join(args.images, release)
    return ['qemu-system-x86_64', '-accel', accel, '-m', '1024', '-smp', '1', '-nodefaults',
            '-display', 'none', '-serial', 'stdio', '-no-reboot',
            '-kernel', os.path.join(image, 'vmlinuz'),
            '-initrd', os.path.join(image, 'initramfs.gz'),
            '-drive', f'file={os.path.join(image, "disk.raw")},format=raw,if=virtio,snapshot=on',
            '-append', f'console=ttyS0 quiet panic=-1 oops=panic pairgate.story={story}', *extra]


# vm/init, waiting for its story on the console (again and again: a machine
# started from the saved state says it there first).
READY = '@@VMTEST ready'


class NotSaved(Exception):
    def __init__(self, why, lines):
        super().__init__(why)
        self.lines = lines


class Monitor:
    '''qemu's machine protocol (QMP) on a Unix socket, as far as saving a machine needs.'''

    def __init__(self, path, timeout):
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.settimeout(timeout)
        self.sock.connect(path)
        self.file = self.sock.makefile('rw')
        self.file.readline()  # the greeting
        self.execute('qmp_capabilities')

    def execute(self, command, **arguments):
        self.file.write(json.dumps({'execute': command, 'arguments': arguments}) + '\n')
        self.file.flush()
        for line in self.file:
            answer = json.loads(line)
            if 'error' in answer:
                raise OSError(f'{command}: {answer["error"].get("desc")}')
            if 'return' in answer:
                return answer['return']
        raise OSError(f'{command}: the monitor closed')


def save_machine(args, release, accel, limit):
    '''Boots RELEASE up to where vm/init asks for its story and saves the
    machine there: every story's VM starts from it, without the kernel's and
    its modules' start (about 8 s of CPU each under TCG). A saved machine
    belongs to one qemu and one image, so each run makes its own. Returns the
    state's path.'''
    state = os.path.join(args.images, release, 'machine.state')
    lines = []
    with tempfile.TemporaryDirectory(prefix='pairgate-vm-') as tmp:
        qmp = os.path.join(tmp, 'qmp')
        vm = subprocess.Popen(qemu_command(args, release, accel,
                                           '-qmp', f'unix:{qmp},server=on,wait=off'),
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT)
        timer = threading.Timer(limit, vm.kill)
        timer.start()
        try:
            for raw in vm.stdout:
                lines.append(raw.decode('utf-8', 'replace').rstrip('\r\n'))
                if READY in lines[-1]:
                    break
            else:
                raise NotSaved('the VM ended before it was ready', lines)
            threading.Thread(target=vm.stdout.read, daemon=True).start()
            monitor = Monitor(qmp, limit)
            # Saved running (qemu stops it for the last pages), so that a
            # machine started from the state runs at once; the state is
            # whole when qemu closes the stream.
            with socket.socket(socket.AF_UNIX) as receiver:
                receiver.settimeout(limit)
                receiver.bind(os.path.join(tmp, 'state'))
                receiver.listen(1)
                monitor.execute('migrate', uri=f'unix:{os.path.join(tmp, "state")}')
                stream, _ = receiver.accept()
                with stream, open(state + '.new', 'wb') as out:
                    shutil.copyfileobj(stream.makefile('rb'), out)
            status = monitor.execute('query-migrate').get('status')
            while status not in ('completed', 'failed', 'cancelled'):
                time.sleep(0.05)
                status = monitor.execute('query-migrate').get('status')
            if status != 'completed':
                raise NotSaved(f'saving it {status}', lines)
        except OSError as error:
            raise NotSaved(f'saving it: {error}', lines) from error
        finally:
            timer.cancel()
            if vm.poll() is None:
                vm.kill()
                vm.wait()
    os.replace(state + '.new', state)
    return state


def save_machines(args, releases, accel, deadline):
    '''{release: its saved state, or None where saving failed (said why:
    its stories then boot from the start)}, saved at once.'''
    saved = {}

    def save(release):
        began = time.monotonic()
        try:
            saved[release] = save_machine(args, release, accel,
                                          min(args.limit, deadline - began))
            print(f'vm-test: {release} saved, ready for its stories, after '
                  f'{time.monotonic() - began:.0f} s', flush=True)
        except NotSaved as error:
            saved[release] = None
            print(f'vm-test: {release} could not be saved ({error}); its stories boot from the '
                  'start. The last lines of its console:', flush=True)
            for line in error.lines[-args.tail:]:
                print('    | ' + line)

    threads = [threading.Thread(target=save, args=(release,)) for release in releases]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return saved


class Run:
    def __init__(self, scenario):
        self.scenario = scenario
        self.lines = []
        self.verdict = None
        self.why = ''
        self.vm_seconds = ''
        self.wall = 0.0
        self.cpu = 0.0
        self.figures = []


def boot(args, scenario, accel, deadline, saved):
    run = Run(scenario)
    began = time.monotonic()
    limit = min(args.limit, deadline - began)
    if limit <= 0:
        run.verdict = 'FAIL'
        run.why = f'not started: the limit of {args.total:.0f} s for all VMs is spent'
        return run
    release, story = scenario.split('/')
    if story == 'system':
        command = qemu_command(args, release, accel, story=story)
    elif saved.get(release):
        command = qemu_command(args, release, accel, '-incoming',
                               f'exec:cat {shlex.quote(saved[release])}')
    else:
        command = qemu_command(args, release, accel)
    vm = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT)
    timer = threading.Timer(limit, vm.kill)
    timer.start()
    told = False
    try:
        for raw in vm.stdout:
            line = raw.decode('utf-8', 'replace').rstrip('\r\n')
            run.lines.append(line)
            run.cpu = cpu_seconds(vm.pid) or run.cpu
            if READY in line and not told:
                told = tell(vm, f'{story} {int(time.time())}\n')
            result = RESULT.search(line)
            if result and run.verdict is None:
                run.verdict, _, run.vm_seconds, run.why = result.groups()
            if '@@VMTEST figure ' in line:
                run.figures.append(line.split('@@VMTEST figure ', 1)[1])
        vm.wait()
    finally:
        timer.cancel()
        if vm.poll() is None:
            vm.kill()
            vm.wait()
        vm.stdin.close()
    run.wall = time.monotonic() - began
    if run.verdict is None:
        run.verdict = 'FAIL'
        run.why = (f'no result: the VM hung and was stopped after {limit:.0f} s'
                   if run.wall >= limit else 'no result: the VM ended without one (crash?)')
    return run


def tell(vm, text):
    '''Written to the VM's console; False when the VM is gone (its end says the rest).'''
    try:
        vm.stdin.write(text.encode())
        vm.stdin.flush()
    except OSError:
        return False
    return True


def boot_once_more_on_a_crash(args, scenario, accel, deadline, saved):
    run = boot(args, scenario, accel, deadline, saved)
    if run.verdict == 'FAIL' and any(EMULATOR_CRASH.search(line) for line in run.lines):
        print(f'--- {scenario}: btvirt crashed or answered too late in this boot ({run.why}); '
              'booting once more',
              flush=True)
        again = boot(args, scenario, accel, deadline, saved)
        again.why = (again.why + '; ' if again.why else '') + 'after btvirt failed in a first boot'
        return again
    return run


def report(run, tail, versions):
    print(f'--- {run.scenario} ({versions}): {run.verdict} in {run.wall:.0f} s '
          f'({run.vm_seconds or "?"} s in the VM, {run.cpu:.0f} s of CPU)'
          f'{": " + run.why if run.why else ""}',
          flush=True)
    for figure in run.figures:
        print(f'    {figure}')
    if run.verdict != 'PASS':
        print(f'    last {tail} lines of its console:')
        for line in run.lines[-tail:]:
            print('    | ' + line)
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--images', required=True)
    parser.add_argument('--jobs', type=int, default=1)
    parser.add_argument('--limit', type=float, default=300)
    parser.add_argument('--total', type=float, default=600)
    parser.add_argument('--tail', type=int, default=120)
    parser.add_argument('scenarios', nargs='+')
    args = parser.parse_args()
    versions = {}
    for release in {scenario.split('/')[0] for scenario in args.scenarios}:
        with open(os.path.join(args.images, release, 'versions')) as text:
            versions[release] = text.read().strip()

    accel = accelerator()
    print(f'vm-test: qemu with {accel}, {args.jobs} VM(s) at a time, '
          f'{args.limit:.0f} s per VM, {args.total:.0f} s for all', flush=True)
    deadline = time.monotonic() + args.total
    pending = sorted((s for s in args.scenarios if s not in CANNOT_RUN),
                     key=lambda s: -SECONDS.get(s.split('/')[1], 1000))
    runs = {}
    for scenario in args.scenarios:
        if scenario in CANNOT_RUN:
            runs[scenario] = Run(scenario)
            runs[scenario].verdict = 'SKIPPED'
            runs[scenario].why = CANNOT_RUN[scenario]
            report(runs[scenario], 0, versions[scenario.split('/')[0]])
    saved = save_machines(args, sorted({s.split('/')[0] for s in pending
                                        if not s.endswith('/system')}), accel, deadline)
    lock = threading.Lock()

    def worker():
        while True:
            with lock:
                if not pending:
                    return
                scenario = pending.pop(0)
            run = boot_once_more_on_a_crash(args, scenario, accel, deadline, saved)
            with lock:
                runs[scenario] = run
                report(run, args.tail, versions[scenario.split('/')[0]])

    threads = [threading.Thread(target=worker) for _ in range(max(1, args.jobs))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    releases = list(dict.fromkeys(s.split('/')[0] for s in args.scenarios))
    stories = list(dict.fromkeys(s.split('/')[1] for s in args.scenarios))
    print('vm-test: ' + ' '.join(f'{r:>9}' for r in ['story'] + releases))
    for story in stories:
        print('vm-test: ' + f'{story:>9} ' + ' '.join(
            f'{runs[f"{r}/{story}"].verdict if f"{r}/{story}" in runs else "-":>9}'
            for r in releases))
    counts = collections.Counter(run.verdict for run in runs.values())
    print(f'vm-test: {counts["PASS"]} passed, {counts["FAIL"]} failed, '
          f'{counts["SKIPPED"]} cannot run (said why above)')
    return 0 if not counts['FAIL'] else 1


if __name__ == '__main__':
    sys.exit(main())
