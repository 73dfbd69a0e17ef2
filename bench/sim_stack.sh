# shellcheck shell=bash
# Sourced by the load benchmarks, inside the sandbox: starts the simulated device with the service (its pid in
# $service) and nginx with bench/service_nginx.conf on 127.0.0.1:8080 through sim/stack, and stops them all when
# the script exits. Needs $build and $top; $nginx_conf names another nginx configuration, and $service_wrapper a
# command to run the service under (valgrind, for example).
# shellcheck source=../sim/stack
. "$top/sim/stack"
trap stack_stop EXIT
stack_start "$build" --nginx "${nginx_conf:-$top/bench/service_nginx.conf}" --wrapper "${service_wrapper:-}"
# shellcheck disable=SC2034 # read by the scripts that source this one
service=$stack_service
