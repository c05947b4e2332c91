#!/bin/sh
# Builds the Debian package korvantel_<version>_amd64.deb into a directory
# (default: dist/): scripts/package.sh [directory]
# The package is built in its own tree, build-package, for /usr and without
# sanitizers; only the daemon is compiled there.
set -e
cd "$(dirname "$0")/.."
out="${1:-dist}"
scripts/setup.sh
dir=build-package
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DKORVANTEL_SANITIZE=OFF -DKORVANTEL_FUZZ=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target korvantel korvantel_changelog
mkdir -p "$out"
out="$(cd "$out" && pwd)"
(cd "$dir" && cpack -G DEB -B "$out")
rm -rf "$out/_CPack_Packages"
ls "$out"/korvantel_*.deb
