#!/usr/bin/env bash
# The running service on the simulated device behind nginx, inside the sandbox (it owns ports 8080 and 9000):
#   1. /api/v1/all.cgi with wrk, beside the same tree as a static file from nginx (the baseline);
#   2. the service's resident memory idle, after warming up, and while COUNT (100 000) mixed requests go through,
#      with the size of the kernel log it keeps (the log grows with every tree request; leave out --kmsg null
#      so that the service's own lines come back to it through dmesg).
#   sim/sandbox --kmsg null --ro build/release -- bench/service_load.sh build/release [seconds [COUNT]]
set -euo pipefail
build=$(realpath "$1")
seconds=${2:-10}
count=${3:-100000}
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=sim_stack.sh
. "$top/bench/sim_stack.sh"

rss() { awk '/VmRSS/ {print $2 " kB"}' /proc/$service/status; }
echo "service resident memory idle: $(rss)"

mkdir -p /tmp/www/static
curl -sf http://127.0.0.1:8080/api/v1/all.cgi >/tmp/www/static/all.json
echo "tree: $(stat -c %s /tmp/www/static/all.json) bytes"
for round in 1 2; do
    for path in /static/all.json /api/v1/all.cgi; do
        wrk -t1 -c8 -d"${seconds}s" --latency "http://127.0.0.1:8080$path" |
            awk -v r=$round -v p=$path '/Requests\/sec/ {rps=$2} /^ +50%/ {p50=$2} /^ +99%/ {p99=$2}
                /Non-2xx/ {bad=$NF} /Socket errors/ {errors=$0}
                END {print "round " r " " p ": " rps " requests/s, latency p50 " p50 ", p99 " p99 \
                    ", failed answers " bad + 0 (errors ? ", " errors : "")}'
    done
done
echo "service resident memory after the tree runs: $(rss)"

# The mixed requests, in runs of wrk until the count is reached.
total=0
failed=0
logged() { curl -s 'http://127.0.0.1:8080/api/v1/log.cgi?offset=2000000000' | head -n 1 | tr -d '\r'; }
while [ "$total" -lt "$count" ]; do
    read -r done_now bad_now < <(wrk -t1 -c8 -d5s -s "$top/bench/wrk/mixed.lua" http://127.0.0.1:8080 |
        awk '/requests in/ {n=$1} /Non-2xx/ {bad=$NF} END {print n, bad + 0}')
    total=$((total + done_now))
    failed=$((failed + bad_now))
    echo "mixed requests so far: $total ($failed failed), resident memory $(rss), log $(logged) bytes"
done
