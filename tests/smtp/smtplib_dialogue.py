#!/usr/bin/env python3
"""Talks to a Corvel SMTP server with Python's smtplib, as a real client would.

Usage: smtplib_dialogue.py PORT BODY_FILE

Checks EHLO with SIZE, VRFY, EXPN, HELP, a refused relay, RSET, a message with
several recipients whose body (read from BODY_FILE, CRLF line ends) holds "."
lines and long lines, a HELO session, and a client that drops the connection in
the middle of DATA. Prints "ok" and exits 0, or prints the failed check and
exits 1. Only ever connects to 127.0.0.1.
"""
import smtplib
import socket
import sys


def check(cond, what):
    if not cond:
        print("FAILED: " + what)
        sys.exit(1)


def main():
    port = int(sys.argv[1])
    with open(sys.argv[2], "rb") as f:
        body = f.read()

    s = smtplib.SMTP("127.0.0.1", port, local_hostname="py.test", timeout=30)
    code, _ = s.ehlo()
    check(code == 250, "EHLO answered 250")
    check(s.does_esmtp, "ESMTP recognised")
    check(s.has_extn("size") and s.esmtp_features["size"] == "100000000", "SIZE 100000000")
    check(s.has_extn("etrn") and s.has_extn("expn"), "ETRN and EXPN advertised")
    check(not s.has_extn("turn"), "TURN never advertised")

    code, msg = s.verify("alice")
    check((code, msg) == (250, b"Alice Smith<alice@mail.test>."), "VRFY alice: %r" % msg)
    code, msg = s.verify("nobody")
    check(code == 550, "VRFY nobody refused")
    code, msg = s.expn("team")
    check(code == 250 and msg.split(b"\n") == [b"<m1@x.test>", b"<m2@x.test>"],
          "EXPN team: %r" % msg)
    check(b"Commands:" in s.help(), "HELP")
    check(b"RCPT TO:<recipient>" in s.help("RCPT"), "HELP RCPT")

    # A refused relay, then RSET.
    code, _ = s.mail("sender@remote.test")
    check(code == 250, "MAIL")
    code, msg = s.rcpt("victim@far.test")
    check((code, msg) == (550, b"Relaying denied."), "relay refused: %r" % msg)
    code, _ = s.rset()
    check(code == 250, "RSET")

    # Several recipients, one of them refused; SIZE is declared by smtplib.
    refused = s.sendmail("sender@remote.test",
                         ["alice@mail.test", "root@mail.test", "victim@far.test"], body)
    check(refused == {"victim@far.test": (550, b"Relaying denied.")}, "refused: %r" % refused)
    code, msg = s.docmd("ETRN", "some.node")
    check((code, msg) == (250, b"OK, no messages in queue for node"), "ETRN: %r" % msg)
    s.quit()

    # Plain HELO.
    s = smtplib.SMTP("127.0.0.1", port, local_hostname="helo.test", timeout=30)
    code, msg = s.helo()
    check((code, msg) == (250, b"mail.test"), "HELO: %r" % msg)
    s.sendmail("other@remote.test", ["root@mail.test"], b"Subject: second\r\n\r\nhello\r\n")
    s.quit()

    # A client that goes away in the middle of DATA.
    s = smtplib.SMTP("127.0.0.1", port, local_hostname="drop.test", timeout=30)
    s.ehlo()
    s.mail("dropper@remote.test")
    s.rcpt("alice@mail.test")
    s.putcmd("data")
    code, _ = s.getreply()
    check(code == 354, "DATA")
    s.send(b"Subject: never finished\r\n\r\nhalf a message")
    s.sock.shutdown(socket.SHUT_RDWR)
    s.sock.close()
    print("ok")


main()
