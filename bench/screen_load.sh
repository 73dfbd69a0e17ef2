#!/usr/bin/env bash
# One /api/v1/screen.cgi answer through nginx, on the simulated device's live display (800 x 480 x 32), one
# request at a time, beside the same picture saved as a static file that nginx serves itself (the baseline):
#   sim/sandbox --kmsg null --ro build/release -- bench/screen_load.sh build/release [seconds]
set -euo pipefail
build=$(realpath "$1")
seconds=${2:-10}
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
pids=()
trap 'for p in "${pids[@]}"; do kill $p 2>/dev/null; done; wait 2>/dev/null' EXIT
await() {
    for _ in $(seq 200); do
        "$@" 2>/dev/null && return 0
        sleep 0.05
    done
    echo "not up: $*" >&2
    exit 1
}
"$build/sim/broker/message-broker" & pids+=($!)
await test -S /var/volatile/message-broker.socket
"$build/sim/device/sim-device" & pids+=($!)
await test -e /dev/shm/MemApp
"$build/apps/web/service/service" & pids+=($!)
await bash -c 'exec 3<>/dev/tcp/127.0.0.1/9000'
nginx -c "$top/bench/service_nginx.conf" -g 'daemon off;' & pids+=($!)
await bash -c 'exec 3<>/dev/tcp/127.0.0.1/8080'

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
