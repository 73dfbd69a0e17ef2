#!/bin/sh
# The generator must refuse a definition that breaks what the device relies on, naming the fault.
# Usage: refusals.sh generate.py device.def work-dir
set -u
generator=$1 definition=$2 work=$3
mkdir -p "$work"
status=0
expect() { # description, sed expression, expected text
    sed "$2" "$definition" >"$work/device.def"
    if out=$(python3 "$generator" "$work/device.def" "$work/out" 2>&1); then
        echo "FAIL: $1: accepted"; status=1
    elif ! printf '%s' "$out" | grep -qF -- "$3"; then
        echo "FAIL: $1: said '$out', expected '$3'"; status=1
    else
        echo "ok: $1"
    fi
}
expect "shifted event" 's/^event 915 VarAppServiceLogLevelChanged$/event 915 VarAppServiceLevelChanged/' "event 915 must be VarAppServiceLogLevelChanged"
expect "missing event" '/^event 931 /d' "931 events defined"
expect "variable without event" 's/^var ProductName string 20$/var ProductNames string 20/' "variable ProductNames has no event"
expect "block size" 's/^block 13 MemDeviceState 24$/block 13 MemDeviceState 28/' "end at 24, its data size is 28"
expect "known offset" 's/^var LensFileSave string 29 at 61200$/var LensFileSave string 29/' "MemLens.LensFileSave lies at 57596, the device has it at 61200"
expect "record offset" 's/^field ActPosition 8 int 0 65535$/field ActPosition 6 int 0 65535/' "cannot lie at 6"
expect "unknown type" 's/^var RadioPower bool$/var RadioPower boolean/' "unknown type 'boolean'"
expect "variable count" '/^var RadioBoost bool$/d' "variables defined"
expect "unknown keyword" '1i\
varr X int' "unknown keyword 'varr'"
exit $status
