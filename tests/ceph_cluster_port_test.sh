#!/usr/bin/env bash
# tests/ceph_cluster_for_testing.sh up DIR 0 picks the monitor's port, and
# the 40 after it for the OSD, for daemons that bind them later: all of them
# below the range the kernel hands to outgoing connections and to listeners
# on port 0, from which another test's connection could take one meanwhile.
# Played with stand-ins for the Ceph tools: monmaptool notes the monitor's
# address and fails, which ends the start-up there.
#
#   tests/ceph_cluster_port_test.sh SOURCE_DIR
set -euo pipefail

source_dir=$(cd "$1" && pwd)
fail() { echo "FAILED: $*" >&2; exit 1; }
scratch=$(mktemp -d /tmp/ceph-cluster-port-test.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

mkdir -p "$scratch/stand-ins"
printf '#!/bin/sh\nexit 0\n' >"$scratch/stand-ins/ceph-authtool"
printf '#!/bin/sh\necho "$*" >"%s/monmaptool.args"\nexit 1\n' "$scratch" >"$scratch/stand-ins/monmaptool"
chmod +x "$scratch/stand-ins/ceph-authtool" "$scratch/stand-ins/monmaptool"
low=$(cut -f1 /proc/sys/net/ipv4/ip_local_port_range)

for run in $(seq 30); do
  rm -f "$scratch/monmaptool.args"
  status=0
  PATH=$scratch/stand-ins:$PATH timeout 30 "$source_dir/tests/ceph_cluster_for_testing.sh" up \
    "$scratch/cluster$run" 0 >/dev/null 2>"$scratch/err" || status=$?
  [[ $status -ne 0 ]] || fail "the start-up went on past the failed monmaptool"
  [[ -s $scratch/monmaptool.args ]] || fail "monmaptool was not run: $(cat "$scratch/err")"
  port=$(sed -n 's/.*\[v2:127\.0\.0\.1:\([0-9]*\)\].*/\1/p' "$scratch/monmaptool.args")
  [[ -n $port ]] || fail "no monitor address in: $(cat "$scratch/monmaptool.args")"
  ((port >= 1024 && port + 40 < low)) ||
    fail "run $run: ports $port to $((port + 40)), not below the kernel's range from $low"
done
echo "30 start-ups: the monitor's and the OSD's ports below $low"
echo "PASSED"
