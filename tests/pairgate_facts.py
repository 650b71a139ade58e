'''What pairgated and pairgate-pair show the world, for the Python side: the
daemon's log texts with their priorities, the pipes' paths and bytes, the
settings keys, pairgate-pair's JSON events and exit statuses.

The system tests, the fault campaign, the simulator's callers, the demo and
the fuzz seeds take these facts from here and nowhere else. The C++ side
defines them in its sources (the log texts), common/pipe_protocol.h,
settings/settings.cpp, the agent (the PAN UUIDs) and client/; tests/facts_check
compares this module with them, as man/lint compares the manual with the log
texts.

A log text is a (priority, format) pair; the format's {} take the values, in
order, through line():

    line(PAIRING_FAILED, '00:1A:7D:DA:71:13', 'AuthenticationFailed')
    == (ERR, 'Pairing with 00:1A:7D:DA:71:13 failed: AuthenticationFailed')
'''

import json
import re

# syslog(3)'s priorities.
ERR, WARNING, NOTICE, INFO = 3, 4, 5, 6


def line(fact, *values):
    '''The (priority, text) the daemon logs for FACT with VALUES.'''
    priority, log_format = fact
    return (priority, log_format.format(*values))


def text(fact, *values):
    '''The text alone of the line the daemon logs for FACT with VALUES.'''
    return line(fact, *values)[1]


def pattern(fact):
    '''A regex for every line the daemon logs for FACT, whatever its values.'''
    return re.compile('^' + re.escape(fact[1]).replace(r'\{\}', '.*') + '$')


# Start-up.
STARTED = (NOTICE, 'Bluetooth helper daemon has been started')
CONNECTING_FAILED = (ERR, '(Starting) Connecting to D-Bus failed: {}')
NO_ADAPTER_AT_START = (ERR, '(Starting) No hci interface on DBus found: {}')
DISCOVERY_FAILED_AT_START = (ERR, '(Starting) Enabling Discovery failed: {}')
SCAN_STARTED = (INFO, '(Starting) Bluetooth scanning has been started on {}')
CREATING_INPUT_FIFO_FAILED = (ERR, '(Starting) Creating input FIFO ({}) failed: {}')
OPENING_INPUT_FIFO_FAILED = (ERR, '(Starting) Opening input FIFO ({}) failed: {}')
INPUT_FIFO_IN_USE = (ERR, '(Starting) Input FIFO ({}) is in use by another pairgated')
INPUT_FIFO_REPLACED = (WARNING, '(Starting) Input FIFO ({}) was {} owned by uid {}; replaced it '
                                'with a new one')
INPUT_FIFO_MOVED = (WARNING, '(Starting) Input FIFO ({}) was a directory owned by uid {}; moved '
                             'it to {} and made a new one')
MATCH_RULE_FAILED = (ERR, '(Starting) Adding D-Bus match rule failed: {}')
FILTER_FAILED = (ERR, '(Starting) Adding D-Bus filter failed: {}')
REGISTERING_FAILED_AT_START = (ERR, '(Starting) Registering agent failed: {}')
# After every registration, at start, after a web pairing's swaps, with a new BlueZ.
REQUESTING_DEFAULT_FAILED = (ERR, 'Requesting default agent failed: {}')

# Shutdown.
FINISHED = (NOTICE, 'Bluetooth helper daemon has been finished')
DISABLING_PAIRABLE_FAILED = (WARNING, '(Quiting) Disabling Pairable failed: {}')
BIN_DISABLED_AT_EXIT = (INFO, '(Quiting) Bluetooth automatic paring by BIN has been disabled')
DEREGISTERING_FAILED_AT_EXIT = (WARNING, '(Quiting) Deregistering agent failed: {}')
SCAN_STOPPED = (INFO, '(Quiting) Bluetooth scanning has been stop')
STOPPING_DISCOVERY_FAILED = (WARNING, '(Quiting) Stopping Discovery failed: {}')

# The pairing window of a binary input: BIN{} then "enabled" or "disabled".
BIN_CHANGED = (INFO, 'By BIN{}, Bluetooth automatic paring has been {}')
SETTING_PAIRABLE_FAILED = (ERR, 'Setting Pairable failed: {}')
SETTING_DISCOVERABLE_FAILED = (ERR, 'Setting Discoverable failed: {}')
INPUT_UNREADABLE = (WARNING, 'Input {} cannot be read; the pairing window stays open until it can')
PROBE_TIMEOUT = (ERR, 'gpio: timeout when checking support for {}')
PROBE_READ_ERROR = (ERR, 'gpio: read error when checking support for {}')
PROBE_NO_PIPE = (ERR, 'gpio: cannot create pipe when checking support for {}')
PROBE_FAILURES_LEFT_OUT = (ERR, 'gpio: {} more failures when checking support for {} were not '
                                'logged')
SETTING_FAILURES_LEFT_OUT = (ERR, '{} more failures when setting {} were not logged')
SETTING_FAILURES_ON_OTHERS_LEFT_OUT = (ERR, '{} more failures when setting {} on other adapters '
                                            'were not logged')
UNREADABLE_LEFT_OUT = (WARNING, '{} more warnings that input {} cannot be read were not logged')

# The web pairing.
REQUEST = (INFO, 'Request from web UI to pair {}')
REQUEST_REFUSED = (ERR, 'Request from web UI to pair {} refused: {}')
MALFORMED_REQUEST = (ERR, 'Malformed request "{}" ({} bytes) from cgi')
READING_REQUEST_FAILED = (ERR, 'Reading from named pipe {} failed: {}')
TEMPORARY_DEREGISTERING_FAILED = (ERR, 'Temporary deregistering agent failed: {}')
PAIRED_FROM_WEB = (INFO, 'Device {} has been paired and trusted on the request from the web UI')
TRUSTING_FAILED_FROM_WEB = (ERR, 'Setting "Trusted" property for devie {} to true failed: {}')
PAIRING_FAILED = (ERR, 'Pairing with {} failed: {}')
PAIR_NOT_ANSWERED = (ERR, 'Pairing with {} failed: Pair was not answered within {} s')
DEREGISTERING_FAILED = (ERR, 'Deregistering agent failed: {}')
REGISTERING_FAILED = (ERR, 'Registering agent failed: {}')
OPENING_OUTPUT_FIFO_FAILED = (ERR, 'Opening output FIFO ({}) failed: {}')
WRITING_OUTPUT_FIFO_FAILED = (ERR, 'Writing to output FIFO ({}) failed: {}')
REPLY_DROPPED = (WARNING, 'Output FIFO ({}) held {} bytes unread for {} s; dropped them before '
                          'the next request')

# The agent and the trust of devices that paired on their own.
INVALID_CONFIRMATION = (ERR, 'Invalid arguments for RequestConfirmation message')
INVALID_AUTHORISATION = (ERR, 'Invalid arguments for AuthorizeService message')
PAIRED_BY_DEVICE = (INFO, 'Device {} has been paired and trusted on the request from the device')
PAIRED_WITH_WINDOW_CLOSED = (WARNING, 'Device {} paired while the pairing window is closed; '
                                      'removed')
PAIRED_DURING_WEB_PAIRING = (WARNING, 'Device {} paired while another device is being paired; '
                                      'removed')
REMOVING_FAILED = (ERR, 'Removing device {} failed: {}')
REMOVALS_LEFT_OUT = (WARNING, '{} more removals of devices that paired while refused were not '
                              'logged')
REMOVING_FAILURES_LEFT_OUT = (ERR, '{} more failures when removing a device were not logged')
TRUSTING_FAILED = (ERR, 'Setting "Trusted" property to true failed: {}')

# Following BlueZ.
BLUEZ_LEFT = (WARNING, '(Following BlueZ) BlueZ has left the system bus')
BLUEZ_BACK_WITHOUT_ADAPTER = (INFO, '(Following BlueZ) BlueZ is on the system bus again; waiting '
                                    'for an adapter')
FOLLOWING_SCAN_STARTED = (NOTICE, '(Following BlueZ) Bluetooth scanning has been started on {}')
ADAPTER_REMOVED = (WARNING, '(Following BlueZ) Adapter {} has been removed')
FOLLOWING_DISCOVERY_FAILED = (ERR, '(Following BlueZ) Enabling Discovery failed: {}')
FOLLOWING_ADAPTER_NOT_POWERED = (INFO, '(Following BlueZ) Adapter {} is not powered yet; '
                                        'scanning starts when it is')
FOLLOWING_LOOKUP_FAILED = (ERR, '(Following BlueZ) Looking for an adapter failed: {}')
FOLLOWING_REGISTERING_FAILED = (ERR, '(Following BlueZ) Registering agent failed: {}')

# The syslog sender's own report.
LINES_DROPPED = (ERR, '(Logging) {} lines dropped: the syslog socket took none for a while')

# The two named pipes (common/pipe_protocol.h).
REQUEST_PIPE = '/var/tmp/duskpair.fifo'
REPLY_PIPE = '/var/tmp/duskweb.fifo'
REQUEST_SIZE = 17
REPLY_SIZE = 6
REPLY_PAIRED = b'\x01' * REPLY_SIZE
REPLY_FAILED = b'\x00' * REPLY_SIZE


def reply_passkey(passkey):
    '''The six ASCII digits of a passkey on the reply pipe.'''
    return (b'%06u' % passkey)[:REPLY_SIZE]


def reply_kind(message):
    ''''passkey', 'paired', 'failed' or None, as pairgate-pair reads MESSAGE.'''
    if len(message) == REPLY_SIZE and message.isdigit():
        return 'passkey'
    return {REPLY_PAIRED: 'paired', REPLY_FAILED: 'failed'}.get(message)



# The settings file, every key of the Bluetooth module (settings/settings.cpp's
# order), and the three the daemon acts on.
SETTINGS_FILE = '/opt/bluetooth/etc/settings'
SETTINGS_KEYS = ['MOD_BLUETOOTH_' + key for key in (
    'ENABLED', 'ALIAS', 'DISCOVERABLE', 'PAIRABLE_BIN', 'PAN_ENABLED', 'PAN_IPADDR4',
    'PAN_NETMASK4', 'PAN_DNS4', 'PAN_POOLLO4', 'PAN_POOLHI4', 'PAN_LEASETIME4', 'PAN_IPADDR6',
    'PAN_PREFIX6', 'PAN_DNS6', 'PAN_POOLLO6', 'PAN_POOLHI6', 'PAN_LEASETIME6', 'SYSLOGLEV')]
SYSLOGLEV = 'MOD_BLUETOOTH_SYSLOGLEV'
PAIRABLE_BIN = 'MOD_BLUETOOTH_PAIRABLE_BIN'
DISCOVERABLE = 'MOD_BLUETOOTH_DISCOVERABLE'


def settings(**values):
    '''The settings file's text with a line for each of VALUES, named as above:
    settings(SYSLOGLEV=4, PAIRABLE_BIN=0).'''
    return ''.join(f'{globals()[name]}={value}\n' for name, value in values.items())


def started(settings_text, log):
    '''Whether a daemon run with SETTINGS_TEXT has told its start in LOG, a
    list of (priority, text), or tells no notices at all.'''
    level = re.search(rf'^{SYSLOGLEV}=(\d+)$', settings_text, re.M)
    return STARTED in log or not level or int(level.group(1)) < 3  # 3: notices and above


# The services the agent authorises: NAP, and BNEP beneath it, which
# bluetoothd's network server asks for when a device connects to NAP.
NAP_UUID = '00001116-0000-1000-8000-00805f9b34fb'
BNEP_UUID = '0000000f-0000-1000-8000-00805f9b34fb'

# pairgate-pair --json: the "event" of each line, and the member beside it.
EVENT_PASSKEY = 'passkey'   # "passkey"
EVENT_PAIRED = 'paired'     # "address"
EVENT_FAILED = 'failed'     # "address"
EVENT_TIMEOUT = 'timeout'   # nothing
EVENT_ERROR = 'error'       # "message"
EVENT_DEVICE = 'device'     # --list: "address", "name", "paired", "trusted", "connected", "rssi"
NOT_RUNNING = 'pairgated is not running'


def event(kind, **members):
    '''One line of pairgate-pair --json, as read: event(EVENT_PAIRED, address=ADDRESS).'''
    return {'event': kind, **members}


def event_line(kind, **members):
    '''The bytes of that line, as pairgate-pair writes them.'''
    return json.dumps(event(kind, **members), separators=(',', ':')).encode() + b'\n'

# pairgate-pair's exit statuses (client/run_result.cpp).
EXIT_PAIRED = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_NOT_RUNNING = 3
EXIT_TIMED_OUT = 4
EXIT_LOCAL_ERROR = 5
EXIT_BUSY = 6
