#!/bin/sh
# Requests per second and latency of a 1 KiB and a 100 KiB object from an
# nginx-light origin: direct, through Korvantel, through Korvantel with its
# content filters on ("filtering"), through squid and through tinyproxy
# (absolute-URI requests, bench/absolute.lua). Prints one table
# with each proxy's ratio to the direct figure. Then the cache-hit case: the
# same objects answered from memory by Korvantel and by squid with a memory
# cache, with their ratio to the direct figure. Last, the 100 KiB object
# scanned by ClamAV (a clamd of its own) beside the unscanned figure.
#
#   bench/run.sh                     (DURATION=10s CONNECTIONS=64 THREADS=4)
#
# Installs wrk and tinyproxy from Debian when missing, without starting the
# tinyproxy service. Everything else runs on loopback from a temp dir and is
# stopped by its pid at the end.
set -e
cd "$(dirname "$0")/.."
ROOT=$(pwd)
DURATION=${DURATION:-10s}
CONNECTIONS=${CONNECTIONS:-64}
THREADS=${THREADS:-4}

missing=""
command -v wrk >/dev/null 2>&1 || missing="$missing wrk"
command -v tinyproxy >/dev/null 2>&1 || [ -x /usr/bin/tinyproxy ] || [ -x /usr/sbin/tinyproxy ] || missing="$missing tinyproxy"
if [ -n "$missing" ]; then
    # No service may start from the install: the bench runs its own.
    policy_backup=""
    if [ -e /usr/sbin/policy-rc.d ]; then
        policy_backup=$(mktemp)
        cp -p /usr/sbin/policy-rc.d "$policy_backup"
    fi
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing) >/dev/null || true
    if [ -n "$policy_backup" ]; then mv "$policy_backup" /usr/sbin/policy-rc.d; else rm -f /usr/sbin/policy-rc.d; fi
fi
command -v wrk >/dev/null 2>&1 || { echo "wrk is not available" >&2; exit 1; }
TINYPROXY=$(command -v tinyproxy || ls /usr/bin/tinyproxy /usr/sbin/tinyproxy 2>/dev/null | head -n 1 || true)
SQUID=$(command -v squid || ls /usr/sbin/squid 2>/dev/null | head -n 1 || true)

scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null

WORK=$(mktemp -d /tmp/korvantel-bench-XXXXXX)
chmod 755 "$WORK"
PIDS=""
cleanup() {
    for pid in $PIDS; do kill "$pid" 2>/dev/null || true; done
    for pid in $PIDS; do
        n=0
        while kill -0 "$pid" 2>/dev/null && [ $n -lt 50 ]; do sleep 0.1; n=$((n + 1)); done
    done
    rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}
wait_port() {
    n=0
    until python3 -c "import socket,sys; socket.create_connection(('127.0.0.1',$1),0.5)" 2>/dev/null; do
        n=$((n + 1))
        [ $n -lt 100 ] || { echo "nothing listens on port $1" >&2; return 1; }
        sleep 0.1
    done
}

# Origin: nginx-light with the two objects.
mkdir -p "$WORK/www" "$WORK/nginx"
head -c 1024 /dev/urandom > "$WORK/www/1k.bin"
head -c 102400 /dev/urandom > "$WORK/www/100k.bin"
chmod -R a+rX "$WORK/www"
ORIGIN_PORT=$(free_port)
cat > "$WORK/nginx/nginx.conf" <<CONF
$( [ "$(id -u)" = 0 ] && echo "user root;" )
daemon off;
worker_processes 2;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $WORK/nginx/body;
  proxy_temp_path $WORK/nginx/proxy;
  fastcgi_temp_path $WORK/nginx/fastcgi;
  uwsgi_temp_path $WORK/nginx/uwsgi;
  scgi_temp_path $WORK/nginx/scgi;
  keepalive_requests 1000000;
  server { listen 127.0.0.1:$ORIGIN_PORT; root $WORK/www; }
}
CONF
/usr/sbin/nginx -c "$WORK/nginx/nginx.conf" -p "$WORK/nginx" &
PIDS="$PIDS $!"
wait_port "$ORIGIN_PORT"

# Korvantel with the shipped configuration.
KORVANTEL_PORT=$(free_port)
mkdir -p "$WORK/korvantel"
build-bench/korvantel -f -c conf/korvantel.xml -s conf/section.xml -L "127.0.0.1:$KORVANTEL_PORT" \
    -l "$WORK/korvantel/native.log" -d 0 -m "$WORK/korvantel" -y "$WORK/korvantel" >/dev/null 2>&1 &
PIDS="$PIDS $!"
wait_port "$KORVANTEL_PORT"

# Korvantel with content filtering on; every setting goes into this one
# configuration before the daemon starts. The requests pass every filter, so
# the figure shows what the checks cost.
KFILTER_PORT=$(free_port)
mkdir -p "$WORK/kfilter"
cp conf/korvantel.xml "$WORK/kfilter/korvantel.xml"

# MIME filter: deny list first, with rules that the bench objects never match.
python3 - "$WORK/kfilter/korvantel.xml" <<'PY'
import sys
path = sys.argv[1]
rule = ("<deny><enabled>true</enabled><comment></comment><profiles></profiles><host></host><path></path>"
        "<mime>%s</mime><template></template></deny>")
rules = "".join(rule % m for m in ["^application/x-msdownload", "^video/", "^audio/", "^application/x-shockwave"])
with open(path) as f:
    text = f.read()
start = text.index("<mime-filtering>")
end = text.index("</mime-filtering>")
text = (text[:start] + "<mime-filtering><enabled>true</enabled><order>denyfirst</order><template></template>"
        + rules + text[end:])
with open(path, "w") as f:
    f.write(text)
PY

build-bench/korvantel -f -c "$WORK/kfilter/korvantel.xml" -s conf/section.xml -L "127.0.0.1:$KFILTER_PORT" \
    -l "$WORK/kfilter/native.log" -d 0 -m "$WORK/kfilter" -y "$WORK/kfilter" >/dev/null 2>&1 &
PIDS="$PIDS $!"
wait_port "$KFILTER_PORT" || KFILTER_PORT=""

# Korvantel again, caching. Nothing is stored in the first 180 seconds after
# a start, so it starts first and the cache-hit case waits for that to pass
# (a faked clock would distort the figures: libfaketime works at every call).
KCACHE_PORT=$(free_port)
mkdir -p "$WORK/kcache"
sed "s|<path>/var/cache/korvantel</path>|<path>$WORK/kcache/store</path>|" conf/korvantel.xml \
    > "$WORK/kcache/korvantel.xml"
build-bench/korvantel -f -c "$WORK/kcache/korvantel.xml" -s conf/section.xml \
    -L "127.0.0.1:$KCACHE_PORT" -l "$WORK/kcache/native.log" -d 0 -m "$WORK/kcache" \
    -y "$WORK/kcache" >/dev/null 2>&1 &
PIDS="$PIDS $!"
KCACHE_STARTED=$(date +%s)
wait_port "$KCACHE_PORT" || KCACHE_PORT=""

# squid with a memory cache, logging nothing.
SQCACHE_PORT=""
if [ -n "$SQUID" ]; then
    SQCACHE_PORT=$(free_port)
    mkdir -p "$WORK/sqcache"
    chmod 777 "$WORK/sqcache"
    cat > "$WORK/sqcache/squid.conf" <<CONF
http_port 127.0.0.1:$SQCACHE_PORT
http_access allow localhost
http_access deny all
cache_mem 64 MB
maximum_object_size_in_memory 1 MB
refresh_pattern . 60 100% 600 override-expire override-lastmod ignore-reload
access_log none
cache_log $WORK/sqcache/cache.log
pid_filename $WORK/sqcache/squid.pid
coredump_dir $WORK/sqcache
netdb_filename none
CONF
    "$SQUID" -N -n sqcache -f "$WORK/sqcache/squid.conf" >/dev/null 2>&1 &
    PIDS="$PIDS $!"
    wait_port "$SQCACHE_PORT" || SQCACHE_PORT=""
fi

# squid, caching nothing, logging nothing.
SQUID_PORT=""
if [ -n "$SQUID" ]; then
    SQUID_PORT=$(free_port)
    mkdir -p "$WORK/squid"
    chmod 777 "$WORK/squid"
    cat > "$WORK/squid/squid.conf" <<CONF
http_port 127.0.0.1:$SQUID_PORT
http_access allow localhost
http_access deny all
cache deny all
cache_mem 8 MB
access_log none
cache_log $WORK/squid/cache.log
pid_filename $WORK/squid/squid.pid
coredump_dir $WORK/squid
netdb_filename none
CONF
    "$SQUID" -N -n sqplain -f "$WORK/squid/squid.conf" >/dev/null 2>&1 &
    PIDS="$PIDS $!"
    wait_port "$SQUID_PORT" || SQUID_PORT=""
fi

# tinyproxy.
TINY_PORT=""
if [ -n "$TINYPROXY" ]; then
    TINY_PORT=$(free_port)
    mkdir -p "$WORK/tinyproxy"
    chmod 777 "$WORK/tinyproxy"
    cat > "$WORK/tinyproxy/tinyproxy.conf" <<CONF
$( [ "$(id -u)" = 0 ] && printf 'User nobody\nGroup nogroup\n' )
Port $TINY_PORT
Listen 127.0.0.1
Timeout 60
MaxClients 1024
Allow 127.0.0.1
LogLevel Critical
LogFile "$WORK/tinyproxy/tinyproxy.log"
PidFile "$WORK/tinyproxy/tinyproxy.pid"
DisableViaHeader Yes
CONF
    "$TINYPROXY" -d -c "$WORK/tinyproxy/tinyproxy.conf" >/dev/null 2>&1 &
    PIDS="$PIDS $!"
    wait_port "$TINY_PORT" || TINY_PORT=""
fi

# One wrk run: prints "requests_per_second latency_ms non_2xx socket_errors".
# (tinyproxy closes the client connection after every answer, which wrk
# counts as socket read errors.)
measure() {
    port=$1 object=$2 proxied=$3
    url="http://127.0.0.1:$ORIGIN_PORT/$object"
    if [ "$proxied" = 1 ]; then
        out=$(TARGET="$url" wrk -t "$THREADS" -c "$CONNECTIONS" -d "$DURATION" --timeout 5s \
              -s bench/absolute.lua "http://127.0.0.1:$port/" 2>&1)
    else
        out=$(wrk -t "$THREADS" -c "$CONNECTIONS" -d "$DURATION" --timeout 5s "$url" 2>&1)
    fi
    echo "$out" | awk '
        /Requests\/sec:/ { rps = $2 }
        /^ *Latency/ {
            v = $2; unit = v; sub(/[0-9.]+/, "", unit); sub(/[a-z]+$/, "", v)
            if (unit == "us") v = v / 1000; else if (unit == "s") v = v * 1000
            lat = v
        }
        /Non-2xx or 3xx responses:/ { bad += $NF }
        /Socket errors:/ { gsub(/,/, ""); sockets += $4 + $6 + $8 + $10 }
        END { printf "%s %s %d %d\n", (rps == "" ? 0 : rps), (lat == "" ? 0 : lat), bad, sockets }'
}

printf "%-10s %-8s %12s %12s %7s %8s %10s\n" "target" "object" "requests/s" "latency ms" "ratio" "non-2xx" "sock-errs"
for object in 1k.bin 100k.bin; do
    set -- $(measure "$ORIGIN_PORT" "$object" 0)
    direct=$1
    printf "%-10s %-8s %12.0f %12.2f %7s %8d %10d\n" direct "$object" "$1" "$2" "1.00" "$3" "$4"
    for target in korvantel filtering squid tinyproxy; do
        case $target in
            korvantel) port=$KORVANTEL_PORT ;;
            filtering) port=$KFILTER_PORT ;;
            squid) port=$SQUID_PORT ;;
            tinyproxy) port=$TINY_PORT ;;
        esac
        if [ -z "$port" ]; then
            printf "%-10s %-8s %12s %12s %7s %8s %10s\n" "$target" "$object" "-" "-" "-" "-" "-"
            continue
        fi
        set -- $(measure "$port" "$object" 1)
        ratio=$(awk -v a="$1" -v b="$direct" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
        printf "%-10s %-8s %12.0f %12.2f %7s %8d %10d\n" "$target" "$object" "$1" "$2" "$ratio" "$3" "$4"
    done
done

# Cache hits: each cache is filled with one request per object first.
elapsed=$(( $(date +%s) - KCACHE_STARTED ))
if [ -n "$KCACHE_PORT" ] && [ $elapsed -lt 185 ]; then
    echo "waiting $((185 - elapsed)) s for the cache's start-up back-off to end" >&2
    sleep $((185 - elapsed))
fi
printf "\n%-16s %-8s %12s %12s %7s %8s %10s\n" "cache hits" "object" "requests/s" "latency ms" "ratio" "non-2xx" "sock-errs"
for object in 1k.bin 100k.bin; do
    set -- $(measure "$ORIGIN_PORT" "$object" 0)
    direct=$1
    for target in korvantel squid; do
        case $target in
            korvantel) port=$KCACHE_PORT ;;
            squid) port=$SQCACHE_PORT ;;
        esac
        if [ -z "$port" ]; then
            printf "%-16s %-8s %12s %12s %7s %8s %10s\n" "$target" "$object" "-" "-" "-" "-" "-"
            continue
        fi
        for i in 1 2; do
            curl -s -o /dev/null --proxy "http://127.0.0.1:$port" "http://127.0.0.1:$ORIGIN_PORT/$object" || true
        done
        set -- $(measure "$port" "$object" 1)
        ratio=$(awk -v a="$1" -v b="$direct" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
        printf "%-16s %-8s %12.0f %12.2f %7s %8d %10d\n" "$target" "$object" "$1" "$2" "$ratio" "$3" "$4"
    done
done

# URL filtering: 1 KiB pass-through with a URL filter of 1,000 host rules that
# do not match (every request is tested against all of them), beside the
# unfiltered figure.
url_filter_case() {
    mkdir -p "$WORK/kfilter"
    i=0
    while [ $i -lt 1000 ]; do
        printf '<deny><enabled>true</enabled><comment>r%d</comment><profiles></profiles><host>(^|[.])blocked-%d[.]example$</host><path></path><addresses></addresses><template></template></deny>\n' "$i" "$i"
        i=$((i + 1))
    done > "$WORK/kfilter/rules.xml"
    awk -v rules="$WORK/kfilter/rules.xml" '
        /<url-filtering>/ { skip = 1
            print "  <url-filtering><enabled>true</enabled><order>denyfirst</order><template></template>"
            while ((getline line < rules) > 0) print line
            print "  </url-filtering>" }
        !skip { print }
        /<\/url-filtering>/ { skip = 0 }' conf/korvantel.xml > "$WORK/kfilter/korvantel.xml"
    KFILTER_PORT=$(free_port)
    build-bench/korvantel -f -c "$WORK/kfilter/korvantel.xml" -s conf/section.xml -L "127.0.0.1:$KFILTER_PORT" \
        -l "$WORK/kfilter/native.log" -d 0 -m "$WORK/kfilter" -y "$WORK/kfilter" >/dev/null 2>&1 &
    PIDS="$PIDS $!"
    wait_port "$KFILTER_PORT" || return 0
    printf "\n%-16s %-8s %12s %12s %7s %8s %10s\n" "filtering" "object" "requests/s" "latency ms" "ratio" "non-2xx" "sock-errs"
    set -- $(measure "$KORVANTEL_PORT" 1k.bin 1)
    plain=$1
    printf "%-16s %-8s %12.0f %12.2f %7s %8d %10d\n" "unfiltered" 1k.bin "$1" "$2" "1.00" "$3" "$4"
    set -- $(measure "$KFILTER_PORT" 1k.bin 1)
    ratio=$(awk -v a="$1" -v b="$plain" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
    printf "%-16s %-8s %12.0f %12.2f %7s %8d %10d\n" "url-filter-1000" 1k.bin "$1" "$2" "$ratio" "$3" "$4"
}
url_filter_case

# Virus scanning: the 100 KiB object through Korvantel with the cache off,
# unscanned and scanned by a clamd of its own (one signature of the bench's
# own, nothing downloaded; clamd takes STREAM or INSTREAM as it offers).
clamav_case() {
    CLAMD=$(command -v clamd || ls /usr/sbin/clamd 2>/dev/null | head -n 1 || true)
    [ -n "$CLAMD" ] || { echo "clamd is not installed: no virus-scanning case" >&2; return 0; }
    mkdir -p "$WORK/clamd" "$WORK/kplain" "$WORK/kclam"
    echo "Korvantel.Bench.Sig:0:*:$(printf 'KORVANTEL-BENCH-SIGNATURE' | od -An -tx1 | tr -d ' \n')" \
        > "$WORK/clamd/bench.ndb"
    cat > "$WORK/clamd/clamd.conf" <<CONF
LocalSocket $WORK/clamd/clamd.sock
DatabaseDirectory $WORK/clamd
Foreground yes
LogFile $WORK/clamd/clamd.log
PidFile $WORK/clamd/clamd.pid
MaxThreads 16
MaxQueue 200
SelfCheck 3600
CONF
    "$CLAMD" -c "$WORK/clamd/clamd.conf" >/dev/null 2>&1 &
    PIDS="$PIDS $!"
    n=0
    until [ -S "$WORK/clamd/clamd.sock" ]; do
        n=$((n + 1))
        [ $n -lt 600 ] || { echo "clamd did not start" >&2; return 0; }
        sleep 0.1
    done
    for which in kplain kclam; do
        python3 - "$WORK/$which/korvantel.xml" "$which" "$WORK/clamd/clamd.sock" <<'PY'
import sys
import xml.etree.ElementTree as ET
path, which, sock = sys.argv[1:]
root = ET.parse("conf/korvantel.xml").getroot()
root.find("cache/enabled").text = "false"
if which == "kclam":
    clamav = root.find("clamav")
    clamav.find("enabled").text = "true"
    clamav.find("address").text = sock
    rule = ET.SubElement(clamav, "rule")
    for name, value in (("enabled", "true"), ("comment", ""), ("profiles", ""), ("template", "")):
        ET.SubElement(rule, name).text = value
ET.ElementTree(root).write(path)
PY
    done
    KPLAIN_PORT=$(free_port)
    build-bench/korvantel -f -c "$WORK/kplain/korvantel.xml" -s conf/section.xml -L "127.0.0.1:$KPLAIN_PORT" \
        -l "$WORK/kplain/native.log" -d 0 -m "$WORK/kplain" -y "$WORK/kplain" >/dev/null 2>&1 &
    PIDS="$PIDS $!"
    KCLAM_PORT=$(free_port)
    build-bench/korvantel -f -c "$WORK/kclam/korvantel.xml" -s conf/section.xml -L "127.0.0.1:$KCLAM_PORT" \
        -l "$WORK/kclam/native.log" -d 16842752 -m "$WORK/kclam" -y "$WORK/kclam" >/dev/null 2>&1 &
    PIDS="$PIDS $!"
    wait_port "$KPLAIN_PORT" || return 0
    wait_port "$KCLAM_PORT" || return 0
    printf "\n%-16s %-8s %12s %12s %7s %8s %10s\n" "virus scanning" "object" "requests/s" "latency ms" "ratio" "non-2xx" "sock-errs"
    set -- $(measure "$KPLAIN_PORT" 100k.bin 1)
    plain=$1
    printf "%-16s %-8s %12.0f %12.2f %7s %8d %10d\n" "unscanned" 100k.bin "$1" "$2" "1.00" "$3" "$4"
    set -- $(measure "$KCLAM_PORT" 100k.bin 1)
    ratio=$(awk -v a="$1" -v b="$plain" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
    printf "%-16s %-8s %12.0f %12.2f %7s %8d %10d\n" "clamav" 100k.bin "$1" "$2" "$ratio" "$3" "$4"
    if grep -q "not scanned" "$WORK/kclam/native.log" 2>/dev/null; then
        echo "warning: some responses went out unscanned: $(grep -c 'not scanned' "$WORK/kclam/native.log")" >&2
    fi
}
clamav_case
