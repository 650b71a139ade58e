'''Boots one fresh VM per scenario and reads its result from the serial console.

usage: run.py --kernel VMLINUZ --initramfs GZ [--system-initramfs GZ --system-image RAW]
              [--jobs N] [--limit SECONDS] [--total SECONDS] SCENARIO...

A scenario passes when its VM prints "@@VMTEST result PASS". A VM that
crashes, hangs past its time limit (--limit for each VM, and no VM runs past
--total from the start of all) or ends without a result fails its
scenario, and the tail of its console is printed. The scenario "system"
boots the Debian image under systemd instead of the bench's initramfs.
Exit status: 0 when every scenario passed, 1 otherwise.
'''

import argparse
import os
import re
import subprocess
import sys
import threading
import time

RESULT = re.compile(r'@@VMTEST result (PASS|FAIL) (\S+) (\S+) ?(.*)')


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


def qemu_command(args, scenario, accel):
    command = ['qemu-system-x86_64', '-accel', accel, '-m', '1024', '-smp', '1', '-nodefaults',
               '-display', 'none', '-serial', 'stdio', '-no-reboot', '-kernel', args.kernel]
    line = 'console=ttyS0 quiet panic=-1 oops=panic'
    if scenario == 'system':
        command += ['-initrd', args.system_initramfs,
                    '-drive', f'file={args.system_image},format=raw,if=virtio,snapshot=on']
    else:
        command += ['-initrd', args.initramfs]
        line += f' pairgate.scenario={scenario}'
    return command + ['-append', line]


class Run:
    def __init__(self, scenario):
        self.scenario = scenario
        self.lines = []
        self.verdict = None
        self.why = ''
        self.vm_seconds = ''
        self.wall = 0.0
        self.figures = []


def boot(args, scenario, accel, deadline):
    run = Run(scenario)
    began = time.monotonic()
    limit = min(args.limit, deadline - began)
    if limit <= 0:
        run.verdict = 'FAIL'
        run.why = f'not started: the limit of {args.total:.0f} s for all VMs is spent'
        return run
    vm = subprocess.Popen(qemu_command(args, scenario, accel), stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    timer = threading.Timer(limit, vm.kill)
    timer.start()
    try:
        for raw in vm.stdout:
            line = raw.decode('utf-8', 'replace').rstrip('\r\n')
            run.lines.append(line)
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
    run.wall = time.monotonic() - began
    if run.verdict is None:
        run.verdict = 'FAIL'
        run.why = (f'no result: the VM hung and was stopped after {limit:.0f} s'
                   if run.wall >= limit else 'no result: the VM ended without one (crash?)')
    return run


def report(run, tail):
    print(f'--- {run.scenario}: {run.verdict} in {run.wall:.0f} s '
          f'({run.vm_seconds or "?"} s in the VM){": " + run.why if run.why else ""}',
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
    parser.add_argument('--kernel', required=True)
    parser.add_argument('--initramfs', required=True)
    parser.add_argument('--system-initramfs')
    parser.add_argument('--system-image')
    parser.add_argument('--jobs', type=int, default=1)
    parser.add_argument('--limit', type=float, default=240)
    parser.add_argument('--total', type=float, default=600)
    parser.add_argument('--tail', type=int, default=120)
    parser.add_argument('scenarios', nargs='+')
    args = parser.parse_args()

    accel = accelerator()
    print(f'vm-test: qemu with {accel}, {args.jobs} VM(s) at a time, '
          f'{args.limit:.0f} s per VM, {args.total:.0f} s for all', flush=True)
    deadline = time.monotonic() + args.total
    pending = list(args.scenarios)
    runs = {}
    lock = threading.Lock()

    def worker():
        while True:
            with lock:
                if not pending:
                    return
                scenario = pending.pop(0)
            run = boot(args, scenario, accel, deadline)
            with lock:
                runs[scenario] = run
                report(run, args.tail)

    threads = [threading.Thread(target=worker) for _ in range(max(1, args.jobs))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    passed = [s for s in args.scenarios if runs[s].verdict == 'PASS']
    failed = [s for s in args.scenarios if runs[s].verdict != 'PASS']
    print('vm-test: ' + ', '.join(f'{s} {runs[s].verdict}' for s in args.scenarios))
    print(f'vm-test: {len(passed)} passed, {len(failed)} failed')
    return 0 if not failed else 1


if __name__ == '__main__':
    sys.exit(main())
