#!/usr/bin/env bash
# Builds the Debian package (packaging/build-package.sh: lintian, units),
# installs it into a fresh Debian 12 root file system with apt, and checks
# there what an administrator would: the group, the man pages, completion,
# a set installed and an AppId registered and queried, -m finding the patch
# library with no manual step, a diagnostic at a terminal, log rotation,
# then what removal and purge leave behind.
#
# The minimal root (mmdebstrap --variant=minbase bookworm, plus the tools an
# administrator has: man-db, bash-completion, logrotate, systemd) is made
# once through apt's configured sources and cached as a tarball in
# QDU_ROOT_CACHE (default /var/cache/qordefutil-pkgtest); remove it to start
# afresh. Each run unpacks a new copy and deletes it again.
# Usage: packaging/test-package.sh   (as root; first run about 10 minutes)
set -euo pipefail
cd "$(dirname "$0")/.."

export DEBIAN_FRONTEND=noninteractive
for tool in mmdebstrap lintian systemd-analyze; do
  command -v "$tool" >/dev/null || apt-get install -y -qq --no-install-recommends \
    mmdebstrap lintian systemd >/dev/null
done

deb=$(packaging/build-package.sh build/package | tail -n 1)

cache=${QDU_ROOT_CACHE:-/var/cache/qordefutil-pkgtest}
tarball=$cache/bookworm-minbase.tar
mkdir -p "$cache"
if [ ! -s "$tarball" ] || [ -n "$(find "$tarball" -mtime +30)" ]; then
  echo "-- making the Debian 12 root (cached in $tarball)"
  sources=/etc/apt/sources.list.d/debian.sources
  [ -f "$sources" ] || sources=/etc/apt/sources.list
  mmdebstrap --quiet --format=tar --variant=minbase \
    --include=man-db,bash-completion,logrotate,systemd bookworm "$cache/partial.tar" "$sources" \
    </dev/null
  mv "$cache/partial.tar" "$tarball"
fi

root=$(mktemp -d /var/tmp/qdu-root-XXXXXX)
cleanup() {
  mountpoint -q "$root/dev/pts" && umount "$root/dev/pts"
  mountpoint -q "$root/proc" && umount "$root/proc"
  # Never follow a mount that is still there into the host.
  if ! grep -q " $root/" /proc/mounts; then
    rm -rf --one-file-system "$root"
  fi
}
trap cleanup EXIT
tar -C "$root" -xf "$tarball"
mount -t proc proc "$root/proc"
# A terminal of its own for the diagnostics check (script needs one).
mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$deb" "$root/tmp/"
in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root "$@"
}

passed=0 failed=0
check() { # description, then a shell command run in the root
  local what=$1
  shift
  if out=$(in_root /bin/bash -c "$*" 2>&1); then
    passed=$((passed + 1))
    echo "ok   $what"
  else
    failed=$((failed + 1))
    echo "FAIL $what"
    printf '%s\n' "$out" | sed 's/^/     /'
  fi
}

echo "-- apt install ./$(basename "$deb")"
in_root apt-get update -qq
in_root bash -c "cd /tmp && apt-get install -y -qq ./$(basename "$deb")" >/dev/null

# A definition set: virscan1.dat dated by its header, a text file, a data
# file and a catalog with the hub sections, so microdefs have a base.
in_root bash -c 'cat >/root/make-set' <<'EOF'
#!/bin/bash
# make-set DIR YEAR MONTH DAY REVISION
set -e
dir=$1 y=$2 m=$3 d=$4 r=$5
header() { printf '\x00\x00\x00\x00'; printf "\\x$(printf %02x "$r")\\x00\\x00\\x00"
  printf "\\x$(printf %02x "$m")\\x$(printf %02x "$d")\\x$(printf %02x $((y - 1900)))"; printf '%021d' 0; }
mkdir -p "$dir"
{ header; echo " main $y-$m-$d.$r"; } >"$dir/virscan1.dat"
{ header; echo " text $y-$m-$d.$r"; } >"$dir/virscant.dat"
for i in $(seq 1 2000); do echo "signature $i${d}"; done >"$dir/defs1.dat"
printf '[Files]\nvirscan1.dat\nvirscant.dat\ncatalog.dat\ndefs1.dat\n' >"$dir/catalog.dat"
printf '[Binary Hub Files - Linux]\nvirscan1.dat\n' >>"$dir/catalog.dat"
printf '[Binary Hub Files - Common]\ncatalog.dat\ndefs1.dat\nvirscant.dat\n' >>"$dir/catalog.dat"
printf '[Text Hub Files]\nvirscant.dat\n' >>"$dir/catalog.dat"
EOF
in_root bash -c 'chmod +x /root/make-set && /root/make-set /root/sets/A 2024 1 10 1 &&
  /root/make-set /root/sets/B 2024 2 20 1'

echo "-- installed"
check "group avdefs exists as a system group" \
  'gid=$(getent group avdefs | cut -d: -f3) && [ "$gid" -lt 1000 ]'
check "no /etc/Tarvolix.conf written, the sample installed" \
  '[ ! -e /etc/Tarvolix.conf ] && [ -s /etc/Tarvolix.conf.sample ]'
check "man pages render without warnings" '
  for page in "1 qordefutil" "1 mkmicrodefs" "5 Tarvolix.conf" "5 tvlx-defutils.conf"; do
    w=$(MANWIDTH=80 man --warnings -E UTF-8 $page 2>&1 >/dev/null) || exit 1
    [ -z "$w" ] || { echo "$page: $w"; exit 1; }
  done'
check "completion loads" '
  source /usr/share/bash-completion/bash_completion
  __load_completion qordefutil && complete -p qordefutil | grep -q "_qordefutil qordefutil"'
check "the patch library is in the loader cache" 'ldconfig -p | grep -q "libpatchapp.so "'

echo "-- as an administrator"
check "a set installs with the sample configuration" '
  cp /etc/Tarvolix.conf.sample /etc/Tarvolix.conf && qordefutil -i /root/sets/A &&
  [ "$(stat -c %G /opt/Tarvolix/virusdefs/20240110.001)" = avdefs ]'
check "an AppId is registered and queried" '
  qordefutil -n MailScanner && [ "$(qordefutil -g MailScanner)" = /opt/Tarvolix/virusdefs/20240110.001 ]'
check "completion offers the registered AppId" '
  source /usr/share/bash-completion/bash_completion; __load_completion qordefutil
  COMP_WORDS=(qordefutil -g Mail); COMP_CWORD=2; COMP_LINE="qordefutil -g Mail"; COMP_POINT=${#COMP_LINE}
  _qordefutil; [ "${COMPREPLY[*]}" = MailScanner ]'
check "-m applies a delta package with the installed patch library" '
  mkdir -p /root/pkg && mkmicrodefs --hub /root/sets/A /root/sets/B /root/pkg/update.mdp >/dev/null &&
  echo apply >/root/pkg/hub.scr &&
  printf "#!/bin/sh\ncp /root/pkg/* \"\$HUBDELTADIR\"/\n" >/usr/local/bin/java && chmod +x /usr/local/bin/java &&
  qordefutil -m "Test Product" >/dev/null && qordefutil -n MailScanner &&
  cmp /root/sets/B/defs1.dat "$(qordefutil -g MailScanner)/defs1.dat"'
check "a do-nothing restore explains itself at a terminal only" '
  [ -z "$(qordefutil -r 2>&1)" ] && qordefutil -r >/dev/null &&
  script -qec "qordefutil -r" /dev/null | grep -q "qordefutil: nothing to restore"'
check "logrotate rotates the debug log" '
  printf "[defutillog]\ndefutillog_name=defutil.log\n" >/etc/tvlx-defutils.conf &&
  qordefutil -g MailScanner >/dev/null && [ -s /opt/Tarvolix/virusdefs/defutil.log ] &&
  logrotate -f /etc/logrotate.d/qordefutil && [ -s /opt/Tarvolix/virusdefs/defutil.log.1.gz ]'
verify=$(systemd-analyze verify --man=no --root="$root" qordefutil-update.service \
  qordefutil-update.timer 2>&1) && [ -z "$verify" ] && passed=$((passed + 1)) &&
  echo "ok   systemd-analyze verify accepts the units" ||
  { failed=$((failed + 1)); echo "FAIL systemd-analyze verify"; printf '%s\n' "$verify"; }
check "the timer is not enabled" '[ ! -e /etc/systemd/system/timers.target.wants/qordefutil-update.timer ]'

echo "-- apt remove"
in_root apt-get remove -y -qq qordefutil >/dev/null
check "the programs are gone, the loader cache forgot the library" '
  ! command -v qordefutil && ! ls /usr/lib/*/libpatchapp.so && ! ldconfig -p | grep -q libpatchapp'
check "the configuration, the group and the store stay" '
  [ -e /etc/logrotate.d/qordefutil ] && [ -e /etc/Tarvolix.conf ] && getent group avdefs &&
  [ -d /opt/Tarvolix/virusdefs/20240220.001 ]'

echo "-- apt purge"
in_root apt-get purge -y -qq qordefutil >/dev/null 2>&1
check "purge removes what the package created" '
  [ ! -e /etc/logrotate.d/qordefutil ] && [ ! -e /etc/Tarvolix.conf.sample ] &&
  [ ! -e /etc/qordefutil ] && [ ! -e /etc/tvlx-defutils.conf ] && [ ! -e /var/lib/qordefutil ]'
check "purge keeps the administrator's file, the store and the group it uses" '
  [ -e /etc/Tarvolix.conf ] && [ -d /opt/Tarvolix/virusdefs/20240220.001 ] && getent group avdefs'

echo "-- apt purge with QORDEFUTIL_PURGE_STORES=yes"
in_root delgroup --quiet avdefs
in_root bash -c "cd /tmp && apt-get install -y -qq ./$(basename "$deb")" >/dev/null
in_root bash -c 'qordefutil -i /root/sets/A Rules && [ -d /opt/Tarvolix/tvlxdata/rules ]'
in_root env QORDEFUTIL_PURGE_STORES=yes apt-get purge -y -qq qordefutil >/dev/null 2>&1
check "the stores and the group go, the base directory and Tarvolix.conf stay" '
  [ ! -e /opt/Tarvolix/virusdefs ] && [ ! -e /opt/Tarvolix/tvlxdata ] && [ -d /opt/Tarvolix ] &&
  ! getent group avdefs && [ -e /etc/Tarvolix.conf ]'

printf '%d passed, %d failed\n' "$passed" "$failed"
[ "$failed" -eq 0 ]
