#!/bin/sh
# Configures and builds one build tree: scripts/build.sh <dir> [cmake args...]
set -e
cd "$(dirname "$0")/.."
dir="$1"; shift
cmake -S . -B "$dir" "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
