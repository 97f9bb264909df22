#!/usr/bin/env bash
# Builds qordefutil and shows it at work on a sandbox store below a
# temporary directory. The real /etc is never read or written: the demo
# runs the test build of the same sources, which takes its two
# configuration files and its group from QORDEFUTIL_SANDBOX_* variables.
# Usage: scripts/demo.sh   (as root on a fresh Debian 12 machine)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$(nproc)" --target qordefutil qordefutil-sandbox >/dev/null

demo=${QDU_DEMO_DIR:-/tmp/qordefutil-demo}
rm -rf "$demo"
mkdir -p "$demo/etc"
export QORDEFUTIL_SANDBOX_TARVOLIX_CONF=$demo/etc/Tarvolix.conf
export QORDEFUTIL_SANDBOX_DEFUTILS_CONF=$demo/etc/tvlx-defutils.conf
export QORDEFUTIL_SANDBOX_GROUP=$(id -gn)
printf '[Tarvolix Shared]\nBaseDir=%s/base\n' "$demo" >"$QORDEFUTIL_SANDBOX_TARVOLIX_CONF"
printf '[defutillog]\ndefutillog_name=defutils.log\n' >"$QORDEFUTIL_SANDBOX_DEFUTILS_CONF"

qdu=$PWD/build/release/qordefutil-sandbox
step() { printf '\n$ qordefutil %s\n' "$*"; "$qdu" "$@" && echo "[exit 0]" || echo "[exit $?]"; }

echo "Sandbox store: $demo (group $QORDEFUTIL_SANDBOX_GROUP)"
step --versiononly
step -h
step -g

# A store with one definition set, laid out by hand until the install
# command can do it.
defs=$demo/base/virusdefs
set_dir=$defs/20260314.007
mkdir -p "$set_dir"
# virscan1.dat header: revision 7 (little-endian), month 3, day 14, year-1900 = 126.
printf '\0\0\0\0\7\0\0\0\3\16\176' >"$set_dir/virscan1.dat"
printf '[DefDates]\nCurDefs=20260314.007\n' >"$defs/definfo.dat"
printf '[20260314.007]\nMailScanner=1\n' >"$defs/usage.dat"
step -g MailScanner
step -g WebShield
step -g MailScanner Mail

echo
echo "Store after the demo:"
find "$demo/base" | sort | sed "s|$demo/||"
echo
echo "Debug log: $defs/defutils.log ($(wc -l <"$defs/defutils.log" 2>/dev/null || echo 0) lines)"
