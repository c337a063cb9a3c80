#!/bin/bash
# Where zrnet-hello (bench/compare) spends its time under the load of run.sh:
# wrk -t2 -c32 -H 'Connection: close' (MODE=kept: connections kept open, without
# the header) in a private network namespace, sampled for DURATION (default 8)
# seconds with `perf record -a -g` and reported for the server's process only:
# the server's CPU time per request, the top entries by shared object and
# symbol, the inclusive share of the libc entry points (system calls, thread
# start), the share of each thread name, and the split kernel / Qt / glib /
# libzrnet / libc.
#
# First, per request under the same wrk for COUNT_SECONDS (default 3): the server's
# context switches (perf stat's software counter over all its threads; without perf,
# the voluntary and involuntary switches of /proc/PID/task/*/status, threads alive at
# both ends only), CPU migrations, and instructions where the machine has hardware
# counters (a virtual machine often has none: then callgrind counts them at the end,
# over sequential requests).
#
# Sampling is system-wide (per CPU) on purpose: per-thread sampling restarts its
# period in every new thread and so misses most of the short-lived connection
# threads. Where perf cannot sample, callgrind counts instructions over
# REQUESTS (default 1000) sequential requests instead (kept: on one connection);
# PROFILE_TOOL=callgrind chooses that anyway.
#
#   bench/compare/profile.sh
#   MODE=kept bench/compare/profile.sh
#
# Builds zrnet-hello in BUILD (default build); the data stay in BUILD/bench/compare/profile.
set -eu
DURATION=${DURATION:-8}
COUNT_SECONDS=${COUNT_SECONDS:-3}
REQUESTS=${REQUESTS:-1000}
TOP=${TOP:-25}
MODE=${MODE:-close}
PORT=18190
cd "$(dirname "$0")/../.."
BUILD=${BUILD:-build}
OUT=$(pwd)/$BUILD/bench/compare/profile
SERVER=$(pwd)/$BUILD/bench/compare/zrnet-hello/zrnet-hello

# shellcheck source=bench/compare/common.sh
. bench/compare/common.sh

perf_works() {
    command -v perf >/dev/null &&
        perf stat -e task-clock true >/dev/null 2>&1 &&
        perf record -a -g -o "$OUT/check.data" -- sleep 0.1 >/dev/null 2>&1 &&
        perf report -i "$OUT/check.data" --stdio 2>/dev/null | grep -v '^#' | grep -q .
}

if [ -z "${ZRNET_PROFILE_IN_NETNS:-}" ]; then
    install_missing wrk curl iproute2 util-linux procps
    build_zrnet_hello "$BUILD"
    mkdir -p "$OUT"
    TOOL=${PROFILE_TOOL:-perf}
    if [ "$TOOL" = perf ]; then
        install_missing linux-perf
        perf_works || {
            echo "profile: perf cannot sample here; counting instructions with callgrind instead"
            TOOL=callgrind
        }
    fi
    # Hardware counters: instructions from perf stat, else from callgrind.
    COUNTERS=none
    if command -v perf >/dev/null && perf stat -x, -e context-switches true 2>&1 | grep -q '^[0-9]'; then
        COUNTERS=software
        perf stat -x, -e instructions true 2>&1 | grep -q '^[0-9]' && COUNTERS=hardware
    fi
    if [ "$TOOL" != perf ] || [ "$COUNTERS" != hardware ]; then install_missing valgrind; fi
    exec env ZRNET_PROFILE_IN_NETNS=1 BUILD="$BUILD" TOOL="$TOOL" DURATION="$DURATION" \
        REQUESTS="$REQUESTS" TOP="$TOP" MODE="$MODE" COUNTERS="$COUNTERS" \
        COUNT_SECONDS="$COUNT_SECONDS" unshare --net bash "$0"
fi

# ---- inside the private network namespace from here on ----
ip link set lo up
ulimit -n "$(ulimit -Hn)"
URL=http://127.0.0.1:$PORT/hello
HEADER=(-H 'Connection: close')
[ "$MODE" = close ] || HEADER=()
trap end_started EXIT
trap 'exit 130' INT TERM

wait_ready() { # wait_ready TENTHS
    wait_answering "$URL" "$server" "$1" || {
        echo "profile: zrnet-hello did not start" >&2
        exit 1
    }
}

# Ends the server with SIGTERM, which it handles by stopping, and waits (bounded).
stop_server() {
    local tries=0
    kill "$server" 2>/dev/null || true
    while kill -0 "$server" 2>/dev/null && [ $tries -lt 300 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
    wait "$server" 2>/dev/null || true
    PIDS=${PIDS/ $server/}
}

cd "$OUT"
echo "## zrnet-hello profile, $(date -u '+%Y-%m-%d %H:%M UTC'), zrnet $(git -C "$OLDPWD" rev-parse --short HEAD 2>/dev/null || echo '?')"

# Instructions over REQUESTS sequential requests under callgrind, then (unless "brief") the
# top functions and the split by object file.
callgrind_count() {
    rm -f callgrind.out
    valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file="$OUT/callgrind.out" "$SERVER" $PORT \
        >"$OUT/server.log" 2>&1 &
    server=$!
    PIDS="$PIDS $server"
    wait_ready 300
    # Counting starts once the server is up: start-up is not what is measured.
    callgrind_control -i on "$server" >/dev/null 2>&1
    if [ "$MODE" = close ]; then
        echo "callgrind over $REQUESTS sequential requests (one per connection)"
        for _ in $(seq 1 "$REQUESTS"); do
            curl -s --noproxy '*' --max-time 5 -o /dev/null "$URL" || true
        done
    else
        echo "callgrind over $REQUESTS sequential requests on one kept-open connection"
        for _ in $(seq 1 "$REQUESTS"); do echo "url = \"$URL\""; echo 'output = "/dev/null"'; done |
            curl -s --noproxy '*' --max-time 60 -K - || true
    fi
    stop_server
    # Lines "Ir (share) file:function [object]"; the object is left out where it repeats.
    callgrind_annotate --inclusive=no --auto=no --threshold=100 "$OUT/callgrind.out" 2>/dev/null |
        awk '/file:function/ { body = 1; next } body && NF && !/^-+$/' >"$OUT/functions.txt"
    callgrind_annotate --auto=no "$OUT/callgrind.out" 2>/dev/null |
        awk -v n="$REQUESTS" '/PROGRAM TOTALS/ { t = $1; gsub(/,/, "", t)
            printf "%s instructions in all, %.0f per request\n", $1, t / n }'
    [ "${1:-}" != brief ] || return 0
    echo
    echo "Top $TOP functions by instructions executed (self):"
    echo '```'
    head -n "$TOP" "$OUT/functions.txt"
    echo '```'
    echo
    echo "By object file (self instructions):"
    awk '{
            n = $1; gsub(/,/, "", n)
            if (match($0, /\[\/[^]]*\]$/)) { obj = substr($0, RSTART + 1, RLENGTH - 2); sub(/^.*\//, "", obj) }
            by[obj] += n; total += n
        }
        END { for (o in by) if (by[o] >= total / 10000) printf "%6.2f%%  %s\n", 100 * by[o] / total, o }' \
        "$OUT/functions.txt" |
        sort -rn
}

# Context switches, migrations and (given hardware counters) instructions per request over
# COUNT_SECONDS of the loaded run, on the server as it runs natively.
per_request() {
    local stat="" c0 c1
    echo
    echo "Per request, wrk -t2 -c32 ${HEADER[*]:+-H 'Connection: close' }for ${COUNT_SECONDS}s:"
    QT_LOGGING_RULES='zrnet.*.debug=false' "$SERVER" $PORT >"$OUT/server.log" 2>&1 &
    server=$!
    PIDS="$PIDS $server"
    wait_ready 50
    c0=$(switches)
    if [ "$COUNTERS" != none ]; then
        local events=context-switches,cpu-migrations
        [ "$COUNTERS" = software ] || events=instructions,$events
        perf stat -x, -e "$events" -p "$server" -o "$OUT/stat.csv" &
        stat=$!
        PIDS="$PIDS $stat"
        sleep 0.2
    fi
    timeout --foreground $((COUNT_SECONDS + 30)) wrk -t2 -c32 -d"${COUNT_SECONDS}s" "${HEADER[@]}" \
        "$URL" >"$OUT/wrk-count.txt" || true
    c1=$(switches)
    if [ -n "$stat" ]; then
        kill -INT "$stat" 2>/dev/null || true
        wait "$stat" 2>/dev/null || true
        PIDS=${PIDS/ $stat/}
    fi
    stop_server
    local requests
    requests=$(awk '/ requests in / { print $1 }' "$OUT/wrk-count.txt")
    if [ -z "$requests" ] || [ "$requests" -eq 0 ]; then
        echo "- wrk served no request"
        return 0
    fi
    grep -E 'Requests/sec' "$OUT/wrk-count.txt" | sed 's/^ */- wrk: /'
    if [ -n "$stat" ]; then
        awk -F, -v n="$requests" '$3 ~ /^(instructions|context-switches|cpu-migrations)$/ {
                printf "- %s per request (perf stat): %.2f\n", $3, $1 / n }' "$OUT/stat.csv"
    fi
    [ "$COUNTERS" = hardware ] || echo "- instructions: no hardware counters here; callgrind counts them below"
    echo "$c0 $c1" | awk -v n="$requests" '{
        printf "- context switches per request from /proc (threads alive at both ends): %.2f voluntary, %.2f involuntary\n",
            ($3 - $1) / n, ($4 - $2) / n }'
}

# Voluntary and involuntary context switches summed over the server's threads now.
switches() {
    cat /proc/"$server"/task/*/status 2>/dev/null |
        awk '/^voluntary_ctxt_switches:/ { v += $2 } /^nonvoluntary_ctxt_switches:/ { n += $2 }
             END { print v + 0, n + 0 }'
}

per_request
if [ "$TOOL" = callgrind ]; then
    callgrind_count
    exit 0
fi

QT_LOGGING_RULES='zrnet.*.debug=false' "$SERVER" $PORT >"$OUT/server.log" 2>&1 &
server=$!
PIDS="$PIDS $server"
wait_ready 50
echo "perf record -a -g for ${DURATION}s while wrk -t2 -c32 ${HEADER[*]:+-H 'Connection: close' }loads the server"
cpu0=$(sed 's/.*) //' "/proc/$server/stat" | awk '{ print $12 + $13 }')
timeout --foreground $((DURATION + 30)) wrk -t2 -c32 -d"$((DURATION + 2))s" "${HEADER[@]}" \
    "$URL" >"$OUT/wrk.txt" &
wrk=$!
PIDS="$PIDS $wrk"
sleep 1
rm -f "$OUT/perf.data" "$OUT/perf.data.old"
perf record -a -g -o "$OUT/perf.data" -- sleep "$DURATION" 2>"$OUT/perf-record.log" >/dev/null
wait "$wrk" || true
PIDS=${PIDS/ $wrk/}
cpu1=$(sed 's/.*) //' "/proc/$server/stat" | awk '{ print $12 + $13 }')
pid=$server
stop_server
grep -E 'Requests/sec|Socket errors|Non-2xx' "$OUT/wrk.txt" | sed 's/^ */wrk: /'
awk -v t=$((cpu1 - cpu0)) -v tck="$(getconf CLK_TCK)" '/ requests in / {
        printf "server CPU (utime+stime over wrk'"'"'s run): %.1f µs per request\n", t * 1e6 / tck / $1 }' \
    "$OUT/wrk.txt"

# report [perf report options]: the server's share only, without perf's comment lines
# and trailing columns.
report() {
    perf report -i "$OUT/perf.data" --pid "$pid" --percentage relative --stdio -g none "$@" \
        2>/dev/null | grep -v '^#' | sed 's/  *- *- *$//; s/ *$//' | grep .
}
echo
echo "Top $TOP (perf report --no-children --sort dso,symbol), share of the server's samples:"
echo '```'
report --no-children --sort dso,symbol | head -n "$TOP"
echo '```'
echo
echo "Inclusive share of user-space entry points (--children; the library has no frame pointers,"
echo "so its own frames are partly misattributed, but system calls through libc are reliable):"
echo '```'
report --children --sort dso,symbol | grep '\[\.\]' | grep -v '\[unknown\]' | head -n 20
echo '```'
echo
echo "By thread name, with sample counts (a new thread bears the program's name until Qt renames it):"
report --no-children -n --sort comm | head -n 5
echo
# perf's own --sort dso leaves the kernel out when filtering by process: sum the symbols instead.
echo "By shared object:"
report --no-children --sort dso,symbol | awk '{
        share = $1; sub(/%/, "", share); dso = $2
        if (dso ~ /^\[kernel|^\[vdso/) g = "kernel"
        else if (dso ~ /^libQt/) g = "Qt"
        else if (dso ~ /^libglib|^libgthread|^libpcre/) g = "glib (Qt event dispatcher)"
        else if (dso ~ /^libzrnet/) g = "libzrnet"
        else if (dso ~ /^libc\.|^ld-linux/) g = "libc"
        else if (dso ~ /^libstdc\+\+/) g = "libstdc++"
        else if (dso == "zrnet-hello") g = "zrnet-hello"
        else g = "other (" dso ")"
        by[g] += share
        dsos[dso] += share
    }
    END {
        for (d in dsos) printf "%6.2f%%  %s\n", dsos[d], d | "sort -rn"
        close("sort -rn")
        print ""
        fflush()
        for (g in by) printf "%6.2f%%  %s\n", by[g], g | "sort -rn"
        close("sort -rn")
    }'
if [ "$COUNTERS" != hardware ]; then
    echo
    callgrind_count brief
fi
