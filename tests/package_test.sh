#!/usr/bin/env bash
# The Debian packages as a firmware team would take them: both pass lintian without an error; the PC's package
# installs with dpkg into a throwaway copy of this machine (the device sandbox over overlays of /usr and /etc),
# where systemd accepts its unit and rates its exposure, nginx accepts its snippet, and the installed program
# serves the simulated device through nginx and logs its version; removing and purging it leaves nothing behind.
#   tests/package_test.sh RELEASE_BUILD PACKAGES     (PACKAGES: the folder scripts/build-package filled)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
top=$(dirname "$here")
package=lens-controller-web
exposure_limit=2.5
test_name=package
# shellcheck source=support/await.sh
. "$(dirname "${BASH_SOURCE[0]}")/support/await.sh"

if [ "${1:-}" != --inside ]; then
    build=$(realpath "$1")
    packages=$(realpath "$2")
    for arch in amd64 armhf; do
        deb=$(ls "$packages"/${package}_*_$arch.deb 2>/dev/null | tail -n 1)
        [ -n "$deb" ] && [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "no $arch package in $packages"
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
        bash "$here/package_test.sh" --inside "$build" "$(ls "$packages"/${package}_*_amd64.deb | tail -n 1)"
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
conffiles=$(dpkg-query -W -f='${Conffiles}' $package | awk '{print $1}')
[ "$(echo $conffiles)" = "/etc/nginx/snippets/$package.conf /etc/$package/sites.conf" ] ||
    fail "conffiles are '$conffiles'"
unit=/lib/systemd/system/$package.service
[ -L /etc/systemd/system/multi-user.target.wants/$package.service ] || fail "the unit is not enabled on install"
systemd-analyze verify "$unit" || fail "systemd refuses the installed unit"
exposure=$(systemd-analyze security --offline=true "$unit" | sed -n 's/.*Overall exposure level for.*: \([0-9.]*\) .*/\1/p')
echo "package: exposure $exposure (at most $exposure_limit)"
awk -v e="$exposure" -v l="$exposure_limit" 'BEGIN { exit !(e != "" && e <= l) }' ||
    fail "exposure '$exposure' above $exposure_limit"

# The device's site: its own root and the package's locations.
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

get() { curl -s -o /tmp/body -w '%{http_code} %{size_download} %header{content-encoding}\n' "$@"; }
read -r code plain _ < <(get http://127.0.0.1:8080/api/v1/all.cgi)
[ "$code" = 200 ] && python3 -c 'import json,sys; json.load(open("/tmp/body"))' || fail "all.cgi answered $code"
read -r code packed encoding < <(get -H 'Accept-Encoding: gzip' http://127.0.0.1:8080/api/v1/all.cgi)
[ "$code" = 200 ] && [ "$encoding" = gzip ] || fail "all.cgi with gzip answered $code, encoding '$encoding'"
echo "package: all.cgi through nginx: $plain bytes, $packed gzipped"
# The app's paths reach the service (which answers its own way), /voxapp/v1foo stays nginx's.
read -r code _ < <(get http://127.0.0.1:8080/voxapp/v1/device/info)
[ "$code" = 200 ] && grep -q '"serialnumber"' /tmp/body || fail "/voxapp/v1/device/info answered $code: $(cat /tmp/body)"
read -r code _ < <(get http://127.0.0.1:8080/voxapp/v1)
! grep -q '<center>nginx' /tmp/body || fail "/voxapp/v1 did not reach the service ($code)"
read -r code _ < <(get http://127.0.0.1:8080/voxapp/v1foo)
[ "$code" = 404 ] && grep -q '<center>nginx' /tmp/body || fail "/voxapp/v1foo reached the service ($code)"
read -r code _ < <(get -H 'Host: studio-device.example:8080' http://127.0.0.1:8080/api/v1/all.cgi)
[ "$code" = 200 ] || fail "a listed host name answered $code"
read -r code _ < <(get -H 'Host: other.example:8080' http://127.0.0.1:8080/api/v1/all.cgi)
[ "$code" = 421 ] || fail "a host name not listed answered $code"
await "the version line in the log" grep -q "service.*Version $version\$" "$SANDBOX_KMSG_LOG"
stop_all

# dpkg -r keeps the conffile (Debian's rule), purging takes it and the unit's enablement too.
dpkg -r $package >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; fail "dpkg -r failed"; }
while read -r path; do
    [ -d "$path" ] || [[ " $(echo $conffiles) " == *" $path "* ]] || [ ! -e "$path" ] ||
        fail "$path is left after dpkg -r"
done </tmp/installed
dpkg -P $package >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; fail "dpkg -P failed"; }
for path in $conffiles /etc/$package /etc/systemd/system/multi-user.target.wants/$package.service $libexec \
    /lib/systemd/system/$package.service.d /usr/share/doc/$package; do
    [ ! -e "$path" ] && [ ! -L "$path" ] || fail "$path is left after dpkg -P"
done
echo "package: $package $version installs, serves, logs its version and removes cleanly"
