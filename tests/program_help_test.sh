#!/usr/bin/env bash
# The command-line programs' --help as an administrator uses it: exit status
# 0, the usage on standard output and nothing on standard error, also for
# -h; every option the usage names is in the program's manual page, which
# has an EXIT STATUS section; and each page reads without a warning from
# man. Bad usage is told as such (status 2, the usage on standard error)
# whether or not there is a driver to send it to.
#
#   tests/program_help_test.sh BIN_DIR MAN_DIR
set -euo pipefail

bin_dir=$1
man_dir=$2
fail() { echo "FAILED: $*" >&2; exit 1; }
scratch=$(mktemp -d /tmp/program-help-test.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

for entry in quensaria:8 velmoran:8 velmoran-ctl:8 ludrane-cli:1 ludrane-mkimage:1; do
  program=${entry%%:*}
  page=$man_dir/$program.${entry##*:}
  [[ -f $page ]] || fail "$program has no manual page $page"
  for flag in --help -h; do
    status=0
    "$bin_dir/$program" "$flag" >"$scratch/out" 2>"$scratch/err" || status=$?
    [[ $status -eq 0 ]] || fail "$program $flag exits with $status"
    [[ -s $scratch/out ]] || fail "$program $flag prints nothing on standard output"
    [[ ! -s $scratch/err ]] || fail "$program $flag writes to standard error: $(cat "$scratch/err")"
  done
  "$bin_dir/$program" --help >"$scratch/out"
  grep -q '^usage: ' "$scratch/out" || fail "$program --help does not start with its usage"
  grep -q -- '--help' "$scratch/out" || fail "$program --help does not name --help"
  # Options as the page spells them in roff: every "-" escaped.
  options=$(grep -o -- '--[a-z][a-z0-9-]*' "$scratch/out" | sort -u)
  for option in $options; do
    grep -qF -- "${option//-/\\-}" "$page" || fail "$program's page lacks $option, which --help names"
  done
  # The --NAME=VALUE form of an option is taken only where the usage and the
  # page say so; anywhere else it is bad usage. (Read before --help, which
  # would end the parse: 0 when taken, 2 when refused.)
  for option in $options; do
    [[ $option != --help ]] || continue
    status=0
    "$bin_dir/$program" "$option=$scratch/value" --help >/dev/null 2>&1 || status=$?
    [[ $status -eq 0 || $status -eq 2 ]] || fail "$program $option=VALUE exits with $status"
    [[ $status -eq 2 ]] && continue
    grep -qF -- "$option=" "$scratch/out" ||
      fail "$program takes $option=VALUE, which its --help does not name"
    grep -qF -- "${option//-/\\-}=" "$page" ||
      fail "$program takes $option=VALUE, which its page does not name"
  done
  grep -q '^\.SH EXIT STATUS' "$page" || fail "$program's page has no EXIT STATUS"
  if command -v man >/dev/null; then
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null || true)
    [[ -z $warnings ]] || fail "man warns about $page: $warnings"
  fi
  echo "$program: --help and -h exit 0 on standard output; $(wc -w <<<"$options") options, all in $page"
done
# velmoran-ctl with no driver: a command it does not know, or one with
# arguments missing or left over, is bad usage, not a device that cannot be
# opened.
no_driver=$scratch/no-driver
for args in "frobnicate VelmoranEx0" "mount-net VelmoranEx0" "mount-image VelmoranEx0" \
  "mount-image VelmoranEx0 a.img b.img" "unmount VelmoranEx0 extra" "query Q: extra" \
  "block-device VelmoranEx0 extra"; do
  status=0
  # shellcheck disable=SC2086 # the words of $args are the arguments
  "$bin_dir/velmoran-ctl" --runtime-dir "$no_driver" $args >"$scratch/out" 2>"$scratch/err" || status=$?
  [[ $status -eq 2 ]] || fail "velmoran-ctl $args exits with $status, not 2: $(cat "$scratch/err")"
  grep -q '^usage: velmoran-ctl' "$scratch/err" || fail "velmoran-ctl $args shows no usage: $(cat "$scratch/err")"
done
# An option of another command is no option of this one: told, not passed
# over (a query given --letter links nothing, a mount-image given --tls
# speaks no TLS).
for args in "query Q: --letter X" "unmount VelmoranEx0 --read-only" "block-device Q: --cd" \
  "mount-image VelmoranEx0 a.img --tls" "mount-image VelmoranEx0 a.img --password secret" \
  "mount-image VelmoranEx0 a.img --connections 2" "mount-net VelmoranEx0 127.0.0.1:60000 --cd" \
  "mount-net VelmoranEx0 127.0.0.1:60000 --size 4096" "control VelmoranEx0 1 --letter Q" \
  "query Q: --output 16"; do
  status=0
  # shellcheck disable=SC2086 # the words of $args are the arguments
  "$bin_dir/velmoran-ctl" --runtime-dir "$no_driver" $args >"$scratch/out" 2>"$scratch/err" || status=$?
  [[ $status -eq 2 ]] || fail "velmoran-ctl $args exits with $status, not 2: $(cat "$scratch/err")"
  option=$(grep -o -- ' --[a-z-]*' <<<" $args" | head -n 1)
  grep -qF -- "${option# } is not an option of ${args%% *}" "$scratch/err" ||
    fail "velmoran-ctl $args does not say which option is wrong: $(cat "$scratch/err")"
done
# An empty directory is none: bad usage, as the other programs say, not a
# driver looked for (or made) at the root of the file system.
for program in velmoran-ctl velmoran; do
  args=(--runtime-dir "")
  [[ $program == velmoran-ctl ]] && args+=(query VelmoranEx0)
  status=0
  timeout 60 "$bin_dir/$program" "${args[@]}" >"$scratch/out" 2>"$scratch/err" || status=$?
  [[ $status -eq 2 ]] || fail "$program --runtime-dir '' exits with $status, not 2: $(cat "$scratch/err")"
  grep -q "^usage: $program " "$scratch/err" || fail "$program --runtime-dir '' shows no usage: $(cat "$scratch/err")"
done
# A number of seconds is plain digits: a blank or a sign before them is bad
# usage, not read past. (--help after it: 0 when taken, 2 when refused.)
for seconds in " 5" "+5" " -0" "-0" "" "5 " "0x5"; do
  status=0
  timeout 60 "$bin_dir/velmoran" --runtime-dir "$no_driver" --reconnect-timeout "$seconds" --help \
    >"$scratch/out" 2>"$scratch/err" || status=$?
  [[ $status -eq 2 ]] || fail "velmoran --reconnect-timeout '$seconds' exits with $status, not 2"
  grep -q '^usage: velmoran ' "$scratch/err" ||
    fail "velmoran --reconnect-timeout '$seconds' shows no usage: $(cat "$scratch/err")"
done
for seconds in 0 5 86400; do
  "$bin_dir/velmoran" --reconnect-timeout "$seconds" --help >/dev/null ||
    fail "velmoran --reconnect-timeout $seconds is refused"
done
echo "velmoran-ctl: bad usage exits 2 without a driver"
echo "PASSED"
