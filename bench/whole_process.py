#!/usr/bin/env python3
"""Times whole runs of plivex against `cat in > out` on the same input.

    whole_process.py --exe build-bench/plivex [--mb 200] [--pairs 7] [--dir D]

Creates an input of random bytes, then runs the two commands alternately
(plivex, cat, plivex, cat, ...) so that both see the same machine state,
and prints each one's median wall time and their ratio. Before each run,
outside the timing, the previous output is deleted and the file system is
synced, so no run pays for writing back another's data. Finally it prints the
peak resident memory of converting a 1 MB and a large input, as reported
by /usr/bin/time -v (or by wait4 when that program is missing).
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def timed(command, stdout):
    start = time.perf_counter()
    subprocess.run(command, stdin=subprocess.DEVNULL, stdout=stdout, check=True)
    return time.perf_counter() - start


def make_input(path, size):
    with open(path, "wb") as f:
        left = size
        while left:
            chunk = os.urandom(min(left, 1 << 20))
            f.write(chunk)
            left -= len(chunk)


def peak_kib(command):
    """Peak resident memory of a whole run, in KiB."""
    if os.access("/usr/bin/time", os.X_OK):
        done = subprocess.run(["/usr/bin/time", "-v"] + command, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                              check=True)
        match = re.search(r"Maximum resident set size \(kbytes\): (\d+)", done.stderr)
        return int(match.group(1)), "/usr/bin/time -v"
    proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    _, _, usage = os.wait4(proc.pid, 0)
    return usage.ru_maxrss, "wait4"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--mb", type=int, default=200, help="input size in MB (10^6 bytes)")
    parser.add_argument("--pairs", type=int, default=7)
    parser.add_argument("--dir", help="folder for the files (default: a new one in the build folder)")
    args = parser.parse_args()

    exe = os.path.abspath(args.exe)
    base = args.dir or os.path.dirname(exe)
    work = tempfile.mkdtemp(prefix="plivex-bench-", dir=base)
    try:
        big = os.path.join(work, "in.bgm")
        out_plivex = os.path.join(work, "plivex.wav")
        out_cat = os.path.join(work, "cat.out")
        make_input(big, args.mb * 1000 * 1000)

        commands = {
            "plivex": lambda: timed([exe, big, out_plivex], subprocess.DEVNULL),
            "cat": lambda: timed(["cat", big], open(out_cat, "wb")),
        }
        times = {name: [] for name in commands}
        # One unmeasured pair first, so that the input is in the page cache.
        for pair in range(args.pairs + 1):
            for name, run in commands.items():
                for stale in (out_plivex, out_cat):
                    if os.path.exists(stale):
                        os.remove(stale)
                # Start each run with nothing left to write back from the last.
                os.sync()
                elapsed = run()
                if pair:
                    times[name].append(elapsed)

        print(f"whole process, {args.mb} MB input, {args.pairs} alternating pairs:")
        medians = {}
        for name, values in times.items():
            medians[name] = statistics.median(values)
            spread = ", ".join(f"{v * 1000:.0f}" for v in values)
            print(f"  {name:7s} median {medians[name] * 1000:7.1f} ms   (runs: {spread} ms)")
        print(f"  ratio plivex / cat: {medians['plivex'] / medians['cat']:.2f}")

        small = os.path.join(work, "small.bgm")
        make_input(small, 1000 * 1000)
        small_kib, tool = peak_kib([exe, small, out_plivex])
        big_kib, _ = peak_kib([exe, big, out_plivex])
        print(f"peak resident memory ({tool}):")
        print(f"  1 MB input:   {small_kib} KiB")
        print(f"  {args.mb} MB input: {big_kib} KiB")
        print(f"  difference:   {big_kib - small_kib} KiB")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
