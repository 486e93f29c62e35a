# Shared by the engine benchmarks (sourced, not run): the tools check, the
# scratch folder and the cleanup of every server started, the 1 GiB random
# image, and starting the engine and nbdkit on it. The caller sets NAME (for
# messages), BUILD, IMAGE and PYTHON first.

GiB=$((1024 * 1024 * 1024))

for tool in fio nbdkit; do
  command -v "$tool" >/dev/null || { echo "$NAME: $tool is missing" >&2; exit 1; }
done
for program in quensaria-bench quensaria-bench-server; do
  [[ -x $BUILD/bin/$program ]] || { echo "$NAME: build $program first" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

if [[ ! -f $IMAGE || $(stat -c %s "$IMAGE") -ne $GiB ]]; then
  echo "making $IMAGE (1 GiB of random bytes)"
  head -c "$GiB" /dev/urandom >"$IMAGE"
fi

# Starts quensaria-bench-server on IMAGE, named $1, with the read cache at
# $2 MiB and any further arguments; engine_pid is its pid. Run in this
# shell, not a subshell, so that cleanup knows the process.
start_engine() {
  local name=$1 cache=$2
  shift 2
  "$BUILD/bin/quensaria-bench-server" "$IMAGE" --cache "$cache" "$@" >"$work/engine-$name.out" &
  engine_pid=$!
  pids+=("$engine_pid")
}
# Prints the port of the engine named $1 once it listens.
engine_port() {
  for _ in $(seq 100); do
    grep -q 'listening on port' "$work/engine-$1.out" && break
    sleep 0.1
  done
  awk '/listening on port/ {print $4}' "$work/engine-$1.out"
}

# Starts nbdkit's file plugin on IMAGE on a free loopback port (trying
# another port when one is taken meanwhile), with any arguments given
# before the plugin's; sets nbdkit_pid and nbdkit_port.
start_nbdkit() {
  local port pid
  nbdkit_port=""
  for _ in $(seq 10); do
    port=$("$PYTHON" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    nbdkit -f -p "$port" "$@" file file="$IMAGE" 2>"$work/nbdkit.err" &
    pid=$!
    for _ in $(seq 50); do
      nbdkit_listening "$port" && break
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    if nbdkit_listening "$port"; then
      pids+=("$pid")
      nbdkit_pid=$pid
      nbdkit_port=$port
      return 0
    fi
    kill "$pid" 2>/dev/null || true
  done
  echo "$NAME: nbdkit did not come up" >&2
  cat "$work/nbdkit.err" >&2
  exit 1
}
nbdkit_listening() {
  "$PYTHON" -c "import socket; socket.create_connection(('127.0.0.1', $1), 0.2)" 2>/dev/null
}
