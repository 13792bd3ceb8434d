"""The install of a result interrupted at each of its steps: by a kill, and by a newer file moved
onto the source's name while the step is held. strace stops or holds the program at the Nth call
of a step's system call (traced in brindle's own process only)."""

import os
import platform
import shutil
import subprocess
import time
from pathlib import Path

import pytest

from harness import ENCODE_ARGS, children_of, exit_code, kill_traced

NO_LEAK_CHECK = {"ASAN_OPTIONS": "detect_leaks=0"}  # a sanitizer's leak checker cannot run traced


def traced(case, *inject):
    """The command line of one encode run under strace, injecting INJECT into its calls."""
    command, env = case.command(ENCODE_ARGS)
    return ["strace", "-o", "/dev/null", *inject, *command], {**env, **NO_LEAK_CHECK}


def fresh_library(case, *videos):
    for name in ("lib", "tempenc.mkv", "brindle.journal", "brindle.journal.new"):
        shutil.rmtree(name, ignore_errors=True) if os.path.isdir(name) else Path(name).unlink(missing_ok=True)
    for path, size in videos:
        case.make_video(path, size)


# Under Wine, the renames, links and removals of a Windows program are made by wineserver, one
# process shared by every Wine program of the prefix (the cases running beside this one too): no
# call of one run can be held or killed alone there, so these cases run on the native build only.
WINE_SKIP = "under Wine the file calls are wineserver's, shared by every case"


def run_killed_at_call(case, syscall, n):
    """One run over a fresh library of a name-changing and a same-name file, killed with SIGKILL
    as it enters call N of SYSCALL. Answers whether it was killed."""
    fresh_library(case, ("lib/a.x264.mkv", 1100000), ("lib/b.mkv", 1200000))
    command, env = traced(case, "-e", f"trace={syscall}", "-e", f"inject={syscall}:signal=KILL:when={n}")
    done = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    return exit_code(done.returncode) == 137


def test_killed_during_install(case):
    """A run killed at any step of its installs: the next run ends with every file converted,
    nothing beside them."""
    if case.windows:
        pytest.skip(WINE_SKIP)
    if not shutil.which("strace"):
        pytest.skip("needs strace")
    case.use_fake_encoder()
    kills = 0
    for syscall in ("renameat2", "renameat", "linkat", "unlinkat"):
        for n in range(1, 41):
            if not run_killed_at_call(case, syscall, n):
                break
            kills += 1
            after = f"the run after a kill at {syscall} call {n}"
            run = case.run(*ENCODE_ARGS)
            assert run.status == 0, f"{after}: {run.shown()}"
            assert "could not be completed" not in run.out, f"{after}: {run.out}"
            assert case.tree("lib") == ["a.x265.mkv", "b.mkv"], after
            assert case.encoded("lib/a.x264.mkv", "lib/a.x265.mkv"), after
            assert case.encoded("lib/b.mkv", "lib/b.mkv"), after
            assert case.working_dir() == ["brindle.lock"], after
    assert kills > 10, f"only {kills} runs were killed"


def held_in_syscall(tracer, number):
    """Whether brindle, traced by TRACER, is held on entering the system call numbered NUMBER."""
    for child in children_of(tracer)[:1]:
        try:
            return Path(f"/proc/{child}/syscall").read_text().split()[0] == str(number)
        except (OSError, IndexError):
            return False
    return False


def move_newer_in_at_call(case, source, syscall, number, n):
    """A run over SOURCE alone, held for a second as it enters call N of SYSCALL (numbered
    NUMBER); when the encoder has run by then, a newer file is moved onto SOURCE's name meanwhile
    (before the encode, it would simply be the file converted). Answers "moved" and the run,
    "early" when the run got there before the encode, or "never" when it never got that far."""
    fresh_library(case, (source, 1100000), ("newer.mkv", 1300000))
    (case.dir / "log").unlink(missing_ok=True)
    shutil.copyfile("newer.mkv", case.dir / "newer")
    command, env = traced(case, "-e", f"trace={syscall}", "-e",
                          f"inject={syscall}:delay_enter=1000000:when={n}")
    with open(case.dir / "raw", "wb") as out:
        tracer = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=subprocess.DEVNULL)
    held = "never"
    while tracer.poll() is None:
        if held_in_syscall(tracer.pid, number):
            held = "early"
            log = case.dir / "log"
            if log.exists() and log.stat().st_size > 0:
                os.replace("newer.mkv", source)
                held = "moved"
            break
        time.sleep(0.05)
    if held == "early":  # nothing to see: not worth waiting for the held call
        kill_traced(tracer.pid)
    status = exit_code(tracer.wait(timeout=120))
    Path("newer.mkv").unlink(missing_ok=True)
    return held, status, (case.dir / "raw").read_bytes().decode(errors="replace")


def files_holding(folder, content):
    """The files under FOLDER holding CONTENT, in the order a walk meets them."""
    found = []
    for top, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(top, name)
            if Path(path).read_bytes() == content:
                found.append(path)
    return found


def test_newer_file_moved_in_during_install(case):
    """A newer file moved onto the source's name at any step of the install survives."""
    if case.windows:
        pytest.skip(WINE_SKIP)
    if not shutil.which("strace") or platform.machine() != "x86_64":
        pytest.skip("needs strace on x86-64")
    case.use_fake_encoder()
    held_at = 0
    for source in ("lib/a.x264.mkv", "lib/b.mkv"):
        for syscall, number in (("renameat2", 316), ("linkat", 265), ("unlinkat", 263)):
            for n in range(1, 13):
                held, status, out = move_newer_in_at_call(case, source, syscall, number, n)
                if held == "never":
                    break
                if held == "early":
                    continue
                held_at += 1
                at = f"{source}, moved in at {syscall} call {n}"
                assert status in (0, 2), f"{at}: exit code {status}\n{out}"
                names = files_holding("lib", (case.dir / "newer").read_bytes())
                assert names, f"{at}: the newer file is lost\n{out}"
                assert names[0] == source or names[0] in out, (
                    f"{at}: the newer file stands as {names[0]}, which no line names\n{out}")
    assert held_at > 10, f"only {held_at} runs were held"
