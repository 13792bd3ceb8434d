"""What the end-to-end cases share: a case's folder, its library files, the runs of the real
program, and the reading of its output into parts.

A case works in its own temporary folder: `wd/` is the working directory the program runs in
(where the library `lib/` usually lies), `orig/` keeps copies of the files a case wants to find
unchanged. The stand-in encoder logs its arguments to `log` in the case's folder and writes a copy
of a real HEVC sample with its input's path written into the title, so a case can tell which source
a result was made from.
"""

import dataclasses
import hashlib
import os
import re
import shutil
import signal
import subprocess
import time
from pathlib import Path

SOURCE_MARKER = b"fake-encoder-source:"
SOURCE_FIELD_LENGTH = 108
HEVC_ID = b"V_MPEGH/ISO/HEVC"

SCAN_ONLY = "Scan Only selected. No encoding"
LOCK_HELD = "Another Brindle run is encoding in this working directory; this run does nothing."
AGAIN = "; it will be tried again on the next run"
ENCODE_ARGS = ["-days", "3", "-dir", "lib", "-ext", "mkv", "-docurrent"]
RUN_TIMEOUT = 120


# ---- Reading the output into parts ---------------------------------------------------------

UNITS = {"bytes": 1, "KiB": 1 << 10, "MiB": 1 << 20, "GiB": 1 << 30}


def stands_for(text, count, own_unit=True):
    """Whether a size as printed ("1.0 MiB") stands for COUNT bytes, to its last digit; with
    OWN_UNIT, also whether its unit is the largest in which it is at least 1."""
    match = re.fullmatch(r"(\d+)(?:\.(\d+))? (bytes|KiB|MiB|GiB)", text)
    if not match:
        return False
    unit = UNITS[match[3]]
    if unit == 1:
        return int(match[1]) == count
    if own_unit and not unit <= count < (unit << 10 if unit < UNITS["GiB"] else float("inf")):
        return False
    decimals = len(match[2] or "")
    value = float(f"{match[1]}.{match[2] or 0}")
    return abs(value * unit - count) <= 0.5 * unit / 10**decimals + 1


@dataclasses.dataclass
class Size:
    """A size as printed ("1.0 MiB"); equal to the byte count it stands for."""

    text: str

    def __eq__(self, other):
        if isinstance(other, Size):
            return self.text == other.text
        if not isinstance(other, int):
            return NotImplemented
        return stands_for(self.text, other)

    def __repr__(self):
        return repr(self.text)


@dataclasses.dataclass
class Change:
    """The shrinkage as printed ("14% smaller"); equal to the (before, after) pair it describes."""

    text: str

    def __eq__(self, other):
        if isinstance(other, Change):
            return self.text == other.text
        if not isinstance(other, tuple):
            return NotImplemented
        before, after = other
        if self.text == "the same size":
            return before == after or before == 0
        match = re.fullmatch(r"(\d+)% (smaller|larger)", self.text)
        if not match or before == 0 or (match[2] == "smaller") != (after < before):
            return False
        return abs(int(match[1]) - abs(before - after) * 100 / before) < 1

    def __repr__(self):
        return repr(self.text)


@dataclasses.dataclass
class Progress:
    """"4.1 of 9.8 GiB": equal to the (done, total) byte pair; both are written in the unit that
    suits the total."""

    done: str
    total: str

    def __eq__(self, other):
        if isinstance(other, Progress):
            return (self.done, self.total) == (other.done, other.total)
        if not isinstance(other, tuple):
            return NotImplemented
        return stands_for(self.done, other[0], own_unit=False) and stands_for(self.total, other[1])

    def __repr__(self):
        return repr(f"{self.done} of {self.total}")


SIZE = r"(\d+(?:\.\d+)? (?:bytes|KiB|MiB|GiB))"
WHEN = r"\d{4}-\d\d-\d\d \d\d:\d\d"
PATTERNS = [
    ("count", re.compile(r"Scan found (\d+) files")),
    ("found", re.compile(r"Found: (.*)")),
    ("converting", re.compile(
        rf"Converting (\d+) of (\d+): (.*) \(started {WHEN}"
        r"(?:; (\d+(?:\.\d+)?) of (\d+(?:\.\d+)? (?:bytes|KiB|MiB|GiB)) done, about \d+:\d\d left)?\)")),
    ("converted", re.compile(
        rf"Converted: (.*?)(?: -> (.*))? \({SIZE} -> {SIZE}, (the same size|\d+% (?:smaller|larger)),"
        r" \d+:\d\d:\d\d\)(?:; (.*))?")),
    ("not_converted", re.compile(r"Not converted: (.*?): (.*)")),
    ("would_not", re.compile(r"Would not convert: (.*?): (.*)")),
    ("finished", re.compile(
        rf"Finished {WHEN}: (\d+) converted, (\d+) not converted(?:, (\d+) left for the next run)?;"
        rf" {SIZE} before, {SIZE} after; \d+:\d\d:\d\d")),
    ("tail", re.compile(r"\t(.*)")),
]


def parse_line(line):
    """One line of the program's output as a tuple of its parts, its kind first."""
    for kind, pattern in PATTERNS:
        match = pattern.fullmatch(line)
        if not match:
            continue
        parts = match.groups()
        if kind == "count":
            return (kind, int(parts[0]))
        if kind == "converting":
            index, total, path, done, of = parts
            unit = of.split(" ")[1] if of else ""
            progress = Progress(f"{done} {unit}", of) if of else None
            return (kind, int(index), int(total), path, progress)
        if kind == "converted":
            path, target, before, after, change, extra = parts
            return (kind, path, target, Size(before), Size(after), Change(change), extra)
        if kind == "finished":
            converted, not_converted, left, before, after = parts
            return (kind, int(converted), int(not_converted), int(left or 0), Size(before),
                    Size(after))
        return (kind, *parts)
    return ("text", line)


def parse_output(text):
    return [parse_line(line) for line in text.splitlines()]


# ---- Runs of the program -------------------------------------------------------------------


@dataclasses.dataclass
class Run:
    status: int
    out: str
    err: str

    @property
    def lines(self):
        return self.out.splitlines()

    @property
    def records(self):
        return parse_output(self.out)

    def begins_with(self, expect):
        """Whether the output begins with the expected lines (what follows may come from an
        interpreter)."""
        return self.records[:len(expect.records)] == expect.records

    def shown(self):
        """The end of what the run printed, which usually says why it went wrong."""
        return "\n".join(["--- stdout:", *self.lines[-12:], "--- stderr:", *self.err.splitlines()[-6:]])


def exit_code(status):
    """A process's exit code as a shell reports it: 128 + N for one ended by signal N."""
    return 128 - status if status < 0 else status


def decode(data):
    return data.decode("utf-8", "replace").replace("\r", "")


class Expect:
    """The parts of the lines a run should print, in order, built up the way the run goes."""

    def __init__(self, case):
        self.case = case
        self.records = []
        self.scanned = False
        self.total = self.index = self.done = self.bytes = 0
        self.converted = self.refusals = self.before = self.after = 0

    def line(self, text):
        self.records.append(("text", text))
        return self

    def scan(self, *paths):
        native = self.case.native
        self.records.append(("count", len(paths)))
        self.records += [("found", native(path)) for path in paths]
        self.scanned = True
        self.total, self.index, self.done = len(paths), 0, 0
        self.bytes = sum(self.case.scanned_size(path) for path in paths)
        return self

    def converting(self, source):
        self.index += 1
        progress = (self.done, self.bytes) if self.converted > 0 else None
        self.done += self.case.scanned_size(source)
        self.records.append(("converting", self.index, self.total, self.case.native(source), progress))
        return self

    def conversion(self, source, target=None, extra=None):
        """SOURCE is converted to TARGET (default: itself) with the stand-in's current result."""
        before = self.case.scanned_size(source)
        after = self.case.fake_result.stat().st_size
        self.converting(source)
        native_target = self.case.native(target) if target and target != source else None
        self.records.append(("converted", self.case.native(source), native_target, before, after,
                             (before, after), extra))
        self.converted += 1
        self.before += before
        self.after += after
        return self

    def not_converted(self, source, reason):
        self.records.append(("not_converted", self.case.native(source), reason))
        self.refusals += 1
        return self

    def encode_fails(self, source, reason):
        """The encoder runs on SOURCE, which stays as it was for REASON; a failed encoder's own
        output, captured, follows indented."""
        self.converting(source)
        self.not_converted(source, reason)
        if reason.startswith("the encoder "):
            self.tail(f"fake encoder: {self.case.native(source)}")
        return self

    def tail(self, text):
        """A line of the encoder's own output, captured and shown under its outcome."""
        self.records.append(("tail", text))
        return self

    def refused(self, source, reason):
        """SOURCE is refused for REASON before any encoder starts."""
        self.index += 1
        self.done += self.case.scanned_size(source)
        return self.not_converted(source, reason)

    def would_not(self, source, reason):
        self.records.append(("would_not", self.case.native(source), reason))
        return self

    def summary(self, left=0):
        self.records.append(("finished", self.converted, self.refusals, left, self.before,
                             self.after))
        self.scanned = False
        return self


class Case:
    """One case's folder, its stand-in encoder and its runs of the program."""

    def __init__(self, tools, folder):
        self.tools = tools
        self.dir = folder
        self.wd = folder / "wd"
        self.orig = folder / "orig"
        self.wd.mkdir()
        self.orig.mkdir()
        self.env = {}
        self.fake_mode = ""
        self.fake_result = None
        self.as_user = []
        self.wd_extra = []
        self.expect_missing_encoder = False
        self.program = tools.brindle

    @property
    def windows(self):
        return self.tools.platform == "windows"

    # -- paths --

    def native(self, path):
        """A path written with '/' in the form the program prints it: '\\' on Windows."""
        path = str(path)
        return path.replace("/", "\\") if self.windows else path

    def host_path(self, path):
        """The absolute path of a file of the case as a program of the build sees it."""
        path = str(Path(path).absolute())
        return "Z:" + path.replace("/", "\\") if self.windows else path

    # -- library files --

    def make_video(self, path, size, sparse=False):
        """A video file of SIZE bytes: the H.264 sample (MP4 for .mp4, .m4v and .mov, Matroska for
        the others) followed by random bytes, so a copy can be told from it; with SPARSE, extended
        sparsely but for 4 KiB of random bytes at its end (a file ending in zeros is an unfinished
        download). A size too small for the sample gives random bytes (or a sparse file) alone."""
        path = Path(path)
        path.parent.mkdir(parents=True, exist_ok=True)
        mp4 = path.suffix.lower() in (".mp4", ".m4v", ".mov")
        sample = self.tools.samples / ("source.mp4" if mp4 else "source.mkv")
        head = sample.read_bytes()
        with open(path, "wb") as out:
            if size < len(head):
                if sparse:
                    out.truncate(size)
                else:
                    out.write(os.urandom(size))
            elif sparse:
                out.write(head)
                out.truncate(size - 4096)
                out.seek(size - 4096)
                out.write(os.urandom(4096))
            else:
                out.write(head + os.urandom(size - len(head)))

    def original_of(self, path):
        return self.orig / hashlib.md5(str(path).encode()).hexdigest()

    def keep_originals(self, *paths):
        for path in paths:
            shutil.copyfile(path, self.original_of(path))

    def untouched(self, *paths):
        """The paths that differ from the originals kept of them."""
        return [str(p) for p in paths
                if not Path(p).is_file() or Path(p).read_bytes() != self.original_of(p).read_bytes()]

    def scanned_size(self, path):
        """The size the scan saw: the kept original's when there is one (the case may run first)."""
        for candidate in (self.original_of(path), Path(path)):
            if candidate.exists():
                return candidate.stat().st_size
        return 0

    # -- the stand-in encoder --

    def use_fake_result(self, path):
        """The file the stand-in encoder writes as its output from now on in this case."""
        self.fake_result = Path(path).resolve()
        self.env["BRINDLE_FAKE_RESULT"] = self.host_path(self.fake_result)

    def fake_encoder_env(self):
        self.env["BRINDLE_FAKE_LOG"] = self.host_path(self.dir / "log")
        self.use_fake_result(self.tools.samples / "result.mkv")

    def use_fake_encoder(self):
        """The stand-in as "ffmpeg": first on PATH on POSIX; in the working directory on
        Windows, where cmd.exe looks first."""
        self.fake_encoder_env()
        if self.windows:
            shutil.copyfile(self.tools.fake_encoder, self.wd / "ffmpeg.exe")
            self.wd_extra.append("ffmpeg.exe")
        else:
            bin_dir = self.dir / "bin"
            bin_dir.mkdir(exist_ok=True)
            if not (bin_dir / "ffmpeg").exists():
                (bin_dir / "ffmpeg").symlink_to(self.tools.fake_encoder)
            self.env["PATH"] = f"{bin_dir}:{os.environ['PATH']}"

    def expected_result(self, source):
        """What the stand-in makes of SOURCE (written with '/') with the current result."""
        data = bytearray(self.fake_result.read_bytes())
        offset = data.find(SOURCE_MARKER)
        field = offset + len(SOURCE_MARKER)
        if offset < 0 or len(data) - field < SOURCE_FIELD_LENGTH:
            return bytes(data)
        text = self.native(source).encode()[:SOURCE_FIELD_LENGTH].ljust(SOURCE_FIELD_LENGTH)
        data[field:field + SOURCE_FIELD_LENGTH] = text
        return bytes(data)

    def encoded(self, source, target):
        """Whether TARGET holds what the stand-in made of SOURCE."""
        target = Path(target)
        return target.is_file() and target.read_bytes() == self.expected_result(source)

    def log_lines(self):
        log = self.dir / "log"
        return log.read_text(errors="replace").splitlines() if log.exists() else []

    def log_calls(self):
        return self.log_lines().count("--")

    def log_inputs(self):
        lines = self.log_lines()
        return [lines[i + 1] for i, arg in enumerate(lines[:-1]) if arg == "-i"]

    def log_is(self, *args):
        """The whole log as ARGS, each call's arguments followed by "--" (lib/ paths native)."""
        wanted = [self.native(a) if a.startswith("lib/") else a for a in args]
        return self.log_lines() == wanted

    # -- runs --

    def command(self, args):
        env = dict(os.environ)
        env.update(self.env)
        if self.fake_mode:
            env["BRINDLE_FAKE_MODE"] = self.fake_mode
        return [*self.as_user, *self.tools.runner, str(self.program), *args], env

    def run(self, *args, cwd=None, timeout=RUN_TIMEOUT):
        """Runs the program to its end and answers its exit code and output. Under Wine an
        encoder that is there now and then fails to start (address randomization could not be
        turned off, see wine-run.sh): the run then stops before the encoder ran, having changed
        nothing, and is tried once more."""
        command, env = self.command(args)
        for attempt in (1, 2):
            done = subprocess.run(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                                  capture_output=True, timeout=timeout)
            run = Run(exit_code(done.returncode), decode(done.stdout), decode(done.stderr))
            if not (self.windows and attempt == 1 and run.status == 3
                    and not self.expect_missing_encoder):
                break
            if not re.search(r"^The encoder could not be (found \(exit code 9009\)|started)",
                             run.out, re.M):
                break
            print("NOTE: the encoder did not start under Wine; tried once more:\n" + run.shown())
        return run

    def start(self, *args, out_name="raw1", cwd=None, **popen):
        """Starts the program in the background, its output going to files of the case."""
        command, env = self.command(args)
        out = open(self.dir / out_name, "wb")
        err = open(self.dir / f"{out_name}.err", "wb")
        with out, err:
            process = subprocess.Popen(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                                       stdout=out, stderr=err, **popen)
        process.out_name = out_name
        return process

    def finished(self, process, deadline=None):
        """Waits for a process of start() (at most DEADLINE seconds, then kills it and its
        descendants and fails) and answers its run."""
        try:
            status = process.wait(timeout=deadline)
        except subprocess.TimeoutExpired:
            kill_tree(process.pid)
            process.wait()
            raise AssertionError(f"brindle was still running {deadline} s after the stop")
        out_name = process.out_name
        return Run(exit_code(status), decode((self.dir / out_name).read_bytes()),
                   decode((self.dir / f"{out_name}.err").read_bytes()))

    def expect(self):
        return Expect(self)

    def expect_run(self, status, expect, *args):
        """Runs the program with ARGS and checks its exit code and every line's parts. An encode
        run that got as far as its scan ends with the summary."""
        if status in (0, 2, 3) and expect.scanned and "-scanonly" not in args:
            expect.summary()
        run = self.run(*args)
        assert run.status == status, f"brindle {' '.join(args)}: exit code {run.status}\n{run.shown()}"
        assert run.records == expect.records, f"brindle {' '.join(args)}"
        return run

    # -- what stands afterwards --

    def tree(self, folder):
        """Every file and folder under FOLDER by relative path, sorted. Wine keeps a file's stream
        NAME:brindle (the failure note) as a file beside it: it is not one of the library's."""
        folder = Path(folder)
        names = []
        for top, dirs, files in os.walk(folder):
            for name in dirs + files:
                if not name.endswith(":brindle"):
                    names.append(os.path.relpath(os.path.join(top, name), folder))
        return sorted(names)

    def working_dir(self):
        """What stands in the working directory besides the library and the case's own files."""
        extra = {"lib", *self.wd_extra}
        return sorted(n for n in os.listdir(self.wd) if n not in extra and not n.endswith(":brindle"))

    def note_of(self, path):
        """The note FILE carries: an extended attribute on POSIX; on Wine, a file beside it."""
        try:
            if self.windows:
                return Path(f"{path}:brindle").read_text()
            return os.getxattr(path, "user.brindle").decode()
        except OSError:
            return ""

    def backdate_note(self, path):
        """Dates PATH's note a day back, as if it was written the night before."""
        fields = self.note_of(path).split()
        fields[4] = time.strftime("%Y-%m-%d", time.localtime(time.time() - 86400))
        text = " ".join(fields)
        if self.windows:
            Path(f"{path}:brindle").write_text(text)
        else:
            os.setxattr(path, "user.brindle", text.encode())

    def drop_privileges(self):
        """Runs the program as an unprivileged user where the test runs as root (root reads and
        writes everything, so permissions would prove nothing). False when that is not possible."""
        if os.getuid() != 0:
            return True
        if not shutil.which("setpriv"):
            return False
        self.as_user = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        return subprocess.run([*self.as_user, "test", "-x", str(self.tools.brindle)]).returncode == 0


# ---- Processes -----------------------------------------------------------------------------


def children_of(pid):
    """PID's children, whichever of its threads started them."""
    found = []
    for proc in Path("/proc").iterdir():
        if proc.name.isdigit():
            try:
                parent = (proc / "stat").read_text().rsplit(") ", 1)[1].split()[1]
            except (OSError, IndexError):
                continue
            if int(parent) == pid:
                found.append(int(proc.name))
    return sorted(found)


def descendants(pid):
    found = []
    for child in children_of(pid):
        found += [child, *descendants(child)]
    return found


def kill_tree(pid):
    for each in [pid, *descendants(pid)]:
        try:
            os.kill(each, signal.SIGKILL)
        except OSError:
            pass


def kill_traced(tracer):
    """Kills the processes a tracer runs, then the tracer. The other way round, a process held in
    a system call runs on, untraced, until its own kill arrives: time enough, on a busy machine,
    to finish the copy or the rename the case held it at."""
    for child in children_of(tracer):
        kill_tree(child)
    kill_tree(tracer)


def processes_in(folder):
    """The live processes whose working directory is FOLDER, as "PID COMMAND LINE"."""
    found = []
    for proc in Path("/proc").iterdir():
        if not proc.name.isdigit() or int(proc.name) == os.getpid():
            continue
        try:
            if os.readlink(proc / "cwd") != str(folder):
                continue
            if (proc / "stat").read_text().rsplit(") ", 1)[1].startswith("Z"):
                continue
            line = (proc / "cmdline").read_bytes().replace(b"\0", b" ")[:100].decode(errors="replace")
        except OSError:
            continue
        found.append(f"{proc.name} {line}")
    return found


def wait_until(seconds, condition):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    return condition()


def left_running(folder):
    """The processes still working in FOLDER after five seconds, as the last look saw them (a
    later look may find them gone); they are ended."""
    deadline = time.monotonic() + 5
    while (left := processes_in(folder)) and time.monotonic() < deadline:
        time.sleep(0.1)
    for each in left:
        try:
            os.kill(int(each.split()[0]), signal.SIGKILL)
        except OSError:
            pass
    return left


def brindle_exe_in(folder):
    """The process id of the brindle.exe that works in FOLDER (Wine starts it apart from its
    caller), or None."""
    for proc in Path("/proc").iterdir():
        try:
            if (proc.name.isdigit() and (proc / "comm").read_text().strip() == "brindle.exe"
                    and os.readlink(proc / "cwd") == str(folder)):
                return int(proc.name)
        except OSError:
            continue
    return None
