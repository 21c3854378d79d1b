#!/usr/bin/env python3
"""Times plivex-batch on whole folders, against what a user would do
without it.

    batch_bench.py --batch-exe build-bench/plivex-batch --exe build-bench/plivex
                   [--files 1000] [--kib 100] [--large-mb 200] [--pairs 11] [--dir D]

- A folder of FILES music files of KIB KiB each, converted under -o by
  plivex-batch, against a shell loop that runs plivex once per file
  (`</dev/null`), and against `cp -r` of the same folder.
- One large file (LARGE_MB), converted by plivex-batch and by plivex: the
  cost per byte of the batch against the program it stands for.
- The folder again with -j 2 against -j 1.
- The peak resident memory of a run with -j 1 and -j 2, on the folder and on
  the large file: a conversion's buffers per job, whatever the sizes.

The commands run in alternating pairs after one unmeasured pair, every
output deleted and the disk synced before each run, outside the timing;
the medians of the wall and CPU times (user and system, of the whole
process tree) and of their ratios pair by pair are printed.
"""

import argparse
import math
import os
import re
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time


def music(frames, rate=48000):
    """Two channels of chords that swell and fade, in whole 1024-byte
    blocks of 256 left, then 256 right samples: what the batch takes for
    music, as it would a game's."""
    out = bytearray()
    for start in range(0, frames, 256):
        left = [int(9000 * (0.6 + 0.4 * math.sin(0.9 * t / rate)) * math.sin(2 * math.pi * 220 * t / rate))
                for t in range(start, start + 256)]
        right = [int(8000 * (0.6 + 0.4 * math.cos(0.7 * t / rate)) * math.sin(2 * math.pi * 330 * t / rate))
                 for t in range(start, start + 256)]
        out += struct.pack("<256h", *left) + struct.pack("<256h", *right)
    return bytes(out)


def run_timed(command, shell=False):
    """(CPU, wall) seconds of a whole run, CPU being the user and system time
    of every process it waited for."""
    before = os.times()
    start = time.perf_counter()
    subprocess.run(command, shell=shell, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=True)
    wall = time.perf_counter() - start
    after = os.times()
    return (after.children_user - before.children_user) + (after.children_system - before.children_system), wall


def compare(label, a, b, clean, pairs):
    """Median figures of commands `a` and `b` (name, command, shell) run in
    turn, and of the ratios a / b pair by pair."""
    times = {a[0]: [], b[0]: []}
    for pair in range(pairs + 1):
        for name, command, shell in (a, b):
            clean()
            subprocess.run(["sync"], check=True)
            figures = run_timed(command, shell)
            if pair:
                times[name].append(figures)
    print("\n" + label)
    for name, runs in times.items():
        print("  %-28s CPU %8.4f s   wall %8.4f s" % (name, statistics.median(r[0] for r in runs),
                                                       statistics.median(r[1] for r in runs)))
    ratios = [(x[0] / y[0] if y[0] else math.inf, x[1] / y[1]) for x, y in zip(times[a[0]], times[b[0]])]
    print("  %s / %s: CPU %.3f, wall %.3f (medians of %d pairs)" % (
        a[0], b[0], statistics.median(r[0] for r in ratios), statistics.median(r[1] for r in ratios), pairs))


def peak_kib(command):
    done = subprocess.run(["/usr/bin/time", "-v"] + command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True, check=True)
    return int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", done.stderr).group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--batch-exe", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--files", type=int, default=1000)
    parser.add_argument("--kib", type=int, default=100)
    parser.add_argument("--large-mb", type=int, default=200)
    parser.add_argument("--pairs", type=int, default=11)
    parser.add_argument("--dir", default=None, help="where to make the files (default: a temporary folder)")
    options = parser.parse_args()
    batch, plivex = os.path.abspath(options.batch_exe), os.path.abspath(options.exe)

    work = tempfile.mkdtemp(prefix="plivex-batch-bench-", dir=options.dir)
    try:
        os.chdir(work)
        # Sixty seconds of music, each file another slice of it.
        source = music(48000 * 60 // 256 * 256)
        size = options.kib * 1024
        os.mkdir("game")
        for i in range(options.files):
            start = (i * 7919 * 1024) % (len(source) - size) // 1024 * 1024
            with open("game/%05d.BGM" % i, "wb") as f:
                f.write(source[start:start + size])
        with open("large.bgm", "wb") as f:
            for _ in range(options.large_mb * 1000000 // len(source) + 1):
                f.write(source)
        print("%d files of %d KiB in game/, and large.bgm of %d bytes, in %s" % (
            options.files, options.kib, os.path.getsize("large.bgm"), work))

        def clean():
            for name in ("out", "copy"):
                shutil.rmtree(name, ignore_errors=True)
            for name in os.listdir("game"):
                if name.endswith(".wav"):
                    os.remove(os.path.join("game", name))
            for name in ("large.bgm.wav", "out.wav"):
                if os.path.exists(name):
                    os.remove(name)

        loop = "for f in game/*.BGM; do %s \"$f\" \"$f.wav\" </dev/null >/dev/null; done" % plivex
        compare("%d files of %d KiB: plivex-batch against a loop of plivex" % (options.files, options.kib),
                ("plivex-batch -o out game", [batch, "-q", "-o", "out", "game"], False),
                ("loop of plivex", loop, True), clean, max(3, options.pairs // 4))
        compare("the same folder: plivex-batch against cp -r",
                ("plivex-batch -o out game", [batch, "-q", "-o", "out", "game"], False),
                ("cp -r game copy", ["cp", "-r", "game", "copy"], False), clean, options.pairs)
        compare("the same folder: -j 2 against -j 1",
                ("plivex-batch -j 2", [batch, "-q", "-j", "2", "-o", "out", "game"], False),
                ("plivex-batch -j 1", [batch, "-q", "-j", "1", "-o", "out", "game"], False), clean, options.pairs)
        compare("one large file: plivex-batch against plivex",
                ("plivex-batch large.bgm", [batch, "-q", "large.bgm"], False),
                ("plivex large.bgm", [plivex, "large.bgm", "out.wav"], False), clean, options.pairs)

        print("\npeak resident memory (/usr/bin/time -v)")
        if not os.access("/usr/bin/time", os.X_OK):
            print("  skipped: /usr/bin/time is missing (Debian package time)")
            return
        for jobs in ("1", "2"):
            for what in ("game", "large.bgm"):
                clean()
                print("  -j %s %-10s %6d KiB" % (jobs, what, peak_kib([batch, "-q", "-j", jobs, "-o", "out", what])))
        clean()
        print("  plivex large.bgm %6d KiB" % peak_kib([plivex, "large.bgm", "out.wav"]))
    finally:
        os.chdir("/")
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
