"""The benchmark behind bench/run.sh: corpus, timings (medians), ratios and bench/RESULTS.md."""
import argparse
import datetime
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

CORPUS_BINARY_BYTES = 120 << 20
CORPUS_TEXT_BYTES = 50 << 20
CORPUS_SMALL_FILES = 27000
MANY_FILES = 255 * 256  # the one-folder and the spread trees hold the same files
INI_KEYS = (2000, 20000)  # 20,000 keys: a file of about 1 MiB, the most a device reads
CASES = ("pack", "large", "small", "spread", "flat", "installer", "ini")


def usable(rel):
    """Names a package can hold: UTF-8, no backslash."""
    try:
        rel.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return "\\" not in rel


class Corpus:
    """Copies real files, skipping names that differ only in letter case (the device's file
    system would merge them) and empty files (a package cannot hold them)."""

    def __init__(self, root):
        self.root = root
        self.folded = {}
        self.bytes = 0
        self.files = 0

    def add(self, src, rel):
        parts = rel.split("/")
        folded = ["/".join(parts[:i]).lower() for i in range(1, len(parts) + 1)]
        # A directory must fold to the same spelling every time, and a file to a new one.
        for i, name in enumerate(folded[:-1]):
            spelled = "/".join(parts[:i + 1])
            if self.folded.get(name, spelled) != spelled:
                return False
        if folded[-1] in self.folded:
            return False
        for i, name in enumerate(folded):
            self.folded[name] = "/".join(parts[:i + 1]) if i < len(folded) - 1 else None
        dst = os.path.join(self.root, rel)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        try:
            shutil.copyfile(src, dst)
        except OSError:
            return False
        self.bytes += os.path.getsize(dst)
        self.files += 1
        return True


def walk(top, minimum, maximum):
    for base, dirs, files in os.walk(top):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(base, name)
            if os.path.islink(path) or not os.path.isfile(path):
                continue
            try:
                size = os.path.getsize(path)
                if minimum <= size <= maximum and os.access(path, os.R_OK):
                    yield path, size
            except OSError:
                continue


def fill(root, plan):
    corpus = Corpus(root)
    for label, tops, low, high, byte_budget, file_budget in plan:
        start_bytes, start_files = corpus.bytes, corpus.files
        for top in tops:
            for path, size in walk(top, low, high):
                if byte_budget and corpus.bytes - start_bytes + size > byte_budget:
                    continue
                if file_budget and corpus.files - start_files >= file_budget:
                    break
                rel = label + "/" + os.path.relpath(path, "/usr")
                if usable(rel):
                    corpus.add(path, rel)
                if byte_budget and corpus.bytes - start_bytes >= byte_budget * 0.99:
                    break
    return corpus


def make_corpora(work):
    """The large-file corpus (binaries and text) and the small-file corpus, real files each."""
    large = os.path.join(work, "large")
    small = os.path.join(work, "small")
    done = os.path.join(work, "corpora.done")
    if not os.path.exists(done):
        for root in (large, small):
            shutil.rmtree(root, ignore_errors=True)
        fill(large, [("bin", ["/usr/bin", "/usr/lib"], 4096, 16 << 20, CORPUS_BINARY_BYTES, None),
                     ("text", ["/usr/share"], 8192, 2 << 20, CORPUS_TEXT_BYTES, None)])
        fill(small, [("small", ["/usr/share", "/usr/include", "/usr/lib"], 1, 8191, None,
                      CORPUS_SMALL_FILES)])
        open(done, "w").write("done\n")
    return large, small


def make_many(work):
    """The same 65,280 small files twice: spread over 255 folders of 256 (with the folders'
    own entries 65,535 entries, the most a package holds) and all in one folder."""
    spread = os.path.join(work, "spread")
    flat = os.path.join(work, "flat")
    if os.path.exists(os.path.join(work, "many.done")):
        return spread, flat
    for root in (spread, flat):
        shutil.rmtree(root, ignore_errors=True)
    os.makedirs(os.path.join(flat, "tiles"))
    for d in range(255):
        base = os.path.join(spread, "d%03d" % d)
        os.makedirs(base)
        for f in range(256):
            text = "entry %d of directory %d\n" % (f, d)
            for path in (os.path.join(base, "f%03d.txt" % f),
                         os.path.join(flat, "tiles", "d%03d-f%03d.txt" % (d, f))):
                with open(path, "w") as out:
                    out.write(text)
    open(os.path.join(work, "many.done"), "w").write("%d\n" % MANY_FILES)
    return spread, flat


def tree_size(root):
    files = total = 0
    for base, _, names in os.walk(root):
        for name in names:
            files += 1
            total += os.path.getsize(os.path.join(base, name))
    return files, total


def drop_caches():
    try:
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3\n")
    except OSError:
        pass  # not root: the caches stay as they are


def read_through(paths):
    for path in paths:
        with open(path, "rb") as f:
            while f.read(1 << 20):
                pass


def timed(command, runs, before=None, stdout=subprocess.DEVNULL, cwd=None, warm=None,
          timeout=None):
    """Median wall time of `runs` runs; `before` runs untimed ahead of every run. With `warm`
    (files), every run starts with the caches dropped and those files read back in: the input
    comes from memory, while no run inherits the directory caches or the write-back of the
    files another run made. A run past `timeout` ends the measurement (median None)."""
    times = []
    for _ in range(runs):
        if before:
            before()
        os.sync()
        if warm is not None:
            drop_caches()
            read_through(warm)
        start = time.perf_counter()
        try:
            if isinstance(command, str):
                subprocess.run(command, shell=True, check=True, stdout=stdout, cwd=cwd,
                               timeout=timeout)
            else:
                subprocess.run(command, check=True, stdout=stdout, cwd=cwd, timeout=timeout)
        except subprocess.TimeoutExpired:
            print("  %s: over %d s, stopped" % (command, timeout), flush=True)
            return None, times + [float(timeout)]
        times.append(time.perf_counter() - start)
    print("  %-60s %s" % (command if isinstance(command, str) else " ".join(
        os.path.basename(c) for c in command), " ".join("%.2f" % t for t in times)), flush=True)
    return statistics.median(times), times


def remover(*paths, make=False):
    """Removes the paths (and makes them again as empty directories with make=True)."""
    def clean():
        for path in paths:
            if os.path.isdir(path):
                shutil.rmtree(path)
            elif os.path.exists(path):
                os.remove(path)
            if make:
                os.makedirs(path)
    return clean


def cpu_model():
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def installer(qzp, qzpupdate, standin, large, work, tmpfs, runs, rows):
    """A full update of the large corpus by qzpupdate on a fresh device image."""
    print("== installer: full update of the large corpus on a device image")
    source = os.path.join(work, "device-source")
    if not os.path.isdir(source):
        subprocess.run(["cp", "-al", large, source], check=True)
        os.makedirs(os.path.join(source, "VORIZ"))
        subprocess.run([qzp, "ini", "set", os.path.join(source, "VORIZ", "INDEX.INI"), "Config",
                        "SoftwareVersion", "2.0"], check=True, stdout=subprocess.DEVNULL)
    device_pkg = os.path.join(work, "device.qzp")
    subprocess.run([qzp, "pack", source, device_pkg], check=True, stdout=subprocess.DEVNULL)
    for fs, base in (("tmpfs", tmpfs), ("disk", work)):
        device = os.path.join(base, "qzp-bench-device")

        def fresh_device(device=device):
            remover(device)()
            for sub in ("SDMMC", "ResidentFlash2", "Windows"):
                os.makedirs(os.path.join(device, sub))
            shutil.copyfile(device_pkg, os.path.join(device, "SDMMC", "VORIZ.QZP"))
            shutil.copyfile(standin, os.path.join(device, "Windows", "velmorin.dll"))

        name = "installer: %s: qzpupdate (check, purge, extract)" % fs
        rows[name] = timed([qzpupdate, "--device", device, "--ui", "headless", "--answer", "ok",
                            "--time-scale", "0"], runs, before=fresh_device,
                           warm=[os.path.join(device, "SDMMC", "VORIZ.QZP")])
        extracted = os.path.join(device, "ResidentFlash2")
        subprocess.run(["diff", "-r", "-q", os.path.join(extracted, "bin"),
                        os.path.join(large, "bin")], check=True)
        remover(device)()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--tmpfs", default="/dev/shm")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--results", required=True)
    parser.add_argument("--crc", default="zlib")
    # qzp on one folder of 65,280 files is stopped after this many seconds.
    parser.add_argument("--flat-timeout", type=int, default=90)
    parser.add_argument("--cases", default=",".join(CASES),
                        help="comma-separated subset of: " + ", ".join(CASES))
    args = parser.parse_args()
    cases = args.cases.split(",")
    if not cases or any(case not in CASES for case in cases):
        parser.error("--cases takes a comma-separated subset of: " + ", ".join(CASES))
    qzp = os.path.abspath(os.path.join(args.bin, "qzp"))
    qzpupdate = os.path.abspath(os.path.join(args.bin, "qzpupdate"))
    standin = os.path.abspath(os.path.join(args.bin, "velmorin_standin.so"))
    baseline = os.path.abspath(os.path.join(args.bin, "zlib_baseline"))
    sevenzip = shutil.which("7z") or shutil.which("7zz")
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    runs = args.runs
    jobs = os.cpu_count()
    load_before = os.getloadavg()
    began = time.perf_counter()
    rows = {}     # name -> (median or None, runs)
    ratios = []   # (name, value or None, target)

    def m(name):
        return rows[name][0] if name in rows else None

    def ratio(name, top, bottom, target):
        value = None if m(top) is None or m(bottom) is None else m(top) / m(bottom)
        ratios.append((name, value, target))

    print("== corpora")
    large, small = make_corpora(work)
    spread, flat = make_many(work)
    corpora = [("large", large), ("small", small), ("spread", spread), ("flat", flat)]
    described = {}
    for label, root in corpora:
        described[label] = tree_size(root)
        print("%s: %d files, %.1f MB" % (label, described[label][0], described[label][1] / 1e6))

    pkg = {label: os.path.join(work, label + ".qzp") for label, _ in corpora}
    zips = {label: os.path.join(work, label + ".zip") for label, _ in corpora}
    if "pack" in cases:
        print("== packing (large corpus)")
        tarfile = os.path.join(work, "large.tar")
        rows["pack: qzp pack --jobs 1"] = timed(
            [qzp, "pack", "--no-manifest", "--jobs", "1", large, pkg["large"]], runs)
        rows["pack: qzp pack --jobs %d" % jobs] = timed(
            [qzp, "pack", "--no-manifest", "--jobs", str(jobs), large, pkg["large"]], runs)
        rows["pack: zip -6 -r"] = timed(["zip", "-6", "-r", "-q", zips["large"], "."], runs,
                                        before=remover(zips["large"]), cwd=large)
        subprocess.run(["tar", "-cf", tarfile, "-C", large, "."], check=True)
        rows["pack: pigz -6 -p %d (tar)" % jobs] = timed(
            "pigz -6 -p %d -c '%s' > '%s.gz'" % (jobs, tarfile, tarfile), runs)
    for label, root in corpora:
        if label in cases and (label != "large" or "pack" not in cases):
            subprocess.run([qzp, "pack", "--no-manifest", root, pkg[label]], check=True,
                           stdout=subprocess.DEVNULL)
            remover(zips[label])()
            subprocess.run(["zip", "-6", "-r", "-q", zips[label], "."], check=True, cwd=root)

    for label, root in corpora:
        if label not in cases:
            continue
        print("== %s corpus" % label)
        p, z = pkg[label], zips[label]
        prefix = label + ": "
        rows[prefix + "decode limit (zlib, 1 thread, in memory)"] = timed(
            [baseline, "--decode-only", p], runs, warm=[p])
        rows[prefix + "qzp verify --jobs 1"] = timed([qzp, "verify", "--jobs", "1", p], runs,
                                                      warm=[p])
        rows[prefix + "qzp verify"] = timed([qzp, "verify", p], runs, warm=[p])
        for fs, base in (("tmpfs", args.tmpfs), ("disk", work)):
            out = os.path.join(base, "qzp-bench-out")
            # A guard for one folder of 65,280 files, should lookups ever grow with its size.
            limit = args.flat_timeout if label == "flat" else None
            name = "%s%s: " % (prefix, fs)
            rows[name + "plain extractor (zlib + open/write/close)"] = timed(
                [baseline, p, out], runs, before=remover(out, make=True), warm=[p])
            rows[name + "qzp extract --jobs 1"] = timed(
                [qzp, "extract", "--jobs", "1", p, out], runs, before=remover(out), warm=[p],
                timeout=limit)
            rows[name + "qzp extract"] = timed([qzp, "extract", p, out], runs,
                                               before=remover(out), warm=[p], timeout=limit)
            if m(name + "qzp extract") is not None:
                subprocess.run(["diff", "-r", "-q", root, out], check=True)
            rows[name + "unzip -q"] = timed(["unzip", "-q", z, "-d", out], runs,
                                            before=remover(out), warm=[z])
            rows[name + "bsdtar -xf"] = timed(["bsdtar", "-xf", z, "-C", out], runs,
                                              before=remover(out, make=True), warm=[z])
            rows[name + "7z x"] = timed([sevenzip, "x", "-y", "-bso0", "-bsp0", "-o" + out, z],
                                        runs, before=remover(out), warm=[z])
            remover(out)()

    if "installer" in cases:
        installer(qzp, qzpupdate, standin, large, work, args.tmpfs, runs, rows)
    if "ini" in cases:
        print("== INI load")
        # The load alone, timed in process from memory (a whole `qzp ini get` run is dominated by
        # process start-up at 10,000 keys), one load per process (ini_load_bench.cpp says why).
        # The sizes take turns, so that a change in the machine's load falls on all of them alike.
        # A load takes a few milliseconds, and a shared machine's speed can differ by half from
        # one process to the next: each median is of many turns.
        loader = os.path.join(os.path.dirname(qzp), "ini_load_bench")
        loads = {keys: [] for keys in INI_KEYS}
        for _ in range(max(runs, 101)):
            for keys in INI_KEYS:
                loads[keys].append(float(subprocess.run(
                    [loader, str(keys)], check=True, stdout=subprocess.PIPE, text=True).stdout))
        for keys, times in loads.items():
            print("  %-60s %s" % ("ini_load_bench %d" % keys, " ".join("%.4f" % t for t in times)))
            rows["ini: load in process, %d keys" % keys] = (statistics.median(times), times)

    for fs in ("tmpfs", "disk"):
        big = "large: %s: " % fs
        ratio("large %s: qzp extract / decode limit" % fs, big + "qzp extract",
              "large: decode limit (zlib, 1 thread, in memory)", "<= 0.75")
        ratio("large %s: qzp extract --jobs 1 / decode limit" % fs, big + "qzp extract --jobs 1",
              "large: decode limit (zlib, 1 thread, in memory)", "<= 1.1")
        ratio("large %s: qzp extract / unzip" % fs, big + "qzp extract", big + "unzip -q", "<= 0.5")
        ratio("large %s: qzp extract / bsdtar" % fs, big + "qzp extract", big + "bsdtar -xf", "< 1")
        few = "small: %s: " % fs
        ratio("small %s: qzp extract / plain extractor" % fs, few + "qzp extract",
              few + "plain extractor (zlib + open/write/close)", "<= 1.1")
        ratio("small %s: qzp extract / unzip" % fs, few + "qzp extract", few + "unzip -q", "<= 0.4")
        ratio("65,280 files %s: one folder / 255 folders (qzp extract)" % fs,
              "flat: %s: qzp extract" % fs, "spread: %s: qzp extract" % fs, "<= 1.5")
        ratio("65,280 files %s: one folder / 255 folders (plain extractor)" % fs,
              "flat: %s: plain extractor (zlib + open/write/close)" % fs,
              "spread: %s: plain extractor (zlib + open/write/close)" % fs, "(info)")
    for label in ("large", "small"):
        ratio("%s: qzp verify / decode limit" % label, "%s: qzp verify" % label,
              "%s: decode limit (zlib, 1 thread, in memory)" % label, "<= 0.55")
    ratio("ini: 20,000 keys / 2,000 keys", "ini: load in process, 20000 keys",
          "ini: load in process, 2000 keys", "<= 10")
    ratio("pack: speed-up, %d jobs over 1" % jobs, "pack: qzp pack --jobs 1",
          "pack: qzp pack --jobs %d" % jobs, "(info)")

    elapsed = time.perf_counter() - began
    load_after = os.getloadavg()
    lines = []
    lines.append("# Benchmark results")
    lines.append("")
    lines.append("Produced by `bash bench/run.sh` (`BENCH_RUNS=%d`: medians of %d runs; qzp on the "
                 "one-folder tree is stopped after %d s)." % (runs, runs, args.flat_timeout))
    lines.append("")
    lines.append("- Date: %s" % datetime.datetime.now().strftime("%Y-%m-%d %H:%M"))
    lines.append("- Machine: %s, nproc %d, %s" % (cpu_model(), jobs, platform.platform()))
    lines.append("- Load average before / after: %.2f / %.2f (wall-clock times; a load well above "
                 "the number of processors means other work shared the cores)" %
                 (load_before[0], load_after[0]))
    lines.append("- qzp's block decoder: zlib; CRC-32: %s; tmpfs: %s; disk: %s; whole run %.0f s" % (
        args.crc, args.tmpfs, work, elapsed))
    lines.append("- Cases: %s" % ", ".join(cases))
    for label, _ in corpora:
        if label in cases:
            lines.append("- %s: %d files, %.1f MB, package %.1f MB, zip %.1f MB" % (
                label, described[label][0], described[label][1] / 1e6,
                os.path.getsize(pkg[label]) / 1e6, os.path.getsize(zips[label]) / 1e6))
    lines.append("")
    lines.append("| Operation | Median (s) | Runs (s) |")
    lines.append("|---|---:|---|")
    for name, (median, times) in rows.items():
        shown = "%.3f" % median if median is not None else "> %d" % args.flat_timeout
        lines.append("| %s | %s | %s |" % (name, shown, " ".join(
            ("%.2f" if t >= 0.1 else "%.4f") % t for t in times)))
    lines.append("")
    lines.append("| Ratio | Value | Target |")
    lines.append("|---|---:|---|")
    for name, value, target in ratios:
        lines.append("| %s | %s | %s |" % (name, "%.2f" % value if value is not None else "-",
                                           target))
    lines.append("")
    lines.append("How it is measured: the decode limit is `zlib_baseline --decode-only` (the whole "
                 "package in memory, zlib's `uncompress` and `crc32` over every block on one "
                 "thread, nothing written); the plain extractor is `zlib_baseline PACKAGE DIR`, "
                 "the same plus `open`/`write`/`close` per file. Every extraction run starts after "
                 "`sync` with the caches dropped (as root) and its archive read back into memory, "
                 "so inputs come from memory and no run inherits another's directory caches or "
                 "write-back. zip archives are `zip -6 -r`; the installer row is a whole "
                 "`qzpupdate` run on a fresh device image (the package's check, the purge and the "
                 "extraction into `\\ResidentFlash2\\`); the INI rows are `ini_load_bench`: one "
                 "section of KEYS lines loaded from memory into a fresh table, the load alone "
                 "timed in process, one load per process, the sizes taking turns, median of 101 "
                 "processes or more.")
    text = "\n".join(lines) + "\n"
    print(text)
    with open(args.results, "w") as out_file:
        out_file.write(text)


if __name__ == "__main__":
    sys.exit(main())
