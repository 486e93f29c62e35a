#!/usr/bin/env bash
# scripts/guest stopped while its guest runs, as a user stops it: Ctrl-C at
# the terminal (SIGINT to the whole process group) or SIGTERM to the script
# ends the guest with it, not when the guest's command is done or its
# time-out comes; --help is an answer, not bad usage. Played with a
# stand-in for qemu-system-x86_64 that only waits, and a kernel folder that
# scripts/fetch-test-kernel finds complete.
#
#   tests/guest_script_test.sh SOURCE_DIR
set -euo pipefail

source_dir=$(cd "$1" && pwd)
fail() { echo "FAILED: $*" >&2; exit 1; }
scratch=$(mktemp -d /tmp/guest-script-test.XXXXXX)
script=""
cleanup() {
  set +e
  [[ -n $script ]] && kill -KILL -- "-$script" 2>/dev/null
  [[ -s $scratch/qemu.pid ]] && kill -KILL "$(cat "$scratch/qemu.pid")" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

mkdir -p "$scratch/bin" "$scratch/kernel" "$scratch/share"
: >"$scratch/kernel/version"
: >"$scratch/kernel/vmlinuz"
touch -d '+1 hour' "$scratch/kernel/initramfs.cpio"  # newer than tests/guest/init
cat >"$scratch/bin/qemu-system-x86_64" <<STANDIN
#!/bin/sh
echo \$\$ >"$scratch/qemu.pid.new" && mv "$scratch/qemu.pid.new" "$scratch/qemu.pid"
exec sleep 600
STANDIN
chmod +x "$scratch/bin/qemu-system-x86_64"

# shellcheck source=tests/wait_for_testing.sh
source "$source_dir/tests/wait_for_testing.sh"
alive() { kill -0 "$1" 2>/dev/null; }
ended() { ! alive "$1"; }

# Its usage, asked for, is an answer (standard output, status 0); an option
# it does not know is bad usage (standard error, status 2).
for flag in --help -h; do
  status=0
  "$source_dir/scripts/guest" "$flag" >"$scratch/out" 2>"$scratch/err" || status=$?
  [[ $status -eq 0 ]] || fail "scripts/guest $flag exits with $status"
  grep -q -- '--timeout SECONDS' "$scratch/out" || fail "scripts/guest $flag prints no usage on standard output"
  [[ ! -s $scratch/err ]] || fail "scripts/guest $flag writes to standard error: $(cat "$scratch/err")"
done
status=0
"$source_dir/scripts/guest" --bogus >"$scratch/out" 2>"$scratch/err" || status=$?
[[ $status -eq 2 && ! -s $scratch/out ]] || fail "scripts/guest --bogus exits with $status: $(cat "$scratch/out")"
grep -q -- '--timeout SECONDS' "$scratch/err" || fail "scripts/guest --bogus shows no usage"
# An option without its value, or with one that is no whole number, is bad
# usage too, said before any guest starts.
for args in "--timeout" "--memory" "--kernel" "--timeout 1x -- true" "--cpus two -- true" \
  "--memory -5 -- true"; do
  status=0
  # shellcheck disable=SC2086 # the words of $args are the arguments
  PATH=$scratch/bin:$PATH "$source_dir/scripts/guest" --kernel "$scratch/kernel" --accel tcg $args \
    >"$scratch/out" 2>"$scratch/err" || status=$?
  [[ $status -eq 2 ]] || fail "scripts/guest $args exits with $status, not 2: $(cat "$scratch/err")"
  grep -q -- '--timeout SECONDS' "$scratch/err" || fail "scripts/guest $args shows no usage: $(cat "$scratch/err")"
  [[ ! -e $scratch/qemu.pid ]] || fail "scripts/guest $args started a guest"
done

for stop in "INT to the process group" "TERM to the script"; do
  rm -f "$scratch/qemu.pid"
  # In a process group of its own, with SIGINT as a terminal leaves it (a
  # background job of this script would ignore it).
  PATH=$scratch/bin:$PATH python3 -c '
import os, signal, sys
signal.signal(signal.SIGINT, signal.SIG_DFL)
os.setpgid(0, 0)
os.execv(sys.argv[1], sys.argv[1:])' "$source_dir/scripts/guest" --kernel "$scratch/kernel" \
    --scratch "$scratch/share" --accel tcg --timeout 600 -- true >"$scratch/guest.log" 2>&1 &
  script=$!
  wait_for test -s "$scratch/qemu.pid" || fail "the guest did not start: $(cat "$scratch/guest.log")"
  qemu=$(cat "$scratch/qemu.pid")
  if [[ $stop == INT* ]]; then kill -INT -- "-$script"; else kill -TERM "$script"; fi
  wait_for ended "$script" || fail "$stop: scripts/guest still runs 30 s later, and its guest with it"
  status=0
  wait "$script" || status=$?
  script=""
  ! alive "$qemu" || fail "$stop: scripts/guest ended (status $status) and left its guest running"
  [[ $status -ne 0 ]] || fail "$stop: scripts/guest ended with status 0"
  echo "$stop: the guest ended with the script (status $status)"
done
echo "PASSED"
