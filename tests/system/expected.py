'''The calls BlueZ should receive from the daemon, and the log lines it shows;
the texts themselves are the shared facts' (tests/pairgate_facts.py).'''

import sys
from pathlib import Path

from gateway import Call

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
# pylint: disable=wrong-import-position,unused-import
from pairgate_facts import ERR, WARNING, NOTICE, INFO, line  # noqa: E402,F401
import pairgate_facts as facts  # noqa: E402

ADAPTER = '/org/bluez/hci0'
DEVICE = '00:1A:7D:DA:71:13'
DEVICE_PATH = '/org/bluez/hci0/dev_00_1A_7D_DA_71_13'
AGENT = '/org/bluez/agent_router'
NAP_UUID, BNEP_UUID = facts.NAP_UUID, facts.BNEP_UUID

STARTED = facts.STARTED
FINISHED = facts.FINISHED
SCAN_STOPPED = facts.SCAN_STOPPED
BIN_DISABLED_AT_EXIT = facts.BIN_DISABLED_AT_EXIT


def scan_started(adapter=ADAPTER):
    return line(facts.SCAN_STARTED, adapter)


GET_MANAGED_OBJECTS = Call('/', 'org.freedesktop.DBus.ObjectManager', 'GetManagedObjects', [])


def start_discovery(adapter=ADAPTER):
    return Call(adapter, 'org.bluez.Adapter1', 'StartDiscovery', [])


def stop_discovery(adapter=ADAPTER):
    return Call(adapter, 'org.bluez.Adapter1', 'StopDiscovery', [])


def register_agent(capability='NoInputNoOutput'):
    return Call('/org/bluez', 'org.bluez.AgentManager1', 'RegisterAgent', [AGENT, capability])


UNREGISTER_AGENT = Call('/org/bluez', 'org.bluez.AgentManager1', 'UnregisterAgent', [AGENT])
REQUEST_DEFAULT_AGENT = Call('/org/bluez', 'org.bluez.AgentManager1', 'RequestDefaultAgent',
                             [AGENT])


def registration(capability='NoInputNoOutput'):
    '''Every registration, and then the daemon asks to be BlueZ's default agent.'''
    return [register_agent(capability), REQUEST_DEFAULT_AGENT]


def set_property(path, interface, name, value):
    return Call(path, 'org.freedesktop.DBus.Properties', 'Set', [interface, name, value])


def pairable(value, adapter=ADAPTER):
    return set_property(adapter, 'org.bluez.Adapter1', 'Pairable', value)


def discoverable(value, adapter=ADAPTER):
    return set_property(adapter, 'org.bluez.Adapter1', 'Discoverable', value)


def trusted(value, device_path=DEVICE_PATH):
    return set_property(device_path, 'org.bluez.Device1', 'Trusted', value)


def remove_device(device_path, adapter=ADAPTER):
    return Call(adapter, 'org.bluez.Adapter1', 'RemoveDevice', [device_path])


def pair(device_path=DEVICE_PATH):
    return Call(device_path, 'org.bluez.Device1', 'Pair', [])


# What every successful start sends, in order: the first pass without an
# input reader then clears Pairable once.
START = [GET_MANAGED_OBJECTS, start_discovery(), *registration()]
STOP = [UNREGISTER_AGENT, stop_discovery()]
# The agent swap around every web pairing; BlueZ makes the adapter pairable at
# each registration, so the closed window is applied again after the swap back.
SWAP_IN = [UNREGISTER_AGENT, *registration('DisplayYesNo')]
SWAP_BACK = [UNREGISTER_AGENT, *registration(), pairable(False)]
