#!/usr/bin/env bash
# The service on the emulated board (sim/board): the image's build time (as build-image recorded it, and a
# cached call), boot to the first answered tree on a board that has the package, the service's resident memory
# idle and after 10 000 mixed requests, and its CPU time per all.cgi against nginx's per static file of the
# same size, in the same emulated machine.
#   bench/device.sh ARMHF_BUILD PACKAGES     (what tests/device_test.sh takes)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
top=$(dirname "$here")
package=lens-controller-web
unit=$package.service
# shellcheck source=../sim/board/board.sh
. "$top/sim/board/board.sh"
build=$(realpath "$1")
deb=$(ls "$(realpath "$2")"/${package}_*_armhf.deb | tail -n 1)
work=$(mktemp -d /tmp/device-bench.XXXXXX)
trap 'board_cut; rm -rf "$work"' EXIT

since() { awk -v from="$1" -v now="$(date +%s.%N)" 'BEGIN { printf "%.1f", now - from }'; }
started=$(date +%s.%N)
image=$("$top/sim/board/build-image" --quiet)
echo "image: built in $(cat "$image/build-seconds") s when not cached; a cached call $(since "$started") s"

url() { echo "http://127.0.0.1:$board_web_port$1"; }
answered() { curl -sf -o /dev/null --max-time 30 "$(url /api/v1/all.cgi)"; }
until_answered() {
    until answered; do
        board_running || { echo "the board stopped" >&2; exit 1; }
        sleep 0.1
    done
}
board_prepare "$image" "$work/board"
board_start
board_wait
board_install "$build" "$deb"
until_answered
board_poweroff
started=$(date +%s.%N)
board_start
board_wait
until_answered
echo "boot: qemu start to the first answered all.cgi, package installed: $(since "$started") s"

pid=$(board_ssh systemctl show -p MainPID --value "$unit")
memory() { board_ssh "grep -E '^Vm(RSS|HWM)' /proc/$pid/status" | awk '{printf "%s %s kB  ", $1, $2}'; }
echo "memory idle (one tree answered): $(memory)"

# CPU time (utime + stime, in clock ticks) of the service for the tree, of nginx for the same bytes as a file.
ticks() { board_ssh "cat $(printf '/proc/%s/stat ' "$@")" | awk '{t += $14 + $15} END {print t}'; }
curl -s -o "$work/tree.json" "$(url /api/v1/all.cgi)"
board_ssh 'cat >/var/www/console/tree.json' <"$work/tree.json"
nginx=$(board_ssh "pgrep -d ' ' nginx")
trees=20 files=200
before=$(ticks "$pid")
for ((i = 0; i < trees; i++)); do curl -s -o /dev/null "$(url /api/v1/all.cgi)"; done
service_ticks=$(($(ticks "$pid") - before))
# shellcheck disable=SC2086
before=$(ticks $nginx)
for ((i = 0; i < files; i++)); do curl -s -o /dev/null "$(url /tree.json)"; done
# shellcheck disable=SC2086
nginx_ticks=$(($(ticks $nginx) - before))
hz=$(board_ssh getconf CLK_TCK)
awk -v s="$service_ticks" -v n="$nginx_ticks" -v t="$trees" -v f="$files" -v hz="$hz" -v size="$(stat -c %s "$work/tree.json")" \
    'BEGIN { ps = s / t * 1000 / hz; pn = n / f * 1000 / hz;
             printf "CPU per answer of %d bytes: service all.cgi %.1f ms, nginx static file %.2f ms: ratio %.2f\n",
                    size, ps, pn, (pn > 0 ? ps / pn : 0) }'

# Per hundred requests: the tree, the screen, the log, 30 sets, 30 device/info, 20 lens-table lists and 17
# status polls, on one kept-alive connection; each says its status.
request() {
    printf 'url = "%s"\n' "$(url "$1")"
    [ -z "${2:-}" ] || printf '%s\n' "$2"
    printf 'output = "/dev/null"\nwrite-out = "%%{http_code}\\n"\nnext\n'
}
for ((i = 0; i < 100; i++)); do
    for path in /api/v1/all.cgi /api/v1/screen.cgi '/api/v1/log.cgi?offset=0'; do request "$path"; done
    for ((j = 0; j < 30; j++)); do
        request /api/v1/set.cgi "data-binary = \"{\\\"MemPersistent\\\": {\\\"FocusTorque\\\": $((j % 4 + 1))}}\""
        request /voxapp/v1/device/info
    done
    for ((j = 0; j < 20; j++)); do request /voxapp/v1/lenstables/list; done
    for ((j = 0; j < 17; j++)); do request /voxapp/v1/device/status; done
done | sed '$d' >"$work/requests"
started=$(date +%s.%N)
curl -s -K "$work/requests" >"$work/codes"
echo "10 000 mixed requests in $(since "$started") s: $(sort "$work/codes" | uniq -c | xargs)"
echo "memory after them: $(memory)"

board_poweroff
