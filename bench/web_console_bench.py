#!/usr/bin/env python3
"""web_console_bench.py - what the browser console costs a running corvel95.

Starts corvel95 on a throw-away home (loopback, free ports, console on), then
measures over DURATION seconds each:
  1. the SMTP accept rate (SENDERS processes, one connection per message) alone;
  2. the same with LIVE_LOGS consoles open on the live log (server-sent events);
  3. status API requests per second from CLIENTS concurrent clients (keep-alive)
     while the SMTP load of 1 runs, and the SMTP rate meanwhile.
Prints RESULT lines:
  RESULT web_console smtp_alone msgs_per_s=R
  RESULT web_console smtp_with_live_log msgs_per_s=R cost_pct=P streams=N events=E
  RESULT web_console status_api req_per_s=R clients=C smtp_msgs_per_s=S

Environment: BIN_DIR (default <repo>/build/bin), DURATION=10, SENDERS=8, CLIENTS=10,
LIVE_LOGS=3. Everything runs on 127.0.0.1; the server is stopped by its pid.
"""
import http.client
import json
import multiprocessing as mp
import os
import shutil
import signal
import smtplib
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BIN = os.environ.get('BIN_DIR', os.path.join(ROOT, 'build', 'bin'))
DURATION = float(os.environ.get('DURATION', '10'))
SENDERS = int(os.environ.get('SENDERS', '8'))
CLIENTS = int(os.environ.get('CLIENTS', '10'))
LIVE_LOGS = int(os.environ.get('LIVE_LOGS', '3'))
KEY = 'SOFTWARE\\Tollgrove\\Corvel'
PASSWORD = 'bench-console-pw'
HOST = '127.0.0.1'
BODY = 'Subject: bench\r\n\r\n' + ('x' * 78 + '\r\n') * 25


def free_port():
    s = socket.socket()
    s.bind((HOST, 0))
    port = s.getsockname()[1]
    s.close()
    return port


def reg(home, name, kind, value):
    subprocess.run([os.path.join(BIN, 'corvelreg'), '--home', home, 'set', KEY, name, kind,
                    str(value)], check=True, capture_output=True)


def send_loop(port, until, out):
    sent = 0
    while time.time() < until:
        try:
            s = smtplib.SMTP(HOST, port, timeout=10)
            s.sendmail('bench@example.org', ['root@mail.example.org'], BODY)
            s.quit()
            sent += 1
        except (OSError, smtplib.SMTPException):
            pass
    out.put(sent)


def login(port):
    c = http.client.HTTPConnection(HOST, port, timeout=10)
    c.request('POST', '/api/login', json.dumps({'password': PASSWORD}))
    r = c.getresponse()
    r.read()
    return r.getheader('Set-Cookie').split(';')[0]


def status_loop(port, cookie, until, out):
    done = 0
    c = http.client.HTTPConnection(HOST, port, timeout=10)
    while time.time() < until:
        try:
            c.request('GET', '/api/status', headers={'Cookie': cookie})
            r = c.getresponse()
            r.read()
            if r.status == 200:
                done += 1
        except (OSError, http.client.HTTPException):
            c.close()
            c = http.client.HTTPConnection(HOST, port, timeout=10)
    out.put(done)


def live_log_loop(port, cookie, until, out):
    events = 0
    while time.time() < until:
        c = http.client.HTTPConnection(HOST, port, timeout=5)
        try:
            c.request('GET', '/api/log/stream', headers={'Cookie': cookie})
            r = c.getresponse()
            while time.time() < until:
                line = r.fp.readline()
                if not line:
                    break
                if line.startswith(b'data: '):
                    events += 1
        except (OSError, http.client.HTTPException):
            pass
        c.close()
    out.put(events)


def main():
    home = tempfile.mkdtemp(prefix='corvel-webbench-') + '/'
    smtp, http_port = free_port(), free_port()
    server = None
    try:
        subprocess.run([os.path.join(BIN, 'corvelreg'), '--home', home, 'import',
                        os.path.join(ROOT, 'etc', 'corvel-default.reg')], check=True,
                       capture_output=True)
        for name, kind, value in [('SysOptSmtp', 'dword', smtp), ('SysOptHttp', 'dword', http_port),
                                  ('SysAccess', 'dword', 0), ('HttpConsole', 'dword', 1),
                                  ('DisableDNSLookup', 'dword', 1), ('VerifyNode', 'dword', 0),
                                  ('LocalNode', 'sz', 'mail.example.org'),
                                  ('LocalIP', 'sz', '127.0.0.1'), ('BindAddress', 'sz', HOST),
                                  ('MailUser', 'sz', ''), ('UseTls', 'dword', 0)]:
            reg(home, name, kind, value)
        subprocess.run([os.path.join(BIN, 'corveladm'), '--home', home, 'admin-password'],
                       input=PASSWORD + '\n', text=True, check=True, capture_output=True)
        server = subprocess.Popen([os.path.join(BIN, 'corvel95'), '--home', home, '-H'],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 15
        while time.time() < deadline:
            try:
                socket.create_connection((HOST, http_port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.1)
        cookie = login(http_port)

        alone = run_tagged([('smtp', send_loop, (smtp,))] * SENDERS).get('smtp', 0) / DURATION
        print('RESULT web_console smtp_alone msgs_per_s=%.1f senders=%d' % (alone, SENDERS))
        sent = run_mixed(smtp, http_port, cookie)
        cost = 100.0 * (alone - sent[0]) / alone if alone else 0.0
        print('RESULT web_console smtp_with_live_log msgs_per_s=%.1f cost_pct=%.1f streams=%d '
              'events=%d' % (sent[0], cost, LIVE_LOGS, sent[1]))
        api = run_status(smtp, http_port, cookie)
        print('RESULT web_console status_api req_per_s=%.1f clients=%d smtp_msgs_per_s=%.1f'
              % (api[1], CLIENTS, api[0]))
    finally:
        if server:
            server.send_signal(signal.SIGTERM)
            server.wait(timeout=30)
        shutil.rmtree(home, ignore_errors=True)


def run_tagged(workers):
    """Runs (tag, function, args) workers as processes for DURATION; the counts by tag."""
    until = time.time() + DURATION
    procs = []
    for tag, f, args in workers:
        q = mp.Queue()
        procs.append((tag, q, mp.Process(target=f, args=args + (until, q))))
    for _, _, p in procs:
        p.start()
    totals = {}
    for tag, q, p in procs:
        totals[tag] = totals.get(tag, 0) + q.get()
        p.join()
    return totals


def run_mixed(smtp, http_port, cookie):
    t = run_tagged([('smtp', send_loop, (smtp,))] * SENDERS +
                   [('log', live_log_loop, (http_port, cookie))] * LIVE_LOGS)
    return t.get('smtp', 0) / DURATION, t.get('log', 0)


def run_status(smtp, http_port, cookie):
    t = run_tagged([('smtp', send_loop, (smtp,))] * SENDERS +
                   [('api', status_loop, (http_port, cookie))] * CLIENTS)
    return t.get('smtp', 0) / DURATION, t.get('api', 0) / DURATION


if __name__ == '__main__':
    sys.exit(main())
