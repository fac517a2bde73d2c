#!/usr/bin/env python3
"""Load for two nodes that share one registry and one mailbox directory.

Senders hand COUNT messages alternately to node A and node B (smtplib, and swaks
for every SWAKS_EVERY-th), each to one of USERS, retrying whatever is answered
with 4xx or refused; readers empty the mailboxes with poplib, alternately on A
and on B, while the senders run. Every message carries its number in its subject
and in its body: a message read twice, never, or with another's body (a mailbox
whose separators were damaged) is reported.

usage: two_node_load.py HOST_A HOST_B SMTP_PORT POP_PORT PASSWORD COUNT USER...
Prints one line of figures; exits 0 when every message was read exactly once.
Environment: LOAD_TIMEOUT (seconds, default 240), SWAKS_EVERY (default 100, 0 =
no swaks), SENDERS (default 4), SEND_PAUSE (seconds each sender waits after a
message, default 0: a load that lasts).
"""
import os
import poplib
import re
import smtplib
import subprocess
import sys
import threading
import time

host_a, host_b, smtp_port, pop_port, password, count = sys.argv[1:7]
users = sys.argv[7:]
smtp_port, pop_port, count = int(smtp_port), int(pop_port), int(count)
hosts = [host_a, host_b]
timeout = float(os.environ.get("LOAD_TIMEOUT", "240"))
swaks_every = int(os.environ.get("SWAKS_EVERY", "100"))
senders = int(os.environ.get("SENDERS", "4"))
send_pause = float(os.environ.get("SEND_PAUSE", "0"))
domain = "mail.example.org"

lock = threading.Lock()
seen = {}            # message number -> times read
bad = []             # messages whose subject and body disagree
stats = {"temp": 0, "refused": 0, "sent": 0, "pop_busy": 0, "swaks": 0}
sent_done = threading.Event()
deadline = time.time() + timeout
subject_re = re.compile(rb"^Subject: load (\d+)$", re.M)
body_re = re.compile(rb"^body of (\d+) to (\S+)$", re.M)


def note(key, n=1):
    with lock:
        stats[key] += n


def message(i):
    user = users[i % len(users)]
    text = ("From: load@example.net\r\nTo: %s@%s\r\nSubject: load %d\r\n"
            "Message-Id: <load.%d@example.net>\r\n\r\nbody of %d to %s\r\n"
            "From the middle of a line\r\n.\r\nend\r\n" % (user, domain, i, i, i, user))
    return user, text


def send_smtplib(host, user, text, conns):
    conn = conns.get(host)
    try:
        if conn is None:
            conn = smtplib.SMTP(host, smtp_port, timeout=30)
            conns[host] = conn
        conn.sendmail("load@example.net", ["%s@%s" % (user, domain)], text)
        return True
    except smtplib.SMTPRecipientsRefused as e:
        code = list(e.recipients.values())[0][0]
        note("temp" if 400 <= code < 500 else "refused")
        try:
            conn.rset()
        except Exception:
            conns.pop(host, None)
        return False
    except smtplib.SMTPResponseException as e:
        note("temp" if 400 <= e.smtp_code < 500 else "refused")
        conns.pop(host, None)
        return False
    except (OSError, smtplib.SMTPException):
        note("temp")
        conns.pop(host, None)
        return False


def send_swaks(host, user, text):
    body = text.split("\r\n\r\n", 1)[1].replace("\r\n", "\n")
    subject = re.search(r"Subject: (.*)\r\n", text).group(1)
    msgid = re.search(r"Message-Id: (.*)\r\n", text).group(1)
    rc = subprocess.run(
        ["swaks", "--silent", "2", "--server", host, "--port", str(smtp_port),
         "--from", "load@example.net", "--to", "%s@%s" % (user, domain),
         "--header", "Subject: " + subject, "--header", "Message-Id: " + msgid,
         "--body", body], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
    if rc != 0:
        note("temp")
    return rc == 0


def sender(first):
    conns = {}
    for i in range(first, count, senders):
        host = hosts[i % 2]
        user, text = message(i)
        while time.time() < deadline:
            if swaks_every and i % swaks_every == 0:
                ok = send_swaks(host, user, text)
                if ok:
                    note("swaks")
            else:
                ok = send_smtplib(host, user, text, conns)
            if ok:
                note("sent")
                time.sleep(send_pause)
                break
            time.sleep(0.2)
    for c in conns.values():
        try:
            c.quit()
        except Exception:
            pass


def read_box(host, user):
    try:
        p = poplib.POP3(host, pop_port, timeout=30)
    except OSError:
        note("pop_busy")
        return
    try:
        p.user(user)
        p.pass_(password)
    except poplib.error_proto:
        # The mailbox is held by a session on the other node (or the database
        # is out of reach): try again later.
        note("pop_busy")
        try:
            p.quit()
        except Exception:
            pass
        return
    # What was read counts once the session ended with QUIT: a session cut
    # short deletes nothing, and its messages are read again.
    got, damaged = [], []
    try:
        n = p.stat()[0]
        for k in range(1, n + 1):
            lines = p.retr(k)[1]
            raw = b"\n".join(lines)
            subj = subject_re.findall(raw)
            body = body_re.findall(raw)
            if len(subj) != 1 or len(body) != 1 or body[0][0] != subj[0] or \
                    body[0][1].decode() != user:
                damaged.append(raw[:300])
            got += [int(s) for s in subj]
            p.dele(k)
        p.quit()
    except (poplib.error_proto, OSError):
        note("pop_busy")
        return
    with lock:
        bad.extend(damaged)
        for s in got:
            seen[s] = seen.get(s, 0) + 1


def reader(offset):
    turn = offset
    while time.time() < deadline:
        done = sent_done.is_set()
        for u in users:
            read_box(hosts[turn % 2], u)
            turn += 1
        with lock:
            complete = len(seen) >= count
        if done and complete:
            return
        # Once everything is sent, rarer rounds: a session holding a mailbox
        # makes a delivery to it wait for the router's next look at parked files.
        time.sleep(2.0 if done else 0.5)


threads = [threading.Thread(target=sender, args=(k,)) for k in range(senders)]
readers = [threading.Thread(target=reader, args=(k,)) for k in range(2)]
start = time.time()
for t in threads + readers:
    t.start()
for t in threads:
    t.join()
sent_done.set()
send_secs = time.time() - start
for t in readers:
    t.join()
missing = [i for i in range(count) if i not in seen]
twice = [i for i, n in seen.items() if n != 1]
print("sent %d (swaks %d) in %.1f s; read %d in %.1f s; missing %d; read twice %d; damaged %d; "
      "4xx/retries %d; refused %d; pop busy %d" %
      (stats["sent"], stats["swaks"], send_secs, len(seen), time.time() - start, len(missing), len(twice), len(bad),
       stats["temp"], stats["refused"], stats["pop_busy"]))
for b in bad[:5]:
    print("damaged:", b)
if missing:
    print("missing:", missing[:20])
if twice:
    print("read twice:", twice[:20])
ok = stats["sent"] == count and not missing and not twice and not bad and stats["refused"] == 0
sys.exit(0 if ok else 1)
