#!/usr/bin/env bash
# Installs the build into a scratch root and checks what lands there the way the device would use it: the
# program, a unit that systemd accepts and that restarts the program after an abnormal end, and locations that
# nginx accepts inside a server block.
#   install_test.sh BUILD_DIR BINDIR SYSCONFDIR     (the configured absolute install directories)
set -euo pipefail
build=$1 bindir=$2 sysconfdir=$3
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() { echo "install: $*" >&2; exit 1; }

DESTDIR="$root/stage" cmake --install "$build" >/dev/null
program="$root/stage$bindir/service"
[ -x "$program" ] || fail "no program at $bindir/service"

unit=$(find "$root/stage" -name service.service)
[ -n "$unit" ] || fail "no systemd unit"
grep -qx "ExecStart=$bindir/service" "$unit" || fail "the unit does not start $bindir/service"
grep -qx "Restart=on-failure" "$unit" || fail "the unit does not restart the program after an abnormal end"
# systemd's own reading of the unit, with the program where the scratch root put it.
mkdir "$root/units"
sed "s|^ExecStart=.*|ExecStart=$program|" "$unit" >"$root/units/service.service"
systemd-analyze verify "$root/units/service.service" || fail "systemd refuses the unit"

snippet="$root/stage$sysconfdir/nginx/snippets/service.conf"
[ -f "$snippet" ] || fail "no nginx snippet at $sysconfdir/nginx/snippets/service.conf"
cat >"$root/nginx.conf" <<CONF
pid $root/nginx.pid;
error_log stderr warn;
events {}
http {
    server {
        listen 127.0.0.1:8080;
        include $snippet;
    }
}
CONF
nginx -t -q -c "$root/nginx.conf" 2>"$root/nginx.err" ||
    { cat "$root/nginx.err" >&2; fail "nginx refuses the snippet"; }
echo "install: program, unit and snippet in place"
