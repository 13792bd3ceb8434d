"""Makes the samples the end-to-end cases share, once per test run, and checks them.

Small real files (64x64, 10 frames a second, a sine as the one audio track):
  source.mkv, source.mp4  3 s of H.264 and AAC, the sources Case.make_video starts with; the MP4
                          has its moov first, so the headers stay readable whatever follows
  result.mkv              3 s of HEVC and AAC in Matroska, the stand-in encoder's output
  result-short.mkv        1 s of the same: more than a second shorter than a source
  result.mp4              result.mkv in MP4
The results' title is the placeholder the stand-in fills in with its input's path.
"""

import concurrent.futures
import shutil
import subprocess

import pytest

from harness import HEVC_ID, SOURCE_FIELD_LENGTH, SOURCE_MARKER, Case

LAVFI = ["-f", "lavfi", "-i", "testsrc2=size=64x64:rate=10",
         "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=8000"]
AUDIO = ["-map", "0:v", "-map", "1:a", "-c:a", "aac", "-b:a", "16k"]
TITLE = (SOURCE_MARKER + b"." * SOURCE_FIELD_LENGTH).decode()
HEVC = ["-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error",
        "-metadata", f"title={TITLE}"]


def ffmpeg(*args):
    done = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", *args], capture_output=True)
    assert done.returncode == 0, f"ffmpeg {' '.join(args)}: {done.stderr.decode()[:600]}"


def duration(path):
    done = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration",
                           "-of", "csv=p=0", "-i", str(path)], capture_output=True, text=True)
    return done.stdout.strip()


def test_make_samples(tools):
    if not shutil.which("ffmpeg") or not shutil.which("ffprobe"):
        pytest.fail("ffmpeg and ffprobe are needed to make the samples")
    out = tools.samples
    shutil.rmtree(out, ignore_errors=True)
    part = out.with_name(out.name + ".part")
    shutil.rmtree(part, ignore_errors=True)
    part.mkdir(parents=True)
    ffmpeg(*LAVFI, "-t", "3", *AUDIO, "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt",
           "yuv420p", str(part / "source.mkv"))
    ffmpeg("-i", str(part / "source.mkv"), "-c", "copy", "-movflags", "+faststart",
           str(part / "source.mp4"))
    ffmpeg(*LAVFI, "-t", "3", *AUDIO, *HEVC, str(part / "result.mkv"))
    ffmpeg(*LAVFI, "-t", "1", *AUDIO, *HEVC, str(part / "result-short.mkv"))
    ffmpeg("-i", str(part / "result.mkv"), "-c", "copy", str(part / "result.mp4"))
    check_samples(tools, part, part / "check")
    shutil.rmtree(part / "check")
    part.rename(out)  # whole, or not there: a case never takes a half-made sample


def check_samples(tools, part, scratch):
    """The results, and the files make_video makes of the sources, hold the durations they were
    made with, as ffprobe reads them from the headers."""
    tools.samples = part
    scratch.mkdir()
    maker = Case(tools, scratch)
    checks = {part / "result.mkv": 3, part / "result-short.mkv": 1, part / "result.mp4": 3}
    for name, size, sparse in [("padded.mkv", 1100000, False), ("sparse.mkv", 2 << 20, True),
                               ("padded.mp4", 1100000, False), ("sparse.mp4", 2 << 20, True)]:
        maker.make_video(scratch / name, size, sparse)
        checks[scratch / name] = 3
    with concurrent.futures.ThreadPoolExecutor(len(checks)) as pool:
        durations = dict(zip(checks, pool.map(duration, checks)))
    faults = []
    for path, seconds in checks.items():
        try:
            whole = seconds <= float(durations[path]) < seconds + 0.3
        except ValueError:
            whole = False
        if not whole:
            faults.append(f"{path}: duration [{durations[path]}], expected {seconds} s")
    for name in ("result.mkv", "result-short.mkv"):
        offset = (part / name).read_bytes().find(HEVC_ID)
        if not 0 <= offset <= 16384 - len(HEVC_ID):
            faults.append(f"{name}: no {HEVC_ID.decode()} in the first 16 KiB")
    for name in ("result.mkv", "result-short.mkv", "result.mp4"):
        if SOURCE_MARKER not in (part / name).read_bytes():
            faults.append(f"{name}: no {SOURCE_MARKER.decode()} title")
    assert not faults, "the samples are not usable:\n" + "\n".join(faults)
