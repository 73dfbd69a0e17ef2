#!/usr/bin/env bash
# The Debian packages as a firmware team would take them: both pass lintian without an error; the PC's package
# installs with dpkg into a throwaway copy of this machine (the device sandbox over overlays of /usr and /etc),
# where systemd accepts its unit and rates its exposure, nginx accepts its snippet, and the installed program
# serves the simulated device through nginx and logs its version; removing and purging it leaves nothing behind.
#   tests/package_test.sh RELEASE_BUILD PACKAGES     (PACKAGES: the folder scripts/build-package filled)
set -euo pipefail
exposure_limit=2.5 test_name=package
# shellcheck source=support/checks.sh
. "$(dirname "${BASH_SOURCE[0]}")/support/checks.sh"

if [ "${1:-}" != --inside ]; then
    build=$(realpath "$1") packages=$(realpath "$2")
    for arch in armhf amd64; do  # amd64 last: that one is installed below
        deb=$(ls "$packages"/${package}_*_$arch.deb 2>/dev/null | tail -n 1) &&
            [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "no $arch package in $packages"
        echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes; Depends: $(dpkg-deb -f "$deb" Depends)"
        # Errors fail; what lintian warns of is printed (the README names the warnings that stay and why).
        lintian --fail-on error --suppress-tags-from-file /dev/null "$deb" 2>&1 | grep -v 'root privileges' ||
            [ "${PIPESTATUS[0]}" -eq 0 ] || fail "lintian reports errors in $(basename "$deb")"
    done
    # nginx takes no body larger than the service itself accepts, and none it would refuse that the service takes.
    shift=$(sed -n 's/.*FCGI_MAX_POST_DATA_SIZE = size_t(1) << \([0-9]*\);.*/\1/p' "$top/apps/web/service/request.h")
    [ -n "$shift" ] || fail "the service's body limit is not where this test reads it"
    limit="client_max_body_size $(((1 << shift) >> 20))m;"
    snippet="$top/apps/web/service/install/nginx-service.conf"
    [ "$(grep -c "client_max_body_size" "$snippet")" = "$(grep -cF "$limit" "$snippet")" ] ||
        fail "the snippet's client_max_body_size is not the service's limit ($limit)"
    exec "$top/sim/sandbox" --overlay --ro "$build" --ro "$packages" -- \
        bash "$top/tests/package_test.sh" --inside "$build" "$deb"
fi

# Inside the sandbox, as root over throwaway overlays of /usr, /etc and the package database.
build=$2 deb=$3 service=""
# shellcheck source=../sim/stack
. "$top/sim/stack"
stop_all() {
    # The service first, the broker last, as the device stops them.
    [ -z "$service" ] || { kill -TERM "$service" && wait "$service"; } 2>/dev/null || true
    service=""
    stack_stop
    [ ! -f /run/nginx.pid ] || nginx -s quit 2>/dev/null || true
}
trap stop_all EXIT

dpkg -i "$deb" >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; fail "dpkg -i failed"; }
version=$(dpkg-query -W -f='${Version}' $package)
dpkg -L $package | sort >/tmp/installed
conffiles=$(dpkg-query -W -f='${Conffiles}' $package | awk '{print $1}' | xargs)
[ "$conffiles" = "/etc/nginx/snippets/$package.conf /etc/$package/sites.conf" ] || fail "conffiles are '$conffiles'"
unit=/lib/systemd/system/$package.service
[ -L /etc/systemd/system/multi-user.target.wants/$package.service ] || fail "the unit is not enabled on install"
systemd-analyze verify "$unit" || fail "systemd refuses the installed unit"
exposure=$(systemd-analyze security --offline=true "$unit" | sed -n 's/.*Overall exposure level for.*: \([0-9.]*\) .*/\1/p')
echo "package: exposure $exposure (at most $exposure_limit)"
awk -v e="$exposure" -v l="$exposure_limit" 'BEGIN { exit !(e != "" && e <= l) }' ||
    fail "exposure '$exposure' above $exposure_limit"

rm -f /etc/nginx/sites-enabled/* && mkdir -p /var/log/nginx /var/lib/nginx /tmp/www
printf 'server {\n listen 127.0.0.1:8080;\n root /tmp/www;\n include snippets/%s.conf;\n}\n' $package \
    >/etc/nginx/sites-enabled/device
nginx -t -q || fail "nginx refuses the installed snippet"
nginx

# Before the device is up the wait gives up naming both; after, it lets the service start.
libexec=/usr/libexec/$package
if DEVICE_WAIT_SECONDS=0 $libexec/wait-for-device 2>/tmp/wait.err; then fail "the wait passed without a device"; fi
grep -qx "Device not ready, missing: /var/volatile/message-broker.socket /dev/shm/MemApp" /tmp/wait.err ||
    fail "the wait said: $(cat /tmp/wait.err)"
stack_start "$build" --service none --nginx none || fail "the simulated device did not start"
DEVICE_WAIT_SECONDS=10 $libexec/wait-for-device || fail "the wait did not see the device"
# A name the administrator lists is served; others (DNS rebinding) are not.
echo studio-device.example >>/etc/$package/sites.conf
$libexec/service & service=$!
await "port 9000" stack_listens "$service" 9000

tree_answered || fail "all.cgi answered $status: $(head -c 300 "$body")"
plain=$(stat -c %s "$body")
answers 200 '' /api/v1/all.cgi -H 'Accept-Encoding: gzip' -D /tmp/headers
grep -qi '^content-encoding: gzip' /tmp/headers || fail "all.cgi with gzip answered with: $(cat /tmp/headers)"
echo "package: all.cgi through nginx: $plain bytes, $(stat -c %s "$body") gzipped"
# The app's paths reach the service (which answers its own way), /voxapp/v1foo stays nginx's.
answers 200 '"serialnumber"' /voxapp/v1/device/info
web /voxapp/v1 >/dev/null
! grep -q '<center>nginx' "$body" || fail "/voxapp/v1 did not reach the service"
answers 404 '<center>nginx' /voxapp/v1foo
answers 200 '' /api/v1/all.cgi -H 'Host: studio-device.example:8080'
answers 421 '' /api/v1/all.cgi -H 'Host: other.example:8080'
await "the version line in the log" grep -q "service.*Version $version\$" "$SANDBOX_KMSG_LOG"
stop_all

# dpkg -r keeps the conffile (Debian's rule), purging takes it and the unit's enablement too.
dpkg -r $package >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; fail "dpkg -r failed"; }
while read -r path; do
    [ -d "$path" ] || [[ " $conffiles " == *" $path "* ]] || [ ! -e "$path" ] || fail "$path is left after dpkg -r"
done </tmp/installed
dpkg -P $package >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; fail "dpkg -P failed"; }
left=$(ls -d $conffiles /etc/$package /etc/systemd/system/multi-user.target.wants/$package.service $libexec \
    /lib/systemd/system/$package.service.d /usr/share/doc/$package 2>/dev/null || true)
[ -z "$left" ] || fail "left after dpkg -P: $left"
echo "package: $package $version installs, serves, logs its version and removes cleanly"
