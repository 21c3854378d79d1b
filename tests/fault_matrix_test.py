#!/usr/bin/env python3
"""Fault matrix: plivex run against broken surroundings (full devices, missing
or forbidden folders, locked files, pipes, sockets, huge inputs, closed
standard streams). Every row checks the console lines, the exit status and
the state of both files afterwards. The promise behind every row: a file the
program is asked to create is either complete and correct, or the run ends
with "Abort !!!".

    fault_matrix_test.py --exe PATH [--runner CMD] [unittest arguments]

Shares its helpers with e2e_test.py, which holds the rows it already covers
(same file by path and link, closed output descriptor, a file size limit in
the middle of the data). Rows that need to run as another user drop to uid
65534 when run as root, and are skipped with the reason when that fails.
"""

import contextlib
import fcntl
import os
import resource
import shutil
import socket
import stat
import struct
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_test  # noqa: E402  (parses --exe and --runner)
from e2e_test import (EXE, RUNNER, SUCCESS, TIMEOUT, Case, expected_wav,  # noqa: E402
                      failure, pattern, posix_only, read_exactly)

NOBODY = 65534  # uid and gid the rows that need an ordinary user drop to
CANNOT_WRITE = failure("Cannot Write WavFile !")
CANNOT_WRITE_DATA = failure("Please Wait ...", "", "Cannot Write WavFile !")
CANNOT_READ_DATA = failure("Please Wait ...", "", "Cannot Read BgmFile !")
ABORT = failure()  # open or create failed: only the ending is printed
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


def run_plivex(args, cwd, closed=(), user=None, exe=EXE, stdin=subprocess.DEVNULL, env=None,
               address_space=None):
    """Runs plivex in `cwd` with the standard descriptors in `closed` closed,
    when `user` is set as that uid and gid, and when `address_space` is set
    with its memory limited to that many bytes."""

    def child_setup():
        for fd in closed:
            os.close(fd)
        if user is not None:
            os.setgroups([])
            os.setgid(user)
            os.setuid(user)
        if address_space is not None:
            resource.setrlimit(resource.RLIMIT_AS, (address_space, address_space))

    # The descriptors are set up first and closed in the child, so the run
    # does not depend on what this process's own standard streams are.
    done = subprocess.run(RUNNER + [exe, *args], cwd=cwd, stdin=stdin,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=TIMEOUT, preexec_fn=child_setup, env=env)
    return Run(done.returncode, None if 1 in closed else done.stdout,
               None if 2 in closed else done.stderr)


# The ways another program can hold a file: flock (shared or exclusive), a
# POSIX record lock (lockf, fcntl F_SETLK: read or write), or an
# open-file-description lock (fcntl F_OFD_SETLK: read or write). A read lock
# needs the file open for reading, a write lock open for writing.
LOCKS = ("flock-shared", "flock-exclusive", "posix-read", "posix-write", "ofd-read", "ofd-write")
READ_LOCKS = ("flock-shared", "posix-read", "ofd-read")


@contextlib.contextmanager
def held_by_another_process(path, write=False, lock="flock-exclusive"):
    """Holds `lock` on `path` (opened for writing too when `write`) from a
    separate process for the duration of the block."""
    code = ("import fcntl, struct, sys\n"
            "path, mode, lock = sys.argv[1:]\n"
            "f = open(path, 'r+b' if mode == 'w' else 'rb')\n"
            "if lock.startswith('flock'):\n"
            "    fcntl.flock(f, (fcntl.LOCK_SH if lock.endswith('shared') else fcntl.LOCK_EX)\n"
            "                | fcntl.LOCK_NB)\n"
            "else:\n"
            "    kind = fcntl.F_RDLCK if lock.endswith('read') else fcntl.F_WRLCK\n"
            "    command = fcntl.F_SETLK if lock.startswith('posix') else fcntl.F_OFD_SETLK\n"
            "    fcntl.fcntl(f, command, struct.pack('hhqqi', kind, 0, 0, 0, 0))\n"
            "print('held', flush=True)\n"
            "sys.stdin.read()\n")
    holder = subprocess.Popen([sys.executable, "-c", code, path, "w" if write else "r", lock],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        if holder.stdout.readline() != b"held\n":
            raise AssertionError("the other process could not lock " + path)
        yield
    finally:
        holder.stdin.close()
        holder.wait(timeout=TIMEOUT)
        holder.stdout.close()


class FifoReader:
    """Reads a FIFO from this process while plivex writes it. The read end is
    opened before plivex starts, so plivex always finds a reader. With
    `limit`, it stops after that many bytes and closes its end, as a player
    that quits early does."""

    def __init__(self, path, limit=None):
        self.fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)  # does not wait for a writer
        os.set_blocking(self.fd, True)
        self.limit = limit
        self.data = bytearray()
        self.writer_done = threading.Event()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        deadline = time.monotonic() + TIMEOUT
        try:
            while time.monotonic() < deadline:
                want = 65536 if self.limit is None else self.limit - len(self.data)
                if want == 0:
                    return
                chunk = os.read(self.fd, want)
                if chunk:
                    self.data += chunk
                elif self.writer_done.is_set():
                    return  # the writer is gone and the pipe is drained
                else:
                    time.sleep(0.01)  # no writer yet
        finally:
            os.close(self.fd)

    def finish(self):
        self.writer_done.set()
        self.thread.join(TIMEOUT)
        return bytes(self.data)


def run_while_input_shrinks(command, cwd, input_path, fifo_path, first, new_size):
    """Runs `command` in `cwd` with its output on the FIFO `fifo_path`, whose
    reader waits: once `first` bytes have come through, the run has read its
    first chunk and is held writing it. The input is then cut to `new_size`
    bytes and the pipe drained. Returns the Run, the first bytes received,
    and the rest."""
    os.mkfifo(fifo_path)
    reader = os.open(fifo_path, os.O_RDONLY | os.O_NONBLOCK)
    os.set_blocking(reader, True)
    proc = subprocess.Popen(RUNNER + command, cwd=cwd, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        with os.fdopen(reader, "rb", buffering=0) as pipe:
            head = read_exactly(pipe, first)
            os.truncate(input_path, new_size)
            rest = b""
            while True:
                chunk = pipe.read(1 << 16)
                if not chunk:
                    break
                rest += chunk
        out, err = proc.communicate(timeout=TIMEOUT)
    finally:
        proc.kill()
        proc.wait()
    return Run(proc.returncode, out, err), head, rest


def make_sparse(path, size):
    with open(path, "wb") as f:
        f.truncate(size)


def file_state(path):
    """What must not change about a file that a run had to leave alone: for
    a regular file its bytes, size, inode and modification time; for
    anything else what it is."""
    info = os.lstat(path)
    if not stat.S_ISREG(info.st_mode):
        return (stat.S_IFMT(info.st_mode), info.st_ino, info.st_rdev)
    with open(path, "rb") as f:
        content = f.read()
    return (stat.S_IFREG, info.st_ino, info.st_size, info.st_mtime_ns, content)


class Matrix(Case):
    """Helpers shared by the rows: a pre-existing output with known bytes,
    and the checks that follow every run."""

    DATA = pattern(3000, seed=5)
    OLD_OUTPUT = b"an earlier output that must survive"

    def setUp(self):
        super().setUp()
        self.put("in.bgm", self.DATA)

    def assert_plain_run(self, run, transcript):
        """Exit status 0 and the exact console. A sanitizer report ends the
        process with another status and writes to standard error."""
        self.assertEqual(run.status, 0, run.err)
        if run.out is not None:
            self.assertEqual(run.out, transcript)
        if run.err is not None:
            self.assertNotIn(b"Sanitizer", run.err)
            self.assertNotIn(b"runtime error", run.err)

    def assert_input_intact(self):
        self.assertEqual(self.get("in.bgm"), self.DATA)

    def assert_complete(self, name, data=None, rate=48000):
        self.assertEqual(self.get(name), expected_wav(self.DATA if data is None else data, rate))


@posix_only
class OutputFaults(Matrix):
    def test_output_that_cannot_be_created_or_written(self):
        os.mkdir(self.path("folder"))
        rows = [
            # (output, console, what the output path holds afterwards)
            ("/dev/full", CANNOT_WRITE, None),
            (os.path.join("missing", "out.wav"), ABORT, "absent"),
            (os.path.join("in.bgm", "out.wav"), ABORT, "absent"),  # a file as folder
            ("folder", ABORT, "empty folder"),
            ("folder" + os.sep, ABORT, "empty folder"),
        ]
        for output, transcript, after in rows:
            with self.subTest(output=output):
                run = run_plivex(["in.bgm", output], self.dir)
                self.assert_plain_run(run, transcript)
                self.assert_input_intact()
                if after == "absent":
                    self.assertFalse(os.path.lexists(self.path(output)))
                    self.assertFalse(os.path.exists(self.path("missing")))
                elif after == "empty folder":
                    self.assertEqual(os.listdir(self.path("folder")), [])

    def test_output_locked_by_another_process(self):
        self.put("out.wav", self.OLD_OUTPUT)
        before = file_state(self.path("out.wav"))
        for write in (False, True):
            with self.subTest(holder_opened_for_writing=write):
                with held_by_another_process(self.path("out.wav"), write=write):
                    run = run_plivex(["in.bgm", "out.wav"], self.dir)
                self.assert_plain_run(run, ABORT)
                self.assertEqual(file_state(self.path("out.wav")), before)
                self.assert_input_intact()
        # Once the other process lets go, the same run succeeds.
        self.assert_plain_run(run_plivex(["in.bgm", "out.wav"], self.dir), SUCCESS)
        self.assert_complete("out.wav")

    def test_output_is_a_fifo(self):
        data = pattern(1 << 20, seed=9)  # far more than a pipe holds
        self.put("big.bgm", data)
        os.mkfifo(self.path("out.wav"))

        # Nobody reads: refused at once. Before, a small output vanished into
        # the pipe behind a success line, and a large one blocked for good.
        for name in ("in.bgm", "big.bgm"):
            with self.subTest(reader="none", input=name):
                self.assert_plain_run(run_plivex([name, "out.wav"], self.dir), ABORT)
                self.assertTrue(stat.S_ISFIFO(os.lstat(self.path("out.wav")).st_mode))

        with self.subTest(reader="reads everything"):
            reader = FifoReader(self.path("out.wav"))
            run = run_plivex(["big.bgm", "out.wav", "32000"], self.dir)
            self.assertEqual(reader.finish(), expected_wav(data, 32000))
            self.assert_plain_run(run, SUCCESS)

        with self.subTest(reader="quits after the first block"):
            # The reader closes its end with most of the data unsent: the run
            # must report it (EPIPE) instead of waiting for a reader forever.
            reader = FifoReader(self.path("out.wav"), limit=44 + 1024)
            run = run_plivex(["big.bgm", "out.wav"], self.dir)
            self.assertEqual(reader.finish(), expected_wav(data)[:44 + 1024])
            self.assert_plain_run(run, CANNOT_WRITE_DATA)
        self.assertEqual(self.get("big.bgm"), data)


    def test_output_is_where_the_console_goes(self):
        # /dev/stdout names whatever standard output is. When that keeps
        # data (a file, a pipe), the console lines would land in the middle
        # of the WAV data, under a success line: refused before anything is
        # emptied, and the console shows just the failure.
        earlier = b"an earlier run's log\n"
        for output in ("/dev/stdout", "/proc/self/fd/1", "console.txt"):
            for mode in ("w", "a"):  # > and >>
                with self.subTest(output=output, redirect=mode):
                    self.put("console.txt", earlier)
                    with open(self.path("console.txt"), mode + "b") as console_file:
                        done = subprocess.run(RUNNER + [EXE, "in.bgm", output], cwd=self.dir,
                                              stdin=subprocess.DEVNULL, stdout=console_file,
                                              stderr=subprocess.PIPE, timeout=TIMEOUT)
                    console_text = self.get("console.txt")
                    if mode == "a":
                        self.assertTrue(console_text.startswith(earlier))
                        console_text = console_text[len(earlier):]
                    self.assert_plain_run(Run(done.returncode, console_text, done.stderr), ABORT)
                    self.assert_input_intact()
        with self.subTest(output="/dev/stdout", redirect="pipe"):
            self.assert_plain_run(run_plivex(["in.bgm", "/dev/stdout"], self.dir), ABORT)
        # A device keeps nothing, so it may be both.
        with open(os.devnull, "wb") as null:
            done = subprocess.run(RUNNER + [EXE, "in.bgm", "/dev/stdout"], cwd=self.dir,
                                  stdin=subprocess.DEVNULL, stdout=null,
                                  stderr=subprocess.PIPE, timeout=TIMEOUT)
        self.assert_plain_run(Run(done.returncode, None, done.stderr), None)


@posix_only
class InputFaults(Matrix):
    def test_input_that_is_not_a_regular_file(self):
        os.mkfifo(self.path("fifo"))
        sock = socket.socket(socket.AF_UNIX)
        sock.bind(self.path("sock"))
        self.addCleanup(sock.close)
        self.put("out.wav", self.OLD_OUTPUT)
        kept = file_state(self.path("out.wav"))
        for name in ("fifo", "sock", "/dev/null", "/dev/zero", "/dev/full"):
            before = file_state(self.path(name))
            for output in ("out.wav", "new.wav"):
                with self.subTest(input=name, output=output):
                    run = run_plivex([name, output], self.dir)
                    self.assert_plain_run(run, failure('File Not Found "%s" !' % name))
                    self.assertEqual(file_state(self.path("out.wav")), kept)
                    self.assertFalse(os.path.exists(self.path("new.wav")))
                    self.assertEqual(file_state(self.path(name)), before)

    def test_input_locked_by_another_process(self):
        self.put("out.wav", self.OLD_OUTPUT)
        kept = file_state(self.path("out.wav"))
        with held_by_another_process(self.path("in.bgm")):
            for output in ("out.wav", "new.wav"):
                with self.subTest(output=output):
                    self.assert_plain_run(run_plivex(["in.bgm", output], self.dir), ABORT)
                    self.assertEqual(file_state(self.path("out.wav")), kept)
                    self.assertFalse(os.path.exists(self.path("new.wav")))
        self.assert_input_intact()

    def test_inputs_of_2_gib_and_more_leave_the_output_alone(self):
        # Sparse, so they cost no disk. 2**32 + 1024 has the low 32 bits of a
        # small file: a length check made after truncation would take it.
        self.put("out.wav", self.OLD_OUTPUT)
        kept = file_state(self.path("out.wav"))
        for size in (2**31, 2**31 + 1, 2**32 + 1024):
            make_sparse(self.path("huge.bgm"), size)
            for output in ("out.wav", "new.wav"):
                with self.subTest(size=size, output=output):
                    run = run_plivex(["huge.bgm", output], self.dir)
                    self.assert_plain_run(run, failure("BgmFile Too Large !"))
                    self.assertEqual(file_state(self.path("out.wav")), kept)
                    self.assertFalse(os.path.exists(self.path("new.wav")))
                    self.assertEqual(os.path.getsize(self.path("huge.bgm")), size)

    def test_largest_input_converts_in_full(self):
        # 2**31 - 1 bytes, sparse but for its first block and its last (1023
        # bytes, 2 GiB - 1 KiB in): reached with a 32-bit file position only
        # if it does not wrap. The output goes through a FIFO, of which only
        # the ends are kept.
        size = 2**31 - 1
        first, last = pattern(1024, seed=7), pattern(size % 1024, seed=8)
        with open(self.path("huge.bgm"), "wb") as f:
            f.write(first)
            f.seek(size - len(last))
            f.write(last)
        os.mkfifo(self.path("out.wav"))
        reader = os.open(self.path("out.wav"), os.O_RDONLY | os.O_NONBLOCK)
        os.set_blocking(reader, True)
        fcntl.fcntl(reader, fcntl.F_SETPIPE_SZ, 1 << 20)
        proc = subprocess.Popen(RUNNER + [EXE, "huge.bgm", "out.wav"], cwd=self.dir,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        try:
            with os.fdopen(reader, "rb", buffering=0) as pipe:
                head = read_exactly(pipe, 44 + 1024)  # waits for the writer
                length, tail = len(head), head[-1024:]
                while chunk := pipe.read(1 << 20):
                    length += len(chunk)
                    tail = (tail + chunk[-1024:])[-1024:]
            out, err = proc.communicate(timeout=TIMEOUT)
        finally:
            proc.kill()
            proc.wait()
        self.assert_plain_run(Run(proc.returncode, out, err), SUCCESS)
        header = bytearray(expected_wav(b"")[:44])
        struct.pack_into("<I", header, 4, size + 36)
        struct.pack_into("<I", header, 40, size)
        self.assertEqual(head, header + expected_wav(first)[44:])
        self.assertEqual(length, 44 + size + 1)
        self.assertEqual(tail, expected_wav(last)[44:])


@posix_only
class SameFileSpellings(Matrix):
    """e2e_test.py covers the same file by path, hard link and symbolic link;
    these are the spellings that go through a folder."""

    def test_input_named_again_through_a_folder(self):
        os.mkdir(self.path("sub"))
        os.symlink(self.dir, os.path.join(self.path("sub"), "up"))
        for output in (os.path.join("sub", "..", "in.bgm"), os.path.join("sub", "up", "in.bgm"),
                       "/proc/self/cwd/in.bgm"):
            with self.subTest(output=output):
                self.assert_plain_run(run_plivex(["in.bgm", output], self.dir), ABORT)
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
        subprocess.run(RUNNER + [exe, "/?"], check=True, timeout=TIMEOUT, stdin=subprocess.DEVNULL,
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
        os.chmod(self.path("in.bgm"), 0o644)
        # The build folder need not be open to that user: run a copy.
        self.exe = self.path("plivex-copy")
        shutil.copy2(EXE, self.exe)
        os.chmod(self.exe, 0o755)
        reason = drop_privileges_reason(self.dir, self.exe)
        if reason:
            self.skipTest(reason)
        self.user = NOBODY if os.geteuid() == 0 else None

    def run_as_user(self, *args):
        return run_plivex(list(args), self.dir, user=self.user, exe=self.exe)

    def test_output_folder_or_file_not_writable(self):
        os.mkdir(self.path("locked"), 0o555)
        os.chmod(self.path("locked"), 0o555)
        self.put("readonly.wav", self.OLD_OUTPUT)
        os.chmod(self.path("readonly.wav"), 0o444)
        kept = file_state(self.path("readonly.wav"))

        self.assert_plain_run(self.run_as_user("in.bgm", os.path.join("locked", "out.wav")), ABORT)
        self.assertEqual(os.listdir(self.path("locked")), [])
        self.assert_plain_run(self.run_as_user("in.bgm", "readonly.wav"), ABORT)
        self.assertEqual(file_state(self.path("readonly.wav")), kept)
        self.assert_input_intact()
        # The same user can convert where it may write: the rows above failed
        # for the rights alone.
        self.assert_plain_run(self.run_as_user("in.bgm", "out.wav"), SUCCESS)
        self.assert_complete("out.wav")

    def test_input_not_readable(self):
        os.chmod(self.path("in.bgm"), 0o000)
        # An output the user could damage, were the run to go on.
        self.put("out.wav", self.OLD_OUTPUT)
        os.chmod(self.path("out.wav"), 0o666)
        kept = file_state(self.path("out.wav"))
        for output in ("out.wav", "new.wav"):
            with self.subTest(output=output):
                # It exists, so this is not "File Not Found": the open fails.
                self.assert_plain_run(self.run_as_user("in.bgm", output), ABORT)
                self.assertEqual(file_state(self.path("out.wav")), kept)
                self.assertFalse(os.path.exists(self.path("new.wav")))
        os.chmod(self.path("in.bgm"), 0o644)
        self.assert_input_intact()


@posix_only
class ClosedStandardStreams(Matrix):
    """A closed standard stream hands its number to the next file opened.
    Console lines must never end up inside the output."""

    def test_success_with_closed_streams(self):
        for closed in ((0,), (1,), (2,), (0, 1), (0, 2), (1, 2), (0, 1, 2)):
            with self.subTest(closed=closed):
                self.put("out.wav", self.OLD_OUTPUT)
                run = run_plivex(["in.bgm", "out.wav", "22050"], self.dir, closed=closed)
                self.assert_plain_run(run, SUCCESS)
                self.assert_complete("out.wav", rate=22050)
                self.assert_input_intact()

    def test_failures_with_closed_streams_do_not_wait(self):
        self.put("out.wav", self.OLD_OUTPUT)
        kept = file_state(self.path("out.wav"))
        rows = [
            (["missing.bgm", "out.wav"], failure('File Not Found "missing.bgm" !')),
            (["in.bgm", "out.wav", "999"], failure("Invalid Sample Rate !")),
            (["in.bgm", "/dev/full"], CANNOT_WRITE),
            (["in.bgm", "in.bgm"], ABORT),
        ]
        for closed in ((0,), (1,), (0, 1), (0, 1, 2)):
            for args, transcript in rows:
                with self.subTest(closed=closed, args=args):
                    run = run_plivex(args, self.dir, closed=closed)
                    self.assert_plain_run(run, transcript)
                    self.assertEqual(file_state(self.path("out.wav")), kept)
                    self.assert_input_intact()


@posix_only
class Locks(Matrix):
    """Both lock families are respected: what another program holds with
    flock, with a POSIX record lock or with an open-file-description lock.
    Readers may share the input; nobody may share the output."""

    def test_input_shared_with_readers_kept_from_writers(self):
        self.put("out.wav", self.OLD_OUTPUT)
        kept = file_state(self.path("out.wav"))
        for lock in LOCKS:
            write = lock not in READ_LOCKS
            with self.subTest(lock=lock):
                with held_by_another_process(self.path("in.bgm"), write=write, lock=lock):
                    if write:
                        self.assert_plain_run(run_plivex(["in.bgm", "out.wav"], self.dir), ABORT)
                        self.assertEqual(file_state(self.path("out.wav")), kept)
                    else:
                        self.assert_plain_run(run_plivex(["in.bgm", "new.wav"], self.dir), SUCCESS)
                        self.assert_complete("new.wav")
                self.assert_input_intact()

    def test_output_held_by_any_lock(self):
        self.put("out.wav", self.OLD_OUTPUT)
        before = file_state(self.path("out.wav"))
        for lock in LOCKS:
            with self.subTest(lock=lock):
                with held_by_another_process(self.path("out.wav"), write=lock not in READ_LOCKS,
                                             lock=lock):
                    run = run_plivex(["in.bgm", "out.wav"], self.dir)
                self.assert_plain_run(run, ABORT)
                self.assertEqual(file_state(self.path("out.wav")), before)

    def test_devices_are_not_locked(self):
        # Two runs to /dev/null at once, or any program holding a lock on a
        # device, must not refuse the run: a device is not a file that a
        # lock could protect.
        for lock in ("flock-exclusive", "posix-write", "ofd-write"):
            with self.subTest(lock=lock):
                with held_by_another_process(os.devnull, write=True, lock=lock):
                    self.assert_plain_run(run_plivex(["in.bgm", os.devnull], self.dir), SUCCESS)

    @needs_fault_shim
    def test_file_system_without_locks(self):
        # Where every lock fails with ENOLCK, the run goes on, and the
        # same-file check by device and inode is the guard that remains.
        env = with_faults(PLIVEX_FAULT_NO_LOCKS="1")
        self.assert_plain_run(run_plivex(["in.bgm", "out.wav", "32000"], self.dir, env=env), SUCCESS)
        self.assert_complete("out.wav", rate=32000)
        os.link(self.path("in.bgm"), self.path("hard.wav"))
        os.symlink("in.bgm", self.path("soft.wav"))
        for output in ("in.bgm", "./in.bgm", "hard.wav", "soft.wav"):
            with self.subTest(output=output):
                self.assert_plain_run(run_plivex(["in.bgm", output], self.dir, env=env), ABORT)
                self.assert_input_intact()

    @needs_fault_shim
    def test_network_file_system_flock_emulation(self):
        # NFS emulates flock with byte-range locks: an exclusive one on a
        # descriptor open only for reading fails with EBADF.
        env = with_faults(PLIVEX_FAULT_NFS_FLOCK="1")
        self.assert_plain_run(run_plivex(["in.bgm", "out.wav"], self.dir, env=env), SUCCESS)
        self.assert_complete("out.wav")


@posix_only
class ConsoleClashes(Matrix):
    """Standard output and the files of the run must never be the same:
    console lines would land in the data."""

    def run_with_console(self, args, console_path, mode):
        with open(console_path, mode) as console_file:
            done = subprocess.run(RUNNER + [EXE, *args], cwd=self.dir, stdin=subprocess.DEVNULL,
                                  stdout=console_file, stderr=subprocess.PIPE, timeout=TIMEOUT)
        return done

    def test_input_that_is_the_console(self):
        # plivex si.bgm si.wav >> si.bgm: refused at the open; the console
        # lines are all the input gains, and nothing is created.
        for mode in ("ab", "r+b"):
            with self.subTest(redirect=mode):
                self.put("in.bgm", self.DATA)
                done = self.run_with_console(["in.bgm", "out.wav"], self.path("in.bgm"), mode)
                self.assertEqual(done.returncode, 0)
                if mode == "ab":
                    self.assertEqual(self.get("in.bgm"), self.DATA + ABORT)
                else:  # written over from the start, as `1<>in.bgm` does
                    self.assertEqual(self.get("in.bgm"), ABORT + self.DATA[len(ABORT):])
                self.assertFalse(os.path.exists(self.path("out.wav")))

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
                done = self.run_with_console(["in.bgm", output], device, "r+b")
                self.assertEqual(done.returncode, 0, done.stderr)
                subprocess.run(["blockdev", "--flushbufs", device], timeout=TIMEOUT)
                with open(device, "rb") as f:
                    start = f.read(len(ABORT) + 64)
                self.assertEqual(start, ABORT + bytes(64))

        # Standard output elsewhere: a block device takes the WAV like a file.
        self.assert_plain_run(run_plivex(["in.bgm", twin], self.dir), SUCCESS)
        expected = expected_wav(self.DATA)
        with open(device, "rb") as f:
            self.assertEqual(f.read(len(expected)), expected)


def smallest_address_space(args, cwd, exe=EXE):
    """The least address space, to 64 KiB, in which `exe` with `args` runs to
    the end with exit status 0; None when no limit of 1 GiB
    or less lets it (sanitizer runtimes reserve far more)."""
    def runs(limit):
        return run_plivex(args, cwd, exe=exe, address_space=limit).status == 0
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


@posix_only
@needs_own_address_space
class MemoryLimits(Matrix):
    """A run that cannot get the memory of its conversion fails before it
    creates or empties anything; one that needs little gets by on little."""

    def test_memory_is_taken_before_any_file(self):
        # The floor: a run that opens nothing (the input is missing).
        floor = smallest_address_space(["missing.bgm", "out.wav"], self.dir)
        if floor is None:
            self.skipTest("the program does not run under an address-space limit of 1 GiB")
        # Room for the dialogue and the files, far from the 2 MiB that the
        # buffers of a large input take.
        limit = floor + (512 << 10)
        self.put("empty.bgm", b"")
        self.put("small.bgm", self.DATA)
        for name, data in (("empty.bgm", b""), ("small.bgm", self.DATA)):
            with self.subTest(input=name):
                run = run_plivex([name, "out.wav"], self.dir, address_space=limit)
                self.assert_plain_run(run, SUCCESS)
                self.assert_complete("out.wav", data=data)

        big = pattern(3 << 20, seed=11)
        self.put("big.bgm", big)
        self.put("out.wav", self.OLD_OUTPUT)
        kept = file_state(self.path("out.wav"))
        for output in ("out.wav", "new.wav"):
            with self.subTest(input="big.bgm", output=output):
                run = run_plivex(["big.bgm", output], self.dir, address_space=limit)
                self.assert_plain_run(run, ABORT)
                self.assertEqual(file_state(self.path("out.wav")), kept)
                self.assertFalse(os.path.exists(self.path("new.wav")))
        # With the memory it needs, the same run converts.
        self.assert_plain_run(run_plivex(["big.bgm", "out.wav"], self.dir), SUCCESS)
        self.assert_complete("out.wav", data=big)


@posix_only
class FailurePaths(Matrix):
    def test_input_that_shrinks_during_the_run(self):
        # The run is held on a FIFO output whose reader waits: by the time
        # the first data has come through, the first chunk has been read.
        # The input is then cut to a chunk and a half, and the pipe drained.
        mib = 1 << 20
        data = pattern(4 * mib, seed=3)
        self.put("big.bgm", data)
        run, head, rest = run_while_input_shrinks([EXE, "big.bgm", "out.wav"], self.dir,
                                                  self.path("big.bgm"), self.path("out.wav"),
                                                  44 + 1, mib + mib // 2)
        self.assertEqual(len(head), 45, "no data came through the FIFO")
        self.assert_plain_run(run, CANNOT_READ_DATA)
        # Exactly the first chunk's conversion came through, up to the page
        # boundary where every write ends; its last bytes wait for the next.
        self.assertEqual(head + rest, expected_wav(data)[:mib])

    @needs_fault_shim
    def test_failed_close(self):
        # A failed close of the output may mean lost data: never a success.
        # A failed close of the input loses nothing.
        env = with_faults(PLIVEX_FAULT_CLOSE="/out.wav")
        self.assert_plain_run(run_plivex(["in.bgm", "out.wav"], self.dir, env=env),
                              CANNOT_WRITE_DATA)
        env = with_faults(PLIVEX_FAULT_CLOSE="/in.bgm")
        self.assert_plain_run(run_plivex(["in.bgm", "out.wav"], self.dir, env=env), SUCCESS)
        self.assert_complete("out.wav")

    def test_output_is_let_go_while_the_ending_waits(self):
        # A run that failed after creating its output waits for Enter with
        # both files closed: another program can take the output at once.
        limit = 44 + 1024

        def limit_file_size():
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        proc = subprocess.Popen(RUNNER + [EXE, "in.bgm", "out.wav"], cwd=self.dir,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, preexec_fn=limit_file_size)
        try:
            self.assert_waits_for_enter(proc, CANNOT_WRITE_DATA)
            with open(self.path("out.wav"), "r+b") as other:
                fcntl.flock(other, fcntl.LOCK_EX | fcntl.LOCK_NB)
                fcntl.fcntl(other, fcntl.F_OFD_SETLK, struct.pack("hhqqi", fcntl.F_WRLCK, 0, 0, 0, 0))
            self.assertIsNone(proc.poll())
            proc.stdin.write(b"\n")
            proc.stdin.close()
            proc.wait(timeout=TIMEOUT)
        finally:
            proc.kill()
            proc.wait()
            proc.stdout.close()
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(self.get("out.wav"), expected_wav(self.DATA)[:limit])


if __name__ == "__main__":
    _, unittest_args = e2e_test._parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + unittest_args, verbosity=2)
