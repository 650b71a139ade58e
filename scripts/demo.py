'''The demo behind scripts/demo: pairgated on the simulated gateway.'''

import argparse
import os
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE / 'sim'))
sys.path.insert(0, str(SOURCE / 'tests'))

# pylint: disable=wrong-import-position
import pairgate_facts as facts  # noqa: E402
from gateway import Gateway  # noqa: E402

PHONE = '00:1A:7D:DA:71:13'
PHONE_PATH = '/org/bluez/hci0/dev_00_1A_7D_DA_71_13'
PRIORITIES = {3: 'err', 4: 'warning', 5: 'notice', 6: 'info'}


class Show:
    '''Prints what happened since the last call: new syslog lines, new calls.'''

    def __init__(self, gw):
        self.gw = gw
        self.lines = 0
        self.calls = 0

    def step(self, title):
        print(f'\n== {title}')

    def news(self):
        self.gw.syslog.sync()
        lines = self.gw.syslog.lines[self.lines:]
        self.lines += len(lines)
        calls = self.gw.calls(self.calls)
        self.calls += len(calls)
        for priority, text in lines:
            print(f'   syslog  [{PRIORITIES.get(priority, priority)}] {text}')
        for unit, count in runs(calls):
            times = f'  (x{count}, once per pass of the loop)' if count > 1 else ''
            print(f'   BlueZ   {"; ".join(describe(call) for call in unit)}{times}')


def runs(calls):
    '''Repeats folded into (calls, count): a call repeated on every pass of
    the loop, or a pair of calls (Pairable and Discoverable) repeated.'''
    folded = []
    i = 0
    while i < len(calls):
        for period in (1, 2):
            unit = calls[i:i + period]
            count = 1
            while calls[i + count * period:i + (count + 1) * period] == unit:
                count += 1
            if count > 1 or period == 2:
                break
        if count == 1:
            unit = calls[i:i + 1]
        folded.append((unit, count))
        i += len(unit) * count
    return folded


def describe(call):
    if call.member == 'Set':
        interface, name, value = call.args
        return f'{call.path} {interface.rsplit(".", 1)[-1]}.{name} = {str(value).lower()}'
    args = ', '.join(repr(a) for a in call.args)
    return f'{call.path} {call.interface.rsplit(".", 1)[-1]}.{call.member}({args})'


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument('--build', default=str(SOURCE / 'build'))
    parser.add_argument('--web', action='store_true',
                        help='serve the pairing page on 127.0.0.1 until Ctrl-C')
    options = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix='pairgate-demo-') as root:
        gw = Gateway(Path(root), Path(options.build).resolve())
        try:
            if options.web:
                from demo_web import web_demo  # pylint: disable=import-outside-toplevel
                web_demo(gw, Show(gw))
            else:
                demo(gw, Show(gw))
        finally:
            gw.close()


def pair_from_web_ui(gw, show, title):
    show.step(title)
    gw.set_pair_behaviour(mode='confirm', passkey=482913)
    start = len(gw.calls())
    client = gw.spawn([str(gw.client_path), '--grace', '0.5', PHONE],
                      sandboxed=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    output, _ = client.communicate(timeout=30)
    for line in output.decode().splitlines():
        print(f'   web UI  {line}')
    print(f'   web UI  (exit status {client.returncode})')
    gw.wait_for_call('RegisterAgent', lambda c: c.args[1] == 'NoInputNoOutput', start=start)
    show.news()


def demo(gw, show):
    show.step('The gateway: settings, BIN0 wired to the pairing button (released), BlueZ with '
              'hci0 and a phone')
    settings = f'{facts.SYSLOGLEV}=4\n{facts.PAIRABLE_BIN}="0"\n{facts.DISCOVERABLE}=2\n'
    print('   ' + settings.strip().replace('\n', '\n   '))
    gw.settings(settings)
    gw.io_tool(output=b'1', exit=1)  # BIN0 is supported; released at the first reading
    gw.gpio('1 1 1 1')
    gw.start_bus()
    gw.start_bluez(devices=(('hci0', PHONE, 'Phone'),))

    show.step('pairgated starts')
    gw.start_daemon()
    gw.syslog.wait_for(facts.text(facts.STARTED))
    gw.wait_for_call('Set')
    show.news()

    pair_from_web_ui(gw, show, f'The web UI asks to pair {PHONE}: pairgate-pair {PHONE}')

    show.step('Someone holds the pairing button (BIN0 reads 0)')
    held = len(gw.calls())
    gw.gpio('0 1 1 1')
    gw.syslog.wait_for(facts.text(facts.BIN_CHANGED, 0, 'enabled'))
    gw.wait_for_call('Set', lambda c: c.args[1] == 'Pairable' and c.args[2], start=held)
    show.news()
    show.step('A tablet pairs on its own initiative; BlueZ announces Paired')
    gw.mock.AddDevice('hci0', '00:1A:7D:DA:71:14', 'Tablet')
    gw.emit_properties_changed('/org/bluez/hci0/dev_00_1A_7D_DA_71_14', 'org.bluez.Device1',
                               {'Paired': True})
    gw.syslog.wait_for(facts.text(facts.PAIRED_BY_DEVICE, '00:1A:7D:DA:71:14'))
    show.news()
    show.step('... and the button is released')
    gw.gpio('1 1 1 1')
    gw.syslog.wait_for(facts.text(facts.BIN_CHANGED, 0, 'disabled'))
    show.news()

    show.step('bluetoothd is restarted (an update, a crash, a watchdog): BlueZ leaves the bus')
    gw.stop_bluez()
    gw.syslog.wait_for(facts.text(facts.BLUEZ_LEFT))
    show.news()
    show.step('bluetoothd is back: it takes its name first, then exports hci0 again')
    gw.start_bluez(adapters=(), devices=())
    show.calls = 0  # calls to the new BlueZ
    gw.syslog.wait_for(facts.text(facts.BLUEZ_BACK_WITHOUT_ADAPTER))
    gw.mock.AddAdapter('hci0', 'hci0')
    gw.mock.AddDevice('hci0', PHONE, 'Phone')
    gw.syslog.wait_for(facts.text(facts.FOLLOWING_SCAN_STARTED, '/org/bluez/hci0'))
    gw.wait_for_call('Set')
    show.news()
    pair_from_web_ui(gw, show, 'The web UI pairs again, through the new bluetoothd')

    show.step('SIGTERM: orderly shutdown')
    gw.signal(signal.SIGTERM)
    status = gw.wait_exit()
    show.news()
    print(f'   pairgated exit status {status}; request pipe left behind: '
          f'{os.path.exists(gw.request_pipe)}')


if __name__ == '__main__':
    main()
