#!/usr/bin/python3
"""Spool reading benchmark: builds the driver against build/libvantrel_core.a, generates
spools of 10,000 and 100,000 messages (cached in $BENCH_DIR, default /tmp/vantrel-bench),
and prints the mailbox's read throughput against `grep -c '^From '` and `wc -l` on the same
file (warm page cache, best of 3), its memory per message, and the cost of `ReadNewMail`
after one appended message at both sizes; then the same read and memory with the mailbox
keyword `mime` on (header values decoded with GMime as they are read).
"""

import os
import pathlib
import resource
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
BUILD = pathlib.Path(os.environ.get("VANTREL_BUILD", ROOT / "build"))
WORK = pathlib.Path(os.environ.get("BENCH_DIR", "/tmp/vantrel-bench"))
# A real list archive, when present, measured the same way as the generated spools.
REAL = pathlib.Path(os.environ.get("BENCH_REAL_SPOOL", next(
    (p for p in (ROOT.parent / "shared/data/mail/linux-mips.mbox",
                 ROOT.parent.parent / "shared/data/mail/linux-mips.mbox") if p.exists()),
    "/nonexistent")))


def build_driver():
    driver = WORK / "spool_bench"
    # The core links GMime, libxml2 and zlib: ask pkg-config for them as CMake does.
    libs = subprocess.run(["pkg-config", "--libs", "gmime-3.0", "libxml-2.0", "zlib"], check=True,
                          capture_output=True, text=True).stdout.split()
    subprocess.run(["g++", "-std=c++20", "-O2", "-Wall", "-Wextra", "-Werror", "-I", str(ROOT / "src"),
                    str(HERE / "SpoolBench.cpp"), str(BUILD / "libvantrel_core.a"), "-pthread",
                    *libs, "-o", str(driver)], check=True)
    return driver


def spool(count):
    path = WORK / ("spool-%d.mbox" % count)
    if not path.exists():
        subprocess.run([sys.executable, str(HERE / "gen_spool.py"), str(count), str(path)], check=True)
    return path


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def best_time(args, repeats=5):
    """(best wall seconds, best CPU seconds) of a command over `repeats` runs."""
    best, best_cpu = None, None
    for _ in range(repeats):
        cpu = children_cpu()
        start = time.perf_counter()
        # Output to a pipe: grep stops at the first match when its output is /dev/null.
        subprocess.run(args, check=True, stdout=subprocess.PIPE)
        elapsed = time.perf_counter() - start
        used = children_cpu() - cpu
        best = elapsed if best is None else min(best, elapsed)
        best_cpu = used if best_cpu is None else min(best_cpu, used)
    return best, best_cpu


def run_driver(driver, path, *flags):
    values = {}
    # Memory in a process of its own, before anything else has grown the heap.
    for mode in ("memory", "time"):
        out = subprocess.run([str(driver), str(path), mode, *flags], check=True,
                             capture_output=True, text=True).stdout
        values.update({k: float(v) for k, v in (line.split() for line in out.splitlines())})
    return values


def main():
    WORK.mkdir(parents=True, exist_ok=True)
    driver = build_driver()
    results = {}
    spools = [(count, spool(count)) for count in (10000, 100000)]
    if REAL.exists():
        spools.append((REAL.name, REAL))
    for count, path in spools:
        size = path.stat().st_size
        subprocess.run(["cat", str(path)], check=True, stdout=subprocess.DEVNULL)  # warm the cache
        grep, grep_cpu = best_time(["grep", "-c", "^From ", str(path)])
        wc, wc_cpu = best_time(["wc", "-l", str(path)])
        got = run_driver(driver, path)
        results[count] = got
        mb = size / 1e6
        read, read_cpu = got["read_seconds"], got["read_cpu_seconds"]
        print("spool %s, %.1f MB" % (count if isinstance(count, str) else "%d messages" % count, mb))
        print("  %-10s wall %.3f s (%5.0f MB/s)  cpu %.3f s (%5.0f MB/s)" % ("ReadSpool", read, mb / read,
                                                                           read_cpu, mb / read_cpu))
        for name, wall, cpu in (("grep -c", grep, grep_cpu), ("wc -l", wc, wc_cpu)):
            print("  %-10s wall %.3f s (%5.0f MB/s)  cpu %.3f s (%5.0f MB/s)" % (name, wall, mb / wall,
                                                                               cpu, mb / cpu))
        print("  throughput ratio ReadSpool/grep: wall %.2f, cpu %.2f" % (grep / read, grep_cpu / read_cpu))
        print("  throughput ratio ReadSpool/wc:   wall %.2f, cpu %.2f" % (wc / read, wc_cpu / read_cpu))
        print("  records %d; memory %.0f bytes per message (RSS %d KiB empty, %d KiB full)"
              % (got["messages"], got["bytes_per_message"], got["rss_empty_kib"], got["rss_full_kib"]))
        print("  ReadNewMail after one appended message: median %.1f us" % got["append_median_us"])
        mime = run_driver(driver, path, "mime")
        read, read_cpu = mime["read_seconds"], mime["read_cpu_seconds"]
        print("  %-10s wall %.3f s (%5.0f MB/s)  cpu %.3f s (%5.0f MB/s)" % (
            "ReadSpool+mime", read, mb / read, read_cpu, mb / read_cpu))
        print("  throughput ratio ReadSpool+mime/grep: wall %.2f, cpu %.2f" % (grep / read,
                                                                           grep_cpu / read_cpu))
        print("  mime records %d, %.0f bytes per message (RSS %d KiB empty, %d KiB full)"
              % (mime["messages"], mime["bytes_per_message"], mime["rss_empty_kib"],
                 mime["rss_full_kib"]))
    small, large = results[10000]["append_median_us"], results[100000]["append_median_us"]
    print("ReadNewMail cost 100k/10k: %.2f" % (large / small))


if __name__ == "__main__":
    main()
