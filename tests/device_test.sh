#!/usr/bin/env bash
# The armhf package on the emulated board (sim/board), as the device runs it: booted under systemd with Debian's
# kernel, installed with apt-get, reached through the board's nginx on a forwarded port and checked from inside
# by ssh. Each check says what it saw on a line of its own; the first that fails ends the test.
#   tests/device_test.sh ARMHF_BUILD PACKAGES     the armhf build's stand-ins and the armhf package
set -euo pipefail
test_name=device
# Under full emulation a restart or a held request takes seconds, not milliseconds.
export AWAIT_SECONDS=${AWAIT_SECONDS:-90}
# shellcheck source=support/checks.sh
. "$(dirname "${BASH_SOURCE[0]}")/support/checks.sh"
# shellcheck source=../sim/board/board.sh
. "$top/sim/board/board.sh"

unit=$package.service build=$(realpath "$1")
deb=$(ls "$(realpath "$2")"/${package}_*_armhf.deb 2>/dev/null | tail -n 1) || fail "no armhf package in $2"
image=$("$top/sim/board/build-image") || fail "the board's image was not built"
work=$(mktemp -d /tmp/device-test.XXXXXX) body=$work/body
trap 'board_cut; rm -rf "$work"' EXIT
ok() { echo "device: ok: $*"; }
boot() { started=$SECONDS; board_start --fcgi; web_port=$board_web_port; board_wait || fail "the board did not boot$*"; }
property() { board_ssh systemctl show -p "$1" --value "$unit"; }
# value_is MEMORY VARIABLE PATTERN: the variable in all.cgi's tree, as JSON (a string keeps its quotes), is that.
value_is() {
    web /api/v1/all.cgi >/dev/null
    python3 -c 'import json, sys; print(json.dumps(json.load(open(sys.argv[1]))["variables"][sys.argv[2]][sys.argv[3]]["value"]))' \
        "$body" "$1" "$2" | grep -qxE "$3"
}
upload() { answers 200 '' /voxapp/v1/device/update -F deviceid=SIM-000042 -F "file=@$1"; }

board_prepare "$image" "$work/board"
boot
ok "booted to ssh in $((SECONDS - started)) s; $(board_ssh uname -rm)"
# Until the power cut a call that the unit's filter denies kills the program, with the kernel's audit line
# naming it, rather than failing quietly with EPERM: no denial in the service, dmesg or the 1-Wire tool goes
# unseen. The drop-in lives in /run; after the power cut the unit runs exactly as shipped.
board_ssh "mkdir -p /run/systemd/system/$unit.d &&
    printf '[Service]\nSystemCallErrorNumber=kill\n' >/run/systemd/system/$unit.d/denials.conf"
board_install "$build" "$deb" || fail "the package and the stand-ins did not install"
await "an answered all.cgi" tree_answered
ok "apt-get installed $(basename "$deb") and its dependencies; all.cgi answered $((SECONDS - started)) s after qemu started"

state=$(board_ssh systemctl show -p Type -p ActiveState -p SubState -p NRestarts -p Result "$unit" | sort | xargs)
[ "$state" = "ActiveState=active NRestarts=0 Result=success SubState=running Type=notify" ] || fail "the unit: $state"
# A notify unit is active only once READY=1 came; the service says so once port 9000 is open.
board_ssh journalctl -q -b -u "$unit" -o cat | grep -q "^Started $unit" || fail "no start of $unit in the journal"
ok "unit $state (READY=1 received)"

answers 200 '"result": 1' /api/v1/set.cgi --data-binary '{"MemPersistent": {"FocusTorque": 3}}'
value_is MemPersistent FocusTorque '"3"' || fail "the set FocusTorque did not read back as 3"
ok "set.cgi FocusTorque 3, read back from all.cgi"

# The simulated device moves the battery and the motors five times a second.
answers 200 '"MemDynamic"' /api/v1/update.cgi
ok "update.cgi delivered the simulated device's changes"

marker="device-test-$RANDOM$RANDOM"
board_ssh "echo '<3>$marker' >/dev/kmsg"
await "the kmsg line in log.cgi, red" gives 200 "<span style='color: #AA0000'>[^<]*$marker" '/api/v1/log.cgi?offset=0'
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
        line = struct.unpack_from("16sL4I3HI", fix)[-1]  # native: the address is a long
        print(*struct.unpack_from("=2I4xI8xI4xI8xI8xI", var), line)
EOF
}
# draw XRES YRES LINE RED GREEN BLUE: the pattern as the framebuffer lays it out; check PNG: the capture is it.
pattern() {
    python3 - "$@" <<'EOF'
import struct, sys, zlib
pixel = lambda x, y: ((x * 7 + y) & 0xff, (y * 3) & 0xff, (x ^ y) & 0xff)
if sys.argv[1] == "draw":
    xres, yres, line, red, green, blue = map(int, sys.argv[2:])
    for y in range(yres):
        row = [r << red | g << green | b << blue for r, g, b in (pixel(x, y) for x in range(xres))]
        sys.stdout.buffer.write(struct.pack("<%dI" % xres, *row) + bytes(line - 4 * xres))
    sys.exit()
data = open(sys.argv[2], "rb").read()
assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
at, chunks = 8, {}
while at < len(data):
    length, kind = struct.unpack(">I4s", data[at:at + 8])
    chunks[kind] = chunks.get(kind, b"") + data[at + 8:at + 8 + length]
    at += 12 + length
width, height, depth, colour = struct.unpack(">IIBB", chunks[b"IHDR"][:10])
n = {2: 3, 6: 4}[colour]  # bytes a pixel
assert depth == 8, depth
raw, stride, rows = zlib.decompress(chunks[b"IDAT"]), width * n, [bytearray(width * n)]
for y in range(height):
    kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
    for i in range(stride):
        a, b, c = (line[i - n], rows[-1][i], rows[-1][i - n]) if i >= n else (0, rows[-1][i], 0)
        near = min((a, b, c), key=lambda v: abs(a + b - c - v))  # ties go to a, then b
        line[i] = (line[i] + [0, a, b, (a + b) // 2, near][kind]) & 0xff
    rows.append(line)
wrong = [(x, y) for y in range(height) for x in range(width) if tuple(rows[y + 1][x * n:x * n + 3]) != pixel(x, y)]
print("screen.cgi: %dx%d, %d pixels differ%s" % (width, height, len(wrong), " from %s on" % (wrong[:1],) if wrong else ""))
sys.exit(1 if wrong else 0)
EOF
}
read -r xres yres yvirtual bpp red green blue line < <(fb) || fail "no screen information from /dev/fb0"
[ "$bpp" = 32 ] || fail "/dev/fb0 has $bpp bits per pixel"
screen=$((yvirtual >= 2 * yres ? 1 : 0))
pattern draw "$xres" "$yres" "$line" "$red" "$green" "$blue" >"$work/screen.raw"
board_ssh "dd of=/dev/fb0 bs=$line seek=$((screen * yres)) conv=notrunc status=none" <"$work/screen.raw" &&
    fb $((screen * yres)) || fail "the pattern could not be drawn into /dev/fb0"
answers 200 '' /api/v1/screen.cgi
pattern check "$body" || fail "screen.cgi is not the pattern drawn"
ok "screen.cgi equals the pattern drawn into screen $screen of /dev/fb0 (${xres}x$yres, $yvirtual lines), pixel for pixel"

answers 200 '"_id": "SIM-000042"' /voxapp/v1/device/info
ok "device/info names the unit from the hardware information on /dev/mmcblk1"

head -c 300000 /dev/urandom >"$work/first.swu"
upload "$work/first.swu"
await "the update daemon's check of the upload" gives 200 '"(CheckingFile|FileValid|Rebooting)"' /voxapp/v1/device/status
board_ssh cat /update/host.swu | cmp -s - "$work/first.swu" || fail "the uploaded package is not /update/host.swu"
ok "the upload is /update/host.swu and the update daemon checks it ($(cat "$body"))"

printf 'focus table, first\r\n' >"$work/table"
table=/voxapp/v1/lenstables/file/board.tab
answers 200 '' $table -T "$work/table"
answers 200 '' $table
cmp -s "$body" "$work/table" || fail "the table read back: $(cat "$body")"
answers 200 Success $table -X DELETE
answers 200 '"No such file"' $table
ok "lens table PUT, GET and DELETE"

# The 1-Wire tool: a shell and Python under the service's system-call filter.
web /api/v1/premarkeddata.cgi --data-binary '{"unit": "metric", "focusCloseValue": "0.45"}' >/dev/null
await "the 1-Wire tool's line in the kernel log" \
    board_ssh 'dmesg | grep -q "onewire-tool: ring written: unit metric, close focus 0.45"'
ok "premarkeddata.cgi ran the 1-Wire tool"

# Nothing the unit refused: a denied call leaves the kernel's seccomp audit line (type 1326) and a restart; a
# device the policy hides fails its open with EPERM, which the programs log as "Operation not permitted".
! board_ssh "journalctl -q -b -o cat -u $unit; dmesg" | grep -E 'Operation not permitted|Permission denied|type=1326' ||
    fail "refused under the unit's hardening: the lines above"
ok "no system call denied, no device refused (the unit's journal and the kernel log)"

fcgi_direct() {
    env -i REQUEST_METHOD=GET SCRIPT_NAME=/voxapp/v1 PATH_INFO=/device/info SERVER_PROTOCOL=HTTP/1.1 \
        HTTP_HOST=127.0.0.1 timeout 5 cgi-fcgi -bind -connect "127.0.0.1:$board_fcgi_port" 2>/dev/null | grep -q SIM-000042
}
board_ssh ss -ltnH 'sport = :9000' | grep -qE '(0\.0\.0\.0|\*|\[::\]):9000' || fail "port 9000 is not bound on every interface"
! fcgi_direct || fail "port 9000 answered from outside the board"
# The same request answers once the unit's fence is lifted: it is the fence that refused it, not the forward.
board_ssh systemctl set-property --runtime "$unit" IPAddressDeny=
await "an answer from port 9000 without the fence" fcgi_direct
board_ssh systemctl set-property --runtime "$unit" IPAddressDeny=any
! fcgi_direct || fail "port 9000 answered from outside the board with the fence back"
answers 200 '' /voxapp/v1/device/info
ok "port 9000 refused from outside the board (answered only with IPAddressDeny= lifted), served to nginx inside"

restarts_are() { [ "$(property NRestarts)" = "$1" ] && [ "$(property SubState)" = running ]; }
board_ssh kill -STOP "$(property MainPID)"
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
name_package() { web /api/v1/set.cgi --data-binary "{\"MemMedia\": {\"HostUpdateFileName\": \"$1\"}}" >/dev/null; }
name_package /update/none.swu
await "the update daemon's check of a missing package" value_is MemMedia HostUpdateFileState '"FileNotFound"'
board_ssh systemctl restart message-broker
restarted=$SECONDS
AWAIT_SECONDS=5 await "update.cgi answering within 5 s of the broker's restart" \
    gives 200 '"MemDynamic"' /api/v1/update.cgi --max-time 5
set_heard() { name_package /update/host.swu && value_is MemMedia HostUpdateFileState '"(CheckingFile|FileValid)"'; }
AWAIT_SECONDS=5 await "a set's event through the restarted broker to the update daemon" set_heard
back=$((SECONDS - restarted))
[ "$back" -le 5 ] || fail "updates and events came back only after $back s"
[ "$(property NRestarts)" = 2 ] || fail "the service was restarted with the broker"
ok "broker restarted: updates flow and a set's event reaches the update daemon again within $back s; the service still the same process"

for file in old.tab:200000 new.tab:150000 second.swu:400000; do head -c "${file#*:}" /dev/urandom >"$work/${file%:*}"; done
answers 200 '' /voxapp/v1/lenstables/file/cut.tab -T "$work/old.tab"
board_ssh sync
answers 200 '' /voxapp/v1/lenstables/file/cut.tab -T "$work/new.tab"
upload "$work/second.swu"
# The board's journal commits its metadata now and then; the cut comes after the next commit, when a file
# replaced in place has its new size on disk but not necessarily its data.
board_ssh 'touch /root/commit && sync /root/commit'
board_cut
boot " after the power cut"
await "an answered all.cgi after the power cut" tree_answered
boot_seconds=$((SECONDS - started))
whole() {  # REMOTE OLD NEW
    board_ssh cat "$1" >"$work/after" || fail "$1 is gone after the power cut"
    cmp -s "$work/after" "$2" || cmp -s "$work/after" "$3" ||
        fail "$1 after the power cut: $(stat -c %s "$work/after") bytes, neither the old file nor the new"
}
whole /var/TBX/cut.tab "$work/old.tab" "$work/new.tab"
whole /update/host.swu "$work/first.swu" "$work/second.swu"
ok "power cut after a PUT and an upload: each file whole; booted to an answered all.cgi in $boot_seconds s"

version=$(dpkg-deb -f "$deb" Version)
dpkg-deb -R "$deb" "$work/next"
sed -i "s/^Version: .*/Version: $version+next/" "$work/next/DEBIAN/control"
dpkg-deb -b --root-owner-group "$work/next" "$work/next.deb" >/dev/null
board_ssh 'cat >/root/next.deb' <"$work/next.deb"
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
