# shellcheck shell=bash
# What the shell tests share, sourced once they set test_name. fail ends the test naming what went wrong; await
# waits for a condition for at most AWAIT_SECONDS (30: a sanitizer build starts slowly) and names it when it does
# not come. web requests a path through the web port (127.0.0.1:$web_port, 8080 unless the test sets it), the
# body in $body and the status on stdout; gives and answers check both, tree_answered the tree from all.cgi.
# shellcheck disable=SC2034 # for the tests that source this
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd) package=lens-controller-web
body=/tmp/body
fail() { echo "${test_name:-test}: $*" >&2; exit 1; }
await() {
    local what=$1 i
    shift
    for ((i = 0; i < ${AWAIT_SECONDS:-30} * 20; i++)); do
        "$@" 2>/dev/null && return 0
        sleep 0.05
    done
    fail "$what did not happen within ${AWAIT_SECONDS:-30} s"
}
web() { curl -s --max-time 60 -o "$body" -w '%{http_code}' "${@:2}" "http://127.0.0.1:${web_port:-8080}$1" || true; }
# gives CODE PATTERN PATH [CURL OPTION...]: the answer has that status and a body that matches the extended
# regular expression ('' for any body). Quiet, for await; answers ends the test when it does not hold.
gives() {
    status=$(web "${@:3}")
    [ "$status" = "$1" ] && { [ -z "$2" ] || grep -qE -- "$2" "$body"; }
}
answers() { gives "$@" || fail "${*:3} answered $status, not $1 matching '$2': $(head -c 300 "$body")"; }
tree_answered() { gives 200 '' /api/v1/all.cgi && python3 -c 'import json, sys; json.load(open(sys.argv[1]))' "$body"; }
