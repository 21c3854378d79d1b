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
import math
import os
import random
import shutil
import struct
import subprocess
import sys
import unittest
import wave

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_test  # noqa: E402  (parses --exe and --runner)
from e2e_test import RUNNER, TIMEOUT, Case, file_state, pattern  # noqa: E402

_parser = argparse.ArgumentParser(add_help=False)
_parser.add_argument("--pack-exe", required=True)
_options, _ = _parser.parse_known_args()
PACK = os.path.abspath(_options.pack_exe)

BANNER = "Plivex-Pack V1.1 By Vorn Tessil / Q.L.K"
USAGE = [
    "Usage: Plivex-Pack WavFile BgmFile [Size]",
    "",
    "       WavFile = Windows PCM 16Bit Stereo, Any Sample Rate",
    "       BgmFile = Output File PS2 Bgm",
    "       Size    = BgmFile Size In Bytes, Or A File Of That Size",
]


def console(*lines):
    return b"".join(line.encode("latin-1") + b"\r\n" for line in (BANNER, "") + lines)


def success(rate, *fit):
    """A success, with the line that says how the music fitted a size."""
    return console("Please Wait ...", "",
                   "WavFile Sample Rate Is %d Hz (Not Stored In BgmFile)" % rate, *fit,
                   "Operation Successfully Completed.")


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


class PackCase(Case):
    def run_pack(self, *args, stdin=subprocess.DEVNULL, env=None):
        done = subprocess.run(RUNNER + [PACK, *args], cwd=self.dir, stdin=stdin,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=TIMEOUT, env=env)
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
            (["", "in.wav", ""], refused("Output Bgm File Not Specified !")),
        ]
        for args, transcript in rows:
            with self.subTest(args=args):
                self.assert_pack(args, transcript, 1)
                self.assertFalse(os.path.exists(self.path("out.bgm")))

    def test_success_and_what_follows_the_names(self):
        frames = pattern(3000, seed=4)
        self.put("in.wav", wav_file(frames, fmt_body(rate=22050)))
        for args in (["in.wav", "out.bgm"], ["", "in.wav", "out.bgm"]):
            with self.subTest(args=args):
                self.assert_pack(args, success(22050), 0)
                self.assertEqual(self.get("out.bgm"), expected_bgm(frames))

    def test_a_lone_dash_is_a_file_name(self):
        frames = pattern(1024)
        self.put("-", wav_file(frames))
        self.assert_pack(["-", "out.bgm"], success(44100), 0)
        self.assertEqual(self.get("out.bgm"), expected_bgm(frames))
        self.assert_pack(["-", "-"], refused(), 1)  # the same file
        self.assertEqual(self.get("-"), wav_file(frames))

    def test_failure_waits_for_enter_unless_the_input_ended(self):
        proc = subprocess.Popen(RUNNER + [PACK, "missing.wav"], cwd=self.dir, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            self.assert_waits_for_enter(proc, refused('File Not Found "missing.wav" !'))
            proc.stdin.write(b"\r\n")
            proc.stdin.flush()
            self.assertEqual(proc.wait(timeout=TIMEOUT), 1)
        finally:
            proc.kill()
            proc.wait()
            proc.stdin.close()
            proc.stdout.close()
        self.assert_pack(["missing.wav"], refused('File Not Found "missing.wav" !'), 1,
                         stdin=subprocess.DEVNULL)


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
            ("3783", [cut % "1 Frame (0.000 Seconds)"]),  # half the last right sample
            ("3782", [cut % "1 Frame (0.000 Seconds)"]),
            ("1000", [cut % "624 Frames (0.028 Seconds)"]),  # left half and 244 right samples
            ("512", [cut % "868 Frames (0.039 Seconds)"]),  # only left samples
            ("+1", [cut % "868 Frames (0.039 Seconds)"]),
            ("4096", ["WavFile Shorter Than Size: 156 Frames (0.007 Seconds) Of Silence Added"]),
            ("  $100000", ["WavFile Shorter Than Size: 261276 Frames (11.849 Seconds) Of Silence Added"]),
        ]
        for size, fit in rows:
            with self.subTest(size=size):
                self.assert_pack(["in.wav", "out.bgm", size, "ignored"], success(22050, *fit), 0)
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

    def test_refused_sizes_touch_no_file(self):
        os.mkdir(self.path("folder"))
        self.put("empty.bgm", b"")
        self.put("out.bgm", b"an earlier Bgm file")
        kept = file_state(self.path("out.bgm"))
        rows = [(size, "Invalid Size !") for size in ("0", "-1024", "$80000000", "empty.bgm")]
        rows += [(name, 'Size File Not Found "%s" !' % name) for name in ("missing.bgm", "folder", "1000x")]
        for size, message in rows:
            with self.subTest(size=size):
                for output in ("out.bgm", "new.bgm"):
                    self.assert_pack(["in.wav", output, size], refused(message), 1)
                self.assertEqual(file_state(self.path("out.bgm")), kept)
                self.assertFalse(os.path.exists(self.path("new.bgm")))


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
            ("data size past the end", wav_file(frames, data_size=len(frames) + 5000), frames, 44100),
            ("part of a frame at the end", wav_file(frames + b"\x7f\x01\x02"), frames + b"\x7f\x01\x02", 44100),
            ("rate 1", wav_file(frames, fmt_body(rate=1)), frames, 1),
            ("rate 192000", wav_file(frames, fmt_body(rate=192000)), frames, 192000),
            ("empty data", wav_file(b""), b"", 44100),
            # Converted to 16-bit stereo: a mono sample in both channels;
            # 8 bits unsigned, exact; 24 bits rounded, halves up, at most
            # 32767; floats scaled by 32768, rounded and limited the same way.
            ("mono", wav_file(frames, fmt_body(channels=1)),
             b"".join(frames[i:i + 2] * 2 for i in range(0, len(frames), 2)), 44100),
            ("8 bits", wav_file(frames, fmt_body(bits=8)),
             b"".join(struct.pack("<h", (u - 128) << 8) for u in frames), 44100),
            ("24 bits", wav_file(frames, fmt_body(bits=24)),
             b"".join(struct.pack("<h", min((int.from_bytes(frames[i:i + 3], "little", signed=True) + 128) >> 8,
                                            32767)) for i in range(0, len(frames), 3)), 44100),
        ]
        floats = [x for (x,) in struct.iter_unpack("<f", frames)]
        from_float = b"".join(
            struct.pack("<h", 0 if x != x else min(32767, math.floor(max(-1.0, min(1.0, x)) * 32768 + 0.5)))
            for x in floats)
        rows += [
            ("float", wav_file(frames, fmt_body(tag=3, bits=32)), from_float, 44100),
            ("extensible float", wav_file(frames, fmt_body(tag=0xFFFE, size=40, sub_tag=3, bits=32)), from_float,
             44100),
        ]
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
        for blocks in (0, 1, 2, 7, 1024, 1025, 2051):
            with self.subTest(blocks=blocks):
                data = rng.randbytes(blocks * 1024)
                self.put("in.bgm", data)
                rate = rng.choice((1000, 22050, 44100, 48000))
                self.assertEqual(self.run_plivex("in.bgm", "mid.wav", str(rate))[0], 0)
                self.assert_pack(["mid.wav", "back.bgm"], success(rate), 0)
                self.assertEqual(self.get("back.bgm"), data)

    def test_wav_through_plivex_pack_and_back(self):
        rng = random.Random(8122026)
        for frame_count in (0, 1, 255, 256, 257, 1000, 262144 + 3):
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
