# shellcheck shell=bash
# Sourced by the shell tests. fail ends the test naming what went wrong under the test's name ($test_name);
# await waits for a condition for at most AWAIT_SECONDS (30: a sanitizer build starts slowly) and names it when it
# does not come.
fail() {
    echo "${test_name:-test}: $*" >&2
    exit 1
}
await() {
    local what=$1 i
    shift
    for ((i = 0; i < ${AWAIT_SECONDS:-30} * 20; i++)); do
        "$@" 2>/dev/null && return 0
        sleep 0.05
    done
    fail "$what did not happen within ${AWAIT_SECONDS:-30} s"
}
