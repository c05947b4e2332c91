#!/bin/sh
# Builds the libFuzzer targets (tests/fuzz/fuzz_*.cpp) in the clang tree
# build-fuzz and runs each for a while: scripts/fuzz.sh [seconds, default 20].
# Fails when a target cannot be built or a fuzzer finds a crash.
set -e
cd "$(dirname "$0")/.."
seconds="${1:-20}"
dir=build-fuzz

if ! command -v clang++ >/dev/null 2>&1; then
  SUDO=""
  [ "$(id -u)" = 0 ] || SUDO=sudo
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends clang
fi

cmake -S . -B "$dir" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANTEL_FUZZ=ON >/dev/null

targets=""
for src in tests/fuzz/fuzz_*.cpp; do
  [ -e "$src" ] || continue
  targets="$targets $(basename "$src" .cpp)"
done
[ -n "$targets" ] || { echo "no fuzz targets"; exit 0; }

for target in $targets; do
  cmake --build "$dir" -j "$(nproc)" --target "$target"
done

# A few valid encodings give the coding fuzzer a start past the headers.
seed_coding() {
  python3 - "$1" <<'PY' || true
import base64, gzip, io, os, sys, zlib
out = sys.argv[1]
text = b"<html><body>" + b"Some text, some more text. " * 40 + b"</body></html>"
raw = zlib.compressobj(9, zlib.DEFLATED, -15)
buf = io.BytesIO()
with gzip.GzipFile(filename="page.html", mode="wb", fileobj=buf, mtime=0) as f:
    f.write(text)
samples = {
    "gzip": gzip.compress(text),
    "gzip-name": buf.getvalue(),
    "zlib": zlib.compress(text),
    "raw": raw.compress(text) + raw.flush(),
    "stored": zlib.compress(text[:100], 0),
    "base64": b"\x40" + base64.b64encode(text[:40]),
    "basic": b"\x20+ dXNlcjpwYXNzd29yZA==\r\n",
    "blowfish": b"user:pass\x00NZkMl/KeEHw/MN8G2.GDQZx.",
}
for name, data in samples.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
PY
}

status=0
for target in $targets; do
  corpus="$dir/corpus/$target"
  mkdir -p "$corpus" "$dir/crashes/$target"
  case "$target" in
    fuzz_coding) seed_coding "$corpus" ;;
  esac
  # hand-made seeds: inputs that once got through
  if [ -d "tests/fuzz/corpus/$target" ]; then cp tests/fuzz/corpus/$target/* "$corpus/"; fi
  echo "fuzzing $target for $seconds s"
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$dir/tests/fuzz/$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
      -artifact_prefix="$dir/crashes/$target/" "$corpus" >"$dir/$target.log" 2>&1; then
    echo "$target FAILED; see $dir/$target.log and $dir/crashes/$target/"
    tail -40 "$dir/$target.log"
    status=1
  else
    tail -1 "$dir/$target.log"
  fi
done
exit $status
