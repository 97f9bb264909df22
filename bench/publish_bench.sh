#!/usr/bin/env bash
# Publishing benchmark: `qordefpublish add` of a 2,000-file, 256 MiB set
# with packages from its five predecessors, timed against `cp -a` of the
# same set in the same run, plus the mirror's growth for that set and the
# size of every package.
#
# Change model: each set rewrites 1% of the bytes of its predecessor (100 of
# the 2,000 files, each with a fifth of its bytes overwritten in scattered
# runs of 64 to 1087 bytes), so the newest set differs from its fifth
# predecessor by at most 5%. The hub sections list every file, so each
# predecessor gets a direct and a binary hub package.
#
# Usage: bench/publish_bench.sh BUILD_DIR [WORK_DIR]   (WORK_DIR is removed)
set -euo pipefail
build=$(cd "$1" && pwd)
tool=$build/publisher/qordefpublish
work=${2:-$(mktemp -d /tmp/publish-bench.XXXXXX)}
trap 'rm -rf "$work"' EXIT
mkdir -p "$work"

/usr/bin/python3 - "$work" <<'PY'
import os, random, shutil, struct, sys
work = sys.argv[1]
files, size = 2000, (256 << 20) // 2000
names = ["defs%04d.dat" % i for i in range(files)]
def header(day):
    h = bytearray(b"Z" * 32)
    h[4:8] = struct.pack("<I", 1); h[8] = 3; h[9] = day; h[10] = 126
    return bytes(h) + b"main"
def catalog():
    listed = "\n".join(["virscan1.dat", "catalog.dat"] + names) + "\n"
    return ("[Files]\n" + listed + "[Binary Hub Files - Linux]\n" + listed +
            "[Binary Hub Files - Common]\n").encode()
rng = random.Random(7)
prev = None
for n in range(1, 7):
    d = os.path.join(work, "set%d" % n)
    os.makedirs(d)
    if prev is None:
        for name in names:
            with open(os.path.join(d, name), "wb") as f:
                f.write(os.urandom(size))
    else:
        for name in names:
            os.link(os.path.join(prev, name), os.path.join(d, name))
        for name in rng.sample(names, files // 20):
            data = bytearray(open(os.path.join(prev, name), "rb").read())
            changed = 0
            while changed < size // 5:
                run = rng.randrange(64, 1088)
                at = rng.randrange(0, size - run)
                data[at:at + run] = os.urandom(run)
                changed += run
            os.unlink(os.path.join(d, name))
            with open(os.path.join(d, name), "wb") as f:
                f.write(data)
    open(os.path.join(d, "virscan1.dat"), "wb").write(header(n))
    open(os.path.join(d, "catalog.dat"), "wb").write(catalog())
    prev = d
PY

"$tool" init --repo "$work/repo" --mirror "$work/mirror" >/dev/null
for n in 1 2 3 4 5; do
  "$tool" add --repo "$work/repo" --product "Bench Defs" "$work/set$n" >/dev/null
done
sync
set_bytes=$(du -sbL "$work/set6" | cut -f1)
before=$(du -sb "$work/mirror" | cut -f1)

now() { date +%s.%N; }
t0=$(now); cp -a "$work/set6" "$work/copy1"; sync; t1=$(now)
"$tool" add --repo "$work/repo" --product "Bench Defs" "$work/set6" >"$work/add.out"; sync; t2=$(now)
rm -rf "$work/copy1"
t3=$(now); cp -a "$work/set6" "$work/copy2"; sync; t4=$(now)
after=$(du -sb "$work/mirror" | cut -f1)
"$tool" verify --mirror "$work/mirror" 2>/dev/null

/usr/bin/python3 - "$t0" "$t1" "$t2" "$t3" "$t4" "$set_bytes" "$before" "$after" <<'PY'
import sys
t0, t1, t2, t3, t4 = map(float, sys.argv[1:6])
set_bytes, before, after = map(int, sys.argv[6:9])
cp = min(t1 - t0, t4 - t3)
add = t2 - t1
print("set: %d bytes" % set_bytes)
print("cp -a (best of 2): %.2f s; add with 10 packages: %.2f s; ratio %.1fx" % (cp, add, add / cp))
print("mirror growth for the set: %d bytes (%.1f%% of the set)" % (after - before, 100.0 * (after - before) / set_bytes))
PY
grep '^package' "$work/add.out"
