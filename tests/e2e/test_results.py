"""What a result must be to take its source's place, what follows it (sidecars, notes), and the
files a run must never touch."""

import os
import re
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from harness import (AGAIN, ENCODE_ARGS, SCAN_ONLY, Size, brindle_exe_in, children_of, kill_traced,
                     kill_tree, wait_until)

FAILED = "the encoder failed with exit code 3"


def videos(case, *paths, size=1100000):
    for path in paths:
        case.make_video(path, size)
    case.keep_originals(*paths)


def today():
    return time.strftime("%Y-%m-%d")


def noted_failures(case, path):
    """Whether this file system keeps the notes a failure leaves; the case is skipped if not."""
    if not case.note_of(path):
        pytest.skip("this file system keeps no notes, so nothing is remembered")


def test_remembered_failures(case):
    """A file the encoder fails on two days is skipped until it changes or -retry."""
    case.use_fake_encoder()
    case.fake_mode = "fail"
    videos(case, "lib/a.mkv")

    def fails(reason, *extra):
        expect = case.expect()
        if extra:
            expect.line(f"Custom config file specified {extra[1]}")
        case.expect_run(2, expect.scan("lib/a.mkv").encode_fails("lib/a.mkv", reason),
                        *ENCODE_ARGS, *extra)

    fails(FAILED + AGAIN)
    noted_failures(case, "lib/a.mkv")
    # A second failure on the same day is still the first strike.
    fails(FAILED + AGAIN)
    # The next night it fails again, and from then on it is skipped.
    case.backdate_note("lib/a.mkv")
    fails(FAILED)
    assert case.log_calls() == 3
    reason = f"it failed on {today()} ({FAILED}) and has not changed since; -retry tries it again"
    case.expect_run(0, case.expect().scan("lib/a.mkv").refused("lib/a.mkv", reason), *ENCODE_ARGS)
    assert case.log_calls() == 3
    case.expect_run(2, case.expect().scan("lib/a.mkv").encode_fails("lib/a.mkv", FAILED),
                    *ENCODE_ARGS, "-retry")
    assert case.log_calls() == 4
    # Another encoder line (a mistyped option corrected) tries the file again too.
    (case.dir / "other.cfg").write_text("ffmpeg -y -i %1 %2\n")
    fails(FAILED + AGAIN, "-config", case.native("../other.cfg"))
    assert case.log_calls() == 5
    case.fake_mode = ""
    with open("lib/a.mkv", "ab") as file:
        file.write(b"more")
    case.keep_originals("lib/a.mkv")
    case.expect_run(0, case.expect().scan("lib/a.mkv").conversion("lib/a.mkv"), *ENCODE_ARGS)
    assert case.log_calls() == 6
    assert case.encoded("lib/a.mkv", "lib/a.mkv")
    if not case.windows:  # Wine keeps a replaced file's note as a file of its own beside it
        assert case.note_of("lib/a.mkv") == "", "the converted file still carries the failure mark"


def test_results_not_whole(case, tools):
    """A result shorter than its source, a cut-off result, a source that grew, a non-video:
    nothing moves."""
    case.use_fake_encoder()
    sources = ["lib/a.mkv", "lib/b.mkv", "lib/c.mkv"]
    videos(case, *sources)
    (case.dir / "cut.mkv").write_bytes((tools.samples / "result.mkv").read_bytes()[:20000])
    case.use_fake_result(tools.samples / "result-short.mkv")
    expect = case.expect().scan(*sources)
    for source in sources:
        expect.encode_fails(source, f"the result lasts 1.1 s, the source 3.1 s{AGAIN}")
    case.expect_run(2, expect, *ENCODE_ARGS, "-retry")
    case.use_fake_result(case.dir / "cut.mkv")
    run = case.run(*ENCODE_ARGS, "-retry")
    cut = ("not_converted", case.native("lib/a.mkv"), "the result is not a complete Matroska file")
    assert any(r[:2] == cut[:2] and r[2].startswith(cut[2]) for r in run.records), run.out
    case.use_fake_result(tools.samples / "result.mkv")
    case.fake_mode = "grow"
    expect = case.expect().scan(*sources)
    for source in sources:
        expect.encode_fails(source, "the source changed while it was being encoded")
    case.expect_run(2, expect, *ENCODE_ARGS, "-retry")
    assert case.tree("lib") == ["a.mkv", "b.mkv", "c.mkv"]
    assert case.working_dir() == ["brindle.lock"]
    # Every name is taken with -ext *, but only a video container reaches the encoder.
    case.fake_mode = ""
    shutil.rmtree("lib")
    os.mkdir("lib")
    Path("lib/photo.png").write_bytes(b"\x89PNG\r\n\x1a\n" + os.urandom(1100000))
    Path("lib/song.wav").write_bytes(b"RIFF\xff\xff\x10\x00WAVEfmt " + os.urandom(1100000))
    Path("lib/notes.txt").write_bytes(b"x" * 1100000)
    others = ["lib/notes.txt", "lib/photo.png", "lib/song.wav"]
    case.keep_originals(*others)
    expect = case.expect().scan(*others).refused("lib/notes.txt", "it is not a video file")
    expect.refused("lib/photo.png", "it is not a video file (PNG image)")
    expect.refused("lib/song.wav", "it is not a video file (WAV audio)")
    case.expect_run(0, expect, "-days", "3", "-dir", "lib", "-ext", "*", "-docurrent")
    assert case.log_calls() == 9
    assert case.untouched(*others) == []


def test_mp4_library(case, tools):
    """An MP4 library converted to HEVC in MP4 is found converted the next day."""
    case.use_fake_encoder()
    case.use_fake_result(tools.samples / "result.mp4")
    videos(case, "lib/a.mp4")
    (case.dir / "mp4.cfg").write_text("ffmpeg -y -i %1 -c:v libx265 -f mp4 %2\n")
    config = case.native("../mp4.cfg")
    args = ["-days", "3", "-dir", "lib", "-ext", "mp4", "-docurrent"]
    expect = case.expect().line(f"Custom config file specified {config}")
    case.expect_run(0, expect.scan("lib/a.mp4").conversion("lib/a.mp4"), *args, "-config", config)
    case.expect_run(0, case.expect().line(SCAN_ONLY).scan(), *args, "-scanonly")


def test_working_directory_inside_library(case):
    """A working directory inside the library is refused, exit code 1."""
    case.use_fake_encoder()
    videos(case, "lib/a.mkv")
    os.mkdir("lib/work")
    run = case.run("-days", "3", "-dir", "..", "-ext", "mkv", "-docurrent", cwd="lib/work")
    assert run.status == 1, run.shown()
    assert "lies inside the library folder" in run.out, run.out
    assert case.log_calls() == 0
    assert case.untouched("lib/a.mkv") == []
    assert case.tree("lib") == ["a.mkv", "work"]


def test_file_links(case):
    """Links to files are never taken and a .bak that is a link is refused: no file is lost."""
    case.use_fake_encoder()
    elsewhere = str(case.dir / "elsewhere/s.x264.mkv")
    videos(case, "lib/Show/ep.x264.mkv", elsewhere, "lib/d.mkv")
    os.symlink("Show/ep.x264.mkv", "lib/Latest.x264.mkv")
    os.symlink(elsewhere, "lib/a.x264.mkv")
    os.symlink("d.mkv", "lib/d.mkv.bak")
    run = case.run(*ENCODE_ARGS)
    assert run.status == 0, run.shown()
    assert [r for r in run.records if r[:2] == ("not_converted", case.native("lib/d.mkv"))], run.out
    assert "Latest" not in run.out, f"the link Latest.x264.mkv was taken:\n{run.out}"
    assert "a.x264" not in run.out, f"the link a.x264.mkv was taken:\n{run.out}"
    assert case.untouched(elsewhere, "lib/d.mkv") == []
    assert case.encoded("lib/Show/ep.x264.mkv", "lib/Show/ep.x265.mkv")
    assert all(os.path.islink(p) for p in ("lib/Latest.x264.mkv", "lib/a.x264.mkv", "lib/d.mkv.bak"))


def encoded_once(case, source, target):
    """One run over a library whose links lead to SOURCE: it is found and encoded once, under the
    name that crosses no link, into TARGET."""
    run = case.run(*ENCODE_ARGS)
    assert run.status == 0, run.shown()
    assert run.begins_with(case.expect().scan(source)), run.out
    assert case.log_calls() == 1
    assert case.encoded(source, target)


def test_links_inside_library(case):
    """A folder met through three names (Latest -> Show/Season 3) is encoded once."""
    case.use_fake_encoder()
    case.make_video("lib/Show/Season 3/e1.mkv", 1100000)
    os.symlink("Show/Season 3", "lib/Latest")
    os.symlink("Season 3", "lib/Show/Current")
    encoded_once(case, "lib/Show/Season 3/e1.mkv", "lib/Show/Season 3/e1.mkv")


def test_link_sorting_first(case):
    """A file behind a link that sorts first (Latest -> Show) is encoded under its own folder."""
    case.use_fake_encoder()
    case.make_video("lib/Show/Show.S01E02.x264.mkv", 1100000)
    os.symlink("Show", "lib/Latest")
    encoded_once(case, "lib/Show/Show.S01E02.x264.mkv", "lib/Show/Show.S01E02.x265.mkv")


def test_result_with_second_name(case):
    """A result with a second name outside the library is refused and nothing installed."""
    case.use_fake_encoder()
    videos(case, "lib/a.x264.mkv")
    (case.dir / "outside").mkdir()
    case.fake_mode = "link"
    case.env["BRINDLE_FAKE_OTHER"] = case.host_path(case.dir / "outside/owned.mkv")
    run = case.run(*ENCODE_ARGS)
    assert run.status == 2, run.shown()
    refusal = ("not_converted", case.native("lib/a.x264.mkv"),
               "the result has more than one name, so it is not the encoder's own new file")
    assert refusal in run.records, run.out
    assert case.untouched("lib/a.x264.mkv") == []
    assert not Path("lib/a.x265.mkv").exists(), "the result was installed"
    assert (case.dir / "outside/owned.mkv").is_file(), "the outside file is gone"
    assert not list(Path("lib").rglob(".brindle-*")), "a staged file was left"


def test_note_after_folder_swap(case):
    """A folder swapped for a link during the encode: the failure note stays inside."""
    case.use_fake_encoder()
    case.make_video("lib/Show/a.mkv", 1100000)
    # The working directory itself, outside the library, holds a file of the same name: only
    # the run's own names may change there.
    outside = case.wd
    shutil.copyfile("lib/Show/a.mkv", outside / "a.mkv")
    os.chmod(outside / "a.mkv", 0o600)
    changed_before = os.stat(outside / "a.mkv").st_ctime_ns
    time.sleep(1.1)  # a note would move the change time on by a whole second at least
    case.fake_mode = "swap"
    case.env["BRINDLE_FAKE_OTHER"] = case.host_path(outside)
    if case.windows:
        # Wine makes no links: the encoder moves the folder away and waits for this one.
        process = case.start(*ENCODE_ARGS, out_name="raw")
        assert wait_until(60, lambda: Path("lib/Show.moved").is_dir()), "the encoder did not move the folder"
        os.symlink(outside, "lib/Show")
        run = case.finished(process, deadline=60)
    else:
        run = case.run(*ENCODE_ARGS)
    assert run.status == 2, run.shown()
    assert any(r[:2] == ("not_converted", case.native("lib/Show/a.mkv")) and r[2].startswith(FAILED)
               for r in run.records), run.out
    assert os.path.islink("lib/Show") and os.path.isdir("lib/Show.moved"), "the encoder did not swap the folder"
    assert os.stat(outside / "a.mkv").st_ctime_ns // 10**9 == changed_before // 10**9, (
        "the file outside the library was changed (a note landed on it)")
    # Wine keeps a file's stream as a file of its own beside it.
    assert not (outside / "a.mkv:brindle").exists(), "a note was made beside the file outside"


def staging_started(pid, folder):
    """Whether the child of PID holds a staged file in FOLDER open, named or not: the copy of its
    result has begun."""
    for child in children_of(pid)[:1]:
        try:
            targets = [os.readlink(f"/proc/{child}/fd/{fd}") for fd in os.listdir(f"/proc/{child}/fd")]
        except OSError:
            return False
        return any(t.startswith((f"{folder}/#", f"{folder}/.brindle-")) for t in targets)
    return False


def test_killed_while_staging_across_volumes(case):
    """A run killed while it copies its result across volumes leaves no file in the library."""
    if not shutil.which("strace") or not os.access("/dev/shm", os.W_OK):
        pytest.skip("needs strace and /dev/shm")
    case.use_fake_encoder()
    videos(case, "lib/a.mkv")
    shm = Path(tempfile.mkdtemp(prefix="brindle-e2e-", dir="/dev/shm"))
    lib = case.wd / "lib"
    try:
        if case.windows:
            kill_while_staging_windows(case, shm, lib)
        else:
            # The copy stalls for 20 s when it starts, long enough to be killed there. Only the
            # copy is stopped for the tracer: a sanitizer build under a full trace takes longer
            # to reach it than the case waits. The leak checker of such a build cannot run
            # under a tracer.
            case.env["ASAN_OPTIONS"] = "detect_leaks=0"
            command, env = case.command(["-days", "3", "-dir", str(lib), "-ext", "mkv", "-docurrent"])
            tracer = ["strace", "-f", "--seccomp-bpf", "-o", "/dev/null", "-e", "trace=copy_file_range",
                      "-e", "inject=copy_file_range:delay_enter=20000000"]
            with open(case.dir / "raw", "wb") as out:
                process = subprocess.Popen(tracer + command, env=env, cwd=shm,
                                           stdin=subprocess.DEVNULL, stdout=out, stderr=out)
            seen = wait_until(60, lambda: staging_started(process.pid, lib))
            kill_traced(process.pid)
            process.wait()
            assert seen, f"the copy across volumes was never seen: {(case.dir / 'raw').read_text()}"
        assert not list(lib.rglob(".brindle-*")), "a staged file was left"
        assert case.untouched("lib/a.mkv") == []
    finally:
        shutil.rmtree(shm, ignore_errors=True)


def kill_while_staging_windows(case, shm, lib):
    """brindle.exe, working in SHM, copies its result into LIB and is killed once the copy is
    written and held at its flush, before the copy's deletion mark is cleared. The system deletes
    the copy when the killed process's handles close."""
    shutil.copyfile(case.tools.fake_encoder, shm / "ffmpeg.exe")
    case.fake_mode = "slow"
    process = case.start("-days", "3", "-dir", case.host_path(lib), "-ext", "mkv", "-docurrent",
                         out_name="raw", cwd=shm)
    try:
        assert wait_until(60, lambda: brindle_exe_in(shm)), "brindle.exe was never seen"
        exe = brindle_exe_in(shm)
        # While the encoder sleeps: every flush of brindle.exe is held for 6 s.
        tracer = subprocess.Popen(["strace", "-f", "-p", str(exe), "-o", "/dev/null", "-e",
                                   "trace=fsync,fdatasync", "-e",
                                   "inject=fsync,fdatasync:delay_enter=6000000"],
                                  stderr=subprocess.DEVNULL)

        def staged_files():
            return [p for p in lib.rglob(".brindle-*") if p.stat().st_size > 0]

        staged = wait_until(90, staged_files) and staged_files()
        if staged:
            time.sleep(1)  # the whole copy is written before its flush
        os.kill(exe, 9)
        tracer.terminate()
        tracer.wait()
        process.wait()
        assert staged, f"the copy across volumes was never seen: {(case.dir / 'raw').read_text()}"
        assert wait_until(10, lambda: not staged[0].exists()), (
            "the staged copy was not deleted with the killed process")
    finally:
        kill_tree(process.pid)


def test_unwritable_library_folder(case):
    """A library folder the run cannot write to is found before the encoder starts."""
    if case.windows:
        pytest.skip("POSIX permissions")
    if not case.drop_privileges():
        pytest.skip("running as root and cannot switch to an unprivileged user")
    case.use_fake_encoder()
    videos(case, "lib/locked/a.mkv")
    os.chmod(".", 0o777)
    os.chmod("lib/locked", 0o555)
    try:
        run = case.run(*ENCODE_ARGS)
    finally:
        os.chmod(".", 0o755)
        os.chmod("lib/locked", 0o755)
    assert run.status == 2, run.shown()
    refusal = ("not_converted", "lib/locked/a.mkv", "its folder cannot be written: Permission denied")
    assert refusal in run.records, run.out
    assert case.log_calls() == 0
    assert case.untouched("lib/locked/a.mkv") == []
    assert case.tree("lib/locked") == ["a.mkv"]


def test_longest_paths_convert(case):
    """A source path of 255 characters converts: its .bak and staged paths are longer."""
    case.use_fake_encoder()
    # lib/ + folder + / + name: 255 characters.
    folder, name = "f" * 200, "n" * 46 + ".mkv"
    source = f"lib/{folder}/{name}"
    videos(case, source)
    case.expect_run(0, case.expect().scan(source).conversion(source), *ENCODE_ARGS)
    assert case.encoded(source, source)
    assert case.tree(f"lib/{folder}") == [name]


def test_dir_in_long_form(case):
    """-dir written \\\\?\\...\\ with its trailing backslash scans and converts like the plain form."""
    if not case.windows:
        pytest.skip("a Windows path form")
    case.use_fake_encoder()
    case.make_video("lib/a.mkv", 1100000)
    case.make_video("lib/Show/b.mkv", 1100000)
    plain = "\\\\?\\" + case.host_path(case.wd / "lib")
    args = ["-days", "3", "-dir", plain + "\\", "-ext", "mkv", "-docurrent"]
    run = case.run(*args, "-scanonly")
    assert run.status == 0, run.shown()
    assert run.records == [("text", SCAN_ONLY), ("count", 2), ("found", f"{plain}\\a.mkv"),
                           ("found", f"{plain}\\Show\\b.mkv")]
    run = case.run(*args)
    assert run.status == 0, run.shown()
    converted = [r for r in run.records if r[0] == "converted" and r[1].startswith(plain + "\\")]
    assert len(converted) == 2, f"not both files converted:\n{run.out}"


def test_abandoned_staged_files(case):
    """A file named like a staged file is never removed, whatever its host and process id."""
    case.use_fake_encoder()
    videos(case, "lib/a.mkv")
    host = os.uname().nodename
    # Process ids never reach 99999999, and the test's own process started long after second 1.
    planted = [f".brindle-{name}.part" for name in (
        f"{host}-99999999-1700000000", f"{host}-{os.getpid()}-1", "elsewhere-99999999-1700000000",
        f"{host}-99999999-1700000000-0123456789abcdef")]
    for name in planted:
        Path("lib", name).write_text("partial")
    case.expect_run(0, case.expect().scan("lib/a.mkv").conversion("lib/a.mkv"), *ENCODE_ARGS)
    assert case.encoded("lib/a.mkv", "lib/a.mkv")
    assert case.tree("lib") == sorted(planted + ["a.mkv"])


def test_sparse_source(case):
    """A sparse source of 10 TiB on a few blocks stands in no other file's way."""
    case.use_fake_encoder()
    videos(case, "lib/a.mkv", "lib/z.mkv")
    case.make_video("lib/huge.mkv", 10 << 40, sparse=True)
    # The encoder would read 10 TiB of zeros.
    case.env["BRINDLE_FAKE_FAIL_ON"] = "huge.mkv"
    expect = case.expect().scan("lib/a.mkv", "lib/huge.mkv", "lib/z.mkv").conversion("lib/a.mkv")
    expect.encode_fails("lib/huge.mkv", FAILED + AGAIN).conversion("lib/z.mkv")
    case.expect_run(2, expect, *ENCODE_ARGS)
    assert case.encoded("lib/a.mkv", "lib/a.mkv")
    assert case.encoded("lib/z.mkv", "lib/z.mkv")


def test_dry_run_refusals(case):
    """Scan-only names each file the encode run would refuse, and why, and changes nothing."""
    case.use_fake_encoder()
    case.fake_mode = "fail"
    case.make_video("lib/e.mkv", 1100000)
    case.run(*ENCODE_ARGS)
    noted_failures(case, "lib/e.mkv")
    case.backdate_note("lib/e.mkv")
    run = case.run(*ENCODE_ARGS)
    assert run.status == 2, run.shown()
    assert case.note_of("lib/e.mkv").startswith("brindle-failed-2 "), case.note_of("lib/e.mkv")
    case.fake_mode = ""
    case.make_video("lib/a.mkv", 1100000)
    Path("lib/b.mkv").write_bytes(os.urandom(1100000))
    case.make_video("lib/d.x264.mkv", 1100000)
    Path("lib/d.x265.mkv").write_text("taken\n")
    Path("brindle.lock").unlink()
    folder_times = {p: p.stat().st_mtime_ns for p in [Path("lib"), *Path("lib").rglob("*")] if p.is_dir()}
    expect = case.expect().line(SCAN_ONLY).scan("lib/a.mkv", "lib/b.mkv", "lib/d.x264.mkv", "lib/e.mkv")
    expect.would_not("lib/b.mkv", "it is not a video file")
    expect.would_not("lib/d.x264.mkv", f"{case.native('lib/d.x265.mkv')} already exists")
    expect.would_not("lib/e.mkv", f"it failed on {today()} ({FAILED}) and has not changed since;"
                     " -retry tries it again")
    case.expect_run(0, expect, *ENCODE_ARGS, "-scanonly")
    assert case.log_calls() == 2
    assert case.note_of("lib/b.mkv") == "", "scan-only left a note on lib/b.mkv"
    assert {p: p.stat().st_mtime_ns for p in folder_times} == folder_times, \
        "scan-only changed a folder's last-write time"
    assert case.working_dir() == []


SIZE_ADVICE = ("it will not be tried again with this encoder line (-quality, or a configuration"
               " line with a higher CRF, may make it smaller)")


def test_larger_result_refused(case, tools):
    """A result not smaller than its source is refused and noted; the source stays."""
    case.use_fake_encoder()
    large = case.dir / "large-result.mkv"
    large.write_bytes((tools.samples / "result.mkv").read_bytes() + os.urandom(1500000))
    case.use_fake_result(large)
    videos(case, "lib/a.x264.mkv")
    run = case.run(*ENCODE_ARGS)
    assert run.status == 2, run.shown()
    expect = case.expect().scan("lib/a.x264.mkv").converting("lib/a.x264.mkv")
    assert run.begins_with(expect), run.out
    refusal = run.records[len(expect.records)]
    assert refusal[:2] == ("not_converted", case.native("lib/a.x264.mkv")), run.out
    sizes = re.fullmatch(r"(the result \((.*)\) is not smaller than the source \((.*)\)); "
                         + re.escape(SIZE_ADVICE), refusal[2])
    assert sizes, refusal
    assert (Size(sizes[2]), Size(sizes[3])) == (large.stat().st_size, 1100000)
    assert run.records == expect.not_converted("lib/a.x264.mkv", refusal[2]).summary().records
    assert case.untouched("lib/a.x264.mkv") == []
    assert case.tree("lib") == ["a.x264.mkv"]
    # A later night says the same of it, not that -retry would help.
    reason = f"it failed on {today()} ({sizes[1]}) and has not changed since; {SIZE_ADVICE}"
    case.expect_run(0, case.expect().scan("lib/a.x264.mkv").refused("lib/a.x264.mkv", reason),
                    *ENCODE_ARGS)



def test_growing_result_stopped_at_the_sources_size(case, tools):
    """An encoder whose output passes the source's size is stopped then, not at its end."""
    case.use_fake_encoder()
    large = case.dir / "large-result.mkv"
    large.write_bytes((tools.samples / "result.mkv").read_bytes() + os.urandom(3000000))
    case.use_fake_result(large)
    case.fake_mode = "hang"  # writes half of it, then waits a minute before it exits
    videos(case, "lib/a.x264.mkv")
    run = case.run(*ENCODE_ARGS)
    assert run.status == 2, run.shown()
    expect = case.expect().scan("lib/a.x264.mkv").converting("lib/a.x264.mkv")
    reason = run.records[len(expect.records)][2]
    assert re.fullmatch(r"the result passed the source's size (at \d+ % of|during) the encode; "
                        + re.escape(SIZE_ADVICE), reason), run.out
    assert run.records == expect.not_converted("lib/a.x264.mkv", reason).summary().records
    assert case.untouched("lib/a.x264.mkv") == []
    assert case.tree("lib") == ["a.x264.mkv"] and "tempenc.mkv" not in case.working_dir()

def test_sidecars_follow(case):
    """Sidecars take the video's new name; a taken name, a video, its own sidecar and a folder are
    left alone."""
    case.use_fake_encoder()
    case.make_video("lib/Film.x264-sample.avi", 1100000)
    videos(case, "lib/Film.x264.mp4")
    os.makedirs("lib/Film.x264.extras")
    for name in ("Film.x264.en.srt", "Film.x264.nfo", "Film.x264-poster.jpg", "Film.x264.fr.srt",
                 "Film.x265.fr.srt", "Film.x2640.txt", "Film.x264-sample.srt"):
        Path(f"lib/{name}").write_text(f"{name}\n")
    expect = case.expect().scan("lib/Film.x264.mp4")
    expect.conversion("lib/Film.x264.mp4", "lib/Film.x265.mkv",
                      extra="the sidecar Film.x264.fr.srt keeps its name: Film.x265.fr.srt already exists")
    case.expect_run(0, expect, "-days", "3", "-dir", "lib", "-ext", "mp4", "-docurrent")
    assert case.encoded("lib/Film.x264.mp4", "lib/Film.x265.mkv")
    assert case.tree("lib") == sorted([
        "Film.x265.mkv", "Film.x264-sample.avi", "Film.x264.extras", "Film.x265.en.srt",
        "Film.x265.nfo", "Film.x265-poster.jpg", "Film.x264.fr.srt", "Film.x265.fr.srt",
        "Film.x2640.txt", "Film.x264-sample.srt"])


def test_encoder_output_captured(case):
    """Output to a file: a failed encoder's last 20 lines follow its outcome, progress folded."""
    case.use_fake_encoder()
    case.fake_mode = "noisy"
    videos(case, "lib/a.mkv")
    expect = case.expect().scan("lib/a.mkv").converting("lib/a.mkv")
    expect.not_converted("lib/a.mkv", FAILED + AGAIN)
    for i in range(91, 101):
        if i > 91:
            expect.tail(f"progress {i}/2")
        expect.tail(f"line {i}")
    case.expect_run(2, expect.tail("giving up"), *ENCODE_ARGS)
    assert case.untouched("lib/a.mkv") == []
    assert case.working_dir() == ["brindle.lock"]


def test_until(case):
    """-until: no encoder starts once the clock has reached the time; the rest is left."""
    clock = ["faketime", "2026-12-07 05:59:58"]
    # A sanitizer build refuses to start behind faketime's preloaded library.
    if case.windows or not shutil.which("faketime") or subprocess.run(
            [*clock, str(case.tools.brindle), "--version"], capture_output=True).returncode != 0:
        pytest.skip("needs faketime and a native build that runs under it")
    case.use_fake_encoder()
    case.fake_mode = "slow"
    videos(case, "lib/a.mkv", "lib/b.mkv")
    case.env["TZ"] = "UTC"
    case.as_user = clock
    # Files made now lie in the future of the fake clock, so every age is taken.
    expect = case.expect().scan("lib/a.mkv", "lib/b.mkv").conversion("lib/a.mkv")
    expect.line("Left for the next run: 1 files, the -until time was reached").summary(left=1)
    case.expect_run(0, expect, "-days", "99999999", "-dir", "lib", "-ext", "mkv", "-docurrent",
                    "-until", "6:00")
    assert case.log_calls() == 1
    assert case.encoded("lib/a.mkv", "lib/a.mkv")
    assert case.untouched("lib/b.mkv") == []
    # The file left over is taken by the next run, though it lies outside that run's days.
    assert case.note_of("lib/b.mkv").startswith("brindle-pending-2 "), "no pending note on lib/b.mkv"
    case.as_user = []
    case.fake_mode = ""
    case.expect_run(0, case.expect().scan("lib/b.mkv").conversion("lib/b.mkv"),
                    "-days", "3", "-dir", "lib", "-ext", "mkv")
    assert case.encoded("lib/b.mkv", "lib/b.mkv")


def test_priority(case):
    """-priority: the encoder runs 10 nice steps lower unless told normal."""
    if case.windows:
        pytest.skip("POSIX nice values")
    case.use_fake_encoder()
    case.make_video("lib/a.mkv", 1100000)
    (case.dir / "nice.cfg").write_text("nice >>../nice.txt; ffmpeg -i %1 %2\n")
    niced = case.dir / "nice.txt"
    own = os.nice(0)
    case.run(*ENCODE_ARGS, "-config", "../nice.cfg", "-scanonly")
    niced.unlink(missing_ok=True)
    case.run(*ENCODE_ARGS, "-config", "../nice.cfg")
    case.make_video("lib/b.mkv", 1100000)
    case.run(*ENCODE_ARGS, "-config", "../nice.cfg", "-priority", "normal")
    assert niced.read_text().split() == [str(min(own + 10, 19)), str(own)]


def test_wine_locale_not_utf8(case):
    """Under Wine with a locale that is not UTF-8, names outside ASCII would reach the program
    with other letters and a result or note be made under them: the run converts nothing."""
    if not case.windows:
        pytest.skip("only Wine has a locale of its own for names")
    case.use_fake_encoder()
    videos(case, "lib/Café.x264.mkv")
    case.env["BRINDLE_WINE_LC_ALL"] = "C"
    line = ("Wine's locale is not UTF-8, so names outside ASCII are not read or made as they"
            " are; run Wine with LC_ALL=C.UTF-8")
    run = case.run(*ENCODE_ARGS)
    assert run.status == 1 and run.lines == [line + " (nothing was converted)"], run.shown()
    assert case.untouched("lib/Café.x264.mkv") == [] and case.tree("lib") == ["Café.x264.mkv"]
    assert "brindle.lock" not in case.working_dir()
    run = case.run(*ENCODE_ARGS, "-scanonly")
    assert run.status == 0 and run.lines[:2] == [SCAN_ONLY, line], run.shown()
