#!/usr/bin/env bash
# The scripts that take no arguments (install-deps, test, screenshots),
# fetch-test-kernel, which takes a folder, and format, which takes --check,
# as an administrator asks them for help: --help and -h print the usage and
# exit 0, any other argument is bad usage (status 2), and neither installs,
# builds, fetches, formats or runs anything. Played in a copy of the
# scripts, with stand-ins for every program they would start, which note
# that they were started.
#
#   tests/scripts_arguments_test.sh SOURCE_DIR
set -euo pipefail

source_dir=$(cd "$1" && pwd)
fail() { echo "FAILED: $*" >&2; exit 1; }
tree=$(mktemp -d /tmp/scripts-arguments-test.XXXXXX)
trap 'rm -rf "$tree"' EXIT

mkdir -p "$tree/scripts" "$tree/stand-ins"
for script in install-deps test screenshots format; do cp "$source_dir/scripts/$script" "$tree/scripts/"; done
for program in apt-get cmake ctest clang-format git xvfb-run nproc id; do
  printf '#!/bin/sh\necho "%s $*" >>"%s/started"\n[ "%s" = id ] && echo 0\nexit 0\n' \
    "$program" "$tree" "$program" >"$tree/stand-ins/$program"
  chmod +x "$tree/stand-ins/$program"
done

# Runs the copy's scripts/$1 with the words of $2, its programs stand-ins,
# from the folder $4 (the current one if none), and checks that it exits
# with $3 and shows its usage: on standard output when asked for, else on
# standard error.
check_answer() {
  local script=$1 args=$2 expected=$3 dir=${4:-.} status=0 usage
  # shellcheck disable=SC2086 # the words of $args are the arguments
  (cd "$dir" && PATH=$tree/stand-ins:$PATH timeout 30 "$tree/scripts/$script" $args) \
    >"$tree/out" 2>"$tree/err" || status=$?
  [[ $status -eq $expected ]] ||
    fail "scripts/$script $args exits with $status, not $expected: $(cat "$tree/out" "$tree/err")"
  if [[ $expected -eq 0 ]]; then usage=$tree/out; else usage=$tree/err; fi
  grep -q "^usage: scripts/$script" "$usage" ||
    fail "scripts/$script $args shows no usage: $(cat "$tree/out" "$tree/err")"
}

for script in install-deps test screenshots; do
  for args in --help -h "--help extra" --bogus; do
    rm -f "$tree/started"
    expected=0
    [[ $args == --help || $args == -h ]] || expected=2
    check_answer "$script" "$args" "$expected"
    [[ ! -e $tree/started ]] || fail "scripts/$script $args started: $(cat "$tree/started")"
  done
  echo "scripts/$script: --help and -h answered, other arguments refused, nothing started"
done
# scripts/fetch-test-kernel takes one folder, not an option.
cp "$source_dir/scripts/fetch-test-kernel" "$tree/scripts/"
for args in --help -h --bogus "a b"; do
  expected=2
  [[ $args == --help || $args == -h ]] && expected=0
  check_answer fetch-test-kernel "$args" "$expected" "$tree"
  for word in $args; do
    [[ ! -e $tree/$word ]] || fail "scripts/fetch-test-kernel $args made the folder $word"
  done
done
echo "scripts/fetch-test-kernel: --help and -h answered, options and extra words refused"

# scripts/format takes --check alone: with another word it would check (or
# rewrite) all the same.
for args in --help -h "--check extra" --bogus; do
  rm -f "$tree/started"
  expected=2
  [[ $args == --help || $args == -h ]] && expected=0
  check_answer format "$args" "$expected"
  [[ ! -e $tree/started ]] || fail "scripts/format $args started: $(cat "$tree/started")"
done
echo "scripts/format: --help and -h answered, other words refused, nothing started"
echo "PASSED"
