#!/usr/bin/env python3
"""Names and paths: plivex run with file names in many scripts, with
look-alikes of existing names, with long nested paths, with standard output
on one of its own files, and with its input held by another program.

    names_test.py --exe PATH [--runner CMD] [--holder PATH] [unittest arguments]

--holder is the Windows helper program that keeps a file open
(tests/hold_file.cpp); the rows that need it are skipped without it. On
Linux names are bytes, and every row that does not need Windows runs there
too. Shares its helpers with e2e_test.py.
"""

import argparse
import contextlib
import fcntl
import os
import re
import struct
import subprocess
import sys
import termios
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_test  # noqa: E402  (parses --exe and --runner)
from e2e_test import (BANNER, EXE, RUNNER, SUCCESS, TIMEOUT, WINDOWS_TARGET,  # noqa: E402
                      Case, expected_wav, failure, pattern, read_terminal)

_parser = argparse.ArgumentParser(add_help=False)
_parser.add_argument("--holder", default="")
_options, _ = _parser.parse_known_args()
HOLDER = os.path.abspath(_options.holder) if _options.holder else ""

# Wine turns Unix file names and arguments into UTF-16 by the locale's
# character set, and the names here are UTF-8 on disk; with the C locale it
# would mangle them before plivex saw them. (Its ANSI code page stays 1252.)
RUN_ENV = dict(os.environ, LC_ALL="C.UTF-8") if WINDOWS_TARGET else None

# Names in several scripts; each must reach the disk exactly as typed.
SCRIPTS = [
    ("Japanese", "曲01 オープニング"),
    ("Korean", "음악 01 시작"),
    ("Cyrillic", "Музыка 01"),
    ("accented Latin", "Ōkami café ñ"),
    ("emoji outside the BMP", "🎵 track 01 🎶"),
    ("Chinese", "第一章 序曲"),
    ("Greek", "Μουσική"),
    ("Arabic", "موسيقى"),
    ("Hebrew", "מוזיקה"),
    ("Thai", "เพลง"),
    ("Devanagari", "संगीत"),
    ("combining accent", "Cafe\u0301"),
]

windows_only = unittest.skipUnless(WINDOWS_TARGET, "Windows only: sharing modes")


def transcript(*lines):
    """The exact bytes of a transcript whose lines may hold any script."""
    return b"".join(line.encode("utf-8") + b"\r\n" for line in (BANNER, "") + lines)


def not_found(name):
    return transcript('File Not Found "%s" !' % name, "", "Abort !!!")


INVALID_RATE = failure("Invalid Sample Rate !")
ABORT = failure()


class NameCase(Case):
    def run_plivex_with_errors(self, *args, **kwargs):
        kwargs.setdefault("env", RUN_ENV)
        return super().run_plivex_with_errors(*args, **kwargs)

    def run_to(self, args, stdout):
        """Runs plivex with standard output on the open file `stdout`;
        returns its exit status."""
        done = subprocess.run(RUNNER + [EXE, *args], cwd=self.dir, stdin=subprocess.DEVNULL,
                              stdout=stdout, stderr=subprocess.PIPE, timeout=TIMEOUT, env=RUN_ENV)
        return done.returncode

    def listing(self, folder="."):
        return sorted(os.listdir(self.path(folder)))


class Scripts(NameCase):
    def test_input_and_output_named_in_any_script(self):
        for i, (script, name) in enumerate(SCRIPTS):
            with self.subTest(script=script):
                data = pattern(3000 + i, seed=i)
                os.mkdir(self.path(script))
                bgm = os.path.join(script, name + ".bgm")
                wav = os.path.join(script, name + ".wav")
                self.put(bgm, data)
                self.assert_run([bgm, wav, "44100"], SUCCESS)
                self.assertEqual(self.get(wav), expected_wav(data, 44100))
                self.assertEqual(self.listing(script), sorted([name + ".bgm", name + ".wav"]))

    def test_folders_named_in_any_script(self):
        data = pattern(2500)
        folder = os.path.join("曲", "Музыка", "🎵")
        os.makedirs(self.path(folder))
        self.put(os.path.join(folder, "in.bgm"), data)
        self.assert_run([os.path.join(folder, "in.bgm"), os.path.join(folder, "음악.wav")], SUCCESS)
        self.assertEqual(self.get(os.path.join(folder, "음악.wav")), expected_wav(data))

    def test_missing_input_is_named_byte_for_byte(self):
        self.put("in.bgm", pattern(100))
        for name in ("曲99 エンディング.bgm", "🎵.bgm", "Ōkami.bgm", "Музыка.bgm"):
            with self.subTest(name=name):
                self.assert_run([name, "out.wav"], not_found(name))
                self.assert_run([name], not_found(name))
        self.assertEqual(self.listing(), ["in.bgm"])


class LookAlikes(NameCase):
    def test_output_is_not_written_to_a_look_alike(self):
        data = pattern(2048)
        self.put("in.bgm", data)
        # The name asked for, and an existing file that a code page's "best
        # fit" would turn it into.
        pairs = [("Ōkami.wav", "Okami.wav"), ("ｏｕｔ.wav", "out.wav"), ("Ⅳ.wav", "IV.wav"),
                 ("café.wav", "cafe.wav"), ("曲.wav", "?.wav")]
        for wanted, existing in pairs:
            with self.subTest(output=wanted):
                if existing == "?.wav" and WINDOWS_TARGET:
                    continue  # "?" cannot be in a Windows name
                self.put(existing, b"somebody else's file")
                self.assert_run(["in.bgm", wanted], SUCCESS)
                self.assertEqual(self.get(wanted), expected_wav(data))
                self.assertEqual(self.get(existing), b"somebody else's file")
                self.assertEqual(self.listing(), sorted(["in.bgm", wanted, existing]))
                os.remove(self.path(wanted))
                os.remove(self.path(existing))

    def test_missing_input_is_not_replaced_by_a_look_alike(self):
        self.put("in.bgm", pattern(1000))
        self.put("Okami.bgm", pattern(1000))
        for name in ("ｉｎ.bgm", "Ōkami.bgm", "İn.bgm", "in\u0301.bgm"):
            with self.subTest(name=name):
                self.assert_run([name, "out.wav"], not_found(name))
        self.assertEqual(self.listing(), ["Okami.bgm", "in.bgm"])

    def test_digits_of_other_scripts_are_not_a_sample_rate(self):
        self.put("in.bgm", pattern(1000))
        self.put("out.wav", b"keep me")
        for text in ("１０００", "４８０００", "$３E８", "44１00", "٤٤١٠٠", "४४१००", "+１０００"):
            with self.subTest(rate=text):
                self.assert_run(["in.bgm", "out.wav", text], INVALID_RATE)
                self.assertEqual(self.get("out.wav"), b"keep me")


class SameFile(NameCase):
    def test_same_name_in_any_script_as_input_and_output(self):
        data = pattern(4096)
        for script, name in SCRIPTS[:5]:
            with self.subTest(script=script):
                self.put(name + ".bgm", data)
                outputs = [name + ".bgm", os.path.join(".", name + ".bgm")]
                if WINDOWS_TARGET:
                    outputs += [".\\" + name + ".bgm", name.upper() + ".BGM"]
                for output in outputs:
                    self.assert_run([name + ".bgm", output], ABORT)
                    self.assertEqual(self.get(name + ".bgm"), data)
                self.assertEqual(self.listing(), [name + ".bgm"])
                os.remove(self.path(name + ".bgm"))

    def test_output_that_standard_output_goes_to_is_refused(self):
        data = pattern(3000)
        self.put("in.bgm", data)
        for name in ("out.wav", "曲 出力.wav"):
            for mode, before in (("ab", b"what was there"), ("wb", b"")):
                with self.subTest(output=name, mode=mode):
                    self.put(name, b"what was there")
                    with open(self.path(name), mode) as out:
                        status = self.run_to(["in.bgm", name], out)
                    self.assertEqual(status, 0)
                    # Only the console lines went in; nothing was emptied.
                    self.assertEqual(self.get(name), before + ABORT)
        self.assertEqual(self.get("in.bgm"), data)

    def test_standard_output_on_another_file(self):
        data = pattern(3000)
        self.put("in.bgm", data)
        with open(self.path("log.txt"), "ab") as out:
            self.assertEqual(self.run_to(["in.bgm", "out.wav"], out), 0)
        self.assertEqual(self.get("log.txt"), SUCCESS)
        self.assertEqual(self.get("out.wav"), expected_wav(data))

    @unittest.skipUnless(WINDOWS_TARGET, "Windows only: cmd.exe")
    def test_redirections_of_cmd(self):
        # Standard output as cmd.exe opens it: a Windows handle, under the
        # sharing rules, rather than one inherited from a Unix shell.
        exe = EXE if os.name == "nt" else "Z:" + EXE.replace("/", "\\")
        data = pattern(3000)
        rows = [
            # (arguments after plivex's path, file, what it holds afterwards)
            (["in.bgm", "out.wav", ">", "log.txt"], "log.txt", SUCCESS),
            (["in.bgm", "out.wav", ">", "out.wav"], "out.wav", ABORT),
            (["in.bgm", "out.wav", ">>", "in.bgm"], "in.bgm", data + ABORT),
        ]
        for args, name, after in rows:
            with self.subTest(args=args):
                self.put("in.bgm", data)
                subprocess.run(RUNNER + ["cmd.exe", "/c", exe, *args], cwd=self.dir, env=RUN_ENV,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=TIMEOUT)
                self.assertEqual(self.get(name), after)
                if name == "log.txt":
                    self.assertEqual(self.get("out.wav"), expected_wav(data))
                    os.remove(self.path("out.wav"))
                self.assertEqual(self.listing(), sorted({"in.bgm", name}))
                os.remove(self.path(name))

    def test_input_that_standard_output_goes_to_is_refused(self):
        data = pattern(3000)
        for name in ("in.bgm", "曲.bgm"):
            with self.subTest(input=name):
                self.put(name, data)
                with open(self.path(name), "ab") as out:
                    status = self.run_to([name, "out.wav"], out)
                self.assertEqual(status, 0)
                self.assertEqual(self.get(name), data + ABORT)
                self.assertFalse(os.path.exists(self.path("out.wav")))


class LongPaths(NameCase):
    # (what, folder names): every whole path is well past 300 characters;
    # the deepest stays inside Linux's limit of 4095 bytes for one path,
    # which Wine's paths meet as well.
    FOLDERS = [
        ("ASCII, 5 folders", ["d" * 60] * 5),
        ("Japanese, 4 folders", ["曲" * 80] * 4),
        ("mixed scripts", ["Музыка" * 15, "음악" * 40, "🎵" * 50, "d" * 100]),
        ("ASCII, 10 folders", ["d" * 100] * 10),
        ("ASCII, 37 folders", ["d" * 100] * 37),
    ]

    def check_long_folder(self, folder, typed):
        data = pattern(3000)
        os.makedirs(self.path(folder), exist_ok=True)
        self.put(os.path.join(folder, "in.bgm"), data)
        bgm, wav, missing = (typed(os.path.join(folder, name))
                             for name in ("in.bgm", "out.wav", "missing.bgm"))
        self.assertGreater(len(bgm), 300)
        self.assert_run([bgm, wav], SUCCESS)
        self.assertEqual(self.get(os.path.join(folder, "out.wav")), expected_wav(data))
        # A long output beside a short input, a long input with a short output.
        self.put("short.bgm", data)
        self.assert_run(["short.bgm", wav, "1000"], SUCCESS)
        self.assertEqual(self.get(os.path.join(folder, "out.wav")), expected_wav(data, 1000))
        self.assert_run([bgm, "short.wav"], SUCCESS)
        self.assertEqual(self.get("short.wav"), expected_wav(data))
        # A missing one is named whole.
        self.assert_run([missing, "new.wav"], not_found(missing))
        self.assertFalse(os.path.exists(self.path("new.wav")))
        # The same long path as input and output.
        self.assert_run([bgm, bgm], ABORT)
        self.assertEqual(self.get(os.path.join(folder, "in.bgm")), data)

    def test_long_paths_as_input_and_output(self):
        for what, parts in self.FOLDERS:
            with self.subTest(folders=what, length=len(os.path.join(*parts, "in.bgm"))):
                self.check_long_folder(os.path.join(*parts), lambda p: p)

    def test_long_paths_with_dot_dot(self):
        parts = ["d" * 100] * 4
        folder = os.path.join(*parts)
        os.makedirs(self.path(os.path.join(folder, "x")))
        self.check_long_folder(folder, lambda p: p.replace(folder, os.path.join(folder, "x", ".."), 1))

    @unittest.skipUnless(WINDOWS_TARGET, "Windows only: backslashes separate folders")
    def test_long_paths_with_backslashes(self):
        folder = os.path.join(*(["曲" * 50] * 3), *(["d" * 100] * 3))
        self.check_long_folder(folder, lambda p: p.replace("/", "\\"))


@contextlib.contextmanager
def held_open(name, cwd, access, share):
    """Keeps `name` open from another Windows process, with `access` and
    `share` as plivex_hold_file takes them, for the length of the block."""
    holder = subprocess.Popen(RUNNER + [HOLDER, access, share, name], cwd=cwd, env=RUN_ENV,
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        line = holder.stdout.readline()
        if line.strip() != b"held":
            raise AssertionError("the other process could not open %s: %r" % (name, line))
        yield
    finally:
        holder.stdin.close()
        holder.wait(timeout=TIMEOUT)
        holder.stdout.close()


@windows_only
class Sharing(NameCase):
    def setUp(self):
        super().setUp()
        if not HOLDER:
            self.skipTest("no --holder program given")

    def test_input_held_by_another_program(self):
        data = pattern(5000)
        name = "曲01.bgm"
        self.put(name, data)
        rows = [
            # (holder's access, what it shares, whether the run succeeds)
            ("r", "r", True),     # a reader that lets only readers in
            ("r", "rw", True),    # a reader that lets anyone in
            ("w", "rw", False),   # a writer
            ("w", "r", False),
            ("rw", "rw", False),
        ]
        for access, share, succeeds in rows:
            with self.subTest(access=access, share=share):
                with held_open(name, self.dir, access, share):
                    self.assert_run([name, "出力.wav"], SUCCESS if succeeds else ABORT)
                self.assertEqual(self.get(name), data)
                if succeeds:
                    self.assertEqual(self.get("出力.wav"), expected_wav(data))
                    os.remove(self.path("出力.wav"))
                else:
                    self.assertEqual(self.listing(), [name])

    def test_output_held_by_another_program(self):
        self.put("in.bgm", pattern(100))
        self.put("出力.wav", b"somebody else's")
        # Open without the right to read or write (to look at it): no hold.
        for access, share, succeeds in (("r", "rw", False), ("w", "rw", False), ("none", "none", True)):
            with self.subTest(access=access, share=share):
                with held_open("出力.wav", self.dir, access, share):
                    self.assert_run(["in.bgm", "出力.wav"], SUCCESS if succeeds else ABORT)
                self.assertEqual(self.get("出力.wav"),
                                 expected_wav(pattern(100)) if succeeds else b"somebody else's")


# Terminal control sequences (CSI and OSC), which Wine's console adds
# around what a program writes to a terminal.
_CONTROL = re.compile(rb"\x1b\[[0-9;?]*[ -/]*[@-~]|\x1b\][^\x07\x1b]*(?:\x07|\x1b\\)")


def run_on_terminal(exe, args, cwd):
    """Runs `exe` in `cwd` with standard output on a terminal (a
    pseudo-terminal this process reads); returns what the terminal showed,
    without control sequences and carriage returns."""
    import pty
    try:
        master, slave = pty.openpty()
    except OSError as error:
        raise unittest.SkipTest("no pseudo-terminal: %s" % error)
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 25, 120, 0, 0))
    try:
        proc = subprocess.Popen(RUNNER + [exe, *args], cwd=cwd, env=RUN_ENV,
                                stdin=subprocess.DEVNULL, stdout=slave, stderr=subprocess.DEVNULL)
        os.close(slave)
        slave = -1
        shown = read_terminal(master, proc)
        proc.wait(timeout=TIMEOUT)
    finally:
        if slave >= 0:
            os.close(slave)
        os.close(master)
    return _CONTROL.sub(b"", shown).replace(b"\r", b"")


class Console(NameCase):
    def run_on_terminal(self, args):
        return run_on_terminal(EXE, args, self.dir)

    def test_names_show_as_typed_on_a_terminal(self):
        # On Windows this is the console path (WriteConsoleW): the UTF-8
        # bytes written as they are would show in the console's code page.
        for name in ("曲99 オープニング.bgm", "Музыка.bgm", "음악.bgm", "Ōkami.bgm"):
            with self.subTest(name=name):
                shown = self.run_on_terminal([name])
                self.assertEqual(shown, not_found(name).replace(b"\r", b""))

    def test_a_line_longer_than_one_console_call(self):
        # Several calls write it. A console may break it across rows as it
        # pleases, so only the line ends are left out of the comparison.
        name = "曲" * 9000 + ".bgm"
        shown = self.run_on_terminal([name])
        self.assertEqual(shown.replace(b"\n", b""), not_found(name).replace(b"\r\n", b""))


if __name__ == "__main__":
    _, unittest_args = e2e_test._parser.parse_known_args()
    _, unittest_args = _parser.parse_known_args(unittest_args)
    unittest.main(argv=[sys.argv[0]] + unittest_args, verbosity=2)
