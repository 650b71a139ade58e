#!/usr/bin/python3
'''Writes the seed corpus of every fuzz target into fuzz/corpus/TARGET/: small
valid inputs that reach each branch, from which libFuzzer mutates. D-Bus
messages are marshalled by GLib's Gio (python3-gi). Run it again after a
change of an input format; the seeds are committed.'''

import shutil
import sys
from pathlib import Path

from gi.repository import Gio, GLib

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / 'sim'))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / 'tests'))
# pylint: disable=wrong-import-position
import pairgate_facts as facts  # noqa: E402
from gio_reply import reply_message  # noqa: E402

CORPUS = Path(__file__).resolve().parent / 'corpus'
OWNER = ':1.4242'  # fuzz_bluez_sender in bus_fixture.h
STRAY = ':1.99'
DEVICE = '00:1A:7D:DA:71:13'
DEVICE_PATH = '/org/bluez/hci0/dev_00_1A_7D_DA_71_13'
AGENT = '/org/bluez/agent_router'
NAP, BNEP = facts.NAP_UUID, facts.BNEP_UUID
PAIR_SERIAL = 77

# State byte of the agent handler target.
IDLE, REQUESTED, PASSKEY_SHOWN = 0, 1, 2
WINDOW_CLOSED, WINDOW_OPEN = 1 << 2, 2 << 2
RECORD, BLUEZ_FAILS = 0x10, 0x20


def blob(message, serial=5):
    message.set_serial(serial)
    return bytes(message.to_blob(Gio.DBusCapabilityFlags.NONE))


def call(member, signature, args, sender=OWNER, path=AGENT, interface='org.bluez.Agent1'):
    message = Gio.DBusMessage.new_method_call('org.bluez', path, interface, member)
    if signature:
        message.set_body(GLib.Variant(f'({signature})', tuple(args)))
    message.set_sender(sender)
    return blob(message)


def signal(path, interface, member, signature, args, sender=OWNER):
    message = Gio.DBusMessage.new_signal(path, interface, member)
    if signature:
        message.set_body(GLib.Variant(f'({signature})', tuple(args)))
    message.set_sender(sender)
    return blob(message)


def answer(reply_serial, error_name=None, signature=None, args=(), sender=OWNER):
    message = reply_message(reply_serial, error_name)
    if signature:
        message.set_body(GLib.Variant(f'({signature})', tuple(args)))
    message.set_sender(sender)
    return blob(message, serial=9)


def changed(props, interface='org.bluez.Device1', path=DEVICE_PATH, sender=OWNER):
    return signal(path, 'org.freedesktop.DBus.Properties', 'PropertiesChanged', 'sa{sv}as',
                  (interface, props, []), sender)


def agent_seeds():
    confirm = ('ou', (DEVICE_PATH, 123456))
    return {
        'confirm-requested': bytes([REQUESTED | RECORD]) + call('RequestConfirmation', *confirm),
        'confirm-window-open': bytes([WINDOW_OPEN]) + call('RequestConfirmation', *confirm),
        'confirm-idle': bytes([IDLE]) + call('RequestConfirmation', *confirm),
        'confirm-other-device': bytes([REQUESTED | RECORD]) + call(
            'RequestConfirmation', 'ou', ('/org/bluez/hci0/dev_11_22_33_44_55_66', 1)),
        'confirm-no-underscore': bytes([REQUESTED | RECORD]) + call(
            'RequestConfirmation', 'ou', ('/org/bluez/hci0', 1)),
        'confirm-bad-signature': bytes([REQUESTED | RECORD]) + call(
            'RequestConfirmation', 'su', (DEVICE_PATH, 1)),
        'confirm-stray': bytes([REQUESTED | RECORD]) + call('RequestConfirmation', *confirm,
                                                            sender=STRAY),
        'authorize-nap': bytes([IDLE]) + call('AuthorizeService', 'os', (DEVICE_PATH, NAP)),
        'authorize-other': bytes([IDLE]) + call(
            'AuthorizeService', 'os', (DEVICE_PATH, '0000110a-0000-1000-8000-00805f9b34fb')),
        'authorize-bad-signature': bytes([IDLE]) + call('AuthorizeService', 'o', (DEVICE_PATH,)),
        'authorize-stray': bytes([IDLE]) + call('AuthorizeService', 'os', (DEVICE_PATH, NAP),
                                                sender=STRAY),
        'authorize-bnep': bytes([IDLE]) + call('AuthorizeService', 'os', (DEVICE_PATH, BNEP)),
        'release': bytes([IDLE]) + call('Release', '', ()),
        'release-stray': bytes([IDLE]) + call('Release', '', (), sender=STRAY),
        'cancel': bytes([REQUESTED | RECORD]) + call('Cancel', '', ()),
        'paired-true': bytes([IDLE]) + changed({'Paired': GLib.Variant('b', True)}),
        'paired-false-fails': bytes([IDLE | BLUEZ_FAILS]) + changed(
            {'Paired': GLib.Variant('b', False)}),
        'paired-among-others': bytes([IDLE]) + changed(
            {'Connected': GLib.Variant('b', True), 'RSSI': GLib.Variant('n', -40),
             'Paired': GLib.Variant('b', True)}),
        'paired-not-boolean': bytes([IDLE]) + changed({'Paired': GLib.Variant('s', 'yes')}),
        'paired-adapter': bytes([IDLE]) + changed({'Powered': GLib.Variant('b', True)},
                                                  interface='org.bluez.Adapter1',
                                                  path='/org/bluez/hci0'),
        'paired-while-requested': bytes([REQUESTED]) + changed({'Paired': GLib.Variant('b', True)}),
        'paired-stray': bytes([IDLE]) + changed({'Paired': GLib.Variant('b', True)}, sender=STRAY),
        'paired-not-variant': bytes([IDLE]) + signal(
            DEVICE_PATH, 'org.freedesktop.DBus.Properties', 'PropertiesChanged', 'sa{ss}as',
            ('org.bluez.Device1', {'Paired': 'true'}, [])),
        'changed-path-keys': bytes([IDLE]) + signal(
            DEVICE_PATH, 'org.freedesktop.DBus.Properties', 'PropertiesChanged', 'sa{ov}as',
            ('org.bluez.Device1', {'/a': GLib.Variant('b', True)}, [])),
        'changed-first-not-string': bytes([IDLE]) + signal(
            DEVICE_PATH, 'org.freedesktop.DBus.Properties', 'PropertiesChanged', 'ua{sv}as',
            (1, {'Paired': GLib.Variant('b', True)}, [])),
        'confirm-window-open-record': bytes([WINDOW_OPEN | RECORD]) + call(
            'RequestConfirmation', *confirm),
        'changed-bad-signature': bytes([IDLE]) + signal(
            DEVICE_PATH, 'org.freedesktop.DBus.Properties', 'PropertiesChanged', 's',
            ('org.bluez.Device1',)),
        'pair-return': bytes([REQUESTED | RECORD]) + answer(PAIR_SERIAL),
        'pair-return-after-passkey': bytes([PASSKEY_SHOWN | RECORD]) + answer(PAIR_SERIAL),
        'pair-return-trust-fails': bytes([REQUESTED | RECORD | BLUEZ_FAILS]) + answer(PAIR_SERIAL),
        'pair-error': bytes([PASSKEY_SHOWN | RECORD]) + answer(
            PAIR_SERIAL, 'org.bluez.Error.AuthenticationFailed', 's', ('failed',)),
        'pair-error-stray': bytes([REQUESTED | RECORD]) + answer(
            PAIR_SERIAL, 'org.bluez.Error.Failed', sender=STRAY),
        'pair-answer-idle': bytes([IDLE | RECORD]) + answer(PAIR_SERIAL),
        'other-reply': bytes([REQUESTED | RECORD]) + answer(78),
        'changed-no-arguments': bytes([IDLE]) + signal(
            DEVICE_PATH, 'org.freedesktop.DBus.Properties', 'PropertiesChanged', '', ()),
        'unknown-signal': bytes([IDLE]) + signal('/', 'org.example.X', 'Y', 'as', (['a'],)),
    }


def objects_reply(objects, signature='a{oa{sa{sv}}}'):
    return answer(3, signature=signature, args=(objects,))


def device(address, paired, adapter='hci0'):
    path = f'/org/bluez/{adapter}/dev_{address.replace(":", "_")}'
    return path, {'org.bluez.Device1': {'Address': GLib.Variant('s', address),
                                        'Paired': GLib.Variant('b', paired)}}


def managed_objects_seeds():
    adapter = ('/org/bluez/hci0', {'org.bluez.Adapter1': {'Powered': GLib.Variant('b', True)}})
    other_adapter = ('/org/bluez/hci1', {'org.bluez.Adapter1': {}})
    return {
        'gateway': objects_reply(dict([adapter, device(DEVICE, True)])),
        'not-paired': objects_reply(dict([adapter, device(DEVICE.lower(), False)])),
        'two-adapters': objects_reply(dict([adapter, other_adapter, device(DEVICE, False),
                                            device(DEVICE, True, 'hci1')])),
        'no-adapter': objects_reply(dict([('/org/bluez', {}), ('/org/bluez/hci0x', {})])),
        'paired-not-boolean': objects_reply({DEVICE_PATH: {'org.bluez.Device1': {
            'Address': GLib.Variant('s', DEVICE), 'Paired': GLib.Variant('s', 'true')}}}),
        'address-not-string': objects_reply({DEVICE_PATH: {'org.bluez.Device1': {
            'Address': GLib.Variant('u', 7), 'Paired': GLib.Variant('b', True)}}}),
        'long-adapter': objects_reply({'/org/bluez/hci1234567890123456': {}}),
        'empty': objects_reply({}),
        'other-shape': answer(3, signature='a{sv}', args=({'a': GLib.Variant('b', True)},)),
    }


def write(target, seeds):
    directory = CORPUS / target
    shutil.rmtree(directory, ignore_errors=True)
    directory.mkdir(parents=True)
    for name, data in seeds.items():
        (directory / name).write_bytes(data.encode() if isinstance(data, str) else data)


def main():
    write('agent_handler', agent_seeds())
    write('managed_objects', managed_objects_seeds())
    request = DEVICE.encode()
    write('request_intake', {
        'one-request': b'\0' + request,
        'two-requests': b'\0' + request + b'11:22:33:44:55:66',
        'short': b'\0' + request[:16],
        'zeros-then-request': b'\0' + bytes(facts.REQUEST_SIZE) + request,
        'refused-space': b'\0' + b'00 1A:7D:DA:71:13',
        'refused-slashes': b'\0' + b'00:1A//7D:DA:71/1',
        'bluez-fails': b'\1' + request,
        'no-adapter': b'\2' + request,
    })
    write('settings', {
        'example': f'{facts.SYSLOGLEV}=4\n{facts.PAIRABLE_BIN}="0"\n'
                   f'{facts.DISCOVERABLE}=2\nMOD_BLUETOOTH_ALIAS="Gateway"\n',
        'key-first': 'mod_bluetooth_sysloglev\nMOD_BLUETOOTH_SYSLOGLEV=4294967296\n',
        'odd-lines': 'MOD_BLUETOOTH_ENABLED =1\r\nMOD_BLUETOOTH_PAN_DNS4="a"b"\n=\n"\n'
                     'MOD_BLUETOOTH_PAN_LEASETIME4=-1\nMOD_BLUETOOTH_PAN_LEASETIME6=+3abc\n',
    })
    write('device_path', {
        'both': '/org/bluez/hci0\0' + DEVICE,
        'path': DEVICE_PATH,
        'odd': '/org/bluez/hci0_\0' + '00_1A:7D',
    })
    write('reply_message', {
        'passkey': b'\0' + facts.reply_passkey(42),
        'outcomes-in-pieces': (bytes([3, 4, 5, 1]) + facts.reply_passkey(123456) +
                               facts.REPLY_FAILED + facts.REPLY_PAIRED + b'12'),
        'invalid': b'\1' + b'\3' + b'12345\xff',
    })
    write('client_options', {
        'plain': DEVICE,
        'all': f'--timeout\x0090.125\x00--grace=0.5\x00--json\x00{DEVICE}',
        'help': '--help\0--bogus',
        'bad-seconds': '--timeout=86400.001\0' + DEVICE,
    })


if __name__ == '__main__':
    main()
