'''The pairing page of www/ in a real browser: headless Chromium against busybox
httpd and the CGI on the simulated gateway; and the CGI's answers to requests
the page never makes, under BusyBox httpd and (PAIRGATE_WEB_SERVER=lighttpd,
ctest -L lighttpd) under lighttpd.'''

import http.client
import os
import re
import signal
import socket
import threading
from pathlib import Path

import pytest

from conftest import BUILD_DIR
from daemon_steps import pairgate_pair, wait_agent_back, wait_first_pass
from expected import facts
from gateway import wait_until
from web_server import WebServer

pytestmark = pytest.mark.usefixtures('needs_daemon')

PHONE = '00:1A:7D:DA:71:13'
TABLET = '00:1A:7D:DA:71:14'
PHONE_PATH = '/org/bluez/hci0/dev_00_1A_7D_DA_71_13'
TABLET_PATH = '/org/bluez/hci0/dev_00_1A_7D_DA_71_14'
DEVICE1 = 'org.bluez.Device1'
CGI = '/cgi-bin/pairgate.cgi'
PASSKEY = 482913
COMPARE = 'Compare this number with the one on the phone'
BUSY = 'another pairing is under way'
CHROMIUM = '/usr/bin/chromium'
CHROMEDRIVER = '/usr/bin/chromedriver'
# For what passes through the web server, the CGI and pairgate-pair (started
# for each request, under qemu-user in a cross build).
WAIT_S = 20
SCREENSHOTS = BUILD_DIR / 'screenshots'


@pytest.fixture(scope='module')
def browser():
    '''Headless Chromium, shared by the tests of this file.'''
    if os.environ.get('PAIRGATE_WEB_SERVER') == 'lighttpd':
        pytest.skip('the page in a browser: under BusyBox httpd (ctest -L browser)')
    try:
        # pylint: disable=import-outside-toplevel
        from selenium import webdriver
        from selenium.common.exceptions import WebDriverException
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        pytest.skip('Chromium cannot be driven: python3-selenium is not installed')
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ('--headless=new', '--no-sandbox', '--disable-gpu',
                     '--disable-dev-shm-usage', '--window-size=720,720'):
        options.add_argument(argument)
    try:
        driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    except (WebDriverException, OSError) as e:
        pytest.skip(f'Chromium cannot start: {getattr(e, "msg", None) or e}')
    yield driver
    driver.quit()


@pytest.fixture
def served(gateway):
    '''The simulated gateway with a phone and a tablet, and the page served;
    no daemon yet.'''
    gateway.settings(facts.settings(SYSLOGLEV=4))
    gateway.start_bus()
    gateway.start_bluez(devices=(('hci0', PHONE, 'Phone'), ('hci0', TABLET, 'Tablet')))
    gateway.web = WebServer(gateway)
    gateway.web.start()
    yield gateway
    gateway.web.wait_idle()


@pytest.fixture
def site(served):
    daemon = served.start_daemon()
    assert daemon.poll() is None, f'pairgated ended at start: {served.syslog.lines!r}'
    wait_first_pass(served)
    return served


@pytest.fixture
def page(browser, served):
    '''The browser on the page, its list read; left on a blank page, with
    every request answered, so that the gateway closes clean.'''
    browser.get(served.web.url)
    wait_for(browser, 'the device list', lambda: len(rows(browser)) == 2)
    yield browser
    for handle in browser.window_handles[1:]:
        browser.switch_to.window(handle)
        browser.close()
    browser.switch_to.window(browser.window_handles[0])
    browser.get('about:blank')
    served.web.wait_idle()


# ------------------------------------------------------------------ helpers

def wait_for(browser, what, probe):
    try:
        return wait_until(probe, WAIT_S, what)
    except AssertionError as e:
        raise AssertionError(f'{e}; the page shows:\n{text(browser, "body")}') from None


def text(browser, css):
    '''The text of the element, read in one step: the page rebuilds its list
    at any time, so an element found first may be gone when read.'''
    return browser.execute_script(
        'const e = document.querySelector(arguments[0]); return e ? e.innerText : "";', css)


def rows(browser):
    return browser.find_elements('css selector', '#devices tr')


def row_text(browser, address):
    return text(browser, f'tr[data-address="{address}"]')


def click_pair(browser, address):
    browser.find_element('css selector', f'tr[data-address="{address}"] button').click()


def wait_outcome(browser, expected):
    wait_for(browser, f'the outcome {expected!r}',
             lambda: text(browser, '#outcome') == expected)


def screenshot(browser, name):
    SCREENSHOTS.mkdir(parents=True, exist_ok=True)
    browser.save_screenshot(str(SCREENSHOTS / name))


def request(gw, method, query, content_type='application/json'):
    '''(status, body) of one request to the CGI, without the keep-alive lines
    it writes each second while it waits (how many: the machine's speed).'''
    connection = http.client.HTTPConnection('127.0.0.1', gw.web.port, timeout=30)
    try:
        headers = {'Content-Type': content_type} if content_type else {}
        connection.request(method, f'{gw.web.prefix}{CGI}?{query}', headers=headers,
                           body=b'{}' if method == 'POST' else None)
        response = connection.getresponse()
        return response.status, response.read().decode().replace('{"event":"waiting"}\n', '')
    finally:
        connection.close()


def error(message):
    return '{"event":"error","message":"%s"}\n' % message


def web_requests(gw):
    '''What the daemon logged of requests it read from the request pipe.'''
    gw.syslog.sync()
    return [t for t in gw.syslog.texts() if t.startswith('Request from web UI')]


def requests_of(gw):
    '''{pid: (parent pid, command line)} of the processes with the gateway's
    bus in their environment, as the web server hands it to the CGI and the
    CGI to pairgate-pair: another suite's, running at the same time, have
    another bus.'''
    mark = f'DBUS_SYSTEM_BUS_ADDRESS={gw.bus_address}'.encode()
    found = {}
    for pid in (int(p) for p in os.listdir('/proc') if p.isdigit()):
        try:
            if mark in Path(f'/proc/{pid}/environ').read_bytes().split(b'\0'):
                stat = Path(f'/proc/{pid}/stat').read_text()
                found[pid] = (int(stat[stat.rindex(')') + 2:].split()[1]),
                              Path(f'/proc/{pid}/cmdline').read_bytes())
        except OSError:
            pass
    return found


def processes_with(gw, argument):
    return [pid for pid, (_, cmdline) in requests_of(gw).items()
            if argument in cmdline.split(b'\0')]


# -------------------------------------------------------------------- page

def test_the_list_shows_the_simulators_devices(site, page):
    assert [r.get_attribute('data-address') for r in rows(page)] == [PHONE, TABLET]
    for part in ('Phone', PHONE, 'not paired', 'dBm', 'Pair'):
        assert part in row_text(page, PHONE)
    assert 'Tablet' in row_text(page, TABLET)
    # Whether the controller is open for pairing, as BlueZ reported it then.
    assert re.fullmatch(r'hci0 \([0-9A-F:]{17}\): (open for pairing now|closed for pairing)',
                        text(page, '#window'))
    assert site.reply_pipe.exists() is False  # the list touches no pipe


# Keeps what the page decodes of its answers in window.received.
RECORD_ANSWERS = '''
window.received = '';
const decode = TextDecoder.prototype.decode;
TextDecoder.prototype.decode = function (...args) {
  const text = decode.apply(this, args);
  window.received += text;
  return text;
};
'''


def test_pair_shows_the_passkey_then_paired_and_the_device_is_trusted(site, page):
    site.set_pair_behaviour(mode='hold')
    start = len(site.calls())
    page.execute_script(RECORD_ANSWERS)
    click_pair(page, PHONE)
    site.wait_for_call('Pair', lambda c: c.path == PHONE_PATH, start=start, timeout=WAIT_S)
    # BlueZ asks the daemon's agent while Pair is under way, as a phone does.
    call = site.call_agent('RequestConfirmation', 'ou', [PHONE_PATH, PASSKEY])
    wait_for(page, 'the passkey', lambda: text(page, '#passkey') == str(PASSKEY))
    assert text(page, '#compare') == COMPARE
    assert site.agent_answer(call)[0] == 'return'
    # The CGI's keep-alive lines while the phone is compared change nothing.
    wait_for(page, 'a keep-alive line', lambda: page.execute_script(
        'return window.received').endswith('{"event":"waiting"}\n'))
    assert (text(page, '#passkey'), text(page, '#compare'), text(page, '#outcome')) == (
        str(PASSKEY), COMPARE, '')
    screenshot(page, 'passkey.png')
    assert site.release_pairs() == 1
    wait_outcome(page, 'Paired with Phone')
    wait_for(page, 'the list read again', lambda: 'paired, trusted' in row_text(page, PHONE))
    assert site.property(PHONE_PATH, DEVICE1, 'Trusted') is True
    screenshot(page, 'paired.png')
    wait_agent_back(site, start)


def test_a_rejected_pairing_shows_failed(site, page):
    site.set_pair_behaviour(mode='confirm', passkey=PASSKEY,
                            error_name='org.bluez.Error.AuthenticationRejected')
    click_pair(page, TABLET)
    wait_outcome(page, 'Pairing with Tablet failed')
    assert site.property(TABLET_PATH, DEVICE1, 'Trusted') is False


def test_without_the_daemon_the_page_shows_the_error(served, page):
    click_pair(page, PHONE)
    wait_outcome(page, 'pairgated is not running')
    assert 'error' in page.find_element('css selector', '#outcome').get_attribute('class')


def test_a_second_pairing_at_once_gets_the_busy_answer(site, page):
    site.set_pair_behaviour(mode='hold')
    start = len(site.calls())
    click_pair(page, PHONE)
    site.wait_for_call('Pair', start=start, timeout=WAIT_S)
    first = page.current_window_handle
    page.switch_to.new_window('tab')
    page.get(site.web.url)
    wait_for(page, 'the device list', lambda: len(rows(page)) == 2)
    click_pair(page, TABLET)
    wait_outcome(page, BUSY)
    page.switch_to.window(first)
    assert site.release_pairs() == 1
    wait_outcome(page, 'Paired with Phone')
    assert [c.path for c in site.calls(start) if c.member == 'Pair'] == [PHONE_PATH]


# ----------------------------------------------- a client that goes away

def cgi_shells(gw):
    '''{pid: parent pid} of the CGI's processes (its shell and subshells).'''
    return {pid: parent for pid, (parent, cmdline) in requests_of(gw).items()
            if b'pairgate.cgi' in cmdline}


def the_cgi(gw):
    '''The CGI's own process, the one httpd started (once it is alone).'''
    def alone():
        shells = cgi_shells(gw)
        tops = [pid for pid, parent in shells.items() if parent not in shells]
        return tops[0] if len(tops) == 1 else None
    return wait_until(alone, WAIT_S, 'the one CGI')


def post_pairing(gw, address):
    '''A pairing request on a raw connection, as a browser sends it; the socket.'''
    connection = socket.create_connection(('127.0.0.1', gw.web.port), timeout=WAIT_S)
    connection.sendall(f'POST {gw.web.prefix}{CGI}?pair={address} HTTP/1.1\r\n'
                       'Host: gateway\r\nContent-Type: application/json\r\n'
                       'Content-Length: 2\r\n\r\n{}'.encode())
    return connection


def unchunked(data):
    '''The answer with a chunked body (lighttpd's, to HTTP/1.1) as the plain bytes.'''
    head, _, body = data.partition(b'\r\n\r\n')
    if b'transfer-encoding: chunked' not in head.lower():
        return data
    plain = b''
    while b'\r\n' in body:
        size, _, rest = body.partition(b'\r\n')
        plain, body = plain + rest[:int(size, 16)], rest[int(size, 16) + 2:]
    return head + b'\r\n\r\n' + plain


def received_until(connection, text):
    '''What came on the connection up to and including TEXT (within WAIT_S).'''
    data = b''
    while text.encode() not in unchunked(data):
        chunk = connection.recv(4096)
        assert chunk, f'the answer ended before {text!r}: {data!r}'
        data += chunk
    return unchunked(data).decode()


def cancelled_and_freed(gw, start, spare):
    '''Waits until the phone's pairing was cancelled and its client has ended;
    then another device (SPARE, a new one) pairs through the CGI.'''
    wait_until(lambda: [c.path for c in gw.log(start) if c.member == 'CancelPairing'] ==
               [PHONE_PATH], WAIT_S, "the client's CancelPairing")
    wait_until(lambda: not processes_with(gw, PHONE.encode()), WAIT_S, 'pairgate-pair to end')
    wait_until(lambda: not cgi_shells(gw), WAIT_S, 'the CGI to end')
    gw.mock.AddDevice('hci0', spare, 'Spare')
    gw.set_pair_behaviour(mode='direct')
    assert request(gw, 'POST', f'pair={spare}') == (
        200, '{"event":"paired","address":"%s"}\n' % spare)


def test_a_closed_connection_ends_the_pairing(site):
    '''A browser that leaves, before or after the passkey: the keep-alive
    line the CGI writes every second fails, and pairgate-pair is ended, so
    that it cancels and frees the lock for the next pairing.'''
    for passkey in (True, False):
        site.set_pair_behaviour(mode='hold')
        start, mark = len(site.calls()), len(site.log())
        connection = post_pairing(site, PHONE)
        site.wait_for_call('Pair', lambda c: c.path == PHONE_PATH, start=start,
                           timeout=WAIT_S)
        assert processes_with(site, PHONE.encode())  # found, so that its end is seen
        if passkey:
            call = site.call_agent('RequestConfirmation', 'ou', [PHONE_PATH, PASSKEY])
            answer = received_until(connection, '{"event":"waiting"}\n')
            assert answer.startswith('HTTP/1.1 200 OK\r\n'), answer
            assert answer.endswith('\r\n\r\n{"event":"passkey","passkey":"%d"}\n'
                                   '{"event":"waiting"}\n' % PASSKEY), answer
            assert site.agent_answer(call)[0] == 'return'
        else:
            # No event for a while: the answer starts all the same.
            answer = received_until(connection, '{"event":"waiting"}\n')
            assert answer.endswith('\r\n\r\n{"event":"waiting"}\n'), answer
        connection.close()
        cancelled_and_freed(site, mark, '00:1A:7D:DA:72:0%d' % passkey)


def test_a_signal_to_the_cgi_reaches_pairgate_pair(site):
    '''A web server's CGI time limit sends SIGTERM to the CGI alone; SIGINT
    and SIGHUP likewise: pairgate-pair cancels, and the lock is free again.'''
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        site.set_pair_behaviour(mode='hold')
        start, mark = len(site.calls()), len(site.log())
        connection = post_pairing(site, PHONE)
        try:
            site.wait_for_call('Pair', lambda c: c.path == PHONE_PATH, start=start,
                               timeout=WAIT_S)
            os.kill(the_cgi(site), sig)
            cancelled_and_freed(site, mark, '00:1A:7D:DA:73:%02d' % sig)
        finally:
            connection.close()


# ------------------------------------------------------ requests of others

BAD_ADDRESSES = [
    '', '00:1A:7D:DA:71', '00:1A:7D:DA:71:1', '00:1A:7D:DA:71:133', '00:1A:7D:DA:71:13:',
    '00:1A:7D:DA:71:1G', '00-1A-7D-DA-71-13', '001A7DDA7113', '00:1A:7D:DA:71:13%00',
    '00%3A1A%3A7D%3ADA%3A71%3A13', '00:1A:7D:DA:71:13&list', ':00:1A:7D:DA:71:1',
    '%2000:1A:7D:DA:71:13', '$(reboot)', "';touch${IFS}/x;'", '*', '0*:1A:7D:DA:71:13',
    '[0]0:1A:7D:DA:71:13', '00:1A:7D:DA:71:%C3%A9', '00:1a:7d:da:71:13%0A',
]


def test_bad_requests_get_a_clear_error_and_touch_no_pipe(site):
    for address in BAD_ADDRESSES:
        status, body = request(site, 'POST', 'pair=' + address)
        # lighttpd refuses a control character in a URL itself, with a page of its own.
        refused = site.web.kind == 'lighttpd' and re.search('%[01]', address)
        assert status == 400 and (
            refused or body == error('not a device address like 00:1A:7D:DA:71:13')), address
    for query in ('pair=' + 'A' * 2000, 'list' + '&' * 61, 'pair=00:1A:7D:DA:71:13' + '%20' * 15):
        assert request(site, 'POST', query) == (414, error('the request is too long')), query
    for method in ('GET', 'PUT', 'DELETE', 'HEAD', 'OPTIONS'):
        status, body = request(site, method, f'pair={PHONE}')
        assert status == 405, method
        assert body == ('' if method == 'HEAD' else error('pairing needs POST')), method
    assert request(site, 'POST', 'list') == (405, error('the list is read with GET'))
    for content_type in (None, 'application/x-www-form-urlencoded', 'text/plain'):
        assert request(site, 'POST', f'pair={PHONE}', content_type) == (
            415, error('pairing requests are application/json')), content_type
    for query in ('', 'pair', 'list=1', 'x=1', f'address={PHONE}'):
        assert request(site, 'GET', query) == (
            400, error('unknown request: use ?list or ?pair=ADDRESS')), query
    site.web.wait_idle()
    site.syslog.sync()
    assert not site.reply_pipe.exists()
    assert site.request_pending() == 0
    assert web_requests(site) == []
    assert [c for c in site.calls() if c.member == 'Pair'] == []


def test_the_json_type_is_matched_in_any_case_and_with_blanks(served):
    '''Media types are case-insensitive, and a parameter may follow blanks:
    these pass the check (no daemon: pairgate-pair says so); others still
    get 415.'''
    for content_type in ('Application/JSON', 'application/json ; charset=utf-8',
                         'APPLICATION/Json\t;charset=UTF-8', 'application/json;charset=utf-8'):
        assert request(served, 'POST', f'pair={PHONE}', content_type) == (
            503, error('pairgated is not running')), content_type
    for content_type in ('application/jsonx', 'application/json x', 'text/json', ' ; json'):
        assert request(served, 'POST', f'pair={PHONE}', content_type) == (
            415, error('pairing requests are application/json')), content_type


def test_a_pairing_while_the_list_is_read_is_refused(site):
    bluez = site._sim_proc  # pylint: disable=protected-access
    os.kill(bluez.pid, signal.SIGSTOP)  # the list waits for BlueZ's answer
    listed = {}
    try:
        reader = threading.Thread(target=lambda: listed.update(answer=request(site, 'GET',
                                                                              'list')))
        reader.start()
        wait_until(lambda: processes_with(site, b'--list'), WAIT_S, 'pairgate-pair --list')
        assert request(site, 'POST', f'pair={PHONE}') == (
            409, error('the device list is being read; try again'))
    finally:
        os.kill(bluez.pid, signal.SIGCONT)
    reader.join(WAIT_S)
    assert listed['answer'][0] == 200
    assert not site.reply_pipe.exists()
    assert web_requests(site) == []


def test_a_pairing_while_pairgate_pair_waits_in_a_shell_is_refused(site):
    site.set_pair_behaviour(mode='hold')
    shell = {}
    start = len(site.calls())
    waiting = threading.Thread(target=lambda: shell.update(run=pairgate_pair(site, PHONE)))
    waiting.start()
    try:
        site.wait_for_call('Pair', start=start)
        assert request(site, 'POST', f'pair={TABLET}') == (409, error(BUSY))
    finally:
        site.release_pairs()
        waiting.join(WAIT_S)
    assert shell['run'][:2] == (facts.EXIT_PAIRED, [facts.event(facts.EVENT_PAIRED, address=PHONE)])
    assert [c.path for c in site.calls(start) if c.member == 'Pair'] == [PHONE_PATH]
