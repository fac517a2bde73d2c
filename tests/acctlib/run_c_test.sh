#!/bin/sh
# Runs the C test program: once on a fresh registry made by corvelreg, once on a
# registry that does not exist (which the library must not create).
# Usage: run_c_test.sh BIN_DIR
set -eu
bin=$1
dir=$(mktemp -d /tmp/corvel-acctlib-c-XXXXXX)
trap 'rm -rf "$dir"' EXIT
"$bin/corvelreg" --registry "$dir/registry.db" set 'SOFTWARE\Tollgrove\Corvel' LocalNode sz mail.example.org
# The library prints nothing: a passing run leaves standard output empty.
out=$(CORVEL_REGISTRY="$dir/registry.db" "$bin/acctlib_c_test")
[ -z "$out" ] || { echo "unexpected output: $out"; exit 1; }
CORVEL_REGISTRY="$dir/none.db" "$bin/acctlib_c_test" missing
