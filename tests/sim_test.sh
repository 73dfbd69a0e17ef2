#!/usr/bin/env bash
# scripts/run-sim as a developer runs it, inside a sandbox of its own that stands in for the developer's machine:
#   taken  with its web port taken it refuses to start and names the holder
#   demo   the web port answers from the machine and the service's port 9000 does not; a host update, an accessory
#          update and a host update again run to "Success" through it with curl (the host's end in the device's
#          reboot of the service); stopped, the kernel log ends with the broker's last line, nothing is written late
#   sim/sandbox --ro BUILD -- tests/sim_test.sh CASE BUILD
set -euo pipefail
case=$1 build=$2 test_name=sim
# shellcheck source=support/checks.sh
. "$(dirname "${BASH_SOURCE[0]}")/support/checks.sh"

if [ "$case" = taken ]; then
    python3 -c 'import signal, socket; s = socket.socket(); s.bind(("127.0.0.1", 8080)); s.listen(); signal.pause()' &
    holder=$!
    trap 'kill $holder' EXIT
    await "the other program's port" bash -c "ss -ltnpH 'sport = :8080' | grep -q pid=$holder,"
    ! "$top/scripts/run-sim" --build "$build" --keep /tmp/demo >/tmp/out 2>&1 || fail "run-sim started with its port taken"
    grep -q "port 8080 is taken by python3 (pid $holder)" /tmp/out || fail "run-sim said: $(cat /tmp/out)"
    [ ! -e /tmp/demo ] || fail "run-sim started something before refusing"
    exit 0
fi

"$top/scripts/run-sim" --build "$build" --keep /tmp/demo >/tmp/out 2>&1 &
runsim=$!
trap 'kill $runsim 2>/dev/null; wait; cat /tmp/out' EXIT
await "run-sim's start" grep -q "simulated device is running" /tmp/out
tree_answered || fail "all.cgi does not answer through port 8080"
! bash -c 'exec 3<>/dev/tcp/127.0.0.1/9000' 2>/dev/null || fail "the service's port 9000 is reachable from outside the sandbox"

echo package >/tmp/package
# Uploads the package for the target and waits for "Success", which must come after the state named.
update() {
    answers 200 "^\{\"taskid\": \"$1\" \}$" /voxapp/v1/device/update -F "deviceid=$1" -F file=@/tmp/package
    seen=""
    await "the end of $1's update" update_ended "$2"
    [ -n "$seen" ] || fail "$1's update read Success before $2"
}
update_ended() {
    web /voxapp/v1/device/status >/dev/null
    case $(<"$body") in *"\"$1\""*) seen=1 ;; *'"Success"'*) return 0 ;; esac
    return 1
}
# The poll that finds the host's package valid starts the update and answers "Rebooting".
update SIM-000042 Rebooting
versions() { [ "$(grep -c "service .* Version " /tmp/demo/kmsg.log)" = "$1" ]; }
await "the service's start after the device's reboot" versions 2
update "Hand unit-4100" InProgress
[ "$(<"$body")" = '{"status": "Success", "progress": 100 }' ] || fail "the accessory's update ended with $(<"$body")"
# And again: the rebooted device takes the same package name as a new package.
update SIM-000042 Rebooting

kill -TERM $runsim
trap - EXIT
wait $runsim || { status=$?; cat /tmp/out; fail "run-sim ended with $status when stopped"; }
if grep FATAL /tmp/out; then fail "a program could not write its log while stopping"; fi
tail -n 1 /tmp/demo/kmsg.log | grep -q "Broker stopped" ||
    fail "the kernel log does not end with the broker's last line: $(tail -n 1 /tmp/demo/kmsg.log)"
