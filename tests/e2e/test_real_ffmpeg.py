"""The real encoder, as the program's default line and a user's line run it."""

import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

from harness import ENCODE_ARGS, SCAN_ONLY

# The encoder runs at low priority: on a machine shared with other work, a real encode of even a
# small file can take minutes.
ENCODE_TIMEOUT = 240


def native_ffmpeg(case, *tools):
    if case.windows:
        pytest.skip("the real ffmpeg runs with the native build")
    for tool in ("ffmpeg", "ffprobe", *tools):
        if not shutil.which(tool):
            pytest.skip(f"{tool} is not installed")


def ffmpeg(*args):
    done = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", *args], capture_output=True)
    assert done.returncode == 0, f"ffmpeg: {done.stderr.decode()[:400]}"


def streams(path, entries):
    done = subprocess.run(["ffprobe", "-v", "error", *entries, "-of", "csv=p=0", path],
                          capture_output=True, text=True)
    return done.stdout.split()


def test_real_ffmpeg(case):
    """The real ffmpeg turns an H.264 file with two audio tracks into HEVC under the 265 name."""
    native_ffmpeg(case)
    os.mkdir("lib")
    source = "lib/clip.x264.mkv"
    # Lossless noise, small and short: over the 1 MiB the scan asks for, larger than its HEVC
    # result, and cheap to encode for an encoder that runs at low priority on a busy machine.
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25", "-f", "lavfi", "-i", "sine=440",
           "-f", "lavfi", "-i", "sine=880", "-t", "3", "-map", "0", "-map", "1", "-map", "2",
           "-vf", "noise=alls=30:allf=t", "-c:v", "libx264", "-preset", "ultrafast", "-qp", "0",
           "-pix_fmt", "yuv420p", "-c:a", "aac", "-metadata:s:a:0", "language=eng",
           "-metadata:s:a:1", "language=jpn", source)
    assert os.stat(source).st_size > 1 << 20, "could not make an H.264 sample of over 1 MiB"
    run = case.run(*ENCODE_ARGS, timeout=ENCODE_TIMEOUT)
    assert run.status == 0, run.shown()
    records = run.records
    assert records[:3] == [("count", 1), ("found", source), ("converting", 1, 1, source, None)]
    assert [r[:3] for r in records[3:]] == [("converted", source, "lib/clip.x265.mkv"),
                                            ("finished", 1, 0)], run.out
    assert streams("lib/clip.x265.mkv", ["-select_streams", "v:0", "-show_entries",
                                         "stream=codec_name"]) == ["hevc"]
    assert streams("lib/clip.x265.mkv", ["-select_streams", "a", "-show_entries",
                                         "stream_tags=language"]) == ["eng", "jpn"]
    assert case.tree("lib") == ["clip.x265.mkv"]
    assert case.working_dir() == ["brindle.lock"]
    case.expect_run(0, case.expect().line(SCAN_ONLY).scan(), *ENCODE_ARGS, "-scanonly")


def test_real_ffmpeg_keeps_tracks(case):
    """The real ffmpeg keeps two ASS tracks and a font, and makes an MP4's mov_text SRT in .mkv."""
    native_ffmpeg(case, "mkvmerge")
    os.mkdir("lib")
    av, ass, srt, font = (str(case.dir / name) for name in ("av.mkv", "a.ass", "a.srt", "font.ttf"))
    # Lossless noise: over the 1 MiB the scan asks for, and larger than its HEVC result.
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25", "-f", "lavfi", "-i", "sine=440",
           "-t", "2", "-vf", "noise=alls=30:allf=t", "-c:v", "libx264", "-preset", "ultrafast",
           "-qp", "0", "-pix_fmt", "yuv420p", "-c:a", "aac", av)
    Path(ass).write_text("[Script Info]\nScriptType: v4.00+\n\n[Events]\n"
                         "Format: Layer, Start, End, Style, Text\n"
                         "Dialogue: 0,0:00:00.00,0:00:01.00,Default,Hello\n")
    Path(srt).write_text("1\n00:00:00,000 --> 00:00:01,000\nHello\n")
    Path(font).write_bytes(os.urandom(4000))
    done = subprocess.run(["mkvmerge", "-q", "-o", "lib/styled.mkv", av, "--language", "0:eng", ass,
                           "--language", "0:fre", ass, "--attachment-mime-type", "font/ttf",
                           "--attach-file", font], capture_output=True)
    assert done.returncode in (0, 1), done.stdout  # 1: warnings only
    ffmpeg("-i", av, "-i", srt, "-map", "0", "-map", "1", "-c", "copy", "-c:s", "mov_text",
           "lib/phone.mp4")
    for ext, source, target in (("mkv", "lib/styled.mkv", None),
                                ("mp4", "lib/phone.mp4", "lib/phone.mkv")):
        run = case.run("-days", "3", "-dir", "lib", "-ext", ext, "-docurrent", timeout=ENCODE_TIMEOUT)
        assert run.status == 0, run.shown()
        assert ("converted", source, target) in [r[:3] for r in run.records], run.out
    entries = ["-show_entries", "stream=codec_type,codec_name"]
    assert streams("lib/styled.mkv", entries) in (
        ["hevc,video", "aac,audio", "ass,subtitle", "ass,subtitle", "ttf,attachment"],
        ["hevc,video", "aac,audio", "ass,subtitle", "ass,subtitle", "unknown,attachment"])
    assert streams("lib/phone.mkv", entries) == ["hevc,video", "aac,audio", "subrip,subtitle"]
    assert case.tree("lib") == ["phone.mkv", "styled.mkv"]


def test_real_ffmpeg_keeps_flags_tags_and_date(case):
    """The real ffmpeg keeps subtitle tracks that are not default so, the recording date and the
    modification time; a picture Matroska turns a quarter is turned in the result."""
    native_ffmpeg(case, "mkvpropedit")
    os.mkdir("lib")
    source, srt = "lib/rec.mkv", str(case.dir / "a.srt")
    Path(srt).write_text("1\n00:00:00,000 --> 00:00:01,000\nHello\n")
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25", "-i", srt, "-i", srt, "-t", "2",
           "-map", "0", "-map", "1", "-map", "2", "-vf", "noise=alls=30:allf=t", "-c:v", "libx264",
           "-preset", "ultrafast", "-qp", "0", "-pix_fmt", "yuv420p", "-c:s", "srt",
           "-disposition:s:0", "0", "-disposition:s:1", "0",
           "-metadata", "creation_time=2019-05-04T10:00:00Z", source)
    done = subprocess.run(["mkvpropedit", "-q", source, "--edit", "track:v1", "--set",
                           "projection-pose-roll=90"], capture_output=True)
    assert done.returncode == 0, done.stdout
    recorded = 1556964000  # 2019-05-04 10:00 UTC
    os.utime(source, (recorded, recorded))
    run = case.run("-days", "9999999", "-dir", "lib", "-ext", "mkv", "-docurrent",
                   timeout=ENCODE_TIMEOUT)
    assert run.status == 0, run.shown()
    assert ("converted", source, None) in [r[:3] for r in run.records], run.out
    assert streams(source, ["-select_streams", "s", "-show_entries",
                            "stream_disposition=default"]) == ["0", "0"]
    assert streams(source, ["-show_entries", "format_tags=creation_time"])[0].startswith(
        "2019-05-04T10:00:00")
    assert os.stat(source).st_mtime == recorded
    assert streams(source, ["-select_streams", "v", "-show_entries", "stream=width,height"]) == [
        "120,160"]


def test_real_ffmpeg_judges_the_picture(case):
    """A configuration line's grey result, and one whose sound is silent, are refused and the
    source kept; its smaller picture at fewer frames a second in mono is installed with the
    changes named."""
    native_ffmpeg(case)
    os.mkdir("lib")
    for name in ("grey.mkv", "silent.mkv", "small.mkv"):
        ffmpeg("-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25", "-f", "lavfi", "-i",
               "sine=440", "-t", "2", "-vf", "noise=alls=30:allf=t", "-c:v", "libx264", "-preset",
               "ultrafast", "-qp", "0", "-pix_fmt", "yuv420p", "-c:a", "aac", "-ac", "2",
               f"lib/{name}")
    originals = {name: Path(f"lib/{name}.mkv").read_bytes() for name in ("grey", "silent")}
    lines = {"grey": "ffmpeg -y -i %1 -pix_fmt gray -c:v libx265 -preset ultrafast %2\n",
             "silent": "ffmpeg -y -i %1 -c:v libx265 -preset ultrafast -af volume=0 -c:a aac %2\n",
             "small": "ffmpeg -y -i %1 -vf scale=80:-2 -r 5 -c:v libx265 -preset ultrafast -ac 1 "
                      "-c:a aac %2\n"}
    runs = {}
    for name, line in lines.items():
        config = case.dir / f"{name}.conf"
        config.write_text(line)
        runs[name] = case.run("-days", "9999999", "-dir", "lib", "-ext", f"{name}.mkv",
                              "-docurrent", "-config", str(config), timeout=ENCODE_TIMEOUT)
    for name, reason in (("grey", "the picture is grey, the source in colour (4:2:0)"),
                         ("silent", "the result's audio track 1 is silent at 0:00:00 (no sound at "
                                    "all, the source ")):
        assert runs[name].status == 2, runs[name].shown()
        refused = [r for r in runs[name].records if r[0] == "not_converted"]
        assert refused and refused[0][2].startswith(reason), runs[name].out
        assert Path(f"lib/{name}.mkv").read_bytes() == originals[name]
    assert runs["small"].status == 0, runs["small"].shown()
    converted = [r for r in runs["small"].records if r[0] == "converted"]
    assert converted and converted[0][6] == (
        "the picture is 80x60, the source 160x120; 5 frames a second, the source 25; audio track 1 "
        "has 1 channel, the source 2"), runs["small"].out


def test_real_ffmpeg_stops_a_result_that_cannot_shrink(case):
    """A source the built-in line makes larger is refused from its sample windows, before its
    encode, and so is a -retry of it, with what would help; a later night skips it without an
    encode."""
    native_ffmpeg(case)
    os.mkdir("lib")
    source = "lib/noise.x264.mkv"
    # Heavy noise at a modest bitrate: CRF 19 makes it about twice as large. Over ten minutes,
    # so that its windows foretell its size.
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=160x96:rate=25,noise=alls=40:allf=t", "-t", "610",
           "-c:v", "libx264", "-preset", "ultrafast", "-crf", "30", "-pix_fmt", "yuv420p", source)
    before = Path(source).read_bytes()
    early = re.compile(r"the result would not be smaller than the source \(about (.*) MiB of "
                       r"(.*) MiB, from 4 sample windows\); it will not be tried again with this "
                       r"encoder line .*")
    for args in (ENCODE_ARGS, [*ENCODE_ARGS, "-retry"]):
        run = case.run(*args, timeout=ENCODE_TIMEOUT)
        assert run.status == 2, run.shown()
        reasons = [r[2] for r in run.records if r[0] == "not_converted"]
        found = early.fullmatch(reasons[0]) if reasons else None
        assert found and float(found[1]) > 1.5 * float(found[2]), run.out
        assert Path(source).read_bytes() == before and case.tree("lib") == ["noise.x264.mkv"]
    run = case.run(*ENCODE_ARGS)
    assert run.status == 0 and "has not changed since; it will not be tried again" in run.out, run.out


def test_real_ffmpeg_reads_mpeg_ts_from_a_keyframe(case):
    """An MPEG-TS source whose keyframes lie 80 s apart, further than a window's seek reads before
    it, is judged against its own pictures and converted, with the built-in line and -quality."""
    native_ffmpeg(case)
    os.mkdir("lib")
    sample = case.dir / "sample.ts"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=160x96:rate=25", "-t", "90", "-c:v", "libx264",
           "-preset", "ultrafast", "-b:v", "300k", "-g", "2000", "-keyint_min", "2000",
           "-sc_threshold", "0", "-pix_fmt", "yuv420p", "-f", "mpegts", str(sample))
    args = ["-days", "3", "-dir", "lib", "-ext", "ts", "-docurrent"]
    for name, extra in (("built", []), ("quality", ["-quality", "0.97"])):
        shutil.copy(sample, f"lib/{name}.x264.ts")
        run = case.run(*args, *extra, timeout=ENCODE_TIMEOUT)
        converted = [r for r in run.records if r[0] == "converted"]
        assert run.status == 0 and len(converted) == 1, run.shown()
        assert whole_ssim(converted[0][2], str(sample)) >= 0.965, run.out


def test_real_ffmpeg_compares_pictures_whose_times_the_encoder_moves(case):
    """A picture that starts 47 ms in, after its sound, starts at 40 ms in the result, on the
    picture's own grid; an MPEG-TS picture half a second after its sound is decoded from the
    file's start for a window. Each window still compares each picture with its own, and both
    files convert."""
    native_ffmpeg(case)
    os.mkdir("lib")
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=320x180:rate=25", "-t", "16", "-c:v", "libx264",
           "-preset", "ultrafast", "-bf", "0", "-b:v", "2M", "-pix_fmt", "yuv420p", "picture.mkv")
    ffmpeg("-f", "lavfi", "-i", "sine=440", "-t", "16", "-c:a", "aac", "sound.m4a")
    for offset, source in (("0.026", "lib/moved.x264.mkv"), ("0.5", "lib/late.x264.ts")):
        ffmpeg("-itsoffset", offset, "-i", "picture.mkv", "-i", "sound.m4a", "-map", "0",
               "-map", "1", "-c", "copy", source)
        kept = f"kept{Path(source).suffix}"
        shutil.copy(source, kept)
        ext = Path(source).suffix[1:]
        run = case.run("-days", "3", "-dir", "lib", "-ext", ext, "-docurrent",
                       timeout=ENCODE_TIMEOUT)
        converted = [r for r in run.records if r[0] == "converted"]
        assert run.status == 0 and len(converted) == 1, run.shown()
        assert whole_ssim(converted[0][2], kept) >= 0.98, run.out


def whole_ssim(result, source):
    """ffmpeg's SSIM All of every picture of RESULT against SOURCE, measured by the test itself."""
    done = subprocess.run(["ffmpeg", "-nostdin", "-i", result, "-i", source, "-lavfi",
                           "[0:v:0]setpts=PTS-STARTPTS[a];[1:v:0]setpts=PTS-STARTPTS[b];"
                           "[a][b]ssim", "-f", "null", "-"], capture_output=True, text=True)
    return float(re.search(r"All:([0-9.]+)", done.stderr)[1])


def test_real_ffmpeg_quality(case):
    """-quality picks the CRF from sample windows: the built-in line and a %q line each convert
    with the CRF and the SSIM named, and the whole result keeps the SSIM asked for; a line without
    %q is refused before anything runs."""
    native_ffmpeg(case)
    os.mkdir("lib")
    sources = {"lib/built.x264.mkv": None, "lib/own.x264.mkv": "ffmpeg -y -i %1 -c:v libx265 "
               "-preset superfast -crf %q -x265-params log-level=error %2"}
    for source in sources:
        # A clean picture at a generous bitrate: it shrinks well above CRF 19.
        ffmpeg("-f", "lavfi", "-i", "testsrc2=size=320x180:rate=25", "-t", "16", "-c:v", "libx264",
               "-preset", "ultrafast", "-b:v", "2M", "-pix_fmt", "yuv420p", source)
    originals = {source: Path(source).read_bytes() for source in sources}
    for source in sources:
        os.remove(source)
    no_q = case.dir / "no-q.conf"
    no_q.write_text("ffmpeg -y -i %1 -c:v libx265 -crf 19 %2\n")
    case.expect_run(1, case.expect().line(f"Custom config file specified {no_q}").line(
        f"Cannot use the configuration file {no_q} with -quality: its first line has no %q for "
        "the CRF"), *ENCODE_ARGS, "-config", str(no_q), "-quality", "0.98")
    for source, line in sources.items():
        args = [*ENCODE_ARGS, "-quality", "0.98"]
        if line:
            config = case.dir / "own.conf"
            config.write_text(line + "\n")
            args += ["-config", str(config)]
        # One file a run, so that each line meets its own.
        Path(source).write_bytes(originals[source])
        run = case.run(*args, timeout=ENCODE_TIMEOUT)
        converted = [r for r in run.records if r[0] == "converted"]
        assert run.status == 0 and len(converted) == 1, run.shown()
        found = re.fullmatch(r"CRF (\d+) for SSIM (0\.\d{3})", converted[0][6] or "")
        assert found, run.out
        assert int(found[1]) > 19 and float(found[2]) >= 0.975, run.out
        result = converted[0][2]
        source_copy = case.dir / "source.mkv"
        source_copy.write_bytes(originals[source])
        assert whole_ssim(result, str(source_copy)) >= 0.98 - 0.005, run.out
    assert case.working_dir() == ["brindle.lock"]
