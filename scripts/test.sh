#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test.
#   scripts/test.sh            the plain build
#   scripts/test.sh asan       the AddressSanitizer + UBSan build
#   scripts/test.sh tsan       the ThreadSanitizer build
#   scripts/test.sh all        all three, one after the other
# The plain run also builds the libFuzzer targets and runs them over their
# saved inputs (their long runs: scripts/fuzz.sh run).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

run_suite() {
  local flavour=$1 dir
  dir=$(scripts/build.sh "$flavour" | tail -n 1)
  echo "== tests of the $flavour build ($dir) =="
  # Sanitizer reports fail the test that caused them. QProcess starts its
  # children in a way ThreadSanitizer takes for a thread after fork; the
  # child runs no code of ours before exec.
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1} \
  UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
  TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:die_after_fork=0:suppressions=$PWD/tests/tsan.supp} \
    ctest --test-dir "$dir" --output-on-failure -j2 --timeout 300
}

case "${1:-plain}" in
  all) scripts/fuzz.sh check; for f in plain asan tsan; do run_suite "$f"; done ;;
  plain) scripts/fuzz.sh check; run_suite plain ;;
  *) run_suite "$1" ;;
esac
