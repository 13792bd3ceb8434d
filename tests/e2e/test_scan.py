"""Scan-only runs: the walk of the library, the filters, and what a dry run says."""

import os
import subprocess
import time
from pathlib import Path

import pytest

from harness import ENCODE_ARGS, HEVC_ID, SCAN_ONLY

MIB = 1 << 20
SCAN = ["-days", "3", "-dir", "lib", "-ext", "mkv", "-scanonly", "-docurrent"]


def reasons(case):
    if case.windows:
        return {"missing": "File not found", "not_folder": "Directory name invalid"}
    return {"missing": "No such file or directory", "not_folder": "Not a directory"}


def videos(case, size, *paths):
    for path in paths:
        case.make_video(path, size, sparse=True)


def scan_only(case, *lines):
    expect = case.expect().line(SCAN_ONLY)
    for line in lines:
        expect.line(line)
    return expect


def requires_permissions(case):
    if case.windows:
        pytest.skip("POSIX permissions")
    if not case.drop_privileges():
        pytest.skip("running as root and cannot switch to an unprivileged user")


def test_walk_order(case):
    """Depth-first order, sorted names, size, extension and dot-name rules."""
    videos(case, 2 * MIB, "lib/a.mkv", "lib/a.avi", "lib/amkv", "lib/m/n.mkv", "lib/q/UP.MKV",
           "lib/x.mkv/y.mkv", "lib/z.mkv", "lib/.hidden.mkv", "lib/.cache/c.mkv")
    videos(case, MIB, "lib/exact.mkv")
    videos(case, MIB - 1, "lib/under.mkv")
    videos(case, 3 * MIB, "lib/m/o/p.mkv")
    case.make_video("lib/m/small.mkv", 100)
    (case.wd / "lib/empty").mkdir()
    # A file of exactly 1 MiB counts 1 whole MiB, more than the default minimum of 0.
    found = ["a.mkv", "amkv", "exact.mkv", "m/n.mkv", "m/o/p.mkv", "q/UP.MKV", "x.mkv/y.mkv", "z.mkv"]
    case.expect_run(0, scan_only(case).scan(*[f"lib/{f}" for f in found]), *SCAN)
    # The directory text is used as given: a trailing separator doubles, "." stays.
    args = ["-ext", "mkv", "-scanonly", "-docurrent"]
    case.expect_run(0, scan_only(case).scan(*[f"lib//{f}" for f in found]),
                    "-days", "3", "-dir", case.native("lib/"), *args)
    case.expect_run(0, scan_only(case).scan(*[f"./lib/{f}" for f in found]),
                    "-days", "3", "-dir", ".", *args)
    # A path that leads to a file, or to nothing, cannot be listed.
    file_dir = case.native("lib/a.mkv")
    why = reasons(case)
    case.expect_run(1, scan_only(case, f"Cannot read the library folder {file_dir}: {why['not_folder']}"),
                    "-days", "3", "-dir", file_dir, *args)
    case.expect_run(1, scan_only(case, f"Cannot read the library folder nowhere: {why['missing']}"),
                    "-days", "3", "-dir", "nowhere", *args)


def test_long_paths(case):
    """A path over 255 characters: listed on POSIX; on Windows skipped with a line naming its folder."""
    folder = "f" * 200
    # lib/ + folder + / + name: 255 characters with a name of 50.
    name = "n" * 46 + ".mkv"
    videos(case, 2 * MIB, f"lib/{folder}/{name}", f"lib/{folder}/o{name}", "lib/short.mkv")
    if case.windows:
        expect = scan_only(case, f"Passed over 1 name in the folder {case.native('lib/' + folder)}:"
                           " its full path would be longer than 255 characters")
        expect.scan(f"lib/{folder}/{name}", "lib/short.mkv")
    else:
        expect = scan_only(case).scan(f"lib/{folder}/{name}", f"lib/{folder}/o{name}", "lib/short.mkv")
    case.expect_run(0, expect, *SCAN)


def test_minsize(case):
    """-minsize: only files of more whole MiB than the minimum."""
    videos(case, 3 * MIB, "lib/three.mkv")
    videos(case, 3 * MIB - 1, "lib/under3.mkv")
    videos(case, 2 * MIB, "lib/two.mkv")
    case.expect_run(0, scan_only(case).scan("lib/three.mkv"), *SCAN, "-minsize", "2")
    case.expect_run(0, scan_only(case).scan(), *SCAN, "-minsize", "-1")


def test_ext_patterns(case):
    """-ext * reaches the program unexpanded; *, *.avi, an empty -ext take every name."""
    videos(case, 2 * MIB, "lib/a.avi", "lib/b.mkv", "lib/c")
    case.make_video("lib/small.txt", 10)
    for ext in ["*", "*.avi", ""]:
        case.expect_run(0, scan_only(case).scan("lib/a.avi", "lib/b.mkv", "lib/c"),
                        "-days", "3", "-dir", "lib", "-ext", ext, "-scanonly", "-docurrent")
    for ext in ["MKV", "kv", ".mkv"]:
        case.expect_run(0, scan_only(case).scan("lib/b.mkv"),
                        "-days", "3", "-dir", "lib", "-ext", ext, "-scanonly", "-docurrent")


def has_birth_time(case):
    probe = case.dir / "birth-probe"
    probe.touch()
    birth = subprocess.run(["stat", "-c", "%W", str(probe)], capture_output=True, text=True).stdout
    probe.unlink()
    return birth.strip() not in ("0", "-")


def test_age_window(case):
    """The age window: days 0 takes today's files; without -docurrent they wait."""
    videos(case, 2 * MIB, "lib/new.mkv")
    args = ["-dir", "lib", "-ext", "mkv", "-scanonly"]
    case.expect_run(0, scan_only(case).scan(), "-days", "3", *args)
    case.expect_run(0, scan_only(case).scan("lib/new.mkv"), "-days", "0", *args)
    case.expect_run(0, scan_only(case).scan(), "-days", "-1", *args, "-docurrent")
    # Where the creation time is the modification time, file times set ages.
    if not case.windows and has_birth_time(case):
        return
    videos(case, 2 * MIB, "lib/old.mkv", "lib/mid.mkv", "lib/future.mkv")
    now = time.time()
    for name, offset in [("old", -5 * 86400), ("mid", -60 * 3600), ("future", 3600)]:
        os.utime(f"lib/{name}.mkv", (now + offset, now + offset))
    case.expect_run(0, scan_only(case).scan("lib/mid.mkv"), "-days", "3", *args)
    case.expect_run(0, scan_only(case).scan("lib/mid.mkv", "lib/new.mkv"), "-days", "3", *args,
                    "-docurrent")
    case.expect_run(0, scan_only(case).scan("lib/mid.mkv", "lib/old.mkv"), "-days", "9999", *args)


def test_hevc_signature(case):
    """Files carrying the HEVC codec identifier in their first 16 KiB are left out."""
    for offset, identifier in [(0, HEVC_ID), (1000, HEVC_ID), (16367, HEVC_ID), (16368, HEVC_ID),
                               (10, HEVC_ID.lower())]:
        name = "lib/lower.mkv" if identifier != HEVC_ID else f"lib/at{offset}.mkv"
        case.make_video(name, 2 * MIB, sparse=True)
        with open(name, "r+b") as file:
            file.seek(offset)
            file.write(identifier)
    case.expect_run(0, scan_only(case).scan("lib/at16368.mkv", "lib/lower.mkv"), *SCAN)


def test_names_printed(case):
    """Names with shell metacharacters and non-ASCII letters are printed as they are."""
    names = ["a b.mkv", "amp&.mkv", "bang!.mkv", "tick'.mkv", "paren (1).mkv", "semi;colon,eq=.mkv",
             "caret^.mkv", "pct%d%s%n.mkv", "100% Wolf.mkv", "Ünïcödé ж 日本.mkv", "x$(touch PWNED).mkv"]
    if not case.windows:
        names += ['quote".mkv', "back\\slash.mkv", "q`touch PWNED`.mkv", "star*?.mkv"]
    paths = [f"lib/{name}" for name in names]
    videos(case, 2 * MIB, *paths)
    run = case.run(*SCAN)
    assert run.status == 0, run.shown()
    if case.windows:
        # cmd.exe could expand two % signs: the encode run would refuse that name.
        expect = scan_only(case).scan(*paths).would_not(
            "lib/pct%d%s%n.mkv",
            "the name holds two or more % signs, which cmd.exe could expand into a command")
        assert sorted(run.records, key=repr) == sorted(expect.records, key=repr)
    else:
        # POSIX lists names sorted byte-wise.
        paths.sort(key=lambda p: p.encode())
        assert run.records == scan_only(case).scan(*paths).records
    assert not list(case.dir.rglob("PWNED*")), "a command in a file name ran"


def test_unreadable_directory(case):
    """An unreadable subdirectory gets one line, the walk goes on."""
    requires_permissions(case)
    videos(case, 2 * MIB, "lib/a.mkv", "lib/locked/b.mkv", "lib/z.mkv")
    os.chmod("lib/locked", 0)
    expect = scan_only(case, "Cannot read the folder lib/locked: Permission denied")
    expect.scan("lib/a.mkv", "lib/z.mkv")
    # The unprivileged user cannot write in the library, and the dry run says so.
    for path in ("lib/a.mkv", "lib/z.mkv"):
        expect.would_not(path, "its folder cannot be written: Permission denied")
    case.expect_run(0, expect, *SCAN)


def test_link_cycle(case):
    """Directory links are followed inside the library, a cycle is listed once."""
    if case.windows:
        pytest.skip("POSIX symbolic links")
    videos(case, 2 * MIB, "lib/a.mkv", "lib/loop/b.mkv", "other/o.mkv")
    os.symlink("..", "lib/loop/back")
    os.symlink(".", "lib/loop/self")
    os.symlink("../other", "lib/alias")
    expect = scan_only(case, "Passed over the link lib/alias: it leads out of the library folder")
    case.expect_run(0, expect.scan("lib/a.mkv", "lib/loop/b.mkv"), *SCAN)


def test_control_characters_printed(case):
    """Control characters in a file name are printed as ?; the file keeps its name."""
    names = ["new\nline.mkv", "esc\x1b[31mred.mkv", "tab\there.mkv", "plain.mkv"]
    videos(case, 2 * MIB, *[f"lib/{name}" for name in names])
    if case.windows:
        # Windows programs cannot open such names at all.
        why = 'Windows cannot open a name holding a control character or one of < > : " / \\ | ? *'
        run = case.run(*SCAN)
        assert run.status == 0, run.shown()
        expect = scan_only(case, *[f"Passed over lib\\{name}: {why}"
                                   for name in ("esc?[31mred.mkv", "new?line.mkv", "tab?here.mkv")])
        expect.scan("lib/plain.mkv")
        assert sorted(run.records, key=repr) == sorted(expect.records, key=repr)
    else:
        expect = scan_only(case).scan("lib/esc?[31mred.mkv", "lib/new?line.mkv", "lib/plain.mkv",
                                      "lib/tab?here.mkv")
        case.expect_run(0, expect, *SCAN)
    assert case.tree("lib") == sorted(names)


def test_link_out_of_library(case):
    """A link out of the library is passed over: ln -s /private lib/a264; mkdir lib/a265."""
    videos(case, 2 * MIB, "private/secret.mkv", "lib/own.mkv")
    os.symlink(case.wd / "private", "lib/a264")
    os.mkdir("lib/a265")
    # Windows shows a POSIX link as a plain folder; its real path still gives it away.
    expect = scan_only(case, f"Passed over the link {case.native('lib/a264')}: it leads out of the"
                       " library folder")
    case.expect_run(0, expect.scan("lib/own.mkv"), *SCAN)


def test_unlistable_library(case):
    """A library folder that is missing, a file or unreadable: one line, exit code 1, both modes."""
    case.use_fake_encoder()
    case.make_video("lib/a.mkv", 1100000)
    case.keep_originals("lib/a.mkv")
    why = reasons(case)
    file_dir = case.native("lib/a.mkv")
    for extra in (["-scanonly"], []):
        def expect(line):
            return (scan_only(case) if extra else case.expect()).line(line)
        args = ["-days", "3", "-ext", "mkv", "-docurrent", *extra]
        case.expect_run(1, expect(f"Cannot read the library folder nowhere: {why['missing']}"),
                        "-dir", "nowhere", *args)
        case.expect_run(1, expect(f"Cannot read the library folder {file_dir}: {why['not_folder']}"),
                        "-dir", file_dir, *args)
    if not case.windows and case.drop_privileges():
        # The unprivileged user may take the lock here, but not list the library.
        os.chmod(".", 0o777)
        Path("brindle.lock").unlink(missing_ok=True)
        os.chmod("lib", 0)
        for extra in (["-scanonly"], []):
            expect = (scan_only(case) if extra else case.expect())
            expect.line("Cannot read the library folder lib: Permission denied")
            case.expect_run(1, expect, *ENCODE_ARGS, *extra)
        os.chmod("lib", 0o755)
        os.chmod(".", 0o755)
    assert case.log_calls() == 0
    assert case.untouched("lib/a.mkv") == []
    assert case.tree("lib") == ["a.mkv"]


def test_hevc_transport_streams(case, tools):
    """HEVC in MPEG-TS and M2TS is left out; H.264 in them is listed."""
    os.mkdir("lib")
    for ext in ("ts", "m2ts"):
        m2ts = ["-mpegts_m2ts_mode", "1"] if ext == "m2ts" else []
        for name, sample in (("hevc", "result.mkv"), ("h264", "source.mkv")):
            out = f"lib/{name}.{ext}"
            done = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i",
                                   str(tools.samples / sample), "-c", "copy", "-f", "mpegts",
                                   *m2ts, out], capture_output=True)
            assert done.returncode == 0, f"ffmpeg could not make {out}: {done.stderr[:400]}"
            # Over the 1 MiB the scan asks for, with a tail that is no unfinished download's.
            with open(out, "ab") as file:
                file.write(os.urandom(1100000))
    case.expect_run(0, scan_only(case).scan("lib/h264.m2ts", "lib/h264.ts"),
                    "-days", "3", "-dir", "lib", "-ext", "*", "-scanonly", "-docurrent")


def test_shards(case):
    """-shard K/3: three runs take every file exactly once."""
    every = []
    for name in "abcdefghijkl":
        case.make_video(f"lib/{name}/{name}.x264.mkv", 1100000)
        every.append(case.native(f"lib/{name}/{name}.x264.mkv"))
    found = []
    for shard in (1, 2, 3):
        run = case.run(*SCAN, "-shard", f"{shard}/3")
        assert run.status == 0, run.shown()
        listed = [r[1] for r in run.records if r[0] == "found"]
        assert ("count", len(listed)) in run.records, f"shard {shard}: the count line does not count its share"
        assert 0 < len(listed) < 12, f"shard {shard} took {len(listed)} of 12 files"
        found += listed
    assert sorted(found) == sorted(every), "the shards are not a partition of the library"
