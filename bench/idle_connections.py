#!/usr/bin/env python3
"""idle_connections.py PORT PID [COUNT] - many idle SMTP sessions against corvel95.

Opens COUNT (default 10000) SMTP connections to 127.0.0.1:PORT, reads each
greeting and then leaves them idle. Meanwhile and afterwards it samples the
server process PID: resident memory, thread count and the CPU it burns while
the sessions only sit there; and it times the greeting of fresh sessions (connect
until the first reply line). Prints

  RESULT idle_connections count=N opened=K rss_mb_before=A rss_mb=B threads_before=C
         threads_peak=P threads=D idle_cpu_pct=E greeting_ms_p50=F greeting_ms_p99=G
         greeting_ms_max=H ok=1|0

threads_peak is the most threads seen while the connections were opened (the
network pool grows while its threads are all busy accepting); rss_mb and threads
are taken SETTLE seconds (default 12) after the last connection, with every
session still open.

ok=1 when every connection was opened and greeted. The caller raises the
descriptor limits (this process needs COUNT + a few; the server as many).
Only loopback is used; every socket is closed at the end.
"""
import os
import resource
import socket
import sys
import time


def proc_status(pid):
    rss_kb, threads = 0, 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss_kb = int(line.split()[1])
            elif line.startswith("Threads:"):
                threads = int(line.split()[1])
    return rss_kb / 1024.0, threads


def proc_cpu_s(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def greeting_ms(port):
    t0 = time.perf_counter()
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    try:
        data = b""
        while b"\n" not in data:
            chunk = s.recv(512)
            if not chunk:
                break
            data += chunk
        return (time.perf_counter() - t0) * 1000.0 if data.startswith(b"220") else None
    finally:
        s.close()


def main():
    port, pid = int(sys.argv[1]), int(sys.argv[2])
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 10000
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = count + 64
    if soft < want:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(want, hard), hard))
    settle = float(os.environ.get("SETTLE", "12"))
    rss0, threads0 = proc_status(pid)
    peak = threads0
    socks = []
    greeted = 0
    try:
        for i in range(count):
            try:
                s = socket.create_connection(("127.0.0.1", port), timeout=10)
            except OSError as e:
                print(f"# connection {i} failed: {e}", file=sys.stderr)
                break
            socks.append(s)
            # Read the greetings in batches so the backlog never overflows.
            if len(socks) % 200 == 0 or i == count - 1:
                peak = max(peak, proc_status(pid)[1])
                for t in socks[greeted:]:
                    data = b""
                    try:
                        while b"\n" not in data:
                            chunk = t.recv(512)
                            if not chunk:
                                break
                            data += chunk
                    except OSError:
                        pass
                    if data.startswith(b"220"):
                        greeted += 1
                    else:
                        break
        settled_at = time.perf_counter() + settle
        time.sleep(2.0)  # let the server settle with every session idle
        cpu0, t0 = proc_cpu_s(pid), time.perf_counter()
        samples = []
        for _ in range(50):
            ms = greeting_ms(port)
            if ms is not None:
                samples.append(ms)
            time.sleep(0.1)
        cpu1, t1 = proc_cpu_s(pid), time.perf_counter()
        time.sleep(max(0.0, settled_at - time.perf_counter()))
        rss, threads = proc_status(pid)
    finally:
        for s in socks:
            s.close()
    samples.sort()
    p = lambda q: samples[min(len(samples) - 1, int(q * len(samples)))] if samples else float("nan")
    # The CPU used during the sampling window (which includes the 50 fresh sessions).
    idle_pct = 100.0 * (cpu1 - cpu0) / (t1 - t0)
    ok = len(socks) == count and greeted == count and len(samples) == 50
    print(f"RESULT idle_connections count={count} opened={len(socks)} greeted={greeted} "
          f"rss_mb_before={rss0:.1f} rss_mb={rss:.1f} threads_before={threads0} threads_peak={peak} "
          f"threads={threads} "
          f"idle_cpu_pct={idle_pct:.1f} greeting_ms_p50={p(0.5):.2f} greeting_ms_p99={p(0.99):.2f} "
          f"greeting_ms_max={samples[-1] if samples else float('nan'):.2f} ok={1 if ok else 0}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
