#!/usr/bin/env python3
"""End-to-end tests: run the built plivex and check its console, its exit
status and the files it leaves behind.

    e2e_test.py --exe PATH [--runner "wine"] [--fault-shim LIB] [unittest arguments]

--runner is a command put before the executable (an emulator for a cross
build). --fault-shim is the library the fault matrix preloads to imitate
file systems that cannot be mounted here (tests/fault_shim.cpp). Every case runs in its own temporary folder with relative file
names, so the same cases work for a native and an emulated Windows build.
Cases that need POSIX features (flock, links, devices, signals, rlimits)
are skipped for a Windows executable, with the reason.

Under Wine, start the prefix's server first (tests/wine_session.sh start, as
CTest does), or every run waits seconds for Wine's background processes.
"""

import argparse
import fcntl
import os
import platform
import select
import shlex
import stat
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import wave

_parser = argparse.ArgumentParser(add_help=False)
_parser.add_argument("--exe", required=True)
_parser.add_argument("--runner", default="")
_parser.add_argument("--fault-shim", default="")
_options, _unittest_args = _parser.parse_known_args()

EXE = os.path.abspath(_options.exe)
RUNNER = shlex.split(_options.runner)
WINDOWS_TARGET = EXE.lower().endswith(".exe")
TIMEOUT = 60  # seconds for any single run; nothing may hang

BANNER = "Plivex V1.1 By Vorn Tessil / Q.L.K"
USAGE = [
    "Usage: Plivex BgmFile WavFile [Sample Rate]",
    "",
    "       BgmFile = PS2 Bgm File",
    "       WavFile = Output File Windows PCM 16Bit Stereo",
    "       Default Sample Rate Is 48000",
]


def console(*lines):
    """The exact bytes of a transcript: banner, empty line, then `lines`."""
    return b"".join(line.encode("latin-1") + b"\r\n" for line in (BANNER, "") + lines)


SUCCESS = console("Please Wait ...", "", "Operation Successfully Completed.")


def failure(*lines):
    return console(*lines, "", "Abort !!!")


def pattern(count, seed=1):
    """Bytes that differ from their neighbours (an LCG), every value present."""
    out = bytearray(count)
    state = seed
    for i in range(count):
        state = (state * 1664525 + 1013904223) & 0xFFFFFFFF
        out[i] = state >> 24
    return bytes(out)


def expected_wav(data, rate=48000):
    """The whole output file for input `data`, built from the file format."""
    length = len(data)
    header = struct.pack("<4sI4s4sIHHIIHH4sI", b"RIFF", length + 36, b"WAVE",
                         b"fmt ", 16, 1, 2, rate, rate * 4, 4, 16, b"data", length)
    padded = data + bytes(-length % 1024)
    frames = bytearray()
    for start in range(0, len(padded), 1024):
        left, right = padded[start:start + 512], padded[start + 512:start + 1024]
        for j in range(0, 512, 2):
            frames += left[j:j + 2] + right[j:j + 2]
    return header + bytes(frames)


def read_exactly(stream, count, timeout=TIMEOUT):
    """Reads `count` bytes from a pipe; fewer when it ends or `timeout` passes."""
    fd, data = stream.fileno(), b""
    deadline = time.monotonic() + timeout
    while len(data) < count:
        ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            break
        chunk = os.read(fd, min(count - len(data), 1 << 16))
        if not chunk:
            break
        data += chunk
    return data


def read_terminal(master, proc):
    """What is written to the pseudo-terminal whose controlling side is
    `master`, until every writer has closed it or, once nothing more comes,
    until `proc` has ended."""
    shown = bytearray()
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.2)
        if ready:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # every writer has closed the terminal
                break
            if not chunk:
                break
            shown += chunk
        elif proc.poll() is not None:
            break
    return bytes(shown)


# The number of read() in /proc/PID/syscall, by the class (1: 32-bit, 2:
# 64-bit) and machine of the executable that the process runs. Under
# qemu-user that executable is qemu, a program of this machine, and so are
# the system calls the kernel sees; a 32-bit x86 program on an x86-64
# kernel shows its own numbers.
READ_SYSCALLS = {
    (2, 62): 0,    # x86-64
    (1, 3): 3,     # i386
    (1, 40): 3,    # 32-bit ARM
    (2, 183): 63,  # arm64
    (2, 22): 3,    # s390x
}


def read_syscall_number(pid):
    """The number of read() as /proc/`pid`/syscall shows it, from the ELF
    header of the process's executable; None for any other machine."""
    try:
        with open("/proc/%d/exe" % pid, "rb") as f:
            header = f.read(20)
    except OSError:
        return None
    if len(header) < 20 or header[:4] != b"\x7fELF" or header[5] not in (1, 2):
        return None
    machine = int.from_bytes(header[18:20], "little" if header[5] == 1 else "big")
    return READ_SYSCALLS.get((header[4], machine))


def blocked_reading_standard_input(pid):
    """True when process `pid` sits in read() on descriptor 0, False when it
    is doing anything else, None when this cannot be seen (not Linux, a
    Windows program under Wine, or a machine whose read() is not known)."""
    if platform.system() != "Linux" or WINDOWS_TARGET:
        return None
    number = read_syscall_number(pid)
    if number is None:
        return None
    try:
        with open("/proc/%d/syscall" % pid) as f:
            fields = f.read().split()
    except OSError:
        return None
    return fields[:2] == [str(number), "0x0"]


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


posix_only = unittest.skipIf(
    WINDOWS_TARGET, "POSIX only: needs flock, links, devices, signals or rlimits")
windows_only = unittest.skipUnless(WINDOWS_TARGET, "Windows only: DOS device names")


class Case(unittest.TestCase):
    def setUp(self):
        self._dir = tempfile.TemporaryDirectory(prefix="plivex-e2e-")
        self.dir = self._dir.name

    def tearDown(self):
        for root, dirs, _ in os.walk(self.dir):
            for d in dirs:  # let cleanup into folders a case locked down
                os.chmod(os.path.join(root, d), 0o700)
        self._dir.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def put(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def get(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def run_plivex(self, *args, **kwargs):
        """Runs plivex in the case's folder; returns (exit status, stdout)."""
        status, out, _ = self.run_plivex_with_errors(*args, **kwargs)
        return status, out

    def run_plivex_with_errors(self, *args, stdin=subprocess.DEVNULL, **kwargs):
        """Like run_plivex, and returns stderr as well."""
        if "input" in kwargs:
            stdin = None  # subprocess feeds `input` through a pipe
        done = subprocess.run(RUNNER + [EXE, *args], cwd=self.dir, stdin=stdin,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=TIMEOUT, **kwargs)
        return done.returncode, done.stdout, done.stderr

    def assert_run(self, args, transcript, **kwargs):
        status, out, err = self.run_plivex_with_errors(*args, **kwargs)
        # The program writes nothing to standard error; a runner (Wine) may.
        # The status goes into the message too: a run that printed nothing
        # at all, seen once in many under Wine, tells more with it.
        said = "status %d, standard error %r" % (status, err)
        self.assertEqual(out, transcript, said)
        self.assertEqual(status, 0, said)

    def start_plivex(self, *args, **kwargs):
        return subprocess.Popen(RUNNER + [EXE, *args], cwd=self.dir,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                **kwargs)

    def assert_waits_for_enter(self, proc, transcript):
        """The whole failure transcript arrives, then the process stays,
        waiting on its still open standard input. On Linux that is seen as
        the process blocked in read() on descriptor 0; where it cannot be
        seen (under Wine), as the process still there a while after its
        last line, which a program that does not wait outlives by far."""
        self.assertEqual(read_exactly(proc.stdout, len(transcript)), transcript)
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            self.assertIsNone(proc.poll(), "a failed run must wait for Enter")
            blocked = blocked_reading_standard_input(proc.pid)
            if blocked is None:
                with self.assertRaises(subprocess.TimeoutExpired, msg="a failed run must wait for Enter"):
                    proc.wait(timeout=1.0)
                return
            if blocked:
                return
            time.sleep(0.005)
        self.fail("the run neither waited on its standard input nor ended")


class Transcripts(Case):
    def test_argument_checks_in_order(self):
        self.put("in.bgm", pattern(1500))
        os.mkdir(self.path("folder"))
        long_name = "n" * 300 + ".bgm"
        rows = [
            ([], failure(*USAGE)),
            (["/?"], failure(*USAGE)),
            (["/?", "in.bgm", "out.wav"], failure(*USAGE)),
            (["/H"], failure('File Not Found "/H" !')),
            (["-?"], failure('File Not Found "-?" !')),
            (["/?x"], failure('File Not Found "/?x" !')),
            # The existence test comes before the output check.
            (["missing.bgm"], failure('File Not Found "missing.bgm" !')),
            (["missing.bgm", "out.wav"], failure('File Not Found "missing.bgm" !')),
            (["folder"], failure('File Not Found "folder" !')),
            (["folder", "out.wav"], failure('File Not Found "folder" !')),
            (["IN.BGM" if not WINDOWS_TARGET else "missing2.bgm", "out.wav"],
             failure('File Not Found "%s" !' % ("IN.BGM" if not WINDOWS_TARGET else "missing2.bgm"))),
            ([long_name, "out.wav"], failure('File Not Found "%s" !' % long_name)),
            (["*.bgm", "out.wav"], failure('File Not Found "*.bgm" !')),
            (["in.bgm"], failure("Output Wav File Not Specified !")),
            # "/?" is ordinary text anywhere but first.
            (["in.bgm", "out.wav", "/?"], failure("Invalid Sample Rate !")),
        ]
        for args, transcript in rows:
            with self.subTest(args=args):
                self.assert_run(args, transcript)
                self.assertFalse(os.path.exists(self.path("out.wav")))

    def test_sample_rate_forms(self):
        data = pattern(2100)
        self.put("in.bgm", data)
        accepted = [("1000", 1000), ("48000", 48000), ("+1000", 1000), ("$3E8", 1000),
                    ("$BB80", 48000), ("$bb80", 48000), (" 1000", 1000), ("   44100", 44100),
                    ("0022050", 22050), ("$0000AC44", 44100), ("32000", 32000)]
        for text, rate in accepted:
            with self.subTest(rate=text):
                self.assert_run(["in.bgm", "out.wav", text], SUCCESS)
                self.assertEqual(self.get("out.wav"), expected_wav(data, rate))

        rejected = ["999", "48001", "0", "-1000", "-48000", "48000 ", "48000x", "44.1",
                    "$", "+", "-", " ", "$-3E8", "-$3E8", "\t1000", "2147483648",
                    "-2147483648", "$100000000", "$FFFFFFFF", "$8000BB80", "1e3", "one"]
        self.put("out.wav", b"keep me")
        for text in rejected:
            with self.subTest(rate=text):
                self.assert_run(["in.bgm", "out.wav", text], failure("Invalid Sample Rate !"))
                self.assertEqual(self.get("out.wav"), b"keep me")

    def test_arguments_after_the_third_are_ignored(self):
        self.put("in.bgm", pattern(10))
        self.assert_run(["in.bgm", "out.wav", "1000", "junk", "more"], SUCCESS)
        self.assertEqual(self.get("out.wav"), expected_wav(pattern(10), 1000))

    def test_empty_arguments_are_not_counted(self):
        data = pattern(3000)
        self.put("in.bgm", data)
        for args in (["", "in.bgm", "out.wav"], ["in.bgm", "", "out.wav", ""],
                     ["in.bgm", "out.wav", "", "22050"]):
            with self.subTest(args=args):
                rate = 22050 if "22050" in args else 48000
                self.assert_run(args, SUCCESS)
                self.assertEqual(self.get("out.wav"), expected_wav(data, rate))
        self.assert_run(["", "in.bgm", ""], failure("Output Wav File Not Specified !"))


class Conversion(Case):
    def test_output_bytes(self):
        for length in (0, 1, 100, 512, 600, 1000, 1023, 1024, 1025, 2048, 100_003):
            with self.subTest(length=length):
                data = pattern(length, seed=length + 7)
                self.put("in.bgm", data)
                self.assert_run(["in.bgm", "out.wav"], SUCCESS)
                out = self.get("out.wav")
                self.assertEqual(len(out), 44 + 1024 * ((length + 1023) // 1024))
                self.assertEqual(out, expected_wav(data))

    def test_existing_output_is_replaced(self):
        data = pattern(1024)
        self.put("in.bgm", data)
        self.put("out.wav", b"x" * 50_000)
        self.assert_run(["in.bgm", "out.wav", "44100"], SUCCESS)
        self.assertEqual(self.get("out.wav"), expected_wav(data, 44100))

    def test_independent_reader_sees_the_samples(self):
        frames = 3 * 256
        left = [struct.pack("<h", (i * 97) % 65536 - 32768) for i in range(frames)]
        right = [struct.pack("<h", 32767 - (i * 31) % 65536) for i in range(frames)]
        data = b"".join(b"".join(left[b * 256:(b + 1) * 256]) + b"".join(right[b * 256:(b + 1) * 256])
                        for b in range(3))
        self.put("in.bgm", data)
        self.assert_run(["in.bgm", "out.wav", "22050"], SUCCESS)
        with wave.open(self.path("out.wav"), "rb") as w:
            self.assertEqual(w.getnchannels(), 2)
            self.assertEqual(w.getsampwidth(), 2)
            self.assertEqual(w.getframerate(), 22050)
            self.assertEqual(w.getnframes(), frames)
            self.assertEqual(w.readframes(frames), b"".join(l + r for l, r in zip(left, right)))

    def test_inputs_of_2_gib_and_more_leave_the_output_alone(self):
        # Sparse, so they cost no disk. 2**32 + 1024 has the low 32 bits of a
        # small file: a length check made after truncation would take it.
        self.put("out.wav", b"existing output")
        kept = file_state(self.path("out.wav"))
        for size in (2**31, 2**31 + 1, 2**32 + 1024):
            with open(self.path("huge.bgm"), "wb") as f:
                f.truncate(size)
            for output in ("out.wav", "new.wav"):
                with self.subTest(size=size, output=output):
                    self.assert_run(["huge.bgm", output], failure("BgmFile Too Large !"))
                    self.assertEqual(file_state(self.path("out.wav")), kept)
                    self.assertFalse(os.path.exists(self.path("new.wav")))
                    self.assertEqual(os.path.getsize(self.path("huge.bgm")), size)

    @posix_only
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
        self.assertEqual(out, SUCCESS, err)
        self.assertEqual(proc.returncode, 0, err)
        header = bytearray(expected_wav(b"")[:44])
        struct.pack_into("<I", header, 4, size + 36)
        struct.pack_into("<I", header, 40, size)
        self.assertEqual(head, header + expected_wav(first)[44:])
        self.assertEqual(length, 44 + size + 1)
        self.assertEqual(tail, expected_wav(last)[44:])


class Console(Case):
    def test_failure_waits_for_enter_on_an_open_input(self):
        # A line typed at a console ends in CR LF; a pipe may pass a bare LF.
        for line in (b"\n", b"typed text\r\n"):
            with self.subTest(line=line):
                proc = self.start_plivex("missing.bgm", stdin=subprocess.PIPE)
                try:
                    self.assert_waits_for_enter(proc, failure('File Not Found "missing.bgm" !'))
                    # Enter alone ends the wait: the input stays open.
                    proc.stdin.write(line)
                    proc.stdin.flush()
                    proc.wait(timeout=TIMEOUT)
                    rest = proc.stdout.read()
                finally:
                    proc.kill()
                    proc.wait()
                    proc.stdin.close()
                    proc.stdout.close()
                self.assertEqual(rest, b"")
                self.assertEqual(proc.returncode, 0)

    def test_failure_does_not_wait_at_end_of_input(self):
        self.assert_run(["missing.bgm"], failure('File Not Found "missing.bgm" !'),
                        stdin=subprocess.DEVNULL)
        self.assert_run([], failure(*USAGE), input=b"some text without a line end")

    def test_success_never_waits(self):
        self.put("in.bgm", pattern(2048))
        proc = self.start_plivex("in.bgm", "out.wav", stdin=subprocess.PIPE)
        try:
            out, _ = proc.communicate(timeout=TIMEOUT)  # stdin is never closed first
        finally:
            proc.kill()
        self.assertEqual(out, SUCCESS)
        self.assertEqual(proc.returncode, 0)

    @posix_only
    def test_console_without_reader_does_not_stop_the_conversion(self):
        # Console lines to a pipe nobody reads fail (EPIPE); the run goes on.
        # fault_matrix_test.py has the closed standard streams.
        data = pattern(50_000)
        self.put("in.bgm", data)
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            done = subprocess.run(RUNNER + [EXE, "in.bgm", "out.wav"], cwd=self.dir,
                                  stdin=subprocess.DEVNULL, stdout=write_end, timeout=TIMEOUT)
        finally:
            os.close(write_end)
        self.assertEqual(done.returncode, 0)
        self.assertEqual(self.get("out.wav"), expected_wav(data))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + _unittest_args, verbosity=2)
