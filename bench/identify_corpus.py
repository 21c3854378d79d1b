#!/usr/bin/env python3
"""How well the classifier tells the music from the rest, on real music.

    identify_corpus.py [--lister CMD] [--adpcm-encoder EXE] [--out DIR]
                       [--set corpus|acceptance|both] [--keep] [--speed PAIRS] [--limit N]

Builds a corpus of files from real music installed from Debian's archive,
classifies every file with the lister, and prints the confusion table (what
each kind of file was called) and the three target figures:

  - `bgm` files called `bgm`: at least 99.5%;
  - any other file called `bgm`: at most 0.5%;
  - every other class named right: at least 95%.

The corpus is made from the OGG files of two packages of free game music,
`frozen-bubble-data` (/usr/share/games/frozen-bubble) and `hyperrogue-music`
(/usr/share/hyperrogue): their music and their short sounds and jingles.
The acceptance check (--set acceptance) uses music kept apart from it,
never looked at while the classifier was tuned: the package
`singularity-music` (/usr/share/games/singularity/music; install it with
`apt-get install singularity-music`). Nothing is downloaded: a package that
is not installed is named and left out, and the run fails only when none of
a set's packages is there.

Each OGG file is decoded with ffmpeg (or sox, when ffmpeg cannot read it) to
16-bit stereo at 48000 Hz, and laid out in every way the classifier names:
`bgm` (1024-byte blocks of 256 left then 256 right samples),
`interleave-0x100`, `-0x400`, `-0x800`, `-0x1000` and `-0x4000` (the same
with that many bytes of each channel per block), `frames` (left and right
sample by sample), `mono` (the two channels mixed down) and `big-endian`
(the bgm file with every sample's two bytes swapped). Block layouts are
filled up with silence to whole blocks, as plivex-pack does. A file under
16 KiB is expected to be called `short`, whatever its layout. Then the files
that are not PCM, expected to be called `other`: random bytes; gzip and xz
of music (the first 16 MiB of bgm files); executables and text from this
system; ffmpeg's ADPCM encodings of the music as raw data (their packets,
no header); and PS2 ADPCM from the project's own small encoder
(bench/ps2_adpcm.cpp). Files of zero bytes are expected to be `silence`,
and WAV files made by ffmpeg `wav`.

The lister (--lister, split as a shell splits words; by default the
bench tool build-bench/bench/plivex_classify_list) is given paths and must
print CSV: the header `path,bytes,blocks,seconds,verdict`, then one line
per path with its size, its whole 1024-byte blocks, its length as 16-bit
stereo at 48000 Hz in seconds with three decimals, and its verdict (RFC 4180
quoting). `plivex-batch --list --csv` prints the same. Every column is
checked.

The files are written under --out (build-bench/identify-corpus by default,
never committed), one track at a time, and listed as they are made. The
decoded music is kept there, so a second run is faster; of the laid-out
files only the bgm files are kept (the folder that --speed lists), unless
--keep keeps them all. --speed PAIRS times the lister over every kept bgm
file against `cat` of the same files, alternating, and prints the median
ratio of their wall and CPU times. --limit N takes only the first N OGG
files of each set, for a quick look.
"""

import argparse
import collections
import csv
import glob
import gzip
import io
import lzma
import os
import random
import resource
import shlex
import shutil
import statistics
import subprocess
import sys
import time

RATE = 48000
SHORTEST = 16 * 1024
BLOCK_LAYOUTS = {"bgm": 0x200, "interleave-0x100": 0x100, "interleave-0x400": 0x400,
                 "interleave-0x800": 0x800, "interleave-0x1000": 0x1000, "interleave-0x4000": 0x4000}
SETS = {
    "corpus": [("frozen-bubble-data", "/usr/share/games/frozen-bubble"),
               ("hyperrogue-music", "/usr/share/hyperrogue")],
    "acceptance": [("singularity-music", "/usr/share/games/singularity/music")],
}
# ffmpeg's ADPCM encoders that write raw packets, each with a rate and the
# channels it takes. Each track gets three of them, in turn.
ADPCM_CODECS = [
    ("adpcm_ima_wav", 48000, 2), ("adpcm_ms", 48000, 2), ("adpcm_yamaha", 48000, 2),
    ("adpcm_swf", 44100, 2), ("adpcm_ima_qt", 48000, 2), ("adpcm_ima_ssi", 48000, 2),
    ("adpcm_ima_apm", 48000, 2), ("adpcm_ima_ws", 48000, 2), ("adpcm_adx", 48000, 2),
    ("g722", 16000, 1), ("g726", 8000, 1),
]
NOT_BGM_TARGET = 0.005
BGM_TARGET = 0.995
CLASS_TARGET = 0.95


def run(command, **kwargs):
    if "input" not in kwargs:
        kwargs["stdin"] = subprocess.DEVNULL
    return subprocess.run(command, check=True, **kwargs)


def decode(ogg, channels, cache):
    """The OGG file as 16-bit little-endian samples at 48000 Hz, `channels` of them."""
    os.makedirs(cache, exist_ok=True)
    path = os.path.join(cache, "%s.%dch.s16" % (os.path.basename(ogg), channels))
    if not os.path.exists(path):
        partial = path + ".part"
        try:
            run(["ffmpeg", "-v", "error", "-y", "-i", ogg, "-map", "0:a:0", "-ar", str(RATE),
                 "-ac", str(channels), "-f", "s16le", partial], stderr=subprocess.DEVNULL)
        except subprocess.CalledProcessError:
            run(["sox", "-V1", ogg, "-t", "raw", "-e", "signed", "-b", "16", "-L", "-r", str(RATE),
                 "-c", str(channels), partial])
        os.replace(partial, path)
    with open(path, "rb") as f:
        return f.read()


def channels_of(frames):
    left = bytearray(len(frames) // 2)
    right = bytearray(len(frames) // 2)
    for byte in (0, 1):
        left[byte::2] = frames[byte::4]
        right[byte::2] = frames[2 + byte::4]
    return bytes(left), bytes(right)


def blocks(left, right, per_channel):
    """Blocks of `per_channel` bytes of left then of right samples, the last one filled up with silence."""
    count = -(-len(left) // per_channel)
    out = bytearray(2 * per_channel * count)
    for k in range(count):
        part_left = left[k * per_channel:(k + 1) * per_channel]
        part_right = right[k * per_channel:(k + 1) * per_channel]
        out[2 * k * per_channel:2 * k * per_channel + len(part_left)] = part_left
        out[(2 * k + 1) * per_channel:(2 * k + 1) * per_channel + len(part_right)] = part_right
    return bytes(out)


def swapped(data):
    out = bytearray(len(data) - len(data) % 2)
    out[0::2] = data[1::2]
    out[1::2] = data[0::2]
    return bytes(out)


def wav_file(frames):
    """A 16-bit stereo WAV file at 48000 Hz, written with ffmpeg."""
    proc = subprocess.run(["ffmpeg", "-v", "error", "-f", "s16le", "-ar", str(RATE), "-ac", "2", "-i", "pipe:0",
                           "-f", "wav", "pipe:1"], input=frames, stdout=subprocess.PIPE, check=True)
    return proc.stdout


def adpcm(frames, codec, rate, channels):
    """ffmpeg's `codec` of the 16-bit stereo samples at 48000 Hz, its packets alone."""
    proc = subprocess.run(["ffmpeg", "-v", "error", "-f", "s16le", "-ar", str(RATE), "-ac", "2", "-i", "pipe:0",
                           "-map", "0:a", "-ar", str(rate), "-ac", str(channels), "-c:a", codec, "-f", "data", "pipe:1"],
                          input=frames, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True)
    return proc.stdout


def system_files(pattern_dirs, want, seed, test):
    """Up to `want` files of at least 16 KiB from the folders, chosen evenly from their sorted names."""
    found = []
    for folder in pattern_dirs:
        for root, _, names in os.walk(folder):
            for name in names:
                path = os.path.join(root, name)
                try:
                    if os.path.islink(path) or not os.path.isfile(path) or os.path.getsize(path) < SHORTEST:
                        continue
                    if test(path):
                        found.append(path)
                except OSError:
                    continue
    found.sort()
    if len(found) <= want:
        return found
    return [found[i * len(found) // want] for i in range(want)]


def is_elf(path):
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


def is_text(path):
    with open(path, "rb") as f:
        head = f.read(4096)
    return bool(head) and all(b in b"\t\n\r" or 32 <= b < 127 for b in head)


class Lister:
    def __init__(self, command):
        self.command = command

    def classify(self, paths):
        """The verdict of each path, each line checked against the file."""
        verdicts = {}
        for start in range(0, len(paths), 200):
            batch = paths[start:start + 200]
            proc = subprocess.run(self.command + batch, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  check=True)
            rows = list(csv.reader(io.StringIO(proc.stdout.decode("utf-8"), newline="")))
            if rows[0] != ["path", "bytes", "blocks", "seconds", "verdict"]:
                sys.exit("identify_corpus: the lister's header is %r" % (rows[0],))
            if len(rows) - 1 != len(batch):
                sys.exit("identify_corpus: %d lines for %d files" % (len(rows) - 1, len(batch)))
            for path, row in zip(batch, rows[1:]):
                size = os.path.getsize(path)
                expected = [path, str(size), str(size // 1024), "%.3f" % (size / (4 * RATE))]
                if row[:4] != expected:
                    # %.3f rounds halves to even; the lister rounds them up: accept either.
                    thousandths = size * 1000 // (4 * RATE)
                    half_up = "%d.%03d" % divmod(thousandths + (size * 1000 % (4 * RATE) * 2 >= 4 * RATE), 1000)
                    if row[:3] != expected[:3] or row[3] not in (expected[3], half_up):
                        sys.exit("identify_corpus: the lister said %r for %s (%d bytes)" % (row, path, size))
                verdicts[path] = row[4]
        return verdicts


class Tally:
    def __init__(self):
        self.table = collections.defaultdict(collections.Counter)
        self.misses = []

    def add(self, expected, verdict, path):
        self.table[expected][verdict] += 1
        if verdict != expected:
            self.misses.append((expected, verdict, path))

    def report(self, title, out):
        words = sorted({v for row in self.table.values() for v in row} | set(self.table))
        order = ["bgm"] + [w for w in words if w != "bgm"]
        rows = [e for e in order if e in self.table]
        cols = [v for v in order if any(v in self.table[e] for e in rows)]
        width = max(len(w) for w in rows + ["expected"]) + 1
        colw = [max(len(c), 5) for c in cols]
        print("\n%s: confusion table (rows: the file's class; columns: the verdict)" % title, file=out)
        print("%-*s %s %7s %7s" % (width, "expected", " ".join("%*s" % (w, c) for w, c in zip(colw, cols)),
                                    "files", "right"), file=out)
        for e in rows:
            counts = self.table[e]
            total = sum(counts.values())
            print("%-*s %s %7d %6.1f%%" % (width, e, " ".join("%*s" % (w, counts.get(c, "") or "")
                                                                 for w, c in zip(colw, cols)),
                                             total, 100.0 * counts[e] / total), file=out)
        bgm = self.table.get("bgm", collections.Counter())
        bgm_total = sum(bgm.values())
        others = [(e, c) for e, c in self.table.items() if e != "bgm"]
        other_total = sum(sum(c.values()) for _, c in others)
        other_bgm = sum(c["bgm"] for _, c in others)
        ok = True
        if bgm_total:
            share = bgm["bgm"] / bgm_total
            ok &= share >= BGM_TARGET
            print("bgm files called bgm: %d of %d, %.2f%% (target at least %.1f%%)"
                  % (bgm["bgm"], bgm_total, 100 * share, 100 * BGM_TARGET), file=out)
        if other_total:
            share = other_bgm / other_total
            ok &= share <= NOT_BGM_TARGET
            print("other files called bgm: %d of %d, %.2f%% (target at most %.1f%%)"
                  % (other_bgm, other_total, 100 * share, 100 * NOT_BGM_TARGET), file=out)
        worst = None
        for e, counts in sorted(others):
            share = counts[e] / sum(counts.values())
            if worst is None or share < worst[1]:
                worst = (e, share)
        if worst:
            ok &= worst[1] >= CLASS_TARGET
            print("every other class named right: the lowest is %s, %.2f%% (target at least %.1f%%)"
                  % (worst[0], 100 * worst[1], 100 * CLASS_TARGET), file=out)
        print("%s: %s" % (title, "all three targets met" if ok else "a target is missed"), file=out)
        for expected, verdict, path in self.misses[:60]:
            print("  %s called %s: %s" % (expected, verdict, path), file=out)
        if len(self.misses) > 60:
            print("  ... and %d more" % (len(self.misses) - 60), file=out)
        return ok


class Corpus:
    def __init__(self, args, lister, name):
        self.args = args
        self.lister = lister
        self.name = name
        self.root = os.path.join(args.out, name)
        self.cache = os.path.join(args.out, "decoded")
        self.tally = Tally()
        self.kept_bgm = []
        self.rng = random.Random(26)

    def folder(self, kind):
        path = os.path.join(self.root, kind)
        os.makedirs(path, exist_ok=True)
        return path

    def judge(self, made):
        """Lists the files made [(path, expected)], tallies them and removes the ones not kept."""
        verdicts = self.lister.classify([p for p, _ in made])
        for path, expected in made:
            if os.path.getsize(path) < SHORTEST and expected != "wav":
                expected = "short"
            self.tally.add(expected, verdicts[path], path)
            if expected == "bgm" or (expected == "short" and "/bgm/" in path):
                self.kept_bgm.append(path)
            elif not self.args.keep:
                os.remove(path)

    def write(self, kind, name, data, expected):
        path = os.path.join(self.folder(kind), name)
        with open(path, "wb") as f:
            f.write(data)
        return (path, expected)

    def track(self, ogg, number):
        stereo = decode(ogg, 2, self.cache)
        mono = decode(ogg, 1, self.cache)
        base = os.path.splitext(os.path.basename(ogg))[0]
        parent = os.path.basename(os.path.dirname(ogg))
        name = "%s-%s" % (parent, base)
        left, right = channels_of(stereo)
        made = []
        bgm = None
        for kind, per_channel in BLOCK_LAYOUTS.items():
            data = blocks(left, right, per_channel)
            if kind == "bgm":
                bgm = data
            made.append(self.write(kind, name + ".bgm", data, kind))
        made.append(self.write("frames", name + ".raw", stereo, "frames"))
        made.append(self.write("mono", name + ".raw", mono, "mono"))
        made.append(self.write("big-endian", name + ".bgm", swapped(bgm), "big-endian"))
        music = len(stereo) >= 10 * 4 * RATE  # a track, not a short sound: it also gets the non-PCM copies
        if music:
            made.append(self.write("wav", name + ".wav", wav_file(stereo[:20 * 4 * RATE]), "wav"))
            made.append(self.write("gzip", name + ".bgm.gz", gzip.compress(bgm[:16 << 20], 6), "other"))
            made.append(self.write("xz", name + ".bgm.xz", lzma.compress(bgm[:16 << 20], preset=1), "other"))
            for k in range(3):
                codec, rate, channels = ADPCM_CODECS[(3 * number + k) % len(ADPCM_CODECS)]
                try:
                    encoded = adpcm(stereo, codec, rate, channels)
                except subprocess.CalledProcessError as failure:
                    print("identify_corpus: ffmpeg's %s failed on %s (%s): left out" % (codec, ogg, failure))
                    continue
                made.append(self.write("adpcm", "%s.%s" % (name, codec), encoded, "other"))
            encoded = run([self.args.adpcm_encoder], input=mono, stdout=subprocess.PIPE).stdout
            made.append(self.write("ps2-adpcm", name + ".vag", encoded, "other"))
        self.judge(made)

    def others(self):
        """Random bytes, zeros, executables and text (the corpus only)."""
        made = []
        sizes = [20000, 65536, 100000, 300000, 1 << 20, 1500000, 4000000, 9000000, 20000000]
        for k, size in enumerate(sizes * 2):
            made.append(self.write("random", "random-%02d" % k, self.rng.randbytes(size + k), "other"))
        for k, size in enumerate([16384, 70000, 1 << 20, 5000000]):
            made.append(self.write("zeros", "zeros-%02d" % k, bytes(size), "silence"))
        for kind, folders, test in (
                ("executable", ["/usr/bin", "/usr/lib/x86_64-linux-gnu", "/usr/lib"], is_elf),
                ("text", ["/usr/share/common-licenses", "/usr/include", "/usr/share/doc"], is_text)):
            for k, path in enumerate(system_files(folders, 40, k, test)):
                with open(path, "rb") as f:
                    made.append(self.write(kind, "%s-%02d-%s" % (kind, k, os.path.basename(path)), f.read(),
                                           "other"))
        self.judge(made)


def find_oggs(set_name, limit):
    oggs = []
    for package, folder in SETS[set_name]:
        found = sorted(glob.glob(os.path.join(folder, "**", "*.ogg"), recursive=True))
        if not found:
            print("identify_corpus: %s is not installed (no OGG files under %s): left out of the %s"
                  % (package, folder, set_name))
            continue
        print("identify_corpus: %s: %d OGG files from %s" % (set_name, len(found), package))
        oggs += found[:limit] if limit else found
    return oggs


def cpu_of_children():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


DROP_CACHES = "/proc/sys/vm/drop_caches"


def drop_page_cache():
    os.sync()
    with open(DROP_CACHES, "w") as f:
        f.write("3\n")


def speed(lister, paths, pairs):
    total = sum(os.path.getsize(p) for p in paths)
    commands = {"lister": lister.command + paths, "cat": ["cat"] + paths}
    # With the page cache warm, then (where this user may drop it: root on
    # Linux) read from the disk, as a folder just copied off a disc is.
    ways = [("page cache warm", None)]
    if os.access(DROP_CACHES, os.W_OK):
        ways.append(("page cache dropped before each run", drop_page_cache))
    else:
        print("\nidentify_corpus: %s is not writable: the listing speed is measured with a warm cache only"
              % DROP_CACHES)
    for name, before in ways:
        print("\nListing speed: %d bgm files, %.0f MB, the lister against `cat` of the same files, %d pairs after"
              " one unmeasured pair (%s)" % (len(paths), total / 1e6, pairs, name))
        times = {key: [] for key in commands}
        for pair in range(pairs + 1):
            for key, command in commands.items():
                if before:
                    before()
                cpu = cpu_of_children()
                start = time.perf_counter()
                run(command, stdout=subprocess.DEVNULL)
                wall = time.perf_counter() - start
                if pair:
                    times[key].append((wall, cpu_of_children() - cpu))
        for index, what in ((0, "wall"), (1, "cpu")):
            ratios = [a[index] / b[index] for a, b in zip(times["lister"], times["cat"]) if b[index] > 0]
            print("  %s: lister median %.3f s, cat median %.3f s, lister/cat median of the pairs %.3f"
                  % (what, statistics.median(t[index] for t in times["lister"]),
                     statistics.median(t[index] for t in times["cat"]), statistics.median(ratios)))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    build = os.path.join(os.path.dirname(here), "build-bench")
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog=__doc__.split("\n\n", 2)[2])
    parser.add_argument("--lister", default=os.path.join(build, "bench", "plivex_classify_list"))
    parser.add_argument("--adpcm-encoder", default=os.path.join(build, "bench", "plivex_ps2_adpcm"))
    parser.add_argument("--out", default=os.path.join(build, "identify-corpus"))
    parser.add_argument("--set", choices=["corpus", "acceptance", "both"], default="both")
    parser.add_argument("--keep", action="store_true")
    parser.add_argument("--speed", type=int, default=0, metavar="PAIRS")
    parser.add_argument("--limit", type=int, default=0)
    args = parser.parse_args()
    for tool in ("ffmpeg", "sox"):
        if not shutil.which(tool):
            sys.exit("identify_corpus: %s is not installed (apt-get install %s)" % (tool, tool))
    lister = Lister(shlex.split(args.lister))
    names = ["corpus", "acceptance"] if args.set == "both" else [args.set]
    ok = True
    kept = []
    for name in names:
        oggs = find_oggs(name, args.limit)
        if not oggs:
            sys.exit("identify_corpus: no music for the %s: install %s"
                     % (name, " or ".join(p for p, _ in SETS[name])))
        corpus = Corpus(args, lister, name)
        if os.path.isdir(corpus.root):
            shutil.rmtree(corpus.root)
        for number, ogg in enumerate(oggs):
            corpus.track(ogg, number)
        if name == "corpus":
            corpus.others()
        ok &= corpus.tally.report("The " + name, sys.stdout)
        kept += corpus.kept_bgm
    if args.speed:
        speed(lister, kept, args.speed)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
