#!/usr/bin/env bash
# The service's answer path on the simulated device, each figure beside its baseline in the same run, in the
# sandbox (it owns ports 8080 and 9000):
#   1. the service's CPU time per /api/v1/all.cgi through nginx with the installed locations (utime + stime from
#      /proc over wrk runs, divided by the answers) against createJsonTree alone (tree_bench's CPU time per tree);
#      and all.cgi's answers per second against nginx serving the same bytes from a static file. Two rounds.
#   2. a second client's all.cgi latency through nginx while a reader on a kept FastCGI connection has eight
#      trees outstanding and reads nothing for 3 s, against the same with nobody stalled; whether the stalled
#      reader then gets every byte.
#   sim/sandbox --kmsg null --ro build/release -- bench/answer_path.sh build/release [seconds]
#   sim/sandbox --kmsg null --ro build/release -- bench/answer_path.sh build/release callgrind
#      instructions per all.cgi (everything the main loop does, over 20 answers) against createJsonTree's per tree.
set -euo pipefail
build=$(realpath "$1")
mode=${2:-10}
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

if [ "$mode" = callgrind ]; then
    valgrind --tool=callgrind --callgrind-out-file=/tmp/tree.callgrind --toggle-collect='*callgrindTrees*' \
        "$build/bench/tree_bench" --callgrind fast >/dev/null 2>&1
    tree=$(awk '/^(summary|totals):/ {print $2; exit}' /tmp/tree.callgrind)
    service_wrapper="valgrind --tool=callgrind --callgrind-out-file=/tmp/service.callgrind
        --toggle-collect=EventPoll::wait* --toggle-collect=RequestHandler::periodic*"
    # shellcheck source=sim_stack.sh
    . "$top/bench/sim_stack.sh"
    for _ in $(seq 20); do curl -sf -o /dev/null http://127.0.0.1:8080/api/v1/all.cgi; done
    kill "$service"
    wait "$service" || true
    answers=$(awk '/^(summary|totals):/ {print $2; exit}' /tmp/service.callgrind)
    awk -v t="$tree" -v s="$answers" 'BEGIN {printf "instructions: createJsonTree %.0f per tree, service %.0f per all.cgi: %.2f times\n", t / 5, s / 20, (s / 20) / (t / 5)}'
    exit 0
fi
seconds=$mode

tree_cpu=$("$build/bench/tree_bench" --benchmark_filter=TreeFast --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true --benchmark_format=csv 2>/dev/null |
    awk -F, '/TreeFast_median/ {print $4}') # milliseconds
echo "createJsonTree alone: $tree_cpu ms of CPU per tree"

# shellcheck source=sim_stack.sh
. "$top/bench/sim_stack.sh"
ticks=$(getconf CLK_TCK)
cpu() { awk '{print $14, $15}' "/proc/$service/stat"; } # user and system ticks
mkdir -p /tmp/www/static
curl -sf http://127.0.0.1:8080/api/v1/all.cgi >/tmp/www/static/all.json
echo "tree: $(stat -c %s /tmp/www/static/all.json) bytes"
run() { # path: answers/s and answers
    wrk -t1 -c8 -d"${seconds}s" "http://127.0.0.1:8080$1" |
        awk '/requests in/ {n=$1} /Requests\/sec/ {rps=$2} /Non-2xx/ {bad=$NF} END {print rps, n, bad + 0}'
}
for round in 1 2; do
    read -r static_rps _ _ < <(run /static/all.json)
    read -r user0 system0 < <(cpu)
    read -r tree_rps answers failed < <(run /api/v1/all.cgi)
    read -r user1 system1 < <(cpu)
    awk -v r="$round" -v s="$static_rps" -v a="$tree_rps" -v n="$answers" -v f="$failed" -v hz="$ticks" \
        -v u=$((user1 - user0)) -v k=$((system1 - system0)) -v t="$tree_cpu" 'BEGIN {
            per = 1000 * (u + k) / hz / n
            printf "round %s: static %s/s, all.cgi %s/s (%.2f of static, %d failed); service CPU %.3f ms per all.cgi (user %.3f, system %.3f), %.2f times createJsonTree\n", r, s, a, a / s, f, per, 1000 * u / hz / n, 1000 * k / hz / n, per / t }'
done

latency() { # ten all.cgi requests one after the other: median and largest time in ms
    for _ in $(seq 10); do curl -sf -o /dev/null -w '%{time_total}\n' http://127.0.0.1:8080/api/v1/all.cgi; done |
        sort -n | awk '{v[NR] = $1 * 1000} END {printf "median %.1f ms, largest %.1f ms", v[int((NR + 1) / 2)], v[NR]}'
}
echo "second client, nobody stalled: $(latency)"
python3 "$top/bench/stalled_reader.py" 8 3 /tmp/stalled.ready & reader=$!
while [ ! -e /tmp/stalled.ready ]; do sleep 0.01; done
echo "second client, a reader stalled: $(latency)"
wait "$reader" || true
