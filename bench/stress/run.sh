#!/bin/sh
# Load and fault programs for the HTTP server, each bounded in time and count, on loopback
# inside a private network namespace. Prints every program's figures and command, then a
# summary line per program.
#
#   bench/stress/run.sh [scenario...]
#
# Scenarios (all by default, in this order):
#   idle      5,000 idle connections, the connection cap raised to 6,000 for them
#   idle-cap  1,500 idle connections under the default cap of 1,024
#   slow      500 clients sending one byte a second beside a normal client
#   readers   2 clients taking a 4 MiB reply at 512 bytes/s from a server capped at 2, then
#             another client asks
#   stalled   the same with clients that take nothing after the first bytes
#   steady    the same with clients taking 4 KiB/s, above the server's minimum: served
#   reset     300 clients resetting the connection in the middle of a 4 MiB reply
#   stop      stop() and destruction of a server with 500 live connections
#   exhaust   1,000 clients against a server limited to 256 descriptors, held a minute
#   soak      wrk, one request per connection, until 1,000,000 requests or 10 minutes
# BUILD names the build directory (default build).
set -e
cd "$(dirname "$0")/../.."
BUILD=${BUILD:-build}

if [ -z "$ZRNET_STRESS_IN_NETNS" ]; then
    command -v wrk >/dev/null || { echo "stress: wrk is missing (./scripts/setup installs it)" >&2; exit 1; }
    cmake -S . -B "$BUILD" -DZRNET_BUILD_BENCH=ON >/dev/null
    cmake --build "$BUILD" -j2 --target zrnet-stress >/dev/null
    exec env ZRNET_STRESS_IN_NETNS=1 BUILD="$BUILD" unshare --net sh "$0" "$@"
fi

ip link set lo up
# Both ends of 5,000 connections live on this machine: the client and the server process
# need over 5,000 descriptors each. A million connections need the namespace's port range.
ulimit -n "$(ulimit -Hn)"
sysctl -qw net.ipv4.ip_local_port_range="1024 65000"
sysctl -qw net.ipv4.tcp_tw_reuse=1
STRESS="$BUILD/bench/stress/zrnet-stress"
SOAK_PORT=18090
summary=""

note() {
    summary="$summary$1
"
}

run() {
    name=$1
    shift
    echo "== $name: zrnet-stress $*"
    if "$STRESS" "$@"; then note "$name: OK"; else note "$name: FAILED"; fi
}

# wrk in segments of 10 s against the stress server, reading the server's memory after each.
soak() {
    echo "== soak: wrk -t2 -c50 -d10s -H 'Connection: close', repeated until 1,000,000 requests or 10 minutes"
    "$STRESS" serve --port $SOAK_PORT >/dev/null &
    server=$!
    tries=0
    until curl -s --noproxy '*' -o /dev/null "http://127.0.0.1:$SOAK_PORT/"; do
        tries=$((tries + 1))
        [ $tries -lt 50 ] || { note "soak: FAILED (no server)"; kill $server; return; }
        sleep 0.1
    done
    total=0
    failed=0
    segment=0
    start=$(date +%s)
    warm=""
    while [ $total -lt 1000000 ] && [ $(($(date +%s) - start)) -lt 600 ]; do
        out=$(wrk -t2 -c50 -d10s -H 'Connection: close' "http://127.0.0.1:$SOAK_PORT/hello")
        # Split into its fields on purpose.
        # shellcheck disable=SC2046
        set -- $(printf '%s\n' "$out" | awk '
            /requests in/ { n = $1 }
            /Requests\/sec:/ { rps = $2 }
            /Socket errors:/ { gsub(/[^0-9 ]/, " "); for (i = 1; i <= NF; i++) e += $i }
            /Non-2xx/ { e += $NF }
            END { printf "%d %d %d\n", n, rps, e }')
        segment=$((segment + 1))
        total=$((total + $1))
        failed=$((failed + $3))
        rss=$(awk '/^VmRSS:/ { print $2 }' /proc/$server/status)
        threads=$(awk '/^Threads:/ { print $2 }' /proc/$server/status)
        [ $segment -ne 2 ] || warm=$rss
        echo "  segment $segment: $1 requests ($2/s), $3 failed; server RSS $rss KiB, $threads threads"
    done
    kill -TERM $server
    wait $server && clean=yes || clean=NO
    echo "  $total requests in $(($(date +%s) - start)) s, $failed failed; server RSS after warm-up (segment 2) ${warm:-?} KiB, at the end $rss KiB; ended cleanly: $clean"
    if [ $failed -eq 0 ] && [ $clean = yes ]; then note "soak: OK"; else note "soak: FAILED"; fi
}

for scenario in ${*:-idle idle-cap slow readers stalled steady reset stop exhaust soak}; do
    case $scenario in
    idle) run idle idle --connections 5000 --request-timeout 2000 --max-connections 6000 ;;
    idle-cap) run idle-cap idle --connections 1500 --request-timeout 2000 --max-connections -1 ;;
    slow) run slow slow --clients 500 --request-timeout 5000 ;;
    readers) run readers readers --readers 2 --rate 512 --request-timeout 5000 --seconds 60 ;;
    stalled) run stalled readers --readers 2 --rate 0 --request-timeout 5000 --seconds 60 ;;
    steady) run steady readers --readers 2 --rate 4096 --request-timeout 5000 --seconds 30 ;;
    reset) run reset reset --clients 300 ;;
    stop) run stop stop --connections 500 ;;
    # The server sets its own descriptor limit, as ulimit -n 256 would.
    exhaust) run exhaust exhaust --clients 1000 --fd-limit 256 --seconds 60 ;;
    soak) soak ;;
    *) echo "stress: no scenario $scenario" >&2; exit 2 ;;
    esac
done
echo "== summary"
printf '%s' "$summary"
case $summary in *FAILED*) exit 1 ;; esac
