"""Reads and flags mail on the server under test with Python's imaplib and
prints what it saw, one fact a line, for the C++ test to compare.

Usage: imaplib_dialogue.py PORT USER PASSWORD
Only 127.0.0.1 is ever contacted.
"""
import imaplib
import sys


def show(label, typ, data):
    parts = []
    for d in data:
        if isinstance(d, tuple):
            parts.append(b"|".join(d).decode())
        elif d is not None:
            parts.append(d.decode() if isinstance(d, bytes) else str(d))
    print(label, typ, " ".join(parts).replace("\r\n", "~"))


def main():
    port, user, password = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    m = imaplib.IMAP4("127.0.0.1", port, timeout=20)
    # The password as a synchronising literal.
    m.literal = password.encode()
    typ, data = m._simple_command("LOGIN", user)
    print("login", typ)
    if typ == "OK":
        m.state = "AUTH"  # what login() would have noted
    show("select", *m.select("INBOX"))
    show("uids", *m.uid("FETCH", "1:*", "(UID FLAGS RFC822.SIZE)"))
    show("partial", *m.fetch("1", "(BODY.PEEK[]<0.12>)"))
    show("last", *m.uid("FETCH", "*", "(UID)"))
    show("range", *m.uid("SEARCH", "UID", "2:*"))
    other = imaplib.IMAP4("127.0.0.1", port, timeout=20)
    other.login(user, password)
    other.select("INBOX")
    show("store", *m.store("2", "+FLAGS", "(\\Flagged)"))
    typ, data = other.noop()
    show("seen-by-other", "FETCH", other.response("FETCH")[1])
    show("flagged", *other.search(None, "FLAGGED"))
    m.store("3", "+FLAGS", "(\\Deleted)")
    show("expunge", *m.expunge())
    typ, data = other.noop()
    show("other-expunge", "EXPUNGE", other.response("EXPUNGE")[1])
    other.logout()
    # APPEND with flags, a keyword and a date-time in a zone of its own.
    when = imaplib.Time2Internaldate(1796378400)  # 04-Dec-2026 10:00:00 UTC, local form
    typ, data = m.append("INBOX", "(\\Flagged $Label1)", when,
                         b"Subject: appended\r\n\r\nby imaplib\r\n")
    print("append", typ)
    show("appended", *m.uid("FETCH", "*", "(FLAGS INTERNALDATE)"))
    try:
        m.append("INBOX", None, '"31-Feb-2026 10:00:00 +0000"', b"x\r\n")
        print("bad-date accepted")
    except imaplib.IMAP4.error as e:
        print("bad-date", str(e).split(":")[0])
    print("logout", m.logout()[0])


if __name__ == "__main__":
    main()
