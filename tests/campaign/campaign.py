#!/usr/bin/python3
'''Fault campaign: the sanitizer build of pairgated on the simulated gateway,
under random request-pipe writes, malformed and forged D-Bus messages, SIGTERM
at random moments, a reply-pipe reader that vanishes, a local user looping
mkdir at the request pipe's path across starts, BlueZ restarts, and
owner races (restarts milliseconds apart with slow answers), then a web
pairing that must still succeed. Prints one table row per part: how many faults were
injected, what failed, and the figures behind the checks.

After each part: the daemon is alive (or ended as designed), made no Pair or
Trusted call it should not have, has its agent back as "NoInputNoOutput", and
its descriptor count and private memory are flat. LeakSanitizer and the other
sanitizers report at every exit of the daemon; a report fails the campaign.

usage: campaign.py [--scale F] [--seed N] [--build-dir DIR] [--root DIR]
  --scale 1 is the full campaign (10,000 writes, 10,000 messages, 100 SIGTERMs,
  200 vanishing readers, 20 starts against a mkdir loop, 20 BlueZ restarts, 20 owner
  races); ctest runs --scale 0.1.
Needs root, like the system tests; exits 77 when it cannot run.'''

import argparse
import collections
import os
import random
import re
import select
import shutil
import signal
import sys
import tempfile
import time
from pathlib import Path

import dbus

SOURCE_DIR = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE_DIR / 'sim'))
sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(SOURCE_DIR / 'tests'))

# pylint: disable=wrong-import-position
import messages  # noqa: E402
import pairgate_facts as facts  # noqa: E402
from gateway import Gateway, Timeout, wait_until  # noqa: E402

EXIT_SKIPPED = 77
ADAPTER = '/org/bluez/hci0'
KNOWN = ['00:1A:7D:DA:71:13', '11:22:33:44:55:66', 'AA:BB:CC:DD:EE:01']
NAP = messages.NAP
PASSKEY = 123456
INACTIVE = '1 1 1 1'
BIN0_ACTIVE = '0 1 1 1'
SETTINGS = f'{facts.SYSLOGLEV}=4\n{facts.PAIRABLE_BIN}=0\n'
BATCH = 250  # messages per batch and sender
CHUNK = 100  # request-pipe writes between two waits for the daemon
WARM_UP = 1000  # request-pipe writes before the baseline is taken
# ASan keeps freed memory in quarantine (256 MiB by default), which would hide
# a flat heap behind a growing one; a small quarantine still catches a use
# after free soon after the free.
ASAN_QUARANTINE = 'quarantine_size_mb=1'
# ASan's allocator keeps what it once took, so private memory rises to the
# peak of the work and stays there; a leak shows as growth that goes on. What
# a part ends with may exceed the peak of its first half by this much: after
# the warm-up the allocator still settles by up to a megabyte over the next
# thousand requests. (Memory nothing refers to any more is LeakSanitizer's to
# find, at every exit of the daemon; the plain build stays flat to the
# kilobyte, see scripts/bench.)
MEMORY_SLACK_KIB = 2048
# A single sample may catch the allocator holding a megabyte or two for a
# moment; what a part ends with is the least of its last few samples.
SETTLED_SAMPLES = 3


def device_path(address):
    return f'{ADAPTER}/dev_{address.replace(":", "_")}'


class Part:
    '''One row of the table.'''

    def __init__(self, name, count):
        self.name = name
        self.count = count
        self.failures = []
        self.figures = collections.OrderedDict()
        self.seconds = 0.0

    def check(self, condition, text):
        if not condition:
            self.failures.append(text)
        return condition


# ----------------------------------------------------------- the gateway


class Campaign:
    def __init__(self, gw, rnd):
        self.gw = gw
        self.rnd = rnd
        self.baseline = None
        self.samples = []  # private memory of the part so far, in KiB
        self.stray = None
        self.blaster = None

    # ------------------------------------------------- daemon and health

    def start(self, io_exit=1, levels=INACTIVE, io_mode='normal'):
        gw = self.gw
        gw.settings(SETTINGS)
        gw.io_tool(exit=io_exit, mode=io_mode)
        gw.gpio(levels)
        gw.set_pair_behaviour('confirm', PASSKEY)
        start = len(gw.syslog.lines)
        gw.start_daemon()
        gw.syslog.wait_for(facts.text(facts.STARTED), start=start, timeout=15)

    def pid(self):
        return self.gw.daemon.pid

    def fds(self):
        return len(os.listdir(f'/proc/{self.pid()}/fd'))

    def private_kib(self):
        total = 0
        for line in Path(f'/proc/{self.pid()}/smaps_rollup').read_text().splitlines():
            if line.startswith(('Private_Clean:', 'Private_Dirty:')):
                total += int(line.split()[1])
        return total

    def capability(self):
        name = self.gw.daemon_name()
        for sender, _path, capability in self.gw.agents():
            if sender == name:
                return capability
        return None

    def owner_barrier(self, timeout=60):
        '''Returns once the daemon has dealt with everything BlueZ sent before.'''
        call = self.gw.call_agent('AuthorizeService', 'os', [device_path(KNOWN[0]), NAP],
                                  self.gw.daemon_name(), messages.AGENT)
        return self.gw.agent_answer(call, timeout)[0] == 'return'

    def wait_idle(self, timeout=120, reader=None, outcomes=None):
        '''Waits until the daemon has read every request and the last pairing
        has ended: the agent is back as "NoInputNoOutput". The daemon takes a
        request only once the reply pipe is empty: READER is read meanwhile,
        as a web UI does, what it reads counted in OUTCOMES.'''
        gw = self.gw

        def taken():
            if reader is not None:
                self.drain(reader, outcomes)
            return gw.request_pending() == 0

        wait_until(taken, timeout, 'the request pipe to drain')
        self.owner_barrier()
        wait_until(lambda: self.capability() == 'NoInputNoOutput', timeout,
                   'the agent back as NoInputNoOutput')
        self.samples.append(self.private_kib())

    def sanitizer_report(self):
        out = self.gw.daemon_out
        text = out.read_text(errors='replace') if out.exists() else ''
        return any(mark in text for mark in ('ERROR: AddressSanitizer', 'ERROR: LeakSanitizer',
                                             'runtime error:'))

    def health(self, part, mark):
        '''The checks after a part on a daemon that must still run; MARK is
        where the part's calls start in gw.calls().'''
        part.check(self.gw.daemon.poll() is None,
                   f'the daemon ended with status {self.gw.daemon.returncode}')
        if self.gw.daemon.poll() is not None:
            return
        try:
            self.wait_idle()
        except Timeout as e:
            part.failures.append(str(e))
        part.check(self.capability() == 'NoInputNoOutput',
                   f'agent registered as {self.capability()!r}')
        part.check(not self.sanitizer_report(), 'sanitizer report in daemon.out')
        part.check(self.gw.daemon_children() == [],
                   f'children left: {self.gw.daemon_children()}')
        fds, base_fds = self.fds(), self.baseline[0]
        part.figures['fds'] = f'{base_fds}->{fds}'
        part.check(fds == base_fds, f'descriptors {base_fds} -> {fds}')
        self.check_memory(part)
        calls = self.gw.calls(mark)
        part.figures['BlueZ calls'] = len(calls)
        return calls

    def check_memory(self, part):
        '''Private memory swings by a megabyte or two with the size of the last
        messages; a leak shows as a part that ends higher than the peak of its
        first half.'''
        samples, self.samples = self.samples, []
        half = len(samples) // 2
        first = max(samples[:half] or samples)
        settled = min(samples[-SETTLED_SAMPLES:])
        part.figures['private KiB'] = (f'{self.baseline[1]}: {samples[0]}..{samples[-1]}, '
                                       f'first-half peak {first}, end {settled}')
        part.check(settled - first <= MEMORY_SLACK_KIB,
                   f'private memory still growing: first-half peak {first}, end {settled} KiB')

    def take_baseline(self):
        '''Descriptors and memory after a warm-up: a web pairing, random
        requests until the allocator's memory stops rising (some 700 on the
        sanitizer build), and one batch of messages from each sender.'''
        reader = self.gw.reply_reader()
        self.gw.write_request(KNOWN[0].encode())
        assert reader.read(6, timeout=15) == str(PASSKEY).encode()
        self.wait_idle()
        reader.close()
        stream, held = bytearray(), []
        for _ in range(WARM_UP // CHUNK):
            for _ in range(CHUNK):
                self.request_op(stream, held)
            self.release_held(stream, held)
            self.wait_idle()
        self.send_batches(1, 0)
        self.wait_idle()
        self.baseline = (self.fds(), self.private_kib())
        self.samples = []

    # ------------------------------------------------ request-pipe writes

    def write(self, stream, data, fd=None):
        '''Writes DATA in one write, on FD or on a writer opened for it.'''
        own = fd is None
        if own:
            fd = os.open(self.gw.request_pipe, os.O_WRONLY | os.O_NONBLOCK)
        try:
            written = os.write(fd, data)
        finally:
            if own:
                os.close(fd)
        stream += data[:written]

    def random_request(self):
        rnd = self.rnd
        kind = rnd.random()
        if kind < 0.30:
            length = rnd.randrange(1, 61)
            alphabet = rnd.choice([bytes(range(256)), b'0123456789ABCDEF:', b'0A:_/.- \x80'])
            return bytes(rnd.choice(alphabet) for _ in range(length))
        if kind < 0.50:
            return rnd.choice(KNOWN).encode()
        if kind < 0.65:
            return ':'.join(f'{rnd.randrange(256):02X}' for _ in range(6)).encode()
        if kind < 0.75:
            address = bytearray(rnd.choice(KNOWN).encode())
            address[rnd.randrange(17)] = rnd.choice(b' .-\x80\xff/\0')
            return bytes(address)
        if kind < 0.85:
            return bytes(17)
        return rnd.choice(KNOWN).lower().encode()

    def request_op(self, stream, held):
        '''One write: a single request, a burst, or a writer held open.'''
        rnd = self.rnd
        kind = rnd.random()
        if kind < 0.1:
            for _ in range(rnd.randrange(2, 7)):
                self.write(stream, self.random_request())
        elif kind < 0.2:
            fd = os.open(self.gw.request_pipe, os.O_WRONLY | os.O_NONBLOCK)
            data = self.random_request()
            cut = rnd.randrange(len(data) + 1)
            self.write(stream, data[:cut], fd)
            held.append((fd, data[cut:]))
        else:
            self.write(stream, self.random_request())
        if held and rnd.random() < 0.3:
            self.release_held(stream, held, 1)

    def release_held(self, stream, held, count=None):
        for fd, rest in held[:count]:
            if rest:
                self.write(stream, rest, fd)
            os.close(fd)
        del held[:count if count is not None else len(held)]

    @staticmethod
    def drain(reader, outcomes):
        while not reader.nothing_pending():
            data = os.read(reader.fd, facts.REPLY_SIZE)
            if len(data) < facts.REPLY_SIZE:
                data += reader.read(facts.REPLY_SIZE - len(data))
            outcomes[facts.reply_kind(data) or 'invalid'] += 1

    def part_requests(self, count):
        part = Part('request-pipe writes', count)
        gw, stream, held = self.gw, bytearray(), []
        mark, log_mark = len(gw.calls()), len(gw.syslog.lines)
        reader = gw.reply_reader()
        outcomes = collections.Counter()
        for i in range(count):
            self.request_op(stream, held)
            if (i + 1) % CHUNK == 0 or i + 1 == count:
                self.release_held(stream, held)
                self.wait_idle(reader=reader, outcomes=outcomes)
                self.drain(reader, outcomes)
        calls = self.health(part, mark) or []
        self.drain(reader, outcomes)
        reader.close()
        self.check_pairs(part, calls, stream)
        part.figures['bytes'] = len(stream)
        part.figures.update((f'replies {k}', v) for k, v in sorted(outcomes.items()))
        part.check(outcomes['invalid'] == 0, f'{outcomes["invalid"]} invalid reply messages')
        part.figures['malformed'] = len(gw.syslog.find(facts.pattern(facts.MALFORMED_REQUEST),
                                                       start=log_mark))
        part.figures['refused'] = len(gw.syslog.find(facts.pattern(facts.REQUEST_REFUSED),
                                                     start=log_mark))
        return part

    @staticmethod
    def check_pairs(part, calls, stream):
        '''Every Pair is for 17 bytes that were written (up to a zero byte,
        colons as underscores); every Trusted follows a Pair of its device.'''
        windows = set()
        for i in range(max(0, len(stream) - 16)):
            text = bytes(stream[i:i + 17]).split(b'\0')[0].decode('latin-1')
            windows.add(ADAPTER + '/dev_' + text.replace(':', '_'))
        paired = set()
        pairs = trusts = 0
        for call in calls:
            if call.member == 'Pair':
                pairs += 1
                paired.add(call.path)
                part.check(call.path in windows, f'Pair of {call.path!r}, never requested')
            elif call.member == 'Set' and call.args[:2] == ['org.bluez.Device1', 'Trusted']:
                trusts += 1
                part.check(call.path in paired and call.args[2] is True,
                           f'unintended {call!r}')
        part.figures['Pair'] = pairs
        part.figures['Trusted'] = trusts

    # ------------------------------------------------------ D-Bus messages

    def blaster_method(self):
        '''The simulator's "Blast" method, which sends a batch from the owner
        of org.bluez; added once.'''
        if self.blaster is None:
            mock = dbus.Interface(self.gw.bus.get_object('org.bluez', '/'),
                                  'org.freedesktop.DBus.Mock')
            code = ('import sys\n'
                    f'sys.path[:0] = [{str(Path(__file__).resolve().parent)!r}, '
                    f'{str(SOURCE_DIR / "tests")!r}]\n'
                    'import messages\n'
                    'ret = messages.send_batch(self.connection, args[0], args[1], args[2], True)\n')
            mock.AddMethod('org.pairgate.Campaign', 'Blast', 'sut', 'u', code)
            self.blaster = dbus.Interface(self.gw.bus.get_object('org.bluez', '/'),
                                          'org.pairgate.Campaign')
        return self.blaster

    def send_batches(self, batches, seed):
        name = self.gw.daemon_name()
        if self.stray is None:
            self.stray = self.gw.connect()
        blaster = self.blaster_method()
        for number in range(batches):
            messages.send_batch(self.stray, name, BATCH, seed * 1000 + 2 * number, False)
            blaster.Blast(name, BATCH, seed * 1000 + 2 * number + 1, timeout=300)
            # A Ping answered means every earlier message of the stray client
            # was dispatched; the barrier does the same for BlueZ's.
            self.stray.call_blocking(name, '/', 'org.freedesktop.DBus.Peer', 'Ping', '', (),
                                     timeout=300)
            self.owner_barrier(timeout=300)
            self.samples.append(self.private_kib())

    def part_messages(self, count):
        part = Part('malformed D-Bus messages', count)
        mark, log_mark = len(self.gw.calls()), len(self.gw.syslog.lines)
        batches = max(1, count // (2 * BATCH))
        self.send_batches(batches, 7)
        part.count = batches * 2 * BATCH
        calls = self.health(part, mark) or []
        for call in calls:
            part.check(call.member != 'Pair' and call.member != 'Set', f'unintended {call!r}')
        part.figures['invalid-argument logs'] = len(
            self.gw.syslog.find(re.compile('^Invalid arguments'), start=log_mark))
        return part

    # --------------------------------------------------- vanishing reader

    def wait_readable(self, fd, timeout=10):
        poller = select.poll()
        poller.register(fd, select.POLLIN)
        return bool(poller.poll(timeout * 1000))

    def vanish_once(self, kind):
        gw, rnd = self.gw, self.rnd
        if not gw.reply_pipe.exists():
            os.mkfifo(gw.reply_pipe, 0o600)
        fd = os.open(gw.reply_pipe, os.O_RDONLY | os.O_NONBLOCK)
        filler = None
        if kind == 'before request':
            os.close(fd)
            fd = None
        elif kind == 'full pipe':
            filler = os.open(gw.reply_pipe, os.O_WRONLY | os.O_NONBLOCK)
            try:
                while True:
                    os.write(filler, b'x' * 4096)
            except BlockingIOError:
                pass
        gw.write_request(rnd.choice(KNOWN).encode())
        if kind in ('after passkey', 'mid message') and self.wait_readable(fd):
            os.read(fd, 6 if kind == 'after passkey' else 3)
        elif kind in ('random moment', 'full pipe'):
            time.sleep(rnd.uniform(0, 0.05))  # the fault: a reader gone at any time
        for end in (fd, filler):
            if end is not None:
                os.close(end)

    def part_vanishing(self, count):
        part = Part('reply reader vanishing', count)
        gw, mark, log_mark = self.gw, len(self.gw.calls()), len(self.gw.syslog.lines)
        kinds = collections.Counter()
        for _ in range(count):
            mode = self.rnd.choice(['confirm', 'direct', 'fail'])
            if mode == 'fail':
                gw.set_pair_behaviour('confirm', PASSKEY, 'org.bluez.Error.AuthenticationFailed')
            else:
                gw.set_pair_behaviour(mode, PASSKEY)
            kind = self.rnd.choice(['before request', 'random moment', 'after passkey',
                                    'mid message', 'full pipe'])
            kinds[kind] += 1
            self.vanish_once(kind)
            self.wait_idle()
            if not part.check(gw.daemon.poll() is None, f'the daemon ended after "{kind}"'):
                break
        gw.set_pair_behaviour('confirm', PASSKEY)
        calls = self.health(part, mark) or []
        pairs = sum(1 for c in calls if c.member == 'Pair')
        part.check(pairs == count, f'{pairs} Pair calls for {count} requests')
        part.figures['Pair'] = pairs
        part.figures['no reader'] = len(gw.syslog.find(re.compile('^Opening output FIFO'),
                                                       start=log_mark))
        part.figures['write failed'] = len(gw.syslog.find(re.compile('^Writing to output FIFO'),
                                                          start=log_mark))
        return part

    # ------------------------------------------------------------ SIGTERM

    def leftover_children(self):
        mark = f'PAIRGATE_SIM_DIR={self.gw.root}'.encode()
        found = []
        for pid in (int(p) for p in os.listdir('/proc') if p.isdigit()):
            try:
                if mark in Path(f'/proc/{pid}/environ').read_bytes().split(b'\0'):
                    found.append(pid)
            except OSError:
                continue
        return found

    def sigterm_once(self, scenario, part):
        gw, rnd = self.gw, self.rnd
        if scenario == 'mid I/O probe':
            probes = len(gw.io_calls())
            self.start(io_exit=0, io_mode='hang')
            wait_until(lambda: len(gw.io_calls()) > probes, 10, 'the I/O probe')
        elif scenario == 'window open':
            start = len(gw.syslog.lines)
            self.start(io_exit=0, levels=BIN0_ACTIVE)
            gw.syslog.wait_for(facts.text(facts.BIN_CHANGED, 0, 'enabled'), start=start)
        else:
            self.start()
        mark = len(gw.calls())
        if scenario == 'mid web pairing':
            gw.set_pair_behaviour('hold')
            gw.write_request(rnd.choice(KNOWN).encode())
            if rnd.random() < 0.5:
                gw.wait_for_call('Pair', start=mark)
        time.sleep(rnd.uniform(0, 0.1))  # the fault: SIGTERM at a random moment
        gw.signal(signal.SIGTERM)
        status = gw.wait_exit(10)
        gw.syslog.sync()
        self.check_stop(part, scenario, status, gw.calls(mark))
        if scenario == 'mid web pairing':
            gw.release_pairs()

    def check_stop(self, part, scenario, status, calls):
        '''The daemon ended as designed: status 0, the request pipe removed,
        no process left, the shutdown calls made, no Trusted.'''
        part.check(status == 0, f'{scenario}: exit status {status}')
        part.check(not self.gw.request_pipe.exists(), f'{scenario}: request pipe left')
        try:
            wait_until(lambda: not self.leftover_children(), 5, 'the I/O tool to end')
        except Timeout:
            part.failures.append(f'{scenario}: processes left {self.leftover_children()}')
        members = [c.member for c in calls]
        part.check('UnregisterAgent' in members and 'StopDiscovery' in members,
                   f'{scenario}: shutdown calls {members[-4:]}')
        part.check(sum(1 for m in members if m == 'Pair') <= 1, f'{scenario}: Pair calls')
        part.check(not any(c.args[1:2] == ['Trusted'] for c in calls if c.member == 'Set'),
                   f'{scenario}: Trusted set')
        if scenario == 'window open':
            part.check(any(c.args[1:] == ['Pairable', False] for c in calls),
                       'window open: Pairable not cleared')

    def part_sigterm(self, count):
        part = Part('SIGTERM at random moments', count)
        scenarios = collections.Counter()
        for _ in range(count):
            scenario = self.rnd.choice(['idle', 'mid web pairing', 'mid I/O probe',
                                        'window open'])
            scenarios[scenario] += 1
            self.sigterm_once(scenario, part)
        part.check(not self.sanitizer_report(), 'sanitizer report in daemon.out')
        part.figures.update(scenarios)
        return part

    # ------------------------------------------------------ a mkdir loop

    def part_mkdir_race(self, count):
        '''A local user looping mkdir at the request pipe's path, against COUNT
        starts: each start takes the path all the same (the directory it finds
        is swapped out in one step), and moves at most that one directory.'''
        part = Part('mkdir loop at the request pipe', count)
        gw = self.gw
        var_tmp = gw.request_pipe.parent
        before = set(var_tmp.iterdir())
        loop = gw.mkdir_loop(gw.request_pipe)
        started = 0
        try:
            for _ in range(count):
                try:
                    self.start()
                    started += 1
                except Timeout as e:
                    part.failures.append(str(e))
                if gw.daemon.poll() is None:
                    gw.signal(signal.SIGTERM)
                status = gw.wait_exit(10)
                part.check(status == 0, f'exit status {status}')
        finally:
            loop.kill()
            loop.wait()
        moved = [p for p in set(var_tmp.iterdir()) - before if p.name.startswith('duskpair.fifo.')]
        part.check(len(moved) <= count, f'{len(moved)} directories moved in {count} starts')
        part.check(not self.sanitizer_report(), 'sanitizer report in daemon.out')
        part.figures.update({'started': started, 'directories moved': len(moved)})
        for directory in moved + [gw.request_pipe]:
            if directory.is_dir():
                directory.rmdir()
        return part

    # ------------------------------------------------------ BlueZ restarts

    def restart_bluez(self):
        '''A new bluetoothd, as it starts: it takes its name first, then exports
        its adapter and devices.'''
        gw = self.gw
        gw.start_bluez((), ())
        gw.mock.AddAdapter('hci0', 'hci0')
        for address in KNOWN:
            gw.mock.AddDevice('hci0', address, 'Device')
        gw.set_pair_behaviour('confirm', PASSKEY)
        self.blaster = None  # the method added to the old simulator went with it

    def restart_once(self, scenario, part, reader):
        gw, rnd = self.gw, self.rnd
        log_mark = len(gw.syslog.lines)
        if scenario == 'mid web pairing':
            gw.set_pair_behaviour('hold')
            mark = len(gw.calls())
            gw.write_request(rnd.choice(KNOWN).encode())
            gw.wait_for_call('Pair', start=mark)
        time.sleep(rnd.uniform(0, 0.05))  # the fault: bluetoothd gone at a random moment
        gw.stop_bluez()
        gw.syslog.wait_for(facts.text(facts.BLUEZ_LEFT), start=log_mark)
        if scenario == 'mid web pairing':
            part.check(reader.read(facts.REPLY_SIZE, timeout=10) == facts.REPLY_FAILED,
                       'no failure for the cut pairing')
        self.restart_bluez()
        gw.syslog.wait_for(facts.text(facts.FOLLOWING_SCAN_STARTED, ADAPTER), start=log_mark,
                           timeout=15)
        gw.wait_for_call('RegisterAgent', timeout=15)
        # The new BlueZ serves a web pairing through the daemon.
        mark = len(gw.calls())
        gw.write_request(KNOWN[0].encode())
        part.check(reader.read(6, timeout=15) == str(PASSKEY).encode(), 'no passkey after a restart')
        gw.wait_for_call('Set', lambda c: c.args[1] == 'Trusted', start=mark, timeout=15)
        self.wait_idle()

    def restart_rounds(self, part, count, once):
        '''COUNT rounds of ONCE(scenario, part, reader), each idle or mid web
        pairing, until one times out; then the part's health. ONCE returns
        figures of its own to count, or nothing.'''
        scenarios = collections.Counter()
        reader = self.gw.reply_reader()
        self.samples = [self.private_kib()]
        for _ in range(count):
            scenario = self.rnd.choice(['idle', 'mid web pairing'])
            scenarios[scenario] += 1
            try:
                scenarios.update(once(scenario, part, reader) or {})
            except Timeout as e:
                part.failures.append(f'{scenario}: {e}')
                break
        reader.close()
        part.figures.update(scenarios)
        self.health(part, len(self.gw.calls()))
        return part

    def part_bluez_restarts(self, count):
        '''bluetoothd stopped and started again COUNT times, idle or mid web
        pairing: each time the daemon must select the adapter again, register
        its agent with the new owner and serve a web pairing.'''
        return self.restart_rounds(Part('BlueZ restarts', count), count, self.restart_once)

    # --------------------------------------------------- BlueZ owner races

    def served_within(self, reader, seconds=5):
        '''Once the daemon has dealt with every change (BlueZ's call answered
        after them) and the outcomes of the pairings they cut short have been
        read, requests until one is served (a passkey, then Trusted), which
        must happen within SECONDS of BlueZ settling; the requests refused
        before it, or None when none was served.'''
        gw = self.gw
        deadline = time.monotonic() + seconds
        self.owner_barrier(timeout=seconds)
        self.drain(reader, collections.Counter())
        refused = 0
        while True:
            mark = len(gw.calls())
            gw.write_request(KNOWN[0].encode())
            outcome = reader.read(6, timeout=max(0.1, deadline - time.monotonic()))
            if outcome == str(PASSKEY).encode():
                gw.wait_for_call('Set', lambda c: c.args[1] == 'Trusted', start=mark, timeout=15)
                return refused
            refused += 1
            if time.monotonic() >= deadline:
                return None
            time.sleep(0.05)  # the next try of a web UI

    def owner_race_once(self, scenario, part, reader):
        gw, rnd = self.gw, self.rnd
        if scenario == 'mid web pairing':
            gw.set_pair_behaviour('hold')
            mark = len(gw.calls())
            gw.write_request(rnd.choice(KNOWN).encode())
            gw.wait_for_call('Pair', start=mark)
        restarts = rnd.randint(2, 4)
        gw.restart_storm(restarts, rnd.uniform(0.002, 0.01), rnd.uniform(0.005, 0.02),
                         devices=[('hci0', address, 'Device') for address in KNOWN])
        self.blaster = None  # the method added to the old simulator went with it
        gw.set_pair_behaviour('confirm', PASSKEY)
        refused = self.served_within(reader)
        part.check(refused is not None, f'{scenario}: no web pairing served within 5 s')
        self.wait_idle()
        return restarts, refused or 0

    def part_owner_races(self, count):
        '''bluetoothd restarting 2 to 4 times, 2 to 10 ms apart, answering every
        call 5 to 20 ms late, idle or mid web pairing, COUNT times: each time,
        once BlueZ has settled, a web pairing is served within 5 s.'''
        def once(scenario, part, reader):
            restarts, refused = self.owner_race_once(scenario, part, reader)
            return {'restarts': restarts, 'requests refused before one was served': refused}
        return self.restart_rounds(Part('BlueZ owner races', count), count, once)

    # ------------------------------------------------------ final pairing

    def part_final(self):
        part = Part('final web pairing', 1)
        gw = self.gw
        self.start()
        # Paired earlier in the run; BlueZ refuses to pair a paired device again.
        gw.set_property(device_path(KNOWN[0]), 'org.bluez.Device1', 'Paired', dbus.Boolean(False))
        mark = len(gw.calls())
        reader = gw.reply_reader()
        gw.write_request(KNOWN[0].encode())
        try:
            part.check(reader.read(6, timeout=15) == str(PASSKEY).encode(), 'no passkey')
            gw.wait_for_call('Set', lambda c: c.args[1] == 'Trusted', start=mark, timeout=15)
            self.wait_idle()
            part.check(reader.nothing_pending(), 'a failure after the passkey')
        except Timeout as e:
            part.failures.append(str(e))
        reader.close()
        gw.signal(signal.SIGTERM)
        part.check(gw.wait_exit(10) == 0, 'the daemon did not end with status 0')
        return part


# ------------------------------------------------------------------ run


def scaled(full, scale):
    return max(1, round(full * scale))


def run(gw, scale, seed):
    campaign = Campaign(gw, random.Random(seed))
    parts = []

    def timed(function, *args):
        began = time.monotonic()
        part = function(*args)
        part.seconds = time.monotonic() - began
        parts.append(part)
        print_row(part)

    campaign.start()
    campaign.take_baseline()
    timed(campaign.part_requests, scaled(10000, scale))
    timed(campaign.part_vanishing, scaled(200, scale))
    timed(campaign.part_messages, scaled(10000, scale))
    gw.signal(signal.SIGTERM)
    gw.wait_exit(10)
    timed(campaign.part_sigterm, scaled(100, scale))
    timed(campaign.part_mkdir_race, scaled(20, scale))
    campaign.start()
    timed(campaign.part_bluez_restarts, scaled(20, scale))
    timed(campaign.part_owner_races, scaled(20, scale))
    gw.signal(signal.SIGTERM)
    gw.wait_exit(10)
    timed(campaign.part_final)
    return parts


def print_row(part):
    figures = ', '.join(f'{k} {v}' for k, v in part.figures.items())
    print(f'| {part.name} | {part.count} | {len(part.failures)} | {part.seconds:.0f} s | '
          f'{figures} |', flush=True)
    for failure in part.failures[:10]:
        print(f'    failure: {failure}', flush=True)


def why_not(build_dir):
    if os.geteuid() != 0:
        return 'the campaign needs root (mount namespaces), like the system tests'
    if not (build_dir / 'daemon' / 'pairgated').exists():
        return f'{build_dir}/daemon/pairgated is not built'
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--scale', type=float, default=1.0)
    parser.add_argument('--seed', type=int, default=1)
    parser.add_argument('--build-dir', type=Path, default=SOURCE_DIR / 'build-asan')
    parser.add_argument('--root', type=Path)
    args = parser.parse_args()
    reason = why_not(args.build_dir)
    if reason:
        print(f'campaign skipped: {reason}')
        return EXIT_SKIPPED
    os.environ['ASAN_OPTIONS'] = ':'.join(
        filter(None, [os.environ.get('ASAN_OPTIONS'), ASAN_QUARANTINE]))
    root = args.root or Path(tempfile.mkdtemp(prefix='pairgate-campaign-'))
    os.environ['PYTHONFAULTHANDLER'] = '1'  # a simulator that dies says where
    print(f'fault campaign, scale {args.scale}, seed {args.seed}, build {args.build_dir}')
    print('| part | count | failures | time | figures |\n|---|---|---|---|---|', flush=True)
    gw = Gateway(root, args.build_dir)
    failed = []
    began = time.monotonic()
    try:
        gw.start_bus()
        gw.start_bluez(devices=[('hci0', address, f'Device {i}')
                                for i, address in enumerate(KNOWN)])
        parts = run(gw, args.scale, args.seed)
        failed = [p.name for p in parts if p.failures]
    finally:
        try:
            gw.close()
        except AssertionError as e:
            print(f'gateway: {e}')
            failed.append('clean-up')
    print(f'{len(failed)} parts failed' + (f': {", ".join(failed)}' if failed else '') +
          f' ({time.monotonic() - began:.0f} s in all)')
    if failed:
        print(f'kept for a look: {root}')
    elif args.root is None:
        shutil.rmtree(root, ignore_errors=True)
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
