#!/usr/bin/env bash
# scripts/demo as a user runs it again: an image whose making failed half
# way is not left for the next run to serve, and a demo export that
# Locals.xml holds stopped (its start failed last time, or someone stopped
# it) is started, so that what the demo says it serves is served; a service
# that ends under it fails the demo. Played in a tree of the
# test's own (a copy of the script beside the built service, ludrane-cli
# and ludrane-mkimage, no driver), with the export on 127.0.0.1.
#
#   tests/demo_test.sh SOURCE_DIR BIN_DIR
#
# The demo serves on a free port below the range Linux hands to outgoing
# connections and to listeners on port 0, so that no other test takes it
# meanwhile.
set -euo pipefail

source_dir=$(cd "$1" && pwd)
bin_dir=$(cd "$2" && pwd)
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }
port=$(python3 - <<'EOF'
import random, socket
low = int(open("/proc/sys/net/ipv4/ip_local_port_range").read().split()[0])
for port in random.sample(range(10000, low), min(200, max(low - 10000, 0))):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            continue
        print(port)
        break
EOF
)
[[ -n $port ]] || skip "no free port below the ephemeral range"
export QUENSARIA_DEMO_PORT=$port

tree=$(mktemp -d /tmp/demo-test.XXXXXX)
service=""
demo=""
cleanup() {
  set +e
  # (A background job ignores SIGINT: TERM, which the demo takes alike.)
  [[ -n $demo ]] && kill -TERM "$demo" 2>/dev/null && wait "$demo"
  [[ -n $service ]] && kill -TERM "$service" 2>/dev/null && wait "$service"
  rm -rf "$tree"
}
trap cleanup EXIT

mkdir -p "$tree/scripts" "$tree/build/bin" "$tree/build/demo/state" "$tree/build/demo/run"
cp "$source_dir/scripts/demo" "$tree/scripts/demo"
for program in quensaria ludrane-cli ludrane-mkimage; do
  ln -s "$bin_dir/$program" "$tree/build/bin/$program"
done
cli=("$bin_dir/ludrane-cli" --runtime-dir "$tree/build/demo/run")
# shellcheck source=tests/wait_for_testing.sh
source "$source_dir/tests/wait_for_testing.sh"

# The demo takes no arguments: --help is answered, anything else is bad
# usage, and neither makes or serves anything.
for args in "--help" "-h" "--port 6000"; do
  status=0
  # shellcheck disable=SC2086 # the words of $args are the arguments
  timeout 30 "$tree/scripts/demo" $args >"$tree/out" 2>"$tree/err" || status=$?
  expected=2
  [[ $args == --port* ]] || expected=0
  [[ $status -eq $expected ]] || fail "scripts/demo $args exits with $status, not $expected: $(cat "$tree/out" "$tree/err")"
  if [[ $expected -eq 0 ]]; then usage=$tree/out; else usage=$tree/err; fi
  grep -q '^usage: scripts/demo' "$usage" || fail "scripts/demo $args shows no usage: $(cat "$tree/out" "$tree/err")"
  [[ ! -e $tree/build/demo/demo.img ]] || fail "scripts/demo $args made the demo's image"
done

# A port that is no port is said before anything is made.
status=0
QUENSARIA_DEMO_PORT=6e4 "$tree/scripts/demo" >"$tree/demo.log" 2>&1 || status=$?
[[ $status -eq 2 ]] && grep -q 'QUENSARIA_DEMO_PORT must be a port number' "$tree/demo.log" ||
  fail "a bad QUENSARIA_DEMO_PORT gave status $status: $(cat "$tree/demo.log")"
[[ ! -e $tree/build/demo/demo.img && ! -e $tree/build/demo/demo.img.new ]] ||
  fail "a bad QUENSARIA_DEMO_PORT still made the image"

# A run whose image cannot be made (a file-size limit) fails and leaves no
# image behind.
status=0
(ulimit -f 1024 && exec "$tree/scripts/demo") >"$tree/demo.log" 2>&1 || status=$?
[[ $status -ne 0 ]] || fail "the demo went on without its image: $(cat "$tree/demo.log")"
[[ ! -e $tree/build/demo/demo.img ]] ||
  fail "a failed run left a demo.img of $(stat -c %s "$tree/build/demo/demo.img") bytes for the next to serve"

# A demo export left stopped by an earlier run.
"$bin_dir/ludrane-mkimage" "$tree/build/demo/demo.img" 64 FAT >/dev/null
"$bin_dir/quensaria" --console --state-dir "$tree/build/demo/state" \
  --runtime-dir "$tree/build/demo/run" >"$tree/service.log" 2>&1 &
service=$!
wait_for "${cli[@]}" status >/dev/null 2>&1 || fail "the service did not answer: $(cat "$tree/service.log")"
"${cli[@]}" add-server "$tree/build/demo/demo.img" --port "$port" --address 127.0.0.1 >/dev/null
kill -TERM "$service"
wait "$service" || fail "the service did not stop cleanly"
service=""
grep -q "Port=\"$port\"" "$tree/build/demo/state/Locals.xml" || fail "no export kept in Locals.xml"

# Emptied here, not by the background job's redirection, which may come
# after the first look at the log: an earlier run's "Press Ctrl-C" would
# then be taken for this one's.
: >"$tree/demo.log"
"$tree/scripts/demo" >>"$tree/demo.log" 2>&1 &
demo=$!
wait_for grep -q 'Press Ctrl-C to stop.' "$tree/demo.log" || fail "the demo did not come up: $(cat "$tree/demo.log")"
listing=$("${cli[@]}" list-servers)
grep -qE "^[0-9]+ +started +127\.0\.0\.1 +$port " <<<"$listing" ||
  fail "the demo says it serves port $port, but the export is not started: $listing"
python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 5)" ||
  fail "nothing listens on port $port"

# A service that ends by itself (it crashed, or was killed) ends the demo,
# which then serves nothing, as a failure that says so.
served=$(pgrep -P "$demo" -x quensaria) || fail "the demo runs no service of its own"
kill -KILL "$served"
status=0
wait "$demo" || status=$?
demo=""
[[ $status -ne 0 ]] || fail "the demo ended with status 0 after its service was killed: $(cat "$tree/demo.log")"
grep -q 'demo: the service ended' "$tree/demo.log" ||
  fail "the demo did not say that its service ended: $(cat "$tree/demo.log")"

# A second Ctrl-C while the demo undoes what it did (the driver takes its
# time to stop) does not cut that short: the service, which a Ctrl-C at the
# terminal does not reach, is stopped all the same. Played as root, where
# the demo starts the driver: here a stand-in that stops once let go, and a
# velmoran-ctl whose mount fails.
if [[ $(id -u) -eq 0 && -c /dev/fuse ]] && { [[ -e /dev/ublk-control ]] || losetup --find >/dev/null 2>&1; }; then
  cat >"$tree/build/bin/velmoran" <<STANDIN
#!/usr/bin/env bash
trap 'touch "$tree/velmoran.stopping"; while [[ ! -e "$tree/velmoran.go" ]]; do sleep 0.1; done; exit 0' TERM
echo "velmoran: devices at (a stand-in)" >&2
while :; do sleep 0.1; done
STANDIN
  printf '#!/bin/sh\necho "status 0xC0000001 (Win32 31)"\nexit 1\n' >"$tree/build/bin/velmoran-ctl"
  chmod +x "$tree/build/bin/velmoran" "$tree/build/bin/velmoran-ctl"
  : >"$tree/demo.log"
  "$tree/scripts/demo" >>"$tree/demo.log" 2>&1 &
  demo=$!
  wait_for grep -q 'Press Ctrl-C to stop.' "$tree/demo.log" || fail "the demo did not come up: $(cat "$tree/demo.log")"
  served=$(pgrep -P "$demo" -x quensaria) || fail "the demo runs no service of its own"
  kill -TERM "$demo"
  wait_for test -e "$tree/velmoran.stopping" || fail "the demo did not stop its driver: $(cat "$tree/demo.log")"
  kill -TERM "$demo"
  touch "$tree/velmoran.go"
  wait "$demo" || true
  demo=""
  if kill -0 "$served" 2>/dev/null; then
    kill -TERM "$served"
    fail "a second Ctrl-C while the demo stopped its driver left its service running"
  fi
else
  echo "(not root with /dev/fuse and a loop device: the demo's driver part is not played)"
fi
echo "PASSED"
