#!/bin/sh
# Korvantel against squid in SMP mode, both in front of an nginx-light origin
# (4 workers) on loopback, all in one run:
#
#   - requests per second and p99 latency (wrk, absolute-URI requests through
#     the proxies, bench/absolute.lua) for 1 KiB and 100 KiB pass-through and
#     for 1 KiB cache hits, direct from nginx too; the 1 KiB cases also
#     through a Korvantel started with -C 10 ("korv-C10": workers wait for a
#     client's next request instead of handing the connection back to the
#     client pool after every answer, as they do with the default of 1);
#   - 1 KiB through Korvantel with its content filters on (the MIME filter;
#     a URL filter of 1,000 host rules), beside the unfiltered figure: the
#     requests pass every filter, so the figures show what the checks cost;
#   - a 100 KiB HTML page through Korvantel scored by 500 keyword rules,
#     beside the same page unfiltered;
#   - the time of 1,000 sequential connections through each proxy (one
#     request each, "Connection: close");
#   - the memory (VmRSS, summed over squid's processes; Pss beside it) with
#     1,000 idle kept-alive client connections;
#   - the ratios Korvantel / squid with the targets they are held to;
#   - in interleaved rounds (ROUNDS=3), with each proxy's CPU time per request
#     (user + system of all its processes, from /proc) beside req/s and p99:
#     Korvantel against squid on 1 KiB misses, hits and hits at 1,000
#     connections ("goals"), and Korvantel's URL and keyword filters against
#     e2guardian with the same 1,000 sites and 20 weighted phrases on 1 KiB
#     and 100 KiB pages that pass and a page that is blocked ("e2guardian");
#     then those ratios beside the goals.
#
#   bench/run.sh      DURATION=8s CONNECTIONS=100 THREADS=4 IDLE=1000 CONNECTS=1000 ROUNDS=3
#
# QUICK=1 ends the caching daemon's start-up back-off through gdb instead of
# waiting it out (for profiling runs; the figures of record wait).
# PERF=DIR records a perf profile (call graphs) of Korvantel during each of
# its wrk runs into DIR (the recording costs Korvantel some of its speed).
# CASES="pass-1k hit-1k ..." runs only those of pass-1k, pass-100k, hit-1k,
# goals, filters, keywords, e2guardian, clamav, connects and idle.
# KORVANTEL=path runs that binary instead of building build-bench (to compare
# two builds). KARGS="..." adds options to every Korvantel started (e.g.
# KARGS="-C 10" for a keep-alive wait of seconds instead of none). Korvantel
# logs as shipped (native, access and extended log); LOGS=off for profiles
# without the per-request lines.
#
# Korvantel is built as build-bench (RelWithDebInfo, frame pointers kept, so
# that perf can walk the stacks). squid runs with `workers` = half the cores,
# at least 1, and writes its access log as installed (the logging daemon, the
# native format), as Korvantel logs as shipped. Everything runs from a temp
# dir and is stopped by its pid.
set -e
cd "$(dirname "$0")/.."
DURATION=${DURATION:-8s}
CONNECTIONS=${CONNECTIONS:-100}
THREADS=${THREADS:-4}
IDLE=${IDLE:-1000}
CONNECTS=${CONNECTS:-1000}
CORES=$(nproc)
# wrk and the proxies hold 1,000 connections each in the c1000 case.
ulimit -n 65536 2>/dev/null || true
SQUID_WORKERS=$((CORES / 2))
[ "$SQUID_WORKERS" -ge 1 ] || SQUID_WORKERS=1

if ! command -v wrk >/dev/null 2>&1 || ! [ -x /usr/sbin/squid ] || ! [ -x /usr/sbin/nginx ] ||
    ! [ -x /usr/sbin/e2guardian ]; then
    KORVANTEL_TEST_PEERS=1 scripts/setup.sh >/dev/null
fi
command -v wrk >/dev/null 2>&1 || { echo "wrk is not available" >&2; exit 1; }
SQUID=/usr/sbin/squid

if [ -z "$KORVANTEL" ]; then
    scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS="-fno-omit-frame-pointer" -DCMAKE_C_FLAGS="-fno-omit-frame-pointer" >/dev/null
    KORVANTEL=build-bench/korvantel
fi

WORK=$(mktemp -d /tmp/korvantel-bench-XXXXXX)
chmod 755 "$WORK"
PIDS=""
# e2guardian ends on TERM only once another connection comes.
E2G_PID=""
e2guardian_stop() {
    [ -n "$E2G_PID" ] || return 0
    kill "$E2G_PID" 2>/dev/null || true
    n=0
    while kill -0 "$E2G_PID" 2>/dev/null && [ $n -lt 20 ]; do
        curl -s -m 1 -o /dev/null "http://127.0.0.1:$E2G_PORT/" 2>/dev/null || true
        sleep 0.2
        n=$((n + 1))
    done
    kill -9 "$E2G_PID" 2>/dev/null || true
}
cleanup() {
    e2guardian_stop
    for pid in $PIDS; do kill "$pid" 2>/dev/null || true; done
    for pid in $PIDS; do
        n=0
        while kill -0 "$pid" 2>/dev/null && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done
    done
    rm -rf "$WORK"
}
trap cleanup EXIT
# A trapped signal must end the run too, not only clean up behind it.
trap 'exit 1' INT TERM

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}
wait_port() {
    n=0
    until python3 -c "import socket,sys; socket.create_connection(('127.0.0.1',$1),0.5)" 2>/dev/null; do
        n=$((n + 1))
        [ $n -lt 150 ] || { echo "nothing listens on port $1" >&2; return 1; }
        sleep 0.1
    done
}

# ---- origin: nginx-light with 4 workers --------------------------------------
mkdir -p "$WORK/www" "$WORK/nginx"
head -c 1024 /dev/urandom > "$WORK/www/1k.bin"
head -c 102400 /dev/urandom > "$WORK/www/100k.bin"
chmod -R a+rX "$WORK/www"
ORIGIN_PORT=$(free_port)
cat > "$WORK/nginx/nginx.conf" <<CONF
$( [ "$(id -u)" = 0 ] && echo "user root;" )
daemon off;
worker_processes 4;
worker_rlimit_nofile 20000;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log;
events { worker_connections 8192; }
http {
  access_log off;
  client_body_temp_path $WORK/nginx/body;
  proxy_temp_path $WORK/nginx/proxy;
  fastcgi_temp_path $WORK/nginx/fastcgi;
  uwsgi_temp_path $WORK/nginx/uwsgi;
  scgi_temp_path $WORK/nginx/scgi;
  keepalive_requests 1000000;
  server { listen 127.0.0.1:$ORIGIN_PORT backlog=4096; root $WORK/www; }
}
CONF
/usr/sbin/nginx -c "$WORK/nginx/nginx.conf" -p "$WORK/nginx" &
PIDS="$PIDS $!"
wait_port "$ORIGIN_PORT"

# ---- Korvantel ----------------------------------------------------------------
# Logging as shipped (scripts/run.sh): the native log at the default level,
# the access and the extended log. LOGS=off keeps only the native log's
# category-0 lines (for profiles of everything else).
klogs() { # dir
    if [ "${LOGS:-shipped}" = off ]; then
        echo "-l $1/native.log -d 0"
    else
        echo "-l $1/native.log -a $1/access.log -e $1/extended.log"
    fi
}
# The caching daemon starts first: nothing is stored in the first 180 seconds
# after a start, and the cache-hit case comes last.
korvantel_start() { # name cache(true|false) [options] -> sets KPORT, KPID
    dir="$WORK/$1"
    mkdir -p "$dir"
    sed -e "s|<path>/var/cache/korvantel</path>|<path>$dir/store</path>|" \
        -e "/<cache>/,/<\/cache>/ s|<enabled>true</enabled>|<enabled>$2</enabled>|" \
        conf/korvantel.xml > "$dir/korvantel.xml"
    KPORT=$(free_port)
    "$KORVANTEL" -f -c "$dir/korvantel.xml" -s conf/section.xml -L "127.0.0.1:$KPORT" \
        $(klogs "$dir") -m "$dir" -y "$dir" $KARGS $3 >/dev/null 2>&1 &
    KPID=$!
    PIDS="$PIDS $KPID"
    wait_port "$KPORT"
}
korvantel_start kcache true
KCACHE_PORT=$KPORT KCACHE_PID=$KPID
# The same two with a keep-alive wait of seconds (-C 10): a worker keeps its
# client between requests instead of handing it back to the client pool.
korvantel_start kcache-wait true "-C 10"
KWCACHE_PORT=$KPORT KWCACHE_PID=$KPID
KCACHE_STARTED=$(date +%s)
korvantel_start korvantel false
KORVANTEL_PORT=$KPORT KORVANTEL_PID=$KPID
korvantel_start korvantel-wait false "-C 10"
KWAIT_PORT=$KPORT KWAIT_PID=$KPID

# ---- squid, SMP ---------------------------------------------------------------
squid_start() { # name extra-config -> sets SPORT, SPID
    dir="$WORK/$1"
    mkdir -p "$dir"
    chmod 777 "$dir"
    SPORT=$(free_port)
    cat > "$dir/squid.conf" <<CONF
workers $SQUID_WORKERS
http_port 127.0.0.1:$SPORT
http_access allow localhost
http_access deny all
$2
access_log daemon:$dir/access.log squid
cache_log $dir/cache.log
pid_filename $dir/squid.pid
coredump_dir $dir
netdb_filename none
shutdown_lifetime 1 seconds
max_filedescriptors 20000
CONF
    # --foreground keeps SMP (-N would not) and leaves the master our child.
    "$SQUID" --foreground -n "$1" -f "$dir/squid.conf" >/dev/null 2>&1 &
    SPID=$!
    PIDS="$PIDS $SPID"
    wait_port "$SPORT"
}
squid_start sqplain "cache deny all
cache_mem 8 MB"
SQUID_PORT=$SPORT SQUID_PID=$SPID
squid_start sqcache "cache_mem 64 MB
maximum_object_size_in_memory 1 MB
refresh_pattern . 60 100% 600 override-expire override-lastmod ignore-reload"
SQCACHE_PORT=$SPORT SQCACHE_PID=$SPID

# ---- measuring ----------------------------------------------------------------
# One wrk run: "requests_per_second p99_ms non_2xx socket_errors cpu_us_per_request".
# CPU per request is the user + system time of the processes listening on the
# port (with their workers) over the run, divided by the requests wrk made:
# steadier than requests per second on a shared machine.
measure() { # port object proxied(0|1) [pid to profile] [profile name]
    port=$1 object=$2 proxied=$3
    url="http://127.0.0.1:$ORIGIN_PORT/$object"
    perf_pid=""
    if [ -n "$PERF" ] && [ -n "$4" ]; then
        mkdir -p "$PERF"
        perf record ${PERF_CALLGRAPH:--g} -F 999 -o "$PERF/$5.data" -p "$4" >/dev/null 2>&1 &
        perf_pid=$!
    fi
    cpu_before=$(python3 bench/clients.py cpu "$port")
    if [ "$proxied" = 1 ]; then
        out=$(TARGET="$url" wrk -t "$THREADS" -c "$CONNECTIONS" -d "$DURATION" --timeout 5s --latency \
              -s bench/absolute.lua "http://127.0.0.1:$port/" 2>&1)
    else
        out=$(wrk -t "$THREADS" -c "$CONNECTIONS" -d "$DURATION" --timeout 5s --latency "$url" 2>&1)
    fi
    cpu_after=$(python3 bench/clients.py cpu "$port")
    if [ -n "$perf_pid" ]; then
        kill -INT "$perf_pid" 2>/dev/null || true
        wait "$perf_pid" 2>/dev/null || true
    fi
    echo "$out" | awk -v cpu=$((cpu_after - cpu_before)) '
        function ms(v,   unit) {
            unit = v; sub(/[0-9.]+/, "", unit); sub(/[a-z]+$/, "", v)
            if (unit == "us") return v / 1000
            if (unit == "s") return v * 1000
            return v
        }
        /Requests\/sec:/ { rps = $2 }
        / requests in / { requests = $1 }
        /^ *99%/ { p99 = ms($2) }
        /Non-2xx or 3xx responses:/ { bad += $NF }
        /Socket errors:/ { gsub(/,/, ""); sockets += $4 + $6 + $8 + $10 }
        END {
            printf "%s %s %d %d %s\n", (rps == "" ? 0 : rps), (p99 == "" ? 0 : p99), bad, sockets,
                (requests > 0 && cpu > 0) ? sprintf("%.1f", cpu / requests) : "-"
        }'
}

# CPU time (user + system, microseconds) used so far by a process and all its
# descendants, from /proc/<pid>/stat: squid's and e2guardian's work is spread
# over several processes.
cpu_us() { # pid
    python3 - "$1" <<'PY'
import os, sys
root = int(sys.argv[1])
parent, ticks = {}, {}
for name in os.listdir("/proc"):
    if not name.isdigit():
        continue
    try:
        fields = open("/proc/%s/stat" % name).read().rsplit(")", 1)[1].split()
    except (OSError, IndexError):
        continue
    pid = int(name)
    parent[pid] = int(fields[1])
    ticks[pid] = int(fields[11]) + int(fields[12])
total = 0
for pid in ticks:
    p, hops = pid, 0
    while p and p != root and hops < 64:
        p, hops = parent.get(p, 0), hops + 1
    if p == root:
        total += ticks[pid]
print(total * 1000000 // os.sysconf("SC_CLK_TCK"))
PY
}
# One wrk run through a proxy with the proxy's CPU time over it:
# "requests_per_second p99_ms non_2xx socket_errors cpu_us requests".
measure_cpu() { # port object pid [profile name]
    mc_before=$(cpu_us "$3")
    if [ -n "$4" ]; then mc_out=$(measure "$1" "$2" 1 "$3" "$4"); else mc_out=$(measure "$1" "$2" 1); fi
    mc_after=$(cpu_us "$3")
    echo "$mc_out" | awk -v cpu=$((mc_after - mc_before)) -v d="$DURATION" '{
        seconds = d + 0
        if (d ~ /m$/) seconds *= 60
        if (d ~ /h$/) seconds *= 3600
        printf "%s %s %s %s %d %.0f\n", $1, $2, $3, $4, cpu, $1 * seconds }'
}

RESULTS="$WORK/results"
: > "$RESULTS"
row() { # case target rps p99 non2xx sockerrs cpu-us-per-request
    printf "%-16s %-10s %12.0f %10.2f %8d %10d %8s\n" "$1" "$2" "$3" "$4" "$5" "$6" "$7"
    echo "$1 $2 $3 $4 $7" >> "$RESULTS"
}
header() {
    printf "%-16s %-10s %12s %10s %8s %10s %8s\n" "case" "target" "requests/s" "p99 ms" "non-2xx" "sock-errs" "cpu us/r"
}
CASES=${CASES:-pass-1k pass-100k hit-1k goals filters keywords e2guardian clamav connects idle}
wanted() { case " $CASES " in *" $1 "*) return 0 ;; esac; return 1; }
run_case() { # case object korvantel-port korvantel-pid squid-port [korvantel -C 10 port]
    wanted "$1" || return 0
    waitport=$6
    set -- "$1" "$2" "$3" "$4" "$5" $(measure "$ORIGIN_PORT" "$2" 0)
    row "$1" direct "$6" "$7" "$8" "$9" "${10}"
    name=$1 object=$2 kport=$3 kpid=$4 sport=$5
    set -- $(measure "$kport" "$object" 1 "$kpid" "$name")
    row "$name" korvantel "$1" "$2" "$3" "$4" "$5"
    if [ -n "$waitport" ]; then
        set -- $(measure "$waitport" "$object" 1)
        row "$name" "korv-C10" "$1" "$2" "$3" "$4" "$5"
    fi
    set -- $(measure "$sport" "$object" 1)
    row "$name" squid "$1" "$2" "$3" "$4" "$5"
}

echo "nginx 4 workers, squid $SQUID_WORKERS workers, wrk -t$THREADS -c$CONNECTIONS -d$DURATION, $CORES cores"
header
run_case pass-1k 1k.bin "$KORVANTEL_PORT" "$KORVANTEL_PID" "$SQUID_PORT" "$KWAIT_PORT"
run_case pass-100k 100k.bin "$KORVANTEL_PORT" "$KORVANTEL_PID" "$SQUID_PORT"

# Cache hits: the caching daemon may store only after its start-up back-off.
if ! wanted hit-1k && ! wanted goals; then
    :
elif [ "${QUICK:-0}" = 1 ]; then
    for pid in "$KCACHE_PID" "$KWCACHE_PID"; do
        gdb -p "$pid" -batch -ex 'set var next_cache = 0' >/dev/null 2>&1 || true
    done
else
    elapsed=$(( $(date +%s) - KCACHE_STARTED ))
    if [ $elapsed -lt 185 ]; then
        echo "(waiting $((185 - elapsed)) s for the caching daemon's start-up back-off to end)" >&2
        sleep $((185 - elapsed))
    fi
fi
{ wanted hit-1k || wanted goals; } && for port in "$KCACHE_PORT" "$KWCACHE_PORT" "$SQCACHE_PORT"; do
    # Filled until a hit comes back: squid's workers share one memory cache
    # that takes a while after start-up to accept objects.
    for i in $(seq 1 100); do
        curl -s -D - -o /dev/null --proxy "http://127.0.0.1:$port" "http://127.0.0.1:$ORIGIN_PORT/1k.bin" |
            grep -qi -e "^X-Cache: HIT" -e "^Age:" && break
        sleep 0.2
    done
    # Every worker of squid answers a few, so each has seen it.
    for i in 1 2 3 4 5 6 7 8; do
        curl -s -o /dev/null --proxy "http://127.0.0.1:$port" "http://127.0.0.1:$ORIGIN_PORT/1k.bin" || true
    done
done
run_case hit-1k 1k.bin "$KCACHE_PORT" "$KCACHE_PID" "$SQCACHE_PORT" "$KWCACHE_PORT"
wanted hit-1k && for target in "korvantel $KCACHE_PORT" "korvantel-C10 $KWCACHE_PORT" "squid $SQCACHE_PORT"; do
    set -- $target
    # A few tries: right after the run a proxy may still be closing wrk's
    # connections.
    hit=0
    for i in 1 2 3 4 5; do
        if curl -s -m 5 -D - -o /dev/null --proxy "http://127.0.0.1:$2" "http://127.0.0.1:$ORIGIN_PORT/1k.bin" |
            grep -qi -e "^X-Cache: HIT" -e "^Age:"; then
            hit=1
            break
        fi
        sleep 0.5
    done
    if [ "$hit" != 1 ]; then
        echo "($1 did not answer the hit case from its cache)" >&2
        [ "$1" != squid ] || echo "hit-1k squid-missed 0 0" >> "$RESULTS"
    fi
done

# Content filters: Korvantel alone, each against the unfiltered daemon.
filter_config() { # kind -> $WORK/<kind>/korvantel.xml
    mkdir -p "$WORK/$1"
    python3 - "$1" "$WORK/$1/korvantel.xml" <<'PY'
import sys
kind, path = sys.argv[1], sys.argv[2]
text = open("conf/korvantel.xml").read()
if kind == "fmime":
    # A deny list first, with rules that the bench objects never match.
    rule = ("<deny><enabled>true</enabled><comment></comment><profiles></profiles><host></host><path></path>"
            "<mime>%s</mime><template></template></deny>")
    rules = "".join(rule % m for m in ["^application/x-msdownload", "^video/", "^audio/", "^application/x-shockwave"])
    section, head = "mime-filtering", "<enabled>true</enabled><order>denyfirst</order><template></template>"
else:
    # 1,000 host rules that do not match: every request is tested against all.
    rule = ("<deny><enabled>true</enabled><comment>r%d</comment><profiles></profiles>"
            "<host>(^|[.])blocked-%d[.]example$</host><path></path><addresses></addresses><template></template></deny>")
    rules = "".join(rule % (i, i) for i in range(1000))
    section, head = "url-filtering", "<enabled>true</enabled><order>denyfirst</order><template></template>"
start = text.index("<%s>" % section)
end = text.index("</%s>" % section)
text = text[:start] + "<%s>" % section + head + rules + text[end:]
open(path, "w").write(text)
PY
}
if wanted filters; then
    printf "\n%-16s %-10s %12s %10s %8s %10s %7s %8s\n" "filters, 1k" "target" "requests/s" "p99 ms" "non-2xx" "sock-errs" "ratio" "cpu us/r"
    set -- $(measure "$KORVANTEL_PORT" 1k.bin 1)
    plain=$1
    printf "%-16s %-10s %12.0f %10.2f %8d %10d %7s %8s\n" unfiltered korvantel "$1" "$2" "$3" "$4" 1.00 "$5"
    for kind in fmime furl; do
        filter_config $kind
        fport=$(free_port)
        "$KORVANTEL" -f -c "$WORK/$kind/korvantel.xml" -s conf/section.xml -L "127.0.0.1:$fport" \
            $(klogs "$WORK/$kind") -m "$WORK/$kind" -y "$WORK/$kind" >/dev/null 2>&1 &
        fpid=$!
        PIDS="$PIDS $fpid"
        wait_port "$fport" || continue
        set -- $(measure "$fport" 1k.bin 1 "$fpid" "$kind")
        ratio=$(awk -v a="$1" -v b="$plain" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
        name=$([ $kind = fmime ] && echo mime-filter || echo url-filter-1000)
        printf "%-16s %-10s %12.0f %10.2f %8d %10d %7s %8s\n" "$name" korvantel "$1" "$2" "$3" "$4" "$ratio" "$5"
        kill "$fpid" 2>/dev/null || true
    done
fi

# Sequential connections and idle memory.
URL="http://127.0.0.1:$ORIGIN_PORT/1k.bin"
printf "\n%-34s %12s %12s\n" "" korvantel squid
if wanted connects; then
set -- $(python3 bench/clients.py connects "$KORVANTEL_PORT" "$URL" "$CONNECTS")
k_conn=$1 k_conn_fail=$2
set -- $(python3 bench/clients.py connects "$SQUID_PORT" "$URL" "$CONNECTS")
s_conn=$1 s_conn_fail=$2
printf "%-34s %12s %12s\n" "$CONNECTS sequential connects, s" "$k_conn" "$s_conn"
printf "%-34s %12s %12s\n" "  failed" "$k_conn_fail" "$s_conn_fail"
fi
if wanted idle; then
set -- $(python3 bench/clients.py idle "$KORVANTEL_PORT" "$URL" 0 0 "$KORVANTEL_PID")
k_rss0=$1
set -- $(python3 bench/clients.py idle "$SQUID_PORT" "$URL" 0 0 "$SQUID_PID")
s_rss0=$1
set -- $(python3 bench/clients.py idle "$KORVANTEL_PORT" "$URL" "$IDLE" 3 "$KORVANTEL_PID")
k_rss=$1 k_pss=$2 k_alive=$3
set -- $(python3 bench/clients.py idle "$SQUID_PORT" "$URL" "$IDLE" 3 "$SQUID_PID")
s_rss=$1 s_pss=$2 s_alive=$3
printf "%-34s %12s %12s\n" "VmRSS KiB, no client" "$k_rss0" "$s_rss0"
printf "%-34s %12s %12s\n" "VmRSS KiB, $IDLE idle clients" "$k_rss" "$s_rss"
printf "%-34s %12s %12s\n" "Pss KiB, $IDLE idle clients" "$k_pss" "$s_pss"
printf "%-34s %12s %12s\n" "  connections still held" "$k_alive" "$s_alive"
echo "rss korvantel $k_rss 0" >> "$RESULTS"
echo "rss squid $s_rss 0" >> "$RESULTS"
fi

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
    "$KORVANTEL" -f -c "$WORK/kplain/korvantel.xml" -s conf/section.xml -L "127.0.0.1:$KPLAIN_PORT" \
        $(klogs "$WORK/kplain") -m "$WORK/kplain" -y "$WORK/kplain" >/dev/null 2>&1 &
    PIDS="$PIDS $!"
    KCLAM_PORT=$(free_port)
    "$KORVANTEL" -f -c "$WORK/kclam/korvantel.xml" -s conf/section.xml -L "127.0.0.1:$KCLAM_PORT" \
        -l "$WORK/kclam/native.log" -d 16842752 -m "$WORK/kclam" -y "$WORK/kclam" >/dev/null 2>&1 &
    PIDS="$PIDS $!"
    wait_port "$KPLAIN_PORT" || return 0
    wait_port "$KCLAM_PORT" || return 0
    printf "\n%-16s %-8s %12s %12s %7s %8s %10s %8s\n" "virus scanning" "object" "requests/s" "p99 ms" "ratio" "non-2xx" "sock-errs" "cpu us/r"
    set -- $(measure "$KPLAIN_PORT" 100k.bin 1)
    plain=$1
    printf "%-16s %-8s %12.0f %12.2f %7s %8d %10d %8s\n" "unscanned" 100k.bin "$1" "$2" "1.00" "$3" "$4" "$5"
    set -- $(measure "$KCLAM_PORT" 100k.bin 1)
    ratio=$(awk -v a="$1" -v b="$plain" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
    printf "%-16s %-8s %12.0f %12.2f %7s %8d %10d %8s\n" "clamav" 100k.bin "$1" "$2" "$ratio" "$3" "$4" "$5"
    if grep -q "not scanned" "$WORK/kclam/native.log" 2>/dev/null; then
        echo "warning: some responses went out unscanned: $(grep -c 'not scanned' "$WORK/kclam/native.log")" >&2
    fi
}
if wanted clamav; then clamav_case; fi

# Keyword filtering: a 100 KiB HTML page scored by 500 keyword rules that it
# does not reach the threshold with (every rule reads the whole body),
# beside the unfiltered figure for the same page.
keyword_case() {
    mkdir -p "$WORK/kkeyword"
    python3 - "$WORK/www/page.html" "$WORK/kkeyword/korvantel.xml" <<'PY'
import random, sys
page, path = sys.argv[1:]
random.seed(1)
words = ["lorem", "ipsum", "dolor", "sit", "amet", "proxy", "cache", "filter", "page", "text"]
out, size = ["<html><head><title>bench</title></head><body>\n"], 0
while size < 102400:
    line = "<p>" + " ".join(random.choice(words) for _ in range(12)) + "</p>\n"
    out.append(line)
    size += len(line)
out.append("</body></html>\n")
open(page, "w").write("".join(out))
text = open("conf/korvantel.xml").read()
rule = ("<rule><enabled>true</enabled><comment>k%d</comment><profiles></profiles><mime>^text/html</mime>"
        "<keyword>absentword%d</keyword><score>1</score></rule>")
rules = "".join(rule % (i, i) for i in range(500))
start = text.index("<keywords-filtering>")
end = text.index("</keywords-filtering>")
text = (text[:start] + "<keywords-filtering><enabled>true</enabled><threshold>1000</threshold><template></template>"
        + rules + text[end:])
open(path, "w").write(text)
PY
    chmod a+r "$WORK/www/page.html"
    kport=$(free_port)
    "$KORVANTEL" -f -c "$WORK/kkeyword/korvantel.xml" -s conf/section.xml -L "127.0.0.1:$kport" \
        $(klogs "$WORK/kkeyword") -m "$WORK/kkeyword" -y "$WORK/kkeyword" >/dev/null 2>&1 &
    kpid=$!
    PIDS="$PIDS $kpid"
    wait_port "$kport" || return 0
    printf "\n%-16s %-10s %12s %10s %8s %10s %7s %8s\n" "keywords, page" "target" "requests/s" "p99 ms" "non-2xx" "sock-errs" "ratio" "cpu us/r"
    set -- $(measure "$KORVANTEL_PORT" page.html 1)
    plain=$1
    printf "%-16s %-10s %12.0f %10.2f %8d %10d %7s %8s\n" unfiltered korvantel "$1" "$2" "$3" "$4" 1.00 "$5"
    set -- $(measure "$kport" page.html 1 "$kpid" keywords)
    ratio=$(awk -v a="$1" -v b="$plain" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
    printf "%-16s %-10s %12.0f %10.2f %8d %10d %7s %8s\n" keywords-500 korvantel "$1" "$2" "$3" "$4" "$ratio" "$5"
    kill "$kpid" 2>/dev/null || true
}
if wanted keywords; then keyword_case; fi

# Interleaved rounds: the targets take turns, in reversed order every other
# round, so that whatever else the machine does weighs on each alike. A
# target's summary: mean req/s and p99 over its rounds, and its CPU time over
# all of them divided by all its requests. Summaries go to $WORK/goals.
ROUNDS=${ROUNDS:-3}
: > "$WORK/goals"
compare() { # case object connections name:port:pid...
    cmp_case=$1 cmp_object=$2 cmp_saved=$CONNECTIONS
    CONNECTIONS=$3
    shift 3
    cmp_targets="$*"
    : > "$WORK/rounds"
    r=1
    while [ "$r" -le "$ROUNDS" ]; do
        cmp_order=""
        for t in $cmp_targets; do
            if [ $((r % 2)) = 1 ]; then cmp_order="$cmp_order $t"; else cmp_order="$t $cmp_order"; fi
        done
        for t in $cmp_order; do
            cmp_name=${t%%:*} cmp_rest=${t#*:}
            cmp_profile=""
            [ "$cmp_name" != korvantel ] || cmp_profile="$cmp_case-$r"
            echo "$cmp_name $(measure_cpu "${cmp_rest%%:*}" "$cmp_object" "${cmp_rest#*:}" $cmp_profile)" >> "$WORK/rounds"
        done
        r=$((r + 1))
    done
    CONNECTIONS=$cmp_saved
    awk -v c="$cmp_case" -v goals="$WORK/goals" '
        !($1 in n) { order[++count] = $1 }
        { n[$1]++; rps[$1] += $2; p99[$1] += $3; bad[$1] += $4; socks[$1] += $5; cpu[$1] += $6; reqs[$1] += $7 }
        END {
            for (i = 1; i <= count; i++) {
                t = order[i]
                per = reqs[t] > 0 ? cpu[t] / reqs[t] : 0
                printf "%-16s %-10s %12.0f %10.2f %10.1f %8d %10d\n", c, t, rps[t] / n[t], p99[t] / n[t], per, bad[t], socks[t]
                printf "%s %s %f %f %f\n", c, t, rps[t] / n[t], p99[t] / n[t], per >> goals
            }
        }' "$WORK/rounds"
}
compare_header() { # title
    printf "\n%s\n%-16s %-10s %12s %10s %10s %8s %10s\n" "$1" case target requests/s "p99 ms" "CPU us/req" non-2xx sock-errs
}

# The goals against squid: 1 KiB misses (neither proxy caching) and hits, and
# the hits' p99 at 1,000 connections.
if wanted goals; then
    compare_header "vs squid, $ROUNDS rounds"
    compare miss-1k 1k.bin "$CONNECTIONS" "korvantel:$KORVANTEL_PORT:$KORVANTEL_PID" "squid:$SQUID_PORT:$SQUID_PID"
    compare hit-1k 1k.bin "$CONNECTIONS" "korvantel:$KCACHE_PORT:$KCACHE_PID" "squid:$SQCACHE_PORT:$SQCACHE_PID"
    compare hit-1k-c1000 1k.bin 1000 "korvantel:$KCACHE_PORT:$KCACHE_PID" "squid:$SQCACHE_PORT:$SQCACHE_PID"
fi

# Filtering against e2guardian: both with the same 1,000 blocked sites (none
# of them asked for) and the same 20 weighted phrases with a threshold of 50,
# on a 1 KiB and a 100 KiB HTML page that pass and a 1 KiB page that the
# phrases block. Korvantel's cache is off (e2guardian has none); both log
# as shipped.
e2guardian_case() {
    E2G=/usr/sbin/e2guardian
    [ -x "$E2G" ] && [ -d /etc/e2guardian ] || { echo "e2guardian is not installed: no filtering comparison" >&2; return 0; }
    dir="$WORK/e2g"
    mkdir -p "$dir" "$WORK/kfilter"
    cp -r /etc/e2guardian "$dir/etc"
    grep -rl /etc/e2guardian "$dir/etc" | while read -r f; do sed -i "s|/etc/e2guardian|$dir/etc|g" "$f"; done
    E2G_PORT=$(free_port)
    python3 - "$WORK/www" "$WORK/kfilter/korvantel.xml" "$dir" "$E2G_PORT" <<'PY'
import random, re, sys
www, kconf, e2g, port = sys.argv[1:]
random.seed(2)
words = ["lorem", "ipsum", "dolor", "sit", "amet", "proxy", "cache", "filter", "page", "text"]
phrases = ["casino", "poker", "jackpot", "roulette", "blackjack", "slotmachine", "betting", "wager", "lottery",
           "bingo", "gamble", "bookmaker", "croupier", "baccarat", "craps", "keno", "parlay", "sportsbook",
           "handicapper", "scratchcard"]
weights = [5 + (i % 4) * 5 for i in range(len(phrases))]
def page(size, extra=""):
    out, n = ["<html><head><title>bench</title></head><body>\n", extra], 0
    while n < size:
        line = "<p>" + " ".join(random.choice(words) for _ in range(12)) + "</p>\n"
        out.append(line)
        n += len(line)
    out.append("</body></html>\n")
    return "".join(out)
open(www + "/filter-1k.html", "w").write(page(900))
open(www + "/filter-100k.html", "w").write(page(102300))
# Eight phrases, 100 points: over the threshold of 50.
open(www + "/blocked.html", "w").write(page(700, "<p>" + " ".join(phrases[:8]) + "</p>\n"))

text = open("conf/korvantel.xml").read()
text = re.sub(r"(<cache>\s*<enabled>)true(</enabled>)", r"\1false\2", text, count=1)
rule = ("<deny><enabled>true</enabled><comment>r%d</comment><profiles></profiles>"
        "<host>(^|[.])blocked-%d[.]example$</host><path></path><addresses></addresses><template></template></deny>")
start, end = text.index("<url-filtering>"), text.index("</url-filtering>")
text = (text[:start] + "<url-filtering><enabled>true</enabled><order>denyfirst</order><template></template>"
        + "".join(rule % (i, i) for i in range(1000)) + text[end:])
rule = ("<rule><enabled>true</enabled><comment>k%d</comment><profiles></profiles><mime>^text/html</mime>"
        "<keyword>%s</keyword><score>%d</score></rule>")
start, end = text.index("<keywords-filtering>"), text.index("</keywords-filtering>")
text = (text[:start] + "<keywords-filtering><enabled>true</enabled><threshold>50</threshold><template></template>"
        + "".join(rule % (i, p, w) for i, (p, w) in enumerate(zip(phrases, weights))) + text[end:])
open(kconf, "w").write(text)

lists = e2g + "/etc/lists/"
open(lists + "bannedsitelist", "w").write("".join("blocked-%d.example\n" % i for i in range(1000)))
open(lists + "weightedphraselist", "w").write("".join("<%s><%d>\n" % pw for pw in zip(phrases, weights)))
for name in ("bannedphraselist", "exceptionphraselist"):
    open(lists + name, "w").write("")
conf = e2g + "/etc/e2guardian.conf"
text = open(conf).read()
text = re.sub(r"(?m)^filterip =.*$", "filterip = 127.0.0.1", text)
text = re.sub(r"(?m)^filterports = .*$", "filterports = " + port, text)
text = re.sub(r"(?m)^checkip = .*$", "", text)
text = re.sub(r"(?m)^nodaemon = .*$", "nodaemon = on", text)
# No transparent HTTPS listener on every address.
text = re.sub(r"(?m)^transparenthttpsport = .*$", "", text)
text += "loglocation = '%s/access.log'\npidfilename = '%s/e2guardian.pid'\n" % (e2g, e2g)
open(conf, "w").write(text)
group = e2g + "/etc/e2guardianf1.conf"
text = re.sub(r"(?m)^naughtynesslimit = .*$", "naughtynesslimit = 50", open(group).read())
open(group, "w").write(text)
PY
    chmod -R a+rX "$WORK/www" "$dir/etc"
    chmod 777 "$dir"
    "$E2G" -N -c "$dir/etc/e2guardian.conf" >"$dir/stdout.log" 2>&1 &
    E2G_PID=$!
    PIDS="$PIDS $E2G_PID"
    kport=$(free_port)
    "$KORVANTEL" -f -c "$WORK/kfilter/korvantel.xml" -s conf/section.xml -L "127.0.0.1:$kport" \
        $(klogs "$WORK/kfilter") -m "$WORK/kfilter" -y "$WORK/kfilter" $KARGS >/dev/null 2>&1 &
    kpid=$!
    PIDS="$PIDS $kpid"
    wait_port "$kport" || return 0
    wait_port "$E2G_PORT" || return 0
    # Both must pass the pages and block the blocked one, or the figures
    # compare different work.
    for target in "korvantel $kport" "e2guardian $E2G_PORT"; do
        set -- $target
        for object in filter-1k.html filter-100k.html blocked.html; do
            got=$(curl -s -m 10 --proxy "http://127.0.0.1:$2" "http://127.0.0.1:$ORIGIN_PORT/$object" | grep -c "bench</title>" || true)
            want=1
            [ "$object" != blocked.html ] || want=0
            [ "$got" = "$want" ] || echo "warning: $1 did not $( [ $want = 1 ] && echo pass || echo block ) $object" >&2
        done
    done
    compare_header "vs e2guardian, $ROUNDS rounds"
    compare filter-1k filter-1k.html "$CONNECTIONS" "korvantel:$kport:$kpid" "e2guardian:$E2G_PORT:$E2G_PID"
    compare filter-100k filter-100k.html "$CONNECTIONS" "korvantel:$kport:$kpid" "e2guardian:$E2G_PORT:$E2G_PID"
    compare blocked blocked.html "$CONNECTIONS" "korvantel:$kport:$kpid" "e2guardian:$E2G_PORT:$E2G_PID"
    kill "$kpid" 2>/dev/null || true
    e2guardian_stop
}
if wanted e2guardian; then e2guardian_case; fi

# The issue's goals, from the interleaved rounds above.
if [ -s "$WORK/goals" ]; then
    printf "\n%-34s %10s %10s %s\n" "goal" "measured" "target" "met"
    awk '
        { rps[$1 " " $2] = $3; p99[$1 " " $2] = $4; cpu[$1 " " $2] = $5 }
        function ratio(c, k, peer, what,   a, b) {
            if (!((c " " k) in rps) || !((c " " peer) in rps)) return -1
            a = what == "rps" ? rps[c " " k] : what == "p99" ? p99[c " " k] : cpu[c " " k]
            b = what == "rps" ? rps[c " " peer] : what == "p99" ? p99[c " " peer] : cpu[c " " peer]
            return b > 0 ? a / b : -1
        }
        function goal(label, c, peer, what, op, target,   r, ok) {
            r = ratio(c, "korvantel", peer, what)
            if (r < 0) return
            ok = op == ">=" ? r >= target : r <= target
            printf "%-34s %10.2f %10s %s\n", label, r, (op == "" ? "" : op " " target), op == "" ? "" : (ok ? "yes" : "NO")
        }
        END {
            goal("1 KiB hit req/s / squid", "hit-1k", "squid", "rps", ">=", 0.7)
            goal("1 KiB hit CPU per req / squid", "hit-1k", "squid", "cpu", "<=", 2)
            goal("1 KiB miss req/s / squid", "miss-1k", "squid", "rps", ">=", 1.4)
            goal("c1000 hit p99 / squid", "hit-1k-c1000", "squid", "p99", "<=", 2)
            goal("filter 1 KiB req/s / e2guardian", "filter-1k", "e2guardian", "rps", ">=", 2.5)
            goal("filter 100 KiB req/s / e2guardian", "filter-100k", "e2guardian", "rps", ">=", 6)
            goal("blocked page req/s / e2guardian", "blocked", "e2guardian", "rps", "", 0)
            goal("filter 1 KiB CPU per req / e2g", "filter-1k", "e2guardian", "cpu", "", 0)
            goal("filter 100 KiB CPU per req / e2g", "filter-100k", "e2guardian", "cpu", "", 0)
        }' "$WORK/goals"
fi

# Ratios and targets.
printf "\n%-16s %10s %10s %12s %s\n" "korvantel/squid" "req/s" "p99" "target" "met"
awk '
    { rps[$1 " " $2] = $3; p99[$1 " " $2] = $4 }
    function line(c, min, lat, k,   r, l, ok, label) {
        if (!((c " squid") in rps) || !((c " " k) in rps)) return
        if ((c " squid-missed") in rps) {
            printf "%-16s %s\n", c, "no ratio: squid answered from the origin, not its cache"
            return
        }
        r = rps[c " squid"] > 0 ? rps[c " " k] / rps[c " squid"] : 0
        l = p99[c " squid"] > 0 ? p99[c " " k] / p99[c " squid"] : 0
        ok = (r >= min) && (!lat || l <= 1)
        label = k == "korvantel" ? c : c " -C 10"
        printf "%-16s %10.2f %10.2f %12s %s\n", label, r, l, ">=" min (lat ? ", p99<=1" : ""), ok ? "yes" : "NO"
    }
    END {
        line("pass-1k", 1.2, 1, "korvantel")
        line("pass-1k", 1.2, 1, "korv-C10")
        line("pass-100k", 1.0, 0, "korvantel")
        line("hit-1k", 1.5, 1, "korvantel")
        line("hit-1k", 1.5, 1, "korv-C10")
        if (rps["rss squid"] > 0) {
            m = rps["rss korvantel"] / rps["rss squid"]
            printf "%-16s %10.2f %10s %12s %s\n", "idle VmRSS", m, "", "<1", m < 1 ? "yes" : "NO"
        }
    }' "$RESULTS"
