# shellcheck shell=bash
# Sourced by run.sh inside its network namespace, once the plain tables are done: the TLS
# table. nginx-tls, zrnet-tls and epoll-floor-tls (the event-driven floor with OpenSSL,
# non-blocking handshakes, reads and writes) serve HTTPS with one certificate (ECDSA P-256,
# made here by openssl); each round loads them, in turns, with the same wrk over TLS 1.3:
#   - one request per connection ('Connection: close'): every request a full handshake, as
#     wrk resumes no session, so requests/s are handshakes/s, and CPU per request is CPU per
#     handshake;
#   - connections kept open: requests/s over established sessions.
# Ratios to nginx-tls are paired per round, then the median.
TLS_SERVERS="nginx-tls zrnet-tls epoll-floor-tls"
TLS_CERT=$RUN/tls/cert.pem
TLS_KEY=$RUN/tls/key.pem

tls_start() {
    local name
    mkdir -p "$RUN/tls"
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
        -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 \
        -keyout "$TLS_KEY" -out "$TLS_CERT" 2>/dev/null
    # Every curl from here on verifies the servers against it.
    export CURL_CA_BUNDLE=$TLS_CERT
    for name in $TLS_SERVERS; do SCHEME[$name]=https; done
    # shellcheck disable=SC2086 # one word per server
    start_servers 18200 $TLS_SERVERS
}

tls_table() {
    local round name
    : >"$RUN/tls-rounds"
    : >"$RUN/tls-kept-rounds"
    tls_start
    echo
    echo "Over TLS 1.3 (OpenSSL $(openssl version | awk '{ print $2 }'), ECDSA P-256 certificate), the same wrk:"
    set -- $TLS_SERVERS
    for round in $(seq 1 "$ROUNDS"); do
        for name in "$@"; do measure "$name" "$round" close "$RUN/tls-rounds"; done
        for name in "$@"; do measure "$name" "$round" kept "$RUN/tls-kept-rounds"; done
        # shellcheck disable=SC2046 # one word per server
        set -- $(rotate "$@")
    done
    end_started
    ratios "$RUN/tls-rounds" nginx-tls >"$RUN/tls-ratios"
    ratios "$RUN/tls-kept-rounds" nginx-tls >"$RUN/tls-kept-ratios"
    ratios "$RUN/tls-rounds" nginx-tls 7 >"$RUN/tls-cpu-ratios"
    echo
    echo "| server, TLS | requests/s | × nginx | p50 ms | p99 ms | CPU µs/request | errors |"
    echo "|---|---:|---:|---:|---:|---:|---:|"
    for name in $TLS_SERVERS; do
        loaded_row "$RUN/tls-rounds" "$RUN/tls-ratios" "$name" | sed 's/^| [^ ]*/&, a handshake each/'
        echo
    done
    for name in $TLS_SERVERS; do
        loaded_row "$RUN/tls-kept-rounds" "$RUN/tls-kept-ratios" "$name" | sed 's/^| [^ ]*/&, kept open/'
        echo
    done
    echo
    echo "Goals for zrnet over TLS in this run:"
    goal "handshakes/s × nginx" "$(printf '%.2f' "$(median "$RUN/tls-ratios" zrnet-tls 3)")" ">=" 1.0
    goal "CPU per handshake × nginx's" \
        "$(printf '%.2f' "$(median "$RUN/tls-cpu-ratios" zrnet-tls 3)")" "<=" 1.3
    goal "requests/s × nginx, connections kept open" \
        "$(printf '%.2f' "$(median "$RUN/tls-kept-ratios" zrnet-tls 3)")" ">=" 0.9
}
