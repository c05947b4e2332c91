#!/bin/sh
# Installs every build and test dependency that is missing (Debian, as root).
# Services that come with packages are kept from starting: the tests start
# their own copies on loopback.
set -e
PKGS="build-essential cmake pkg-config libssl-dev zlib1g-dev libpcre2-dev
libtinyxml-dev libntlm0-dev libldap-dev libpam0g-dev libgtest-dev googletest
curl python3 openssl coreutils"
if [ "${KORVANTEL_TEST_PEERS:-0}" = 1 ]; then
  PKGS="$PKGS nginx-light squid dante-server python3-pyftpdlib slapd ldap-utils
c-icap clamav-daemon dnsmasq libpam-wrapper faketime iproute2 procps
clang libclang-rt-dev wrk chromium chromium-driver python3-selenium linux-perf gdb valgrind
dpkg-dev fakeroot lintian systemd e2guardian"
fi
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo
# keep package maintainer scripts from starting services
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
  $SUDO chmod 755 /usr/sbin/policy-rc.d
  trap '$SUDO rm -f /usr/sbin/policy-rc.d' EXIT
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq || true
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing
