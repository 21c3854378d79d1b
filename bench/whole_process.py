#!/usr/bin/env python3
"""Times whole runs of plivex, and of plivex-pack, against `cat in > out` on
the same input.

    whole_process.py --exe build-bench/plivex [--pack-exe build-bench/plivex-pack]
                     [--formats s24[,u8,s16-mono,s32,f32,f64]] [--mb 200] [--pairs 21] [--dir D]

Creates an input of random bytes, then runs the two commands alternately
(plivex, cat, plivex, cat, ...) so that both see the same machine state,
and prints each one's median CPU time (user + system) and wall time, and
the median of their ratios pair by pair. With --pack-exe, the same for
packing plivex's output back (plivex-pack against `cat` on that WAV file),
for a WAV file whose samples start at another offset, since reads off
the page grid could cost more, and for WAV files of the same bytes in
formats that plivex-pack converts (--formats; 24-bit stereo by default).
Before each run,
outside the timing, the previous output is deleted and the file system is
synced, so no run pays for writing back another's data. Finally it prints the
peak resident memory of converting (and packing) a 1 MB and a large input,
as reported by /usr/bin/time -v (or by wait4 when that program is missing).
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
    """Runs `command`; returns its (CPU, wall) seconds, CPU being user + system."""
    start = time.perf_counter()
    proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=stdout)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise subprocess.CalledProcessError(proc.returncode, command)
    return usage.ru_utime + usage.ru_stime, wall


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


def compare(name, command, source, output, pairs):
    """Median CPU and wall times of `command` and of `cat source > output`,
    run in alternating pairs after one unmeasured pair; prints them and the
    medians of the ratios, pair by pair."""
    out_cat = output + ".cat"
    commands = {
        name: lambda: timed(command, subprocess.DEVNULL),
        "cat": lambda: timed(["cat", source], open(out_cat, "wb")),
    }
    times = {key: [] for key in commands}
    # One unmeasured pair first, so that the input is in the page cache.
    for pair in range(pairs + 1):
        for key, run in commands.items():
            for stale in (output, out_cat):
                if os.path.exists(stale):
                    os.remove(stale)
            # Start each run with nothing left to write back from the last.
            os.sync()
            measured = run()
            if pair:
                times[key].append(measured)
    for key, values in times.items():
        cpu = statistics.median(c for c, _ in values)
        wall = statistics.median(w for _, w in values)
        print(f"  {key:11s} median CPU {cpu * 1000:6.1f} ms, wall {wall * 1000:6.1f} ms")
    for index, figure in ((0, "CPU"), (1, "wall")):
        ratio = statistics.median(a[index] / b[index] for a, b in zip(times[name], times["cat"]))
        print(f"  {figure} {name} / cat, median of {pairs} pairs: {ratio:.2f}")


def shifted_wav(wav, path, offset):
    """A copy of the WAV file `wav` (44-byte header) whose samples start at
    `offset` instead: a JUNK chunk fills the gap."""
    with open(wav, "rb") as src, open(path, "wb") as dst:
        header = src.read(44)
        junk = offset - 44 - 8
        riff_size = int.from_bytes(header[4:8], "little") + 8 + junk
        dst.write(header[:4] + riff_size.to_bytes(4, "little") + header[8:36])
        dst.write(b"JUNK" + junk.to_bytes(4, "little") + bytes(junk) + header[36:])
        shutil.copyfileobj(src, dst, 1 << 20)


# The converted formats --formats can name: (format tag, channels, bits).
FORMATS = {
    "u8": (1, 2, 8),
    "s16-mono": (1, 1, 16),
    "s24": (1, 2, 24),
    "s32": (1, 2, 32),
    "f32": (3, 2, 32),
    "f64": (3, 2, 64),
}


def converted_wav(source, path, name):
    """A WAV file of format `name` whose samples are the bytes of `source`,
    cut to whole frames; random bytes give random samples (floats of every
    kind, NaN and infinities included)."""
    tag, channels, bits = FORMATS[name]
    align = channels * bits // 8
    length = os.path.getsize(source) // align * align
    rate = 44100
    with open(source, "rb") as src, open(path, "wb") as dst:
        dst.write(b"RIFF" + (36 + length).to_bytes(4, "little") + b"WAVEfmt " + (16).to_bytes(4, "little"))
        dst.write(b"".join(value.to_bytes(size, "little") for value, size in
                           ((tag, 2), (channels, 2), (rate, 4), (rate * align, 4), (align, 2), (bits, 2))))
        dst.write(b"data" + length.to_bytes(4, "little"))
        left = length
        while left:
            chunk = src.read(min(left, 1 << 20))
            dst.write(chunk)
            left -= len(chunk)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--pack-exe", help="plivex-pack, to measure the way back too")
    parser.add_argument("--formats", default="s24",
                        help="converted formats to pack, comma-separated: " + ", ".join(FORMATS))
    parser.add_argument("--mb", type=int, default=200, help="input size in MB (10^6 bytes)")
    parser.add_argument("--pairs", type=int, default=21)
    parser.add_argument("--dir", help="folder for the files (default: a new one in the build folder)")
    args = parser.parse_args()

    exe = os.path.abspath(args.exe)
    pack = os.path.abspath(args.pack_exe) if args.pack_exe else None
    base = args.dir or os.path.dirname(exe)
    work = tempfile.mkdtemp(prefix="plivex-bench-", dir=base)
    try:
        big = os.path.join(work, "in.bgm")
        big_wav = os.path.join(work, "plivex.wav")
        make_input(big, args.mb * 1000 * 1000)
        print(f"whole process, {args.mb} MB input, {args.pairs} alternating pairs:")
        compare("plivex", [exe, big, big_wav], big, big_wav, args.pairs)
        if pack:
            # The way back, from the WAV file plivex makes of the same input.
            packed = os.path.join(work, "packed.bgm")
            subprocess.run([exe, big, big_wav], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           check=True)
            compare("plivex-pack", [pack, big_wav, packed], big_wav, packed, args.pairs)
            # Samples that start on the page grid (4096) rather than 44 bytes past it.
            aligned_wav = os.path.join(work, "aligned.wav")
            shifted_wav(big_wav, aligned_wav, 4096)
            print("  the same with the samples at offset 4096:")
            compare("plivex-pack", [pack, aligned_wav, packed], aligned_wav, packed, args.pairs)
            os.remove(aligned_wav)
            for name in args.formats.split(","):
                converted = os.path.join(work, name + ".wav")
                converted_wav(big, converted, name)
                print(f"  the same bytes as samples of format {name}, converted to 16-bit stereo:")
                compare("plivex-pack", [pack, converted, packed], converted, packed, args.pairs)
                if name != args.formats.split(",")[-1]:
                    os.remove(converted)  # the last one is kept for the memory figures

        small = os.path.join(work, "small.bgm")
        small_wav = os.path.join(work, "small.wav")
        make_input(small, 1000 * 1000)
        subprocess.run([exe, small, small_wav], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       check=True)
        rows = [("plivex", [exe, small, os.path.join(work, "x.wav")], [exe, big, os.path.join(work, "x.wav")])]
        if pack:
            rows.append(("plivex-pack", [pack, small_wav, os.path.join(work, "x.bgm")],
                         [pack, big_wav, os.path.join(work, "x.bgm")]))
            # A converted format takes one buffer more, for the raw frames.
            name = args.formats.split(",")[-1]
            converted_wav(small, os.path.join(work, "small-c.wav"), name)
            rows.append((f"plivex-pack, format {name}", [pack, os.path.join(work, "small-c.wav"),
                                                          os.path.join(work, "x.bgm")],
                         [pack, os.path.join(work, name + ".wav"), os.path.join(work, "x.bgm")]))
        for name, small_run, big_run in rows:
            small_kib, tool = peak_kib(small_run)
            big_kib, _ = peak_kib(big_run)
            print(f"peak resident memory of {name} ({tool}):")
            print(f"  1 MB input:   {small_kib} KiB")
            print(f"  {args.mb} MB input: {big_kib} KiB")
            print(f"  difference:   {big_kib - small_kib} KiB")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
