#!/usr/bin/env bash
# The armhf package on the emulated board (sim/board), as the device runs it: booted under systemd with Debian's
# kernel, installed with apt-get, reached through the board's nginx on a forwarded port and checked from inside
# by ssh. Each check says what it saw on a line of its own; the first that fails ends the test.
#   tests/device_test.sh ARMHF_BUILD PACKAGES     the armhf build's stand-ins and the armhf package
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
top=$(dirname "$here")
package=lens-controller-web
unit=$package.service
test_name=device
# Under full emulation a restart or a held request takes seconds, not milliseconds.
export AWAIT_SECONDS=${AWAIT_SECONDS:-90}
# shellcheck source=support/await.sh
. "$here/support/await.sh"
# shellcheck source=../sim/board/board.sh
. "$top/sim/board/board.sh"

build=$(realpath "$1")
deb=$(ls "$(realpath "$2")"/${package}_*_armhf.deb 2>/dev/null | tail -n 1)
[ -n "$deb" ] || fail "no armhf package in $2"
image=$("$top/sim/board/build-image") || fail "the board's image was not built"
work=$(mktemp -d /tmp/device-test.XXXXXX)
trap 'board_cut; rm -rf "$work"' EXIT
ok() { echo "device: ok: $*"; }

url() { echo "http://127.0.0.1:$board_web_port$1"; }
# GET (or what the options say) through the board's nginx: the body in $work/body, the status on stdout.
web() {
    local path=$1
    shift
    curl -s --max-time 60 -o "$work/body" -w '%{http_code}' "$@" "$(url "$path")" || true
}
tree_answered() { [ "$(web /api/v1/all.cgi)" = 200 ] && json_valid; }
json_valid() { python3 -c 'import json, sys; json.load(open(sys.argv[1]))' "$work/body"; }
property() { board_ssh systemctl show -p "$1" --value "$unit"; }
kernel_log() { board_ssh dmesg; }

# --- boot, install, first answer ---------------------------------------------------------------------------
board_prepare "$image" "$work/board"
started=$SECONDS
board_start --fcgi
board_wait || fail "the board did not boot"
ok "booted to ssh in $((SECONDS - started)) s; $(board_ssh uname -rm)"
# Until the power cut a call that the unit's filter denies kills the program, with the kernel's audit line
# naming it, rather than failing quietly with EPERM: no denial in the service, dmesg or the 1-Wire tool goes
# unseen. The drop-in lives in /run; after the power cut the unit runs exactly as shipped.
board_ssh "mkdir -p /run/systemd/system/$unit.d &&
    printf '[Service]\nSystemCallErrorNumber=kill\n' >/run/systemd/system/$unit.d/denials.conf"
board_install "$build" "$deb" || fail "the package and the stand-ins did not install"
await "an answered all.cgi" tree_answered
ok "apt-get installed $(basename "$deb") and its dependencies; all.cgi answered $((SECONDS - started)) s after qemu started"

# --- the unit as systemd runs it ----------------------------------------------------------------------------
state=$(board_ssh systemctl show -p Type -p ActiveState -p SubState -p NRestarts -p Result "$unit" | sort | xargs)
[ "$state" = "ActiveState=active NRestarts=0 Result=success SubState=running Type=notify" ] ||
    fail "the unit: $state"
# A notify unit is active only once READY=1 came; the service says so once port 9000 is open.
board_ssh journalctl -q -b -u "$unit" -o cat | grep -q "^Started $unit" || fail "no start of $unit in the journal"
ok "unit $state (READY=1 received)"

# --- every endpoint once ------------------------------------------------------------------------------------
[ "$(web /api/v1/set.cgi --data-binary '{"MemPersistent": {"FocusTorque": 3}}')" = 200 ] &&
    grep -q '"result": 1' "$work/body" || fail "set.cgi: $(cat "$work/body")"
web /api/v1/all.cgi >/dev/null
python3 - "$work/body" <<'EOF' || fail "the set FocusTorque did not read back as 3"
import json, sys
tree = json.load(open(sys.argv[1]))
sys.exit(tree["variables"]["MemPersistent"]["FocusTorque"]["value"] != "3")
EOF
ok "set.cgi FocusTorque 3, read back from all.cgi"

# The simulated device moves the battery and the motors five times a second.
[ "$(web /api/v1/update.cgi)" = 200 ] && grep -q '"MemDynamic"' "$work/body" ||
    fail "update.cgi did not deliver the simulated device's change: $(head -c 300 "$work/body")"
ok "update.cgi delivered the simulated device's changes"

# The real dmesg's colours become spans: a line at error level is red.
marker="device-test-$RANDOM$RANDOM"
board_ssh "echo '<3>$marker' >/dev/kmsg"
log_has_marker() {
    [ "$(web '/api/v1/log.cgi?offset=0')" = 200 ] && grep -q "<span style='color: #AA0000'>[^<]*$marker" "$work/body"
}
await "the kmsg line in log.cgi, red" log_has_marker
ok "log.cgi shows the line written to /dev/kmsg, coloured by the real dmesg"

# A pattern drawn into the framebuffer's second screen and panned there, as the device's GUI shows a frame; the
# capture is compared with it pixel by pixel. The pixels are made here, in the layout the driver reports.
fb() {
    board_ssh "python3 - $*" <<'EOF'
import fcntl, struct, sys
FBIOGET_VSCREENINFO, FBIOGET_FSCREENINFO, FBIOPAN_DISPLAY = 0x4600, 0x4602, 0x4606
with open("/dev/fb0", "r+b") as fb:
    var, fix = bytearray(160), bytearray(80)
    fcntl.ioctl(fb, FBIOGET_VSCREENINFO, var)
    fcntl.ioctl(fb, FBIOGET_FSCREENINFO, fix)
    if len(sys.argv) > 1:  # pan to that line
        struct.pack_into("I", var, 20, int(sys.argv[1]))
        fcntl.ioctl(fb, FBIOPAN_DISPLAY, var)
    else:  # xres yres yres_virtual bits_per_pixel, red green blue offsets, line length
        fields = struct.unpack_from("4I", var) + struct.unpack_from("I", var, 24)
        shifts = [struct.unpack_from("I", var, offset)[0] for offset in (32, 44, 56)]
        line = struct.unpack_from("16sL4I3HI", fix)[-1]  # native: the address is a long
        print(*(fields[:2] + fields[3:5] + tuple(shifts) + (line,)))
EOF
}
pattern='((x * 7 + y) & 0xff, (y * 3) & 0xff, (x ^ y) & 0xff)'
read -r xres yres yvirtual bpp red green blue line < <(fb) || fail "no screen information from /dev/fb0"
[ "$bpp" = 32 ] || fail "/dev/fb0 has $bpp bits per pixel"
screen=$((yvirtual >= 2 * yres ? 1 : 0))
python3 - "$pattern" "$xres" "$yres" "$line" "$red" "$green" "$blue" >"$work/screen.raw" <<'EOF'
import struct, sys
xres, yres, line, red, green, blue = map(int, sys.argv[2:])
pixel = eval("lambda x, y: " + sys.argv[1])
out = bytearray()
for y in range(yres):
    row = [r << red | g << green | b << blue for r, g, b in (pixel(x, y) for x in range(xres))]
    out += struct.pack("<%dI" % xres, *row) + bytes(line - 4 * xres)
sys.stdout.buffer.write(out)
EOF
board_ssh "dd of=/dev/fb0 bs=$line seek=$((screen * yres)) conv=notrunc status=none" <"$work/screen.raw" &&
    fb $((screen * yres)) || fail "the pattern could not be drawn into /dev/fb0"
[ "$(web /api/v1/screen.cgi)" = 200 ] || fail "screen.cgi: $(head -c 300 "$work/body")"
python3 - "$work/body" "$pattern" <<'EOF' || fail "screen.cgi is not the pattern drawn"
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
at, chunks = 8, {}
while at < len(data):
    length, kind = struct.unpack(">I4s", data[at:at + 8])
    chunks[kind] = chunks.get(kind, b"") + data[at + 8:at + 8 + length]
    at += 12 + length
width, height, depth, colour = struct.unpack(">IIBB", chunks[b"IHDR"][:10])
channels = {2: 3, 6: 4}[colour]
assert depth == 8, depth
raw, stride, rows, previous = zlib.decompress(chunks[b"IDAT"]), width * channels, [], bytearray(width * channels)
for y in range(height):
    kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
    for i in range(stride):
        a = line[i - channels] if i >= channels else 0
        b, c = previous[i], previous[i - channels] if i >= channels else 0
        p = a + b - c
        near = a if abs(p - a) <= abs(p - b) and abs(p - a) <= abs(p - c) else b if abs(p - b) <= abs(p - c) else c
        line[i] = (line[i] + [0, a, b, (a + b) // 2, near][kind]) & 0xff
    rows.append(line)
    previous = line
wrong = [(x, y) for y in range(height) for x in range(width)
         if tuple(rows[y][x * channels:x * channels + 3]) != eval(sys.argv[2])]
print("screen.cgi: %dx%d, %d pixels differ%s" % (width, height, len(wrong), " from %s on" % (wrong[:1],) if wrong else ""))
sys.exit(1 if wrong else 0)
EOF
ok "screen.cgi equals the pattern drawn into screen $screen of /dev/fb0 (${xres}x$yres, $yvirtual lines), pixel for pixel"

[ "$(web /voxapp/v1/device/info)" = 200 ] && grep -q '"_id": "SIM-000042"' "$work/body" ||
    fail "device/info: $(cat "$work/body")"
ok "device/info names the unit from the hardware information on /dev/mmcblk1"

# An upload: the stand-in of the update daemon checks the package it is told of.
head -c 300000 /dev/urandom >"$work/first.swu"
[ "$(web /voxapp/v1/device/update -F deviceid=SIM-000042 -F "file=@$work/first.swu")" = 200 ] ||
    fail "the upload: $(cat "$work/body")"
checked() { [ "$(web /voxapp/v1/device/status)" = 200 ] && grep -qE '"(CheckingFile|FileValid|Rebooting)"' "$work/body"; }
await "the update daemon's check of the upload" checked
board_ssh cat /update/host.swu | cmp -s - "$work/first.swu" || fail "the uploaded package is not /update/host.swu"
ok "the upload is /update/host.swu and the update daemon checks it ($(cat "$work/body"))"

printf 'focus table, first\r\n' >"$work/table"
[ "$(web /voxapp/v1/lenstables/file/board.tab -T "$work/table")" = 200 ] || fail "the table PUT: $(cat "$work/body")"
[ "$(web /voxapp/v1/lenstables/file/board.tab)" = 200 ] && cmp -s "$work/body" "$work/table" ||
    fail "the table read back: $(cat "$work/body")"
[ "$(web /voxapp/v1/lenstables/file/board.tab -X DELETE)" = 200 ] && grep -q Success "$work/body" &&
    web /voxapp/v1/lenstables/file/board.tab >/dev/null && grep -q '"No such file"' "$work/body" ||
    fail "the table DELETE: $(cat "$work/body")"
ok "lens table PUT, GET and DELETE"

# The 1-Wire tool: a shell and Python under the service's system-call filter.
web /api/v1/premarkeddata.cgi --data-binary '{"unit": "metric", "focusCloseValue": "0.45"}' >/dev/null
ring_written() { kernel_log | grep -q "onewire-tool: ring written: unit metric, close focus 0.45"; }
await "the 1-Wire tool's line in the kernel log" ring_written
ok "premarkeddata.cgi ran the 1-Wire tool"

# Nothing the unit refused: a denied call leaves the kernel's seccomp audit line (type 1326) and a restart; a
# device the policy hides fails its open with EPERM, which the programs log as "Operation not permitted".
refused=$(board_ssh "journalctl -q -b -o cat -u $unit; dmesg" |
    grep -E 'Operation not permitted|Permission denied|type=1326' || true)
[ -z "$refused" ] || fail "refused under the unit's hardening: $refused"
ok "no system call denied, no device refused (the unit's journal and the kernel log)"

# --- the fence: port 9000 for the board's own nginx only ----------------------------------------------------
fcgi_direct() {
    env -i REQUEST_METHOD=GET SCRIPT_NAME=/voxapp/v1 PATH_INFO=/device/info SERVER_PROTOCOL=HTTP/1.1 \
        HTTP_HOST=127.0.0.1 timeout 5 cgi-fcgi -bind -connect "127.0.0.1:$board_fcgi_port" 2>/dev/null |
        grep -q SIM-000042
}
board_ssh ss -ltnH 'sport = :9000' | grep -qE '(0\.0\.0\.0|\*|\[::\]):9000' || fail "port 9000 is not bound on every interface"
! fcgi_direct || fail "port 9000 answered from outside the board"
# The same request answers once the unit's fence is lifted: it is the fence that refused it, not the forward.
board_ssh systemctl set-property --runtime "$unit" IPAddressDeny=
await "an answer from port 9000 without the fence" fcgi_direct
board_ssh systemctl set-property --runtime "$unit" IPAddressDeny=any
! fcgi_direct || fail "port 9000 answered from outside the board with the fence back"
[ "$(web /voxapp/v1/device/info)" = 200 ] || fail "nginx on the board no longer reaches port 9000"
ok "port 9000 refused from outside the board (answered only with IPAddressDeny= lifted), served to nginx inside"

# --- faults under systemd -----------------------------------------------------------------------------------
restarts_are() { [ "$(property NRestarts)" = "$1" ] && [ "$(property SubState)" = running ]; }
pid=$(property MainPID)
board_ssh kill -STOP "$pid"
await "a restart by the watchdog" restarts_are 1
await "an answered all.cgi after the watchdog's restart" tree_answered
board_ssh journalctl -q -b -u "$unit" -o cat | grep -q 'Watchdog timeout' || fail "no watchdog timeout in the journal"
ok "stopped with SIGSTOP: the watchdog ended it, systemd restarted it, the API answers"

board_ssh kill -KILL "$(property MainPID)"
await "a restart after SIGKILL" restarts_are 2
await "an answered all.cgi after SIGKILL" tree_answered
ok "killed with SIGKILL: restarted, the API answers"

# The broker restarted: changes flow again, and a set's event goes through the new broker to the update daemon's
# stand-in, which checks the package named at once: the service must post to the new broker, and the stand-in
# must have subscribed there again.
update_state() {
    web /api/v1/all.cgi >/dev/null
    python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["variables"]["MemMedia"]["HostUpdateFileState"]["value"])' \
        "$work/body"
}
name_package() { web /api/v1/set.cgi --data-binary "{\"MemMedia\": {\"HostUpdateFileName\": \"$1\"}}" >/dev/null; }
name_package /update/none.swu
await "the update daemon's check of a missing package" eval '[ "$(update_state)" = FileNotFound ]'
board_ssh systemctl restart message-broker
restarted=$SECONDS
changes_flow() { [ "$(web /api/v1/update.cgi --max-time 5)" = 200 ] && grep -q '"MemDynamic"' "$work/body"; }
AWAIT_SECONDS=5 await "update.cgi answering within 5 s of the broker's restart" changes_flow
set_heard() {
    name_package /update/host.swu
    [[ $(update_state) =~ ^(CheckingFile|FileValid)$ ]]
}
AWAIT_SECONDS=5 await "a set's event through the restarted broker to the update daemon" set_heard
back=$((SECONDS - restarted))
[ "$back" -le 5 ] || fail "updates and events came back only after $back s"
[ "$(property NRestarts)" = 2 ] || fail "the service was restarted with the broker"
ok "broker restarted: updates flow and a set's event reaches the update daemon again within $back s; the service still the same process"

# --- a power cut right after a table PUT and an upload were answered ---------------------------------------
head -c 200000 /dev/urandom >"$work/old.tab"
head -c 150000 /dev/urandom >"$work/new.tab"
head -c 400000 /dev/urandom >"$work/second.swu"
[ "$(web /voxapp/v1/lenstables/file/cut.tab -T "$work/old.tab")" = 200 ] || fail "the first table PUT"
board_ssh sync
[ "$(web /voxapp/v1/lenstables/file/cut.tab -T "$work/new.tab")" = 200 ] || fail "the second table PUT"
[ "$(web /voxapp/v1/device/update -F deviceid=SIM-000042 -F "file=@$work/second.swu")" = 200 ] ||
    fail "the second upload"
# The board's journal commits its metadata now and then; the cut comes after the next commit, when a file
# replaced in place has its new size on disk but not necessarily its data.
board_ssh 'touch /root/commit && sync /root/commit'
board_cut
started=$SECONDS
board_start --fcgi
board_wait || fail "the board did not boot after the power cut"
await "an answered all.cgi after the power cut" tree_answered
boot_seconds=$((SECONDS - started))
whole() {
    local remote=$1 name=$2
    shift 2
    board_ssh cat "$remote" >"$work/after" || fail "$name: $remote is gone after the power cut"
    for candidate in "$@"; do
        cmp -s "$work/after" "$candidate" && return 0
    done
    fail "$name after the power cut: $(stat -c %s "$work/after") bytes, neither the old file nor the new"
}
whole /var/TBX/cut.tab "the lens table" "$work/old.tab" "$work/new.tab"
whole /update/host.swu "the upload" "$work/first.swu" "$work/second.swu"
ok "power cut after a PUT and an upload: each file whole; booted to an answered all.cgi in $boot_seconds s"

# --- the upgrade and the purge ------------------------------------------------------------------------------
version=$(dpkg-deb -f "$deb" Version)
mkdir "$work/next"
dpkg-deb -R "$deb" "$work/next/root"
sed -i "s/^Version: .*/Version: $version+next/" "$work/next/root/DEBIAN/control"
dpkg-deb -b --root-owner-group "$work/next/root" "$work/next/next.deb" >/dev/null
board_ssh 'cat >/root/next.deb' <"$work/next/next.deb"
board_ssh "echo '# kept on the device' >>/etc/nginx/snippets/$package.conf"
starts() { board_ssh journalctl -q -b -u "$unit" -o cat | grep -c "^Started $unit" || true; }
before=$(starts)
tree_answered || fail "no answer before the upgrade"
board_ssh 'DEBIAN_FRONTEND=noninteractive apt-get install -q -y /root/next.deb >/root/upgrade.log 2>&1 </dev/null' ||
    fail "the upgrade: $(board_ssh cat /root/upgrade.log)"
await "an answered all.cgi after the upgrade" tree_answered
[ "$(board_ssh dpkg-query -W -f='\${Version}' $package)" = "$version+next" ] || fail "the upgrade did not install"
[ "$(starts)" = $((before + 1)) ] || fail "the upgrade started the service $(($(starts) - before)) times"
board_ssh grep -qx "'# kept on the device'" /etc/nginx/snippets/$package.conf || fail "the edited snippet was replaced"
ok "upgraded to $version+next over the running service: one restart, the edited snippet kept, the API answers"

board_ssh "dpkg -L $package" >"$work/files"
board_ssh "DEBIAN_FRONTEND=noninteractive apt-get purge -q -y $package >/root/purge.log 2>&1" ||
    fail "the purge: $(board_ssh cat /root/purge.log)"
left=$(board_ssh "while read -r f; do [ -d \"\$f\" ] || [ ! -e \"\$f\" ] || echo \"\$f\"; done
    ls /etc/systemd/system/*.wants/$unit /var/lib/systemd/deb-systemd-helper-enabled/*$unit* 2>/dev/null
    ss -ltnH 'sport = :9000'; systemctl is-active $unit" <"$work/files" | grep -vx 'inactive' || true)
[ -z "$left" ] || fail "left after apt-get purge: $left"
ok "apt-get purge left no file, no enablement, nothing on port 9000"

board_poweroff
echo "device: $package $version passes on the emulated board"
