'''Malformed and forged D-Bus messages for the fault campaign, made from a seed.

Used in two processes: the campaign sends the stray client's batches itself,
and the BlueZ simulator sends the owner's batches through a method the
campaign adds to it at run time (dbusmock's AddMethod), so that a batch of
hundreds of messages costs one round trip.

A batch from the owner of org.bluez never holds a well-formed announcement of
a device's "Paired" property: that one is meant to make the daemon trust the
device, so any Trusted call during a batch is a fault. Nor does it hold a
well-formed Release (no arguments), which tells the daemon that its agent
registration is gone. A stray client's batch
may hold anything, as an attacker's would.'''

import random

import dbus
import dbus.lowlevel

import pairgate_facts as facts  # on the path the campaign sets

AGENT = '/org/bluez/agent_router'
AGENT_IFACE = 'org.bluez.Agent1'
DEVICE_IFACE = 'org.bluez.Device1'
PROPS_IFACE = 'org.freedesktop.DBus.Properties'
NAP = facts.NAP_UUID
DEVICE_PATHS = ['/org/bluez/hci0/dev_00_1A_7D_DA_71_13', '/org/bluez/hci0/dev_11_22_33_44_55_66',
                '/org/bluez/hci0/dev_', '/org/bluez/hci0', '/', '/org/bluez/hci0/dev_x_y/z',
                '/org/bluez/hci1/dev_00_1A_7D_DA_71_13_00_11']
AGENT_MEMBERS = ['RequestConfirmation', 'AuthorizeService', 'Release', 'RequestPinCode',
                 'RequestPasskey', 'DisplayPasskey', 'DisplayPinCode', 'RequestAuthorization',
                 'Cancel', 'Introspect', 'X' * 200]
INTERFACES = [AGENT_IFACE, PROPS_IFACE, DEVICE_IFACE, 'org.bluez.Adapter1',
              'org.freedesktop.DBus', 'org.freedesktop.DBus.Peer', 'org.example.Unknown']
ERRORS = ['org.bluez.Error.Failed', 'org.bluez.Error.AuthenticationFailed',
          'org.freedesktop.DBus.Error.NoReply', 'x.y']
SIGNATURES = ['', 'o', 's', 'ou', 'os', 'su', 'ouu', 'oss', 'sa{sv}as', 'sa{sv}', 'a{sv}',
              'sa{ss}as', 'sav', 'v', 'ay', 'a{oa{sa{sv}}}', 'uuuuuuuu', '(ou)', 'aas']


def _string(rnd, huge=False):
    choice = rnd.random()
    if huge and choice < 0.05:
        # Only an argument of its own is huge: the bus drops the connection
        # of a client that sends a message over its limit (32 MiB).
        return 'S' * rnd.choice([65536, 262144, 1048576])
    if choice < 0.3:
        return rnd.choice(['', NAP, '00:1A:7D:DA:71:13', 'Paired', 'org.bluez.Device1'])
    return ''.join(chr(rnd.randrange(1, 0x2FF)) for _ in range(rnd.randrange(0, 40)))


def _value(rnd, code, depth=0):
    '''A random value for one complete type CODE (a dbus.Signature element).'''
    simple = {
        'y': lambda: dbus.Byte(rnd.randrange(256)),
        'b': lambda: dbus.Boolean(rnd.random() < 0.5),
        'n': lambda: dbus.Int16(rnd.randrange(-32768, 32768)),
        'q': lambda: dbus.UInt16(rnd.randrange(65536)),
        'i': lambda: dbus.Int32(rnd.randrange(-2**31, 2**31)),
        'u': lambda: dbus.UInt32(rnd.choice([0, 123456, 999999, 1000000, 2**32 - 1,
                                             rnd.randrange(2**32)])),
        'x': lambda: dbus.Int64(rnd.randrange(-2**63, 2**63)),
        't': lambda: dbus.UInt64(rnd.randrange(2**64)),
        'd': lambda: dbus.Double(rnd.uniform(-1e9, 1e9)),
        's': lambda: dbus.String(_string(rnd, huge=depth == 0)),
        'o': lambda: dbus.ObjectPath(rnd.choice(DEVICE_PATHS)),
        'g': lambda: dbus.Signature(rnd.choice(SIGNATURES)),
    }
    if code in simple:
        return simple[code]()
    if code == 'v':
        inner = rnd.choice(['b', 's', 'u', 'as', 'a{sv}'] if depth < 3 else ['b', 's'])
        return _typed(rnd, inner, depth + 1, variant_level=1)
    if code.startswith('a{'):
        key, value = list(dbus.Signature(code[2:-1]))
        size = rnd.choice([0, 1, 3, 5000]) if depth == 0 else rnd.choice([0, 2])
        return dbus.Dictionary({_value(rnd, key, depth + 1): _value(rnd, value, depth + 1)
                                for _ in range(size)}, signature=code[2:-1])
    if code.startswith('a'):
        return dbus.Array([_value(rnd, code[1:], depth + 1) for _ in range(rnd.randrange(4))],
                          signature=code[1:])
    if code.startswith('('):
        return dbus.Struct([_value(rnd, c, depth + 1) for c in dbus.Signature(code[1:-1])],
                           signature=code[1:-1])
    raise ValueError(code)


def _typed(rnd, code, depth, variant_level=0):
    value = _value(rnd, code, depth)
    if variant_level and hasattr(value, 'variant_level'):
        value = type(value)(value, variant_level=variant_level) if not isinstance(
            value, (dbus.Dictionary, dbus.Array)) else type(value)(
                value, signature=value.signature, variant_level=variant_level)
    return value


def _append_random_args(rnd, msg, signature=None):
    signature = rnd.choice(SIGNATURES) if signature is None else signature
    if signature:
        msg.append(*[_value(rnd, code) for code in dbus.Signature(signature)],
                   signature=signature)


def _agent_call(rnd, destination, from_owner):
    member = rnd.choice(AGENT_MEMBERS)
    path = AGENT if rnd.random() < 0.8 else rnd.choice(DEVICE_PATHS)
    interface = AGENT_IFACE if rnd.random() < 0.8 else rnd.choice(INTERFACES)
    msg = dbus.lowlevel.MethodCallMessage(destination, path, interface, member)
    right = {'RequestConfirmation': 'ou', 'AuthorizeService': 'os'}.get(member)
    signature = right if right and rnd.random() < 0.5 else None
    if from_owner and member == 'Release':
        signature = rnd.choice(SIGNATURES[1:])  # with arguments: not BlueZ's Release
    _append_random_args(rnd, msg, signature)
    # No answer is awaited: the bus would hold a reply slot for each one.
    msg.set_no_reply(True)
    return msg


def _properties_changed(rnd, destination, from_owner):
    path = rnd.choice(DEVICE_PATHS)
    msg = dbus.lowlevel.SignalMessage(path, PROPS_IFACE, 'PropertiesChanged')
    if rnd.random() < 0.5:
        msg.set_destination(destination)  # a directed signal
    signature = rnd.choice(['sa{sv}as', 'sa{sv}as', 'sa{sv}', 'sa{ss}as', 's', 'a{sv}as'])
    if signature != 'sa{sv}as' or rnd.random() < 0.5:
        _append_random_args(rnd, msg, signature)
        return msg
    changed = {}
    for _ in range(rnd.randrange(4)):
        changed[_string(rnd)[:30]] = _typed(rnd, 's', 1, variant_level=1)
    if from_owner:
        changed['Paired'] = _typed(rnd, rnd.choice(['s', 'u', 'as']), 1, variant_level=1)
        interface = rnd.choice(INTERFACES[:2] + INTERFACES[3:])  # never Device1
        if rnd.random() < 0.5:
            interface = DEVICE_IFACE
            changed['Paired'] = dbus.String('true', variant_level=1)
    else:
        changed['Paired'] = dbus.Boolean(rnd.random() < 0.5, variant_level=1)
        interface = DEVICE_IFACE
    msg.append(interface, dbus.Dictionary(changed, signature='sv'),
               dbus.Array([], signature='s'), signature='sa{sv}as')
    return msg


def _other_signal(rnd, destination):
    msg = dbus.lowlevel.SignalMessage(rnd.choice(DEVICE_PATHS), rnd.choice(INTERFACES),
                                      rnd.choice(['NameOwnerChanged', 'InterfacesAdded',
                                                  'PropertiesChanged', 'Y']))
    if rnd.random() < 0.5:
        msg.set_destination(destination)
    _append_random_args(rnd, msg)
    return msg


def _forged_answer(rnd, destination, connection):
    '''A method return or error nobody asked for. Its reply serial is that
    of a Ping just sent to the bus: libdbus makes an answer only of a call
    with a serial, and dbus-python cannot set one (its set_reply_serial
    corrupts the stack), so the serials are those of this connection.'''
    call = dbus.lowlevel.MethodCallMessage('org.freedesktop.DBus', '/org/freedesktop/DBus',
                                           'org.freedesktop.DBus.Peer', 'Ping')
    call.set_no_reply(True)
    connection.send_message(call)
    if rnd.random() < 0.5:
        msg = dbus.lowlevel.ErrorMessage(call, rnd.choice(ERRORS), _string(rnd)[:100])
    else:
        msg = dbus.lowlevel.MethodReturnMessage(call)
        _append_random_args(rnd, msg)
    msg.set_destination(destination)
    return msg


def batch(connection, destination, count, seed, from_owner):
    '''COUNT random messages for DESTINATION, to be sent on CONNECTION.'''
    rnd = random.Random(seed)
    makers = [lambda: _agent_call(rnd, destination, from_owner),
              lambda: _properties_changed(rnd, destination, from_owner),
              lambda: _other_signal(rnd, destination),
              lambda: _forged_answer(rnd, destination, connection)]
    return [rnd.choice(makers)() for _ in range(count)]


def send_batch(connection, destination, count, seed, from_owner):
    '''Sends a batch on CONNECTION; returns how many messages went out.'''
    for msg in batch(connection, str(destination), int(count), int(seed), from_owner):
        connection.send_message(msg)
    connection.flush()
    return int(count)
