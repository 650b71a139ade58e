'''scripts/demo --web: the pairing page on the simulated gateway, served by
busybox httpd on 127.0.0.1, until Ctrl-C.'''

import signal
import threading

import pairgate_facts as facts
from web_server import WebServer

PASSKEY = 482913
DEVICES = (('hci0', '00:1A:7D:DA:71:13', 'Phone'), ('hci0', '00:1A:7D:DA:71:14', 'Tablet'),
           ('hci0', '00:1A:7D:DA:71:15', 'Headset'))


def web_demo(gw, show):
    '''Runs the gateway and the page; prints the daemon's log lines and the
    calls BlueZ received as they come, until SIGINT or SIGTERM.'''
    # Ctrl-C signals the terminal's whole process group: the processes of the
    # gateway inherit an ignored SIGINT, so that only the daemon (which
    # handles it) and this script see it, and close() ends the rest in order.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    show.step('The gateway: BlueZ with hci0, a phone, a tablet and a headset; pairgated')
    gw.settings(f'{facts.SYSLOGLEV}=4\n')
    gw.start_bus()
    gw.start_bluez(devices=DEVICES)
    # Every pairing asks the phone to compare the passkey, and the phone agrees.
    gw.set_pair_behaviour(mode='confirm', passkey=PASSKEY)
    gw.start_daemon()
    gw.syslog.wait_for(facts.text(facts.STARTED))
    show.news()
    web = WebServer(gw)
    url = web.start()
    stop = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: stop.set())
    show.step(f'The pairing page: {url}')
    print(f'   Open {url} in a browser on this machine and press "Pair": the page shows the')
    print(f'   passkey {PASSKEY:06d}, then "Paired". Ctrl-C stops the demo.')
    while not stop.wait(0.5):
        show.news()
    show.step('Stopping')
    web.wait_idle()
