# Sourced by the load benchmarks, inside the sandbox: starts the broker stand-in, the simulated device, the
# service (its pid in $service) and nginx with bench/service_nginx.conf on 127.0.0.1:8080, each once the one before
# is up, and stops them all when the script exits. Needs $build and $top; $nginx_conf names another nginx
# configuration, and $service_wrapper a command to run the service under (valgrind, for example).
pids=()
trap 'for p in "${pids[@]}"; do kill $p 2>/dev/null; done; wait 2>/dev/null' EXIT
await() {
    for _ in $(seq 200); do
        "$@" 2>/dev/null && return 0
        sleep 0.05
    done
    echo "not up: $*" >&2
    exit 1
}
"$build/sim/broker/message-broker" & pids+=($!)
await test -S /var/volatile/message-broker.socket
"$build/sim/device/sim-device" & pids+=($!)
await test -e /dev/shm/MemApp
# shellcheck disable=SC2086 # the wrapper is a command with its options
${service_wrapper:-} "$build/apps/web/service/service" & service=$!
pids+=($service)
await bash -c 'exec 3<>/dev/tcp/127.0.0.1/9000'
nginx -c "${nginx_conf:-$top/bench/service_nginx.conf}" -g 'daemon off;' & pids+=($!)
await bash -c 'exec 3<>/dev/tcp/127.0.0.1/8080'
