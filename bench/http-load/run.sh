#!/bin/sh
# Load on the example HTTP server: wrk with one request per connection, three
# bounded runs in a private network namespace, debug output off. Prints each
# run's requests/s, p99 latency and errors, then the medians.
#
#   bench/http-load/run.sh [duration=10s] [connections=50] [threads=2]
#
# BUILD names the build directory (default build); the server is built there.
set -e
DURATION=${1:-10s}
CONNECTIONS=${2:-50}
THREADS=${3:-2}
RUNS=3
PORT=18080
cd "$(dirname "$0")/../.."
BUILD=${BUILD:-build}

if [ -z "$ZRNET_BENCH_IN_NETNS" ]; then
    command -v wrk >/dev/null || { echo "http-load: wrk is missing (./scripts/setup installs it)" >&2; exit 1; }
    cmake -S . -B "$BUILD" -DZRNET_BUILD_EXAMPLES=ON >/dev/null
    cmake --build "$BUILD" -j2 --target http-hello >/dev/null
    # Loopback only, and no other traffic on it.
    exec env ZRNET_BENCH_IN_NETNS=1 BUILD="$BUILD" unshare --net sh "$0" "$@"
fi

ip link set lo up
QT_LOGGING_RULES='zrnet.*.debug=false' "$BUILD/examples/http-hello/http-hello" 127.0.0.1 $PORT >/dev/null &
SERVER=$!
trap 'kill $SERVER 2>/dev/null; wait $SERVER 2>/dev/null || true' EXIT
URL="http://127.0.0.1:$PORT/hello"
tries=0
until curl -s --noproxy '*' -o /dev/null "$URL"; do
    tries=$((tries + 1))
    [ $tries -lt 50 ] || { echo "http-load: the server did not start" >&2; exit 1; }
    sleep 0.1
done

# wrk prints latencies as 850.00us, 12.34ms or 1.02s: in milliseconds.
to_ms='function ms(v) {
    if (v ~ /us$/) return substr(v, 1, length(v) - 2) / 1000
    if (v ~ /ms$/) return substr(v, 1, length(v) - 2) + 0
    if (v ~ /m$/) return substr(v, 1, length(v) - 1) * 60000
    return substr(v, 1, length(v) - 1) * 1000
}'
results=""
echo "wrk -t$THREADS -c$CONNECTIONS -d$DURATION --latency -H 'Connection: close' $URL"
for run in $(seq 1 $RUNS); do
    out=$(wrk -t"$THREADS" -c"$CONNECTIONS" -d"$DURATION" --latency -H 'Connection: close' "$URL")
    summary=$(printf '%s\n' "$out" | awk "$to_ms"'
        /Requests\/sec:/ { rps = $2 }
        $1 == "99%" { p99 = ms($2) }
        /Socket errors:/ { errors = $0; sub(/^ *Socket errors: */, "", errors) }
        /Non-2xx/ { non2xx = $NF }
        END { printf "%s %.3f %s %s\n", rps, p99, non2xx == "" ? 0 : non2xx, errors == "" ? "none" : errors }')
    # Split into its fields on purpose.
    # shellcheck disable=SC2086
    set -- $summary
    printf 'run %d: %s requests/s, p99 %s ms, non-2xx %s, socket errors: %s\n' "$run" "$1" "$2" "$3" \
        "$(echo "$summary" | cut -d' ' -f4-)"
    results="$results$1 $2
"
done
median() { printf '%s' "$results" | awk "{ print \$$1 }" | sort -g | sed -n "$(((RUNS + 1) / 2))p"; }
echo "median of $RUNS: $(median 1) requests/s, p99 $(median 2) ms"
