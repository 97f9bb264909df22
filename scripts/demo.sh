#!/usr/bin/env bash
# Builds qordefutil and walks a sandbox store through its whole life: a
# first install, registrations, a set arriving through "incoming", a newer
# install, a restore, a full update through the stand-in update client,
# removal of everything when the last application leaves, a microdefs
# update that patches the store to a newer set with a real delta package,
# and finally the real update client: a signed mirror made by qordefpublish
# and served by nginx on 127.0.0.1 brings the store up to date with -l, then
# moves it to a newly published set with -m through a published package.
#
# The real /etc is never read or written: the demo runs the test build of
# the same sources, which takes its two configuration files and its group
# from the QORDEFUTIL_SANDBOX_* variables.
# Usage: scripts/demo.sh   (as root on a fresh Debian 12 machine)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

build=$PWD/build/release
echo "Building..."
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target qordefutil qordefutil-sandbox fake_java patchapp \
  mkmicrodefs qordefpublish jsf >/dev/null

demo=${QDU_DEMO_DIR:-/tmp/qordefutil-demo}
rm -rf "$demo"
mkdir -p "$demo/etc" "$demo/sets" "$demo/lib"
export QORDEFUTIL_SANDBOX_TARVOLIX_CONF=$demo/etc/Tarvolix.conf
export QORDEFUTIL_SANDBOX_DEFUTILS_CONF=$demo/etc/tvlx-defutils.conf
QORDEFUTIL_SANDBOX_GROUP=$(id -gn)
export QORDEFUTIL_SANDBOX_GROUP
printf '[Tarvolix Shared]\nBaseDir=%s/base\n' "$demo" >"$QORDEFUTIL_SANDBOX_TARVOLIX_CONF"
defs=$demo/base/virusdefs

# The stand-in update client ("java" first on PATH) and the patch library.
export PATH=$build/tests/fake-java-bin:$PATH
export LD_LIBRARY_PATH=$demo/lib
ln -s "$build/tools/patchapp/libpatchapp.so" "$demo/lib/libpatchapp.so"

say() { printf '\n## %s\n' "$*"; }
run() {
  printf '$ qordefutil'; printf ' %q' "$@"; printf '\n'
  local status=0
  (exec -a qordefutil "$build/qordefutil-sandbox" "$@") || status=$?
  echo "[exit $status]"
}
show_defs() {
  local file
  for file in definfo.dat usage.dat; do
    if [ -f "$defs/$file" ]; then
      printf '   %-12s %s\n' "$file:" "$(tr '\n' ' ' <"$defs/$file")"
    else
      printf '   %-12s (none)\n' "$file:"
    fi
  done
}

# A definition set: virscan1.dat and the text definitions virscant.dat, each
# with the 32-byte header that dates the set, a data file and a catalog. The
# binary hub holds the whole binary set, so a hub package can patch it
# forward; the text hub holds virscant.dat.
header() { # year month day revision
  printf '\x00\x00\x00\x00'
  printf "\\x$(printf %02x $(($4 & 255)))\\x$(printf %02x $(($4 >> 8 & 255)))\\x00\\x00"
  printf "\\x$(printf %02x "$2")\\x$(printf %02x "$3")\\x$(printf %02x $(($1 - 1900)))"
  printf '%021d' 0
}
make_set() { # dir year month day revision
  local dir=$1 year=$2 month=$3 day=$4 rev=$5 i
  mkdir -p "$dir"
  { header "$year" "$month" "$day" "$rev"; echo " main definitions of $year-$month-$day.$rev"; } \
    >"$dir/virscan1.dat"
  { header "$year" "$month" "$day" "$rev"; echo " text definitions of $year-$month-$day.$rev"; } \
    >"$dir/virscant.dat"
  for i in $(seq 1 3000); do
    if ((i % 50 == 0)); then echo "signature $i revised $year-$month-$day.$rev"; else echo "signature $i"; fi
  done >"$dir/defs1.dat"
  printf '[Files]\nvirscan1.dat\nvirscant.dat\ncatalog.dat\ndefs1.dat\n' >"$dir/catalog.dat"
  printf '[Binary Hub Files - Linux]\nvirscan1.dat\n' >>"$dir/catalog.dat"
  printf '[Binary Hub Files - Common]\ncatalog.dat\ndefs1.dat\nvirscant.dat\n' >>"$dir/catalog.dat"
  printf '[Text Hub Files]\nvirscant.dat\n' >>"$dir/catalog.dat"
}

# Sets dated over the last months, so the microdefs channel names a month.
read -r y1 m1 < <(date -d "-3 month" '+%Y %-m')
read -r y2 m2 < <(date -d "-2 month" '+%Y %-m')
read -r y3 m3 < <(date -d "-1 month" '+%Y %-m')
make_set "$demo/sets/A" "$y1" "$m1" 10 1
make_set "$demo/sets/B" "$y1" "$m1" 20 1
make_set "$demo/sets/C" "$y2" "$m2" 5 2
make_set "$demo/sets/D" "$y2" "$m2" 25 1
make_set "$demo/sets/E" "$y3" "$m3" 2 3
make_set "$demo/sets/F" "$y3" "$m3" 9 1

echo "Sandbox: $demo (group $QORDEFUTIL_SANDBOX_GROUP)"
run --versiononly

say "First install: the store is created from the configured base directory"
run -i "$demo/sets/A"
show_defs
run -n MailScanner
run -n WebShield
run -g MailScanner
show_defs

say "A set dropped into incoming is integrated by the next query for the newest set"
cp "$demo/sets/B/"* "$defs/incoming/"
run -n MailScanner
run -g MailScanner
run -g WebShield
show_defs

say "A newer set installed from a directory; WebShield moves only when it asks"
run -i "$demo/sets/C"
run -g WebShield
run -n WebShield
run -g WebShield
show_defs

say "Restore: the previous set becomes the newest again"
run -r
show_defs

say "Full update: the stand-in update client downloads set D"
FAKE_JAVA_COPY_FROM=$demo/sets/D FAKE_JAVA_RECORD=$demo/client.txt run -l
echo "   the client was started as: $(grep '^arg ' "$demo/client.txt" | cut -c5- | tr '\n' ' ')"
run -n MailScanner
show_defs

say "Both applications leave: the whole store goes"
run -u WebShield
run -u MailScanner
echo "   left below the base directory: $(find "$demo/base" -mindepth 1 | wc -l) entries"

say "Microdefs: a fresh store on set E, patched to set F with a real delta package"
run -i "$demo/sets/E"
run -n MailScanner
mkdir -p "$demo/packages"
"$build/tools/patchapp/mkmicrodefs" --hub "$demo/sets/E" "$demo/sets/F" "$demo/packages/update.mdp"
echo "apply" >"$demo/packages/hub.scr"
printf '   package: %s bytes for a set of %s bytes\n' "$(stat -c %s "$demo/packages/update.mdp")" \
  "$(cat "$demo/sets/F/"* | wc -c)"
FAKE_JAVA_HUB_FROM=$demo/packages FAKE_JAVA_RECORD=$demo/client.txt run -m "Demo Product"
echo "   the client was asked for: $(grep '^arg ' "$demo/client.txt" | cut -c5- | tr '\n' ' ')"
show_defs
run -n MailScanner
run -g MailScanner
cur=$(sed -n 's/^CurDefs=//p' "$defs/definfo.dat")
cmp "$defs/$cur/defs1.dat" "$demo/sets/F/defs1.dat" && echo "   the patched set $cur holds set F's files"
run -u MailScanner
echo "   left below the base directory: $(find "$demo/base" -mindepth 1 | wc -l) entries"

say "The real update client: a signed mirror on 127.0.0.1, -l, then -m"
make_set "$demo/sets/G" "$y3" "$m3" 15 1
make_set "$demo/sets/H" "$y3" "$m3" 20 2
publish() { "$build/publisher/qordefpublish" "$@" | sed 's/^/   publisher: /'; }
publish init --repo "$demo/repo" --mirror "$demo/mirror"
publish add --repo "$demo/repo" --product "Morvik1.5 Definitions Linux" "$demo/sets/G"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$demo/nginx/tmp"
{
  [ "$(id -u)" = 0 ] && echo "user root;"
  echo "daemon off; worker_processes 1; pid $demo/nginx/nginx.pid; error_log $demo/nginx/error.log;"
  echo "events { worker_connections 64; }"
  echo "http { access_log $demo/nginx/access.log; client_body_temp_path $demo/nginx/tmp/body;"
  echo "  proxy_temp_path $demo/nginx/tmp/proxy; fastcgi_temp_path $demo/nginx/tmp/fastcgi;"
  echo "  uwsgi_temp_path $demo/nginx/tmp/uwsgi; scgi_temp_path $demo/nginx/tmp/scgi;"
  echo "  server { listen 127.0.0.1:$port; root $demo/mirror; } }"
} >"$demo/nginx/nginx.conf"
nginx -p "$demo/nginx" -c "$demo/nginx/nginx.conf" -e "$demo/nginx/error.log" &
nginx_pid=$!
trap 'kill "$nginx_pid" 2>/dev/null; wait "$nginx_pid" 2>/dev/null' EXIT
for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$port/" && break; sleep 0.1; done
echo "   nginx serves $demo/mirror at http://127.0.0.1:$port/"
# The client as a machine would have it: the jar linked where the store
# looks for it, the publisher's first root trusted, the real java on PATH.
mkdir -p "$demo/base/Skyfetcher"
ln -sfn "$build/client/jsf.jar" "$demo/base/Skyfetcher/jsf.jar"
printf 'mirror = http://127.0.0.1:%s/\ntrusted_root = %s\nstate_dir = %s\n' "$port" \
  "$demo/mirror/metadata/1.root.json" "$demo/client-state" >"$demo/etc/skyfetcher.conf"
export SKYFETCHER_CONFIG=$demo/etc/skyfetcher.conf
export PATH=${PATH#"$build/tests/fake-java-bin:"}
run -i "$demo/sets/F"
run -n MailScanner
run -l
show_defs
run -l
publish add --repo "$demo/repo" --product "Morvik1.5 Definitions Linux" "$demo/sets/H"
run -m "Morvik1.5 Definitions Linux"
show_defs
cur=$(sed -n 's/^CurDefs=//p' "$defs/definfo.dat")
cmp "$defs/$cur/defs1.dat" "$demo/sets/H/defs1.dat" && cmp "$defs/binhub/defs1.dat" "$demo/sets/H/defs1.dat" &&
  echo "   the store's newest set $cur and its binary hub hold set H's files"
echo "   requests to the mirror: $(grep -c . "$demo/nginx/access.log"), of which targets:" \
  "$(grep -o 'GET /targets/[^ ]*' "$demo/nginx/access.log" | sed 's|.*/[0-9a-f]*\.||' | tr '\n' ' ')"
