#!/usr/bin/env bash
# A flood of browsers through nginx (bench/flood_nginx.conf, 8 192 worker connections): wrk at 512 and 1 024
# connections on an unknown script (the cheapest answer) for SECONDS each, against each service program given
# in turn on the same simulated device; what counts is how many answers failed (nginx's 502 when the service
# closed a connection it had not answered) and how the latency grew.
#   sim/sandbox --kmsg null --ro build/release -- bench/flood.sh build/release [SECONDS [PROGRAM...]]
# PROGRAM: service programs to compare (default: the build's); a baseline from another checkout, for example.
set -euo pipefail
build=$(realpath "$1")
seconds=${2:-8}
shift $(($# < 2 ? $# : 2))
programs=("$@")
[ ${#programs[@]} -gt 0 ] || programs=("$build/apps/web/service/service")
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=../sim/stack
. "$top/sim/stack"
trap stack_stop EXIT
# wrk and nginx each hold a descriptor per connection, nginx two.
ulimit -n 20000
for program in "${programs[@]}"; do
    stack_start "$build" --service "$program" --nginx "$top/bench/flood_nginx.conf"
    for connections in 512 1024; do
        wrk -t2 -c"$connections" -d"${seconds}s" --timeout 30s --latency http://127.0.0.1:8080/api/v1/none.cgi |
            awk -v p="$program" -v c="$connections" '/Requests\/sec/ {rps=$2} /^ +50%/ {p50=$2} /^ +99%/ {p99=$2}
                /requests in/ {n=$1} /Non-2xx/ {bad=$NF} /Socket errors/ {errors=$0}
                END {print p " at " c " connections: " n " answers, " bad + 0 " failed, " rps " requests/s, " \
                    "latency p50 " p50 ", p99 " p99 (errors ? ", " errors : "")}'
    done
    stack_stop
done
