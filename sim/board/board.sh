# shellcheck shell=bash
# Sourced by scripts/run-device and the device test: boots the emulated board (sim/board/build-image's image)
# under qemu-system-arm, reaches it by ssh, installs the service's package and the stand-ins, powers it off.
#
#   board_prepare IMAGE RUN      a fresh boot folder RUN: this run's ssh key, a copy-on-write overlay of the
#                                image (the cached image itself is never written) and the hardware-information disk
#   board_start [--fcgi]         boots RUN's overlay; the web port forwarded to 127.0.0.1:$board_web_port, ssh to
#                                $board_ssh_port, with --fcgi also the service's port 9000 to $board_fcgi_port
#   board_wait                   until ssh answers (BOARD_WAIT seconds, default 600); false and the console's end
#                                when the board does not come up
#   board_ssh COMMAND...         runs the command as root on the board
#   board_install BUILD DEB      the stand-ins of the armhf BUILD (broker, simulated device, 1-Wire tool) and the
#                                console's pages, then the package with apt-get; waits until nginx serves the tree
#   board_poweroff               a clean shutdown (qemu ends); the power cut instead: board_cut
#
# The board is Debian's armmp kernel on qemu's "virt" machine: a virtio disk for the root, a second one (serial
# "hwinfo") that udev names /dev/mmcblk1, a virtio display whose framebuffer is /dev/fb0 (two screens tall, so
# that a drawing can be panned), and the user network, restricted: nothing leaves the board but the forwarded
# ports, all on this machine's loopback.

board_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
board_run=""
board_pid=""
board_web_port=""
board_ssh_port=""
board_fcgi_port=""

board_prepare() {
    board_image=$1 board_run=$2
    rm -rf "$board_run"
    mkdir -p "$board_run"
    ssh-keygen -q -t ed25519 -N '' -C board -f "$board_run/key"
    qemu-img create -q -f qcow2 -F raw -b "$board_image/root.img" "$board_run/root.qcow2"
    # The eMMC's hardware-information area lies at 1 MiB; the simulated device writes it on its first start.
    truncate -s 2M "$board_run/hwinfo.img"
}

# A port on the loopback that nothing listens on now.
_board_free_port() {
    local port
    while :; do
        port=$((20000 + RANDOM % 40000))
        [ -n "$(ss -ltnH "sport = :$port")" ] || { echo "$port"; return; }
    done
}

board_start() {
    local forward
    board_web_port=${board_web_port:-$(_board_free_port)}
    board_ssh_port=$(_board_free_port)
    forward="hostfwd=tcp:127.0.0.1:$board_web_port-:80,hostfwd=tcp:127.0.0.1:$board_ssh_port-:22"
    if [ "${1:-}" = --fcgi ]; then
        board_fcgi_port=$(_board_free_port)
        forward+=",hostfwd=tcp:127.0.0.1:$board_fcgi_port-:9000"
    fi
    local key
    key=$(cut -d ' ' -f 2 "$board_run/key.pub")
    : >"$board_run/console.log"
    # A session of its own: a Ctrl-C at the terminal is for the caller, who powers the board off cleanly.
    # Virtio 1.0 devices (the display's driver takes no legacy one); no PCI, whose 64-bit window a 32-bit
    # kernel cannot map.
    setsid qemu-system-arm -M virt,highmem=off -cpu cortex-a15 -smp 2 -m 1024 -nodefaults -display none \
        -monitor none -global virtio-mmio.force-legacy=false \
        -serial "file:$board_run/console.log" \
        -kernel "$board_image/vmlinuz" -initrd "$board_image/initrd.img" \
        -append "root=LABEL=board rw console=ttyAMA0 quiet drm_kms_helper.drm_fbdev_overalloc=200 board.key=$key" \
        -drive "if=none,id=root,format=qcow2,file=$board_run/root.qcow2" -device virtio-blk-device,drive=root \
        -drive "if=none,id=hwinfo,format=raw,file=$board_run/hwinfo.img" \
        -device virtio-blk-device,drive=hwinfo,serial=hwinfo \
        -netdev "user,id=net,restrict=on,$forward" -device virtio-net-device,netdev=net \
        -device virtio-gpu-device,xres=800,yres=480 \
        >"$board_run/qemu.log" 2>&1 &
    board_pid=$!
}

# One connection for all commands of a boot: a new one costs the emulated board seconds of key exchange.
board_ssh() {
    ssh -q -i "$board_run/key" -p "$board_ssh_port" -o BatchMode=yes -o ConnectTimeout=10 \
        -o ControlMaster=auto -o "ControlPath=$board_run/ssh-%p" -o ControlPersist=300 \
        -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR root@127.0.0.1 "$@"
}

# True while qemu runs.
board_running() {
    [ -n "$board_pid" ] && kill -0 "$board_pid" 2>/dev/null
}

board_wait() {
    local deadline=$((SECONDS + ${BOARD_WAIT:-600}))
    while [ "$SECONDS" -lt "$deadline" ]; do
        if ! board_running; then
            echo "board: qemu ended while booting: $(tail -n 5 "$board_run/qemu.log")" >&2
            return 1
        fi
        board_ssh true 2>/dev/null && return 0
        sleep 0.5
    done
    echo "board: no answer by ssh within ${BOARD_WAIT:-600} s; the console's last lines:" >&2
    tail -n 20 "$board_run/console.log" >&2
    return 1
}

board_install() {
    local build=$1 deb=$2
    tar -C "$build/sim" -cf - broker/message-broker device/sim-device | board_ssh \
        'tar -C /usr/local/sbin -xf - --strip-components=1 --no-same-owner && chmod 755 /usr/local/sbin/*'
    board_ssh 'cat >/usr/local/bin/onewire-tool.py && chmod 755 /usr/local/bin/onewire-tool.py' \
        <"$board_dir/../onewire-tool.py"
    tar -C "$board_dir/../console" -cf - . | board_ssh 'mkdir -p /var/www/console && tar -C /var/www/console -xf -'
    board_ssh 'cat >/root/package.deb' <"$deb"
    board_ssh 'systemctl start message-broker shared-memory' || return 1
    board_ssh 'apt-get update -q >/root/install.log 2>&1 &&
        DEBIAN_FRONTEND=noninteractive apt-get install -q -y /root/package.deb >>/root/install.log 2>&1' ||
        { board_ssh cat /root/install.log >&2; return 1; }
    board_ssh 'nginx -t -q && systemctl reload nginx' || return 1
}

board_poweroff() {
    board_running || return 0
    board_ssh 'systemctl poweroff' 2>/dev/null || true
    local deadline=$((SECONDS + 120))
    while board_running && [ "$SECONDS" -lt "$deadline" ]; do
        sleep 0.2
    done
    board_cut
}

# The power cut: qemu killed, whatever the board had not written to its disk is lost.
board_cut() {
    if board_running; then
        kill -KILL "$board_pid" 2>/dev/null || true
    fi
    [ -z "$board_pid" ] || wait "$board_pid" 2>/dev/null || true
    board_pid=""
}
