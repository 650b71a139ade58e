'''Measures what pairgated costs on the simulated gateway: CPU time and memory
while idle, while an inactive input is polled, and while an active input keeps
the pairing window open (a blocking Set call per pass), plus the time of a
whole web pairing. Prints a table; asserts nothing.

usage: scripts/bench [--seconds N]   (after a build; needs root)'''

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE / 'sim'))

from gateway import Gateway  # noqa: E402  pylint: disable=wrong-import-position

TICKS = os.sysconf('SC_CLK_TCK')


def cpu_seconds(pid):
    fields = Path(f'/proc/{pid}/stat').read_text().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def memory_kib(pid):
    status = Path(f'/proc/{pid}/status').read_text().splitlines()
    values = dict(line.split(':', 1) for line in status if ':' in line)
    return int(values['VmRSS'].split()[0]), int(values['VmHWM'].split()[0])


def measure(gw, seconds):
    pid = gw.daemon.pid
    calls_before = len(gw.calls())
    ioctls_before = len(gw.gpio_log())
    cpu_before, wall_before = cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)  # the quantity measured is what happens meanwhile
    wall = time.monotonic() - wall_before
    cpu = cpu_seconds(pid) - cpu_before
    rss, peak = memory_kib(pid)
    return {'cpu %': 100 * cpu / wall, 'BlueZ calls/s': (len(gw.calls()) - calls_before) / wall,
            'ioctls/s': (len(gw.gpio_log()) - ioctls_before) / wall, 'RSS KiB': rss,
            'peak RSS KiB': peak}


def scenario(build, name, settings, seconds, gpio=None, io=None):
    with tempfile.TemporaryDirectory(prefix='pairgate-bench-') as root:
        gw = Gateway(Path(root), build)
        try:
            gw.settings(settings)
            if io is not None:
                gw.io_tool(**io)
            gw.gpio(gpio)
            gw.start_bus()
            gw.start_bluez()
            gw.start_daemon()
            gw.wait_for_call('Set')
            result = measure(gw, seconds)
            result['scenario'] = name
            return result
        finally:
            gw.close()


def web_pairing_time(build, rounds):
    with tempfile.TemporaryDirectory(prefix='pairgate-bench-') as root:
        gw = Gateway(Path(root), build)
        try:
            gw.settings('MOD_BLUETOOTH_SYSLOGLEV=0\n')
            gw.start_bus()
            gw.start_bluez()
            gw.start_daemon()
            gw.wait_for_call('Set')
            reader = gw.reply_reader()
            gw.set_pair_behaviour(mode='confirm', passkey=42)
            began = time.monotonic()
            for _ in range(rounds):
                gw.write_request(b'00:1A:7D:DA:71:13')
                reader.read(6)
                gw.wait_for_call('RegisterAgent', lambda c: c.args[1] == 'NoInputNoOutput',
                                 start=len(gw.calls()) - 1)
            return (time.monotonic() - began) / rounds
        finally:
            gw.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--build', default=str(SOURCE / 'build'))
    parser.add_argument('--seconds', type=float, default=5)
    options = parser.parse_args()
    build = Path(options.build).resolve()
    quiet = 'MOD_BLUETOOTH_SYSLOGLEV=0\n'
    rows = [
        scenario(build, 'idle, no input', quiet, options.seconds),
        scenario(build, 'input inactive', quiet + 'MOD_BLUETOOTH_PAIRABLE_BIN=0\n',
                 options.seconds, gpio='1 1 1 1', io={'exit': 1}),
        scenario(build, 'input active', quiet + 'MOD_BLUETOOTH_PAIRABLE_BIN=0\n',
                 options.seconds, gpio='0 1 1 1', io={}),
    ]
    columns = ['cpu %', 'BlueZ calls/s', 'ioctls/s', 'RSS KiB', 'peak RSS KiB']
    print(f'{"scenario":<16}' + ''.join(f'{c:>15}' for c in columns))
    for row in rows:
        print(f'{row["scenario"]:<16}' + ''.join(f'{row[c]:>15.1f}' for c in columns))
    print(f'web pairing (request to agent back, simulated BlueZ): '
          f'{1000 * web_pairing_time(build, 20):.1f} ms')


if __name__ == '__main__':
    main()
