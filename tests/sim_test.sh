#!/usr/bin/env bash
# scripts/run-sim as a developer runs it, inside a sandbox of its own that stands in for the developer's machine:
#   taken  with its web port taken it refuses to start and names the holder
#   demo   the web port answers from the machine and the service's port 9000 does not; a host update and then an
#          accessory update run to "Success" through it with curl (the host's ends in the device's reboot of the
#          service); stopped, it ends with the broker's last line in the kernel log and no write to a closed log
#   sim/sandbox --ro BUILD -- tests/sim_test.sh CASE BUILD
set -euo pipefail
case=$1
build=$2
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
fail() {
    echo "sim: $*" >&2
    exit 1
}
# Waits for a condition for at most 30 s (a sanitizer build starts slowly); names it when it does not come.
await() {
    local what=$1
    shift
    for _ in $(seq 600); do
        "$@" 2>/dev/null && return 0
        sleep 0.05
    done
    fail "$what did not happen within 30 s"
}

if [ "$case" = taken ]; then
    python3 -c 'import signal, socket
s = socket.socket()
s.bind(("127.0.0.1", 8080))
s.listen()
signal.pause()' &
    holder=$!
    trap 'kill $holder' EXIT
    await "the other program's port" bash -c "ss -ltnpH 'sport = :8080' | grep -q pid=$holder,"
    if "$top/scripts/run-sim" --build "$build" --keep /tmp/demo >/tmp/out 2>&1; then
        fail "run-sim started with its port taken"
    fi
    grep -q "port 8080 is taken by python3 (pid $holder)" /tmp/out || fail "run-sim said: $(cat /tmp/out)"
    [ ! -e /tmp/demo ] || fail "run-sim started something before refusing"
    exit 0
fi

"$top/scripts/run-sim" --build "$build" --keep /tmp/demo >/tmp/out 2>&1 &
runsim=$!
trap 'kill $runsim 2>/dev/null; wait; cat /tmp/out' EXIT
await "run-sim's start" grep -q "simulated device is running" /tmp/out
curl -sf -o /dev/null http://127.0.0.1:8080/api/v1/all.cgi || fail "all.cgi does not answer through port 8080"
if bash -c 'exec 3<>/dev/tcp/127.0.0.1/9000' 2>/dev/null; then
    fail "the service's port 9000 is reachable from outside the sandbox"
fi

app=http://127.0.0.1:8080/voxapp/v1/device
echo package >/tmp/package
# Uploads the package for the target and polls the status until "Success"; every state seen must be one of
# the expected ones, and the one named must come before the end.
update() {
    local target=$1 expected=$2 passing=$3 answer seen=""
    answer=$(curl -s -F "deviceid=$target" -F file=@/tmp/package $app/update)
    [ "$answer" = "{\"taskid\": \"$target\" }" ] || fail "the upload for $target answered $answer"
    for _ in $(seq 300); do
        answer=$(curl -s $app/status)
        [[ $answer =~ ^\{\"status\":\ \"([A-Za-z]+)\",\ \"progress\":\ ([0-9]+)\ \}$ ]] ||
            fail "$target's status answered $answer"
        [[ " $passing " == *" ${BASH_REMATCH[1]} "* ]] || fail "$target's update went through ${BASH_REMATCH[1]}"
        [ "${BASH_REMATCH[1]}" = "$expected" ] && seen=1
        if [ "${BASH_REMATCH[1]}" = Success ]; then
            [ -n "$seen" ] || fail "$target's update reached Success without $expected"
            echo "${BASH_REMATCH[2]}"
            return 0
        fi
        sleep 0.1
    done
    fail "$target's update did not end within 30 s"
}
# The poll that finds the host's package valid starts the update and answers "Rebooting".
progress=$(update SIM-000042 Rebooting "NoFileSelected CheckingFile Rebooting CopyingFile InProgress Success")
[ "$progress" = 0 ] || fail "the host's update ended at $progress %"
versions() { [ "$(grep -c "service .* Version " /tmp/demo/kmsg.log)" = "$1" ]; }
await "the service's start after the device's reboot" versions 2
progress=$(update "Hand unit-4100" InProgress "NoFileSelected CheckingFile FileValid CopyingFile InProgress Success")
[ "$progress" = 100 ] || fail "the accessory's update ended at $progress %"

kill -TERM $runsim
status=0
wait $runsim || status=$?
trap - EXIT
[ "$status" = 0 ] || { cat /tmp/out; fail "run-sim ended with $status when stopped"; }
if grep FATAL /tmp/out; then fail "a program could not write its log while stopping"; fi
tail -n 1 /tmp/demo/kmsg.log | grep -q "Broker stopped" ||
    fail "the kernel log does not end with the broker's last line: $(tail -n 1 /tmp/demo/kmsg.log)"
