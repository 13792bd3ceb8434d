"""The picture comparison: what refuses a result, what -verify headers leaves out, a missing
ffmpeg, a stop while it runs, and the real ffmpeg on honest and broken lines."""

import os
import shutil
import signal
import subprocess
import time
from pathlib import Path

import pytest

from harness import AGAIN, ENCODE_ARGS, left_running, wait_until

REFUSALS = [
    ("BRINDLE_FAKE_SSIM", "0.41",
     "the picture differs from the source at 0:00:00 (SSIM 0.410; at least 0.93 needed)"),
    ("BRINDLE_FAKE_PSNR", "21.97",
     "the picture differs from the source at 0:00:00 (PSNR 21.9 dB; at least 30.0 dB needed)"),
    ("BRINDLE_FAKE_COMPARE", "fail",
     "the pictures at 0:00:00 could not be decoded and compared without errors"),
]


def test_picture_refused(case):
    """Figures of another picture, or a window that does not decode, refuse the result; -verify
    headers compares nothing."""
    case.use_fake_encoder()
    log = case.dir / "compare-log"
    case.env["BRINDLE_FAKE_COMPARE_LOG"] = case.host_path(log)
    case.make_video("lib/a.x264.mkv", 1100000)
    case.keep_originals("lib/a.x264.mkv")
    for variable, value, reason in REFUSALS:
        case.env[variable] = value
        expect = case.expect().scan("lib/a.x264.mkv").encode_fails("lib/a.x264.mkv", reason + AGAIN)
        if value == "fail":
            expect.tail("fake comparison: a picture could not be decoded")
        case.expect_run(2, expect, *ENCODE_ARGS, "-retry", "-verify", "samples")
        del case.env[variable]
        assert case.untouched("lib/a.x264.mkv") == []
        assert case.working_dir() == ["brindle.lock"], "a stats file or the output was left"
    # ffmpeg was given both files as file: names, the result first, once a run.
    lines = log.read_text().splitlines()
    assert lines.count("--") == 3, lines
    assert "file:tempenc.mkv" in lines and f"file:{case.native('lib/a.x264.mkv')}" in lines, lines
    log.unlink()
    case.env["BRINDLE_FAKE_SSIM"] = "0.41"
    expect = case.expect().scan("lib/a.x264.mkv").conversion("lib/a.x264.mkv", "lib/a.x265.mkv")
    case.expect_run(0, expect, *ENCODE_ARGS, "-retry", "-verify", "headers")
    assert not log.exists(), "-verify headers ran the comparison"
    assert case.tree("lib") == ["a.x265.mkv"]


def test_comparison_missing(case, tools):
    """No ffmpeg to compare with: the run stops before the first install with exit code 3 and
    names -verify headers; -verify headers then converts."""
    case.fake_encoder_env()
    for name in ("lib/a.mkv", "lib/b.mkv"):
        case.make_video(name, 1100000)
    case.keep_originals("lib/a.mkv", "lib/b.mkv")
    (case.dir / "fake.cfg").write_text(f'"{case.host_path(tools.fake_encoder)}" -y -i %1 %2\n')
    config = case.native("../fake.cfg")
    if case.windows:
        where = "ffmpeg.exe is not in the working directory, beside brindle.exe or on PATH"
        case.program = tools.brindle_alone
    else:
        where = "ffmpeg is not on PATH"
        case.env["PATH"] = str(case.dir / "no-programs")
    expect = case.expect().line(f"Custom config file specified {config}")
    expect.scan("lib/a.mkv", "lib/b.mkv").converting("lib/a.mkv")
    expect.line(f"The picture comparison cannot run: {where}; no other file was tried "
                "(-verify headers converts without it)")
    case.expect_run(3, expect, *ENCODE_ARGS, "-config", config, "-verify", "samples")
    assert case.untouched("lib/a.mkv", "lib/b.mkv") == []
    assert case.working_dir() == ["brindle.lock"]
    assert case.log_calls() == 1
    expect = case.expect().line(f"Custom config file specified {config}")
    expect.scan("lib/a.mkv", "lib/b.mkv").conversion("lib/a.mkv").conversion("lib/b.mkv")
    case.expect_run(0, expect, *ENCODE_ARGS, "-config", config, "-verify", "headers")


def test_stop_during_comparison(case):
    """kill -TERM during the picture comparison: it ends at once; nothing is installed or left."""
    if case.windows:
        pytest.skip("POSIX signals")
    case.use_fake_encoder()
    log = case.dir / "compare-log"
    case.env.update(BRINDLE_FAKE_COMPARE="hang", BRINDLE_FAKE_COMPARE_LOG=str(log))
    case.make_video("lib/a.x264.mkv", 1100000)
    case.keep_originals("lib/a.x264.mkv")
    process = case.start(*ENCODE_ARGS, "-verify", "samples")
    assert wait_until(20, lambda: log.exists() and log.stat().st_size > 0), "no comparison"
    process.send_signal(signal.SIGTERM)
    began = time.monotonic()
    stopped = case.finished(process, deadline=15)
    assert time.monotonic() - began <= 11, "the stop took too long"
    assert stopped.status == 143, stopped.shown()
    expect = case.expect().scan("lib/a.x264.mkv").converting("lib/a.x264.mkv")
    expect.line("Stopped by signal 15; lib/a.x264.mkv was not converted")
    assert stopped.records == expect.summary().records
    assert left_running(case.wd.resolve()) == [], "still running in the case's folder"
    assert case.untouched("lib/a.x264.mkv") == []
    assert case.tree("lib") == ["a.x264.mkv"]
    assert case.working_dir() == ["brindle.lock"]


LINES = [
    ("-vf negate", "the picture differs from the source at 0:00:0"),
    ("-crf 51", "the picture differs from the source at 0:00:0"),
    ("-vf scale=iw/2:ih/2", None),
    ("-r 5", None),
]


def test_real_ffmpeg_compares_pictures(case):
    """The real ffmpeg's comparison refuses an inverted and a CRF 51 picture, and installs a
    half-size and a 5-a-second one."""
    if case.windows:
        pytest.skip("the real ffmpeg runs with the native build")
    if not shutil.which("ffmpeg"):
        pytest.skip("ffmpeg is not installed")
    source = case.dir / "source.mkv"
    done = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                           "testsrc2=size=640x360:rate=25", "-t", "3", "-c:v", "libx264",
                           "-preset", "ultrafast", "-qp", "0", "-pix_fmt", "yuv420p", str(source)],
                          capture_output=True)
    assert done.returncode == 0 and source.stat().st_size > 1 << 20, done.stderr[:400]
    for change, refusal in LINES:
        shutil.rmtree("lib", ignore_errors=True)
        os.mkdir("lib")
        shutil.copyfile(source, "lib/a.mkv")
        (case.dir / "line.cfg").write_text(
            f"ffmpeg -y -i %1 {change} -c:v libx265 -preset ultrafast -x265-params log-level=error %2\n")
        run = case.run(*ENCODE_ARGS, "-config", "../line.cfg", "-verify", "samples", timeout=240)
        outcomes = [r for r in run.records if r[0] in ("converted", "not_converted")]
        assert len(outcomes) == 1, f"{change}: {run.shown()}"
        if refusal:
            assert run.status == 2 and outcomes[0][0] == "not_converted", f"{change}: {run.shown()}"
            assert outcomes[0][2].startswith(refusal), f"{change}: {outcomes[0]}"
            assert Path("lib/a.mkv").read_bytes() == source.read_bytes()
        else:
            assert run.status == 0 and outcomes[0][0] == "converted", f"{change}: {run.shown()}"
        assert case.working_dir() == ["brindle.lock"]
