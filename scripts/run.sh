#!/bin/sh
# Installs what is missing, builds, and runs the proxy in the foreground with
# the shipped configuration, listening on 127.0.0.1:8080; logs go to ./logs.
set -e
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
mkdir -p logs
exec build/korvantel -f -c conf/korvantel.xml -s conf/section.xml \
  -L 127.0.0.1:8080 -l logs/native.log -a logs/access.log -e logs/extended.log \
  -r logs/performance.log -m modules/ -y logs/ -P 100:600
