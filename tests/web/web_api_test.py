#!/usr/bin/env python3
"""The console's JSON API through a real corvel95, with http.client as the client.

Usage: web_api_test.py HTTP_PORT SMTP_PORT HOME PASSWORD CORVELREG
Every endpoint's refusals (no session, bad CSRF token, wrong types, out-of-range
values, unknown accounts), the login limit, a 10 MB request, a slow client that
must not block others, and the live log seeing a message sent by SMTP.
"""
import fcntl
import http.client
import json
import os
import smtplib
import socket
import subprocess
import sys
import threading
import time
import unittest

PORT, SMTP_PORT, HOME, PASSWORD, CORVELREG = (
    int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5])
HOST = os.environ.get("CONSOLE_HOST", "127.0.0.1")
ROOT_KEY = 'SOFTWARE\\Tollgrove\\Corvel'


def request(method, path, body=None, cookie=None, csrf=None, raw=None, headers=None):
    conn = http.client.HTTPConnection(HOST, PORT, timeout=10)
    hdrs = dict(headers or {})
    if cookie:
        hdrs['Cookie'] = cookie
    if csrf is not None:
        hdrs['X-CSRF-Token'] = csrf
    data = raw
    if body is not None:
        data = json.dumps(body).encode()
        hdrs['Content-Type'] = 'application/json'
    conn.request(method, path, body=data, headers=hdrs)
    res = conn.getresponse()
    text = res.read()
    conn.close()
    try:
        parsed = json.loads(text) if text else {}
    except ValueError:
        parsed = {'raw': text}
    return res.status, parsed, res


def login(password=PASSWORD):
    status, body, res = request('POST', '/api/login', {'password': password})
    if status != 200:
        return status, None, None, res
    cookie = res.getheader('Set-Cookie').split(';')[0]
    return status, cookie, body['csrf'], res


class Session:
    def __init__(self):
        status, self.cookie, self.csrf, _ = login()
        assert status == 200, status

    def get(self, path):
        return request('GET', path, cookie=self.cookie)[:2]

    def post(self, path, body, csrf=True):
        return request('POST', path, body, cookie=self.cookie,
                       csrf=self.csrf if csrf else None)[:2]


GETS = ['/api/status', '/api/log', '/api/log/file', '/api/config', '/api/accounts',
        '/api/domains', '/api/session', '/api/log/stream', '/api/queue', '/api/list?name=x']
POSTS = ['/api/logout', '/api/config', '/api/accounts/add', '/api/accounts/modify',
         '/api/accounts/rename', '/api/accounts/delete', '/api/domains/add',
         '/api/domains/remove', '/api/queue/retry', '/api/queue/bounce',
         '/api/list/members/add', '/api/list/members/remove', '/api/list/members/options',
         '/api/list/pending/approve', '/api/list/pending/refuse', '/api/queue/delete',
         '/api/list/held/release', '/api/list/held/reject', '/api/list/held/forward',
         '/api/list/held/delete']


class ApiTest(unittest.TestCase):
    def test_every_endpoint_needs_a_session(self):
        for path in GETS:
            status, body, _ = request('GET', path)
            self.assertEqual((status, body), (401, {'error': 'Not logged in.'}), path)
        for path in POSTS:
            status, body, _ = request('POST', path, {}, csrf='x')
            self.assertEqual((status, body), (401, {'error': 'Not logged in.'}), path)
        # A made-up cookie is no session either.
        status, _, _ = request('GET', '/api/status', cookie='corvel_session=' + 'ab' * 32)
        self.assertEqual(status, 401)

    def test_cookie_flags_and_pages(self):
        status, cookie, csrf, res = login()
        self.assertEqual(status, 200)
        flags = res.getheader('Set-Cookie')
        self.assertIn('HttpOnly', flags)
        self.assertIn('SameSite=Strict', flags)
        self.assertEqual(len(csrf), 64)
        for path, kind in [('/', 'text/html'), ('/console.js', 'text/javascript'),
                           ('/console.css', 'text/css')]:
            status, _, res = request('GET', path)
            self.assertEqual(status, 200, path)
            self.assertTrue(res.getheader('Content-Type').startswith(kind), path)
            self.assertIn("default-src 'self'", res.getheader('Content-Security-Policy'))
            self.assertEqual(res.getheader('X-Frame-Options'), 'DENY')

    def test_state_changes_need_the_csrf_token(self):
        s = Session()
        other = Session()  # another session's token is no good here
        for path in POSTS:
            for token in [None, '', 'x' * 64, other.csrf]:
                status, body, _ = request('POST', path, {'name': 'InQueueTime', 'value': 30},
                                          cookie=s.cookie, csrf=token)
                self.assertEqual((status, body),
                                 (403, {'error': 'Missing or wrong CSRF token.'}), (path, token))
        self.assertEqual(s.get('/api/config')[0], 200, 'the session is still good')

    def test_logout_ends_the_session(self):
        s = Session()
        self.assertEqual(s.post('/api/logout', {})[0], 200)
        self.assertEqual(s.get('/api/status')[0], 401)

    def test_status(self):
        status, body = Session().get('/api/status')
        self.assertEqual(status, 200)
        self.assertEqual(body['product'], 'Corvel95')
        ports = {l['name']: l['port'] for l in body['listeners']}
        self.assertEqual(ports['SMTP'], SMTP_PORT)
        self.assertEqual(ports['Web console'], PORT)
        self.assertTrue({'Submission', 'SMTPS', 'POP3S', 'IMAP', 'IMAPS'} <= set(ports))
        self.assertEqual(set(body['queues']), {'incoming', 'parked', 'outgoing', 'retry'})
        jobs = {j['job']: j['secondsAgo'] for j in body['worker']}
        self.assertIn('Incoming scan', jobs)
        self.assertGreaterEqual(jobs['Incoming scan'], 0, 'the worker has scanned by now')

    def test_configuration_edits_are_checked(self):
        s = Session()
        cases = [
            ({'name': 'InQueueTime', 'value': 4}, 400, 'InQueueTime is a whole number from 5 to 300'),
            ({'name': 'InQueueTime', 'value': '301'}, 400, 'InQueueTime is a whole number from 5 to 300'),
            ({'name': 'InQueueTime', 'value': 1.5}, 400,
             '"value" must be a string, a whole number or true/false.'),
            ({'name': 'InQueueTime', 'value': [30]}, 400,
             '"value" must be a string, a whole number or true/false.'),
            ({'name': 'InQueueTime'}, 400, '"value" is missing.'),
            ({'name': 'InQueueTime', 'reset': 'yes'}, 400, '"reset" must be true or false.'),
            ({'name': 42, 'value': 30}, 400, '"name" must be a string.'),
            ({'name': 'NoSuchValue', 'value': 1}, 404, 'No such configuration value: NoSuchValue'),
            ({'name': 'AllowUnknown', 'value': 'yes'}, 400, 'AllowUnknown is a switch: 0 or 1'),
            ({'name': 'LocalIP', 'value': '1' * 31}, 400, 'LocalIP has at most 30 characters'),
        ]
        for body, want_status, want_error in cases:
            status, reply = s.post('/api/config', body)
            self.assertEqual((status, reply), (want_status, {'error': want_error}), body)
        for raw in [b'not json', b'[1,2]', b'']:
            status, reply, _ = request('POST', '/api/config', raw=raw, cookie=s.cookie, csrf=s.csrf)
            self.assertEqual((status, reply),
                             (400, {'error': 'The request body must be a JSON object.'}), raw)
        # A good edit is in the registry, as corvelreg reads it; a reset removes it.
        status, reply = s.post('/api/config', {'name': 'OutQueueTime', 'value': 120})
        self.assertEqual(status, 200)
        self.assertEqual(reply, {'name': 'OutQueueTime', 'value': '120',
                                 'applied': 'at the next start'})
        got = subprocess.run([CORVELREG, '--home', HOME, 'get', ROOT_KEY, 'OutQueueTime'],
                             capture_output=True, text=True)
        self.assertIn('120', got.stdout + got.stderr)
        values = {v['name']: v for v in s.get('/api/config')[1]['values']}
        self.assertTrue(values['OutQueueTime']['changed'])
        self.assertEqual(values['OutQueueTime']['default'], '60')
        self.assertEqual((values['InQueueTime']['min'], values['InQueueTime']['max']), (5, 300))
        self.assertNotIn('HttpAdminPassword', values, 'the password digest is not a setting')
        self.assertEqual(s.post('/api/config', {'name': 'OutQueueTime', 'reset': True})[0], 200)
        values = {v['name']: v for v in s.get('/api/config')[1]['values']}
        self.assertEqual((values['OutQueueTime']['value'], values['OutQueueTime']['stored']),
                         ('60', False))

    def test_accounts_refusals(self):
        s = Session()
        cases = [
            ('/api/accounts/modify', {'name': 'ghost'}, 404, 'no such account: ghost'),
            ('/api/accounts/rename', {'name': 'ghost', 'newName': 'ghost2'}, 404,
             'account rename: the account, or an account it refers to, does not exist (0xC00003F2)'),
            ('/api/accounts/delete', {'name': 'ghost'}, 404,
             'account delete: the account, or an account it refers to, does not exist (0xC00003F2)'),
            ('/api/accounts/delete', {'name': 'postmaster', 'mode': 'force'}, 400,
             'account delete: a reserved account cannot be deleted (0xC00003F3)'),
            ('/api/accounts/delete', {'name': 'root', 'mode': 'sometimes'}, 400,
             '"mode" is one of unused, repoint, cascade, force.'),
            ('/api/accounts/add', {'type': 'robot', 'name': 'x'}, 400, 'Unknown account type: robot'),
            ('/api/accounts/add', {'type': 'user', 'name': 7}, 400, '"name" must be a string.'),
            ('/api/accounts/add', {'type': 'user', 'name': 'x', 'password': 'ab'}, 400,
             'A password has 3 to 16 characters.'),
            ('/api/accounts/add', {'type': 'alias', 'name': 'x', 'fields': {'target': 5}}, 400,
             '"target" is not a text field of a alias.'),
            ('/api/accounts/add', {'type': 'alias', 'name': 'x', 'fields': {'mailbox': '/etc'}}, 400,
             '"mailbox" is not a text field of a alias.'),
            ('/api/accounts/add', {'type': 'alias', 'name': 'x', 'fields': {'target': 'y' * 65}}, 400,
             'target has at most 64 characters.'),
            ('/api/accounts/add', {'type': 'alias', 'name': 'x', 'domain': 'one'}, 400,
             '"domain" must be a domain number.'),
            ('/api/accounts/add', {'type': 'alias', 'name': 'x', 'domain': 77}, 404, 'No such domain: 77'),
            ('/api/accounts/add', {'type': 'alias', 'name': 'postmaster', 'fields': {'target': 'root'}},
             409, 'account add: the account already exists, or the new name for references does not (0xC00003F1)'),
            ('/api/domains/remove', {'domain': 0, 'name': 'x'}, 400, 'The primary domain cannot be removed.'),
            ('/api/domains/remove', {'domain': 9, 'name': 'gone.example'}, 409,
             'The domain gone.example is no longer in slot 9; reload the list.'),
        ]
        for path, body, want_status, want_error in cases:
            status, reply = s.post(path, body)
            self.assertEqual((status, reply), (want_status, {'error': want_error}), (path, body))
        self.assertEqual(s.get('/api/accounts?type=robot'),
                         (400, {'error': 'Unknown account type: robot'}))
        self.assertEqual(s.get('/api/accounts?domain=-1'),
                         (400, {'error': '"domain" must be a domain number.'}))
        self.assertEqual(s.get('/api/accounts?domain=12'), (404, {'error': 'No such domain: 12'}))

    def test_account_life_and_delivery(self):
        s = Session()
        status, reply = s.post('/api/accounts/add', {'type': 'user', 'name': 'carol',
                                                     'password': 'pw-carol',
                                                     'fields': {'fullName': 'Carol <b>C</b>'}})
        self.assertEqual(status, 200, reply)
        listed = s.get('/api/accounts?q=carol&type=user')[1]['accounts']
        self.assertEqual([a['name'] for a in listed], ['carol'])
        self.assertEqual(listed[0]['fields']['fullName'], 'Carol <b>C</b>')
        self.assertNotIn('password', json.dumps(listed), 'passwords are never shown')
        mailbox = listed[0]['fields']['mailbox']
        before = s.get('/api/status')[1]['messages']
        smtp = smtplib.SMTP(HOST, SMTP_PORT, timeout=10)
        smtp.sendmail('bob@mail.example.org', ['carol@mail.example.org'],
                      'Subject: console\r\n\r\nhello carol\r\n')
        smtp.quit()
        deadline = time.time() + 15
        while time.time() < deadline and not os.path.exists(mailbox):
            time.sleep(0.1)
        with open(mailbox, 'rb') as f:
            self.assertIn(b'hello carol', f.read())
        # The status counts the message taken and the delivery (other tests' mail may
        # add to both meanwhile).
        after = s.get('/api/status')[1]['messages']
        self.assertGreater(after['received'], before['received'], (before, after))
        self.assertGreater(after['delivered'], before['delivered'], (before, after))
        # A change made from a page that showed an older record is refused.
        fields = listed[0]['fields']
        status, reply = s.post('/api/accounts/modify', {'name': 'carol', 'expect': fields,
                                                        'fields': {'cc': 'root'}})
        self.assertEqual(status, 200, reply)
        status, reply = s.post('/api/accounts/modify', {'name': 'carol', 'expect': fields,
                                                        'fields': {'fullName': 'Stale'}})
        self.assertEqual((status, reply), (409, {'error': 'The account carol was changed '
                                                 'meanwhile; reload it and make the change again.'}))
        self.assertEqual(s.post('/api/accounts/add', {'type': 'alias', 'name': 'caro',
                                                      'fields': {'target': 'carol'}})[0], 200)
        self.assertEqual(s.post('/api/accounts/rename', {'name': 'carol', 'newName': 'carla'})[0], 200)
        accounts = {a['name']: a for a in s.get('/api/accounts')[1]['accounts']}
        self.assertEqual(accounts['caro']['fields']['target'], 'carla')
        self.assertEqual(s.post('/api/accounts/delete', {'name': 'carla'}),
                         (409, {'error': 'account delete: the account is in use by other accounts (0xC00003F7)'}))
        self.assertEqual(s.post('/api/accounts/delete', {'name': 'carla', 'mode': 'cascade'})[0], 200)
        accounts = {a['name'] for a in s.get('/api/accounts')[1]['accounts']}
        self.assertFalse({'carla', 'caro'} & accounts)

    def test_domains(self):
        s = Session()
        status, reply = s.post('/api/domains/add', {'name': 'second.example', 'description': 'Second'})
        self.assertEqual(status, 200, reply)
        number = reply['number']
        self.assertEqual(s.post('/api/domains/add', {'name': 'second.example'}),
                         (409, {'error': 'domain add: the domain second.example exists already (0xC00003F1)'}))
        domains = s.get('/api/domains')[1]['domains']
        self.assertIn({'number': number, 'name': 'second.example', 'description': 'Second'}, domains)
        self.assertEqual(s.post('/api/accounts/add', {'domain': number, 'type': 'alias', 'name': 'info',
                                                      'fields': {'target': 'postmaster'}})[0], 200)
        names = [a['name'] for a in s.get('/api/accounts?domain=%d' % number)[1]['accounts']]
        self.assertIn('info', names)
        self.assertEqual(s.post('/api/domains/remove', {'domain': number, 'name': 'second.example'})[0], 200)
        self.assertNotIn('second.example', [d['name'] for d in s.get('/api/domains')[1]['domains']])

    def test_registry_survives_other_programs_between_requests(self):
        # The account library opens the registry a second time inside the server;
        # reading the file's header once dropped the server's own locks on it, and
        # corvelreg's exit then removed the WAL under the server ("disk I/O error").
        s = Session()
        for i in range(3):
            self.assertEqual(s.get('/api/accounts')[0], 200)
            subprocess.run([CORVELREG, '--home', HOME, 'get', ROOT_KEY, 'LocalNode'],
                           capture_output=True, check=True)
            status, reply = s.post('/api/config', {'name': 'SmartHost', 'value': 'relay%d.example' % i})
            self.assertEqual(status, 200, reply)
            status, reply = s.post('/api/accounts/add', {'type': 'alias', 'name': 'reg%d' % i,
                                                         'fields': {'target': 'root'}})
            self.assertEqual(status, 200, reply)
        for i in range(3):
            self.assertEqual(s.post('/api/accounts/delete', {'name': 'reg%d' % i})[0], 200)
        self.assertEqual(s.post('/api/config', {'name': 'SmartHost', 'reset': True})[0], 200)

    def test_list_members_pending_and_statistics(self):
        s = Session()
        status, reply = s.post('/api/accounts/add', {'type': 'list', 'name': 'crew',
                                                     'fields': {'title': 'The crew', 'owner': 'root'}})
        self.assertEqual(status, 200, reply)
        key = ROOT_KEY + '\\ListsAndResponders\\crew'
        # Two addresses wait for approval, and the list has counted some posts.
        for args in [['AddUsers', 'User1', 'sz', 'r;root@mail.example.org;Root Person;0;'],
                     ['AddUsers', 'User2', 'sz', 'r;postmaster@mail.example.org;;0;'],
                     ['AddUsers', 'NumUsers', 'dword', '2'],
                     ['AddUsers', 'ActualUsers', 'dword', '2'],
                     ['ListStatistics', '--GeneralStats--', 'sz', '7;7000;1'],
                     ['ListStatistics', 'root@mail.example.org', 'sz', '3;300;0']]:
            subprocess.run([CORVELREG, '--home', HOME, 'set', key + '\\' + args[0]] + args[1:],
                           capture_output=True, check=True)
        ref = {'name': 'crew'}
        xss = '<img src=x onerror=alert(1)>'
        status, reply = s.post('/api/list/members/add',
                               dict(ref, address='ann@example.org', fullName=xss))
        self.assertEqual(status, 200, reply)
        status, reply = s.post('/api/list/members/add', dict(ref, address='ANN@example.org'))
        self.assertEqual(status, 409, reply)
        self.assertIn('already registered', reply['error'])
        status, reply = s.post('/api/list/members/add',
                               dict(ref, address='bob@example.org', options=['DIGEST', 'NOREPRO']))
        self.assertEqual(status, 200, reply)
        status, reply = s.post('/api/list/members/options',
                               dict(ref, address='ann@example.org', options=['CONCEAL', 'NOREPRO']))
        self.assertEqual((status, 'CONCEAL' in reply.get('options', [])), (200, True), reply)
        self.assertNotIn('REPRO', reply['options'])
        status, reply = s.post('/api/list/pending/approve', dict(ref, address='root@mail.example.org'))
        self.assertEqual(status, 200, reply)
        status, reply = s.post('/api/list/pending/refuse', dict(ref, address='postmaster@mail.example.org'))
        self.assertEqual(status, 200, reply)
        # A second approval of the same address finds nothing waiting.
        status, reply = s.post('/api/list/pending/approve', dict(ref, address='root@mail.example.org'))
        self.assertEqual(status, 409, reply)

        status, body = s.get('/api/list?name=crew')
        self.assertEqual(status, 200, body)
        members = {m['address']: m for m in body['members']}
        # The approved address is kept as it was given, as every member record is.
        self.assertEqual(set(members), {'ann@example.org', 'bob@example.org',
                                        'root@mail.example.org'})
        self.assertEqual(members['ann@example.org']['fullName'], xss, 'kept as text')
        self.assertIn('CONCEAL', members['ann@example.org']['options'])
        self.assertEqual(members['root@mail.example.org']['fullName'], 'Root Person')
        self.assertIn('DIGEST', members['bob@example.org']['options'])
        self.assertEqual(body['pending'], [])
        st = body['statistics']
        self.assertEqual(st['list'], {'posts': 7, 'bytes': 7000, 'total': 8})
        self.assertEqual(st['senders'], [{'address': 'root@mail.example.org', 'posts': 3,
                                          'bytes': 300, 'total': 3}])
        self.assertEqual((st['total'], st['digested'], st['concealed']), (3, 1, 1))

        status, reply = s.post('/api/list/members/remove', dict(ref, address='bob@example.org'))
        self.assertEqual(status, 200, reply)
        status, reply = s.post('/api/list/members/remove', dict(ref, address='bob@example.org'))
        self.assertEqual(status, 404, reply)
        self.assertIn('not registered', reply['error'])

        refusals = [
            ('/api/list/members/add', {'name': 'nolist', 'address': 'a@b.c'}, 404),
            ('/api/list/members/add', {'name': 'root', 'address': 'a@b.c'}, 404),
            ('/api/list/members/add', {'name': 'crew', 'address': 'a;b@c.d'}, 400),
            ('/api/list/members/add', {'name': 'crew', 'address': 7}, 400),
            ('/api/list/members/add', {'name': 'crew', 'domain': 99, 'address': 'a@b.c'}, 404),
            ('/api/list/members/add', {'name': 'crew', 'domain': 'x', 'address': 'a@b.c'}, 400),
            ('/api/list/members/add', {'name': 'crew', 'address': 'a@b.c', 'options': ['LOUD']}, 400),
            ('/api/list/members/add', {'name': 'crew', 'address': 'a@b.c', 'options': 'REPRO'}, 400),
            ('/api/list/members/options', {'name': 'crew', 'address': 'nobody@b.c',
                                           'options': ['ACK']}, 404),
            ('/api/list/pending/refuse', {'name': 'crew', 'address': 'nobody@b.c'}, 409),
        ]
        for path, body, want in refusals:
            status, reply = s.post(path, body)
            self.assertEqual(status, want, (path, body, reply))
            self.assertIn('error', reply)
        self.assertEqual(s.get('/api/list?name=nolist')[0], 404)
        self.assertEqual(s.get('/api/list?name=crew&domain=x')[0], 400)
        self.assertEqual(s.post('/api/accounts/delete', {'name': 'crew', 'mode': 'force'})[0], 200)

    def test_queue_retry_and_bounce(self):
        # The smart host (127.0.19.3, nothing listening) is down: the message waits
        # in the retry queue until it is bounced from the console.
        s = Session()
        for body, want in [({}, (400, {'error': '"id" must be a retry entry\'s number.'})),
                           ({'id': -1}, (400, {'error': '"id" must be a retry entry\'s number.'})),
                           ({'id': '1'}, (400, {'error': '"id" must be a retry entry\'s number.'})),
                           ({'id': 987654}, (404, {'error': 'No such retry entry: 987654'}))]:
            self.assertEqual(s.post('/api/queue/retry', body), want, body)
            self.assertEqual(s.post('/api/queue/bounce', body), want, body)
        smtp = smtplib.SMTP(HOST, SMTP_PORT, timeout=10)
        smtp.sendmail('root@mail.example.org', ['far@remote.example'], 'Subject: away\r\n\r\nwait\r\n')
        smtp.quit()
        entries, deadline = [], time.time() + 30
        while not entries and time.time() < deadline:
            time.sleep(0.2)
            status, q = s.get('/api/queue')
            self.assertEqual(status, 200)
            entries = [e for e in q['entries'] if not e['busy']]
        self.assertEqual(len(entries), 1, q)
        self.assertEqual(q['retry'], ['Host: remote.example, Messages: 1, Level: every 15 minutes'])
        entry = entries[0]
        self.assertTrue(entry['file'].endswith('.our'), entry)
        # The same file among the spool files, with its envelope.
        files = [f for f in q['files'] if f['file'] == entry['file']]
        self.assertEqual(len(files), 1, q['files'])
        self.assertEqual((files[0]['sender'], files[0]['recipients'], files[0]['problem']),
                         ('root@mail.example.org', ['far@remote.example'], ''), files[0])
        self.assertGreater(files[0]['size'], 0)
        self.assertEqual(s.post('/api/queue/retry', {'id': entry['id']}), (200, {'result': 'retrying'}))
        status, reply = 0, {}
        deadline = time.time() + 30
        while time.time() < deadline:
            status, reply = s.post('/api/queue/bounce', {'id': entry['id'], 'reason': 'Given up by hand'})
            if status != 409:
                break  # 409: an item is trying it right now; the queue says "try later"
            time.sleep(0.3)
        self.assertEqual((status, reply), (200, {'result': 'Message bounced successfully'}))
        self.assertGreaterEqual(s.get('/api/status')[1]['messages']['bounced'], 1)
        self.assertFalse(os.path.exists(os.path.join(HOME, entry['file'])))
        q = s.get('/api/queue')[1]
        self.assertEqual(q['retry'], ['There are no retries currently occuring.'])
        self.assertEqual(s.post('/api/queue/bounce', {'id': entry['id']}),
                         (404, {'error': 'No such retry entry: %d' % entry['id']}))

    def test_queue_delete(self):
        s = Session()
        gone = 'The file 0000abcd.in is gone: it was sent, routed or deleted meanwhile.'
        for body, want in [
                ({'file': 'x.out'}, (400, {'error': '"directory" must be a string.'})),
                ({'directory': 'elsewhere', 'file': 'x.out'},
                 (400, {'error': '"directory" must be "incoming" or "outgoing".'})),
                ({'directory': 'outgoing', 'file': '../registry.out'},
                 (400, {'error': 'Not a message file the queue may delete here: ../registry.out'})),
                ({'directory': 'incoming', 'file': '0c0e0001.ml'},
                 (400, {'error': 'Not a message file the queue may delete here: 0c0e0001.ml'})),
                ({'directory': 'incoming', 'file': '00000001.wrm'},
                 (400, {'error': 'Not a message file the queue may delete here: 00000001.wrm'})),
                ({'directory': 'incoming', 'file': 'registry.db'},
                 (400, {'error': 'Not a message file the queue may delete here: registry.db'})),
                ({'directory': 'incoming', 'file': 7}, (400, {'error': '"file" must be a string.'})),
                ({'directory': 'incoming', 'file': '0000abcd.in'}, (404, {'error': gone}))]:
            self.assertEqual(s.post('/api/queue/delete', body), want, body)
        # A file another opener holds is refused, and deleted once it is let go.
        held = os.path.join(HOME, '000000ee.err')
        with open(held, 'wb') as f:
            f.write(b'no envelope here\r\n')
            fcntl.flock(f, fcntl.LOCK_EX)
            self.assertEqual(s.post('/api/queue/delete', {'directory': 'incoming', 'file': '000000ee.err'}),
                             (409, {'error': 'The file 000000ee.err is in use; try again in a moment.'}))
            self.assertTrue(os.path.exists(held))
        self.assertEqual(s.post('/api/queue/delete', {'directory': 'incoming', 'file': '000000ee.err'}),
                         (200, {'result': 'deleted', 'file': '000000ee.err'}))
        self.assertFalse(os.path.exists(held))
        # A message waiting for its retry goes with its retry entry.
        smtp = smtplib.SMTP(HOST, SMTP_PORT, timeout=10)
        smtp.sendmail('root@mail.example.org', ['gone@deleted.example'], 'Subject: drop\r\n\r\nme\r\n')
        smtp.quit()
        entries, deadline = [], time.time() + 30
        while not entries and time.time() < deadline:
            time.sleep(0.2)
            entries = [e for e in s.get('/api/queue')[1]['entries'] if e['host'] == 'deleted.example']
        self.assertEqual(len(entries), 1)
        name = entries[0]['file']
        status, reply, deadline = 0, {}, time.time() + 30
        while time.time() < deadline:
            status, reply = s.post('/api/queue/delete', {'directory': 'outgoing', 'file': name})
            if status != 409:
                break  # 409: an item is sending it right now
            time.sleep(0.3)
        self.assertEqual((status, reply), (200, {'result': 'deleted', 'file': name}))
        self.assertFalse(os.path.exists(os.path.join(HOME, name)))
        q = s.get('/api/queue')[1]
        self.assertFalse([e for e in q['entries'] if e['host'] == 'deleted.example'], q)
        self.assertFalse([f for f in q['files'] if f['file'] == name], q)
        self.assertEqual(s.post('/api/queue/delete', {'directory': 'outgoing', 'file': name})[0], 404)

    def test_z0_held_posts(self):
        # Named to run after the queue tests: a rejected post's notice waits in the
        # retry queue (example.org is unreachable).
        s = Session()
        status, reply = s.post('/api/accounts/add', {'type': 'list', 'name': 'mods',
                                                     'fields': {'title': 'Moderated', 'owner': 'root'}})
        self.assertEqual(status, 200, reply)
        self.assertEqual(s.post('/api/list/members/add', {'name': 'mods', 'address': 'ann@example.org'})[0], 200)
        key = ROOT_KEY + '\\ListsAndResponders\\mods\\Configuration'
        for args in [['ListId', 'sz', '0d0d'], ['Moderated', 'dword', '1']]:
            subprocess.run([CORVELREG, '--home', HOME, 'set', key] + args, check=True,
                           capture_output=True, timeout=30)
        ref = {'name': 'mods'}
        not_held = "'0d0d0000.ml' is not a held message of list 'mods'."
        for path, body, want in [
                ('/api/list/held/release', {'name': 'nolist', 'file': 'x.ml'},
                 (404, {'error': 'No such list: nolist'})),
                ('/api/list/held/release', ref, (400, {'error': '"file" must be a string.'})),
                ('/api/list/held/release', dict(ref, file='0d0d0000.ml'), (409, {'error': not_held})),
                ('/api/list/held/delete', dict(ref, file='../0d0d0000.ml'),
                 (409, {'error': "'../0d0d0000.ml' is not a held message of list 'mods'."})),
                ('/api/list/held/forward', dict(ref, file='0d0d0000.ml'),
                 (400, {'error': '"address" must be a string.'})),
                ('/api/list/held/forward', dict(ref, file='0d0d0000.ml', address=''),
                 (400, {'error': '"address" must name where the post goes.'})),
                ('/api/list/held/forward', dict(ref, file='0d0d0000.ml', address='a@b.c', header='yes'),
                 (400, {'error': '"header" must be true or false.'})),
                ('/api/list/held/reject', dict(ref, file='0d0d0000.ml', reason='a\r\nBcc: x@y.z'),
                 (400, {'error': 'The reason and the address may not hold control characters.'}))]:
            self.assertEqual(s.post(path, body), want, (path, body))
        # Four posts of a member are held; each action takes one.
        smtp = smtplib.SMTP(HOST, SMTP_PORT, timeout=10)
        for n in range(4):
            smtp.sendmail('ann@example.org', ['mods@mail.example.org'],
                          'From: ann@example.org\r\nSubject: post %d\r\n\r\nbody %d\r\n' % (n, n))
        smtp.quit()
        held, deadline = [], time.time() + 30
        while len(held) < 4 and time.time() < deadline:
            time.sleep(0.2)
            status, body = s.get('/api/list?name=mods')
            self.assertEqual(status, 200, body)
            held = body['held']
        self.assertEqual(sorted(h['subject'] for h in held), ['post 0', 'post 1', 'post 2', 'post 3'])
        self.assertEqual({h['sender'] for h in held}, {'ann@example.org'})
        self.assertEqual(body['heldProblem'], '')
        by_subject = {h['subject']: h['file'] for h in held}
        for path, subject, extra, done in [
                ('/api/list/held/release', 'post 0', {}, 'released'),
                ('/api/list/held/reject', 'post 1', {'reason': 'Off topic'}, 'rejected'),
                ('/api/list/held/forward', 'post 2', {'address': 'root@mail.example.org', 'header': True},
                 'forwarded'),
                ('/api/list/held/delete', 'post 3', {}, 'deleted')]:
            name = by_subject[subject]
            self.assertEqual(s.post(path, dict(ref, file=name, **extra)),
                             (200, {'result': done, 'file': name}), path)
            # Acted on once: the same action again finds nothing.
            status, reply = s.post(path, dict(ref, file=name, **extra))
            self.assertEqual(status, 409, reply)
        self.assertEqual(s.get('/api/list?name=mods')[1]['held'], [])
        log = s.get('/api/log')[1]['lines']
        for done in ['released', 'rejected', 'forwarded', 'deleted']:
            self.assertTrue(any(('of list mods %s.' % done) in l for l in log), done)

    def test_live_log_shows_a_message_sent_by_smtp(self):
        s = Session()
        conn = http.client.HTTPConnection(HOST, PORT, timeout=10)
        conn.request('GET', '/api/log/stream', headers={'Cookie': s.cookie})
        res = conn.getresponse()
        self.assertEqual(res.status, 200)
        self.assertTrue(res.getheader('Content-Type').startswith('text/event-stream'))
        marker = 'marker-%d@mail.example.org' % os.getpid()
        smtp = smtplib.SMTP(HOST, SMTP_PORT, timeout=10)
        try:
            smtp.sendmail(marker, ['root@mail.example.org'], 'Subject: log\r\n\r\nlog me\r\n')
        finally:
            smtp.quit()
        seen, deadline = '', time.time() + 15
        while marker not in seen and time.time() < deadline:
            line = res.fp.readline().decode('utf-8', 'replace')
            if not line:
                break
            seen += line
        conn.close()
        self.assertIn(marker, seen)
        self.assertIn('id: ', seen)

    def test_log_download(self):
        status, _, res = request('GET', '/api/log/file', cookie=Session().cookie)
        self.assertEqual(status, 200)
        self.assertIn('maillog.txt', res.getheader('Content-Disposition'))

    def test_a_10_mb_request_is_refused(self):
        s = Session()
        sock = socket.create_connection((HOST, PORT), timeout=10)
        size = 10 * 1024 * 1024
        head = ('POST /api/config HTTP/1.1\r\nHost: x\r\nCookie: %s\r\nX-CSRF-Token: %s\r\n'
                'Content-Type: application/json\r\nContent-Length: %d\r\n\r\n'
                % (s.cookie, s.csrf, size)).encode()
        reply = b''
        try:
            sock.sendall(head)
            chunk = b' ' * 65536
            for _ in range(size // len(chunk)):
                sock.sendall(chunk)
        except OSError:
            pass  # the server may close before it has it all
        try:
            while True:
                data = sock.recv(65536)
                if not data:
                    break
                reply += data
        except OSError:
            pass
        sock.close()
        if reply:
            self.assertTrue(reply.startswith(b'HTTP/1.1 413'), reply[:100])
        self.assertEqual(s.get('/api/status')[0], 200, 'the server still answers')
        values = {v['name']: v for v in s.get('/api/config')[1]['values']}
        self.assertFalse(values['InQueueTime']['stored'] and values['InQueueTime']['value'] != '5')

    def test_a_slow_client_does_not_block_others(self):
        slow = socket.create_connection((HOST, PORT), timeout=10)
        slow.sendall(b'GET /api/status HTTP/1.1\r\nHost: x\r\n')
        stop = threading.Event()

        def trickle():
            while not stop.wait(0.5):
                try:
                    slow.sendall(b'X-Slow: 1\r\n')
                except OSError:
                    return
        t = threading.Thread(target=trickle)
        t.start()
        try:
            s = Session()
            for _ in range(20):
                start = time.time()
                self.assertEqual(s.get('/api/status')[0], 200)
                self.assertLess(time.time() - start, 2.0)
        finally:
            stop.set()
            t.join()
            slow.close()

    def test_z_failed_logins_are_limited(self):
        # Last: it locks this address out for the rest of the run.
        start = time.time()
        for i in range(5):
            status, body, _ = request('POST', '/api/login', {'password': 'wrong-%d' % i})
            self.assertEqual((status, body), (401, {'error': 'Wrong password.'}))
        self.assertGreater(time.time() - start, 2.0, 'each failure is delayed')
        status, body, res = request('POST', '/api/login', {'password': PASSWORD})
        self.assertEqual(status, 429)
        self.assertTrue(body['error'].startswith('Too many failed logins from this address'))
        self.assertGreater(int(res.getheader('Retry-After')), 500)
        for bad in [{'password': 5}, {}, None]:
            status, _, _ = request('POST', '/api/login', bad, raw=b'x' if bad is None else None)
            self.assertEqual(status, 429)


if __name__ == '__main__':
    unittest.main(argv=[sys.argv[0], '-v'] + sys.argv[6:])
