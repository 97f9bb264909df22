#!/usr/bin/env bash
# Update client benchmark over loopback from nginx, in a sandbox store:
#  1. full update (qordefutil -l, the real client) of a 2,000-file, 256 MiB
#     set, against curl fetching the same files from the same server plus
#     qordefutil -i of them; the two take turns, RUNS times;
#  2. peak RSS of the client alone fetching that set;
#  3. bytes a microdefs update (qordefutil -m) transfers for a set that
#     differs from the installed one in 5% of its bytes, against the set.
# Usage: bench/client_bench.sh [BUILD_DIR]   (default build/release; needs
# qordefutil-sandbox, qordefpublish, jsf.jar and libpatchapp.so built there)
# Environment: FILES (2000), SIZE_MIB (256), RUNS (3), QDU_BENCH_DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/release}")
files=${FILES:-2000}
size_mib=${SIZE_MIB:-256}
runs=${RUNS:-3}
work=${QDU_BENCH_DIR:-/tmp/qdu-client-bench}
product="Morvik1.5 Definitions Linux"
for f in qordefutil-sandbox publisher/qordefpublish client/jsf.jar tools/patchapp/libpatchapp.so; do
  [ -e "$build/$f" ] || { echo "missing $build/$f: build the project first" >&2; exit 2; }
done

rm -rf "$work"
mkdir -p "$work"/{etc,sets,nginx/tmp,state,lib,base/Skyfetcher}
ngx_pid=
cleanup() { [ -n "$ngx_pid" ] && kill "$ngx_pid" 2>/dev/null && wait "$ngx_pid" 2>/dev/null; true; }
trap cleanup EXIT

# Sets: files of random bytes (no help from compression), a dated
# virscan1.dat and a catalog whose hub sections list every file, so hub and
# direct packages are both published. make_set DIR MONTHS_AGO DAY [FROM_DIR]:
# with FROM_DIR, every 20th file is rewritten (5% of the bytes), the rest kept.
make_set() {
  python3 - "$@" "$files" "$size_mib" <<'EOF'
import os, sys, shutil, datetime
out, months, day, *rest = sys.argv[1:]
src = rest[0] if len(rest) == 3 else None
nfiles, mib = int(rest[-2]), int(rest[-1])
os.makedirs(out)
today = datetime.date.today()
y, m = today.year, today.month - int(months)
while m < 1:
    y, m = y - 1, m + 12
hdr = bytearray(32)
hdr[4] = 1; hdr[8] = m; hdr[9] = int(day); hdr[10] = y - 1900
with open(os.path.join(out, "virscan1.dat"), "wb") as f:
    f.write(bytes(hdr) + b" main definitions\n")
each = mib * 1024 * 1024 // nfiles
names = ["virscan1.dat", "catalog.dat"]
for i in range(nfiles - 2):
    name = "defs%04d.dat" % i
    names.append(name)
    if src and i % 20 != 0:
        shutil.copyfile(os.path.join(src, name), os.path.join(out, name))
    else:
        with open(os.path.join(out, name), "wb") as f:
            f.write(os.urandom(each))
with open(os.path.join(out, "catalog.dat"), "w") as f:
    f.write("[Files]\n" + "".join(n + "\n" for n in names))
    f.write("[Binary Hub Files - Linux]\nvirscan1.dat\n")
    f.write("[Binary Hub Files - Common]\n" + "".join(n + "\n" for n in names[1:]))
EOF
}

echo "Making sets ($files files, $size_mib MiB)..."
make_set "$work/sets/Z" 4 1 >/dev/null
python3 - "$work/sets/Z" <<'EOF'
import os, sys
# The starting store holds a small old set: only its date matters.
d = sys.argv[1]
for n in os.listdir(d):
    if n.startswith("defs"):
        os.remove(os.path.join(d, n))
with open(os.path.join(d, "catalog.dat"), "w") as f:
    f.write("[Files]\nvirscan1.dat\ncatalog.dat\n[Binary Hub Files - Linux]\nvirscan1.dat\n"
            "[Binary Hub Files - Common]\ncatalog.dat\n")
EOF
make_set "$work/sets/A" 3 10
make_set "$work/sets/B" 3 20 "$work/sets/A"
set_bytes=$(du -sb "$work/sets/A" | cut -f1)

calc() { awk "BEGIN {print $*}"; }
publish() { "$build/publisher/qordefpublish" "$@" >/dev/null; }
publish init --repo "$work/repo" --mirror "$work/mirror"
t0=$(date +%s.%N)
publish add --repo "$work/repo" --product "$product" "$work/sets/A"
echo "published A in $(calc "$(date +%s.%N) - $t0") s"
set_a=$(python3 -c 'import sys; b=open(sys.argv[1],"rb").read(11); print("%04d%02d%02d.%03d" % (b[10]+1900, b[8], b[9], b[4]+256*b[5]))' "$work/sets/A/virscan1.dat")

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
user=; [ "$(id -u)" = 0 ] && user="user root;"
cat >"$work/nginx/nginx.conf" <<EOF
$user
daemon off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 64; }
http {
  access_log $work/nginx/access.log;
  client_body_temp_path $work/nginx/tmp/body; proxy_temp_path $work/nginx/tmp/proxy;
  fastcgi_temp_path $work/nginx/tmp/fastcgi; uwsgi_temp_path $work/nginx/tmp/uwsgi;
  scgi_temp_path $work/nginx/tmp/scgi;
  default_type application/octet-stream;
  sendfile on;
  server { listen 127.0.0.1:$port; root $work/mirror; }
}
EOF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" &
ngx_pid=$!
for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$port/" && break; sleep 0.1; done
url=http://127.0.0.1:$port/

export QORDEFUTIL_SANDBOX_TARVOLIX_CONF=$work/etc/Tarvolix.conf
export QORDEFUTIL_SANDBOX_DEFUTILS_CONF=$work/etc/tvlx-defutils.conf
QORDEFUTIL_SANDBOX_GROUP=$(id -gn)
export QORDEFUTIL_SANDBOX_GROUP
export SKYFETCHER_CONFIG=$work/skyfetcher.conf
export LD_LIBRARY_PATH=$build/tools/patchapp
printf '[Tarvolix Shared]\nBaseDir=%s/base\n' "$work" >"$QORDEFUTIL_SANDBOX_TARVOLIX_CONF"
printf 'mirror = %s\ntrusted_root = %s\nstate_dir = %s\n' "$url" "$work/mirror/metadata/1.root.json" \
  "$work/state" >"$SKYFETCHER_CONFIG"
ln -s "$build/client/jsf.jar" "$work/base/Skyfetcher/jsf.jar"
store() { "$build/qordefutil-sandbox" "$@"; }
fresh_store() {
  rm -rf "$work/base/virusdefs" "$work/state/partial" "$work/fetched"
  store -i "$work/sets/Z" >/dev/null
  sync
}
# measure COMMAND...: "ELAPSED CPU" in seconds, CPU being the user and system
# time of the command and everything it started (the machine is shared, so
# elapsed time is noisy; CPU time much less so).
measure() {
  (
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>"$work/last.err" || { cat "$work/last.err" >&2; exit 1; }
    t1=$(date +%s.%N)
    times >"$work/times.out"  # not in a pipeline: that would be a new process
    tail -1 "$work/times.out" | awk -v e="$(calc "$t1 - $t0")" '{
      split($1, u, "m"); split($2, s, "m"); printf "%.3f %.3f\n", e, u[1] * 60 + u[2] + s[1] * 60 + s[2] }'
  )
}
# The baseline: the same files from the same server with one curl process
# (one connection), then an install of the directory.
curl_and_install() {
  mkdir -p "$work/fetched"
  local f base
  (cd "$work/mirror/targets" && find . -path '*/set/*' -type f) | while read -r f; do
    base=${f##*/}
    printf 'url = "%s%s"\noutput = "%s/fetched/%s"\n' "$url" "targets/${f#./}" "$work" "${base#*.}"
  done >"$work/curl.cfg"
  curl -s --fail -K "$work/curl.cfg"
  store -i "$work/fetched"
}
newest() { sed -n 's/^CurDefs=//p' "$work/base/virusdefs/definfo.dat"; }
check_newest() {
  [ "$(newest)" = "$set_a" ] || { echo "the store holds $(newest), not $set_a" >&2; exit 1; }
}
median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }

echo "Full update, $runs runs each, taking turns..."
: >"$work/client.times"
: >"$work/baseline.times"
for i in $(seq "$runs"); do
  fresh_store
  read -r ce cc < <(measure store -l)
  check_newest
  fresh_store
  read -r be bc < <(measure curl_and_install)
  check_newest
  echo "$ce $cc" >>"$work/client.times"
  echo "$be $bc" >>"$work/baseline.times"
  printf '  run %d: client %.2f s (CPU %.2f s), curl + install %.2f s (CPU %.2f s)\n' "$i" "$ce" "$cc" "$be" "$bc"
done
ce=$(cut -d' ' -f1 "$work/client.times" | median)
cc=$(cut -d' ' -f2 "$work/client.times" | median)
be=$(cut -d' ' -f1 "$work/baseline.times" | median)
bc=$(cut -d' ' -f2 "$work/baseline.times" | median)
printf 'median elapsed: client %.2f s, curl + install %.2f s: %.2fx\n' "$ce" "$be" "$(calc "$ce / $be")"
printf 'median CPU:     client %.2f s, curl + install %.2f s: %.2fx\n' "$cc" "$bc" "$(calc "$cc / $bc")"

echo "Peak RSS of the client alone fetching the set..."
rm -rf "$work/state/partial" "$work/alone"
mkdir -p "$work/alone"
rss=$(cd "$work" && QORDEFSDIR=$work/alone CLASSPATH=$build/client/jsf.jar /usr/bin/time -f '%M' \
  java Skyfetcher '[' -p $product -v 1.0 -l English -z 2000010101 -t VirusDef ']' 2>&1 >/dev/null | tail -1)
echo "peak RSS: $((rss / 1024)) MiB"

echo "Microdefs: the store holds A; publishing B (5% of the bytes changed)..."
fresh_store
store -l >/dev/null 2>&1
publish add --repo "$work/repo" --product "$product" "$work/sets/B"
before=$(wc -l <"$work/nginx/access.log")
read -r m _ < <(measure store -m "$product")
moved=$(tail -n +"$((before + 1))" "$work/nginx/access.log" | awk -F'"' '{split($3, a, " "); s += a[2]} END {print s}')
pkg=$(tail -n +"$((before + 1))" "$work/nginx/access.log" | grep -o '[a-z]*-[0-9]*-[0-9]*\.mdp' | head -1)
now=$(newest)
printf 'microdefs: %s, %d bytes transferred (%.2f%% of the %d-byte set), %.2f s; store now at %s\n' \
  "$pkg" "$moved" "$(calc "100 * $moved / $set_bytes")" "$set_bytes" "$m" "$now"
