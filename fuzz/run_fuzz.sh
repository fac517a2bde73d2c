#!/bin/sh
# Builds the libFuzzer targets of the spool code with clang (address sanitizer,
# not through the main CMake build) and runs each for SECONDS seconds.
# Usage: fuzz/run_fuzz.sh SECONDS [BUILD_DIR]
# Exits non-zero when a target does not build or a run finds a crash.
set -eu

SECONDS_EACH=${1:-60}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT=${2:-$ROOT/build-fuzz}
CXX=${FUZZ_CXX:-clang++}
CXXFLAGS="-std=c++20 -g -O1 -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -I$ROOT"
TARGETS="normalize_fuzz envelope_fuzz header_fuzz"
# The code under test and what it links against: the spool code, the account
# database behind display names, configuration and logging, the platform layer.
SOURCES="server/spool/spool.cpp server/spool/address.cpp server/spool/headers.cpp server/spool/bounce.cpp
server/spool/cleanup.cpp server/accounts/accounts.cpp server/accounts/domains.cpp
server/core/config.cpp server/core/log.cpp server/core/strings.cpp
platform/errors.cpp platform/files.cpp platform/home.cpp platform/registry.cpp
platform/tick.cpp"

command -v "$CXX" >/dev/null || { echo "run_fuzz: $CXX not found (apt-get install clang)" >&2; exit 2; }
mkdir -p "$OUT/obj"

objects=""
for src in $SOURCES; do
  obj="$OUT/obj/$(echo "$src" | tr '/' '_').o"
  if [ ! -f "$obj" ] || [ "$ROOT/$src" -nt "$obj" ]; then
    $CXX $CXXFLAGS -c "$ROOT/$src" -o "$obj"
  fi
  objects="$objects $obj"
done

status=0
for t in $TARGETS; do
  $CXX $CXXFLAGS -fsanitize=fuzzer "$ROOT/fuzz/$t.cpp" $objects -lsqlite3 -lpthread -ldl -o "$OUT/$t"
  corpus="$OUT/corpus/$t"
  mkdir -p "$corpus"
  seeds="$ROOT/fuzz/seeds/$t"
  [ -d "$seeds" ] || seeds=""
  echo "run_fuzz: $t for ${SECONDS_EACH}s"
  if ! (cd "$OUT" && "./$t" -max_total_time="$SECONDS_EACH" -max_len=20000 -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 "$corpus" $seeds); then
    echo "run_fuzz: $t FAILED (reproducer in $OUT)" >&2
    status=1
  fi
done
exit $status
