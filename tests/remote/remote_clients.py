"""Small clients of the remote access services for the tests: each prints what it
saw, one fact a line, for the C++ test to compare. Only loopback addresses are
ever contacted.

  remote_clients.py rmcp HOST PORT HEXDATAGRAM...
      sends each datagram (hex, "-" for an empty one) from one socket and prints
      "reply <hex> from <host>:<port>" or "none" for each (0.3 s wait).
  remote_clients.py dialogue HOST PORT LINE...
      prints the greeting, then sends each line and prints the reply line.
  remote_clients.py listen HOST PORT SECONDS
      accepts connections for SECONDS (or until a connection came and a second
      passed without another) and prints "connection <repr of bytes>" for each.
  remote_clients.py pop HOST PORT USER PASSWORD
      logs in with USER/PASS, retrieves and deletes every message, prints
      "login <reply>" and "deleted <count>", or "failed <reply>".
"""
import poplib
import socket
import sys
import time


def rmcp(host, port, datagrams):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    s.settimeout(0.3)
    for d in datagrams:
        s.sendto(b"" if d == "-" else bytes.fromhex(d), (host, port))
        try:
            data, source = s.recvfrom(4096)
            print("reply %s from %s:%d" % (data.hex(), source[0], source[1]))
        except socket.timeout:
            print("none")


def dialogue(host, port, lines):
    s = socket.create_connection((host, port), timeout=10)
    f = s.makefile("rb")
    print("greeting %r" % f.readline())
    for line in lines:
        s.sendall(line.encode("latin-1") + b"\r\n")
        print("reply %r" % f.readline())


def listen(host, port, seconds):
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind((host, port))
    srv.listen(5)
    print("listening", flush=True)
    end = time.time() + seconds
    seen = 0
    while time.time() < end:
        srv.settimeout(max(0.1, end - time.time()))
        try:
            conn, _ = srv.accept()
        except socket.timeout:
            break
        conn.settimeout(5)
        data = b""
        while not data.endswith(b"\n"):
            chunk = conn.recv(4096)
            if not chunk:
                break
            data += chunk
        conn.close()
        print("connection %r" % data, flush=True)
        seen += 1
        end = min(end, time.time() + 1.0)


def pop(host, port, user, password):
    p = poplib.POP3(host, port, timeout=10)
    try:
        p.user(user)
        print("login %s" % p.pass_(password).decode())
    except poplib.error_proto as e:
        print("failed %s" % e.args[0].decode())
        return
    count, _ = p.stat()
    for n in range(1, count + 1):
        p.retr(n)
        p.dele(n)
    p.quit()
    print("deleted %d" % count)


def main():
    cmd, host, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
    rest = sys.argv[4:]
    if cmd == "rmcp":
        rmcp(host, port, rest)
    elif cmd == "dialogue":
        dialogue(host, port, rest)
    elif cmd == "listen":
        listen(host, port, float(rest[0]))
    elif cmd == "pop":
        pop(host, port, rest[0], rest[1])


if __name__ == "__main__":
    main()
