#!/bin/bash
# Builds the resolver's libFuzzer target and runs it for SECONDS (default 30),
# starting from a few real answers. Needs clang with libFuzzer (Debian: clang,
# libclang-rt-14-dev). Exits non-zero when the fuzzer finds a crash.
#
#   tests/mx/fuzz/run_fuzz.sh [SECONDS] [WORKDIR]
set -eu
seconds=${1:-30}
work=${2:-$(mktemp -d /tmp/corvel-mx-fuzz-XXXXXX)}
root=$(cd "$(dirname "$0")/../../.." && pwd)
cxx=${CLANGXX:-clang++}
mkdir -p "$work/corpus"
"$cxx" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root" "$root/tests/mx/fuzz/dns_parser_fuzz.cpp" "$root/server/mx/dns_packet.cpp" \
  "$root/server/mx/mx_cache.cpp" -o "$work/dns_parser_fuzz"
# Seeds: an MX answer with compression and glue, a CNAME chain, a negative answer.
printf '\x00\x07\x81\x80\x00\x01\x00\x02\x00\x00\x00\x01\x03mx3\x04test\x00\x00\x0f\x00\x01\xc0\x0c\x00\x0f\x00\x01\x00\x00\x0e\x10\x00\x07\x00\x14\x01c\xc0\x0c\xc0\x0c\x00\x0f\x00\x01\x00\x00\x0e\x10\x00\x07\x00\x0a\x01a\xc0\x0c\xc0\x35\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04\x7f\x00\x00\x0b' > "$work/corpus/mx"
printf '\x00\x08\x81\x80\x00\x01\x00\x02\x00\x00\x00\x00\x05chain\x04test\x00\x00\x0f\x00\x01\xc0\x0c\x00\x05\x00\x01\x00\x00\x00\x3c\x00\x09\x06chain2\xc0\x12\xc0\x23\x00\x0f\x00\x01\x00\x00\x00\x3c\x00\x07\x00\x05\x01m\xc0\x12' > "$work/corpus/cname"
printf '\x00\x09\x81\x83\x00\x01\x00\x00\x00\x00\x00\x00\x04none\x04test\x00\x00\x0f\x00\x01' > "$work/corpus/nx"
"$work/dns_parser_fuzz" -max_total_time="$seconds" -max_len=1024 -print_final_stats=1 \
  -artifact_prefix="$work/" "$work/corpus"
