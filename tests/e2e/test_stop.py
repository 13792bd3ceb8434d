"""Runs that end before their time: two at once, stopped, killed, and killed with their encoder
left running; each leaves the library as it was."""

import os
import shutil
import signal
import subprocess
import time
from pathlib import Path

import pytest

from harness import (ENCODE_ARGS, LOCK_HELD, brindle_exe_in, children_of, descendants, kill_tree,
                     left_running, wait_until)


def hanging_encode(case, source="lib/a.mkv", size=1100000, platform="posix", why="POSIX signals"):
    """One source and the stand-in that hangs halfway; skipped for WHY but on PLATFORM."""
    if case.tools.platform != platform:
        pytest.skip(why)
    case.use_fake_encoder()
    case.fake_mode = "hang"
    case.make_video(source, size)
    case.keep_originals(source)


def encoder_started(seconds=10):
    return wait_until(seconds, lambda: Path("tempenc.mkv").exists()
                      and Path("tempenc.mkv").stat().st_size > 0)


def test_concurrent_runs(case):
    """Two runs started at once in one working directory: one encodes, one steps aside."""
    case.use_fake_encoder()
    case.fake_mode = "slow"
    for path in ("lib/a.mkv", "lib/b.mkv"):
        case.make_video(path, 1100000)
    case.keep_originals("lib/a.mkv", "lib/b.mkv")
    first = case.start(*ENCODE_ARGS, out_name="raw1")
    second = case.start(*ENCODE_ARGS, out_name="raw2")
    runs = [case.finished(first), case.finished(second)]
    expect = case.expect().scan("lib/a.mkv", "lib/b.mkv")
    expect = expect.conversion("lib/a.mkv").conversion("lib/b.mkv").summary().records
    outputs = sorted([run.records for run in runs], key=len)
    assert outputs == [[("text", LOCK_HELD)], expect], "one run encodes, the other prints the lock message"
    assert [run.status for run in runs] == [0, 0]
    assert case.log_calls() == 2
    assert case.encoded("lib/a.mkv", "lib/a.mkv") and case.encoded("lib/b.mkv", "lib/b.mkv")
    assert case.tree("lib") == ["a.mkv", "b.mkv"]
    assert case.working_dir() == ["brindle.lock"]


def test_killed_run(case):
    """A run killed with SIGKILL during the encode: source intact, the next run completes."""
    hanging_encode(case, "lib/a.x264.mkv", 2100000)
    process = case.start(*ENCODE_ARGS)
    assert encoder_started(), "the encoder never started"
    children = descendants(process.pid)
    process.kill()
    process.wait()
    # The encoder ends with brindle, without help.
    assert left_running(case.wd.resolve()) == [], "still running in the case's folder"
    for child in children:
        try:
            os.kill(child, signal.SIGKILL)
        except OSError:
            pass
    time.sleep(0.2)
    assert case.untouched("lib/a.x264.mkv") == []
    assert case.tree("lib") == ["a.x264.mkv"]
    case.fake_mode = ""
    expect = case.expect().scan("lib/a.x264.mkv").conversion("lib/a.x264.mkv", "lib/a.x265.mkv")
    case.expect_run(0, expect, *ENCODE_ARGS)
    assert case.encoded("lib/a.x264.mkv", "lib/a.x265.mkv")
    assert case.tree("lib") == ["a.x265.mkv"]
    assert case.working_dir() == ["brindle.lock"]


def test_stopped_by_signal(case):
    """kill -TERM during an encode: the encoder's group ends before the lock is let go; nothing
    is left."""
    hanging_encode(case, "lib/a.x264.mkv", 2100000)
    # The interpreter takes four seconds to end after the signal (the encoder ends at once): a
    # run started meanwhile must find the lock still held.
    (case.dir / "slow-stop.cfg").write_text("trap 'sleep 4' TERM; ffmpeg -y -i %1 %2\n")
    process = case.start(*ENCODE_ARGS, "-config", "../slow-stop.cfg")
    assert encoder_started(), "the encoder never started"
    process.send_signal(signal.SIGTERM)
    time.sleep(0.5)
    case.expect_run(0, case.expect().line(LOCK_HELD), *ENCODE_ARGS)
    stopped = case.finished(process, deadline=20)
    assert stopped.status == 143, stopped.shown()
    expect = case.expect().line("Custom config file specified ../slow-stop.cfg")
    expect.scan("lib/a.x264.mkv").converting("lib/a.x264.mkv")
    expect.line("Stopped by signal 15; lib/a.x264.mkv was not converted")
    assert stopped.records == expect.summary().records
    assert left_running(case.wd.resolve()) == [], "still running in the case's folder"
    assert not Path("tempenc.mkv").exists(), "tempenc.mkv was left behind"
    assert case.untouched("lib/a.x264.mkv") == []
    assert case.tree("lib") == ["a.x264.mkv"]
    assert case.working_dir() == ["brindle.lock"]
    assert case.log_calls() == 1


def test_parent_ignores_sigchld(case):
    """A parent that ignores SIGCHLD: the encoder's exit code is still seen."""
    if case.windows:
        pytest.skip("POSIX signals")
    case.use_fake_encoder()
    case.make_video("lib/a.x264.mkv", 1100000)
    case.keep_originals("lib/a.x264.mkv")
    command, env = case.command(ENCODE_ARGS)
    # An ignored SIGCHLD is inherited through exec.
    done = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=120, preexec_fn=lambda: signal.signal(signal.SIGCHLD, signal.SIG_IGN))
    assert done.returncode == 0, done.stdout.decode()[-800:]
    assert case.encoded("lib/a.x264.mkv", "lib/a.x265.mkv")
    assert case.tree("lib") == ["a.x265.mkv"]


def test_ended_windows(case):
    """brindle.exe ended while its encoder runs: the interpreter and the encoder end with it."""
    hanging_encode(case, size=2100000, platform="windows", why="Windows job objects")
    # Under a name of its own: taskkill ends every program of the name it is given, and the other
    # cases' brindle.exe run beside this one.
    case.program = case.dir / "brindle-ended.exe"
    shutil.copyfile(case.tools.brindle, case.program)
    process = case.start(*ENCODE_ARGS)
    assert encoder_started(15), "the encoder never started"
    # As the Task Scheduler stops a task: TerminateProcess.
    done = subprocess.run([*case.tools.runner, "taskkill", "/F", "/IM", case.program.name],
                          capture_output=True, timeout=60)
    assert done.returncode == 0, f"taskkill: {done.stdout!r} {done.stderr!r}"
    process.wait()
    assert left_running(case.wd.resolve()) == [], "still running in the case's folder"
    assert case.untouched("lib/a.mkv") == []
    assert case.tree("lib") == ["a.mkv"]


def test_unwritable_working_dir(case):
    """A working directory that cannot be written: the lock message, exit code 1, nothing else
    happens."""
    if case.windows:
        pytest.skip("POSIX permissions")
    if not case.drop_privileges():
        pytest.skip("running as root and cannot switch to an unprivileged user")
    case.use_fake_encoder()
    case.make_video("lib/a.mkv", 1100000)
    case.keep_originals("lib/a.mkv")
    os.chmod(".", 0o555)
    message = f"Cannot create the lock file brindle.lock in {case.wd.resolve()}; this run does nothing."
    try:
        case.expect_run(1, case.expect().line(message), *ENCODE_ARGS)
    finally:
        os.chmod(".", 0o755)
    assert case.log_calls() == 0
    assert case.untouched("lib/a.mkv") == []
    assert case.tree("lib") == ["a.mkv"]
    assert case.working_dir() == []


def stop_run(case, target, stops, process, first, second):
    """Sends FIRST to TARGET, and with STOPS=2 SECOND a second later, then waits up to 15 s for
    PROCESS to end; answers its run and the seconds from the first stop to its end."""
    started = time.monotonic()
    os.kill(target, first)
    if stops == 2:
        time.sleep(1)
        os.kill(target, second)
    run = case.finished(process, deadline=15)
    return run, time.monotonic() - started


def expect_stop_kill(case, expect, signal_number, stops, took):
    """The rest of the output of a run on lib/a.mkv stopped by SIGNAL_NUMBER, STOPS times (1 or
    2), whose encoder did not stop: killed 10 s after the first stop, or at once at the second;
    TOOK, from the first stop to the end, is checked in whole seconds."""
    if stops == 2:
        assert took < 6, f"the second stop took {took:.1f} s to end the run"
        stopped = "the encoder was killed at the second stop"
    else:
        assert took > 8, f"the encoder was killed after {took:.1f} s, not 10"
        stopped = "the encoder did not stop within 10 s and was killed"
    expect.scan("lib/a.mkv").converting("lib/a.mkv")
    expect.line(f"Stopped by signal {signal_number}; {case.native('lib/a.mkv')} was not converted; {stopped}")
    return expect.summary().records


def test_encoder_ignores_stop(case):
    """An encoder that ignores SIGTERM: killed 10 s after the stop, or at once at a second stop."""
    hanging_encode(case)
    # The encoder inherits the ignored SIGTERM and sleeps on after writing half its output.
    (case.dir / "stubborn.cfg").write_text("trap '' TERM; ffmpeg -y -i %1 %2\n")
    for stops in (1, 2):
        Path("tempenc.mkv").unlink(missing_ok=True)
        process = case.start(*ENCODE_ARGS, "-config", "../stubborn.cfg", out_name="raw")
        assert encoder_started(), "the encoder never started"
        # SIGTERM, then SIGINT as the second stop.
        run, took = stop_run(case, process.pid, stops, process, signal.SIGTERM, signal.SIGINT)
        assert run.status == 143, f"stopped {stops} times: {run.shown()}"
        expect = case.expect().line("Custom config file specified ../stubborn.cfg")
        assert run.records == expect_stop_kill(case, expect, 15, stops, took), f"stopped {stops} times"
        assert left_running(case.wd.resolve()) == [], "still running in the case's folder"
    assert case.untouched("lib/a.mkv") == []
    assert case.tree("lib") == ["a.mkv"]
    assert case.working_dir() == ["brindle.lock"]


def test_encoder_ignores_ctrl_c(case):
    """brindle.exe stopped while its encoder goes on: the job ends 10 s after Ctrl+C, or at a
    second one."""
    hanging_encode(case, platform="windows", why="Windows console events")
    here = case.wd.resolve()
    for stops in (1, 2):
        Path("tempenc.mkv").unlink(missing_ok=True)
        # Started as a shell starts a job in the background, with SIGINT ignored: Wine then turns
        # the SIGINT into a Ctrl+C event for brindle.exe; otherwise the signal ends it at once.
        process = case.start(*ENCODE_ARGS, out_name="raw",
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN))
        assert encoder_started(15), "the encoder never started"
        # Wine gives brindle.exe alone a Ctrl+C for SIGINT: its encoder sees no event, as one
        # that ignores it would not stop.
        target = brindle_exe_in(here)
        assert target, "brindle.exe was never seen"
        run, took = stop_run(case, target, stops, process, signal.SIGINT, signal.SIGINT)
        assert run.status == 130, f"stopped with {stops} Ctrl+C: {run.shown()}"
        assert run.records == expect_stop_kill(case, case.expect(), 2, stops, took)
        assert left_running(here) == [], "still running in the case's folder"
    assert case.untouched("lib/a.mkv") == []
    assert case.tree("lib") == ["a.mkv"]


def is_stopped(pid):
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(") ", 1)[1][0] in "Tt"
    except (OSError, IndexError):
        return False


def kill_with_guardian(pid, guardian):
    """Kills brindle PID and its guardian at one moment, as far as either can tell: each ends the
    encoder on seeing the other gone, and two kills one after the other leave time for that. So
    both are stopped first. The guardian dies first: brindle's death would leave the stopped
    guardian in an orphaned process group, which the system wakes with SIGCONT."""
    os.kill(pid, signal.SIGSTOP)
    os.kill(guardian, signal.SIGSTOP)
    assert wait_until(5, lambda: is_stopped(pid)), "brindle did not stop"
    assert wait_until(5, lambda: is_stopped(guardian)), "the guardian did not stop"
    os.kill(guardian, signal.SIGKILL)
    os.kill(pid, signal.SIGKILL)


def test_encoder_left_behind(case):
    """Brindle and its guardian killed together: the next run finds their encoder and starts none."""
    hanging_encode(case)
    process = case.start(*ENCODE_ARGS)
    assert encoder_started(), "the encoder never started"
    guardian = next(iter(children_of(process.pid)), None)
    assert guardian, "brindle started no guardian"
    left = descendants(guardian)
    kill_with_guardian(process.pid, guardian)
    process.wait()
    case.fake_mode = ""
    message = ("An encoder of an earlier run is still running in this working directory;"
               " this run does nothing.")
    case.expect_run(0, case.expect().line(message), *ENCODE_ARGS)
    assert case.log_calls() == 1
    # Once the left encoder is gone, a run works again.
    for pid in left:
        kill_tree(pid)
    assert left_running(case.wd.resolve()) == [], "still running in the case's folder"
    Path("tempenc.mkv").unlink(missing_ok=True)
    case.expect_run(0, case.expect().scan("lib/a.mkv").conversion("lib/a.mkv"), *ENCODE_ARGS)
    assert case.encoded("lib/a.mkv", "lib/a.mkv")
    assert case.working_dir() == ["brindle.lock"]
