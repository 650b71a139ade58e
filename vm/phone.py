'''The phone's side of a story, or another agent on the gateway, as a process
of its own: what it registers lives as long as it does.

usage: phone.py agent CAPABILITY              an agent that accepts everything,
                                              made the default
       phone.py pair CAPABILITY ADAPTER ADDRESS   ADAPTER pairs with ADDRESS;
                                              prints "ok" or the error's name
       phone.py servers ADAPTER               a NAP server on br0 and a
                                              serial-port profile that asks
                                              for authorisation
It prints "ready" once registered (agent, servers).
'''

import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

PHONE_AGENT = '/test/phone_agent'
SERIAL_UUID = '00001101-0000-1000-8000-00805f9b34fb'
SERIAL_CHANNEL = 5


def main(mode, *args):
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    loop = GLib.MainLoop()

    class Agent(dbus.service.Object):
        @dbus.service.method('org.bluez.Agent1', in_signature='ou', out_signature='')
        def RequestConfirmation(self, device, passkey):
            pass

        @dbus.service.method('org.bluez.Agent1', in_signature='o', out_signature='')
        def RequestAuthorization(self, device):
            pass

        @dbus.service.method('org.bluez.Agent1', in_signature='os', out_signature='')
        def AuthorizeService(self, device, uuid):
            pass

        @dbus.service.method('org.bluez.Agent1', in_signature='', out_signature='')
        def Release(self):
            pass

        @dbus.service.method('org.bluez.Agent1', in_signature='', out_signature='')
        def Cancel(self):
            pass

    if mode == 'servers':
        bus.call_blocking('org.bluez', args[0], 'org.bluez.NetworkServer1', 'Register', 'ss',
                          ('nap', 'br0'))
        options = {'Role': 'server', 'Channel': dbus.UInt16(SERIAL_CHANNEL, variant_level=1),
                   'RequireAuthorization': dbus.Boolean(True, variant_level=1),
                   'RequireAuthentication': dbus.Boolean(False, variant_level=1),
                   'Name': dbus.String('serial', variant_level=1)}
        bus.call_blocking('org.bluez', '/org/bluez', 'org.bluez.ProfileManager1', 'RegisterProfile',
                          'osa{sv}', ('/test/serial', SERIAL_UUID, options))
        print('ready', flush=True)
        loop.run()
        return
    Agent(bus, PHONE_AGENT)
    manager = dbus.Interface(bus.get_object('org.bluez', '/org/bluez'), 'org.bluez.AgentManager1')
    manager.RegisterAgent(PHONE_AGENT, args[0])
    if mode == 'agent':
        manager.RequestDefaultAgent(PHONE_AGENT)
        print('ready', flush=True)
        loop.run()
        return
    adapter, address = args[1], args[2]
    device = dbus.Interface(bus.get_object(
        'org.bluez', adapter + '/dev_' + address.replace(':', '_')), 'org.bluez.Device1')

    def done(error=None):
        print(error.get_dbus_name() if error else 'ok', flush=True)
        loop.quit()

    device.Pair(reply_handler=done, error_handler=done, timeout=60)
    loop.run()
    manager.UnregisterAgent(PHONE_AGENT)


if __name__ == '__main__':
    main(*sys.argv[1:])
