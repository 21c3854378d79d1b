#!/usr/bin/env python3
"""End-to-end tests of plivex-pack, the way back from a WAV file to a PS2 Bgm
file: its dialogue, the WAV headers it takes and refuses, and round trips
through plivex. The file rules it shares with plivex run for both programs
in fault_matrix_test.py.

    pack_e2e_test.py --pack-exe PATH --exe PLIVEX [--runner CMD] [unittest arguments]

WAV files come from three sources: headers built here byte by byte, Python's
wave module, and sox and ffmpeg where they are installed (both to a file
and, for ffmpeg, to a pipe, which leaves the sizes open). Every expected Bgm
file is built here from the samples, independently of the program.
"""

import argparse
import os
import random
import re
import shutil
import stat
import struct
import subprocess
import sys
import threading
import unittest
import wave

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_test  # noqa: E402  (parses --exe and --runner)
from e2e_test import RUNNER, TIMEOUT, WINDOWS_TARGET, Case, file_state, pattern, posix_only  # noqa: E402

_parser = argparse.ArgumentParser(add_help=False)
_parser.add_argument("--pack-exe", required=True)
_options, _ = _parser.parse_known_args()
PACK = os.path.abspath(_options.pack_exe)

BANNER = "Plivex-Pack V1.1 By Vorn Tessil / Q.L.K"
# For a run that would hang if broken (a read of a terminal, a stream
# without end): it fails in seconds rather than at TIMEOUT.
SHORT_TIMEOUT = 10
USAGE = [
    "Usage: Plivex-Pack WavFile BgmFile [Size] [Sample Rate]",
    "",
    "       WavFile     = Windows WAV, PCM Or Float, Mono Or Stereo; - For Standard Input",
    "       BgmFile     = Output File PS2 Bgm",
    "       Size        = BgmFile Size In Bytes, Or A File Of That Size",
    "       Sample Rate = The Sample Rate WavFile Must Have",
]


def console(*lines):
    return b"".join(line.encode("latin-1") + b"\r\n" for line in (BANNER, "") + lines)


def success(rate, *fit, converted=()):
    """A success, with the lines that say what the samples were converted
    from, and how the music fitted a size."""
    return console("Please Wait ...", "", *converted,
                   "WavFile Sample Rate Is %d Hz (Not Stored In BgmFile)" % rate, *fit,
                   "Operation Successfully Completed.")


def converted(kind, clipped=0):
    """The lines after a conversion from `kind` that clipped `clipped` samples."""
    lines = ["WavFile Is %s: Converted To 16Bit Stereo" % kind]
    if clipped:
        lines.append("WavFile Louder Than Full Scale: %d Sample%s Clipped !" % (clipped, "" if clipped == 1 else "s"))
    return tuple(lines)


def refused(*lines):
    return console(*lines, "", "Abort !!!")


def expected_bgm(frames):
    """The Bgm file for WAV sample data `frames`: zero-filled to whole blocks,
    each block the left samples of 256 frames, then their right samples."""
    padded = frames + bytes(-len(frames) % 1024)
    out = bytearray()
    for start in range(0, len(padded), 1024):
        block = padded[start:start + 1024]
        out += b"".join(block[j:j + 2] for j in range(0, 1024, 4))
        out += b"".join(block[j + 2:j + 4] for j in range(0, 1024, 4))
    return bytes(out)


def chunk(tag, body):
    """A RIFF chunk: id, size, body and the pad byte after an odd size."""
    return tag + struct.pack("<I", len(body)) + body + (b"\0" if len(body) % 2 else b"")


def fmt_body(rate=44100, channels=2, bits=16, align=None, tag=1, size=16, sub_tag=None):
    align = channels * bits // 8 if align is None else align
    body = struct.pack("<HHIIHH", tag, channels, rate, rate * align, align, bits)
    if size >= 18:
        body += struct.pack("<H", size - 18)
    if size >= 40:
        guid = struct.pack("<H", sub_tag) + bytes.fromhex("000000001000800000aa00389b71")
        body += struct.pack("<HI", bits, 3) + guid
    return body + bytes(size - len(body))


def wav_file(frames, fmt=None, before=(), after=(), data_size=None, riff_size=None):
    """A WAV file: RIFF header, the chunks `before`, fmt, data, the chunks
    `after`. `data_size` and `riff_size` override the sizes written."""
    fmt = fmt_body() if fmt is None else fmt
    data = b"data" + struct.pack("<I", len(frames) if data_size is None else data_size) + frames
    data += b"\0" if len(frames) % 2 else b""
    body = b"WAVE" + b"".join(before) + chunk(b"fmt ", fmt) + data + b"".join(after)
    size = len(body) if riff_size is None else riff_size
    return b"RIFF" + struct.pack("<I", size) + body


def rf64_file(frames, after=()):
    """An RF64 file: its sizes, 0xFFFFFFFF where they are 32 bits, are in the
    ds64 chunk that comes first."""
    fmt = chunk(b"fmt ", fmt_body())
    data = b"data" + struct.pack("<I", 0xFFFFFFFF) + frames + (b"\0" if len(frames) % 2 else b"")
    rest = fmt + data + b"".join(after)
    ds64 = chunk(b"ds64", struct.pack("<QQQI", 4 + 36 + len(rest), len(frames), len(frames) // 4, 0))
    return b"RF64" + struct.pack("<I", 0xFFFFFFFF) + b"WAVE" + ds64 + rest


class PackCase(Case):
    def run_pack(self, *args, stdin=subprocess.DEVNULL, env=None, timeout=TIMEOUT):
        done = subprocess.run(RUNNER + [PACK, *args], cwd=self.dir, stdin=stdin,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=timeout, env=env)
        return done.returncode, done.stdout, done.stderr

    def assert_pack(self, args, transcript, status, **kwargs):
        code, out, err = self.run_pack(*args, **kwargs)
        self.assertEqual(out, transcript, err)
        self.assertEqual(code, status, err)


class Dialogue(PackCase):
    def test_argument_checks_in_order(self):
        self.put("in.wav", wav_file(pattern(4096)))
        os.mkdir(self.path("folder"))
        rows = [
            ([], refused(*USAGE)),
            (["/?"], refused(*USAGE)),
            (["/?", "in.wav", "out.bgm"], refused(*USAGE)),
            (["missing.wav"], refused('File Not Found "missing.wav" !')),
            (["missing.wav", "out.bgm"], refused('File Not Found "missing.wav" !')),
            (["folder", "out.bgm"], refused('File Not Found "folder" !')),
            (["in.wav"], refused("Output Bgm File Not Specified !")),
            # An empty argument keeps its place: it never moves the others
            # up, so that the original named as the Size never becomes the
            # output.
            (["", "in.wav", "out.bgm"], refused(*USAGE)),
            (["in.wav", "", "out.bgm"], refused("Output Bgm File Not Specified !")),
        ]
        self.put("out.bgm", b"the original")
        kept = file_state(self.path("out.bgm"))
        for args, transcript in rows:
            with self.subTest(args=args):
                self.assert_pack(args, transcript, 1)
                self.assertEqual(file_state(self.path("out.bgm")), kept)
                self.assertEqual(sorted(os.listdir(self.dir)), ["folder", "in.wav", "out.bgm"])

    def test_help_and_version(self):
        # A success each, on standard output, that waits for no Enter: at a
        # terminal with nothing typed into it the run must end at once.
        version = rb"^Plivex-Pack " + re.escape(BANNER.split()[1][1:]).encode() + rb"\.[0-9]+\r\n$"
        terminal = None if WINDOWS_TARGET else __import__("pty").openpty()
        for args in (["--help"], ["-h", "in.wav", "out.bgm"], ["--version", "in.wav"], ["-V"]):
            with self.subTest(args=args):
                code, out, err = self.run_pack(*args, stdin=terminal[1] if terminal else subprocess.DEVNULL,
                                               timeout=SHORT_TIMEOUT)
                self.assertEqual(code, 0, err)
                if args[0] in ("--help", "-h"):
                    self.assertEqual(out, console(*USAGE))
                else:
                    self.assertRegex(out, version)
        for fd in terminal or ():
            os.close(fd)
        self.assertEqual(os.listdir(self.dir), [])

    def test_success_and_what_follows_the_names(self):
        frames = pattern(3000, seed=4)
        self.put("in.wav", wav_file(frames, fmt_body(rate=22050)))
        # An empty Size is no Size.
        for args in (["in.wav", "out.bgm"], ["in.wav", "out.bgm", ""]):
            with self.subTest(args=args):
                self.assert_pack(args, success(22050), 0)
                self.assertEqual(self.get("out.bgm"), expected_bgm(frames))

    def test_the_rate_check(self):
        # Music at another rate than the game's plays too fast or too slow:
        # a rate given and not matched refuses the run before any file is
        # touched. It takes plivex's syntax and range.
        frames = pattern(2048, seed=6)
        self.put("in.wav", wav_file(frames, fmt_body(rate=44100)))
        self.put("out.bgm", b"the original")
        kept = file_state(self.path("out.bgm"))
        rows = [
            (["in.wav", "out.bgm", "", "48000"], "WavFile Sample Rate Is 44100 Hz, Not 48000 Hz !"),
            (["in.wav", "out.bgm", "out.bgm", "22050"], "WavFile Sample Rate Is 44100 Hz, Not 22050 Hz !"),
            # Before the output is looked at: its missing folder is not what is said.
            (["in.wav", os.path.join("missing", "out.bgm"), "", "48000"],
             "WavFile Sample Rate Is 44100 Hz, Not 48000 Hz !"),
            (["in.wav", "out.bgm", "", "44.1"], "Invalid Sample Rate !"),
            (["in.wav", "out.bgm", "", "96000"], "Invalid Sample Rate !"),
        ]
        for args, message in rows:
            with self.subTest(args=args):
                self.assert_pack(args, refused(message), 1)
                self.assertEqual(file_state(self.path("out.bgm")), kept)
                self.assertEqual(sorted(os.listdir(self.dir)), ["in.wav", "out.bgm"])
        self.assert_pack(["in.wav", "out.bgm", "", "$AC44"], success(44100), 0)
        self.assertEqual(self.get("out.bgm"), expected_bgm(frames))

    @posix_only
    def test_failure_waits_for_enter_at_a_terminal(self):
        import pty
        master, slave = pty.openpty()
        proc = subprocess.Popen(RUNNER + [PACK, "missing.wav"], cwd=self.dir, stdin=slave,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        os.close(slave)
        try:
            self.assert_waits_for_enter(proc, refused('File Not Found "missing.wav" !'))
            os.write(master, b"\n")
            self.assertEqual(proc.wait(timeout=TIMEOUT), 1)
        finally:
            proc.kill()
            proc.wait()
            proc.stdout.close()
            os.close(master)

    def test_failure_never_reads_a_script_input(self):
        # `ls *.wav | while read f; do plivex-pack "$f" ...; done`: the next
        # name in the pipe is the loop's, not an Enter for a failed run.
        read_end, write_end = os.pipe()
        os.write(write_end, b"next.wav\n")
        try:
            self.assert_pack(["missing.wav"], refused('File Not Found "missing.wav" !'), 1, stdin=read_end)
            os.close(write_end)
            self.assertEqual(os.read(read_end, 100), b"next.wav\n")
        finally:
            os.close(read_end)


class StandardInput(PackCase):
    """`-` as WavFile reads the WAV file from standard input, a pipe here,
    strictly forward: a pipe cannot seek, and a read that tries fails."""

    FRAMES = pattern(4 * 868, seed=12)  # 3 blocks and 100 frames

    def pack_from_pipe(self, data, *args, endless=b"", timeout=TIMEOUT):
        """Runs plivex-pack on `args` with `data` written into its standard
        input, then `endless` again and again until the pipe closes when
        given; returns the status, the console, and whether the writer was
        cut off (the program stopped reading before the end)."""
        read_end, write_end = os.pipe()
        cut_off = []

        def feed():
            try:
                with os.fdopen(write_end, "wb") as pipe:
                    pipe.write(data)
                    while endless:
                        pipe.write(endless)
            except BrokenPipeError:
                cut_off.append(True)

        writer = threading.Thread(target=feed)
        writer.start()
        try:
            done = subprocess.run(RUNNER + [PACK, *args], cwd=self.dir, stdin=read_end, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, timeout=timeout)
        finally:
            os.close(read_end)
            writer.join(TIMEOUT)
        return done.returncode, done.stdout, bool(cut_off)

    def test_streams(self):
        fmt = fmt_body(rate=22050)
        whole = self.FRAMES[:3072]  # 3 blocks
        rows = [
            # (what comes down the pipe, arguments after "-", console, the Bgm file)
            ("open sizes", wav_file(self.FRAMES, fmt, data_size=0xFFFFFFFF, riff_size=0xFFFFFFFF),
             ["out.bgm"], success(22050), expected_bgm(self.FRAMES)),
            # A Size that cuts a stream of a known length: the rest is read
            # and counted, and its writer is not cut off.
            ("a Size that cuts", wav_file(self.FRAMES, fmt), ["out.bgm", "1000"],
             success(22050, "WavFile Longer Than Size: Last 624 Frames (0.028 Seconds) Cut Off !"),
             expected_bgm(self.FRAMES)[:1000]),
            # sox's placeholder: the length is not known, nor what was cut.
            ("in place, the original's size", wav_file(self.FRAMES, fmt, data_size=0x7FFFF000),
             ["orig.bgm", "orig.bgm", "22050"],
             success(22050, "WavFile Longer Than Size: Rest Of Stream Cut Off !"), expected_bgm(self.FRAMES)[:3072]),
            ("an open stream that ends where the Size does", wav_file(whole, fmt, data_size=0), ["out.bgm", "3072"],
             success(22050), expected_bgm(whole)),
        ]
        for name, data, args, transcript, bgm in rows:
            with self.subTest(name):
                self.put("orig.bgm", bytes(3072))
                status, out, cut_off = self.pack_from_pipe(data, "-", *args)
                self.assertEqual((status, out), (0, transcript))
                self.assertFalse(cut_off)
                self.assertEqual(self.get(args[0]), bgm)

    def test_streams_without_end(self):
        # A track looped to fill the original's slot, or a generator: the
        # run ends once the Size is full, reading no further than the
        # declared length, and none past the first frame when it is open.
        fmt = fmt_body(rate=22050)
        rows = [
            (0xFFFFFFFF, "WavFile Longer Than Size: Rest Of Stream Cut Off !"),
            (8192, "WavFile Longer Than Size: Last 1804 Frames (0.082 Seconds) Cut Off !"),
        ]
        for data_size, fit in rows:
            with self.subTest(data_size=hex(data_size)):
                header = wav_file(b"", fmt, data_size=data_size, riff_size=0xFFFFFFFF)
                status, out, _ = self.pack_from_pipe(header, "-", "out.bgm", "1000", endless=self.FRAMES,
                                                     timeout=SHORT_TIMEOUT)
                self.assertEqual((status, out), (0, success(22050, fit)))
                self.assertEqual(self.get("out.bgm"), expected_bgm(self.FRAMES)[:1000])

    def test_refusals(self):
        self.put("out.bgm", b"the original")
        kept = file_state(self.path("out.bgm"))
        short = wav_file(self.FRAMES, data_size=len(self.FRAMES) + 4)  # a writer stopped early
        ended_early = console("Please Wait ...", "", 'Cannot Read WavFile "-": File Ended Early !', "", "Abort !!!")
        rows = [
            # (what comes down the pipe, arguments after "-", console)
            # The samples of a pipe come after the format.
            ("fmt after data", b"RIFF" + struct.pack("<I", 0) + b"WAVE" + chunk(b"data", self.FRAMES)
             + chunk(b"fmt ", fmt_body()), ["out.bgm"], refused("WavFile Has No Format Chunk !")),
            # Without a Size, no samples: known before anything is made when
            # the length is, found by the packing when it is open.
            ("a part frame", wav_file(b"\1\2", fmt_body(bits=24, channels=1)), ["out.bgm"],
             refused("WavFile Has No Samples !")),
            ("no samples, open", wav_file(b"", data_size=0), ["out.bgm"],
             console("Please Wait ...", "", "WavFile Has No Samples !", "", "Abort !!!")),
            ("cut short", short, ["out.bgm"], ended_early),
            ("cut short, and a Size that cuts", short, ["out.bgm", "1000"], ended_early),
        ]
        for name, data, args, transcript in rows:
            with self.subTest(name):
                status, out, _ = self.pack_from_pipe(data, "-", *args)
                self.assertEqual((status, out), (1, transcript))
                self.assertEqual(file_state(self.path("out.bgm")), kept)
                self.assertEqual(sorted(os.listdir(self.dir)), ["out.bgm"])

    @posix_only
    def test_a_terminal_is_refused(self):
        import pty
        master, slave = pty.openpty()
        os.write(master, b"\n")  # the Enter that the failure ending waits for at a terminal
        try:
            self.assert_pack(["-", "out.bgm"], refused("Standard Input Is A Terminal, Not A WavFile !"), 1,
                             stdin=slave, timeout=SHORT_TIMEOUT)
        finally:
            os.close(master)
            os.close(slave)
        self.assertFalse(os.path.exists(self.path("out.bgm")))


class Sizes(PackCase):
    """plivex-pack WavFile BgmFile Size: the Bgm file is exactly Size bytes,
    the block layout cut there or followed by silence."""

    FRAMES = pattern(4 * 868, seed=12)  # 3 blocks and 100 frames, at 22050 Hz

    def setUp(self):
        super().setUp()
        self.put("in.wav", wav_file(self.FRAMES, fmt_body(rate=22050)))

    def test_sizes_as_numbers(self):
        cut = "WavFile Longer Than Size: Last %s Cut Off !"
        rows = [
            # (Size, how the whole frames fit)
            ("3784", []),  # 3 blocks, 512 left bytes and 100 right samples: exact
            # Half the last right sample, or none of it: a frame is cut, and
            # its time never reads as nothing.
            ("3783", [cut % "1 Frame (0.001 Seconds)"]),
            ("3782", [cut % "1 Frame (0.001 Seconds)"]),
            ("1000", [cut % "624 Frames (0.028 Seconds)"]),  # left half and 244 right samples
            ("512", [cut % "868 Frames (0.039 Seconds)"]),  # only left samples
            ("+1", [cut % "868 Frames (0.039 Seconds)"]),
            ("4096", ["WavFile Shorter Than Size: 156 Frames (0.007 Seconds) Of Silence Added"]),
            ("  $100000", ["WavFile Shorter Than Size: 261276 Frames (11.849 Seconds) Of Silence Added"]),
            # 22039 frames are 0.9995 seconds: the rounding carries into the seconds.
            ("91894", ["WavFile Shorter Than Size: 22039 Frames (1.000 Seconds) Of Silence Added"]),
        ]
        for size, fit in rows:
            with self.subTest(size=size):
                self.assert_pack(["in.wav", "out.bgm", size, "22050", "ignored"], success(22050, *fit), 0)
                length = int(size.strip().replace("$", "0x"), 0)
                layout = expected_bgm(self.FRAMES)
                self.assertEqual(self.get("out.bgm"), (layout + bytes(max(0, length - len(layout))))[:length])

    def test_size_of_a_file_even_the_output_itself(self):
        self.put("original.bgm", bytes(range(256)) * 12)  # 3072 bytes
        expected = expected_bgm(self.FRAMES)[:3072]
        self.assert_pack(["in.wav", "new.bgm", "original.bgm"],
                         success(22050, "WavFile Longer Than Size: Last 100 Frames (0.005 Seconds) Cut Off !"), 0)
        self.assertEqual(self.get("new.bgm"), expected)
        # In place: the size is taken before the output is emptied.
        self.assert_pack(["in.wav", "original.bgm", "original.bgm"],
                         success(22050, "WavFile Longer Than Size: Last 100 Frames (0.005 Seconds) Cut Off !"), 0)
        self.assertEqual(self.get("original.bgm"), expected)

    def test_the_largest_size(self):
        # 2^31 - 1 bytes, the most plivex reads back, written where they cost
        # no disk.
        self.assert_pack(["in.wav", "NUL" if WINDOWS_TARGET else os.devnull, "2147483647"], success(
            22050, "WavFile Shorter Than Size: 536870043 Frames (24347.848 Seconds) Of Silence Added"), 0)

    def test_fit_at_the_edges(self):
        # (sample data, Size, how it fits)
        rows = [
            # Half a frame after the last whole one is not a frame to cut.
            (self.FRAMES + b"\x01\x02", "3784", []),
            # Silence only: the Bgm file is as large as asked.
            (b"", "1024", ["WavFile Shorter Than Size: 256 Frames (0.012 Seconds) Of Silence Added"]),
        ]
        for frames, size, fit in rows:
            with self.subTest(data=len(frames), size=size):
                self.put("in.wav", wav_file(frames, fmt_body(rate=22050)))
                self.assert_pack(["in.wav", "out.bgm", size], success(22050, *fit), 0)
                self.assertEqual(self.get("out.bgm"), expected_bgm(frames)[:int(size)].ljust(int(size), b"\0"))

    def test_clipped_samples_in_the_bgm_file_only(self):
        # Floats beyond full scale at frames 0 and 250, whose left samples
        # are in a Bgm file of 1000 bytes, and at frame 255, whose right one
        # is not: two count. The rest is silence.
        values = [[0.0, 0.0]] * 300
        values[0], values[250], values[255] = [2.0, 0.0], [1.5, 0.0], [0.0, -2.0]
        self.put("in.wav", wav_file(struct.pack("<600f", *sum(values, [])), fmt_body(rate=22050, tag=3, bits=32)))
        self.assert_pack(["in.wav", "out.bgm", "1000"], success(
            22050, "WavFile Longer Than Size: Last 56 Frames (0.003 Seconds) Cut Off !",
            converted=converted("32Bit Float Stereo", 2)), 0)
        full = struct.pack("<h", 32767)
        self.assertEqual(self.get("out.bgm"), full + bytes(498) + full + bytes(498))

    def test_refused_sizes_touch_no_file(self):
        os.mkdir(self.path("folder"))
        self.put("empty.bgm", b"")
        self.put("out.bgm", b"an earlier Bgm file")
        kept = file_state(self.path("out.bgm"))
        # plivex reads back Bgm files of less than 2 GiB: larger sizes are
        # refused, as numbers (whatever their value) or as files (sparse
        # here; past 4 GiB, the high half of the size counts).
        for name, size in (("2g.bgm", 1 << 31), ("4g.bgm", (1 << 32) + 3072)):
            with open(self.path(name), "wb") as f:
                f.truncate(size)
        rows = [(size, "Invalid Size !") for size in ("0", "$0", "-1024", "empty.bgm", "-99999999999")]
        # Hexadecimal sizes from $80000000 on read as negative 32-bit numbers.
        rows += [(size, "BgmFile Too Large !") for size in ("2147483648", "99999999999", "  $80000000", "$FFFFFFFF",
                                                           "$100000000", "2g.bgm", "4g.bgm")]
        rows += [(name, 'Size File Not Found "%s" !' % name) for name in ("missing.bgm", "1000x",
                                                                          "empty.bgm/x")]
        if not WINDOWS_TARGET:  # Wine cuts such a name short itself
            rows += [("n" * 256, 'Cannot Read Size File "%s": Name Too Long !' % ("n" * 256))]
        others = ["folder"] + ([] if WINDOWS_TARGET else ["/dev/zero", "fifo"])
        if not WINDOWS_TARGET:
            os.mkfifo(self.path("fifo"))
        rows += [(name, 'Size File Is Not A Regular File "%s" !' % name) for name in others]
        # Without a Size, a WAV whose samples would pack to 2 GiB.
        with open(self.path("huge.wav"), "wb") as f:
            f.write(wav_file(b"", data_size=0xFFFFFFFF))
            f.truncate(44 + (1 << 31))
        rows += [(None, "BgmFile Too Large !")]
        for size, message in rows:
            with self.subTest(size=size):
                for output in ("out.bgm", "new.bgm"):
                    args = ["in.wav", output, size] if size else ["huge.wav", output]
                    self.assert_pack(args, refused(message), 1)
                self.assertEqual(file_state(self.path("out.bgm")), kept)
                self.assertFalse(os.path.exists(self.path("new.bgm")))


@posix_only
class Replacing(PackCase):
    """The Bgm file is written under a new name and renamed over the output:
    what belongs to the output's name stays (its mode, owner and group, the
    symbolic links that lead to it), and a hard link keeps the old bytes, a
    backup. Failed runs are in fault_matrix_test.py."""

    def test_what_the_name_keeps(self):
        frames = pattern(4 * 600, seed=21)
        self.put("in.wav", wav_file(frames))
        os.mkdir(self.path("real"))
        real = os.path.join("real", "track.bgm")
        rows = [
            # (output, the file it names, links to it (name, target), mode)
            ("track.bgm", "track.bgm", [], 0o600),
            ("link.bgm", real, [("link.bgm", real)], 0o664),
            ("chain.bgm", real, [("chain.bgm", "link.bgm"), ("link.bgm", real)], 0o640),
            ("absolute.bgm", real, [("absolute.bgm", self.path(real))], 0o644),
            ("up.bgm", real, [("real/up.bgm", "track.bgm"), ("up.bgm", "real/up.bgm")], 0o660),
        ]
        owner = 65534 if os.geteuid() == 0 else os.getuid()  # another owner needs root
        for output, target, links, mode in rows:
            with self.subTest(output=output):
                old = b"the original, " + output.encode()
                self.put(target, old)
                os.chmod(self.path(target), mode)
                os.chown(self.path(target), owner, owner if owner == 65534 else os.getgid())
                os.link(self.path(target), self.path("backup"))
                for name, to in links:
                    os.symlink(to, self.path(name))
                self.assert_pack(["in.wav", output], success(44100), 0)
                self.assertEqual(self.get(target), expected_bgm(frames))
                info = os.stat(self.path(target))
                self.assertEqual((stat.S_IMODE(info.st_mode), info.st_uid), (mode, owner))
                for name, to in links:
                    self.assertEqual(os.readlink(self.path(name)), to)
                self.assertEqual(self.get("backup"), old)
                for name in ["backup"] + [name for name, _ in links]:
                    os.remove(self.path(name))
        # A link to a file that does not exist yet makes it.
        os.symlink("made.bgm", self.path("dangling.bgm"))
        self.assert_pack(["in.wav", "dangling.bgm"], success(44100), 0)
        self.assertEqual(os.readlink(self.path("dangling.bgm")), "made.bgm")
        self.assertEqual(self.get("made.bgm"), expected_bgm(frames))


class Headers(PackCase):
    """WAV files built byte by byte: what is taken, and what is refused before
    any file is created or emptied."""

    def test_accepted_layouts(self):
        frames = pattern(2 * 1024 + 40, seed=2)
        odd = chunk(b"JUNK", b"odd")  # 3 bytes and a pad byte
        extensible = fmt_body(tag=0xFFFE, size=40, sub_tag=1, rate=32000)
        rows = [
            ("plain", wav_file(frames), frames, 44100),
            ("fmt of 18 bytes", wav_file(frames, fmt_body(size=18)), frames, 44100),
            ("fmt of 40 bytes, extensible PCM", wav_file(frames, extensible), frames, 32000),
            ("odd chunks around fmt", wav_file(frames, before=[odd], after=[odd]), frames, 44100),
            ("LIST before data", b"RIFF" + struct.pack("<I", 0) + b"WAVE" + chunk(b"fmt ", fmt_body())
             + chunk(b"LIST", b"INFOISFT\x05\0\0\0plivx\0") + chunk(b"data", frames), frames, 44100),
            ("chunks after data", wav_file(frames, after=[chunk(b"id3 ", b"x" * 99),
                                                       chunk(b"cue ", bytes(28))]), frames, 44100),
            ("open sizes", wav_file(frames, data_size=0xFFFFFFFF, riff_size=0xFFFFFFFF), frames, 44100),
            # As sox leaves a file it did not finish: its placeholder size.
            ("sox's placeholder past the end", wav_file(frames, data_size=0x7FFFF000), frames, 44100),
            ("part of a frame at the end", wav_file(frames + b"\x7f\x01\x02"), frames + b"\x7f\x01\x02", 44100),
            ("rate 1", wav_file(frames, fmt_body(rate=1)), frames, 1),
            ("rate 192000", wav_file(frames, fmt_body(rate=192000)), frames, 192000),
            # RF64: the data chunk's size is the ds64 chunk's, and what
            # follows the data is not samples.
            ("RF64", rf64_file(frames, after=[chunk(b"JUNK", b"not samples")]), frames, 44100),
        ]
        # (Other formats, converted: RealWriters, from sox.)
        for name, contents, samples, rate in rows:
            with self.subTest(name):
                self.put("in.wav", contents)
                self.assert_pack(["in.wav", "out.bgm"], success(rate), 0)
                self.assertEqual(self.get("out.bgm"), expected_bgm(samples))
        # Bytes after the data chunk's declared end are not samples (plivex
        # writes zero padding there).
        self.put("in.wav", wav_file(frames, data_size=1000) + bytes(24))
        self.assert_pack(["in.wav", "out.bgm"], success(44100), 0)
        self.assertEqual(self.get("out.bgm"), expected_bgm(frames[:1000]))

    def test_refusals_leave_every_file_alone(self):
        frames = pattern(2048)
        good = wav_file(frames)
        rows = [
            ("six channels", wav_file(frames, fmt_body(channels=6)), "WavFile Is Not Stereo (6 Channels) !"),
            ("no channels", wav_file(frames, fmt_body(channels=0)), "WavFile Is Not Stereo (0 Channels) !"),
            ("a-law", wav_file(frames, fmt_body(tag=6, bits=8)), "WavFile Is Not PCM (Format 0x0006) !"),
            ("block align 6", wav_file(frames, fmt_body(align=6)), "WavFile Block Align Is Not 4 (6) !"),
            ("rate 0", wav_file(frames, fmt_body(rate=0)), "WavFile Has No Sample Rate !"),
            ("not RIFF", b"RIFX" + good[4:], "WavFile Is Not A RIFF/WAVE File !"),
            ("RF64", b"RF64" + good[4:], "WavFile Is Not A RIFF/WAVE File !"),
            ("an AVI", good[:8] + b"AVI " + good[12:], "WavFile Is Not A RIFF/WAVE File !"),
            ("plain text", b"This is not a sound file at all.\n" * 4, "WavFile Is Not A RIFF/WAVE File !"),
            ("empty", b"", "WavFile Header Is Cut Short !"),
            ("cut in the RIFF header", good[:10], "WavFile Header Is Cut Short !"),
            ("cut in the fmt chunk", good[:30], "WavFile Header Is Cut Short !"),
            ("no fmt", b"RIFF" + struct.pack("<I", 4 + 8 + len(frames)) + b"WAVE" + chunk(b"data", frames),
             "WavFile Has No Format Chunk !"),
            ("no data", b"RIFF" + struct.pack("<I", 28) + b"WAVE" + chunk(b"fmt ", fmt_body()),
             "WavFile Has No Data Chunk !"),
            # A file cut short of its data chunk's declared end: a writer
            # stopped early, whose size was no placeholder.
            ("data size past the end", wav_file(frames, data_size=len(frames) + 5000),
             'Cannot Read WavFile "in.wav": File Ended Early !'),
            ("empty data", wav_file(b""), "WavFile Has No Samples !"),
            ("a part frame of 24 bits", wav_file(b"\1\2\3\4\5", fmt_body(bits=24)), "WavFile Has No Samples !"),
        ]
        self.put("out.bgm", b"an earlier Bgm file")
        kept = file_state(self.path("out.bgm"))
        for name, contents, message in rows:
            with self.subTest(name):
                self.put("in.wav", contents)
                for output in ("out.bgm", "new.bgm"):
                    self.assert_pack(["in.wav", output], refused(message), 1)
                self.assertEqual(file_state(self.path("out.bgm")), kept)
                self.assertFalse(os.path.exists(self.path("new.bgm")))
                self.assertEqual(self.get("in.wav"), contents)


class RoundTrips(PackCase):
    """plivex and plivex-pack undo each other."""

    def test_bgm_through_plivex_and_back(self):
        rng = random.Random(20261208)
        for blocks in (1, 2, 7, 1024, 1025, 2051):
            with self.subTest(blocks=blocks):
                data = rng.randbytes(blocks * 1024)
                self.put("in.bgm", data)
                rate = rng.choice((1000, 22050, 44100, 48000))
                self.assertEqual(self.run_plivex("in.bgm", "mid.wav", str(rate))[0], 0)
                self.assert_pack(["mid.wav", "back.bgm"], success(rate), 0)
                self.assertEqual(self.get("back.bgm"), data)

    def test_wav_through_plivex_pack_and_back(self):
        rng = random.Random(8122026)
        for frame_count in (1, 255, 256, 257, 1000, 262144 + 3):
            with self.subTest(frames=frame_count):
                frames = rng.randbytes(4 * frame_count)
                self.put("in.wav", wav_file(frames, fmt_body(rate=32000)))
                self.assert_pack(["in.wav", "mid.bgm"], success(32000), 0)
                self.assertEqual(self.run_plivex("mid.bgm", "back.wav", "32000")[0], 0)
                with wave.open(self.path("back.wav"), "rb") as w:
                    self.assertEqual((w.getnchannels(), w.getsampwidth(), w.getframerate()), (2, 2, 32000))
                    padded = frame_count + (-frame_count % 256)
                    back = w.readframes(padded)
                self.assertEqual(back, frames + bytes(4 * (padded - frame_count)))


class RealWriters(PackCase):
    """WAV files as other programs write them, from samples made here."""

    RATE = 44100

    def samples(self):
        return pattern(4 * (3 * 256 + 100), seed=17)

    def check(self, name, samples, read_back=True):
        """plivex-pack takes the samples of `name`; with `read_back`, what
        Python's wave reads of the file is those samples too."""
        if read_back:
            with wave.open(self.path(name), "rb") as w:
                self.assertEqual(w.readframes(w.getnframes()), samples)
        self.assert_pack([name, "out.bgm"], success(self.RATE), 0)
        self.assertEqual(self.get("out.bgm"), expected_bgm(samples))

    def test_python_wave(self):
        samples = self.samples()
        with wave.open(self.path("py.wav"), "wb") as w:
            w.setnchannels(2)
            w.setsampwidth(2)
            w.setframerate(self.RATE)
            w.writeframes(samples)
        self.check("py.wav", samples)

    @unittest.skipUnless(shutil.which("sox"), "sox is not installed")
    def test_sox(self):
        samples = self.samples()
        self.put("raw.s16", samples)
        subprocess.run(["sox", "-t", "raw", "-r", str(self.RATE), "-e", "signed", "-b", "16", "-c", "2",
                        "-L", self.path("raw.s16"), self.path("sox.wav")], check=True, timeout=TIMEOUT)
        self.check("sox.wav", samples)

    def sox_to_16_bit_stereo(self, name):
        """The samples of `name` as sox makes them 16-bit stereo without
        dither (`sox -D`): by the rule plivex-pack follows."""
        subprocess.run(["sox", "-D", self.path(name), "-b", "16", "-e", "signed", "-c", "2",
                        self.path("sox16.wav")], check=True, timeout=TIMEOUT, stderr=subprocess.DEVNULL)
        with wave.open(self.path("sox16.wav"), "rb") as w:
            return w.readframes(w.getnframes())

    @unittest.skipUnless(shutil.which("sox"), "sox is not installed")
    def test_sox_formats_pack_as_sox_makes_them_16_bit(self):
        # The formats editors export, as sox writes them from the same music
        # (WAVE_FORMAT_EXTENSIBLE past 16 bits).
        self.put("raw.s16", self.samples())
        rows = [
            (["-b", "24"], "24Bit Stereo"),
            (["-b", "32"], "32Bit Stereo"),
            (["-b", "8", "-e", "unsigned"], "8Bit Stereo"),
            (["-e", "floating-point", "-b", "32"], "32Bit Float Stereo"),
            (["-e", "floating-point", "-b", "64"], "64Bit Float Stereo"),
            (["-c", "1"], "16Bit Mono"),
        ]
        for options, kind in rows:
            with self.subTest(kind):
                subprocess.run(["sox", "-D", "-t", "raw", "-r", str(self.RATE), "-e", "signed", "-b", "16", "-c",
                                "2", "-L", self.path("raw.s16")] + options + [self.path("in.wav")],
                               check=True, timeout=TIMEOUT)
                self.assert_pack(["in.wav", "out.bgm"], success(self.RATE, converted=converted(kind)), 0)
                self.assertEqual(self.get("out.bgm"), expected_bgm(self.sox_to_16_bit_stereo("in.wav")))

    @unittest.skipUnless(shutil.which("ffmpeg"), "ffmpeg is not installed")
    def test_ffmpeg_to_a_file_and_to_a_pipe(self):
        samples = self.samples()
        self.put("raw.s16", samples)
        source = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "s16le", "-ar", str(self.RATE),
                  "-ac", "2", "-i", self.path("raw.s16"), "-f", "wav"]
        subprocess.run(source + ["-y", self.path("file.wav")], check=True, timeout=TIMEOUT,
                       stdin=subprocess.DEVNULL)
        self.check("file.wav", samples)
        # To a pipe ffmpeg cannot go back to fill in the sizes.
        with open(self.path("pipe.wav"), "wb") as f:
            subprocess.run(source + ["pipe:1"], check=True, timeout=TIMEOUT, stdout=f,
                           stdin=subprocess.DEVNULL)
        piped = self.get("pipe.wav")
        self.assertEqual(piped[4:8], b"\xff\xff\xff\xff")
        self.assertTrue(piped.endswith(samples))
        self.check("pipe.wav", samples, read_back=False)


if __name__ == "__main__":
    _, unittest_args = e2e_test._parser.parse_known_args()
    _, unittest_args = _parser.parse_known_args(unittest_args)
    unittest.main(argv=[sys.argv[0]] + unittest_args, verbosity=2)
