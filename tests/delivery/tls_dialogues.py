# Real clients against a corvel95 with TLS switched on: smtplib, poplib and ssl.
# Prints one line per case; the test compares the whole output.
import poplib, smtplib, socket, ssl, sys

smtp, submission, smtps, pop, pops = (int(p) for p in sys.argv[1:6])
ctx = ssl.create_default_context()
ctx.check_hostname = False
ctx.verify_mode = ssl.CERT_NONE
MSG = "Subject: t\r\n\r\nbody\r\n"


def ehlo_words(s):
    code, text = s.ehlo("client.example")
    return " ".join(l.split()[0].decode() for l in text.splitlines()[1:])


def out(name, value):
    print(f"{name}: {value}")


def auth(name, mech, user, password, port=smtp):
    s = smtplib.SMTP("127.0.0.1", port, timeout=10)
    s.starttls(context=ctx)
    s.ehlo("client.example")
    s.user, s.password = user, password
    try:
        code, _ = s.auth(mech, getattr(s, "auth_" + mech.lower().replace("-", "_")),
                         initial_response_ok=(mech != "LOGIN"))
    except smtplib.SMTPAuthenticationError as e:
        code = e.smtp_code
    except smtplib.SMTPResponseException as e:
        code = e.smtp_code
    out(name, code)
    s.quit()


s = smtplib.SMTP("127.0.0.1", smtp, timeout=10)
out("ehlo clear", ehlo_words(s))
code, text = s.docmd("AUTH", "PLAIN AGFsaWNlAHNlY3JldDE=")
out("auth before tls", f"{code} {text.decode()}")
s.starttls(context=ctx)
out("version", s.sock.version())
out("ehlo tls", ehlo_words(s))
code, text = s.docmd("STARTTLS")
out("second starttls", f"{code} {text.decode()}")
s.quit()

auth("plain good", "PLAIN", "alice", "secret1")
auth("login good", "LOGIN", "Alice", "secret1")
auth("cram good", "CRAM-MD5", "alice", "secret1")
auth("alias good", "PLAIN", "sales", "secret1")
auth("plain bad", "PLAIN", "alice", "wrong")
auth("unknown user", "LOGIN", "nobody", "secret1")
auth("no access bit", "PLAIN", "carol", "secret3")
auth("cram bad", "CRAM-MD5", "alice", "wrong")

# Malformed exchanges inside TLS: bad base64 (as an initial response and as an
# answer), an answer longer than a command line, a cancelled exchange; the session
# still answers afterwards, and MAIL takes an AUTH= parameter.
s = smtplib.SMTP("127.0.0.1", smtp, timeout=10)
s.starttls(context=ctx)
s.ehlo("client.example")
for name, first, answer in [("bad base64 initial", "AUTH PLAIN ab$c", None),
                            ("bad base64 answer", "AUTH LOGIN", b"!!!!"),
                            ("long answer", "AUTH PLAIN", b"QUFB" * 2000),
                            ("cancelled", "AUTH LOGIN", b"*")]:
    code, text = s.docmd(first)
    if answer is not None:
        s.send(answer + b"\r\n")
        code, text = s.getreply()
    out(name, f"{code} {text.decode()}")
out("noop after", s.docmd("NOOP")[0])
code, text = s.docmd("MAIL FROM:<alice@mail.example.org> AUTH=<>")
out("mail auth param", code)
s.quit()

# Ten failures from one address within ten minutes (at once, each answered after
# its delay): the eleventh AUTH gets 454 without a check.
def fail_once(results):
    c = smtplib.SMTP("127.0.0.1", smtp, timeout=10, source_address=("127.0.0.3", 0))
    c.starttls(context=ctx)
    c.ehlo("client.example")
    results.append(c.docmd("AUTH PLAIN AGFsaWNlAHdyb25n")[0])  # alice, wrong
    c.quit()

import threading
results = []
threads = [threading.Thread(target=fail_once, args=(results,)) for _ in range(10)]
for th in threads:
    th.start()
for th in threads:
    th.join()
out("ten failures", " ".join(str(r) for r in sorted(set(results))) + f" x{len(results)}")
s = smtplib.SMTP("127.0.0.1", smtp, timeout=10, source_address=("127.0.0.3", 0))
s.starttls(context=ctx)
s.ehlo("client.example")
code, text = s.docmd("AUTH PLAIN AGFsaWNlAHNlY3JldDE=")  # alice, right
out("eleventh", f"{code} {text.decode()}")
s.quit()

# Relaying from outside RelayNetworks: refused, then allowed once authenticated.
s = smtplib.SMTP("127.0.0.1", smtp, timeout=10, source_address=("127.0.0.2", 0))
s.starttls(context=ctx)
s.ehlo("client.example")
s.mail("alice@mail.example.org")
code, text = s.rcpt("someone@far.example")
out("relay unauthenticated", f"{code} {text.decode()}")
s.rset()
s.login("alice", "secret1")
s.mail("alice@mail.example.org")
out("relay authenticated", s.rcpt("someone@far.example")[0])
s.quit()

# Submission: MAIL needs AUTH, AUTH needs TLS.
s = smtplib.SMTP("127.0.0.1", submission, timeout=10)
s.ehlo("client.example")
code, text = s.docmd("MAIL FROM:<alice@mail.example.org>")
out("submission mail first", f"{code} {text.decode()}")
s.starttls(context=ctx)
s.login("alice", "secret1")
out("submission send", s.sendmail("alice@mail.example.org", ["bob@mail.example.org"], MSG) or "ok")
s.quit()

# SMTP over TLS from the first byte.
s = smtplib.SMTP_SSL("127.0.0.1", smtps, timeout=10, context=ctx)
s.ehlo("client.example")
s.login("alice", "secret1")
out("smtps send", s.sendmail("alice@mail.example.org", ["bob@mail.example.org"],
                             MSG + "AUTH=ok\r\n") or "ok")
s.quit()

# Plaintext injection: one packet carries STARTTLS and RSET; only the 220 answers.
raw = socket.create_connection(("127.0.0.1", smtp), timeout=10)
f = raw.makefile("rb")
while f.readline()[3:4] == b"-":
    pass
raw.sendall(b"EHLO client.example\r\n")
while f.readline()[3:4] == b"-":
    pass
raw.sendall(b"STARTTLS\r\nRSET\r\n")
out("injection reply", f.readline().decode().strip())
t = ctx.wrap_socket(raw, server_hostname=None, do_handshake_on_connect=True)
t.settimeout(1.5)
try:
    got = t.recv(100)
    out("injection after", repr(got))
except socket.timeout:
    out("injection after", "nothing")
t.sendall(b"EHLO client.example\r\n")
out("injection ehlo", t.recv(4096).decode().splitlines()[0])
t.close()

# POP3: CAPA, STLS, login inside TLS; POP3 over TLS.
p = poplib.POP3("127.0.0.1", pop, timeout=10)
out("capa clear", " ".join(sorted(p.capa())))
p.stls(context=ctx)
out("capa tls", " ".join(sorted(p.capa())))
p.user("alice")
out("pop3 stls login", p.pass_("secret1").decode().split(" has ")[0])
p.quit()
p = poplib.POP3_SSL("127.0.0.1", pops, timeout=10, context=ctx)
p.user("bob")
out("pop3s login", p.pass_("secret2").decode().split(" has ")[0])
p.quit()
