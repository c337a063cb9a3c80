#!/bin/sh
# Load on the example HTTP server: wrk with one request per connection, three
# bounded runs in a private network namespace, debug output off. Prints each
# run's requests/s, p99 latency and errors, then the medians, and the same for
# a peer measured in the same run: Python's threading HTTP server answering a
# text of the same kind, also one request per connection.
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
PEER_PORT=18081
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
python3 - "$PEER_PORT" >/dev/null 2>&1 <<'PEER' &
import http.server, sys
class Hello(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def do_GET(self):
        body = b"Hello from the peer\n" + self.requestline.encode() + b"\n" + bytes(self.headers)
        self.send_response(200)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args):
        pass
http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), Hello).serve_forever()
PEER
PEER=$!
trap 'kill $SERVER $PEER 2>/dev/null; wait $SERVER $PEER 2>/dev/null || true' EXIT
URL="http://127.0.0.1:$PORT/hello"
PEER_URL="http://127.0.0.1:$PEER_PORT/hello"
for url in "$URL" "$PEER_URL"; do
    tries=0
    until curl -s --noproxy '*' -o /dev/null "$url"; do
        tries=$((tries + 1))
        [ $tries -lt 50 ] || { echo "http-load: $url did not start" >&2; exit 1; }
        sleep 0.1
    done
done

# wrk prints latencies as 850.00us, 12.34ms or 1.02s: in milliseconds.
to_ms='function ms(v) {
    if (v ~ /us$/) return substr(v, 1, length(v) - 2) / 1000
    if (v ~ /ms$/) return substr(v, 1, length(v) - 2) + 0
    if (v ~ /m$/) return substr(v, 1, length(v) - 1) * 60000
    return substr(v, 1, length(v) - 1) * 1000
}'
# measure NAME URL: RUNS runs, then "NAME: median requests/s, median p99".
measure() {
    results=""
    target=$2
    echo "$1: wrk -t$THREADS -c$CONNECTIONS -d$DURATION --latency -H 'Connection: close' $target"
    for run in $(seq 1 $RUNS); do
        out=$(wrk -t"$THREADS" -c"$CONNECTIONS" -d"$DURATION" --latency -H 'Connection: close' "$target")
        summary=$(printf '%s\n' "$out" | awk "$to_ms"'
            /Requests\/sec:/ { rps = $2 }
            $1 == "99%" { p99 = ms($2) }
            /Socket errors:/ { errors = $0; sub(/^ *Socket errors: */, "", errors) }
            /Non-2xx/ { non2xx = $NF }
            END { printf "%s %.3f %s %s\n", rps, p99, non2xx == "" ? 0 : non2xx, errors == "" ? "none" : errors }')
        # Split into its fields on purpose.
        # shellcheck disable=SC2086
        set -- $summary
        printf '  run %d: %s requests/s, p99 %s ms, non-2xx %s, socket errors: %s\n' "$run" "$1" "$2" \
            "$3" "$(echo "$summary" | cut -d' ' -f4-)"
        results="$results$1 $2
"
    done
}
median() { printf '%s' "$results" | awk "{ print \$$1 }" | sort -g | sed -n "$(((RUNS + 1) / 2))p"; }

measure zrnet "$URL"
ZR_RPS=$(median 1)
ZR_P99=$(median 2)
measure peer "$PEER_URL"
PEER_RPS=$(median 1)
PEER_P99=$(median 2)
echo "median of $RUNS, zrnet: $ZR_RPS requests/s, p99 $ZR_P99 ms"
echo "median of $RUNS, peer (Python ThreadingHTTPServer): $PEER_RPS requests/s, p99 $PEER_P99 ms"
awk -v a="$ZR_RPS" -v b="$PEER_RPS" -v c="$ZR_P99" -v d="$PEER_P99" \
    'BEGIN { printf "ratio zrnet/peer: requests/s %.2f, p99 %.2f\n", a / b, c / d }'
