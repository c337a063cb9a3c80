#!/bin/bash
# ZRHttpServer side by side with other HTTP servers, every one answering each
# request with 200 and the 13-byte body "Hello, world!":
#   nginx            Debian's nginx, a private configuration and prefix under the build directory
#   mhd-epoll-pool   libmicrohttpd, one epoll loop per core on its internal thread pool
#   mhd-thread       libmicrohttpd, a thread per connection (default stacks)
#   civetweb         civetweb with its worker pool
#   cpp-httplib      cpp-httplib with its thread pool
#   pthread-64k      our floor: a detached pthread per connection, 64 KiB stacks
#   pthread-8m       the same with the default 8 MiB stacks
#   epoll-floor      the event-driven floor: two threads, each with its own epoll set and
#                    SO_REUSEPORT socket, serving each ready connection inline, no parser
#   zrnet            bench/compare/zrnet-hello: ZRHttpServer with its defaults, a direct slot
#                    calling sendReply(ZRHttpReply)
# and, for the keep-alive table, the peers configured to keep connections open:
# nginx (keepalive_timeout), libmicrohttpd as it comes, civetweb-ka
# (enable_keep_alive), cpp-httplib-ka as it comes, pthread-ka (a thread per
# connection answering request after request, 64 KiB stacks), epoll-floor, zrnet, and
# qhttpserver: Qt 6's own QHttpServer, in this table only, as it keeps every connection open
# whatever the request says.
#
# All run at once inside a private network namespace (127.0.0.1 only). Each round
# loads every server once, in a rotating order, first one connection per request,
#   wrk -t2 -c32 -d${DURATION}s --latency -H 'Connection: close'
# then with connections kept open (the same without the header), and takes the
# server's CPU time (utime + stime from /proc) over the run. Then each
# server is given 1,000 and then 5,000 idle connections (each sends the start of a
# request and nothing more); their cost is the server's RSS and descriptor count
# before and after, divided by their number, and a fresh request is timed while
# they are held. Then the servers that keep connections open are given 1,000 and
# then 10,000 kept-open idle connections (each sends one whole request, reads its
# answer and keeps the connection open, as browsers do), measured the same way,
# with the server's threads. Prints three markdown tables: medians over the rounds,
# the ratio to nginx taken per round (so a slow moment hits both), then the goals
# for zrnet.
# Then the same over TLS, nginx against zrnet-hello and the floor (tls.sh), static files,
# nginx's `root` against ZRHttpRouter::serveDirectory() and QHttpServer (static.sh), and the
# fairness table: fast requests while 4 clients keep calling a handler that sleeps a second
# (fairness.sh).
#
#   bench/compare/run.sh
#   ROUNDS=1 DURATION=2 IDLE_COUNTS=200 KEPT_IDLE_COUNTS=200 bench/compare/run.sh  # a look
#   TABLES=static ROUNDS=3 bench/compare/run.sh     # one table (hello, tls, static, fairness)
#
# Installs what is missing (no service is started), builds zrnet-hello with the tree
# in BUILD (default build) and compiles the peers into BUILD/bench/compare. About 10
# minutes with the defaults. Not for CI: the figures depend on the machine's load.
set -eu
ROUNDS=${ROUNDS:-5}
TABLES=${TABLES:-hello tls static fairness}
DURATION=${DURATION:-5}
IDLE_COUNTS=${IDLE_COUNTS:-1000 5000}
KEPT_IDLE_COUNTS=${KEPT_IDLE_COUNTS:-1000 10000}
THREADS=2
CONNECTIONS=32
cd "$(dirname "$0")/../.."
BUILD=${BUILD:-build}
OUT=$(pwd)/$BUILD/bench/compare

# shellcheck source=bench/compare/common.sh
. bench/compare/common.sh

build_all() {
    build_zrnet_hello "$BUILD"
    local peers=bench/compare/peers bin=$OUT/peers
    mkdir -p "$bin"
    cc -O2 -g -Wall -o "$bin/pthread-hello" $peers/pthread-hello.c -pthread
    cc -O2 -g -Wall -o "$bin/idle-clients" $peers/idle-clients.c
    cc -O2 -g -Wall -o "$bin/epoll-hello" $peers/epoll-hello.c -pthread -lssl -lcrypto
    # Through Qt6Core and Qt6Network: Qt6HttpServer.pc asks for the WebSockets module, which
    # the server builds without.
    # shellcheck disable=SC2046
    c++ -O2 -g -Wall -std=c++17 -fPIC -o "$bin/qhttpserver-hello" $peers/qhttpserver-hello.cpp \
        -I"$(pkg-config --variable=includedir Qt6Core)/QtHttpServer" \
        $(pkg-config --cflags --libs Qt6Core Qt6Network) -lQt6HttpServer
    cc -O2 -g -Wall -o "$bin/mhd-hello" $peers/mhd-hello.c -lmicrohttpd
    cc -O2 -g -Wall -o "$bin/civetweb-hello" $peers/civetweb-hello.c -lcivetweb
    # The flags must match those the Debian library was compiled with.
    # shellcheck disable=SC2046
    c++ -O2 -g -Wall -o "$bin/httplib-hello" $peers/httplib-hello.cpp \
        $(pkg-config --cflags --libs cpp-httplib) -pthread
}

if [ -z "${ZRNET_COMPARE_IN_NETNS:-}" ]; then
    install_missing nginx libmicrohttpd-dev libcivetweb-dev libcpp-httplib-dev wrk gcc g++ \
        pkg-config curl iproute2 util-linux procps openssl libssl-dev qt6-httpserver-dev
    build_all
    exec env ZRNET_COMPARE_IN_NETNS=1 BUILD="$BUILD" ROUNDS="$ROUNDS" DURATION="$DURATION" \
        IDLE_COUNTS="$IDLE_COUNTS" KEPT_IDLE_COUNTS="$KEPT_IDLE_COUNTS" TABLES="$TABLES" unshare --net bash "$0"
fi

# ---- inside the private network namespace from here on ----
ip link set lo up
# 10,000 idle connections take as many descriptors in the server and in the client.
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"
FDS=$(ulimit -n)
[ "$FDS" -ge 12000 ] || echo "compare: only $FDS descriptors per process; 10,000 idle connections need more" >&2

SERVERS="nginx mhd-epoll-pool mhd-thread civetweb cpp-httplib pthread-64k pthread-8m epoll-floor zrnet"
KEPT_SERVERS="nginx mhd-epoll-pool mhd-thread civetweb-ka cpp-httplib-ka pthread-ka qhttpserver epoll-floor zrnet"
ALL_SERVERS="$SERVERS civetweb-ka cpp-httplib-ka pthread-ka qhttpserver"
# Those given kept-open idle connections: the event loops, the floors, QHttpServer, zrnet.
KEPT_IDLE_SERVERS="nginx mhd-epoll-pool pthread-ka epoll-floor qhttpserver zrnet"
BIN=$OUT/peers
RUN=$OUT/run
rm -rf "$RUN"
mkdir -p "$RUN/nginx" "$RUN/logs"
declare -A PORT SERVER_PID SCHEME
trap end_started EXIT
trap 'exit 130' INT TERM

# write_nginx_conf NAME [LISTEN-OPTIONS SERVER-DIRECTIVES]: nginx's configuration for the
# server NAME, in a folder of its own (nginx-tls adds TLS to the same).
write_nginx_conf() {
    local dir=$RUN/$1
    mkdir -p "$dir"
    cat >"$dir/nginx.conf" <<EOF
daemon off;
master_process on;
worker_processes auto;
worker_rlimit_nofile $FDS;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 10240; }
http {
    access_log off;
    keepalive_timeout 75s;
    keepalive_requests 1000;
    client_body_temp_path $dir/body;
    proxy_temp_path $dir/proxy;
    fastcgi_temp_path $dir/fastcgi;
    uwsgi_temp_path $dir/uwsgi;
    scgi_temp_path $dir/scgi;
    default_type text/plain;
    server {
        listen 127.0.0.1:${PORT[$1]} backlog=1024${2:-};
        ${3:-}
        location / { return 200 "Hello, world!"; }
    }
}
EOF
}

start_server() {
    local name=$1 port=${PORT[$1]}
    local log=$RUN/logs/$name.log
    case $name in
    nginx)
        write_nginx_conf nginx
        nginx -e "$RUN/nginx/error.log" -p "$RUN/nginx" -c "$RUN/nginx/nginx.conf" >"$log" 2>&1 &
        ;;
    nginx-static)
        write_nginx_conf nginx-static "" "sendfile on; include /etc/nginx/mime.types;
        location /static/ { root $RUN/www; }"
        nginx -e "$RUN/$name/error.log" -p "$RUN/$name" -c "$RUN/$name/nginx.conf" >"$log" 2>&1 &
        ;;
    nginx-tls)
        write_nginx_conf nginx-tls " ssl" "ssl_certificate $TLS_CERT; ssl_certificate_key $TLS_KEY;
        ssl_protocols TLSv1.2 TLSv1.3;"
        nginx -e "$RUN/$name/error.log" -p "$RUN/$name" -c "$RUN/$name/nginx.conf" >"$log" 2>&1 &
        ;;
    mhd-epoll-pool) "$BIN/mhd-hello" "$port" pool >"$log" 2>&1 & ;;
    mhd-thread) "$BIN/mhd-hello" "$port" thread >"$log" 2>&1 & ;;
    civetweb) (cd "$RUN" && exec "$BIN/civetweb-hello" "$port") >"$log" 2>&1 & ;;
    civetweb-ka) (cd "$RUN" && exec "$BIN/civetweb-hello" "$port" keepalive) >"$log" 2>&1 & ;;
    cpp-httplib) "$BIN/httplib-hello" "$port" >"$log" 2>&1 & ;;
    cpp-httplib-ka) "$BIN/httplib-hello" "$port" keepalive >"$log" 2>&1 & ;;
    pthread-64k) "$BIN/pthread-hello" "$port" 64 >"$log" 2>&1 & ;;
    pthread-ka) "$BIN/pthread-hello" "$port" 64 keepalive >"$log" 2>&1 & ;;
    pthread-8m) "$BIN/pthread-hello" "$port" 8192 >"$log" 2>&1 & ;;
    epoll-floor) "$BIN/epoll-hello" "$port" >"$log" 2>&1 & ;;
    epoll-floor-tls) "$BIN/epoll-hello" "$port" "$TLS_CERT" "$TLS_KEY" >"$log" 2>&1 & ;;
    qhttpserver) "$BIN/qhttpserver-hello" "$port" >"$log" 2>&1 & ;;
    qhttpserver-static) "$BIN/qhttpserver-hello" "$port" "$STATIC_DIR" >"$log" 2>&1 & ;;
    zrnet) (cd "$RUN" && exec "$OUT/zrnet-hello/zrnet-hello" "$port") >"$log" 2>&1 & ;;
    zrnet-static)
        (cd "$RUN" && exec "$OUT/zrnet-hello/zrnet-hello" "$port" --static "$STATIC_DIR") \
            >"$log" 2>&1 &
        ;;
    zrnet-tls)
        (cd "$RUN" && exec "$OUT/zrnet-hello/zrnet-hello" "$port" "$TLS_CERT" "$TLS_KEY") \
            >"$log" 2>&1 &
        ;;
    esac
    SERVER_PID[$name]=$!
    PIDS="$PIDS $!"
}

# The processes that make up a server: nginx's master and its workers.
server_pids() {
    local pid=${SERVER_PID[$1]}
    echo "$pid"
    case $1 in nginx*) ps -o pid= --ppid "$pid" 2>/dev/null || true ;; esac
}

# Sum of a per-process figure over a server's processes.
cpu_ticks() {
    local p
    for p in $(server_pids "$1"); do
        sed 's/.*) //' "/proc/$p/stat" 2>/dev/null || true
    done | awk '{ t += $12 + $13 } END { print t + 0 }'
}
rss_kb() {
    local p
    for p in $(server_pids "$1"); do
        cat "/proc/$p/status" 2>/dev/null || true
    done | awk '/^VmRSS:/ { k += $2 } END { print k + 0 }'
}
thread_count() {
    local p
    for p in $(server_pids "$1"); do
        cat "/proc/$p/status" 2>/dev/null || true
    done | awk '/^Threads:/ { k += $2 } END { print k + 0 }'
}
fd_count() {
    local p n=0
    for p in $(server_pids "$1"); do
        n=$((n + $(find "/proc/$p/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l)))
    done
    echo $n
}

# The static table's servers serve STATIC_FILE; the others say hello.
url() {
    local path=/hello
    case $1 in *-static) path=/static/$STATIC_FILE ;; esac
    echo "${SCHEME[$1]:-http}://127.0.0.1:${PORT[$1]}$path"
}

# start_servers BASE-PORT NAME...: each on the next port from BASE-PORT + 1, then checked.
start_servers() {
    local port=$1 name
    shift
    for name in "$@"; do
        port=$((port + 1))
        PORT[$name]=$port
        start_server "$name"
    done
    for name in "$@"; do check_server "$name"; done
}

# Ready within 5 s, and the reply is 200 with exactly the body; zrnet's and the
# floor's replies are checked byte for byte. (Only ready, for the static servers.)
check_server() {
    local name=$1 code
    wait_answering "$(url "$name")" "${SERVER_PID[$name]}" 50 || {
        echo "compare: $name did not start:" >&2
        cat "$RUN/logs/$name.log" >&2
        exit 1
    }
    case $name in *-static) return ;; esac # static.sh checks the files
    code=$(curl -s --noproxy '*' --max-time 2 -o "$RUN/body" -w '%{http_code}' "$(url "$name")")
    if [ "$code" != 200 ] || [ "$(cat "$RUN/body")" != "Hello, world!" ] ||
        [ "$(wc -c <"$RUN/body")" -ne 13 ]; then
        echo "compare: $name answered $code with body '$(cat "$RUN/body")'" >&2
        exit 1
    fi
    case $name in zrnet | pthread-64k | pthread-8m | epoll-floor)
        printf 'HTTP/1.1 200 OK\r\nContent-Length: 13\r\nConnection: close\r\n\r\nHello, world!' \
            >"$RUN/expected"
        # zrnet's Date line aside.
        curl -s --noproxy '*' --max-time 2 -i -H 'Connection: close' "$(url "$name")" |
            sed '/^Date: /d' >"$RUN/raw"
        cmp -s "$RUN/raw" "$RUN/expected" || {
            echo "compare: $name's reply is not the expected bytes:" >&2
            od -c "$RUN/raw" >&2
            exit 1
        }
        ;;
    esac
}

# wrk prints latencies as 850.00us, 12.34ms or 1.02s: in milliseconds.
TO_MS='function ms(v) {
    if (v ~ /us$/) return substr(v, 1, length(v) - 2) / 1000
    if (v ~ /ms$/) return substr(v, 1, length(v) - 2) + 0
    if (v ~ /m$/) return substr(v, 1, length(v) - 1) * 60000
    return substr(v, 1, length(v) - 1) * 1000
}'
TICK=$(getconf CLK_TCK)

# One loaded run, with a new connection per request (close) or connections kept open
# (kept): appends "name round rps p50 p99 errors cpu-us-per-request" to FILE.
measure() {
    local name=$1 round=$2 mode=$3 file=$4 c0 c1 out
    local header=(-H 'Connection: close')
    [ "$mode" = close ] || header=()
    c0=$(cpu_ticks "$name")
    out=$(timeout --foreground $((DURATION + 30)) wrk -t$THREADS -c$CONNECTIONS -d"${DURATION}s" \
        --latency "${header[@]}" "$(url "$name")") || true
    sleep 0.2 # the last connections are still being closed
    c1=$(cpu_ticks "$name")
    printf '%s\n' "$out" | awk -v name="$name" -v round="$round" -v ticks=$((c1 - c0)) \
        -v tck="$TICK" "$TO_MS"'
        / requests in / { requests = $1 }
        /Requests\/sec:/ { rps = $2 }
        $1 == "50%" { p50 = ms($2) }
        $1 == "99%" { p99 = ms($2) }
        /Socket errors:/ { gsub(/,/, ""); errors += $4 + $6 + $8 + $10 }
        /Non-2xx/ { errors += $NF }
        END {
            if (requests == 0) { printf "%s %d 0 0 0 %d 0\n", name, round, errors + 1; exit }
            printf "%s %d %.0f %.3f %.3f %d %.1f\n", name, round, rps, p50, p99, errors,
                ticks * 1e6 / tck / requests
        }' >>"$file"
    tail -n 1 "$file" | awk -v mode="$mode" '{ printf "  round %s %-5s %-18s %8s req/s  p50 %6s ms  p99 %7s ms  errors %s  CPU %s us/req\n", $2, mode, $1, $3, $4, $5, $6, $7 }'
}

# Waits (bounded) until a server's descriptor count has held still for 0.6 s.
settle_fds() {
    local name=$1 last=-1 now same=0 tries=0
    while [ $same -lt 3 ] && [ $tries -lt 50 ]; do
        now=$(fd_count "$name")
        if [ "$now" = "$last" ]; then same=$((same + 1)); else same=0; fi
        last=$now
        tries=$((tries + 1))
        sleep 0.2
    done
}

# Waits (bounded, 3 s) until a server has no more than 8 threads beyond BASELINE: threads
# that served a burst of clients and have nothing left to do may take a while to end.
settle_threads() {
    local name=$1 baseline=$2 tries=0
    while [ "$(thread_count "$name")" -gt $((baseline + 8)) ] && [ $tries -lt 30 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
}

# QHttpServer keeps every connection open whatever the request says: it is measured kept open
# only.
kept_only() { case $1 in qhttpserver*) return 0 ;; esac; return 1; }

# The next round's order: the first server goes last, so none always follows the same one.
rotate() { # rotate SERVER...: prints them rotated by one
    local first=$1
    shift
    echo "$@" "$first"
}

# libmicrohttpd's thread-per-connection mode closes the descriptors of ended
# connections only when its accept loop wakes: a request wakes it.
poke() { curl -s --noproxy '*' --max-time 0.5 -o /dev/null "$(url "$1")" || true; }

# Idle connections, silent (the start of a request) or kept (open after one whole request):
# appends "name count held kb-per-conn fds-per-conn threads-per-conn fresh-ms accepted threads"
# to RUN/idle or RUN/kept-idle.
idle() {
    local name=$1 count=$2 mode=${3:-silent} rss0 fd0 thr0 rss1 fd1 thr1 held tries=0 fresh idler
    local report table=$RUN/idle kept=""
    [ "$mode" = silent ] || { table=$RUN/kept-idle; kept=kept; }
    poke "$name"
    settle_fds "$name"
    rss0=$(rss_kb "$name") fd0=$(fd_count "$name") thr0=$(thread_count "$name")
    # A file of its own: the client truncates it only once it runs.
    report=$RUN/idle-$mode-$name-$count.out
    "$BIN/idle-clients" "${PORT[$name]}" "$count" 10 60 $kept >"$report" 2>&1 &
    idler=$!
    PIDS="$PIDS $idler"
    while ! grep -q '^connected' "$report" 2>/dev/null && [ $tries -lt 250 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
    held=$(awk '/^connected/ { print $2 }' "$report" 2>/dev/null)
    held=${held:-0}
    settle_fds "$name"
    [ -z "$kept" ] || settle_threads "$name" "$thr0"
    rss1=$(rss_kb "$name") fd1=$(fd_count "$name") thr1=$(thread_count "$name")
    fresh=$(curl -s --noproxy '*' --max-time 2 -o "$RUN/body" -w '%{http_code} %{time_total}' \
        "$(url "$name")") || true
    case $fresh in
    "200 "*) fresh=$(echo "$fresh" | awk '{ printf "%.1f", $2 * 1000 }') ;;
    *) fresh=no ;;
    esac
    kill "$idler" 2>/dev/null || true
    wait "$idler" 2>/dev/null || true
    PIDS=${PIDS% "$idler"}
    awk -v n="$name" -v c="$count" -v h="$held" -v r=$((rss1 - rss0)) -v f=$((fd1 - fd0)) \
        -v t=$((thr1 - thr0)) -v fresh="$fresh" -v thr="$thr1" 'BEGIN {
        d = h > 0 ? h : 1
        printf "%s %d %d %.1f %.2f %.2f %s %d %d\n", n, c, h, r / d, f / d, t / d, fresh, f, thr }' \
        >>"$table"
    tail -n 1 "$table" | awk -v m="$mode" '{ printf "  idle %-6s %-18s %5d held %5d: %6s KB/conn, %s fds/conn, %s threads/conn, fresh request %s%s\n", m, $1, $2, $3, $4, $5, $6, $7, $7 == "no" ? "" : " ms" }'
    # Let the server close them before the next count (bounded).
    tries=0
    while [ "$(fd_count "$name")" -gt $((fd0 + 16)) ] && [ $tries -lt 15 ]; do
        poke "$name"
        sleep 0.5
        tries=$((tries + 1))
    done
}

# ---- tables ----
# Ratio to nginx, paired per round.
ratios() { # ratios ROUNDS-FILE [BASE-SERVER [COLUMN]]: requests/s, or another column
    awk -v b="${2:-nginx}" -v c="${3:-3}" 'NR == FNR { if ($1 == b) base[$2] = $c; next }
         { printf "%s %d %.3f\n", $1, $2, (base[$2] > 0 ? $c / base[$2] : 0) }' "$1" "$1"
}
median() { # median FILE NAME COLUMN
    awk -v n="$2" -v c="$3" '$1 == n { print $c }' "$1" | sort -g |
        awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else if (NR % 2) print v[(NR + 1) / 2];
                                  else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
idle_field() { # idle_field NAME COUNT COLUMN [TABLE]
    awk -v n="$1" -v c="$2" -v col="$3" '$1 == n && $2 == c { print $col; f = 1 }
                                         END { if (!f) print "-" }' "${4:-$RUN/idle}"
}
# The loaded columns of one server's row: ROUNDS-FILE RATIOS-FILE NAME.
loaded_row() {
    local errors
    errors=$(awk -v n="$3" '$1 == n { e += $6 } END { print e + 0 }' "$1")
    printf '| %s | %.0f | %.2f | %.2f | %.2f | %.0f | %s |' "$3" \
        "$(median "$1" "$3" 3)" "$(median "$2" "$3" 3)" \
        "$(median "$1" "$3" 4)" "$(median "$1" "$3" 5)" \
        "$(median "$1" "$3" 7)" "$errors"
}
goal() { # goal TEXT VALUE OPERATOR LIMIT
    awk -v t="$1" -v v="$2" -v op="$3" -v l="$4" 'BEGIN {
        if (v == "" || v == "-" || v == "no") ok = 0; else ok = (op == "<=") ? v + 0 <= l + 0 : v + 0 >= l + 0
        printf "- %s: %s (goal %s %s) %s\n", t, v, op, l, ok ? "met" : "NOT met" }'
}

# The tables of servers answering "Hello, world!": a connection per request with idle
# connections, and connections kept open; then the goals for zrnet.
hello_table() {
    # shellcheck disable=SC2086 # one word per server
    start_servers 18100 $ALL_SERVERS

    echo "$ROUNDS rounds of wrk -t$THREADS -c$CONNECTIONS -d${DURATION}s --latency, with -H 'Connection: close' and without"
    : >"$RUN/rounds"
    : >"$RUN/kept-rounds"
    : >"$RUN/idle"
    : >"$RUN/kept-idle"
    # shellcheck disable=SC2086 # one word per server
    set -- $SERVERS
    # shellcheck disable=SC2206 # one word per server
    kept=($KEPT_SERVERS)
    for round in $(seq 1 "$ROUNDS"); do
        for s in "$@"; do measure "$s" "$round" close "$RUN/rounds"; done
        for s in "${kept[@]}"; do measure "$s" "$round" kept "$RUN/kept-rounds"; done
        # shellcheck disable=SC2046 # one word per server
        set -- $(rotate "$@")
        kept=("${kept[@]:1}" "${kept[0]}")
    done
    for s in $SERVERS; do
        for count in $IDLE_COUNTS; do idle "$s" "$count"; done
    done
    for s in $KEPT_IDLE_SERVERS; do
        for count in $KEPT_IDLE_COUNTS; do idle "$s" "$count" kept; done
    done
    end_started

    ratios "$RUN/rounds" >"$RUN/ratios"
    ratios "$RUN/kept-rounds" >"$RUN/kept-ratios"
    header="| server | requests/s | × nginx | p50 ms | p99 ms | CPU µs/request | errors |"
    rule="|---|---:|---:|---:|---:|---:|---:|"
    for count in $IDLE_COUNTS; do
        header="$header KB/idle @$count | fds/idle @$count | fresh request @$count |"
        rule="$rule---:|---:|---:|"
    done
    echo
    echo "One connection per request (Connection: close), and idle connections:"
    echo
    echo "$header"
    echo "$rule"
    notes=""
    for s in $SERVERS; do
        row=$(loaded_row "$RUN/rounds" "$RUN/ratios" "$s")
        for count in $IDLE_COUNTS; do
            fresh=$(idle_field "$s" "$count" 7)
            [ "$fresh" = no ] || [ "$fresh" = - ] || fresh="$fresh ms"
            row="$row $(idle_field "$s" "$count" 4) | $(idle_field "$s" "$count" 5) | $fresh |"
            held=$(idle_field "$s" "$count" 3)
            accepted=$(idle_field "$s" "$count" 8)
            [ "$held" = - ] || [ "$held" -ge "$count" ] ||
                notes="$notes- $s: only $held of $count idle connections were established.
"
            [ "$held" = - ] || [ "$accepted" -ge $((held * 9 / 10)) ] ||
                notes="$notes- $s: of $held idle connections only about $accepted held a descriptor in the server (the others not accepted yet, or closed), so its figures at $count are not per connection.
"
        done
        echo "$row"
    done
    echo
    echo "Medians of $ROUNDS rounds; × nginx is the median of the per-round ratios. CPU is the server's"
    echo "utime+stime over the run divided by the requests served. KB/idle and fds/idle: growth of the"
    echo "server's RSS and descriptors per idle connection held (kernel socket memory not included);"
    echo "fresh request: a new connection's whole request answered while those are held."
    [ -z "$notes" ] || printf '\n%s' "$notes"
    echo
    echo "Connections kept open (keep-alive):"
    echo
    echo "| server | requests/s | × nginx | p50 ms | p99 ms | CPU µs/request | errors |"
    echo "|---|---:|---:|---:|---:|---:|---:|"
    for s in $KEPT_SERVERS; do loaded_row "$RUN/kept-rounds" "$RUN/kept-ratios" "$s"; echo; done

    kept_idle_table

    last_count=${IDLE_COUNTS##* }
    last_kept=${KEPT_IDLE_COUNTS##* }
    echo
    echo "Goals for zrnet in this run:"
    goal "requests/s × nginx, one connection per request" \
        "$(printf '%.2f' "$(median "$RUN/ratios" zrnet 3)")" ">=" 0.90
    goal "requests/s × nginx, connections kept open" \
        "$(printf '%.2f' "$(median "$RUN/kept-ratios" zrnet 3)")" ">=" 1.00
    goal "p99 at $CONNECTIONS clients kept open, ms" \
        "$(printf '%.2f' "$(median "$RUN/kept-rounds" zrnet 5)")" "<=" 2
    goal "CPU per request / pthread-64k's" "$(awk -v a="$(median "$RUN/rounds" zrnet 7)" \
        -v b="$(median "$RUN/rounds" pthread-64k 7)" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')" "<=" 1.3
    goal "KB per idle connection @$last_count" "$(idle_field zrnet "$last_count" 4)" "<=" 16
    goal "descriptors per idle connection @$last_count" "$(idle_field zrnet "$last_count" 5)" "<=" 1
    goal "fresh request while $last_count idle held, ms" "$(idle_field zrnet "$last_count" 7)" "<=" 100
    goal "threads while $last_count idle held (the default cap is 1,024)" \
        "$(idle_field zrnet "$last_count" 9)" "<=" 1032
    goal "p99 at $CONNECTIONS clients, ms" "$(printf '%.2f' "$(median "$RUN/rounds" zrnet 5)")" "<=" 4
    local idle_kept=$RUN/kept-idle
    goal "KB per kept-open idle connection @$last_kept" \
        "$(idle_field zrnet "$last_kept" 4 "$idle_kept")" "<=" 4
    goal "descriptors per kept-open idle connection @$last_kept" \
        "$(idle_field zrnet "$last_kept" 5 "$idle_kept")" "<=" 1
    goal "threads while $last_kept kept-open idle held" "$(idle_field zrnet "$last_kept" 9 "$idle_kept")" \
        "<=" 8
    goal "fresh request while $last_kept kept-open idle held, ms" \
        "$(idle_field zrnet "$last_kept" 7 "$idle_kept")" "<=" 10
}

# Connections held open after one request each: what each costs, and a fresh request meanwhile.
kept_idle_table() {
    local head="| server |" rule="|---|" s count row fresh
    for count in $KEPT_IDLE_COUNTS; do
        head="$head KB/conn @$count | fds/conn @$count | threads @$count | fresh request @$count |"
        rule="$rule---:|---:|---:|---:|"
    done
    echo
    echo "Kept-open idle connections (one request each, then held open):"
    echo
    echo "$head"
    echo "$rule"
    for s in $KEPT_IDLE_SERVERS; do
        row="| $s |"
        for count in $KEPT_IDLE_COUNTS; do
            fresh=$(idle_field "$s" "$count" 7 "$RUN/kept-idle")
            [ "$fresh" = no ] || [ "$fresh" = - ] || fresh="$fresh ms"
            row="$row $(idle_field "$s" "$count" 4 "$RUN/kept-idle") |"
            row="$row $(idle_field "$s" "$count" 5 "$RUN/kept-idle") |"
            row="$row $(idle_field "$s" "$count" 9 "$RUN/kept-idle") | $fresh |"
        done
        echo "$row"
    done
    echo
    echo "Measured once, after the loaded rounds. KB/conn and fds/conn: growth of the server's RSS and"
    echo "descriptors per connection held; threads: the server's while they are held, once those that"
    echo "served the burst of clients have ended (up to 3 s); fresh request: a new connection's whole"
    echo "request answered meanwhile (at zrnet's default cap of 10,000 it makes an idle one give way)."
}

# shellcheck source=bench/compare/tls.sh
. bench/compare/tls.sh
# shellcheck source=bench/compare/static.sh
. bench/compare/static.sh
# shellcheck source=bench/compare/fairness.sh
. bench/compare/fairness.sh

echo "## zrnet HTTP comparison, $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "$(nproc) cores, Linux $(uname -r); zrnet $(git rev-parse --short HEAD 2>/dev/null || echo '?');" \
    "$(nginx -v 2>&1 | sed 's/.*\///') nginx," \
    "$(dpkg-query -W -f='${Version}' libmicrohttpd-dev) libmicrohttpd," \
    "$(dpkg-query -W -f='${Version}' libcivetweb-dev) civetweb," \
    "$(dpkg-query -W -f='${Version}' libcpp-httplib-dev) cpp-httplib," \
    "$(dpkg-query -W -f='${Version}' qt6-httpserver-dev) QHttpServer"
echo "Load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
for table in $TABLES; do
    case $table in
    hello | tls | static | fairness) "${table}_table" ;;
    *) echo "compare: no table $table" >&2 ;;
    esac
    echo
    echo "Load average after the $table table: $(cut -d' ' -f1-3 /proc/loadavg)"
done
