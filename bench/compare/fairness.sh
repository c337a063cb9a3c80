# shellcheck shell=bash
# Sourced by run.sh inside its network namespace: the fairness table. Each server that has a
# route whose handler sleeps a second (/sleep: zrnet-hello on the connection's thread,
# QHttpServer on its event loop, cpp-httplib on its pool) is loaded in each round with the
# same kept-open wrk as the hello table, once alone and once while 4 other clients keep
# calling /sleep (wrk -t1 -c4, started half a second before, so all four are inside the
# handler). The table gives the fast requests' throughput and latency under that load, and
# their throughput as a share of the same round's unloaded figure. nginx and the floors have
# no handler that could sleep, so they have no row here.
FAIR_SERVERS="zrnet qhttpserver cpp-httplib-ka"
SLEEPERS=4

# One round of one server: unloaded, then beside the sleepers; the sleepers' requests done
# are appended to RUN/fair-slept as "name round requests".
fairness_round() {
    local name=$1 round=$2 sleepers out
    measure "$name" "$round" kept "$RUN/fair-alone"
    out=$RUN/fair-sleepers-$name-$round
    timeout --foreground $((DURATION + 30)) wrk -t1 -c$SLEEPERS -d"$((DURATION + 1))s" \
        --timeout 10s "http://127.0.0.1:${PORT[$name]}/sleep" >"$out" 2>&1 &
    sleepers=$!
    PIDS="$PIDS $sleepers"
    sleep 0.5
    measure "$name" "$round" kept "$RUN/fair-loaded"
    wait "$sleepers" || true
    PIDS=${PIDS% "$sleepers"}
    awk -v n="$name" -v r="$round" '/ requests in / { d = $1 } END { print n, r, d + 0 }' \
        "$out" >>"$RUN/fair-slept"
}

fairness_table() {
    local round name
    : >"$RUN/fair-alone"
    : >"$RUN/fair-loaded"
    : >"$RUN/fair-slept"
    # shellcheck disable=SC2086 # one word per server
    start_servers 18400 $FAIR_SERVERS
    echo
    echo "Fairness: the same kept-open wrk alone, then while $SLEEPERS clients keep calling a handler that sleeps 1 s:"
    # shellcheck disable=SC2086 # one word per server
    set -- $FAIR_SERVERS
    for round in $(seq 1 "$ROUNDS"); do
        for name in "$@"; do fairness_round "$name" "$round"; done
        # shellcheck disable=SC2046 # one word per server
        set -- $(rotate "$@")
    done
    end_started
    # Loaded over alone, paired per round: "name round ratio".
    awk 'NR == FNR { alone[$1 " " $2] = $3; next }
         { a = alone[$1 " " $2]; printf "%s %d %.3f\n", $1, $2, (a > 0 ? $3 / a : 0) }' \
        "$RUN/fair-alone" "$RUN/fair-loaded" >"$RUN/fair-ratios"
    echo
    echo "| server | requests/s alone | requests/s beside sleepers | × alone | p50 ms | p99 ms | errors | sleeps done |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|"
    for name in $FAIR_SERVERS; do
        printf '| %s | %.0f | %.0f | %.2f | %.2f | %.2f | %s | %s |\n' "$name" \
            "$(median "$RUN/fair-alone" "$name" 3)" "$(median "$RUN/fair-loaded" "$name" 3)" \
            "$(median "$RUN/fair-ratios" "$name" 3)" "$(median "$RUN/fair-loaded" "$name" 4)" \
            "$(median "$RUN/fair-loaded" "$name" 5)" \
            "$(awk -v n="$name" '$1 == n { e += $6 } END { print e + 0 }' "$RUN/fair-loaded")" \
            "$(median "$RUN/fair-slept" "$name" 3)"
    done
    echo
    echo "Medians of $ROUNDS rounds; p50 and p99 are the fast requests' beside the sleepers; sleeps"
    echo "done: /sleep requests the $SLEEPERS sleeping clients completed in $((DURATION + 1)) s (at most"
    echo "$((SLEEPERS * (DURATION + 1))) when every sleep runs beside the others). wrk counts a request"
    echo "that waits over 2 s as a timeout error, with no latency; a run in which none was answered"
    echo "shows 0 requests/s and one error."
    echo
    echo "Goals for zrnet beside $SLEEPERS sleeping handlers in this run:"
    goal "fast requests' p99, ms" "$(printf '%.2f' "$(median "$RUN/fair-loaded" zrnet 5)")" "<=" 20
    goal "fast requests/s × alone" "$(printf '%.2f' "$(median "$RUN/fair-ratios" zrnet 3)")" ">=" 0.5
}
