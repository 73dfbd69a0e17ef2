#!/usr/bin/env bash
# Small answers through nginx with wrk: the test responder on the listener against the reference responder on
# the packaged FastCGI library, side by side in one run, inside the sandbox (it owns ports 8080, 9000, 9001).
#   sim/sandbox --kmsg null --ro build/release -- bench/fcgi_nginx.sh build/release [seconds] [size]
set -euo pipefail
build=$(realpath "$1")
seconds=${2:-5}
size=${3:-64}
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$build/tests/fcgi_responder" --quiet &
ours=$!
"$build/bench/fcgi_reference" &
reference=$!
nginx -c "$top/tests/fcgi_nginx.conf" -g 'daemon off;' &
server=$!
trap 'kill $ours $reference $server 2>/dev/null; wait 2>/dev/null' EXIT
for port in 8080 9000 9001; do
    for _ in $(seq 100); do
        (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break
        sleep 0.05
    done
done
for path in /size /ref/size /keep/size; do
    curl -sf "http://127.0.0.1:8080$path?n=$size" >/dev/null || { echo "no answer on $path" >&2; exit 1; }
done
# Alternating rounds, so that both see the same machine load.
for round in 1 2; do
    for path in /size /ref/size /keep/size; do
        rps=$(wrk -t1 -c16 -d"${seconds}s" "http://127.0.0.1:8080$path?n=$size" | awk '/Requests\/sec/ {print $2}')
        echo "round $round $path: $rps requests/s"
    done
done
