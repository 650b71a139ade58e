'''The pairing page of www/ served by busybox httpd (or, with PAIRGATE_WEB_SERVER=lighttpd,
by lighttpd as docs/web-page.md sets it up) on 127.0.0.1, on a simulated gateway.

httpd runs in the gateway's sandbox, so that the CGI's pairgate-pair (the
build's) sees the daemon's /var/tmp. Used by the browser test and by
scripts/demo --web. The Gateway ends httpd (and finds anything it left) in
close().

    web = WebServer(gw)
    url = web.start()        # http://127.0.0.1:PORT/
'''

import os
import shlex
import shutil
import socket
import subprocess
from pathlib import Path

from gateway import wait_until

WWW_DIR = Path(__file__).resolve().parents[1] / 'www'
START_S = 10
# docs/web-page.md's set-up but for the password (the tests send none), with what
# Debian's own lighttpd.conf would add, and the simulated gateway's bus: lighttpd
# hands a CGI none of its own environment, and this bus is not at the usual path.
LIGHTTPD_CONF = '''server.modules += ( "mod_alias", "mod_cgi", "mod_setenv" )
setenv.add-environment = ( "DBUS_SYSTEM_BUS_ADDRESS" => "{bus}" )
alias.url += ( "/pairing/" => "{docroot}/" )
$HTTP["url"] =~ "^/pairing/cgi-bin/" {{
    cgi.assign = ( ".cgi" => "" )
}}
server.stream-response-body = 2
server.document-root = "{docroot}"
server.bind = "127.0.0.1"
server.port = {port}
server.errorlog = "{log}"
index-file.names = ( "index.html" )
mimetype.assign = ( ".html" => "text/html" )
'''


def free_port():
    '''A TCP port on 127.0.0.1 that nothing listens on right now.'''
    with socket.socket() as probe:
        probe.bind(('127.0.0.1', 0))
        return probe.getsockname()[1]


def listening(pid, port):
    '''Whether process PID holds the socket that listens on 127.0.0.1:PORT
    (not another suite's server that took the port first).'''
    with open('/proc/net/tcp', encoding='ascii') as table:
        rows = [row.split() for row in table.readlines()[1:]]
    sockets = {f'socket:[{row[9]}]' for row in rows
               if row[1] == f'0100007F:{port:04X}' and row[3] == '0A'}
    try:
        return any(os.readlink(f'/proc/{pid}/fd/{fd}') in sockets
                   for fd in os.listdir(f'/proc/{pid}/fd'))
    except OSError:
        return False


class WebServer:
    '''ROOT/www: index.html and cgi-bin/pairgate.cgi, the CGI pointing at the
    build's pairgate-pair and run by BusyBox sh; ROOT/httpd.log: what httpd said.'''

    def __init__(self, gw):
        self.gw = gw
        self.docroot = gw.root / 'www'
        self.cgi = self.docroot / 'cgi-bin' / 'pairgate.cgi'
        self.proc = None
        self.port = None
        self.kind = os.environ.get('PAIRGATE_WEB_SERVER', 'busybox')
        self.prefix = '/pairing' if self.kind == 'lighttpd' else ''

    def install(self):
        (self.docroot / 'cgi-bin').mkdir(parents=True, exist_ok=True)
        shutil.copyfile(WWW_DIR / 'index.html', self.docroot / 'index.html')
        template = (WWW_DIR / 'pairgate.cgi.in').read_text()
        cgi = template.replace('@PAIRGATE_PAIR@', str(self.client()))
        # The shell of a BusyBox gateway, rather than this machine's /bin/sh.
        self.cgi.write_text(cgi.replace('#!/bin/sh', '#!/bin/busybox sh', 1))
        self.cgi.chmod(0o755)
        # No /etc/httpd.conf of the machine: no rules but ours (none).
        (self.gw.root / 'httpd.conf').write_text('# the pairing page needs no rules\n')

    def client(self):
        '''The build's pairgate-pair as one command: in a cross build, a script
        that runs it under the emulator.'''
        command = self.gw.target_command(self.gw.client_path)
        if len(command) == 1:
            return command[0]
        script = self.gw.root / 'pairgate-pair'
        script.write_text(f'#!/bin/sh\nexec {shlex.join(command)} "$@"\n')
        script.chmod(0o755)
        return script

    def start(self):
        '''Starts httpd in the foreground on a free port; returns the page's URL.
        A port taken between the look and httpd's bind (by another suite's
        server, or as a connection's own end) is left for another.'''
        if shutil.which(self.kind) is None:
            raise FileNotFoundError(f'{self.kind} is not installed (scripts/install-deps)')
        self.install()
        for tries_left in reversed(range(3)):
            if self._started(free_port(), tries_left):
                return self.url
        return None  # not reached: the last try raises

    def _started(self, port, tries_left):
        self.port = port
        log_path = self.gw.root / 'httpd.log'
        command = ['busybox', 'httpd', '-f', '-vv', '-p', f'127.0.0.1:{self.port}',
                   '-h', str(self.docroot), '-c', str(self.gw.root / 'httpd.conf')]
        if self.kind == 'lighttpd':
            conf = self.gw.root / 'lighttpd.conf'
            conf.write_text(LIGHTTPD_CONF.format(docroot=self.docroot, port=self.port,
                                                 log=log_path, bus=self.gw.bus_address))
            command = ['lighttpd', '-D', '-f', str(conf)]
        with open(log_path, 'ab') as log:
            self.proc = self.gw.spawn(command, sandboxed=True, stdin=subprocess.DEVNULL,
                                      stdout=log, stderr=subprocess.STDOUT)

        def up():
            if self.proc.poll() is not None:
                said = self.gw._tail('httpd.log')  # pylint: disable=protected-access
                if tries_left and 'in use' in said:
                    return 'taken'
                raise RuntimeError(f'{self.kind} ended: {said}')
            return listening(self.proc.pid, self.port)

        return wait_until(up, START_S, f'{self.kind} to listen on 127.0.0.1:{port}') is True

    def requests_running(self):
        '''The processes below httpd: its request handlers and their CGIs.'''
        children = {}
        for pid in (int(p) for p in os.listdir('/proc') if p.isdigit()):
            try:
                stat = Path(f'/proc/{pid}/stat').read_text()
            except OSError:
                continue
            parent = int(stat[stat.rindex(')') + 2:].split()[1])
            children.setdefault(parent, []).append(pid)
        found, todo = [], list(children.get(self.proc.pid, []))
        while todo:
            pid = todo.pop()
            found.append(pid)
            todo += children.get(pid, [])
        return found

    def wait_idle(self, timeout=30):
        '''Waits until every request httpd took has been answered, so that
        nothing of it is left for the gateway\'s close() to find.'''
        if self.proc is not None and self.proc.poll() is None:
            wait_until(lambda: not self.requests_running(), timeout, 'httpd to finish its requests')

    @property
    def url(self):
        return f'http://127.0.0.1:{self.port}{self.prefix}/'
