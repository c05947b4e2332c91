#!/bin/sh
# Installs what is missing, builds the plain and the sanitizer configuration,
# and runs every test in both. Fails when any test fails.
set -e
cd "$(dirname "$0")/.."
KORVANTEL_TEST_PEERS=1 scripts/setup.sh
scripts/build.sh build
scripts/build.sh build-asan -DKORVANTEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
jobs=$(nproc)
status=0
(cd build && ctest --output-on-failure -j "$jobs") || status=1
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
  LSAN_OPTIONS="suppressions=$(pwd)/../tests/lsan.supp" \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure -j "$jobs") || status=1
if [ -x scripts/fuzz.sh ]; then scripts/fuzz.sh || status=1; fi
exit $status
