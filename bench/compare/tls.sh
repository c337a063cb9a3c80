# shellcheck shell=bash
# Sourced by run.sh inside its network namespace, once its servers have ended: the TLS table.
# nginx and zrnet-hello serve HTTPS with one certificate (ECDSA P-256, made here by openssl);
# each round loads both, in turns, with wrk -t2 -c32 over TLS 1.3:
#   - one request per connection ('Connection: close'), so every request is a full handshake
#     (wrk resumes no session): handshakes per second and the server's CPU per handshake;
#   - keep-alive, the connections open for the whole run: requests per second.
# Ratios to nginx are taken per round, then the median.
TLS_SERVERS="nginx-tls zrnet-tls"

tls_start() {
    local dir=$RUN/tls name
    mkdir -p "$dir/nginx"
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
        -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 \
        -keyout "$dir/key.pem" -out "$dir/cert.pem" 2>/dev/null
    PORT[nginx-tls]=18201
    PORT[zrnet-tls]=18202
    cat >"$dir/nginx/nginx.conf" <<CONF
daemon off;
master_process on;
worker_processes auto;
worker_rlimit_nofile $FDS;
pid $dir/nginx/nginx.pid;
error_log $dir/nginx/error.log warn;
events { worker_connections 10240; }
http {
    access_log off;
    client_body_temp_path $dir/nginx/body;
    proxy_temp_path $dir/nginx/proxy;
    fastcgi_temp_path $dir/nginx/fastcgi;
    uwsgi_temp_path $dir/nginx/uwsgi;
    scgi_temp_path $dir/nginx/scgi;
    default_type text/plain;
    keepalive_requests 100000;
    server {
        listen 127.0.0.1:${PORT[nginx-tls]} ssl backlog=1024;
        ssl_certificate $dir/cert.pem;
        ssl_certificate_key $dir/key.pem;
        ssl_protocols TLSv1.2 TLSv1.3;
        location / { return 200 "Hello, world!"; }
    }
}
CONF
    nginx -e "$dir/nginx/error.log" -p "$dir/nginx" -c "$dir/nginx/nginx.conf" \
        >"$RUN/logs/nginx-tls.log" 2>&1 &
    SERVER_PID[nginx-tls]=$!
    PIDS="$PIDS $!"
    (cd "$RUN" && exec "$OUT/zrnet-hello/zrnet-hello" "${PORT[zrnet-tls]}" "$dir/cert.pem" \
        "$dir/key.pem") >"$RUN/logs/zrnet-tls.log" 2>&1 &
    SERVER_PID[zrnet-tls]=$!
    PIDS="$PIDS $!"
    for name in $TLS_SERVERS; do
        tls_check "$name"
    done
}

# Ready within 5 s, verifying the certificate, and answering over TLS 1.3.
tls_check() {
    local name=$1 tries=0 said
    until said=$(curl -s --noproxy '*' --max-time 1 --cacert "$RUN/tls/cert.pem" --tlsv1.3 \
        -w ' %{http_code}' "https://127.0.0.1:${PORT[$name]}/hello"); do
        tries=$((tries + 1))
        if [ $tries -ge 50 ] || ! kill -0 "${SERVER_PID[$name]}" 2>/dev/null; then
            echo "compare: $name did not start over TLS:" >&2
            cat "$RUN/logs/$name.log" >&2
            exit 1
        fi
        sleep 0.1
    done
    [ "$said" = "Hello, world! 200" ] || {
        echo "compare: $name answered '$said' over TLS" >&2
        exit 1
    }
}

# One loaded run: appends "name mode round rps p50 p99 errors cpu-us-per-request".
tls_measure() {
    local name=$1 mode=$2 round=$3 c0 c1 out header=()
    [ "$mode" = keep-alive ] || header=(-H 'Connection: close')
    c0=$(cpu_ticks "$name")
    out=$(timeout --foreground $((DURATION + 30)) wrk -t$THREADS -c$CONNECTIONS -d"${DURATION}s" \
        --latency "${header[@]}" "https://127.0.0.1:${PORT[$name]}/hello") || true
    sleep 0.2
    c1=$(cpu_ticks "$name")
    printf '%s\n' "$out" | awk -v name="$name" -v mode="$mode" -v round="$round" \
        -v ticks=$((c1 - c0)) -v tck="$TICK" "$TO_MS"'
        / requests in / { requests = $1 }
        /Requests\/sec:/ { rps = $2 }
        $1 == "50%" { p50 = ms($2) }
        $1 == "99%" { p99 = ms($2) }
        /Socket errors:/ { gsub(/,/, ""); errors += $4 + $6 + $8 + $10 }
        /Non-2xx/ { errors += $NF }
        END {
            if (requests == 0) { printf "%s %s %d 0 0 0 %d 0\n", name, mode, round, errors + 1; exit }
            printf "%s %s %d %.0f %.3f %.3f %d %.1f\n", name, mode, round, rps, p50, p99, errors,
                ticks * 1e6 / tck / requests
        }' >>"$RUN/tls-rounds"
    tail -n 1 "$RUN/tls-rounds" | awk '{ printf "  round %s %-10s %-10s %8s req/s  p50 %6s ms  p99 %7s ms  errors %s  CPU %s us/req\n", $3, $1, $2, $4, $5, $6, $7, $8 }'
}

tls_table() {
    local round mode name first
    : >"$RUN/tls-rounds"
    tls_start
    echo
    echo "TLS: $ROUNDS rounds of wrk -t$THREADS -c$CONNECTIONS -d${DURATION}s over TLS 1.3, ECDSA P-256;" \
        "OpenSSL $(openssl version | awk '{ print $2 }')"
    set -- $TLS_SERVERS
    for round in $(seq 1 "$ROUNDS"); do
        for mode in handshakes keep-alive; do
            for name in "$@"; do tls_measure "$name" "$mode" "$round"; done
        done
        first=$1
        shift
        set -- "$@" "$first"
    done
    end_started
    # Per round: zrnet's figures over nginx's (requests/s, and CPU per request).
    awk '{ key = $2 " " $3 }
         $1 == "nginx-tls" { rps[key] = $4; cpu[key] = $8 }
         $1 == "zrnet-tls" { zr[key] = $4; zc[key] = $8 }
         END { for (k in zr) if (rps[k] > 0)
                   printf "%s %.3f %.3f\n", k, zr[k] / rps[k], (cpu[k] > 0 ? zc[k] / cpu[k] : 0) }' \
        "$RUN/tls-rounds" >"$RUN/tls-ratios"
    echo
    echo "| mode | server | requests/s | × nginx | p50 ms | p99 ms | CPU µs/request | CPU × nginx | errors |"
    echo "|---|---|---:|---:|---:|---:|---:|---:|---:|"
    for mode in handshakes keep-alive; do
        for name in $TLS_SERVERS; do
            awk -v n="$name" -v m="$mode" '$1 == n && $2 == m' "$RUN/tls-rounds" >"$RUN/tls-one"
            awk -v m="$mode" '$1 == m' "$RUN/tls-ratios" >"$RUN/tls-ratio-one"
            local ratio=1.00 cpu_ratio=1.00
            if [ "$name" = zrnet-tls ]; then
                ratio=$(printf '%.2f' "$(tls_median "$RUN/tls-ratio-one" 3)")
                cpu_ratio=$(printf '%.2f' "$(tls_median "$RUN/tls-ratio-one" 4)")
            fi
            printf '| %s | %s | %.0f | %s | %.2f | %.2f | %.0f | %s | %s |\n' "$mode" "$name" \
                "$(tls_median "$RUN/tls-one" 4)" "$ratio" "$(tls_median "$RUN/tls-one" 5)" \
                "$(tls_median "$RUN/tls-one" 6)" "$(tls_median "$RUN/tls-one" 8)" "$cpu_ratio" \
                "$(awk '{ e += $7 } END { print e + 0 }' "$RUN/tls-one")"
        done
    done
    echo
    echo "Goals for zrnet over TLS in this run:"
    awk '$1 == "keep-alive"' "$RUN/tls-ratios" >"$RUN/tls-ratio-one"
    goal "keep-alive requests/s × nginx" "$(printf '%.2f' "$(tls_median "$RUN/tls-ratio-one" 3)")" ">=" 0.9
    awk '$1 == "handshakes"' "$RUN/tls-ratios" >"$RUN/tls-ratio-one"
    goal "handshakes/s × nginx" "$(printf '%.2f' "$(tls_median "$RUN/tls-ratio-one" 3)")" ">=" 0.8
    goal "CPU per handshake × nginx's" "$(printf '%.2f' "$(tls_median "$RUN/tls-ratio-one" 4)")" "<=" 1.3
}

# Median of one column of a file.
tls_median() {
    awk -v c="$2" '{ print $c }' "$1" | sort -g |
        awk '{ v[NR] = $1 } END { if (NR == 0) print 0; else if (NR % 2) print v[(NR + 1) / 2];
                                  else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
