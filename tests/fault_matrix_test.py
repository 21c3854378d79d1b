#!/usr/bin/env python3
"""The file rules, against broken surroundings: plivex (Bgm -> WAV) and
plivex-pack (WAV -> Bgm) open, lock and create their files by one set of
rules, so every row here runs for the program that --program names. Full
devices, missing or forbidden folders, the same file by another name,
locks of every kind, pipes, sockets, devices, huge or shrinking inputs,
reads and closes that fail, closed standard streams, too little memory:
every row checks the console lines, the exit status and the state of both
files afterwards. The promise behind every row: a file the program is asked
to create is either complete and correct, or the run ends with "Abort !!!".

    fault_matrix_test.py --program plivex|plivex-pack --exe PLIVEX --pack-exe PACK
                         [--runner CMD] [--fault-shim LIB] [unittest arguments]

Each program's dialogue and conversions are tested in e2e_test.py and
pack_e2e_test.py. Rows that need to run as another user drop to uid 65534
when run as root, and are skipped with the reason when that fails.
"""

import argparse
import contextlib
import dataclasses
import errno
import fcntl
import os
import resource
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_test  # noqa: E402  (parses --exe, --runner and --fault-shim)
import pack_e2e_test as pack  # noqa: E402  (parses --pack-exe)
from names_test import run_on_terminal  # noqa: E402
from e2e_test import (RUNNER, TIMEOUT, WINDOWS_TARGET, Case, file_state, pattern,  # noqa: E402
                      posix_only, read_exactly, read_terminal, windows_only)

_parser = argparse.ArgumentParser(add_help=False)
_parser.add_argument("--program", choices=("plivex", "plivex-pack"), required=True)
_options, _ = _parser.parse_known_args()


@dataclasses.dataclass(frozen=True)
class Program:
    """A program as the file rules see it."""

    exe: str
    input: str  # the name of its input in a row's folder
    make_input: object  # samples -> the bytes of an input that holds them
    expected: object  # samples -> the bytes of the whole output
    console: object  # lines -> the console's bytes, banner first
    success: bytes  # the console of a successful run of make_input(...)
    failure_status: int
    cannot_read: str
    cannot_write: str
    no_output: str
    data_offset: int  # where the samples start in the input
    header_size: int  # the output's bytes before the samples
    # plivex-pack writes a new file beside the output and renames it over
    # the output once complete, and names what failed and why; plivex
    # writes its output in place, and prints only its fixed lines.
    replaces: bool

    def failure(self, *lines):
        return self.console(*lines, "", "Abort !!!")

    def cannot(self, what, name, why):
        """The lines a failure to `what` (Open, Read, Create, Write) the file
        `name` prints, for the reason `why`."""
        if self.replaces:
            kind = "WavFile" if what in ("Open", "Read") else "BgmFile"
            return ['Cannot %s %s "%s": %s !' % (what, kind, name, why)]
        return {"Read": [self.cannot_read], "Write": [self.cannot_write]}.get(what, [])

    def cannot_create(self, name, why):
        """The whole console of a run whose output cannot be created."""
        return self.failure(*self.cannot("Create", name, why))

    def cannot_open(self, name, why):
        return self.failure(*self.cannot("Open", name, why))

    def cannot_read_data(self, name, why):
        """The console of a run whose reading fails once the samples flow."""
        return self.failure("Please Wait ...", "", *self.cannot("Read", name, why))

    def cannot_write_data(self, name, why):
        return self.failure("Please Wait ...", "", *self.cannot("Write", name, why))

    def cannot_write_first(self, name, why):
        """A failure of the first write: plivex writes the WAV header before
        "Please Wait ...", so its first write fails before that line;
        plivex-pack's first write is of samples."""
        if self.header_size:
            return self.failure(*self.cannot("Write", name, why))
        return self.cannot_write_data(name, why)


P = {
    "plivex": Program(
        exe=e2e_test.EXE, input="in.bgm", make_input=bytes, expected=e2e_test.expected_wav,
        console=e2e_test.console, success=e2e_test.SUCCESS, failure_status=0,
        cannot_read="Cannot Read BgmFile !", cannot_write="Cannot Write WavFile !",
        no_output="Output Wav File Not Specified !", data_offset=0, header_size=44, replaces=False),
    "plivex-pack": Program(
        exe=pack.PACK, input="in.wav", make_input=pack.wav_file, expected=pack.expected_bgm,
        console=pack.console, success=pack.success(44100), failure_status=1,
        cannot_read="Cannot Read WavFile !", cannot_write="Cannot Write BgmFile !",
        no_output="Output Bgm File Not Specified !", data_offset=44, header_size=0, replaces=True),
}[_options.program]

NOBODY = 65534  # uid and gid the rows that need an ordinary user drop to
# The system's words for EIO, which plivex-pack shows as they are.
IO_ERROR = os.strerror(errno.EIO)
LEFTOVER = ".plivex-pack-unfinished-"  # in the name of a file written to be renamed
FAULT_SHIM = os.path.abspath(e2e_test._options.fault_shim) if e2e_test._options.fault_shim else None
if FAULT_SHIM and not os.path.isfile(FAULT_SHIM):
    sys.exit("no fault library at " + FAULT_SHIM)
needs_fault_shim = unittest.skipUnless(
    FAULT_SHIM and not RUNNER,
    "the preloaded fault library would enter the emulator, not the program" if RUNNER
    else "needs the preloaded fault library (native Linux build only)")
# An address-space limit (ulimit -v) binds an emulator's own memory too.
needs_own_address_space = unittest.skipIf(
    RUNNER, "an address-space limit would bind the emulator (%s) as well" % " ".join(RUNNER[:1]))


def with_faults(**faults):
    """An environment that preloads the fault library with `faults` on."""
    env = dict(os.environ, LD_PRELOAD=FAULT_SHIM, **faults)
    # A sanitizer runtime insists on coming first; here the fault library
    # must, so that its functions are the ones the program calls.
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    return env


class Run:
    """What one run left: exit status, console bytes (None when standard
    output was closed) and what it wrote to standard error."""

    def __init__(self, status, out, err):
        self.status, self.out, self.err = status, out, err


def run_program(args, cwd, closed=(), user=None, exe=P.exe, stdout=subprocess.PIPE, env=None,
                address_space=None, stdin=subprocess.DEVNULL, umask=None):
    """Runs the program in `cwd` with the standard descriptors in `closed`
    closed, when `user` is set as that uid and gid, when `address_space`
    is set with its memory limited to that many bytes, and when `umask` is
    set with that umask."""

    def child_setup():
        for fd in closed:
            os.close(fd)
        if user is not None:
            os.setgroups([])
            os.setgid(user)
            os.setuid(user)
        if address_space is not None:
            resource.setrlimit(resource.RLIMIT_AS, (address_space, address_space))
        if umask is not None:
            os.umask(umask)

    # The descriptors are set up first and closed in the child, so the run
    # does not depend on what this process's own standard streams are.
    done = subprocess.run(RUNNER + [exe, *args], cwd=cwd, stdin=stdin, stdout=stdout,
                          stderr=subprocess.PIPE, timeout=TIMEOUT, preexec_fn=child_setup, env=env)
    return Run(done.returncode, None if 1 in closed else done.stdout,
               None if 2 in closed else done.stderr)


# The ways another program can hold a file: flock (shared or exclusive), a
# POSIX record lock (lockf, fcntl F_SETLK: read or write), or an
# open-file-description lock (fcntl F_OFD_SETLK: read or write). A read lock
# needs the file open for reading, a write lock open for writing.
LOCKS = ("flock-shared", "flock-exclusive", "posix-read", "posix-write", "ofd-read", "ofd-write")
READ_LOCKS = ("flock-shared", "posix-read", "ofd-read")


@contextlib.contextmanager
def held_by_another_process(path, lock):
    """Holds `lock` on `path` from a separate process for the duration of
    the block."""
    code = ("import fcntl, struct, sys\n"
            "path, lock = sys.argv[1:]\n"
            "f = open(path, 'rb' if lock in %r else 'r+b')\n"
            "if lock.startswith('flock'):\n"
            "    fcntl.flock(f, (fcntl.LOCK_SH if lock.endswith('shared') else fcntl.LOCK_EX)\n"
            "                | fcntl.LOCK_NB)\n"
            "else:\n"
            "    kind = fcntl.F_RDLCK if lock.endswith('read') else fcntl.F_WRLCK\n"
            "    command = fcntl.F_SETLK if lock.startswith('posix') else fcntl.F_OFD_SETLK\n"
            "    fcntl.fcntl(f, command, struct.pack('hhqqi', kind, 0, 0, 0, 0))\n"
            "print('held', flush=True)\n"
            "sys.stdin.read()\n") % (READ_LOCKS,)
    holder = subprocess.Popen([sys.executable, "-c", code, path, lock],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        if holder.stdout.readline() != b"held\n":
            raise AssertionError("the other process could not lock " + path)
        yield
    finally:
        holder.stdin.close()
        holder.wait(timeout=TIMEOUT)
        holder.stdout.close()


def run_on_fifo(args, cwd, fifo, first=None, then=None):
    """Runs the program on `args` in `cwd`, writing to the FIFO `fifo`
    whose read end is opened here first, so that the run finds a reader.
    Reads `first` bytes (all, when None); then calls `then` and reads the
    rest, or without `then` closes the read end there, as a player that
    quits early does. Returns the Run and the bytes read."""
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # does not wait for a writer
    os.set_blocking(reader, True)
    proc = subprocess.Popen(RUNNER + [P.exe, *args], cwd=cwd, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        with os.fdopen(reader, "rb", buffering=0) as pipe:
            data = read_exactly(pipe, first if first is not None else 1 << 62)
            if then:
                then()
                data += read_exactly(pipe, 1 << 62)
        out, err = proc.communicate(timeout=TIMEOUT)
    finally:
        proc.kill()
        proc.wait()
    return Run(proc.returncode, out, err), data


class Matrix(Case):
    """Helpers shared by the rows: an input of known samples, a
    pre-existing output with known bytes, and the checks that follow every
    run."""

    DATA = pattern(3000, seed=5)
    OLD_OUTPUT = b"an earlier output that must survive"

    def setUp(self):
        super().setUp()
        self.put(P.input, P.make_input(self.DATA))

    def assert_plain_run(self, run, transcript):
        """The exact console, and the exit status that goes with it. A
        sanitizer report ends the process with another status and writes to
        standard error."""
        succeeded = transcript.endswith(b"Operation Successfully Completed.\r\n")
        self.assertEqual(run.status, 0 if succeeded else P.failure_status, run.err)
        if run.out is not None:
            self.assertEqual(run.out, transcript)
        if run.err is not None:
            self.assertNotIn(b"Sanitizer", run.err)
            self.assertNotIn(b"runtime error", run.err)
        self.assert_no_leftovers()

    def assert_no_leftovers(self):
        """No file that a run began under a temporary name is left, whatever
        the run's end."""
        for root, _, names in os.walk(self.dir):
            self.assertEqual([n for n in names if LEFTOVER in n], [], root)

    def assert_input_intact(self):
        self.assertEqual(self.get(P.input), P.make_input(self.DATA))

    def assert_complete(self, name, data=None):
        self.assertEqual(self.get(name), P.expected(self.DATA if data is None else data))

    def keep_old_output(self):
        """Puts an earlier output at "out"; returns its state, which every
        refused run must leave as it is."""
        self.put("out", self.OLD_OUTPUT)
        return file_state(self.path("out"))


class OutputFaults(Matrix):
    def test_output_that_cannot_be_created_or_written(self):
        os.mkdir(self.path("folder"))
        rows = [
            # (output, console, what the output path holds afterwards)
            (os.path.join("missing", "out"), P.cannot_create(os.path.join("missing", "out"), "Folder Not Found"),
             "absent"),
            ("folder", P.cannot_create("folder", "Is A Folder"), "empty folder"),
        ]
        if not WINDOWS_TARGET:
            in_file = os.path.join(P.input, "out")  # a file as folder
            rows += [("/dev/full", P.cannot_write_first("/dev/full", "Disk Full"), None),
                     (in_file, P.cannot_create(in_file, "Folder Not Found"), "absent"),
                     ("folder/", P.cannot_create("folder/", "Is A Folder"), "empty folder")]
        else:
            # Longer than any Windows file system takes, which Wine tells only
            # as a name not found, and only once the whole file is written.
            rows += [("n" * 256, P.cannot_create("n" * 256, "Name Too Long"), "absent")]
        for output, transcript, after in rows:
            with self.subTest(output=output):
                self.assert_plain_run(run_program([P.input, output], self.dir), transcript)
                self.assert_input_intact()
                if after == "absent":
                    self.assertFalse(os.path.lexists(self.path(output)))
                    self.assertFalse(os.path.exists(self.path("missing")))
                elif after == "empty folder":
                    self.assertEqual(os.listdir(self.path("folder")), [])

    @windows_only
    def test_device_as_output_on_windows(self):
        for device in ("NUL", "nul"):
            with self.subTest(device=device):
                self.assert_plain_run(run_program([P.input, device], self.dir), P.success)
        self.assertEqual(sorted(os.listdir(self.dir)), [P.input])

    @windows_only
    def test_console_as_output_on_windows(self):
        # Under each of its names, before anything reaches it; CON opens
        # the console only for writing, and is known by its name. Wine gives
        # a program started on a terminal a console.
        for device in ("CON", "con", ".\\CON", "CONOUT$", "conout$", ".\\CONOUT$"):
            with self.subTest(device=device):
                self.assertEqual(run_on_terminal(P.exe, [P.input, device], self.dir),
                                 P.cannot_create(device, "Is The Console").replace(b"\r", b""))
        self.assertEqual(sorted(os.listdir(self.dir)), [P.input])

    @posix_only
    def test_output_is_a_fifo(self):
        data = pattern(1 << 20, seed=9)  # far more than a pipe holds
        self.put("big", P.make_input(data))
        os.mkfifo(self.path("out"))

        # Nobody reads: refused at once. Before, a small output vanished into
        # the pipe behind a success line, and a large one blocked for good.
        for name in (P.input, "big"):
            with self.subTest(reader="none", input=name):
                self.assert_plain_run(run_program([name, "out"], self.dir),
                                      P.cannot_create("out", "Pipe Has No Reader"))
                self.assertTrue(stat.S_ISFIFO(os.lstat(self.path("out")).st_mode))

        with self.subTest(reader="reads everything"):
            run, written = run_on_fifo(["big", "out"], self.dir, self.path("out"))
            self.assertEqual(written, P.expected(data))
            self.assert_plain_run(run, P.success)

        with self.subTest(reader="quits after the first block"):
            # The reader closes its end with most of the data unsent: the run
            # must report it (EPIPE) instead of waiting for a reader forever.
            limit = P.header_size + 1024
            run, written = run_on_fifo(["big", "out"], self.dir, self.path("out"), first=limit)
            self.assertEqual(written, P.expected(data)[:limit])
            self.assert_plain_run(run, P.cannot_write_data("out", "Pipe Closed By Its Reader"))
        self.assertEqual(self.get("big"), P.make_input(data))

    @posix_only
    def test_output_is_where_the_console_goes(self):
        # /dev/stdout names whatever standard output is. When that keeps
        # data (a file, a pipe), the console lines would land in the middle
        # of the output's data, under a success line: refused before anything
        # is emptied, and the console shows just the failure.
        earlier = b"an earlier run's log\n"
        for output in ("/dev/stdout", "/proc/self/fd/1", "console.txt"):
            for mode in ("w", "a"):  # > and >>
                with self.subTest(output=output, redirect=mode):
                    self.put("console.txt", earlier)
                    with open(self.path("console.txt"), mode + "b") as console_file:
                        run = run_program([P.input, output], self.dir, stdout=console_file)
                    console_text = self.get("console.txt")
                    if mode == "a":
                        self.assertTrue(console_text.startswith(earlier))
                        console_text = console_text[len(earlier):]
                    run.out = console_text
                    self.assert_plain_run(run, P.cannot_create(output, "Same File As Standard Output"))
                    self.assert_input_intact()
        with self.subTest(output="/dev/stdout", redirect="pipe"):
            self.assert_plain_run(run_program([P.input, "/dev/stdout"], self.dir),
                                  P.cannot_create("/dev/stdout", "Same File As Standard Output"))

    @posix_only
    def test_terminal_may_be_output_and_console(self):
        # A character device keeps nothing, so it may be both the output and
        # where standard output goes (as /dev/null may: `>/dev/null`). A
        # terminal in raw mode shows it: everything written comes through
        # unchanged, the output's bytes between the console lines.
        import pty
        import tty
        wait = b"Please Wait ...\r\n\r\n"
        start, end = P.success.split(wait)
        output = P.expected(self.DATA)
        expected = start + output[:P.header_size] + wait + output[P.header_size:] + end
        for name in ("/dev/stdout", "terminal"):
            with self.subTest(output=name):
                master, slave = pty.openpty()
                tty.setraw(slave)
                try:
                    proc = subprocess.Popen(
                        RUNNER + [P.exe, P.input, os.ttyname(slave) if name == "terminal" else name],
                        cwd=self.dir, stdin=subprocess.DEVNULL, stdout=slave, stderr=subprocess.PIPE)
                    os.close(slave)
                    shown = read_terminal(master, proc)
                    _, err = proc.communicate(timeout=TIMEOUT)
                finally:
                    os.close(master)
                self.assertEqual(shown, expected)
                self.assert_plain_run(Run(proc.returncode, None, err), P.success)


@posix_only
class InputFaults(Matrix):
    def test_input_that_is_not_a_regular_file(self):
        os.mkfifo(self.path("fifo"))
        sock = socket.socket(socket.AF_UNIX)
        sock.bind(self.path("sock"))
        self.addCleanup(sock.close)
        kept = self.keep_old_output()
        for name in ("fifo", "sock", "/dev/null", "/dev/zero", "/dev/full"):
            before = file_state(self.path(name))
            for output in ("out", "new"):
                with self.subTest(input=name, output=output):
                    run = run_program([name, output], self.dir)
                    self.assert_plain_run(run, P.failure('File Not Found "%s" !' % name))
                    self.assertEqual(file_state(self.path("out")), kept)
                    self.assertFalse(os.path.exists(self.path("new")))
                    self.assertEqual(file_state(self.path(name)), before)


class SameFile(Matrix):
    """The input named again as the output, by any name, is refused before
    anything is emptied."""

    def test_input_named_again(self):
        os.mkdir(self.path("sub"))
        names = [P.input, "./" + P.input, os.path.join("sub", "..", P.input)]
        if not WINDOWS_TARGET:
            os.symlink(self.dir, self.path(os.path.join("sub", "up")))
            os.link(self.path(P.input), self.path("hard"))
            os.symlink(P.input, self.path("soft"))
            os.symlink(self.path(P.input), self.path("absolute"))
            names += [os.path.join("sub", "up", P.input), "/proc/self/cwd/" + P.input,
                      "hard", "soft", "absolute"]
        for output in names:
            with self.subTest(output=output):
                self.assert_plain_run(run_program([P.input, output], self.dir),
                                      P.cannot_create(output, "Same File As WavFile"))
                self.assert_input_intact()
        if not WINDOWS_TARGET:
            # And the other way round: the link as input, the file as output.
            self.assert_plain_run(run_program(["soft", P.input], self.dir),
                                  P.cannot_create(P.input, "Same File As WavFile"))
            self.assert_input_intact()


def drop_privileges_reason(folder, exe):
    """None when `exe` can be run as an ordinary user that reaches `folder`,
    else why not. Not root: the runs are made as the current user."""
    if os.geteuid() != 0:
        return None

    def become_nobody():
        os.setgroups([])
        os.setgid(NOBODY)
        os.setuid(NOBODY)
        os.listdir(folder)

    try:
        subprocess.run(RUNNER + [exe, "/?"], timeout=TIMEOUT, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       preexec_fn=become_nobody)
    except (subprocess.SubprocessError, OSError) as error:
        return "cannot run as uid %d in %s: %s" % (NOBODY, folder, error)
    return None


@posix_only
class PermissionFaults(Matrix):
    """Access rights do not bind root, so these rows run as uid 65534 when the
    test runs as root (CI does), and as the current user otherwise."""

    def setUp(self):
        super().setUp()
        os.chmod(self.dir, 0o777)
        os.chmod(self.path(P.input), 0o644)
        # The build folder need not be open to that user: run a copy.
        self.exe = self.path("program-copy")
        shutil.copy2(P.exe, self.exe)
        os.chmod(self.exe, 0o755)
        reason = drop_privileges_reason(self.dir, self.exe)
        if reason:
            self.skipTest(reason)
        self.user = NOBODY if os.geteuid() == 0 else None

    def run_as_user(self, *args):
        return run_program(list(args), self.dir, user=self.user, exe=self.exe)

    def test_output_folder_or_file_not_writable(self):
        os.mkdir(self.path("locked"), 0o555)
        os.chmod(self.path("locked"), 0o555)
        self.put("readonly", self.OLD_OUTPUT)
        os.chmod(self.path("readonly"), 0o444)
        kept = file_state(self.path("readonly"))

        locked_out = os.path.join("locked", "out")
        self.assert_plain_run(self.run_as_user(P.input, locked_out), P.cannot_create(locked_out, "Permission Denied"))
        self.assertEqual(os.listdir(self.path("locked")), [])
        self.assert_plain_run(self.run_as_user(P.input, "readonly"), P.cannot_create("readonly", "Permission Denied"))
        self.assertEqual(file_state(self.path("readonly")), kept)
        self.assert_input_intact()
        # The same user can convert where it may write: the rows above failed
        # for the rights alone.
        self.assert_plain_run(self.run_as_user(P.input, "out"), P.success)
        self.assert_complete("out")

    @unittest.skipUnless(P.replaces, "plivex writes its output in place")
    def test_set_user_id_bit_kept(self):
        # A write by a program without the right to keep it clears the
        # set-user-ID bit: the new file gets its mode after the last write.
        self.put("out", self.OLD_OUTPUT)
        if self.user is not None:
            os.chown(self.path("out"), self.user, self.user)
        os.chmod(self.path("out"), 0o4644)
        self.assert_plain_run(self.run_as_user(P.input, "out"), P.success)
        self.assert_complete("out")
        self.assertEqual(stat.S_IMODE(os.stat(self.path("out")).st_mode), 0o4644)

    def test_input_not_readable(self):
        os.chmod(self.path(P.input), 0o000)
        # An output the user could damage, were the run to go on.
        kept = self.keep_old_output()
        os.chmod(self.path("out"), 0o666)
        for output in ("out", "new"):
            with self.subTest(output=output):
                # It exists, so this is not "File Not Found": the open fails.
                self.assert_plain_run(self.run_as_user(P.input, output), P.cannot_open(P.input, "Permission Denied"))
                self.assertEqual(file_state(self.path("out")), kept)
                self.assertFalse(os.path.exists(self.path("new")))
        os.chmod(self.path(P.input), 0o644)
        self.assert_input_intact()


@posix_only
class ClosedStandardStreams(Matrix):
    """A closed standard stream hands its number to the next file opened.
    Console lines must never end up inside the output."""

    def test_success_with_closed_streams(self):
        for closed in ((0,), (1,), (2,), (0, 1), (0, 2), (1, 2), (0, 1, 2)):
            with self.subTest(closed=closed):
                self.put("out", self.OLD_OUTPUT)
                self.assert_plain_run(run_program([P.input, "out"], self.dir, closed=closed), P.success)
                self.assert_complete("out")
                self.assert_input_intact()

    @unittest.skipUnless(P.replaces, "plivex reads no standard input")
    def test_standard_input_with_standard_output_closed(self):
        # Standard input open for reading and writing (`<>in.wav >&-`): its
        # duplicate must not take the number of standard output, or the
        # console lines would be written into the input, between the
        # samples still to be read.
        stdin = os.open(self.path(P.input), os.O_RDWR)
        try:
            self.assert_plain_run(run_program(["-", "out"], self.dir, closed=(1,), stdin=stdin), P.success)
        finally:
            os.close(stdin)
        self.assert_complete("out")
        self.assert_input_intact()

    def test_failures_with_closed_streams_do_not_wait(self):
        kept = self.keep_old_output()
        rows = [
            (["missing", "out"], P.failure('File Not Found "missing" !')),
            ([P.input], P.failure(P.no_output)),
            ([P.input, "/dev/full"], P.cannot_write_first("/dev/full", "Disk Full")),
            ([P.input, P.input], P.cannot_create(P.input, "Same File As WavFile")),
        ]
        for closed in ((0,), (1,), (0, 1), (0, 1, 2)):
            for args, transcript in rows:
                with self.subTest(closed=closed, args=args):
                    self.assert_plain_run(run_program(args, self.dir, closed=closed), transcript)
                    self.assertEqual(file_state(self.path("out")), kept)
                    self.assert_input_intact()


@windows_only
@unittest.skipUnless(P.replaces, "plivex reads no standard input, and writes its output in place")
class StandardInputOnWindows(Matrix):
    def test_nul_is_no_terminal(self):
        # NUL is a character device, as a console is, but nobody types
        # there: it is read as the empty stream it is. (Here a Unix
        # /dev/null, which Wine shows as one.)
        kept = self.keep_old_output()
        self.assert_plain_run(run_program(["-", "out"], self.dir), P.failure("WavFile Header Is Cut Short !"))
        self.assertEqual(file_state(self.path("out")), kept)

    @unittest.skipUnless(os.name == "posix", "Wine turns a SIGINT into the console's Ctrl-C")
    def test_ctrl_c_removes_the_new_file(self):
        # Ctrl-C as the console's event, which Wine makes of a SIGINT (it
        # has no display here to press it in): the handler removes the new
        # file, and the process ends at once, before its input does.
        kept = self.keep_old_output()
        wav = P.make_input(pattern(2 << 20, seed=8))
        proc = subprocess.Popen(RUNNER + [P.exe, "-", "out"], cwd=self.dir, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            proc.stdin.write(wav[:1 << 20])
            proc.stdin.flush()
            deadline = time.monotonic() + TIMEOUT
            while not [name for name in os.listdir(self.dir) if LEFTOVER in name]:
                self.assertLess(time.monotonic(), deadline, "no new file was begun")
                time.sleep(0.01)
            proc.send_signal(signal.SIGINT)
            # Standard input stays open: its end would fail the run the
            # ordinary way, which removes the file too.
            proc.wait(timeout=TIMEOUT)
            out = proc.stdout.read()
        finally:
            proc.kill()
            proc.wait()
            proc.stdin.close()
            proc.stdout.close()
        self.assertEqual(out, P.console("Please Wait ...", ""))
        self.assertEqual(file_state(self.path("out")), kept)
        self.assert_no_leftovers()


@posix_only
class Locks(Matrix):
    """Both lock families are respected: what another program holds with
    flock, with a POSIX record lock or with an open-file-description lock.
    Readers may share the input; nobody may share the output."""

    def test_input_shared_with_readers_kept_from_writers(self):
        kept = self.keep_old_output()
        for lock in LOCKS:
            with self.subTest(lock=lock), held_by_another_process(self.path(P.input), lock):
                if lock in READ_LOCKS:
                    self.assert_plain_run(run_program([P.input, "new"], self.dir), P.success)
                    self.assert_complete("new")
                    os.remove(self.path("new"))
                else:
                    for output in ("out", "new"):
                        self.assert_plain_run(run_program([P.input, output], self.dir),
                                              P.cannot_open(P.input, "Held By Another Program"))
                        self.assertEqual(file_state(self.path("out")), kept)
                        self.assertFalse(os.path.exists(self.path("new")))
                    if P.replaces:  # the same file as standard input (`- <in.wav`)
                        with open(self.path(P.input), "rb") as stdin:
                            self.assert_plain_run(run_program(["-", "new"], self.dir, stdin=stdin),
                                                  P.cannot_open("-", "Held By Another Program"))
                        self.assertFalse(os.path.exists(self.path("new")))
            self.assert_input_intact()

    def test_output_held_by_any_lock(self):
        kept = self.keep_old_output()
        for lock in LOCKS:
            with self.subTest(lock=lock):
                with held_by_another_process(self.path("out"), lock):
                    run = run_program([P.input, "out"], self.dir)
                self.assert_plain_run(run, P.cannot_create("out", "Held By Another Program"))
                self.assertEqual(file_state(self.path("out")), kept)
        # Once the other process lets go, the same run succeeds.
        self.assert_plain_run(run_program([P.input, "out"], self.dir), P.success)
        self.assert_complete("out")

    def test_devices_are_not_locked(self):
        # Two runs to /dev/null at once, or any program holding a lock on a
        # device, must not refuse the run: a device is not a file that a
        # lock could protect.
        for lock in ("flock-exclusive", "posix-write", "ofd-write"):
            with self.subTest(lock=lock), held_by_another_process(os.devnull, lock):
                self.assert_plain_run(run_program([P.input, os.devnull], self.dir), P.success)

    @needs_fault_shim
    def test_file_system_without_locks(self):
        # Where every lock fails with ENOLCK, the run goes on, and the
        # same-file check by device and inode is the guard that remains.
        env = with_faults(PLIVEX_FAULT_NO_LOCKS="1")
        self.assert_plain_run(run_program([P.input, "out"], self.dir, env=env), P.success)
        self.assert_complete("out")
        os.link(self.path(P.input), self.path("hard"))
        os.symlink(P.input, self.path("soft"))
        for output in (P.input, "./" + P.input, "hard", "soft"):
            with self.subTest(output=output):
                self.assert_plain_run(run_program([P.input, output], self.dir, env=env),
                                      P.cannot_create(output, "Same File As WavFile"))
                self.assert_input_intact()

    @needs_fault_shim
    def test_network_file_system_flock_emulation(self):
        # NFS emulates flock with byte-range locks: an exclusive one on a
        # descriptor open only for reading fails with EBADF.
        env = with_faults(PLIVEX_FAULT_NFS_FLOCK="1")
        self.assert_plain_run(run_program([P.input, "out"], self.dir, env=env), P.success)
        self.assert_complete("out")


@posix_only
class ConsoleClashes(Matrix):
    """Standard output and the files of the run must never be the same:
    console lines would land in the data."""

    def run_with_console(self, args, console_path, mode, stdin=subprocess.DEVNULL):
        with open(console_path, mode) as console_file:
            return run_program(args, self.dir, stdout=console_file, stdin=stdin)

    def test_input_that_is_the_console(self):
        # `plivex in.bgm out.wav >> in.bgm`: refused at the open; the console
        # lines are all the input gains, and nothing is created. The same
        # through standard input (`- <in.wav >>in.wav`).
        data = P.make_input(self.DATA)
        names = [P.input, "-"] if P.replaces else [P.input]
        for mode, name in [(mode, name) for mode in ("ab", "r+b") for name in names]:
            with self.subTest(redirect=mode, input=name):
                self.put(P.input, data)
                with open(self.path(P.input), "rb") as stdin:
                    run = self.run_with_console([name, "out"], self.path(P.input), mode, stdin)
                shown = P.cannot_open(name, "Same File As Standard Output")
                self.assert_plain_run(run, shown)
                if mode == "ab":
                    self.assertEqual(self.get(P.input), data + shown)
                else:  # written over from the start, as `1<>in.bgm` does
                    self.assertEqual(self.get(P.input), shown + data[len(shown):])
                self.assertFalse(os.path.exists(self.path("out")))

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("losetup"),
                         "needs root and losetup for a loop device")
    def test_block_device_that_is_the_console(self):
        backing = self.path("disk.img")
        self.put("disk.img", bytes(1 << 20))
        done = subprocess.run(["losetup", "--find", "--show", backing], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=TIMEOUT)
        if done.returncode != 0:
            self.skipTest("losetup: " + done.stderr.decode(errors="replace").strip())
        device = done.stdout.decode().strip()
        self.addCleanup(subprocess.run, ["losetup", "--detach", device], timeout=TIMEOUT)
        # Another node of the same device, under another name.
        twin = self.path("twin")
        os.mknod(twin, 0o600 | stat.S_IFBLK, os.stat(device).st_rdev)

        for output in (device, twin):
            with self.subTest(output=output):
                run = self.run_with_console([P.input, output], device, "r+b")
                shown = P.cannot_create(output, "Same File As Standard Output")
                self.assert_plain_run(run, shown)
                subprocess.run(["blockdev", "--flushbufs", device], timeout=TIMEOUT)
                with open(device, "rb") as f:
                    start = f.read(len(shown) + 64)
                self.assertEqual(start, shown + bytes(64))

        # Standard output elsewhere: a block device takes the output like a file.
        self.assert_plain_run(run_program([P.input, twin], self.dir), P.success)
        expected = P.expected(self.DATA)
        with open(device, "rb") as f:
            self.assertEqual(f.read(len(expected)), expected)


@posix_only
@needs_own_address_space
class MemoryLimits(Matrix):
    """A run that cannot get the memory of its conversion fails before it
    creates or empties anything; one that needs little gets by on little."""

    def smallest_address_space(self, args):
        """The least address space, to 64 KiB, in which the program with
        `args` runs to a success; None when no limit of 1 GiB or less lets
        it (sanitizer runtimes reserve far more)."""
        def runs(limit):
            return run_program(args, self.dir, address_space=limit).status == 0
        high = 1 << 30
        if not runs(high):
            return None
        low = 1 << 20
        while high - low > 65536:
            middle = (low + high) // 2
            if runs(middle):
                high = middle
            else:
                low = middle
        return high

    def test_memory_is_taken_before_any_file(self):
        # The floor: converting an empty input, which needs no buffers.
        self.put("empty", P.make_input(b""))
        floor = self.smallest_address_space(["empty", "out"])
        if floor is None:
            self.skipTest("the program does not run under an address-space limit of 1 GiB")
        self.assert_complete("out", data=b"")
        # Room for the dialogue and the files, far from the 2 MiB that the
        # buffers of a large input take.
        limit = floor + (512 << 10)
        self.assert_plain_run(run_program([P.input, "out"], self.dir, address_space=limit), P.success)
        self.assert_complete("out")

        big = pattern(3 << 20, seed=11)
        self.put("big", P.make_input(big))
        kept = self.keep_old_output()
        for output in ("out", "new"):
            with self.subTest(output=output):
                run = run_program(["big", output], self.dir, address_space=limit)
                self.assert_plain_run(run, P.failure("Not Enough Memory !") if P.replaces else P.failure())
                self.assertEqual(file_state(self.path("out")), kept)
                self.assertFalse(os.path.exists(self.path("new")))
        # With the memory it needs, the same run converts.
        self.assert_plain_run(run_program(["big", "out"], self.dir), P.success)
        self.assert_complete("out", data=big)


@posix_only
class FailurePaths(Matrix):
    MIB = 1 << 20

    def assert_output_after_failure(self, kept, written):
        """What a failed run leaves at "out", which held an earlier output
        of state `kept`: plivex-pack leaves it exactly as it was; plivex,
        which writes in place, the first `written` bytes of its output."""
        if P.replaces:
            self.assertEqual(file_state(self.path("out")), kept)
        else:
            self.assertEqual(self.get("out"), written)

    def test_input_that_shrinks_during_the_run(self):
        # The run is held on a FIFO output whose reader waits: by the time
        # its first byte has come through, the first chunk (1 MiB of
        # samples) has been read. The input is then cut to a chunk and a
        # half, and the pipe drained.
        data = pattern(3 * self.MIB, seed=3)
        self.put("big", P.make_input(data))
        os.mkfifo(self.path("out"))
        run, written = run_on_fifo(
            ["big", "out"], self.dir, self.path("out"), first=P.header_size + 1,
            then=lambda: os.truncate(self.path("big"), P.data_offset + self.MIB + self.MIB // 2))
        self.assert_plain_run(run, P.cannot_read_data("big", "File Ended Early"))
        # Exactly the first chunk's conversion came through, up to the page
        # boundary where every write ends; its last bytes wait for the next.
        self.assertEqual(written, P.expected(data)[:self.MIB])

    @needs_fault_shim
    def test_failed_read(self):
        # A read that fails (EIO, a bad sector) is an error, never the end of
        # the file. plivex-pack reads the WAV header before it creates the
        # output; plivex reads only samples, once the WAV header is written.
        data = pattern(self.MIB + 3000, seed=4)
        self.put("big", P.make_input(data))
        output = P.expected(data)
        rows = [
            # (where reads start failing, console, what plivex's output holds)
            (P.data_offset + self.MIB, P.cannot_read_data("big", IO_ERROR), output[:self.MIB]),
            (0, P.cannot_read_data("big", IO_ERROR), output[:P.header_size]) if P.data_offset == 0 else
            (0, P.failure(*P.cannot("Read", "big", IO_ERROR)), None),
        ]
        for start, transcript, written in rows:
            with self.subTest(start=start):
                kept = self.keep_old_output()
                env = with_faults(PLIVEX_FAULT_READ="/big", PLIVEX_FAULT_READ_FROM=str(start))
                self.assert_plain_run(run_program(["big", "out"], self.dir, env=env), transcript)
                self.assert_output_after_failure(kept, written or self.OLD_OUTPUT)

    @needs_fault_shim
    def test_failed_close(self):
        # A failed close of the output may mean lost data: never a success.
        # A failed close of the input loses nothing.
        kept = self.keep_old_output()
        env = with_faults(PLIVEX_FAULT_CLOSE="/out")
        self.assert_plain_run(run_program([P.input, "out"], self.dir, env=env),
                              P.cannot_write_data("out", IO_ERROR))
        self.assert_output_after_failure(kept, P.expected(self.DATA))
        env = with_faults(PLIVEX_FAULT_CLOSE="/" + P.input)
        self.assert_plain_run(run_program([P.input, "out"], self.dir, env=env), P.success)
        self.assert_complete("out")

    def test_output_is_let_go_while_the_ending_waits(self):
        # A run that failed in the middle of writing its output (a file size
        # limit) waits for Enter with both files closed: another program can
        # take the output at once. It holds what it did before the run
        # (plivex-pack), or the start of the right output (plivex). The
        # Enter comes from a terminal, where both programs wait.
        import pty
        limit = P.header_size + 1024
        kept = self.keep_old_output()

        def limit_file_size():
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        master, slave = pty.openpty()
        proc = subprocess.Popen(RUNNER + [P.exe, P.input, "out"], cwd=self.dir,
                                stdin=slave, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, preexec_fn=limit_file_size)
        os.close(slave)
        try:
            self.assert_waits_for_enter(proc, P.cannot_write_data("out", "File Too Large"))
            with open(self.path("out"), "r+b") as other:
                fcntl.flock(other, fcntl.LOCK_EX | fcntl.LOCK_NB)
                fcntl.fcntl(other, fcntl.F_OFD_SETLK, struct.pack("hhqqi", fcntl.F_WRLCK, 0, 0, 0, 0))
            self.assertIsNone(proc.poll())
            os.write(master, b"\n")
            proc.wait(timeout=TIMEOUT)
        finally:
            proc.kill()
            proc.wait()
            proc.stdout.close()
            os.close(master)
        self.assertEqual(proc.returncode, P.failure_status)
        self.assert_output_after_failure(kept, P.expected(self.DATA)[:limit])
        self.assert_no_leftovers()


# The tags of the entries of a POSIX ACL, and an entry's id where it has
# none (the owner, the group, the mask, the others).
ACL_USER_OBJ, ACL_USER, ACL_GROUP_OBJ, ACL_MASK, ACL_OTHER = 0x01, 0x02, 0x04, 0x10, 0x20
ACL_UNDEFINED_ID = 0xFFFFFFFF


def posix_acl(*entries):
    """The bytes of an ACL as Linux gives it in system.posix_acl_access:
    version 2, then each entry (tag, permissions[, id]), little-endian."""
    return struct.pack("<I", 2) + b"".join(
        struct.pack("<HHI", tag, permissions, ident[0] if ident else ACL_UNDEFINED_ID)
        for tag, permissions, *ident in entries)


@posix_only
@unittest.skipUnless(P.replaces, "plivex writes its output in place (see What happens to the files)")
class ReplacingAnOriginal(Matrix):
    """plivex-pack in place over the original Bgm file, the one file a
    modder cannot easily get back: whatever ends the run before the new file
    is complete, the original keeps its bytes, size, inode and modification
    time, and no file is left under the new name."""

    MIB = 1 << 20

    def setUp(self):
        super().setUp()
        self.put("big", P.make_input(os.urandom(3 * self.MIB)))

    @needs_fault_shim
    def test_failed_writes_and_reads(self):
        # (A file size limit: FailurePaths.test_output_is_let_go_while_the_ending_waits.)
        rows = [
            ("disk full", dict(env=with_faults(PLIVEX_FAULT_WRITE="/out", PLIVEX_FAULT_WRITE_FROM=str(self.MIB))),
             "Write", "Disk Full"),
            ("read fails", dict(env=with_faults(PLIVEX_FAULT_READ="/big",
                                                PLIVEX_FAULT_READ_FROM=str(P.data_offset + self.MIB))),
             "Read", IO_ERROR),
        ]
        for name, options, what, why in rows:
            with self.subTest(name):
                kept = self.keep_old_output()
                done = subprocess.run(RUNNER + [P.exe, "big", "out"], cwd=self.dir,
                                      stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, timeout=TIMEOUT, **options)
                self.assert_plain_run(Run(done.returncode, done.stdout, done.stderr),
                                      P.failure("Please Wait ...", "", *P.cannot(what, "big" if what == "Read"
                                                                                 else "out", why)))
                self.assertEqual(file_state(self.path("out")), kept)

    def test_full_disk(self):
        # A small file system of its own, which the new file fills up.
        disk = self.path("disk")
        os.mkdir(disk)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", disk],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=TIMEOUT)
        if mounted.returncode != 0:
            self.skipTest("cannot mount a small tmpfs: " + mounted.stdout.decode(errors="replace").strip())
        try:
            original = os.path.join("disk", "track.bgm")
            self.put(original, os.urandom(600 << 10))
            kept = file_state(self.path(original))
            self.assert_plain_run(run_program(["big", original], self.dir),
                                  P.cannot_write_data(original, "Disk Full"))
            self.assertEqual(file_state(self.path(original)), kept)
        finally:
            subprocess.run(["umount", disk], timeout=TIMEOUT, check=True)

    STALLED = with_faults(PLIVEX_FAULT_WRITE="/out", PLIVEX_FAULT_WRITE_FROM=str(MIB),
                          PLIVEX_FAULT_WRITE_STALL="1") if FAULT_SHIM else None

    def start_stalled(self, output, prepare=None, env=None):
        """Starts a run from "big" to `output` that stalls in a write of
        its new file, 1 MiB in, and returns it once it is there; `prepare`
        runs in the child first. A crash signal dumps no core."""
        def child_setup():
            resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
            if prepare:
                prepare()
        proc = subprocess.Popen(RUNNER + [P.exe, "big", output], cwd=self.dir, env=env or self.STALLED,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, preexec_fn=child_setup)
        self.addCleanup(proc.wait)
        self.addCleanup(proc.kill)
        deadline = time.monotonic() + TIMEOUT
        while not self.leftovers(output, size=self.MIB):
            if time.monotonic() > deadline or proc.poll() is not None:
                self.fail("the run to %s did not stall: %s" % (output, proc.poll()))
            time.sleep(0.01)
        return proc

    @needs_fault_shim
    def test_interrupted(self):
        # Every signal whose default action ends a program removes the new
        # file before the program ends with that signal; SIGKILL cannot be
        # caught, and leaves it under a name that says what it is. One run
        # for each, all at once, so that a signal that fails to end its run
        # costs seconds, not a timeout each.
        signals = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGUSR1, signal.SIGUSR2,
                   signal.SIGALRM, signal.SIGXCPU, signal.SIGVTALRM, signal.SIGPROF, signal.SIGIO, signal.SIGPWR,
                   signal.SIGSYS, signal.SIGTRAP, signal.SIGSEGV, signal.SIGBUS, signal.SIGFPE, signal.SIGILL,
                   signal.SIGABRT, signal.SIGRTMIN, signal.SIGRTMAX, signal.SIGKILL]
        signals += [getattr(signal, name) for name in ("SIGSTKFLT", "SIGEMT") if hasattr(signal, name)]
        # A sanitizer's own handlers of the crash signals would report them
        # instead; without them the program's are there, as in a plain build.
        no_crash_handlers = ":handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0"
        env = dict(self.STALLED)
        for variable in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
            env[variable] = env.get(variable, "") + no_crash_handlers
        runs = []
        for number in signals:
            output = "out-" + number.name
            self.put(output, self.OLD_OUTPUT)
            runs.append((number, output, file_state(self.path(output)), self.start_stalled(output, env=env)))
        for number, _, _, proc in runs:
            proc.send_signal(number)
        deadline = time.monotonic() + 10
        for number, output, kept, proc in runs:
            with self.subTest(signal=number.name):
                try:
                    status = proc.wait(timeout=max(0.1, deadline - time.monotonic()))
                except subprocess.TimeoutExpired:
                    status = "still running"
                self.assertEqual(status, -number)
                self.assertEqual(file_state(self.path(output)), kept)
                if number == signal.SIGKILL:
                    (left,) = self.leftovers(output)
                    self.assertRegex(left, r"^out-SIGKILL\.plivex-pack-unfinished-[0-9a-f]{8}$")
                    os.remove(self.path(left))
                self.assertEqual(self.leftovers(output), [])

    @needs_fault_shim
    def test_ignored_signals_stay_ignored(self):
        # SIGHUP ignored (nohup), SIGINT and SIGQUIT ignored (a background
        # job of a script), and SIGPIPE and SIGXFSZ, which the program
        # ignores itself: none of them ends the run. A real-time signal then
        # does, and is delivered after every standard one, so that a signal
        # wrongly given a handler would end the run first.
        ignored = (signal.SIGHUP, signal.SIGINT, signal.SIGQUIT)

        def ignore():
            for number in ignored:
                signal.signal(number, signal.SIG_IGN)

        kept = self.keep_old_output()
        proc = self.start_stalled("out", ignore)
        for number in ignored + (signal.SIGPIPE, signal.SIGXFSZ, signal.SIGRTMAX):
            proc.send_signal(number)
        self.assertEqual(proc.wait(timeout=10), -signal.SIGRTMAX)
        self.assertEqual(file_state(self.path("out")), kept)
        self.assert_no_leftovers()

    def leftovers(self, output, size=0):
        """The names of the files begun under a temporary name for
        `output`, of at least `size` bytes."""
        return [n for n in os.listdir(self.dir)
                if n.startswith(output + LEFTOVER) and os.path.getsize(self.path(n)) >= size]

    def test_names_at_the_limits(self):
        # A name of 255 bytes, the most a name may have, and a path of 4090
        # bytes, near the 4095 Linux takes: the temporary name, 32 bytes
        # longer, still fits, cut short or in the folder opened on its own.
        # Such a path is too long to reach from here (the test's folder adds
        # its own): its folder is opened on the way.
        deep = os.path.join(*["d" * 200] * 20)
        os.makedirs(self.path(deep))
        for output in ("n" * 255, os.path.join(deep, "n" * (4090 - len(deep) - 1))):
            folder = os.open(self.path(os.path.dirname(output) or "."), os.O_RDONLY)
            self.addCleanup(os.close, folder)
            name = os.path.basename(output)
            for existing in (False, True):
                with self.subTest(length=len(output), existing=existing):
                    if existing:
                        with open(name, "wb", opener=lambda n, flags: os.open(n, flags, dir_fd=folder)) as f:
                            f.write(self.OLD_OUTPUT)
                    self.assert_plain_run(run_program([P.input, output], self.dir), P.success)
                    with open(name, "rb", opener=lambda n, flags: os.open(n, flags, dir_fd=folder)) as f:
                        self.assertEqual(f.read(), P.expected(self.DATA))
                    os.remove(name, dir_fd=folder)

    def test_modes(self):
        # A new output gets the rights of any new file (0666 less the
        # umask); a replaced one keeps its own, the set-group-ID bit too.
        rows = [("new", None, 0o022, 0o644), ("out", 0o2664, 0o022, 0o2664), ("out", 0o604, 0o077, 0o604)]
        for output, mode, umask, expected in rows:
            with self.subTest(mode=mode, umask=umask):
                if mode is not None:
                    self.put(output, self.OLD_OUTPUT)
                    os.chmod(self.path(output), mode)
                self.assert_plain_run(run_program([P.input, output], self.dir, umask=umask), P.success)
                self.assert_complete(output)
                self.assertEqual(stat.S_IMODE(os.stat(self.path(output)).st_mode), expected)
                os.remove(self.path(output))

    @needs_fault_shim
    def test_flushed_before_the_rename(self):
        # Over an original, the new file reaches the disk before the rename;
        # a new output has no original to lose, and is not held up.
        log = self.path("calls.log")
        rows = [("out", ["fdatasync %s", "rename %s out"]), ("new", ["rename %s new"])]
        self.keep_old_output()
        for output, calls in rows:
            with self.subTest(output=output):
                self.assert_plain_run(run_program([P.input, output], self.dir, env=with_faults(PLIVEX_FAULT_LOG=log)),
                                      P.success)
                self.assert_complete(output)
                with open(log) as f:
                    lines = f.read().splitlines()
                os.remove(log)
                temporary = lines[-1].split()[1]
                self.assertTrue(temporary.startswith(output + LEFTOVER), lines)
                self.assertEqual(lines, [call % temporary for call in calls])

    def test_new_output_taken_meanwhile(self):
        # A name that another program takes while a new output is written
        # is not renamed over: that file is the other program's.
        wav = P.make_input(pattern(2 * self.MIB, seed=8))
        proc = subprocess.Popen(RUNNER + [P.exe, "-", "new"], cwd=self.dir, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            proc.stdin.write(wav[:self.MIB])
            proc.stdin.flush()
            deadline = time.monotonic() + TIMEOUT
            while not self.leftovers("new") and time.monotonic() < deadline:
                time.sleep(0.01)
            self.put("new", b"another program's")
            out, err = proc.communicate(wav[self.MIB:], timeout=TIMEOUT)
        finally:
            proc.kill()
            proc.wait()
        self.assert_plain_run(Run(proc.returncode, out, err), P.failure(
            "Please Wait ...", "", *P.cannot("Replace", "new", "Created By Another Program Meanwhile")))
        self.assertEqual(self.get("new"), b"another program's")

    def attributes(self, name):
        return {key: os.getxattr(self.path(name), key) for key in os.listxattr(self.path(name))}

    # The example of issue 27: mode 0640, then an ACL entry that lets uid
    # 65534 read and write, whose mask takes the group bits (the mode reads
    # 0660; the group itself may only read).
    ACL = posix_acl((ACL_USER_OBJ, 6), (ACL_USER, 6, NOBODY), (ACL_GROUP_OBJ, 4), (ACL_MASK, 6), (ACL_OTHER, 0))

    def original_with_attributes(self, output="out"):
        """Puts at `output` a file of mode 0640 with ACL, a user.*
        attribute and, as root, a trusted.* and a security.* one. Returns
        its state and attributes."""
        self.put(output, self.OLD_OUTPUT)
        os.chmod(self.path(output), 0o640)
        attributes = {"system.posix_acl_access": self.ACL, "user.note": b"track 01, the loop"}
        if os.geteuid() == 0:
            attributes.update({"trusted.plivex": b"\x00\x01", "security.plivex": b"label"})
        try:
            for key, value in attributes.items():
                os.setxattr(self.path(output), key, value)
        except OSError as error:
            self.skipTest("this file system keeps no such attribute: %s" % error)
        self.assertEqual(stat.S_IMODE(os.stat(self.path(output)).st_mode), 0o660)
        self.assertEqual(self.attributes(output), attributes)
        return file_state(self.path(output)), attributes

    def test_acl_and_attributes_kept(self):
        _, attributes = self.original_with_attributes()
        self.assert_plain_run(run_program([P.input, "out"], self.dir), P.success)
        self.assert_complete("out")
        self.assertEqual(stat.S_IMODE(os.stat(self.path("out")).st_mode), 0o660)
        self.assertEqual(self.attributes("out"), attributes)

        # A folder's default ACL gives its entries to every new file in it:
        # the new file then loses the ACL the original did not have, or the
        # user it names could read what the original kept from them.
        os.mkdir(self.path("shared"))
        os.setxattr(self.path("shared"), "system.posix_acl_default", self.ACL)
        track = os.path.join("shared", "track.bgm")
        self.put(track, self.OLD_OUTPUT)
        os.removexattr(self.path(track), "system.posix_acl_access")
        os.chmod(self.path(track), 0o640)
        self.assert_plain_run(run_program([P.input, track], self.dir), P.success)
        self.assert_complete(track)
        self.assertEqual(stat.S_IMODE(os.stat(self.path(track)).st_mode), 0o640)
        self.assertNotIn("system.posix_acl_access", os.listxattr(self.path(track)))

    @needs_fault_shim
    def test_attributes_that_cannot_be_given(self):
        # An ACL that the new file cannot be given fails the run before the
        # rename, rather than let anyone in; any other attribute is left
        # behind, and the run goes on. One that the new file has already
        # (from the folder's default ACL, as a security label comes from
        # the system) need not be given.
        os.mkdir(self.path("shared"))
        os.setxattr(self.path("shared"), "system.posix_acl_default", self.ACL)
        acl = "system.posix_acl_access"
        rows = [
            ("out", acl, P.failure("Please Wait ...", "", *P.cannot("Create", "out", "ACL Cannot Be Copied"))),
            # Said after the success, in the system's words for the fault.
            ("out", "user.note", pack.success(44100, 'BgmFile Attribute "user.note" Not Kept: %s !'
                                               % os.strerror(errno.EOPNOTSUPP))),
            (os.path.join("shared", "out"), acl, P.success),
        ]
        for output, refused, transcript in rows:
            with self.subTest(output=output, refused=refused):
                kept, attributes = self.original_with_attributes(output)
                run = run_program([P.input, output], self.dir, env=with_faults(PLIVEX_FAULT_XATTR=refused))
                self.assert_plain_run(run, transcript)
                if not transcript.endswith(b"Operation Successfully Completed.\r\n"):
                    self.assertEqual(file_state(self.path(output)), kept)
                else:
                    self.assert_complete(output)
                    if refused != acl:
                        del attributes[refused]
                self.assertEqual(self.attributes(output), attributes)


if __name__ == "__main__":
    _, unittest_args = e2e_test._parser.parse_known_args()
    _, unittest_args = pack._parser.parse_known_args(unittest_args)
    _, unittest_args = _parser.parse_known_args(unittest_args)
    unittest.main(argv=[sys.argv[0]] + unittest_args, verbosity=2)
