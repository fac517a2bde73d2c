"""Collects mail from the server under test with Python's poplib and prints what
it saw, one fact a line, for the C++ test to compare.

Usage: poplib_dialogue.py PORT USER PASSWORD MODE
MODE "apop" logs in with APOP (poplib computes the digest from the greeting),
"user" with USER/PASS. Only 127.0.0.1 is ever contacted.
"""
import poplib
import sys


def main():
    port, user, password, mode = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
    pop = poplib.POP3("127.0.0.1", port, timeout=20)
    if mode == "apop":
        print("login", pop.apop(user, password).decode())
    else:
        pop.user(user)
        print("login", pop.pass_(password).decode())
    count, size = pop.stat()
    print("stat", count, size)
    resp, lines, _ = pop.list()
    print("list", resp.decode(), b",".join(lines).decode())
    resp, lines, _ = pop.uidl()
    print("uidl", b",".join(lines).decode())
    resp, lines, _ = pop.top(1, 0)
    print("top", b"|".join(lines).decode())
    for n in range(1, count + 1):
        resp, lines, octets = pop.retr(n)
        print("retr", n, resp.decode(), b"|".join(lines).decode())
    print("dele", pop.dele(1).decode())
    print("rset", pop.rset().decode())
    print("dele", pop.dele(2).decode())
    print("quit", pop.quit().decode())


if __name__ == "__main__":
    main()
