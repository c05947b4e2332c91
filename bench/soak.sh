#!/bin/sh
# A long run of the plain build (build/korvantel) under a mixed load:
# 1 KiB and 1 MiB pass-through, cache hits, a URL filter of 1,000 rules, the
# keyword filter, ClamAV on a share of the responses, aborted clients and
# CONNECT, all on loopback (bench/soak.py holds the load and the checks).
#
#   bench/soak.sh [SECONDS]        default 1800 (30 minutes)
#
# Every minute it prints the daemon's RSS, threads, open descriptors and the
# requests, failures and logged error and warning lines; at the end whether
# any of them grew between a baseline after the warm-up and the late part of
# the run, or any request failed (exit status 0 only when nothing did), the
# error and warning lines of the whole run and the p99 request time by kind.
# WORKERS=n client threads (6), SOAK_INTERVAL=s print interval (60),
# KORVANTEL_BINARY=path another build, KORVANTEL_KEEP=1 keeps the daemon's
# files. Not a test: it is not part of CTest.
set -e
cd "$(dirname "$0")/.."
SECONDS_TO_RUN=${1:-1800}
case "$SECONDS_TO_RUN" in
    ''|*[!0-9]*) echo "usage: bench/soak.sh [seconds]" >&2; exit 2 ;;
esac
[ -x "${KORVANTEL_BINARY:-build/korvantel}" ] || scripts/build.sh build >/dev/null
for program in /usr/sbin/nginx /usr/sbin/clamd /usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1; do
    [ -e "$program" ] || KORVANTEL_TEST_PEERS=1 scripts/setup.sh >/dev/null
done

SOAK_PID=""
cleanup() {
    if [ -n "$SOAK_PID" ] && kill -0 "$SOAK_PID" 2>/dev/null; then
        # soak.py stops the daemon and its peers by pid when told to end
        kill -TERM "$SOAK_PID" 2>/dev/null || true
        n=0
        while kill -0 "$SOAK_PID" 2>/dev/null && [ $n -lt 300 ]; do sleep 0.1; n=$((n + 1)); done
        kill -KILL "$SOAK_PID" 2>/dev/null || true
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

python3 bench/soak.py "$SECONDS_TO_RUN" &
SOAK_PID=$!
set +e
wait "$SOAK_PID"
status=$?
SOAK_PID=""
exit $status
