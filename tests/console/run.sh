#!/usr/bin/env bash
# Inside the device sandbox: starts the simulated device with the service and nginx (serving the console), then
# runs browser tests against http://127.0.0.1:8080/ in Debian's chromium.
#   tests/console/run.sh BUILD_DIR OUT_DIR [TESTS]    OUT_DIR receives the console's screenshot; TESTS: the test
#                                                     file (browser.test.mjs)
set -uo pipefail
build=$1
out=$2
tests=${3:-browser.test.mjs}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if [ ! -d "$here/node_modules/playwright-core" ]; then
    echo "console tests: playwright-core is missing; scripts/install-deps installs it (npm ci in tests/console)" >&2
    exit 1
fi
# shellcheck source=../../sim/stack
. "$here/../../sim/stack"
trap stack_stop EXIT

# The tests stop and restart the service themselves. Its standard error is kept, so that a sanitizer's report
# fails the run even when the service went on.
service_log="$out/service.stderr"
: >"$service_log"
stack_start "$build" --service-log "$service_log" --service-may-end || exit 1

SERVICE_BIN="$build/apps/web/service/service" SERVICE_LOG="$service_log" CONSOLE_OUT="$out" \
    node --test --test-reporter=tap "$here/$tests"
status=$?
# Every service has ended once the stack has stopped, the one the tests started too.
stack_stop
if grep -E 'Sanitizer|runtime error' "$service_log"; then
    echo "console tests: the service reported the errors above" >&2
    status=1
fi
exit $status
