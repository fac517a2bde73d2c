# A POP3 dialogue from a non-loopback address (inside a private network namespace)
# against a corvel95 with Pop3RequireTls: USER/PASS in clear text are refused, APOP
# is not, and after STLS the same USER/PASS log in. One line per step.
import hashlib, re, socket, ssl, sys, time

address, port = sys.argv[1], int(sys.argv[2])
ctx = ssl.create_default_context()
ctx.check_hostname = False
ctx.verify_mode = ssl.CERT_NONE


def connect():
    for _ in range(250):
        try:
            s = socket.create_connection((address, port), timeout=10)
            return s, s.makefile("rb")
        except OSError:
            time.sleep(0.02)
    sys.exit("no POP3 listener on %s:%d" % (address, port))


def ask(s, f, name, line, multi=False):
    s.sendall(line.encode() + b"\r\n")
    first = f.readline().decode().rstrip("\r\n")
    words = []
    if multi and first.startswith("+OK"):
        while (l := f.readline().decode().rstrip("\r\n")) != ".":
            words.append(l)
    print(f"{name}: {first}" + (f" [{' '.join(words)}]" if multi else ""))


s, f = connect()
greeting = f.readline().decode()
stamp = re.search(r"<[^>]*>", greeting).group(0)
ask(s, f, "capa clear", "CAPA", multi=True)
ask(s, f, "user clear", "USER alice")
ask(s, f, "pass clear", "PASS secret1")
ask(s, f, "stls", "STLS")
t = ctx.wrap_socket(s)
tf = t.makefile("rb")
ask(t, tf, "capa tls", "CAPA", multi=True)
ask(t, tf, "user tls", "USER alice")
ask(t, tf, "pass tls", "PASS secret1")
ask(t, tf, "quit", "QUIT")
t.close()

s, f = connect()
stamp = re.search(r"<[^>]*>", f.readline().decode()).group(0)
digest = hashlib.md5((stamp + "secret1").encode()).hexdigest()
ask(s, f, "apop clear", "APOP alice " + digest)
ask(s, f, "quit", "QUIT")
