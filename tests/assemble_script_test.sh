#!/usr/bin/env bash
# scripts/assemble-boot-programs given a word it does not know (a mistyped
# --check) is bad usage: it rewrites none of the checked-in byte tables.
# Played in a copy of the files it reads and writes.
#
#   tests/assemble_script_test.sh SOURCE_DIR
set -euo pipefail

source_dir=$(cd "$1" && pwd)
fail() { echo "FAILED: $*" >&2; exit 1; }
for tool in nasm clang-format; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: no $tool"; exit 77; }
done
tree=$(mktemp -d /tmp/assemble-script-test.XXXXXX)
trap 'rm -rf "$tree"' EXIT

mkdir -p "$tree/scripts" "$tree/shared" "$tree/configurator/image"
cp "$source_dir/scripts/assemble-boot-programs" "$tree/scripts/"
cp "$source_dir/.clang-format" "$tree/"
cp -r "$source_dir/shared/boot" "$tree/shared/"
tables=(shared/mbr_boot_program.cpp configurator/image/fat_boot_program.cpp
  configurator/image/fat32_boot_program.cpp)
for table in "${tables[@]}"; do echo "// kept" >"$tree/$table"; done

for args in "--chek" "--check extra"; do
  status=0
  # shellcheck disable=SC2086 # the words of $args are the arguments
  "$tree/scripts/assemble-boot-programs" $args >"$tree/out" 2>&1 || status=$?
  [[ $status -eq 2 ]] || fail "assemble-boot-programs $args exits with $status, not 2: $(cat "$tree/out")"
  grep -q '^usage: ' "$tree/out" || fail "assemble-boot-programs $args shows no usage: $(cat "$tree/out")"
  for table in "${tables[@]}"; do
    [[ $(cat "$tree/$table") == "// kept" ]] || fail "assemble-boot-programs $args rewrote $table"
  done
done
echo "PASSED"
