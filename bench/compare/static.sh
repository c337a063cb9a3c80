# shellcheck shell=bash
# Sourced by run.sh inside its network namespace: the static table. nginx-static (`root`,
# `sendfile on`, Debian's mime.types), zrnet-static (zrnet-hello --static, that is
# ZRHttpRouter::serveDirectory()) and qhttpserver-static (QHttpServerResponse::fromFile(), kept
# open only) serve the same folder. Each round loads them, in turns, with the same wrk for a
# 3 KB page and a 1 MB file, one connection per request and kept open; the ratios to
# nginx-static are paired per round, then the median. The event-driven floor serves no files,
# so it has no row here.
STATIC_SERVERS="nginx-static zrnet-static qhttpserver-static"
STATIC_FILES="page-3k.html file-1m.bin"
STATIC_DIR=$RUN/www/static

# Each file as served must be the file, byte for byte.
static_check() {
    local name=$1 file
    for file in $STATIC_FILES; do
        STATIC_FILE=$file
        curl -s --noproxy '*' --max-time 2 -o "$RUN/body" "$(url "$name")" || true
        cmp -s "$RUN/body" "$STATIC_DIR/$file" || {
            echo "compare: $name does not serve $file as it is" >&2
            exit 1
        }
    done
}

static_start() {
    local name
    mkdir -p "$STATIC_DIR"
    head -c 2304 /dev/urandom | base64 -w 76 | head -c 3072 >"$STATIC_DIR/page-3k.html"
    head -c 1048576 /dev/urandom >"$STATIC_DIR/file-1m.bin"
    STATIC_FILE=page-3k.html
    # shellcheck disable=SC2086 # one word per server
    start_servers 18300 $STATIC_SERVERS
    for name in $STATIC_SERVERS; do static_check "$name"; done
}

# static_rows FILE LABEL: the rows of both servers for one file, each way of connecting.
static_rows() {
    local mode name rounds
    for mode in close kept; do
        rounds=$RUN/static-$1-$mode
        ratios "$rounds" nginx-static >"$rounds-ratios"
        for name in $STATIC_SERVERS; do
            [ $mode = kept ] || ! kept_only "$name" || continue
            loaded_row "$rounds" "$rounds-ratios" "$name" |
                sed "s/^| [^ ]*/&, $2, $([ $mode = kept ] && echo kept open || echo a connection each)/"
            echo
        done
    done
}

static_goal() { # static_goal FILE MODE TEXT LIMIT
    goal "$3" "$(printf '%.2f' "$(median "$RUN/static-$1-$2-ratios" zrnet-static 3)")" ">=" "$4"
}

static_table() {
    local round file mode name
    static_start
    echo
    echo "Static files, $(wc -c <"$STATIC_DIR/page-3k.html") and $(wc -c <"$STATIC_DIR/file-1m.bin") bytes, the same wrk:"
    # shellcheck disable=SC2086 # one word per server
    set -- $STATIC_SERVERS
    for round in $(seq 1 "$ROUNDS"); do
        for file in $STATIC_FILES; do
            STATIC_FILE=$file
            for mode in close kept; do
                for name in "$@"; do
                    [ $mode = kept ] || ! kept_only "$name" || continue
                    measure "$name" "$round" $mode "$RUN/static-$file-$mode"
                done
            done
        done
        # shellcheck disable=SC2046 # one word per server
        set -- $(rotate "$@")
    done
    end_started
    echo
    echo "| server, file | requests/s | × nginx | p50 ms | p99 ms | CPU µs/request | errors |"
    echo "|---|---:|---:|---:|---:|---:|---:|"
    static_rows page-3k.html "3 KB"
    static_rows file-1m.bin "1 MB"
    echo
    echo "Goals for zrnet's static files in this run:"
    static_goal page-3k.html close "3 KB, requests/s × nginx, a connection each" 0.80
    static_goal page-3k.html kept "3 KB, requests/s × nginx, kept open" 0.90
    static_goal file-1m.bin close "1 MB, requests/s × nginx, a connection each" 0.90
    static_goal file-1m.bin kept "1 MB, requests/s × nginx, kept open" 0.90
}
