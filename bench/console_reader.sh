#!/usr/bin/env bash
# Inside the sandbox: takes the whole tree from the running simulated device and times the console's lenient
# reader on it against JSON.parse.
#   sim/sandbox --ro build/release -- bench/console_reader.sh build/release
set -euo pipefail
build=$1
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$top/bench/sim_stack.sh"
curl -s http://127.0.0.1:8080/api/v1/all.cgi >/tmp/all.json
node "$top/bench/console_reader.mjs" /tmp/all.json
