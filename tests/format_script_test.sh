#!/usr/bin/env bash
# scripts/format --check where git cannot list the sources (a tree that is
# no git checkout: an exported or unpacked copy) fails and says why; it
# does not pass a tree it never looked at.
#
#   tests/format_script_test.sh SOURCE_DIR
set -euo pipefail

source_dir=$(cd "$1" && pwd)
fail() { echo "FAILED: $*" >&2; exit 1; }
command -v clang-format >/dev/null || { echo "SKIPPED: no clang-format"; exit 77; }
tree=$(mktemp -d /tmp/format-script-test.XXXXXX)
trap 'rm -rf "$tree"' EXIT

mkdir -p "$tree/scripts"
cp "$source_dir/scripts/format" "$tree/scripts/format"
cp "$source_dir/.clang-format" "$tree/.clang-format"
printf 'int  main ( ) {return 0 ;}\n' >"$tree/unformatted.cpp"
status=0
# GIT_CEILING_DIRECTORIES: no checkout above the copy is taken for its own.
GIT_CEILING_DIRECTORIES=$tree "$tree/scripts/format" --check >"$tree/out" 2>&1 || status=$?
[[ $status -ne 0 ]] || fail "scripts/format --check passed a tree whose sources git could not list: $(cat "$tree/out")"
grep -q '^format: ' "$tree/out" || fail "scripts/format --check did not say why it failed: $(cat "$tree/out")"
echo "PASSED"
