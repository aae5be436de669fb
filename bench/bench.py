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
CORPUS_SMALL_FILES = 21000


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


def make_corpus(work):
    root = os.path.join(work, "corpus")
    done = os.path.join(work, "corpus.done")
    if os.path.exists(done):
        return root
    shutil.rmtree(root, ignore_errors=True)
    corpus = Corpus(root)
    plan = [("bin", ["/usr/bin", "/usr/lib"], 4096, 16 << 20, CORPUS_BINARY_BYTES, None),
            ("text", ["/usr/share"], 8192, 2 << 20, CORPUS_TEXT_BYTES, None),
            ("small", ["/usr/share"], 1, 8191, None, CORPUS_SMALL_FILES)]
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
    open(done, "w").write("%d files, %d bytes\n" % (corpus.files, corpus.bytes))
    return root


def make_many(work):
    """255 directories of 256 small files: 65,535 entries, the most a package holds."""
    root = os.path.join(work, "many")
    if os.path.exists(os.path.join(work, "many.done")):
        return root
    shutil.rmtree(root, ignore_errors=True)
    for d in range(255):
        base = os.path.join(root, "d%03d" % d)
        os.makedirs(base)
        for f in range(256):
            with open(os.path.join(base, "f%03d.txt" % f), "w") as out:
                out.write("entry %d of directory %d\n" % (f, d))
    open(os.path.join(work, "many.done"), "w").write("65535\n")
    return root


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
        pass  # not root: the page cache stays warm between runs


def timed(command, runs, before=None, stdout=subprocess.DEVNULL, cwd=None, cold=False):
    """Median wall time of `runs` runs; `before` runs untimed ahead of every run."""
    times = []
    for _ in range(runs):
        if before:
            before()
        # What earlier runs wrote is written back first, so no run pays for another's files.
        # Extractions also start with the caches dropped (as root): the directory cache that
        # deleting and re-creating thousands of files leaves behind otherwise slows every later
        # run by a different amount. Packing reads its sources from the page cache.
        os.sync()
        if cold:
            drop_caches()
        start = time.perf_counter()
        if isinstance(command, str):
            subprocess.run(command, shell=True, check=True, stdout=stdout, cwd=cwd)
        else:
            subprocess.run(command, check=True, stdout=stdout, cwd=cwd)
        times.append(time.perf_counter() - start)
    print("  %-50s %s" % (command if isinstance(command, str) else " ".join(
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--results", required=True)
    args = parser.parse_args()
    qzp = os.path.abspath(os.path.join(args.bin, "qzp"))
    baseline = os.path.abspath(os.path.join(args.bin, "zlib_baseline"))
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    runs = args.runs
    load_before = os.getloadavg()
    began = time.perf_counter()

    print("== corpus")
    corpus = make_corpus(work)
    many = make_many(work)
    files, total = tree_size(corpus)
    print("corpus: %d files, %.1f MB" % (files, total / 1e6))

    pkg = os.path.join(work, "corpus.qzp")
    zipfile = os.path.join(work, "corpus.zip")
    tarfile = os.path.join(work, "corpus.tar")
    out = os.path.join(work, "out")
    rows = {}

    print("== packing")
    rows["qzp pack --jobs 1"] = timed([qzp, "pack", "--no-manifest", "--jobs", "1", corpus, pkg], runs)
    rows["qzp pack --jobs 2"] = timed([qzp, "pack", "--no-manifest", "--jobs", "2", corpus, pkg], runs)
    rows["zip -6 -r"] = timed(["zip", "-6", "-r", "-q", zipfile, "corpus"], runs,
                              before=remover(zipfile), cwd=work)
    subprocess.run(["tar", "-cf", tarfile, "-C", work, "corpus"], check=True)
    rows["pigz -6 -p 2 (tar)"] = timed("pigz -6 -p 2 -c '%s' > '%s.gz'" % (tarfile, tarfile), runs)

    print("== extracting")
    subprocess.run([qzp, "verify", pkg], check=True, stdout=subprocess.DEVNULL)
    rows["qzp extract"] = timed([qzp, "extract", pkg, out], runs, before=remover(out), cold=True)
    subprocess.run(["diff", "-r", "-q", corpus, out], check=True)
    rows["zlib baseline (uncompress+crc32+write)"] = timed([baseline, pkg, out], runs,
                                                          before=remover(out), cold=True)
    rows["unzip -q"] = timed(["unzip", "-q", zipfile, "-d", out], runs, before=remover(out), cold=True)
    rows["bsdtar -xf (zip)"] = timed(["bsdtar", "-xf", zipfile, "-C", out], runs,
                                     before=remover(out, make=True), cold=True)
    remover(out)()

    print("== 65,535 entries")
    few = min(runs, 3)  # creating 65,535 files takes long; fewer runs keep the total short
    many_pkg = os.path.join(work, "many.qzp")
    rows["65,535 entries: qzp pack"] = timed([qzp, "pack", "--no-manifest", many, many_pkg], 1)
    rows["65,535 entries: qzp list (open + list)"] = timed([qzp, "list", many_pkg], runs)
    rows["65,535 entries: qzp extract"] = timed([qzp, "extract", many_pkg, out], few,
                                                before=remover(out), cold=True)
    rows["65,535 entries: zlib baseline"] = timed([baseline, many_pkg, out], few,
                                                  before=remover(out), cold=True)
    remover(out)()

    m = {name: value[0] for name, value in rows.items()}
    ratios = [
        ("qzp extract / zlib baseline", m["qzp extract"] / m["zlib baseline (uncompress+crc32+write)"],
         "<= 1.15"),
        ("qzp extract / unzip", m["qzp extract"] / m["unzip -q"], "< 1"),
        ("qzp extract / bsdtar", m["qzp extract"] / m["bsdtar -xf (zip)"], "(info)"),
        ("pack speed-up, 2 jobs over 1", m["qzp pack --jobs 1"] / m["qzp pack --jobs 2"], ">= 1.8"),
        ("pack --jobs 2 / pigz -p 2", m["qzp pack --jobs 2"] / m["pigz -6 -p 2 (tar)"], "<= 1"),
        ("pack --jobs 2 / zip -6", m["qzp pack --jobs 2"] / m["zip -6 -r"], "(info)"),
        ("65,535: extract / zlib baseline",
         m["65,535 entries: qzp extract"] / m["65,535 entries: zlib baseline"], "(info)"),
    ]
    sizes = {"package": os.path.getsize(pkg), "zip": os.path.getsize(zipfile),
             "tar.gz": os.path.getsize(tarfile + ".gz")}
    elapsed = time.perf_counter() - began
    load_after = os.getloadavg()

    lines = []
    lines.append("# Benchmark results")
    lines.append("")
    lines.append("Produced by `bash bench/run.sh` (medians of %d runs; the 65,535-entry package: "
                 "packed once, extracted %d times)." % (runs, few))
    lines.append("")
    lines.append("- Date: %s" % datetime.datetime.now().strftime("%Y-%m-%d %H:%M"))
    lines.append("- Machine: %s, nproc %d, %s" % (cpu_model(), os.cpu_count(), platform.platform()))
    lines.append("- Load average before / after: %.2f / %.2f (figures are wall-clock times; a load "
                 "well above 1 means other work shared the cores)" % (load_before[0], load_after[0]))
    lines.append("- Corpus: %d files, %.1f MB (binaries from /usr/bin and /usr/lib, text from "
                 "/usr/share, %d small files); whole run %.0f s" %
                 (files, total / 1e6, CORPUS_SMALL_FILES, elapsed))
    lines.append("- Sizes: package %.1f MB, zip %.1f MB, tar.gz %.1f MB" %
                 (sizes["package"] / 1e6, sizes["zip"] / 1e6, sizes["tar.gz"] / 1e6))
    lines.append("")
    lines.append("| Operation | Median (s) | Runs (s) |")
    lines.append("|---|---:|---|")
    for name, (median, times) in rows.items():
        lines.append("| %s | %.3f | %s |" % (name, median, " ".join("%.2f" % t for t in times)))
    lines.append("")
    lines.append("| Ratio | Value | Target |")
    lines.append("|---|---:|---|")
    for name, value, target in ratios:
        lines.append("| %s | %.2f | %s |" % (name, value, target))
    lines.append("")
    lines.append("How it is measured: every run starts after `sync`, so no run pays for the write-back "
                 "of another's files. Packing reads its sources from the page cache. Extractions "
                 "start with the caches dropped (when run as root): deleting and re-creating "
                 "thousands of files otherwise leaves kernel state that slows each later run by a "
                 "different amount, whichever tool runs.")
    text = "\n".join(lines) + "\n"
    print(text)
    with open(args.results, "w") as out_file:
        out_file.write(text)


if __name__ == "__main__":
    sys.exit(main())
