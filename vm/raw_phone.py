'''A phone with a host of its own, for the VM bench: one btvirt controller
taken away from bluetoothd and driven from here over an HCI user channel.

Two things of bluetoothd make a phone that is another adapter of the
gateway's own bluetoothd a poor stand-in. It sends the agent call for the
side of a pairing that did not call Pair to its default agent, which the
gateway's agent makes itself, and that agent rightly refuses a device that
is not the requested one on its own adapter. And it sends one mgmt command
at a time, so while the gateway's Pair waits on the phone, no other adapter
of that bluetoothd can even start a pairing. A phone here answers its side
itself, and the gateway's bluetoothd is the gateway's alone.

    with RawPhone(1, report=print) as phone:  # what it saw is reported on an error
        phone.start()           # hci1 powered off through mgmt and taken; its address
        phone.stall()           # hold the next pairing at its IO capability
        phone.stalled(timeout)  # the gateway's pairing waits on us
        phone.accept()          # (the default) or phone.refuse(), phone.reject()
        phone.scan(False)       # out of range: no page scan, a connection times out
        phone.pair(address, 'NoInputNoOutput')   # as the initiator: the outcome's status

As a responder it accepts a connection, gives its IO capability
(DisplayYesNo, dedicated bonding with MITM) or refuses (pairing not
allowed), confirms the passkey or rejects it, answers a link key request
with the key it was given, and over L2CAP answers the information request
and refuses every connection (no PSM served, so bluetoothd's service browse
after a pairing ends at once).

    python3 raw_phone.py INDEX   # a phone that accepts, for vm/system-driver:
                                 # prints its address and "ready", runs until killed
'''

import ctypes
import os
import socket
import struct
import sys
import threading
import time

AF_BLUETOOTH = 31
BTPROTO_HCI = 1
HCI_CHANNEL_USER, HCI_CHANNEL_CONTROL = 1, 3
NO_DEVICE = 0xffff
SET_POWERED, SET_DISCOVERABLE, SET_CONNECTABLE, SET_LE = 0x0005, 0x0006, 0x0007, 0x000D  # mgmt
COMMAND, ACL, EVENT = 0x01, 0x02, 0x04

# Commands (OGF << 10 | OCF).
CREATE_CONNECTION = 0x0405
DISCONNECT = 0x0406
ACCEPT_CONNECTION = 0x0409
LINK_KEY_REPLY = 0x040b
LINK_KEY_NEGATIVE = 0x040c
PIN_CODE_NEGATIVE = 0x040e
AUTHENTICATION_REQUESTED = 0x0411
IO_CAPABILITY_REPLY = 0x042b
USER_CONFIRMATION_REPLY = 0x042c
USER_CONFIRMATION_NEGATIVE = 0x042d
IO_CAPABILITY_NEGATIVE = 0x0434
SET_EVENT_MASK = 0x0c01
RESET = 0x0c03
WRITE_LOCAL_NAME = 0x0c13
WRITE_SCAN_ENABLE = 0x0c1a
WRITE_CLASS_OF_DEVICE = 0x0c24
WRITE_EIR = 0x0c52
WRITE_SIMPLE_PAIRING_MODE = 0x0c56
READ_BD_ADDR = 0x1009

# Events.
CONNECTION_COMPLETE = 0x03
CONNECTION_REQUEST = 0x04
DISCONNECTION_COMPLETE = 0x05
COMMAND_COMPLETE = 0x0e
PIN_CODE_REQUEST = 0x16
LINK_KEY_REQUEST = 0x17
LINK_KEY_NOTIFICATION = 0x18
IO_CAPABILITY_REQUEST = 0x31
USER_CONFIRMATION_REQUEST = 0x33
SIMPLE_PAIRING_COMPLETE = 0x36

CAPABILITIES = {'DisplayYesNo': 0x01, 'NoInputNoOutput': 0x03}
DEDICATED_BONDING, MITM = 0x02, 0x01
PAIRING_NOT_ALLOWED = 0x18
REMOTE_USER_TERMINATED = 0x13
SMARTPHONE = 0x5a020c               # class of device: phone, smartphone

# L2CAP signalling.
SIGNALLING_CID = 0x0001
COMMAND_REJECT = 0x01
L2CAP_CONNECTION_REQUEST, L2CAP_CONNECTION_RESPONSE = 0x02, 0x03
DISCONNECTION_REQUEST, DISCONNECTION_RESPONSE = 0x06, 0x07
INFORMATION_REQUEST, INFORMATION_RESPONSE = 0x0a, 0x0b
PSM_NOT_SUPPORTED = 0x0002
INFO_NOT_SUPPORTED = 0x0001


class SockaddrHci(ctypes.Structure):
    _fields_ = [('family', ctypes.c_ushort), ('dev', ctypes.c_ushort),
                ('channel', ctypes.c_ushort)]


def bind_hci(channel, index, timeout):
    '''A channel of the HCI socket; the kernel refuses the user channel
    while the controller is still up.'''
    libc = ctypes.CDLL(None, use_errno=True)
    address = SockaddrHci(AF_BLUETOOTH, index, channel)
    deadline = time.monotonic() + timeout
    while True:
        sock = socket.socket(AF_BLUETOOTH, socket.SOCK_RAW, BTPROTO_HCI)
        if libc.bind(sock.fileno(), ctypes.byref(address), ctypes.sizeof(address)) == 0:
            return sock
        error = ctypes.get_errno()
        sock.close()
        if time.monotonic() > deadline:
            raise OSError(error, f'hci{index}, channel {channel}: {os.strerror(error)}')
        time.sleep(0.2)


def mgmt_send(index, opcode, params):
    '''A command for controller INDEX through the kernel's management channel,
    past bluetoothd and the bus (btmgmt would need a terminal on some releases).'''
    control = bind_hci(HCI_CHANNEL_CONTROL, NO_DEVICE, 5)
    try:
        control.send(struct.pack('<HHH', opcode, index, len(params)) + params)
    finally:
        control.close()


def address_text(raw):
    return ':'.join(f'{byte:02X}' for byte in reversed(raw))


def address_bytes(text):
    return bytes.fromhex(text.replace(':', ''))[::-1]


class RawPhone:
    def __init__(self, index, name='raw phone', report=None):
        self.index = index
        self.name = name
        self.report = report
        self.address = None
        self.trace = []                  # (seconds since start, what happened)
        self.mode = 'accept'
        self.capability = CAPABILITIES['DisplayYesNo']
        self.pending = None              # the peer whose IO capability request waits on us
        self.outcome = None              # Simple Pairing Complete's status, once it came
        self.links = {}                  # peer -> connection handle
        self.keys = {}
        self.completed = {}              # opcode -> its Command Complete's parameters
        self.changed = threading.Condition()
        self.sock = None
        self.reader = None
        self.running = False
        self.began = time.monotonic()

    # ---------------------------------------------------------------- the API

    def start(self, visible=True, timeout=30):
        '''Takes the controller from bluetoothd and sets it up, with inquiry and
        page scan on when VISIBLE; gives its address.'''
        self._power_off()
        self.sock = bind_hci(HCI_CHANNEL_USER, self.index, timeout)
        self.sock.settimeout(0.2)
        self.running = True
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self._command(RESET)
        self.address = address_text(self._command(READ_BD_ADDR)[1:7])
        self._command(SET_EVENT_MASK, b'\xff' * 8)
        self._command(WRITE_SIMPLE_PAIRING_MODE, b'\x01')
        name = self.name.encode()
        self._command(WRITE_LOCAL_NAME, name.ljust(248, b'\0'))
        self._command(WRITE_CLASS_OF_DEVICE, SMARTPHONE.to_bytes(3, 'little'))
        eir = bytes([len(name) + 1, 0x09]) + name            # the complete local name
        self._command(WRITE_EIR, b'\0' + eir.ljust(240, b'\0'))
        self.scan(visible)
        return self.address

    def scan(self, on):
        '''Inquiry and page scan on, or off: then out of range, a connection
        to it ends in Page Timeout.'''
        self._command(WRITE_SCAN_ENABLE, b'\x03' if on else b'\x00')

    def stall(self):
        '''Holds the next pairing at its IO capability request.'''
        with self.changed:
            self.mode = 'stall'

    def stalled(self, timeout):
        '''Waits until a pairing waits on us; gives the peer's address.'''
        return address_text(self._wait(lambda: self.pending, timeout,
                                       'pairing held at its IO capability'))

    def accept(self):
        '''Lets the held pairing (and any later one) through.'''
        self._decide('accept')

    def reject(self):
        '''Rejects the passkey of the held pairing (and of any later one).'''
        self._decide('reject')

    def refuse(self, timeout=10):
        '''Refuses the held pairing (and any later one): pairing not allowed; then
        drops the link, as a phone that said no does (Linux 5.10 kept it up, and
        its next pairing with us waited on it for good).'''
        with self.changed:
            self.outcome = None
            peer = self.pending
        self._decide('refuse')
        if peer:
            self._wait(lambda: self.outcome is not None, timeout, 'Simple Pairing Complete')
            self._disconnect(peer, timeout)

    def pair(self, address, capability='DisplayYesNo', timeout=30):
        '''Connects to ADDRESS and pairs afresh as the initiator with CAPABILITY,
        then disconnects; gives Simple Pairing Complete's status (0: paired).'''
        peer = address_bytes(address)
        with self.changed:
            kept = self.mode, self.capability
            self.mode = 'accept'
            self.capability = CAPABILITIES[capability]
            self.outcome = None
            self.keys.pop(peer, None)      # afresh: no bond to authenticate with
        self._answer(CREATE_CONNECTION,
                     peer + struct.pack('<HBBHB', 0xcc18, 0x01, 0x00, 0x0000, 0x01))
        handle = self._wait(lambda: self.links.get(peer), timeout, f'connection to {address}')
        self._answer(AUTHENTICATION_REQUESTED, struct.pack('<H', handle))
        try:
            self._wait(lambda: self.outcome is not None, timeout, 'Simple Pairing Complete')
            return self.outcome
        finally:
            self._disconnect(peer, timeout)
            with self.changed:
                self.mode, self.capability = kept

    def close(self):
        self.running = False
        if self.reader:
            self.reader.join(2)
        if self.sock:
            self.sock.close()
            self.sock = None

    def __enter__(self):
        return self

    def __exit__(self, kind, error, traceback):
        if kind and self.report:
            for when, text in self.trace[-60:]:
                self.report(f'note {self.name} {when:7.2f} {text}')
        self.close()

    # ---------------------------------------------------------- the machinery

    def _power_off(self):
        '''Past bluetoothd, which then sees the adapter go; the user channel
        waits for it.'''
        mgmt_send(self.index, SET_POWERED, b'\x00')

    def _note(self, text):
        self.trace.append((time.monotonic() - self.began, text))

    def _wait(self, probe, timeout, what):
        with self.changed:
            if not self.changed.wait_for(probe, timeout):
                raise TimeoutError(f'{self.name}: no {what} within {timeout} s')
            return probe()

    def _send(self, kind, payload):
        self.sock.send(bytes([kind]) + payload)

    def _command(self, opcode, params=b'', timeout=10):
        '''Sends a command and waits for its Command Complete; gives its parameters.'''
        with self.changed:
            self.completed.pop(opcode, None)
        self._send(COMMAND, struct.pack('<HB', opcode, len(params)) + params)
        result = self._wait(lambda: self.completed.get(opcode), timeout,
                            f'Command Complete for 0x{opcode:04x}')
        if result[0] != 0:
            raise OSError(f'{self.name}: command 0x{opcode:04x} failed with 0x{result[0]:02x}')
        return result

    def _answer(self, opcode, params):
        '''A command whose completion nothing waits for.'''
        self._note(f'sent 0x{opcode:04x} {params.hex()}')
        self._send(COMMAND, struct.pack('<HB', opcode, len(params)) + params)

    def _disconnect(self, peer, timeout):
        handle = self.links.get(peer)
        if handle is not None:
            self._answer(DISCONNECT, struct.pack('<HB', handle, REMOTE_USER_TERMINATED))
            self._wait(lambda: peer not in self.links, timeout, 'disconnection')

    def _decide(self, mode):
        with self.changed:
            self.mode = mode
            peer, self.pending = self.pending, None
        if peer:
            self._answer_io_capability(peer)

    def _answer_io_capability(self, peer):
        if self.mode != 'refuse':
            mitm = MITM if self.capability != CAPABILITIES['NoInputNoOutput'] else 0
            self._answer(IO_CAPABILITY_REPLY,
                         peer + bytes([self.capability, 0x00, DEDICATED_BONDING | mitm]))
        else:
            self._answer(IO_CAPABILITY_NEGATIVE, peer + bytes([PAIRING_NOT_ALLOWED]))

    def _read(self):
        while self.running:
            try:
                packet = self.sock.recv(4096)
            except socket.timeout:
                continue
            except OSError as error:
                self._note(f'read failed: {error}')
                return
            if packet[:1] == bytes([EVENT]):
                self._event(packet[1], packet[3:])
            elif packet[:1] == bytes([ACL]):
                self._acl(packet[1:])

    def _event(self, code, params):
        if code == COMMAND_COMPLETE:
            opcode = struct.unpack_from('<H', params, 1)[0]
            with self.changed:
                self.completed[opcode] = params[3:]
                self.changed.notify_all()
            return
        self._note(f'event 0x{code:02x} {params.hex()}')
        with self.changed:
            self._on_event(code, params)
            self.changed.notify_all()

    def _on_event(self, code, params):
        if code == CONNECTION_REQUEST:
            self._answer(ACCEPT_CONNECTION, params[:6] + b'\x01')    # stay the peripheral
        elif code == CONNECTION_COMPLETE and params[0] == 0:
            self.links[params[3:9]] = struct.unpack_from('<H', params, 1)[0]
        elif code == DISCONNECTION_COMPLETE:
            handle = struct.unpack_from('<H', params, 1)[0]
            self.links = {peer: h for peer, h in self.links.items() if h != handle}
        elif code == IO_CAPABILITY_REQUEST:
            if self.mode == 'stall':
                self.pending = params[:6]
            else:
                self._answer_io_capability(params[:6])
        elif code == USER_CONFIRMATION_REQUEST:
            self._answer(USER_CONFIRMATION_NEGATIVE if self.mode == 'reject'
                         else USER_CONFIRMATION_REPLY, params[:6])
        elif code == PIN_CODE_REQUEST:
            self._answer(PIN_CODE_NEGATIVE, params[:6])
        elif code == LINK_KEY_REQUEST:
            key = self.keys.get(params[:6])
            if key:
                self._answer(LINK_KEY_REPLY, params[:6] + key)
            else:
                self._answer(LINK_KEY_NEGATIVE, params[:6])
        elif code == LINK_KEY_NOTIFICATION:
            self.keys[params[:6]] = params[6:22]
        elif code == SIMPLE_PAIRING_COMPLETE:
            self.outcome = params[0]

    def _acl(self, packet):
        '''L2CAP signalling, one command per packet (as the kernel sends them).'''
        handle = struct.unpack_from('<H', packet)[0] & 0x0fff
        length, cid = struct.unpack_from('<HH', packet, 4)
        if cid != SIGNALLING_CID or length < 4:
            return
        code, ident, _ = struct.unpack_from('<BBH', packet, 8)
        data = packet[12:]
        self._note(f'l2cap 0x{code:02x} {data.hex()}')
        if code == INFORMATION_REQUEST:
            self._signal(handle, INFORMATION_RESPONSE, ident,
                         data[:2] + struct.pack('<H', INFO_NOT_SUPPORTED))
        elif code == L2CAP_CONNECTION_REQUEST:
            self._signal(handle, L2CAP_CONNECTION_RESPONSE, ident,
                         b'\0\0' + data[2:4] + struct.pack('<HH', PSM_NOT_SUPPORTED, 0))
        elif code == DISCONNECTION_REQUEST:
            self._signal(handle, DISCONNECTION_RESPONSE, ident, data[:4])
        elif code % 2 == 0:                  # any other request: not understood
            self._signal(handle, COMMAND_REJECT, ident, b'\0\0')

    def _signal(self, handle, code, ident, data):
        command = struct.pack('<BBH', code, ident, len(data)) + data
        frame = struct.pack('<HH', len(command), SIGNALLING_CID) + command
        # Packet boundary flag 0b10: the first packet of a flushable frame.
        self._send(ACL, struct.pack('<HH', handle | 0x2000, len(frame)) + frame)
        self._note(f'l2cap sent 0x{code:02x}')


if __name__ == '__main__':
    PHONE = RawPhone(int(sys.argv[1]))
    print(PHONE.start(), 'ready', flush=True)
    threading.Event().wait()
