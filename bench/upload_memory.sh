#!/usr/bin/env bash
# Inside the sandbox: an update package of SIZE_MIB (default 256) random bytes uploaded through nginx to
# /voxapp/v1/device/update, once for an accessory and once for the host, with the service's peak resident memory
# (VmHWM) before and after each, against the body's own size: the body has to be in memory once, whole, before
# the service sees the request; everything above it is the service's own cost.
#   sim/sandbox --ro build/release -- bench/upload_memory.sh build/release [SIZE_MIB]
set -euo pipefail
build=$(realpath "$1")
size_mib=${2:-256}
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
nginx_conf="$top/sim/nginx/nginx.conf"
source "$top/bench/sim_stack.sh"
kb() { awk -v key="$1:" '$1 == key {print $2}' "/proc/$service/status"; }

head -c $((size_mib * 1048576)) /dev/urandom >/tmp/package
echo "idle: VmHWM $(kb VmHWM) kB, VmRSS $(kb VmRSS) kB"
host=$(curl -s http://127.0.0.1:8080/voxapp/v1/device/info | grep -m1 "\"_id\"" | cut -d\" -f4)
for target in ACC-77 "$host"; do
    start=$(date +%s.%N)
    answer=$(curl -s -F "deviceid=$target" -F file=@/tmp/package http://127.0.0.1:8080/voxapp/v1/device/update)
    end=$(date +%s.%N)
    body=$(stat -c %s /tmp/package)
    peak=$(kb VmHWM)
    stored=$(ls /update | tr '\n' ' ')
    echo "$target: $answer in $(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.2f", b - a}') s; VmHWM $peak kB = body + $(((peak * 1024 - body) / 1048576)) MiB; VmRSS after $(kb VmRSS) kB; in /update: $stored"
done
cmp /tmp/package /update/host.swu && echo "host package unchanged"
