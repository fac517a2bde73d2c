#!/usr/bin/env python3
# Signs a message with dkimpy for the verification tests:
#   dkim_sign.py MESSAGE KEY SELECTOR DOMAIN  -> the signed message on stdout
import sys

import dkim

message = open(sys.argv[1], 'rb').read()
key = open(sys.argv[2], 'rb').read()
signature = dkim.sign(message, sys.argv[3].encode(), sys.argv[4].encode(), key,
                      canonicalize=(b'relaxed', b'relaxed'),
                      include_headers=[b'from', b'to', b'subject', b'date'])
sys.stdout.buffer.write(signature + message)
