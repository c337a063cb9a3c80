# shellcheck shell=bash
# Sourced by run.sh and profile.sh (bash, from the top of the tree): installing
# packages, building zrnet-hello, and ending every process a script started.

# install_missing PACKAGE...: apt-get installs those not installed yet, with no
# service started on the way (installing nginx would start the system's nginx).
install_missing() {
    local missing="" p sudo="" made_policy=""
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing="$missing $p"
    done
    [ -n "$missing" ] || return 0
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "compare: installing$missing"
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        printf '#!/bin/sh\nexit 101\n' | $sudo tee /usr/sbin/policy-rc.d >/dev/null
        $sudo chmod 755 /usr/sbin/policy-rc.d
        made_policy=1
        # shellcheck disable=SC2064 # $sudo is local: expanded now on purpose
        trap "$sudo rm -f /usr/sbin/policy-rc.d" EXIT
    fi
    $sudo apt-get update -qq
    # shellcheck disable=SC2086 # one word per package
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        -o DPkg::Lock::Timeout=300 $missing
    if [ -n "$made_policy" ]; then
        $sudo rm -f /usr/sbin/policy-rc.d
        trap - EXIT
    fi
}

# build_zrnet_hello BUILD: the library and bench/compare/zrnet-hello, with the tree.
build_zrnet_hello() {
    ./scripts/setup
    cmake -S . -B "$1" -DZRNET_BUILD_BENCH=ON >/dev/null
    cmake --build "$1" -j2 --target zrnet-hello >/dev/null
}

# wait_answering URL PID TENTHS: waits until URL answers, for at most TENTHS tenths of a
# second and while the process PID lives; fails otherwise.
wait_answering() {
    local tries=0
    until curl -s --noproxy '*' --max-time 1 -o /dev/null "$1"; do
        tries=$((tries + 1))
        if [ $tries -ge "$3" ] || ! kill -0 "$2" 2>/dev/null; then
            return 1
        fi
        sleep 0.1
    done
}

# Every process started, by id; end_started ends them (SIGTERM, then SIGKILL
# after 5 s in all). Set as the EXIT trap, so every way out runs it.
PIDS=""
end_started() {
    local p tries=0
    [ -n "$PIDS" ] || return 0
    # shellcheck disable=SC2086 # one word per process id
    kill $PIDS 2>/dev/null || true
    for p in $PIDS; do
        while kill -0 "$p" 2>/dev/null && [ $tries -lt 50 ]; do
            sleep 0.1
            tries=$((tries + 1))
        done
        kill -9 "$p" 2>/dev/null || true
    done
    PIDS=""
}
