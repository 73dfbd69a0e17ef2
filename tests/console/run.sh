#!/usr/bin/env bash
# Inside the device sandbox: starts the simulated device with the service and nginx (serving the console), then
# runs the browser tests against http://127.0.0.1:8080/ in Debian's chromium.
#   tests/console/run.sh BUILD_DIR OUT_DIR     OUT_DIR receives the console's screenshot
set -uo pipefail
build=$1
out=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
sim=$(cd "$here/../../sim" && pwd)
if [ ! -d "$here/node_modules/playwright-core" ]; then
    echo "console tests: playwright-core is missing; scripts/install-deps installs it (npm ci in tests/console)" >&2
    exit 1
fi

pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; wait 2>/dev/null' EXIT
await() {
    for _ in $(seq 200); do
        "$@" 2>/dev/null && return 0
        sleep 0.05
    done
    echo "console tests: not up: $*" >&2
    exit 1
}
"$build/sim/broker/message-broker" & pids+=($!)
await test -S /var/volatile/message-broker.socket
"$build/sim/device/sim-device" & pids+=($!)
await test -e /dev/shm/MemApp
# The tests stop and restart the service themselves; they find it by this name. Its standard error is kept, so
# that a sanitizer's report fails the run even when the service went on.
service_log="$out/service.stderr"
: >"$service_log"
"$build/apps/web/service/service" 2>>"$service_log" & pids+=($!)
await bash -c 'exec 3<>/dev/tcp/127.0.0.1/9000'
nginx -p "$sim/" -c "$sim/nginx/nginx.conf" -g 'daemon off;' & pids+=($!)
await bash -c 'exec 3<>/dev/tcp/127.0.0.1/8080'

SERVICE_BIN="$build/apps/web/service/service" SERVICE_LOG="$service_log" CONSOLE_OUT="$out" \
    node --test --test-reporter=spec "$here/browser.test.mjs"
status=$?
for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
wait 2>/dev/null
pkill -x service && sleep 0.5
if grep -E 'Sanitizer|runtime error' "$service_log"; then
    echo "console tests: the service reported the errors above" >&2
    status=1
fi
exit $status
