#!/usr/bin/env python3
"""Checks of the manual page as man(1) renders it.

    manpage_test.py --page build/plivex.1 --readme README.md --version 1.1.0
                    [--program plivex-pack --messages "What plivex-pack prints"]

The page must render without a single warning, carry the release's version,
have every section a reader looks for, and name every console message that
the README's table of messages (under the heading --messages) lists, so
that neither document drifts from the other. Exits with 77 (CTest: skipped)
when man is not installed.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import unittest

_parser = argparse.ArgumentParser(add_help=False)
_parser.add_argument("--page", required=True)
_parser.add_argument("--readme", required=True)
_parser.add_argument("--version", required=True)
_parser.add_argument("--program", default="plivex")
_parser.add_argument("--messages", default="What the program prints")
_options, _unittest_args = _parser.parse_known_args()

PAGE = os.path.abspath(_options.page)
TIMEOUT = 60
SKIPPED = 77

SECTIONS = ["NAME", "SYNOPSIS", "DESCRIPTION", "DIAGNOSTICS", "EXIT STATUS", "FILES", "EXAMPLES",
            "SEE ALSO"]
# What each program's page must have besides, its synopsis, and how many
# messages its table in the README has at least (so that the table is known
# to have been found and read).
PROGRAMS = {
    "plivex": (["SAMPLE RATE"], "plivex BgmFile WavFile [Sample Rate]", 11),
    "plivex-pack": ([], "plivex-pack WavFile BgmFile [Size] [Sample Rate] plivex-pack --help plivex-pack --version",
                    11),
    "plivex-batch": (["OPTIONS", "IDENTIFYING FILES"],
                     "plivex-batch [OPTION]... PATH... plivex-batch --pack [OPTION]... PATH... "
                     "plivex-batch --list [--csv] PATH...", 7),
}


def man(*args, width=80, locale=None):
    env = dict(os.environ, MANWIDTH=str(width))
    env.pop("MANPAGER", None)
    env.pop("PAGER", None)
    if locale:
        env["LC_ALL"] = locale
    return subprocess.run(["man", *args], env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=TIMEOUT)


def readme_messages(path, heading):
    """The first code span of every row of the README's table of messages
    under `heading`, and the banner: the exact console texts."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    part = re.split(r"^#+ " + re.escape(heading) + r"\n", text, maxsplit=1, flags=re.M)[1]
    part = re.split(r"^#+ ", part, maxsplit=1, flags=re.M)[0]
    messages = re.findall(r"^\| `([^`]+)`", part, flags=re.M)
    messages += re.findall(r"the banner `([^`]+)`", part)
    return messages


def words(text):
    return " ".join(text.split())


class ManualPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        done = man("-l", PAGE, locale="C")
        cls.status, cls.text = done.returncode, done.stdout.decode("ascii")

    def test_renders_without_warnings(self):
        # As a maintainer checks it: MANWIDTH=80 man --warnings -l PAGE 2>&1 >/dev/null
        for width in (80, 60):
            with self.subTest(width=width):
                done = man("--warnings", "-l", PAGE, width=width)
                self.assertEqual(done.returncode, 0)
                self.assertEqual(done.stderr.decode(errors="replace"), "")
                self.assertTrue(done.stdout.strip())

    def test_version_of_the_release(self):
        self.assertEqual(self.status, 0)
        footer = self.text.strip().splitlines()[-1]
        self.assertIn("Plivex " + _options.version, footer)

    def test_sections(self):
        headings = re.findall(r"^(\S.*\S)\s*$", self.text, flags=re.M)
        for section in SECTIONS + PROGRAMS[_options.program][0]:
            with self.subTest(section=section):
                self.assertIn(section, headings)

    def test_synopsis(self):
        synopsis = self.text.split("SYNOPSIS", 1)[1].split("DESCRIPTION", 1)[0]
        self.assertEqual(words(synopsis), PROGRAMS[_options.program][1])

    def test_hexadecimal_numbers_are_quoted_for_the_shell(self):
        # Unquoted, a shell expands $AC44 to nothing: the argument vanishes
        # and the run succeeds at the default rate (or without a Size).
        # Every example must carry its quotes, in each page and in the
        # README alike (read with plivex's page: one README for both).
        documents = [("manual page", self.text)]
        if _options.program == "plivex":
            with open(_options.readme, encoding="utf-8") as f:
                documents.append(("README", f.read()))
        for name, text in documents:
            examples = list(re.finditer(r"(.)(\$[0-9A-Fa-f]{2,})(.)", text))
            with self.subTest(document=name):
                self.assertTrue(examples, "no hexadecimal example found")
                for match in examples:
                    # cmd.exe keeps the quotes, so its examples go without.
                    if "cmd" not in text[max(0, match.start() - 200):match.start()]:
                        self.assertEqual(match.group(1, 3), ("'", "'"), match.group(2) + " is not quoted")

    def test_every_console_message_is_explained(self):
        messages = readme_messages(_options.readme, _options.messages)
        self.assertGreaterEqual(len(messages), PROGRAMS[_options.program][2])  # the table was found and read
        diagnostics = words(self.text.split("DIAGNOSTICS", 1)[1].split("EXIT STATUS", 1)[0])
        for message in messages:
            with self.subTest(message=message):
                self.assertTrue(words(message) in diagnostics, "missing from DIAGNOSTICS")


if __name__ == "__main__":
    if shutil.which("man") is None:
        print("skipped: man is not installed (Debian package man-db)")
        sys.exit(SKIPPED)
    unittest.main(argv=[sys.argv[0]] + _unittest_args, verbosity=2)
