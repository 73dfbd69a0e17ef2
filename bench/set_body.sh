#!/usr/bin/env bash
# Set bodies of 1 MiB in four shapes, each posted once to /api/v1/set.cgi through nginx with the installed
# locations, on the simulated device in the sandbox: the answer's time (curl) and the service's resident memory
# before and after (VmRSS, and VmHWM, the peak).
#   sim/sandbox --kmsg null --ro build/release -- bench/set_body.sh build/release [bytes]
set -euo pipefail
build=$(realpath "$1")
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=sim_stack.sh
. "$top/bench/sim_stack.sh"

size=${2:-$((1 << 20))}
python3 - "$size" <<'PY'
import sys
size = int(sys.argv[1])
levels = (size - 2) // 4
shapes = {
    "nested": "{a:" * levels + "1" + "}" * levels,
    "pairs": "{" + ",".join(["a:1"] * ((size - 2) // 4)) + "}",
    "string": '{"MemPersistent": {"ProductName": "' + "x" * (size - 40) + '"}}',
    "wrapped": '{"MemPersistent": {"FocusTorque": ' + "{v:" * 12 + " " * (size - 100) + "3" + "}" * 12 + "}}",
}
for name, body in shapes.items():
    open(f"/tmp/{name}.json", "w").write(body[:size])
PY
memory() { awk '/VmRSS|VmHWM/ {printf "%s %s kB  ", $1, $2}' "/proc/$service/status"; }
echo "idle: $(memory)"
for shape in nested pairs string wrapped; do
    answer=$(curl -s -w ' %{http_code} %{time_total}' --data-binary "@/tmp/$shape.json" \
        http://127.0.0.1:8080/api/v1/set.cgi)
    echo "$shape ($(stat -c %s /tmp/$shape.json) bytes): ${answer:0:120}"
    echo "    $(memory)"
done
