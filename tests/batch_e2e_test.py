#!/usr/bin/env python3
"""End-to-end tests of plivex-batch: whole folders to WAV files and back,
the names and places of what it writes, its lines, its exit status, and
that what it writes is what plivex and plivex-pack write for the same file.

    batch_e2e_test.py --batch-exe PATH --version X.Y.Z --pack-exe PATH --exe PLIVEX
                      [--runner CMD] [--fault-shim LIB] [unittest arguments]
"""

import argparse
import errno
import math
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_test  # noqa: E402  (parses --exe, --runner and --fault-shim)
import pack_e2e_test as pack  # noqa: E402  (parses --pack-exe)
from e2e_test import RUNNER, TIMEOUT, WINDOWS_TARGET, Case, expected_wav, pattern, posix_only  # noqa: E402

_parser = argparse.ArgumentParser(add_help=False)
_parser.add_argument("--batch-exe", required=True)
_parser.add_argument("--version", required=True)
_options, _ = _parser.parse_known_args()
BATCH = os.path.abspath(_options.batch_exe)
FAULT_SHIM = os.path.abspath(e2e_test._options.fault_shim) if e2e_test._options.fault_shim else None
EOL = "\r\n" if WINDOWS_TARGET else "\n"
SEP = "\\" if WINDOWS_TARGET else "/"
SUMMARY = re.compile(r"^(Summary|Interrupted): (\d+) converted, (\d+) packed, (\d+) unchanged, "
                     r"(\d+) skipped, (\d+) failed; .* in \d+\.\d\d s$")


def with_faults(**faults):
    """An environment that preloads the fault library with `faults` on; a
    sanitizer runtime is told to let it come first."""
    env = dict(os.environ, LD_PRELOAD=FAULT_SHIM, **faults)
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    return env


needs_fault_shim = unittest.skipUnless(FAULT_SHIM and not RUNNER,
                                       "needs the preloaded fault library (native Linux build only)")


def music(frames, seed=1, rate=48000):
    """Two channels of music in the layout of a Bgm file: a chord on the
    left, another on the right, each swelling and fading, whole blocks."""
    left, right = [], []
    for n in range(frames):
        t = n / rate
        swell = 0.5 + 0.5 * math.sin(2 * math.pi * 0.7 * t + seed)
        left.append(int(9000 * swell * (math.sin(2 * math.pi * 220 * t) + 0.5 * math.sin(2 * math.pi * 277 * t))))
        right.append(int(8000 * swell * (math.sin(2 * math.pi * 330 * t + seed) + 0.4 * math.sin(2 * math.pi * 415 * t))))
    out = bytearray()
    for start in range(0, frames, 256):
        out += struct.pack("<256h", *left[start:start + 256])
        out += struct.pack("<256h", *right[start:start + 256])
    return bytes(out)


# Six seconds of music are made once and cut into the files of the tests;
# every file starts at another place of them, so that no two are the same.
MUSIC = music(48000 * 6 // 256 * 256)


def bgm(kib, seed=0):
    start = (seed * 5 * 1024) % (len(MUSIC) - kib * 1024)
    return MUSIC[start:start + kib * 1024]


class BatchCase(Case):
    def run_batch(self, *args, env=None):
        done = subprocess.run(RUNNER + [BATCH, *args], cwd=self.dir, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=TIMEOUT, env=env)
        return done.returncode, done.stdout.decode("utf-8"), done.stderr.decode("utf-8")

    def lines(self, *args, status=0):
        """The lines a run prints before its summary; checks its status and
        the summary's form."""
        code, out, err = self.run_batch(*args)
        self.assertEqual(code, status, out + err)
        self.assertTrue(out.endswith(EOL), out)
        lines = out[:-len(EOL)].split(EOL)
        self.assertRegex(lines[-1], SUMMARY)
        return lines[:-1]

    def put(self, name, data):
        os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
        super().put(name, data)

    def tree(self, files):
        for name, data in files.items():
            self.put(name, data)

    def files_under(self, folder):
        found = []
        for root, _, names in os.walk(self.path(folder)):
            found += [os.path.relpath(os.path.join(root, n), self.dir).replace(os.sep, "/") for n in names]
        return sorted(found)

    def state(self, names):
        return {name: e2e_test.file_state(self.path(name)) for name in names}


def native(path):
    return path.replace("/", SEP)


class Converting(BatchCase):
    def setUp(self):
        super().setUp()
        self.game = {
            "game/TITLE.BGM": bgm(40, 1),
            "game/b/STAGE1.BGM": bgm(33, 2) + bgm(1, 9)[:1000],  # not whole blocks
            "game/b/sub/BOSS.BGM": bgm(20, 3),
            "game/a/END.BGM": bgm(24, 4),
            "game/readme.txt": b"not music\n" * 2000,
            "game/noise.bin": pattern(40000),
        }
        self.tree(self.game)

    def converted(self, name, output, rate):
        return 'Converted "%s" -> "%s": %s' % (native(name), native(output),
                                               duration(len(self.game[name]) // 4, rate))

    def test_places_and_lines(self):
        # Files before folders, each in the order of their names' bytes; the
        # verdict of the other files named; each output where its rule puts it.
        walk = ["game/TITLE.BGM", "game/noise.bin", "game/readme.txt", "game/a/END.BGM", "game/b/STAGE1.BGM",
                "game/b/sub/BOSS.BGM"]
        rows = [
            (["game"], walk, lambda name: name + ".wav"),
            (["-o", "out", "game"], walk, lambda name: "out/" + name[5:] + ".wav"),
            # A file given by name goes to DIR/its name.
            (["-o", "out", native("game/b/sub/BOSS.BGM"), native("game/a")],
             ["game/b/sub/BOSS.BGM", "game/a/END.BGM"], lambda name: "out/" + name.split("/")[-1] + ".wav"),
        ]
        for args, names, output in rows:
            with self.subTest(args=args):
                expected = [self.converted(name, output(name), 44100) if name.endswith(".BGM")
                            else 'Skipped "%s": other' % native(name) for name in names]
                self.assertEqual(self.lines("-r", "44100", *args), expected)
                for name in names:
                    if name.endswith(".BGM"):
                        self.assertEqual(self.get(output(name)), expected_wav(self.game[name], 44100), name)
                        os.remove(self.path(output(name)))

    def test_same_bytes_as_plivex(self):
        self.lines("--all", "-r", "32000", "-o", "out", "game")
        for name in self.game:
            subprocess.run(RUNNER + [e2e_test.EXE, native(name), "plivex.wav", "32000"], cwd=self.dir,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, timeout=TIMEOUT, check=True)
            self.assertEqual(self.get("out/%s.wav" % name[5:]), self.get("plivex.wav"), name)

    def test_existing_outputs_and_shared_targets(self):
        title = native("game/TITLE.BGM")
        self.put("game/TITLE.BGM.wav", b"an earlier output")
        kept = self.state(["game/TITLE.BGM.wav"])
        self.assertEqual(self.lines(title), ['Skipped "%s": "%s" exists (-f replaces it)' % (
            title, native("game/TITLE.BGM.wav"))])
        self.assertEqual(self.state(["game/TITLE.BGM.wav"]), kept)
        self.lines("-f", title)
        self.assertEqual(self.get("game/TITLE.BGM.wav"), expected_wav(self.game["game/TITLE.BGM"]))
        # In place again with -f: what the first run wrote is now also an
        # input, and the target of another; it is left alone, whatever the
        # order of the jobs, rather than read while it is being replaced.
        stage = native("game/b/STAGE1.BGM")
        self.lines(native("game/b"))
        for _ in range(3):
            self.assertEqual(self.lines("-f", "-j", "4", native("game/b")), [
                self.converted("game/b/STAGE1.BGM", "game/b/STAGE1.BGM.wav", 48000),
                'Skipped "%s.wav": the output of "%s"' % (stage, stage),
                self.converted("game/b/sub/BOSS.BGM", "game/b/sub/BOSS.BGM.wav", 48000),
                'Skipped "%s": the output of "%s"' % (native("game/b/sub/BOSS.BGM.wav"), native("game/b/sub/BOSS.BGM"))])
        # Two files for one output: the second fails and names the first,
        # whose output stays.
        self.put("other/TITLE.BGM", bgm(20, 7))
        lines = self.lines("-f", "-o", "out", title, native("other/TITLE.BGM"), status=1)
        self.assertEqual(lines[1], 'Failed "%s": "%s" Is Also The Target Of "%s"' % (
            native("other/TITLE.BGM"), native("out/TITLE.BGM.wav"), title))
        self.assertEqual(self.get("out/TITLE.BGM.wav"), expected_wav(self.game["game/TITLE.BGM"]))
        # The second fails even when the first wrote nothing (it is no music).
        self.put("noise/TITLE.BGM", pattern(30000))
        lines = self.lines("-o", "out2", native("noise/TITLE.BGM"), native("other/TITLE.BGM"), status=1)
        self.assertEqual(lines[1], 'Failed "%s": "%s" Is Also The Target Of "%s"' % (
            native("other/TITLE.BGM"), native("out2/TITLE.BGM.wav"), native("noise/TITLE.BGM")))
        self.assertFalse(os.path.exists(self.path("out2")))

    def test_lines_the_same_for_any_number_of_jobs(self):
        # The first files are the largest, so that later ones end first.
        for i in range(30):
            self.put("many/%02d.BGM" % i, bgm(16 + (29 - i) * 3, i))
        runs = []
        for jobs in ("1", "4"):
            for name in os.listdir(self.path("many")):
                if name.endswith(".wav"):
                    os.remove(self.path("many/" + name))
            runs.append(self.lines("-j", jobs, "many"))
        self.assertEqual(runs[0], runs[1])
        self.assertEqual([line.split('"')[1] for line in runs[0]], [native("many/%02d.BGM" % i) for i in range(30)])

    def test_dry_run_prints_the_lines_and_writes_nothing(self):
        before = self.files_under("game")
        dry = self.lines("-n", "-o", "out", "game")
        self.assertEqual(self.files_under("game"), before)
        self.assertFalse(os.path.exists(self.path("out")))
        self.assertEqual(self.lines("-o", "out", "game"), dry)


def duration(frames, rate=48000):
    """A duration as the lines give it: m:ss.mmm, rounded to the nearest."""
    ms = (frames * 1000 + rate // 2) // rate
    return "%d:%02d.%03d" % (ms // 60000, ms // 1000 % 60, ms % 1000)


def float_wav(bgm_bytes):
    """The samples of a Bgm file as a 32-bit float WAV file, each exactly
    sample / 32768, which packs back to the very same bytes."""
    frames = bytearray()
    for start in range(0, len(bgm_bytes), 1024):
        left = struct.unpack("<256h", bgm_bytes[start:start + 512])
        right = struct.unpack("<256h", bgm_bytes[start + 512:start + 1024])
        for pair in zip(left, right):
            frames += struct.pack("<2f", pair[0] / 32768, pair[1] / 32768)
    return pack.wav_file(bytes(frames), pack.fmt_body(rate=48000, bits=32, tag=3))


class Packing(BatchCase):
    ORIGINALS = {
        "game/A.BGM": bgm(32, 1),
        "game/B.BGM": bgm(20, 2) + bgm(1, 3)[:700],  # not whole blocks
        "game/s/C.BGM": bgm(24, 4),
        "game/s/D.BGM": bgm(16, 5),
    }

    def setUp(self):
        super().setUp()
        self.tree(self.ORIGINALS)
        self.lines("-o", "wavs", "game")
        self.kept = self.state(self.ORIGINALS)

    def test_round_trip_of_a_whole_folder(self):
        # Nothing edited: nothing is rewritten, not even the original whose
        # last block does not come back byte for byte.
        lines = self.lines("--pack", "-o", "game", "wavs")
        self.assertEqual(lines, ['Unchanged "%s": %s' % (native("wavs/A.BGM.wav"), duration(8192)),
                                 'Unchanged "%s": %s' % (native("wavs/B.BGM.wav"), duration(21180 // 4)),
                                 'Unchanged "%s": %s' % (native("wavs/s/C.BGM.wav"), duration(6144)),
                                 'Unchanged "%s": %s' % (native("wavs/s/D.BGM.wav"), duration(4096))])
        self.assertEqual(self.state(self.ORIGINALS), self.kept)
        # The edits: A shorter, C resampled, D saved as float (which packs to
        # the original's bytes: unchanged), and a WAV file without an
        # original, which only the case of its .wav tells.
        new_a = bgm(20, 8)[:5000 * 4]
        self.put("wavs/A.BGM.wav", pack.wav_file(new_a, pack.fmt_body(rate=48000)))
        self.put("wavs/s/C.BGM.wav", pack.wav_file(pattern(4000), pack.fmt_body(rate=44100)))
        self.put("wavs/s/D.BGM.wav", float_wav(self.ORIGINALS["game/s/D.BGM"]))
        self.put("wavs/s/GONE.BGM.WAV", pack.wav_file(pattern(4000), pack.fmt_body(rate=48000)))
        self.put("wavs/notes.txt", b"not a WAV file: left alone")
        shutil.copy(self.path("game/A.BGM"), self.path("expected.bgm"))
        subprocess.run(RUNNER + [pack.PACK, native("wavs/A.BGM.wav"), "expected.bgm", "expected.bgm", "48000"],
                       cwd=self.dir, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, timeout=TIMEOUT,
                       check=True)
        expected = [
            'Packed "%s" -> "%s": %s, 3192 Frames (0.067 Seconds) Of Silence Added' % (
                native("wavs/A.BGM.wav"), native("game/A.BGM"), duration(5000)),
            'Unchanged "%s": %s' % (native("wavs/B.BGM.wav"), duration(21180 // 4)),
            'Failed "%s": WavFile Sample Rate Is 44100 Hz, Not 48000 Hz' % native("wavs/s/C.BGM.wav"),
            'Unchanged "%s": %s' % (native("wavs/s/D.BGM.wav"), duration(4096)),
            'Failed "%s": no original "%s"' % (native("wavs/s/GONE.BGM.WAV"), native("game/s/GONE.BGM")),
        ]
        self.assertEqual(self.lines("--pack", "-n", "-o", "game", "wavs", status=1), expected)
        self.assertEqual(self.state(self.ORIGINALS), self.kept)
        self.assertEqual(self.lines("--pack", "-o", "game", "wavs", status=1), expected)
        self.assertEqual(self.get("game/A.BGM"), self.get("expected.bgm"))
        self.assertFalse(os.path.exists(self.path("game/s/GONE.BGM")))
        del self.kept["game/A.BGM"]
        self.assertEqual(self.state(self.kept), self.kept)

    def test_beside_the_wav_files(self):
        # Without -o the original is beside its WAV file: NAME.wav into NAME.
        self.put("wavs/s/D.BGM", self.ORIGINALS["game/s/D.BGM"])
        self.put("wavs/s/D.BGM.wav", pack.wav_file(bgm(4, 6), pack.fmt_body(rate=48000)))
        lines = self.lines("--pack", native("wavs/s/D.BGM.wav"))
        self.assertEqual(lines, ['Packed "%s" -> "%s": %s, %s' % (
            native("wavs/s/D.BGM.wav"), native("wavs/s/D.BGM"), duration(1024),
            "3072 Frames (0.064 Seconds) Of Silence Added")])
        self.assertEqual(self.get("wavs/s/D.BGM"), pack.expected_bgm(bgm(4, 6)) + bytes(12 * 1024))

    @needs_fault_shim
    def test_an_attribute_the_new_file_cannot_keep_is_named(self):
        self.put("wavs/s/D.BGM", self.ORIGINALS["game/s/D.BGM"])
        self.put("wavs/s/D.BGM.wav", pack.wav_file(bgm(16, 6), pack.fmt_body(rate=48000)))
        os.setxattr(self.path("wavs/s/D.BGM"), "user.note", b"from the disc")
        env = with_faults(PLIVEX_FAULT_XATTR="user.note")
        code, out, _ = self.run_batch("--pack", native("wavs/s/D.BGM.wav"), env=env)
        self.assertEqual((code, out.split(EOL)[0]), (0, 'Packed "%s" -> "%s": %s, Attribute "user.note" Not Kept: %s' % (
            native("wavs/s/D.BGM.wav"), native("wavs/s/D.BGM"), duration(4096), os.strerror(errno.EOPNOTSUPP))))


class Walking(BatchCase):
    @posix_only
    def test_links_to_folders_are_not_followed(self):
        # A loop of links would make the walk endless: none is followed,
        # each is named once; a link to a file is a file.
        self.tree({"game/A.BGM": bgm(20, 1), "game/sub/B.BGM": bgm(20, 2)})
        os.symlink("..", self.path("game/sub/up"))
        os.symlink(".", self.path("game/self"))
        os.symlink("A.BGM", self.path("game/link.BGM"))
        lines = self.lines("-o", "out", "game")
        self.assertEqual([line.split(":")[0] for line in lines], [
            'Converted "game/A.BGM" -> "out/A.BGM.wav"', 'Converted "game/link.BGM" -> "out/link.BGM.wav"',
            'Skipped "game/self"', 'Converted "game/sub/B.BGM" -> "out/sub/B.BGM.wav"', 'Skipped "game/sub/up"'])
        self.assertEqual(self.get("out/link.BGM.wav"), self.get("out/A.BGM.wav"))
        # An output folder inside the walked one is not walked into.
        self.assertEqual([line.split(":")[0] for line in self.lines("-o", "game/wavs", "-q", "game")], [])
        self.assertEqual(self.files_under("game/wavs"), ["game/wavs/A.BGM.wav", "game/wavs/link.BGM.wav",
                                                         "game/wavs/sub/B.BGM.wav"])
        self.assertEqual(self.lines("-o", "game/wavs", "game")[-1],
                         'Skipped "game/sub/up": not a regular file or folder (links to folders are not followed)')

    @posix_only
    def test_a_folder_inside_itself_is_walked_once(self):
        # A bind mount makes a loop with no link in it.
        self.tree({"game/A.BGM": bgm(20, 1)})
        os.mkdir(self.path("game/again"))
        if os.geteuid() != 0 or subprocess.run(["mount", "--bind", self.path("game"), self.path("game/again")],
                                               stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("needs root, to mount a folder inside itself")
        try:
            self.assertEqual(self.lines("-n", "game"), [
                'Converted "game/A.BGM" -> "game/A.BGM.wav": %s' % duration(5120),
                'Skipped "game/again": a folder it is in already'])
        finally:
            subprocess.run(["umount", self.path("game/again")], check=True)

    def test_names_in_any_script_and_wildcards(self):
        # Japanese names, and on Windows, where no shell expands them, the
        # program's own wildcards: "*.bgm" takes both cases, and no other name.
        self.tree({"曲/オープニング.BGM": bgm(20, 1), "曲/Ending.bgm": bgm(24, 2), "曲/notes.txt": b"x" * 20000,
                   "曲/sub/Boss.bgm": bgm(16, 3)})
        args = [native("曲/*.bgm")] if WINDOWS_TARGET else ["曲/Ending.bgm", "曲/オープニング.BGM"]
        lines = self.lines("-o", "出力", *args)
        self.assertEqual(lines, ['Converted "%s" -> "%s": %s' % (native("曲/" + name), native("出力/" + name + ".wav"),
                                                                 duration(len(bgm(kib)) // 4))
                                 for name, kib in (("Ending.bgm", 24), ("オープニング.BGM", 20))])
        self.assertEqual(self.get("出力/オープニング.BGM.wav"), expected_wav(bgm(20, 1)))
        # A folder, whatever its name, is walked.
        self.assertEqual(len(self.lines("-f", "-o", "出力", "曲")), 4)
        self.assertEqual(self.get("出力/sub/Boss.bgm.wav"), expected_wav(bgm(16, 3)))

    @unittest.skipUnless(WINDOWS_TARGET, "needs a file system that ignores case (Windows, and Wine on Linux)")
    def test_names_that_differ_in_case_only(self):
        # Windows sees A.BGM and a.bgm as one name: their outputs are one
        # file, and the second fails naming the first, which it leaves alone.
        self.tree({"game/A.BGM": bgm(20, 1), "game/a.bgm": bgm(20, 2)})
        names = sorted(os.listdir(self.path("game")))
        lines = self.lines("-f", "-o", "out", "game", status=1)
        self.assertEqual(lines[1], 'Failed "%s": "%s" Is Also The Target Of "%s"' % (
            native("game/" + names[1]), native("out/%s.wav" % names[1]), native("game/" + names[0])))
        self.assertEqual(os.listdir(self.path("out")), [names[0] + ".wav"])


class Listing(BatchCase):
    def test_table_and_csv(self):
        # A comma and a double quote in a name: CSV quotes it (Windows
        # takes no double quote in a name).
        odd = "a/a,b.bin" if WINDOWS_TARGET else 'a/a,"b".bin'
        self.tree({"a/TRACK.BGM": bgm(40, 1), odd: pattern(30000), "a/zero": bytes(20000), "a/tiny": bgm(1, 2)})
        rows = [("a/TRACK.BGM", 40960, "bgm"), (odd, 30000, "other"), ("a/tiny", 1024, "short"),
                ("a/zero", 20000, "silence")]
        code, out, err = self.run_batch("--list", "--csv", "-r", "32000", "a")
        self.assertEqual((code, err), (0, ""))
        quoted = lambda name: '"%s"' % native(name).replace('"', '""') if "," in name else native(name)
        self.assertEqual(out.split(EOL), ["path,bytes,blocks,seconds,verdict"] + [
            "%s,%d,%d,%d.%03d,%s" % (quoted(name), size, size // 1024, size // 4 // 32000,
                                     (size // 4 % 32000 * 1000 + 16000) // 32000, verdict)
            for name, size, verdict in rows] + [""])
        code, out, _ = self.run_batch("--list", "a")
        table = out.split(EOL)
        self.assertEqual(table[0].split(), ["PATH", "BYTES", "BLOCKS", "SECONDS", "VERDICT"])
        self.assertEqual(table[1].split(), [native("a/TRACK.BGM"), "40960", "40", "0.213", "bgm"])
        # The columns line up: each number ends where its heading does.
        ends = [[word.end() for word in re.finditer(r"\S+", line)][1:4] for line in table[:5]]
        self.assertEqual(ends, [ends[0]] * 5)


class Interrupting(BatchCase):
    def interrupt(self, env, stalled):
        """Runs -j 1 over game/, and sends Ctrl-C once the output of
        `stalled` has 1 MiB under its temporary name; returns the status and
        the lines."""
        proc = subprocess.Popen(RUNNER + [BATCH, "-j", "1", "-o", "out", "game"], cwd=self.dir, env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        begun = stalled + ".wav.plivex-batch-unfinished-"
        try:
            deadline = time.monotonic() + TIMEOUT
            while time.monotonic() < deadline and not any(
                    n.startswith(begun) and os.path.getsize(self.path("out/" + n)) >= 1 << 20
                    for n in (os.listdir(self.path("out")) if os.path.isdir(self.path("out")) else [])):
                time.sleep(0.01)
            proc.send_signal(signal.SIGINT)
            out, err = proc.communicate(timeout=TIMEOUT)
        finally:
            proc.kill()
            proc.wait()
        return proc.returncode, out.decode().split(EOL), err

    def test_ctrl_c_leaves_the_finished_files_and_nothing_else(self):
        # The third file is under way at Ctrl-C: the run then ends with 130
        # and its summary, the two outputs before it stay, and the third
        # leaves nothing, not even its temporary file. Its output stalls 1
        # MiB in (the fault library), or under Wine, which turns the
        # signal into the console's Ctrl-C, it is large enough to take a
        # while.
        if not WINDOWS_TARGET and not (FAULT_SHIM and not RUNNER):
            self.skipTest("needs the preloaded fault library (native Linux build only)")
        self.tree({"game/1.BGM": bgm(20, 1), "game/2.BGM": bgm(20, 2), "game/4.BGM": bgm(20, 4)})
        if WINDOWS_TARGET:
            with open(self.path("game/3.BGM"), "wb") as f:
                f.truncate(1 << 30)  # 1 GiB of silence
            env = None
        else:
            self.put("game/3.BGM", MUSIC * 2)
            env = with_faults(PLIVEX_FAULT_WRITE="/3.BGM.wav", PLIVEX_FAULT_WRITE_FROM=str(1 << 20),
                              PLIVEX_FAULT_WRITE_STALL="EINTR")
        status, lines, err = self.interrupt(env, "3.BGM")
        self.assertEqual(status, 130, err)
        self.assertEqual([line.split(" ")[0] for line in lines], ["Converted", "Converted", "Interrupted:", ""])
        self.assertRegex(lines[2], SUMMARY)
        self.assertEqual(sorted(os.listdir(self.path("out"))), ["1.BGM.wav", "2.BGM.wav"])
        self.assertEqual(self.get("out/2.BGM.wav"), expected_wav(bgm(20, 2)))


class CommandLine(BatchCase):
    def test_exit_status_and_usage(self):
        self.put("in/A.BGM", bgm(20))
        bad = [["--bogus", "in"], ["-r", "999", "in"], ["-r", "44.1", "in"], ["-j", "0", "in"], [],
               ["--pack", "--list", "in"], ["--csv", "in"], ["-o"], ["--list", "-o", "x", "in"]]
        for args in bad:
            with self.subTest(args=args):
                code, out, err = self.run_batch(*args)
                self.assertEqual((code, out), (2, ""), err)
                self.assertIn("Usage: plivex-batch", err)
        code, out, _ = self.run_batch("--help")
        self.assertEqual(code, 0)
        self.assertIn("--dry-run", out)
        code, out, _ = self.run_batch("-V")
        self.assertEqual((code, out), (0, "plivex-batch (Plivex) %s%s" % (_options.version, EOL)))
        self.assertEqual(self.lines("in", "missing", status=1)[1], 'Failed "missing": File Not Found')
        self.lines("in")  # an output that exists is skipped, not a failure

    @posix_only
    def test_progress_on_a_terminal_only(self):
        # Standard error a terminal: the progress line, redrawn in place and
        # erased at the end; standard output keeps only the lines.
        import pty
        self.tree({"in/%d.BGM" % i: bgm(20, i) for i in range(3)})
        master, slave = pty.openpty()
        proc = subprocess.Popen(RUNNER + [BATCH, "-j", "1", "in"], cwd=self.dir, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=slave)
        os.close(slave)
        try:
            shown = e2e_test.read_terminal(master, proc)
            out, _ = proc.communicate(timeout=TIMEOUT)
        finally:
            proc.kill()
            proc.wait()
            os.close(master)
        self.assertRegex(shown, rb"^\r\d/3 files, 0\.\d MB, [\d.]+ MB/s")
        self.assertRegex(shown, rb"\r +\r$")
        self.assertEqual(out.count(b"\n"), 4)
        code, _, err = self.run_batch("-f", "in")
        self.assertEqual((code, err), (0, ""))


if __name__ == "__main__":
    _, unittest_args = e2e_test._parser.parse_known_args()
    _, unittest_args = pack._parser.parse_known_args(unittest_args)
    _, unittest_args = _parser.parse_known_args(unittest_args)
    unittest.main(argv=[sys.argv[0]] + unittest_args, verbosity=2)
