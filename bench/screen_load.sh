#!/usr/bin/env bash
# One /api/v1/screen.cgi answer through nginx, on the simulated device's live display (800 x 480 x 32), one
# request at a time, beside the same picture saved as a static file that nginx serves itself (the baseline):
#   sim/sandbox --kmsg null --ro build/release -- bench/screen_load.sh build/release [seconds]
set -euo pipefail
build=$(realpath "$1")
seconds=${2:-10}
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=sim_stack.sh
. "$top/bench/sim_stack.sh"

mkdir -p /tmp/www/static
curl -sf http://127.0.0.1:8080/api/v1/screen.cgi >/tmp/www/static/screen.png
echo "picture: $(stat -c %s /tmp/www/static/screen.png) bytes, $(head -c 8 /tmp/www/static/screen.png | od -An -c | tr -s ' ')"
for round in 1 2; do
    for path in /static/screen.png /api/v1/screen.cgi; do
        wrk -t1 -c1 -d"${seconds}s" --latency "http://127.0.0.1:8080$path" |
            awk -v r=$round -v p=$path '/Requests\/sec/ {rps=$2} /^ +50%/ {p50=$2} /^ +99%/ {p99=$2}
                /Non-2xx/ {bad=$NF}
                END {print "round " r " " p ": " rps " answers/s, p50 " p50 ", p99 " p99 ", failed " bad + 0}'
    done
done
