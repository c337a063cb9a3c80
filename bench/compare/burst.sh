#!/bin/bash
# How many threads zrnet-hello takes while a burst of kept-open clients arrives: CLIENTS
# (default 10,000) clients of bench/compare/peers/idle-clients each send one whole request,
# read its answer and keep the connection open; meanwhile the server's Threads, VmRSS and
# descriptors are read from /proc every 0.25 s. Once all are connected (or CONNECT_SECONDS
# have passed) and the server has held them SETTLE_SECONDS more, it prints the server's RSS
# and threads with them held, the peak during the burst, and a fresh request's time.
# Bounded: the clients connect for at most CONNECT_SECONDS (default 20) and are held for
# at most a minute; all on 127.0.0.1 in a private network namespace.
#
#   bench/compare/burst.sh
#   CLIENTS=2000 bench/compare/burst.sh
#
# Builds zrnet-hello in BUILD (default build) and idle-clients into BUILD/bench/compare/peers.
set -eu
CLIENTS=${CLIENTS:-10000}
CONNECT_SECONDS=${CONNECT_SECONDS:-20}
SETTLE_SECONDS=${SETTLE_SECONDS:-3}
PORT=18195
cd "$(dirname "$0")/../.."
BUILD=${BUILD:-build}
OUT=$(pwd)/$BUILD/bench/compare
SERVER=$OUT/zrnet-hello/zrnet-hello
IDLER=$OUT/peers/idle-clients

# shellcheck source=bench/compare/common.sh
. bench/compare/common.sh

if [ -z "${ZRNET_BURST_IN_NETNS:-}" ]; then
    install_missing gcc curl iproute2 util-linux procps
    build_zrnet_hello "$BUILD"
    mkdir -p "$OUT/peers"
    cc -O2 -g -Wall -o "$IDLER" bench/compare/peers/idle-clients.c
    exec env ZRNET_BURST_IN_NETNS=1 BUILD="$BUILD" CLIENTS="$CLIENTS" \
        CONNECT_SECONDS="$CONNECT_SECONDS" SETTLE_SECONDS="$SETTLE_SECONDS" unshare --net bash "$0"
fi

# ---- inside the private network namespace from here on ----
ip link set lo up
# Both ends of every connection are here: the server and the clients need a descriptor each,
# and the server keeps an eighth of its limit for other uses.
need=$((CLIENTS * 8 / 7 + 1024))
ulimit -n $((need > 65536 ? need : 65536)) 2>/dev/null || ulimit -n "$(ulimit -Hn)"
[ "$(ulimit -n)" -ge "$need" ] || echo "burst: only $(ulimit -n) descriptors per process" >&2
trap end_started EXIT
trap 'exit 130' INT TERM
URL=http://127.0.0.1:$PORT/hello
RUN=$OUT/burst
mkdir -p "$RUN"

QT_LOGGING_RULES='zrnet.*.debug=false' "$SERVER" $PORT >"$RUN/server.log" 2>&1 &
server=$!
PIDS="$PIDS $server"
wait_answering "$URL" "$server" 50 || {
    echo "burst: zrnet-hello did not start:" >&2
    cat "$RUN/server.log" >&2
    exit 1
}

# "threads rss-kb fds" of the server now.
sample() {
    printf '%s %s\n' "$(awk '/^Threads:/ { t = $2 } /^VmRSS:/ { r = $2 } END { print t, r }' \
        "/proc/$server/status")" "$(find "/proc/$server/fd" -mindepth 1 -maxdepth 1 | wc -l)"
}

echo "## zrnet-hello through a burst of $CLIENTS kept-open clients, $(date -u '+%Y-%m-%d %H:%M UTC'), zrnet $(git rev-parse --short HEAD 2>/dev/null || echo '?')"
echo "$(nproc) cores; load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
read -r threads0 rss0 fds0 <<<"$(sample)"
echo "before: $threads0 threads, RSS $rss0 KB, $fds0 descriptors"
echo
echo "| s | threads | RSS MB | descriptors |"
echo "|---:|---:|---:|---:|"
"$IDLER" $PORT "$CLIENTS" "$CONNECT_SECONDS" 60 kept >"$RUN/clients.out" 2>&1 &
idler=$!
PIDS="$PIDS $idler"
start=$(date +%s%N)
peak=0
held_at=""
# Every 0.25 s until the clients say how many connected, then SETTLE_SECONDS more; bounded by
# CONNECT_SECONDS + SETTLE_SECONDS + 10 in all.
while :; do
    now=$(date +%s%N)
    elapsed=$(((now - start) / 1000000))
    read -r threads rss fds <<<"$(sample)"
    [ "$threads" -le "$peak" ] || peak=$threads
    awk -v t="$elapsed" -v th="$threads" -v r="$rss" -v f="$fds" \
        'BEGIN { printf "| %.2f | %d | %.1f | %d |\n", t / 1000, th, r / 1024, f }'
    if [ -z "$held_at" ] && grep -q '^connected' "$RUN/clients.out" 2>/dev/null; then
        held_at=$elapsed
    fi
    [ -z "$held_at" ] || [ $((elapsed - held_at)) -lt $((SETTLE_SECONDS * 1000)) ] || break
    [ "$elapsed" -lt $(((CONNECT_SECONDS + SETTLE_SECONDS + 10) * 1000)) ] || break
    sleep "$(awk -v n="$(date +%s%N)" -v s="$now" 'BEGIN { d = 0.25 - (n - s) / 1e9; print (d > 0 ? d : 0) }')"
done
connected=$(awk '/^connected/ { print $2 }' "$RUN/clients.out")
read -r threads rss fds <<<"$(sample)"
fresh=$(curl -s --noproxy '*' --max-time 2 -o /dev/null -w '%{http_code} %{time_total}' "$URL") || true
echo
echo "Held: ${connected:-0} of $CLIENTS kept-open clients connected within ${held_at:-?} ms;" \
    "the server then: $threads threads, RSS $rss KB ($(awk -v a="$rss" -v b="$rss0" -v n="${connected:-0}" \
        'BEGIN { printf "%.2f", (n > 0 ? (a - b) / n : 0) }') KB per client more than before)," \
    "$fds descriptors"
echo "Peak during the burst: $peak threads (before: $threads0)"
echo "A fresh request while they are held: $fresh (HTTP status, seconds)"
echo "Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
