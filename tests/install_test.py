#!/usr/bin/env python3
"""Checks what a plain `make` and then `cmake --install` put under a prefix.

    install_test.py --make MAKE --source DIR --cmake CMAKE --version 1.1.0
                    [--cmake-args "-DCMAKE_TOOLCHAIN_FILE=..."] [--runner "qemu-..."]

Does what the README's Install section says, in a fresh build folder: plain
`make` in the sources (with --cmake-args given to CMake, for a cross build),
then `cmake --install` into a temporary prefix, under the umask 002 of a
user with a private group. Checks that exactly the two programs and their
manual pages arrive, with the permissions of a system install (nothing
group-writable), that the installed programs (run through --runner, an
emulator, when given) convert there and back, and that man finds the pages
where they were put.
"""

import argparse
import os
import shlex
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

_parser = argparse.ArgumentParser(add_help=False)
_parser.add_argument("--make", required=True)
_parser.add_argument("--source", required=True)
_parser.add_argument("--cmake", required=True)
_parser.add_argument("--cmake-args", default="")
_parser.add_argument("--runner", default="")
_parser.add_argument("--version", required=True)
_options, _unittest_args = _parser.parse_known_args()

TIMEOUT = 120
BUILD_TIMEOUT = 600
RUNNER = shlex.split(_options.runner)
NAMES = ("plivex", "plivex-pack", "plivex-batch")
PROGRAMS = {name: os.path.join("bin", name) for name in NAMES}
PAGES = {name: os.path.join("share", "man", "man1", name + ".1") for name in NAMES}


def run(command, timeout=TIMEOUT, **kwargs):
    return subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=timeout, **kwargs)


def plain_make(build):
    """Runs `make` in the sources as a user types it, into the folder
    `build`; returns its output. The make that runs this test (make test)
    passes its own settings down in the environment: they are left out."""
    env = {name: value for name, value in os.environ.items()
           if name not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL", "MAKEOVERRIDES")}
    done = run([_options.make, "-C", _options.source, "BUILD_DIR=" + build,
                "CMAKE_ARGS=" + _options.cmake_args], timeout=BUILD_TIMEOUT, env=env)
    output = (done.stdout + done.stderr).decode(errors="replace")
    if done.returncode != 0:
        raise AssertionError("make failed:\n" + output)
    return output


@unittest.skipUnless(_options.make, "make is not installed (Debian package make)")
class Install(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._dir = tempfile.TemporaryDirectory(prefix="plivex-install-")
        cls.build = os.path.join(cls._dir.name, "build")
        cls.prefix = os.path.join(cls._dir.name, "prefix with blank")
        plain_make(cls.build)
        done = run([_options.cmake, "--install", cls.build, "--prefix", cls.prefix],
                   preexec_fn=lambda: os.umask(0o002))
        if done.returncode != 0:
            raise AssertionError("cmake --install after a plain make failed:\n"
                                 + done.stderr.decode(errors="replace"))

    @classmethod
    def tearDownClass(cls):
        cls._dir.cleanup()

    def at(self, relative):
        return os.path.join(self.prefix, relative)

    def test_exactly_the_programs_and_their_pages(self):
        installed = set()
        for root, _, files in os.walk(self.prefix):
            installed.update(os.path.relpath(os.path.join(root, f), self.prefix) for f in files)
        self.assertEqual(installed, set(PROGRAMS.values()) | set(PAGES.values()))

    def test_permissions(self):
        rows = [(p, 0o755) for p in PROGRAMS.values()] + [(p, 0o644) for p in PAGES.values()]
        folder = os.path.dirname(PAGES["plivex"])
        while folder:
            rows.append((folder, 0o755))
            folder = os.path.dirname(folder)
        rows.append(("bin", 0o755))
        for relative, mode in rows:
            with self.subTest(path=relative):
                self.assertEqual(oct(stat.S_IMODE(os.stat(self.at(relative)).st_mode)), oct(mode))

    def test_pages_are_the_ones_built_for_this_version(self):
        for name, page in PAGES.items():
            with self.subTest(page=page):
                with open(self.at(page), "rb") as f:
                    installed = f.read()
                with open(os.path.join(self.build, name + ".1"), "rb") as f:
                    self.assertEqual(installed, f.read())
                th = next(line for line in installed.decode("ascii").splitlines() if line.startswith(".TH "))
                self.assertIn('"Plivex %s"' % _options.version, th)

    def test_installed_programs_go_there_and_back(self):
        # Whole blocks come back from plivex-pack exactly as they went in.
        data = bytes((i * 13 + i // 700) & 0xFF for i in range(3 * 1024))
        with tempfile.TemporaryDirectory(prefix="plivex-install-run-") as work:
            with open(os.path.join(work, "in.bgm"), "wb") as f:
                f.write(data)
            done = run(RUNNER + [self.at(PROGRAMS["plivex"]), "in.bgm", "mid.wav", "32000"], cwd=work)
            self.assertEqual(done.returncode, 0, done.stdout)
            done = run(RUNNER + [self.at(PROGRAMS["plivex-pack"]), "mid.wav", "back.bgm"], cwd=work)
            self.assertEqual(done.returncode, 0, done.stdout)
            self.assertTrue(done.stdout.startswith(b"Plivex-Pack V"), done.stdout)
            self.assertIn(b"WavFile Sample Rate Is 32000 Hz", done.stdout)
            with open(os.path.join(work, "back.bgm"), "rb") as f:
                self.assertEqual(f.read(), data)

    @unittest.skipIf(shutil.which("man") is None, "man is not installed (Debian package man-db)")
    def test_man_finds_the_pages(self):
        for name, page in PAGES.items():
            with self.subTest(page=name):
                done = run(["man", "-w", name],
                           env=dict(os.environ, MANPATH=os.path.join(self.prefix, "share", "man")))
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(done.stdout.decode().strip(), self.at(page))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + _unittest_args, verbosity=2)
