#!/usr/bin/env python3
# Verifies every DKIM-Signature of a message with dkimpy, the key records taken
# from a file instead of the DNS ("NAME VALUE" per line, NAME without the final
# dot). Prints one word per signature, in header order: pass or fail.
import sys

import dkim


def main():
    message = open(sys.argv[1], 'rb').read()
    records = {}
    for line in open(sys.argv[2], encoding='ascii'):
        line = line.strip()
        if line:
            name, value = line.split(' ', 1)
            records[name.lower().rstrip('.')] = value.encode()

    def lookup(name, timeout=5):
        if isinstance(name, bytes):
            name = name.decode()
        return records.get(name.lower().rstrip('.'))

    head = message.split(b'\r\n\r\n', 1)[0]
    count = sum(1 for line in head.split(b'\r\n') if line.lower().startswith(b'dkim-signature:'))
    verifier = dkim.DKIM(message)
    words = []
    for i in range(count):
        try:
            ok = verifier.verify(idx=i, dnsfunc=lookup)
        except Exception:
            ok = False
        words.append('pass' if ok else 'fail')
    print(' '.join(words) if words else 'none')


main()
