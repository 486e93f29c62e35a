# shellcheck shell=bash
# Sourced by the script tests. wait_for COMMAND [ARGS...] runs the command
# ten times a second until it succeeds (status 0), for 30 s at most (then
# status 1).
wait_for() {
  for _ in $(seq 300); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  return 1
}
