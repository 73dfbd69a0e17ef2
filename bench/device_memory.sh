#!/usr/bin/env bash
# Inside the sandbox: resident memory of the device's package (scripts/build-package) running idle under
# qemu-user, next to two baselines started the same way: qemu-user running an idle armhf program that loads the
# same C++ runtime (what the emulator itself costs), and the x86-64 release build of the service run natively.
# Each service runs against the broker and simulated device of its own processor's build: the start gate is a
# POSIX semaphore, whose layout differs between the two ABIs.
#   sim/sandbox --kmsg null --ro build/release --ro build/armhf --ro build/packages -- \
#       bench/device_memory.sh build/release build/armhf build/packages
set -euo pipefail
release=$(realpath "$1")
armhf=$(realpath "$2")
# The program as the device gets it: out of the armhf package.
dpkg-deb -x "$(ls "$(realpath "$3")"/*_armhf.deb | tail -n 1)" /tmp/stage
program=$(ls /tmp/stage/usr/libexec/*/service)
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=../sim/stack
. "$top/sim/stack"
STACK_WAIT=40 # the emulated programs start slowly
pids=()
stop() {
    stack_stop
    for p in "${pids[@]}"; do kill $p 2>/dev/null; done
    wait 2>/dev/null
    pids=()
}
trap stop EXIT
memory() { awk '/^VmHWM|^VmRSS/ {printf "%s %s kB  ", $1, $2}' "/proc/$1/status"; echo; }

# Starts broker, simulated device and service with the launcher in $1 (empty or the emulator), from build $2,
# the service itself from $3; reports the service's memory after one tree request and three idle seconds.
measure() {
    local run=$1 launcher=$2 stack=$3 program=$4
    stack_start "$stack" --launcher "$launcher" --service "$program" --nginx none
    env -i SCRIPT_NAME=/api/v1/all.cgi cgi-fcgi -bind -connect 127.0.0.1:9000 </dev/null | wc -c >/dev/null
    sleep 3
    echo "$run service: $(memory "$stack_service")"
    stop
}

measure native "" "$release" "$release/apps/web/service/service"
measure emulated "qemu-arm -L /" "$armhf" "$program"

cat >/tmp/idle.cpp <<'CPP'
#include <iostream>
#include <string>
#include <unistd.h>
int main() { std::string text = "idle"; std::cout << text << std::endl; pause(); }
CPP
arm-linux-gnueabihf-g++ -O2 /tmp/idle.cpp -o /tmp/idle
qemu-arm -L / /tmp/idle >/dev/null & idle=$!
pids+=($idle)
sleep 1
echo "qemu-user with an idle armhf program: $(memory $idle)"
ls -l "$program" | awk '{print "stripped armhf program:", $5, "bytes"}'
