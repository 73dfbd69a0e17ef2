#!/usr/bin/env bash
# Measures each console given (a folder like sim/console, inside the checkout) in headless chromium, one after the
# other, each against a simulated device in a sandbox of its own: the consoles compared meet the same device, with
# a kernel log of its own (the old console could not cope with the 16 MB one another run left).
#   bench/console_cpu.sh build/release CONSOLE_DIR... [-- --seconds N]
# --seconds sets how long the renderer's CPU is measured (20 s).
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ "${1:-}" = --inside ]; then
    build=$2 console=$3 phases=$4
    shift 4
    # shellcheck source=../sim/stack
    . "$top/sim/stack"
    trap stack_stop EXIT
    # The simulated device's own server, serving this console instead of the checkout's.
    sed -e "s|root console;|root $console;|" -e "s|include \.\./\.\./|include $top/|" \
        "$top/sim/nginx/nginx.conf" >/tmp/console-nginx.conf
    stack_start "$build" --nginx /tmp/console-nginx.conf >/dev/null || exit 1
    node "$top/bench/console_cpu.mjs" "$console" --only "$phases" "$@"
    exit
fi
build=$1
shift
consoles=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
    consoles+=("$(realpath "$1")")
    shift
done
[ "${1:-}" != -- ] || shift
for console in "${consoles[@]}"; do
    # The verbose levels on a device of their own: at DebugAll the log goes on growing fast for a while.
    for phases in names,cpu,scroll,stall,log feed; do
        "$top/sim/sandbox" --ro "$build" -- "$top/bench/console_cpu.sh" --inside "$build" "$console" "$phases" "$@"
    done
done
