#!/usr/bin/env bash
# A throw-away one-node Ceph cluster for tests and benchmarks: one monitor
# and one OSD on memstore (no disk, no manager), cephx on, everything on
# 127.0.0.1 and under one folder of the caller's.
#
#   ceph_cluster_for_testing.sh up DIR MON_PORT [OWNER_PID]
#       makes DIR (which must not exist), starts the cluster (MON_PORT 0: on
#       ports that are free), creates the pool "rbd" and prints nothing else
#       than the path of DIR/ceph.conf;
#       its client.admin keyring is DIR/ceph.client.admin.keyring. With
#       OWNER_PID, the cluster is taken down when that process ends, so a
#       test that crashes leaves no daemons behind.
#   ceph_cluster_for_testing.sh down DIR
#       kills the daemons that DIR's cluster started and removes DIR.
#
# The OSD and its messengers bind ports MON_PORT+1 to MON_PORT+40.
# Status 0 on success; on failure the daemons' log tails go to stderr.
set -euo pipefail

usage() {
  echo "usage: $0 up DIR MON_PORT [OWNER_PID] | down DIR" >&2
  exit 2
}

log() { echo "ceph_cluster_for_testing: $*" >&2; }

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local limit=$1
  shift
  local deadline=$((SECONDS + limit))
  until "$@" >/dev/null 2>&1; do
    if ((SECONDS >= deadline)); then return 1; fi
    sleep 0.2
  done
}

# Kills the daemons listed in DIR/run/*.pid, then removes DIR.
down() {
  local dir=$1 file pids=()
  [[ -d $dir ]] || return 0
  for file in "$dir"/run/*.pid; do
    [[ -f $file ]] && pids+=("$(<"$file")")
  done
  kill_daemons "$dir" "${pids[@]}"
  rm -rf "$dir"
}

# Kills the given daemons of DIR's cluster (a pid whose process does not
# name DIR's configuration is someone else's by now, and left alone) and
# waits until they are gone.
kill_daemons() {
  local dir=$1 pid
  shift
  for pid in "$@"; do
    if grep -qsF -- "$dir/ceph.conf" "/proc/$pid/cmdline"; then kill -KILL "$pid" 2>/dev/null || true; fi
  done
  for pid in "$@"; do
    for _ in $(seq 100); do
      grep -qsF -- "$dir/ceph.conf" "/proc/$pid/cmdline" || break
      sleep 0.05
    done
  done
}

# Whether no socket listens on a port from $1 to $2.
range_free() {
  ss -Hltn | awk -v low="$1" -v high="$2" '
    { n = split($4, part, ":"); port = part[n] + 0; if (port >= low && port <= high) busy = 1 }
    END { exit busy }'
}

up() {
  local dir=$1 mon_port=$2 owner=${3:-}
  if ((mon_port == 0)); then
    # Below the range the kernel hands to outgoing connections and to
    # listeners on port 0: the daemons bind these later, and another test's
    # connection could take one from that range meanwhile.
    local low
    low=$(cut -f1 /proc/sys/net/ipv4/ip_local_port_range 2>/dev/null) || true
    [[ $low =~ ^[0-9]+$ ]] && ((low > 11000)) || low=32768
    for _ in $(seq 100); do
      mon_port=$((10000 + RANDOM % (low - 10000 - 40)))
      range_free "$mon_port" $((mon_port + 40)) && break
    done
  fi
  [[ ! -e $dir ]] || {
    log "$dir exists"
    exit 1
  }
  mkdir -p "$dir"/{run,log,mon.a,osd.0}
  dir=$(cd "$dir" && pwd)
  local conf=$dir/ceph.conf keyring=$dir/ceph.client.admin.keyring
  local fsid
  fsid=$(cat /proc/sys/kernel/random/uuid)
  trap 'failed "$dir"' ERR

  cat >"$conf" <<EOF
[global]
fsid = $fsid
mon_host = [v2:127.0.0.1:$mon_port]
mon_initial_members = a
public_addr = 127.0.0.1
cluster_addr = 127.0.0.1
ms_bind_msgr1 = false
ms_bind_msgr2 = true
ms_bind_port_min = $((mon_port + 1))
ms_bind_port_max = $((mon_port + 40))
auth_cluster_required = cephx
auth_service_required = cephx
auth_client_required = cephx
auth_allow_insecure_global_id_reclaim = false
run_dir = $dir/run
crash_dir = $dir/crash
osd_pool_default_size = 1
osd_pool_default_min_size = 1
osd_pool_default_pg_num = 8
osd_pool_default_pgp_num = 8
osd_pool_default_pg_autoscale_mode = off
mon_allow_pool_size_one = true
mon_allow_pool_delete = true
mon_warn_on_pool_no_redundancy = false
osd_crush_chooseleaf_type = 0
# A shared, fairly full disk must not make the monitor stop.
mon_data_avail_warn = 2
mon_data_avail_crit = 1
# One node: the default 1 s between proposals dominates every map change.
paxos_propose_interval = 0.05
# No manager runs: do not warn about it.
mon_mgr_mkfs_grace = 31536000
[client]
keyring = $keyring
admin_socket =
log_file =
[mon]
mon_data = $dir/mon.\$id
keyring = \$mon_data/keyring
log_file = $dir/log/\$name.log
[osd]
osd_data = $dir/osd.\$id
keyring = \$osd_data/keyring
log_file = $dir/log/\$name.log
osd_objectstore = memstore
memstore_device_bytes = 2147483648
osd_op_num_shards = 2
osd_op_num_threads_per_shard = 1
# A client that dies holding an image's exclusive lock holds up the next
# writer until its watch times out (30 s by default).
osd_client_watch_timeout = 5
# A PG's read lease is 0.8 of this grace. An OSD stopped for longer than
# the lease (tests stop it on purpose, a loaded machine stretches that) comes
# back with PGs that wait for a renewal no peer of a one-OSD pool sends, and
# reads hang "waiting for readable" for good.
osd_heartbeat_grace = 600
EOF

  ceph-authtool --create-keyring "$dir/mon.keyring" --gen-key -n mon. --cap mon 'allow *' >/dev/null
  ceph-authtool --create-keyring "$keyring" --gen-key -n client.admin \
    --cap mon 'allow *' --cap osd 'allow *' --cap mgr 'allow *' >/dev/null
  ceph-authtool "$dir/mon.keyring" --import-keyring "$keyring" >/dev/null
  monmaptool --create --addv a "[v2:127.0.0.1:$mon_port]" --fsid "$fsid" "$dir/monmap" >/dev/null
  ceph-mon -c "$conf" --mkfs -i a --monmap "$dir/monmap" --keyring "$dir/mon.keyring" \
    >"$dir/log/mon.mkfs" 2>&1
  ceph-mon -c "$conf" -i a -f >"$dir/log/mon.a.stderr" 2>&1 &
  local mon=$!
  echo $mon >"$dir/run/mon.a.pid"

  local c=(ceph -c "$conf" --connect-timeout 20)
  local secret uuid id
  secret=$(ceph-authtool --gen-print-key)
  uuid=$(cat /proc/sys/kernel/random/uuid)
  id=$(echo "{\"cephx_secret\": \"$secret\"}" | "${c[@]}" osd new "$uuid" -i -)
  [[ $id == 0 ]] || {
    log "unexpected OSD id $id"
    false
  }
  ceph-authtool --create-keyring "$dir/osd.0/keyring" --name osd.0 --add-key "$secret" >/dev/null
  ceph-osd -c "$conf" -i 0 --mkfs --osd-uuid "$uuid" >"$dir/log/osd.0.mkfs" 2>&1
  ceph-osd -c "$conf" -i 0 -f >"$dir/log/osd.0.stderr" 2>&1 &
  local osd=$!
  echo $osd >"$dir/run/osd.0.pid"
  [[ -z $owner ]] || watch_owner "$dir" "$fsid" "$owner" "$mon" "$osd"
  "${c[@]}" osd pool create rbd 8 8 >/dev/null 2>&1
  "${c[@]}" osd pool application enable rbd rbd >/dev/null 2>&1
  wait_for 60 osd_up "${c[@]}" || {
    log "the OSD did not come up"
    false
  }
  trap - ERR
  echo "$conf"
}

osd_up() {
  "$@" osd stat | grep -q '1 up'
}

# A background guard: once `owner` has ended (or DIR is gone), the daemons
# go down, even when DIR was removed with them still running. DIR is removed
# only while it still holds this cluster (its fsid): the next cluster made
# in the same place is not this guard's.
watch_owner() {
  local dir=$1 fsid=$2 owner=$3
  shift 3
  (
    trap '' HUP
    ours() { grep -qsxF "fsid = $fsid" "$dir/ceph.conf"; }
    while kill -0 "$owner" 2>/dev/null && ours; do sleep 1; done
    kill_daemons "$dir" "$@"
    if ours; then rm -rf "$dir"; fi
  ) </dev/null >/dev/null 2>&1 &
  disown
}

failed() {
  local dir=$1 file
  log "start-up failed; log tails:"
  for file in "$dir"/log/*; do
    echo "--- $file" >&2
    tail -n 20 "$file" >&2
  done
  down "$dir"
}

case "${1:-}" in
  up)
    (($# == 3 || $# == 4)) || usage
    up "$2" "$3" "${4:-}"
    ;;
  down)
    (($# == 2)) || usage
    down "$2"
    ;;
  *) usage ;;
esac
