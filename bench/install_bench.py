#!/usr/bin/env python3
"""Whole-command benchmarks of the store's install paths.

Runs the release build's qordefutil-sandbox against a throw-away sandbox
store and measures, on tmpfs and on the disk:

  install   -i of a 2,000-file / 256 MiB set against `cp -a --reflink=never`
            of the same set, taking turns in the same run (median of --runs);
  scaling   -i with 64 MiB spread over 200 and 2,000 files (and 20,000 with
            --large): time per file, and its growth against 200 files;
  update    -l (the update client stand-in copies a new 2,000-file set) onto
            a store holding a 2,000-file set: bytes written by the command
            and its children, as a multiple of the new set's size;
  memory    peak RSS of every command (-i, -n, -g, -l, -r, -u) on the
            2,000-file sets (and the 20,000-file sets with --large).

Bytes written come from the wchar counter of /proc/self/io: the kernel adds
a reaped child's counters (its own children's included) to its parent, and
copy_file_range counts there as well as write. Peak RSS is GNU time's
figure: the largest of the command and its waited-for children (for -l the
update client stand-in, which stays far smaller).

--quick runs small sets on tmpfs only, checks the figures that do not depend
on the machine's load (bytes written by -l at most 2x the set, its hub file
and bookkeeping aside; peak RSS at most 6 MiB) and exits 1 when one is
exceeded; the test script runs it.

Needs python3, GNU time (/usr/bin/time) and, for --syscalls, strace.

Usage: bench/install_bench.py [--build build/release] [--where tmpfs,disk]
       [--runs 3] [--large] [--only install,scaling,update,syscalls] [--quick]
"""

import argparse
import os
import resource
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

MIB = 1 << 20
RSS_LIMIT_KIB = 6 * 1024
BYTES_LIMIT = 2.0


def die(message):
    print(message, file=sys.stderr)
    sys.exit(2)


def fs_type(path):
    out = subprocess.run(["df", "--output=fstype", path], capture_output=True, text=True)
    lines = out.stdout.split()
    return lines[-1] if len(lines) > 1 else "unknown"


def header(year, month, day, revision):
    """32-byte header that dates a set: revision at 4, month, day, year-1900 at 8..10."""
    return b"\0" * 4 + struct.pack("<I", revision) + bytes([month, day, year - 1900]) + b"\0" * 21


def make_set(path, files, total_bytes, date, seed):
    """A flat set: virscan1.dat, files - 2 data files and catalog.dat listing all of them."""
    os.makedirs(path)
    block = (bytes([seed & 255]) + os.urandom(4095)) * 256  # 1 MiB
    names = ["defs%05d.dat" % i for i in range(files - 2)]
    size = max(1, total_bytes // files)
    with open(os.path.join(path, "virscan1.dat"), "wb") as f:
        f.write(header(*date) + block[: size - 32])
    for i, name in enumerate(names):
        with open(os.path.join(path, name), "wb") as f:
            left = size
            offset = (i * 4099) % MIB
            while left > 0:
                piece = block[offset : offset + left]
                f.write(piece)
                left -= len(piece)
                offset = 0
    with open(os.path.join(path, "catalog.dat"), "w") as f:
        f.write("[Files]\nvirscan1.dat\ncatalog.dat\n")
        f.writelines(name + "\n" for name in names)
        f.write("[Binary Hub Files - Linux]\nvirscan1.dat\n")
    return sum(os.path.getsize(os.path.join(path, n)) for n in os.listdir(path))


def read_io():
    counters = {}
    with open("/proc/self/io") as f:
        for line in f:
            key, value = line.split(":")
            counters[key] = int(value)
    return counters


class Sandbox:
    """Configuration files and a base directory below root, and the environment for them."""

    def __init__(self, root, build):
        self.root = root
        self.base = os.path.join(root, "base")
        self.defs = os.path.join(self.base, "virusdefs")
        etc = os.path.join(root, "etc")
        os.makedirs(etc, exist_ok=True)
        conf = os.path.join(etc, "Tarvolix.conf")
        with open(conf, "w") as f:
            f.write("[Tarvolix Shared]\nBaseDir=%s\n" % self.base)
        self.env = dict(os.environ)
        self.env.update(
            {
                "QORDEFUTIL_SANDBOX_TARVOLIX_CONF": conf,
                "QORDEFUTIL_SANDBOX_DEFUTILS_CONF": os.path.join(etc, "tvlx-defutils.conf"),
                "QORDEFUTIL_SANDBOX_GROUP": subprocess.run(
                    ["id", "-gn"], capture_output=True, text=True
                ).stdout.strip(),
                "PATH": os.path.join(build, "tests", "fake-java-bin") + ":" + os.environ["PATH"],
            }
        )
        self.env.pop("FAKE_JAVA_COPY_FROM", None)

    def clear(self):
        shutil.rmtree(self.base, ignore_errors=True)


class Run:
    def __init__(self, seconds, cpu, rss_kib, written, disk_written, status):
        self.seconds = seconds
        self.cpu = cpu
        self.rss_kib = rss_kib
        self.written = written
        self.disk_written = disk_written
        self.status = status


def run(argv, env, timeout):
    """Runs argv to completion (killed after timeout seconds) and measures it."""
    # Peak RSS through GNU time: a process started straight from this one
    # would report this interpreter's own peak, which its exec carries over.
    with tempfile.NamedTemporaryFile("r") as rss:
        timed = ["/usr/bin/time", "-f", "%M", "-o", rss.name, *argv]
        result = run_untimed(timed, env, timeout)
        text = rss.read().split()
        result.rss_kib = int(text[-1]) if text and text[-1].isdigit() else 0
    return result


def run_untimed(argv, env, timeout):
    before = read_io()
    start = time.perf_counter()
    child = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    done = threading.Event()

    def kill():
        if not done.is_set():
            os.kill(child.pid, signal.SIGKILL)

    timer = threading.Timer(timeout, kill)
    timer.start()
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    done.set()
    timer.cancel()
    child.returncode = 0  # reaped above; keep Popen from waiting again
    after = read_io()
    if os.WIFSIGNALED(status):
        print("  %s: killed after %d s" % (" ".join(argv[:2]), timeout), file=sys.stderr)
    return Run(
        seconds,
        usage.ru_utime + usage.ru_stime,
        usage.ru_maxrss,
        after["wchar"] - before["wchar"],
        after["write_bytes"] - before["write_bytes"],
        os.waitstatus_to_exitcode(status),
    )


def settle():
    # Dirty pages of the previous run would otherwise be written back while
    # the next one is timed.
    os.sync()


class Bench:
    def __init__(self, args, scratch):
        self.args = args
        self.fs = fs_type(scratch)
        self.where = "%s %s" % (self.fs, scratch)
        self.scratch = scratch
        self.tool = os.path.join(args.build, "qordefutil-sandbox")
        self.sandbox = Sandbox(os.path.join(scratch, "sandbox"), args.build)
        self.sets = os.path.join(scratch, "sets")
        os.makedirs(self.sets)
        self.failures = []

    def qdu(self, *options, env=None):
        r = run([self.tool, *options], env or self.sandbox.env, self.args.timeout)
        if r.status != 0:
            print("  qordefutil %s exited %d" % (" ".join(options), r.status), file=sys.stderr)
        return r

    def cp(self, source):
        target = os.path.join(self.scratch, "cp-target")
        shutil.rmtree(target, ignore_errors=True)
        settle()
        r = run(["cp", "-a", "--reflink=never", source, target], self.sandbox.env, self.args.timeout)
        shutil.rmtree(target, ignore_errors=True)
        return r

    def install(self, source):
        self.sandbox.clear()
        settle()
        return self.qdu("-i", source)

    def set_path(self, files, total, date, seed):
        path = os.path.join(self.sets, "%d-%d-%d" % (files, total, seed))
        if not os.path.isdir(path):
            size = make_set(path, files, total, date, seed)
            with open(path + ".size", "w") as f:
                f.write(str(size))
        with open(path + ".size") as f:
            return path, int(f.read())

    def versus_cp(self, source, runs):
        installs, copies = [], []
        for _ in range(runs):
            copies.append(self.cp(source))
            installs.append(self.install(source))
        return installs, copies

    def report(self, text):
        load = os.getloadavg()[0]
        print("[%s, load %.1f] %s" % (self.where, load, text), flush=True)

    def check(self, ok, text):
        if not ok:
            self.failures.append("[%s] %s" % (self.where, text))

    # --- the benchmarks -------------------------------------------------

    def bench_install(self):
        source, size = self.set_path(2000, 256 * MIB, (2024, 5, 10, 1), 1)
        installs, copies = self.versus_cp(source, self.args.runs)
        i = statistics.median(r.seconds for r in installs)
        c = statistics.median(r.seconds for r in copies)
        icpu = statistics.median(r.cpu for r in installs)
        ccpu = statistics.median(r.cpu for r in copies)
        self.report(
            "install 2000 files, %d MiB: -i %.3f s (cpu %.3f), cp -a %.3f s (cpu %.3f): "
            "%.2fx time, %.2fx cpu (ratios per run: %s)"
            % (
                size // MIB,
                i,
                icpu,
                c,
                ccpu,
                i / c,
                icpu / max(ccpu, 1e-6),
                " ".join("%.2f" % (a.seconds / b.seconds) for a, b in zip(installs, copies)),
            )
        )

    def bench_scaling(self):
        counts = [200, 2000] + ([20000] if self.args.large else [])
        per_file = {}
        for files in counts:
            source, _ = self.set_path(files, 64 * MIB, (2024, 5, 10, 1), 2)
            runs = 1 if files == 20000 else self.args.runs
            installs, copies = self.versus_cp(source, runs)
            i = statistics.median(r.seconds for r in installs)
            c = statistics.median(r.seconds for r in copies)
            per_file[files] = i / files
            self.report(
                "scaling %5d files, 64 MiB: -i %.3f s = %.1f us/file (cpu %.3f s), "
                "cp -a %.3f s: %.2fx; per file %.2fx that at 200 files"
                % (
                    files,
                    i,
                    1e6 * i / files,
                    statistics.median(r.cpu for r in installs),
                    c,
                    i / c,
                    per_file[files] / per_file[200],
                )
            )

    def bench_update_and_memory(self, files, total):
        old, _ = self.set_path(files, total, (2024, 5, 10, 1), 3)
        new, new_size = self.set_path(files, total, (2024, 5, 11, 1), 4)
        self.sandbox.clear()
        rss = {}
        rss["-i"] = self.qdu("-i", old).rss_kib
        rss["-n"] = self.qdu("-n", "benchapp").rss_kib
        rss["-g"] = self.qdu("-g", "benchapp").rss_kib
        env = dict(self.sandbox.env, FAKE_JAVA_COPY_FROM=new)
        settle()
        update = self.qdu("-l", env=env)
        rss["-l"] = update.rss_kib
        rss["-r"] = self.qdu("-r").rss_kib
        rss["-u"] = self.qdu("-u", "benchapp").rss_kib
        ratio = update.written / new_size
        # Beyond the two copies of the set: its hub file (virscan1.dat, see
        # make_set) copied into the binary hub, and the bookkeeping files.
        allowance = os.path.getsize(os.path.join(new, "virscan1.dat")) + 64 * 1024
        disk = ""
        if self.fs != "tmpfs":
            disk = ", %.2fx reached the block layer" % (update.disk_written / new_size)
        self.report(
            "update %d files onto %d files, %d MiB each: -l %.3f s, wrote %.1f MiB = %.3fx the set%s"
            % (files, files, new_size // MIB, update.seconds, update.written / MIB, ratio, disk)
        )
        self.report(
            "peak RSS, %d-file sets: %s"
            % (files, ", ".join("%s %.1f MiB" % (k, v / 1024) for k, v in rss.items()))
        )
        self.check(
            update.written <= BYTES_LIMIT * new_size + allowance,
            "-l wrote %.3fx the set (limit %.1fx and the hub file)" % (ratio, BYTES_LIMIT),
        )
        for option, kib in rss.items():
            self.check(kib <= RSS_LIMIT_KIB, "%s peak RSS %.1f MiB (limit 6 MiB)" % (option, kib / 1024))

    def bench_syscalls(self):
        source, _ = self.set_path(2000, 256 * MIB, (2024, 5, 10, 1), 1)
        if shutil.which("strace") is None:
            self.report("syscalls: strace not installed, skipped")
            return
        counts = {}
        for name, argv in (
            ("-i", ["strace", "-f", "-c", "-o", "%s", self.tool, "-i", source]),
            ("cp", ["strace", "-f", "-c", "-o", "%s", "cp", "-a", "--reflink=never", source]),
        ):
            out = os.path.join(self.scratch, "strace.txt")
            argv = [a.replace("%s", out) for a in argv]
            if name == "cp":
                argv.append(os.path.join(self.scratch, "cp-target"))
            self.sandbox.clear()
            shutil.rmtree(os.path.join(self.scratch, "cp-target"), ignore_errors=True)
            subprocess.run(argv, env=self.sandbox.env, stdout=subprocess.DEVNULL)
            with open(out) as f:
                total = [line.split() for line in f if line.rstrip().endswith("total")]
            # "% time, seconds, usecs/call, calls, [errors,] total"
            counts[name] = int(total[-1][3]) if total else 0
        self.report(
            "syscalls for 2000 files: -i %d (%.1f per file), cp -a %d (%.1f per file)"
            % (counts["-i"], counts["-i"] / 2000, counts["cp"], counts["cp"] / 2000)
        )


def scratch_root(where, args):
    if where == "tmpfs":
        base = args.tmpfs_dir
    else:
        base = args.disk_dir
    if not os.path.isdir(base):
        die("no directory %s for the %s runs" % (base, where))
    return tempfile.mkdtemp(prefix="qdu-install-bench-", dir=base)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    parser.add_argument("--build", default="build/release")
    parser.add_argument("--where", default="tmpfs,disk")
    parser.add_argument("--tmpfs-dir", default="/dev/shm")
    parser.add_argument("--disk-dir", default=os.environ.get("QDU_BENCH_DISK_DIR", "/var/tmp"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--timeout", type=int, default=900, help="seconds per command")
    parser.add_argument("--large", action="store_true", help="also the 20,000-file sets")
    parser.add_argument(
        "--only", default="install,scaling,update", help="any of install,scaling,update,syscalls"
    )
    parser.add_argument("--syscalls", action="store_true", help="same as adding syscalls to --only")
    parser.add_argument("--quick", action="store_true", help="small sets, tmpfs, check limits")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    if not os.access(os.path.join(args.build, "qordefutil-sandbox"), os.X_OK):
        die("no qordefutil-sandbox in %s: build first" % args.build)

    only = set(args.only.split(",")) | ({"syscalls"} if args.syscalls else set())
    places = args.where.split(",")
    if args.quick:
        only = set()
        places = ["tmpfs" if os.path.isdir(args.tmpfs_dir) else "disk"]
    failures = []
    for where in places:
        scratch = scratch_root(where, args)
        try:
            bench = Bench(args, scratch)
            if args.quick:
                bench.bench_update_and_memory(2000, 2 * MIB)
            if "install" in only:
                bench.bench_install()
            if "scaling" in only:
                bench.bench_scaling()
            if "update" in only:
                bench.bench_update_and_memory(2000, 64 * MIB)
                if args.large:
                    bench.bench_update_and_memory(20000, 64 * MIB)
            if "syscalls" in only:
                bench.bench_syscalls()
            failures += bench.failures
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
    for failure in failures:
        print("over the limit: " + failure)
    return 1 if failures and args.quick else 0


if __name__ == "__main__":
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    sys.exit(main())
