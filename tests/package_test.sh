#!/usr/bin/env bash
# The Debian packages as an administrator meets them: built by
# scripts/package with Debian's hardening flags, clean at lintian --pedantic
# but for the tags the packages override (each with its reason), with the
# dependencies that no library names (velmoran-mounter: libqt6svg6 for its
# icons, udisks2 recommended), installed with apt-get, their files in FHS
# places; the installed quensaria, run with its unit's umask, serves an
# export that a non-root member of the group quensaria manages with the
# installed ludrane-cli and keeps it in a Locals.xml that is root's alone,
# and that member, also in the group velmoran, mounts and reads it through
# the installed velmoran, run with its unit's umask, whose device files are
# of group velmoran. A user in neither group is told who may manage the
# service. Every installed command-line program answers --help. An upgrade
# does not restart the driver while a drive is mounted. Purging the packages
# leaves /var/lib/quensaria.
#
#   tests/package_test.sh SOURCE_DIR
#
# Exit 77 (skipped) when not root, without dpkg/apt/lintian/FUSE, or when the
# packages are installed already (they are not this test's to remove).
set -euo pipefail

source_dir=$(cd "$1" && pwd)
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }

[[ $(id -u) -eq 0 ]] || skip "needs root to install packages"
for tool in dpkg dpkg-deb apt-get lintian readelf runuser setpriv useradd python3; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps)"
done
[[ -c /dev/fuse ]] || skip "no /dev/fuse"
packages=(quensaria velmoran velmoran-mounter ludrane)
for package in "${packages[@]}"; do
  if dpkg-query -W -f '${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
    skip "$package is installed on this machine already; not touching it"
  fi
done

scratch=$(mktemp -d /tmp/package-test.XXXXXX)
chmod 0755 "$scratch"
user=qpkgtest$$
stranger_uid=65534
created_groups=()
for group in quensaria velmoran; do
  getent group "$group" >/dev/null || created_groups+=("$group")
done
state_existed=no
[[ -e /var/lib/quensaria ]] && state_existed=yes
pids=()
installed=no

cleanup() {
  set +e
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  mountpoint -q "$scratch/vrun/Device/VelmoranEx" && umount -l "$scratch/vrun/Device/VelmoranEx"
  [[ $installed == yes ]] && apt-get purge -y -q "${packages[@]}" >/dev/null 2>&1
  id "$user" >/dev/null 2>&1 && userdel "$user"
  # Groups this test's install made go again; earlier ones stay.
  for group in "${created_groups[@]}"; do getent group "$group" >/dev/null && groupdel "$group"; done
  # The purge keeps /var/lib/quensaria (checked below); one that this test
  # made goes again.
  [[ $state_existed == no ]] && rm -rf /var/lib/quensaria
  rm -rf "$scratch"
}
trap cleanup EXIT

# shellcheck source=tests/wait_for_testing.sh
source "$source_dir/tests/wait_for_testing.sh"

echo "--- scripts/package"
"$source_dir/scripts/package" >"$scratch/package.log" 2>&1 || { cat "$scratch/package.log"; fail "scripts/package"; }
debs=("$source_dir"/build/packages/*.deb)
names=$(for deb in "${debs[@]}"; do dpkg-deb -f "$deb" Package; done | sort | tr '\n' ' ')
echo "built: $names"
have_desktop=no
[[ $names == *ludrane* ]] && have_desktop=yes

echo "--- lintian --pedantic"
# Every tag at every level, overridden ones shown (O:) with their reasons (N:).
lintian --pedantic --display-info --show-overrides "${debs[@]}" >"$scratch/lintian.log" 2>&1 ||
  { cat "$scratch/lintian.log"; fail "lintian failed"; }
if grep -E '^[EWIPX]: ' "$scratch/lintian.log"; then
  fail "lintian reports the tags above"
fi
grep -E '^O: ' "$scratch/lintian.log" | sed 's/^/overridden: /' || true

echo "--- dependencies no library names"
for deb in "${debs[@]}"; do
  [[ $(dpkg-deb -f "$deb" Package) == velmoran-mounter ]] || continue
  dpkg-deb -f "$deb" Depends | tr ',' '\n' | grep -qE '^ *libqt6svg6( |$)' ||
    fail "velmoran-mounter does not depend on libqt6svg6: $(dpkg-deb -f "$deb" Depends)"
  dpkg-deb -f "$deb" Recommends | tr ',' '\n' | grep -qE '^ *udisks2( |$)' ||
    fail "velmoran-mounter does not recommend udisks2: $(dpkg-deb -f "$deb" Recommends)"
  echo "velmoran-mounter: Depends $(dpkg-deb -f "$deb" Depends | grep -o 'libqt6svg6[^,]*'), Recommends $(dpkg-deb -f "$deb" Recommends)"
done

echo "--- hardened programs"
mkdir "$scratch/unpacked"
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$scratch/unpacked"; done
for program in "$scratch"/unpacked/usr/bin/*; do
  name=$(basename "$program")
  # Whole outputs, not pipes: grep -q ending early would fail the pipe.
  header=$(readelf -hW "$program")
  dynamic=$(readelf -dW "$program")
  segments=$(readelf -lW "$program")
  symbols=$(readelf --dyn-syms -W "$program")
  sections=$(readelf -SW "$program")
  grep -q 'Type: *DYN' <<<"$header" || fail "$name is not position-independent"
  grep -q 'FLAGS_1.*PIE' <<<"$dynamic" || fail "$name is not a PIE"
  grep -qE 'BIND_NOW|FLAGS_1.* NOW' <<<"$dynamic" || fail "$name is not bound at start (bindnow)"
  grep -q GNU_RELRO <<<"$segments" || fail "$name has no read-only relocations"
  grep -q '__stack_chk_fail' <<<"$symbols" || fail "$name has no stack protector"
  grep -qE '__[a-z]+_chk@' <<<"$symbols" || fail "$name calls no fortified function"
  ! grep -q ' \.comment ' <<<"$sections" || fail "$name keeps its .comment section"
done
echo "PIE, bindnow, relro, stack protector, fortify: $(ls "$scratch/unpacked/usr/bin" | tr '\n' ' ')"

echo "--- apt-get install"
installed=yes
# Recommends (udisks2) are checked above, not installed on a test machine.
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
  -o DPkg::Lock::Timeout=600 "${debs[@]}" \
  >"$scratch/install.log" 2>&1 || { cat "$scratch/install.log"; fail "apt-get install"; }

echo "--- files in their places"
expect_files() {
  local package=$1
  shift
  local listing
  listing=$(dpkg -L "$package")
  for file in "$@"; do
    grep -qx "$file" <<<"$listing" || fail "$package does not install $file"
    [[ -e $file ]] || fail "$file is missing after the install"
  done
}
expect_files quensaria /usr/bin/quensaria /usr/bin/ludrane-cli /usr/bin/ludrane-mkimage \
  /usr/lib/systemd/system/quensariasvc.service /usr/share/man/man8/quensaria.8.gz \
  /usr/share/man/man1/ludrane-cli.1.gz /usr/share/man/man1/ludrane-mkimage.1.gz \
  /usr/share/doc/quensaria/copyright /usr/share/doc/quensaria/README.md
expect_files velmoran /usr/bin/velmoran /usr/bin/velmoran-ctl /usr/lib/systemd/system/velmoran.service \
  /usr/share/man/man8/velmoran.8.gz /usr/share/man/man8/velmoran-ctl.8.gz /usr/share/doc/velmoran/copyright
if [[ $have_desktop == yes ]]; then
  expect_files velmoran-mounter /usr/bin/velmoran-mounter /usr/share/applications/velmoran-mounter.desktop \
    /usr/share/icons/hicolor/scalable/apps/velmoran-mounter.svg /usr/share/man/man1/velmoran-mounter.1.gz
  expect_files ludrane /usr/bin/ludrane /usr/share/applications/ludrane.desktop \
    /usr/share/icons/hicolor/48x48/apps/ludrane.png /usr/share/man/man1/ludrane.1.gz
fi
# Nothing outside the places an administrator looks for a package's files.
for package in "${packages[@]}"; do
  [[ $have_desktop == no && ( $package == ludrane || $package == velmoran-mounter ) ]] && continue
  while read -r file; do
    case $file in
      /. | /usr | /usr/bin | /usr/lib | /usr/lib/systemd | /usr/share) ;;
      /usr/bin/* | /usr/lib/systemd/system* | /usr/share/applications* | /usr/share/icons* | \
        /usr/share/man* | /usr/share/doc* | /usr/share/lintian*) ;;
      *) fail "$package installs $file, outside the FHS places it should use" ;;
    esac
  done < <(dpkg -L "$package")
done
systemd-analyze verify --man=no /usr/lib/systemd/system/quensariasvc.service \
  /usr/lib/systemd/system/velmoran.service || fail "systemd-analyze verify"
getent group quensaria >/dev/null || fail "the install made no group quensaria"
getent group velmoran >/dev/null || fail "the install made no group velmoran"
[[ -d /var/lib/quensaria ]] || fail "the install made no /var/lib/quensaria"
[[ $(stat -c '%U:%G %a' /var/lib/quensaria) == "root:quensaria 750" ]] ||
  fail "/var/lib/quensaria is $(stat -c '%U:%G %a' /var/lib/quensaria), not root:quensaria 750"
# What the units give their programs (no systemd runs them here: the test
# does, with these umasks).
unit_setting() { sed -n "s/^$2=//p" "/usr/lib/systemd/system/$1"; }
[[ $(unit_setting quensariasvc.service UMask) == 0077 && $(unit_setting quensariasvc.service StateDirectoryMode) == 0750 &&
   $(unit_setting quensariasvc.service Group) == quensaria ]] ||
  fail "quensariasvc.service sets UMask $(unit_setting quensariasvc.service UMask), StateDirectoryMode $(unit_setting quensariasvc.service StateDirectoryMode), Group $(unit_setting quensariasvc.service Group)"
service_umask=$(unit_setting quensariasvc.service UMask)
driver_umask=$(unit_setting velmoran.service UMask)
[[ -n $driver_umask ]] || fail "velmoran.service sets no UMask"

echo "--- --help of the installed programs"
for program in quensaria velmoran velmoran-ctl ludrane-cli ludrane-mkimage; do
  status=0
  runuser -u nobody -- "/usr/bin/$program" --help >"$scratch/help.out" 2>"$scratch/help.err" || status=$?
  [[ $status -eq 0 && -s $scratch/help.out && ! -s $scratch/help.err ]] ||
    fail "$program --help: status $status, $(wc -c <"$scratch/help.out") bytes out, error: $(cat "$scratch/help.err")"
done

echo "--- the installed service, managed by a member of group quensaria"
useradd --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin \
  --groups quensaria,velmoran "$user"
as_user() { runuser -u "$user" -- "$@"; }
head -c $((4 << 20)) /dev/urandom >"$scratch/disk.img"
chmod 0644 "$scratch/disk.img"
mkdir -m 0777 "$scratch/cache"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

# The package's own state directory where this test made it (the unit's
# service stopped meanwhile: one service per Locals.xml); an administrator's
# earlier one is left alone.
state_options=(--state-dir "$scratch/state")
if [[ $state_existed == no ]]; then
  state_options=()
  [[ -d /run/systemd/system ]] && systemctl stop quensariasvc.service
fi
(umask "$service_umask" && exec /usr/bin/quensaria --console "${state_options[@]}" --runtime-dir "$scratch/run") \
  >"$scratch/quensaria.log" 2>&1 &
pids+=($!)
socket=$scratch/run/ncalrpc/quensariasvc
wait_for test -S "$socket" || { cat "$scratch/quensaria.log"; fail "quensaria made no socket"; }
if [[ $state_existed == no ]]; then
  grep -q 'state /var/lib/quensaria' "$scratch/quensaria.log" ||
    fail "the installed quensaria does not keep its state in /var/lib/quensaria: $(cat "$scratch/quensaria.log")"
fi
[[ $(stat -c '%U:%G %a' "$socket") == "root:quensaria 660" ]] ||
  fail "the socket is $(stat -c '%U:%G %a' "$socket"), not root:quensaria 660"

status=0
refusal=$(setpriv --reuid=$stranger_uid --regid=$stranger_uid --clear-groups \
  /usr/bin/ludrane-cli --runtime-dir "$scratch/run" status 2>&1) || status=$?
[[ $status -eq 3 && $refusal == *'runs, but this user may not manage it'*'group "quensaria"'* ]] ||
  fail "a user outside the group was told (status $status): $refusal"

as_user /usr/bin/ludrane-cli --runtime-dir "$scratch/run" status | grep -q 'answers at' ||
  fail "a member of quensaria cannot reach the service"
server=$(as_user /usr/bin/ludrane-cli --runtime-dir "$scratch/run" add-server "$scratch/disk.img" --port "$port")
as_user /usr/bin/ludrane-cli --runtime-dir "$scratch/run" start-server "$server"
as_user /usr/bin/ludrane-cli --runtime-dir "$scratch/run" list-servers | grep -q "$port" ||
  fail "the new export is not listed"
state_dir=/var/lib/quensaria
[[ $state_existed == no ]] || state_dir=$scratch/state
[[ $(stat -c '%U %a' "$state_dir/Locals.xml") == "root 600" ]] ||
  fail "Locals.xml is $(stat -c '%U %a' "$state_dir/Locals.xml"), not root's alone (600)"
! as_user cat "$state_dir/Locals.xml" >/dev/null 2>&1 || fail "a member of quensaria reads Locals.xml"

echo "--- the installed driver: devices of group velmoran, the export read through them"
(umask "$driver_umask" && exec /usr/bin/velmoran --runtime-dir "$scratch/vrun") >"$scratch/velmoran.log" 2>&1 &
pids+=($!)
devices=$scratch/vrun/Device/VelmoranEx
wait_for test -e "$devices/VelmoranExCd7" || { cat "$scratch/velmoran.log"; fail "velmoran made no devices"; }
for device in "$devices"/*; do
  [[ $(stat -c '%U:%G %a' "$device") == "root:velmoran 660" ]] ||
    fail "$device is $(stat -c '%U:%G %a' "$device"), not root:velmoran 660"
done
[[ $(stat -c '%U:%G %a' "$scratch/vrun/DosDevices") == "root:velmoran 1770" ]] ||
  fail "the drive definitions are $(stat -c '%U:%G %a' "$scratch/vrun/DosDevices")"
for directory in "$scratch/vrun" "$scratch/vrun/Device" "$scratch/vrun/DosDevices/Global"; do
  [[ $(stat -c '%a' "$directory") == 755 ]] || fail "$directory is $(stat -c '%a' "$directory"), not 755"
done
as_user /usr/bin/velmoran-ctl --runtime-dir "$scratch/vrun" mount-net VelmoranEx0 127.0.0.1 "$port" \
  --cache-dir "$scratch/cache" || fail "a member of velmoran cannot mount the export"
as_user cmp -n $((4 << 20)) "$devices/VelmoranEx0" "$scratch/disk.img" ||
  fail "the device does not read as the exported image"
as_user /usr/bin/velmoran-ctl --runtime-dir "$scratch/vrun" unmount VelmoranEx0
as_user /usr/bin/ludrane-cli --runtime-dir "$scratch/run" stop-server "$server"

for pid in "${pids[@]}"; do kill -TERM "$pid"; done
for pid in "${pids[@]}"; do wait "$pid" || fail "a program did not end cleanly on SIGTERM"; done
pids=()

echo "--- an upgrade restarts the driver only while no drive is mounted"
# Played in a mount namespace of its own, with a /run of its own that says
# systemd runs, the installed driver at /run/velmoran, and stand-ins for
# systemd's tools that write down what they were asked.
cat >"$scratch/upgrade.sh" <<'EOF'
set -eu
scratch=$1
mount -t tmpfs tmpfs /run
mkdir -p /run/systemd/system "$scratch/stubs"
for tool in deb-systemd-invoke deb-systemd-helper systemctl; do
  printf '#!/bin/sh\necho "%s $*" >>"$CALLS"\n' "$tool" >"$scratch/stubs/$tool"
  chmod +x "$scratch/stubs/$tool"
done
/usr/bin/velmoran --runtime-dir /run/velmoran >"$scratch/upgrade-velmoran.log" 2>&1 &
driver=$!
for _ in $(seq 300); do
  [ -e /run/velmoran/Device/VelmoranEx/VelmoranExCd7 ] && break
  sleep 0.1
done
truncate -s 4M "$scratch/upgrade.img"
/usr/bin/velmoran-ctl --runtime-dir /run/velmoran mount-image VelmoranEx2 "$scratch/upgrade.img" >/dev/null
CALLS=$scratch/calls-mounted PATH="$scratch/stubs:$PATH" \
  /var/lib/dpkg/info/velmoran.postinst configure 0.1 >"$scratch/postinst-mounted.out"
/usr/bin/velmoran-ctl --runtime-dir /run/velmoran unmount VelmoranEx2 >/dev/null
CALLS=$scratch/calls-empty PATH="$scratch/stubs:$PATH" \
  /var/lib/dpkg/info/velmoran.postinst configure 0.1 >"$scratch/postinst-empty.out"
kill -TERM "$driver"
wait "$driver"
EOF
unshare --mount --propagation private sh "$scratch/upgrade.sh" "$scratch" ||
  fail "the upgrade could not be played: $(cat "$scratch/upgrade-velmoran.log")"
grep -q 'restart velmoran.service' "$scratch/calls-mounted" &&
  fail "the upgrade restarted the driver under a mounted drive"
grep -q 'not restarted now, drives are mounted on: VelmoranEx2' "$scratch/postinst-mounted.out" ||
  fail "the upgrade did not say why the driver was not restarted: $(cat "$scratch/postinst-mounted.out")"
grep -q 'runs after the next restart' "$scratch/postinst-mounted.out" ||
  fail "the upgrade did not say when the new version runs"
grep -q 'deb-systemd-invoke restart velmoran.service' "$scratch/calls-empty" ||
  fail "with no drive mounted the upgrade did not restart the driver: $(cat "$scratch/calls-empty")"

echo "--- apt-get purge"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q -o DPkg::Lock::Timeout=600 "${packages[@]}" \
  >"$scratch/purge.log" 2>&1 || { cat "$scratch/purge.log"; fail "apt-get purge"; }
installed=no
for package in "${packages[@]}"; do
  if dpkg-query -W -f '${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
    fail "$package is still installed"
  fi
done
[[ ! -e /usr/bin/quensaria && ! -e /usr/bin/velmoran ]] || fail "programs left after the purge"
[[ -d /var/lib/quensaria ]] || fail "the purge removed /var/lib/quensaria"
if [[ $state_existed == no ]]; then
  grep -q "$scratch/disk.img" /var/lib/quensaria/Locals.xml || fail "the purge lost Locals.xml and its export"
fi
echo "PASSED"
