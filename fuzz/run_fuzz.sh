#!/bin/sh
# Builds the libFuzzer targets of the spool code, the SMTP and POP3 command
# parsers, IMAP's MIME structure and the registry's text importer with clang (address sanitizer,
# not through the main CMake build) and runs each for SECONDS seconds.
# Usage: fuzz/run_fuzz.sh SECONDS [BUILD_DIR]
# FUZZ_TARGETS="a b" runs only the named targets.
# Exits non-zero when a target does not build or a run finds a crash.
set -eu

SECONDS_EACH=${1:-60}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT=${2:-$ROOT/build-fuzz}
CXX=${FUZZ_CXX:-clang++}
CXXFLAGS="-std=c++20 -g -O1 -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -I$ROOT $(pkg-config --cflags libpq)"
TARGETS=${FUZZ_TARGETS:-"normalize_fuzz envelope_fuzz header_fuzz smtp_command_fuzz pop3_command_fuzz reg_import_fuzz imap_mime_fuzz"}
# The code under test and what it links against: the spool code, the account
# database behind display names, the SMTP and POP3 vocabularies, configuration
# and logging, and the whole platform layer. They go into one archive, so the
# linker takes only the members a target needs.
mkdir -p "$OUT/obj"
OUT=$(cd "$OUT" && pwd)
cd "$ROOT"
# An object is rebuilt when its source or any header is newer.
NEWEST_HEADER=$(ls -t $(find server platform -name '*.h' -o -name '*.inc') | head -1)
SOURCES="$(ls server/spool/*.cpp) server/accounts/accounts.cpp server/accounts/domains.cpp
server/smtp/smtp_words.cpp server/pop3/pop3_words.cpp server/pop3/md5.cpp
server/imap/imap_mime.cpp server/imap/imap_parse.cpp
server/core/config.cpp server/core/log.cpp server/core/strings.cpp $(ls platform/*.cpp)"

command -v "$CXX" >/dev/null || { echo "run_fuzz: $CXX not found (apt-get install clang)" >&2; exit 2; }

objects=""
for src in $SOURCES; do
  obj="$OUT/obj/$(echo "$src" | tr '/' '_').o"
  if [ ! -f "$obj" ] || [ "$ROOT/$src" -nt "$obj" ] || [ "$NEWEST_HEADER" -nt "$obj" ]; then
    $CXX $CXXFLAGS -c "$ROOT/$src" -o "$obj"
  fi
  objects="$objects $obj"
done
rm -f "$OUT/libspoolfuzz.a"
ar qc "$OUT/libspoolfuzz.a" $objects

status=0
for t in $TARGETS; do
  $CXX $CXXFLAGS -fsanitize=fuzzer "$ROOT/fuzz/$t.cpp" "$OUT/libspoolfuzz.a" -lmimetic -lsqlite3 -lpq -lpthread -ldl -o "$OUT/$t"
  corpus="$OUT/corpus/$t"
  mkdir -p "$corpus"
  seeds="$ROOT/fuzz/seeds/$t"
  [ -d "$seeds" ] || seeds=""
  echo "run_fuzz: $t for ${SECONDS_EACH}s"
  if ! (cd "$OUT" && LSAN_OPTIONS="suppressions=$ROOT/.ci/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}" "./$t" -max_total_time="$SECONDS_EACH" -max_len=20000 -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 "$corpus" $seeds); then
    echo "run_fuzz: $t FAILED (reproducer in $OUT)" >&2
    status=1
  fi
done
exit $status
