"""Encode runs with the stand-in encoder: the command line it gets, the names and files that stand
afterwards, and what stops a file or a run before the encoder starts."""

import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

from harness import AGAIN, ENCODE_ARGS, SCAN_ONLY, Size

TWO_PERCENT = "the name holds two or more % signs, which cmd.exe could expand into a command"


def videos(case, *paths, size=1100000):
    for path in paths:
        case.make_video(path, size)
    case.keep_originals(*paths)


def write_config(case, name, line):
    """A configuration file beside the working directory; answers its -config value."""
    (case.dir / name).write_bytes(line.encode())
    return case.native(f"../{name}")


def config_line(config):
    return f"Custom config file specified {config}"


def test_default_template(case):
    """Default template: every argument reaches ffmpeg, x264 becomes x265, only the result is left."""
    case.use_fake_encoder()
    case.make_video("lib/Show.x264.mkv", 2100000)
    videos(case, "lib/sub/ep.mkv")
    case.keep_originals("lib/Show.x264.mkv")
    # What a run killed during its quality search left: removed by the next run.
    for leftover in ("tempenc-window-0.mp4", "tempenc-window-11.mkv", "tempenc-quality-2.txt"):
        Path(leftover).write_bytes(b"window")
    expect = case.expect().scan("lib/Show.x264.mkv", "lib/sub/ep.mkv")
    expect.conversion("lib/Show.x264.mkv", "lib/Show.x265.mkv").conversion("lib/sub/ep.mkv")
    case.expect_run(0, expect, *ENCODE_ARGS)
    default_args = []
    for source in ("lib/Show.x264.mkv", "lib/sub/ep.mkv"):
        default_args += ["-y", "-i", source, "-map", "0:V:0", "-map", "0:a?", "-map", "0:s?", "-map",
                         "0:t?", "-map_metadata", "0", "-disposition:v:0", "-attached_pic",
                         "-c:v", "libx265", "-preset", "superfast", "-crf", "19",
                         "-x265-params", "deblock=-4,0", "-c:a", "copy", "-c:s", "copy", "-c:t",
                         "copy", "tempenc.mkv", "--"]
    assert case.log_is(*default_args), case.log_lines()
    assert case.tree("lib") == ["Show.x265.mkv", "sub", "sub/ep.mkv"]
    assert case.encoded("lib/Show.x264.mkv", "lib/Show.x265.mkv")
    assert case.encoded("lib/sub/ep.mkv", "lib/sub/ep.mkv")
    assert case.working_dir() == ["brindle.lock"]
    # The lock file names the run that held it: its process id and start time.
    lock = Path("brindle.lock").read_text()
    assert re.fullmatch(r"\d+ \d+\n?", lock), f"brindle.lock does not name its run: {lock}"
    # The results carry the HEVC identifier, so the next runs find nothing to do.
    case.expect_run(0, case.expect().line(SCAN_ONLY).scan(), *ENCODE_ARGS, "-scanonly")
    case.expect_run(0, case.expect().scan(), *ENCODE_ARGS)
    assert case.log_calls() == 2


def test_config_template(case):
    """Config template: options after %2 dropped."""
    case.use_fake_encoder()
    videos(case, "lib/a.mkv")
    config = write_config(case, "custom.cfg", "ffmpeg -i %1 -c:v libx265 %2 -after out2.mkv\r\n")
    expect = case.expect().line(config_line(config)).scan("lib/a.mkv").conversion("lib/a.mkv")
    case.expect_run(0, expect, *ENCODE_ARGS, "-config", config)
    assert case.log_is("-i", "lib/a.mkv", "-c:v", "libx265", "tempenc.mkv", "--"), case.log_lines()
    assert case.encoded("lib/a.mkv", "lib/a.mkv")
    assert case.tree("lib") == ["a.mkv"]
    assert case.working_dir() == ["brindle.lock"]


def test_template_faults(case):
    """A configuration file that gives no usable encoder line stops an encode run."""
    case.use_fake_encoder()
    videos(case, "lib/a.mkv")
    faults = {
        "backwards": ("ffmpeg -y %2 -i %1\n",
                      "its first line names the output (%2) before the input (%1)"),
        "plain": ("ffmpeg -i in.mkv out.mkv\n", "its first line has no %1 for the input file"),
        "empty": ("", "it is empty"),
    }
    for name, (line, fault) in faults.items():
        config = write_config(case, f"{name}.cfg", line)
        expect = case.expect().line(config_line(config))
        case.expect_run(1, expect.line(f"Cannot use the configuration file {config}: {fault}"),
                        *ENCODE_ARGS, "-config", config)
    config = case.native("../nothere.cfg")
    run = case.run(*ENCODE_ARGS, "-config", config)
    assert run.status == 1, run.shown()
    assert f"Cannot use the configuration file {config}: it cannot be read: " in run.out, run.out
    # Scan-only mode reads no configuration file.
    config = case.native("../backwards.cfg")
    expect = case.expect().line(config_line(config)).line(SCAN_ONLY).scan("lib/a.mkv")
    case.expect_run(0, expect, *ENCODE_ARGS, "-config", config, "-scanonly")
    assert case.log_calls() == 0
    assert case.untouched("lib/a.mkv") == []
    # A byte-order mark before the line (Windows editors write one) is not part of the command.
    config = write_config(case, "bom.cfg", "\ufeffffmpeg -i %1 %2\n")
    run = case.run(*ENCODE_ARGS, "-config", config)
    assert run.status == 0, run.shown()
    assert case.log_calls() == 1


def test_encoder_fails(case):
    """An encoder that fails leaves every source as it was."""
    case.use_fake_encoder()
    case.fake_mode = "fail"
    videos(case, "lib/a.x264.mkv", "lib/b.mkv")
    expect = case.expect().scan("lib/a.x264.mkv", "lib/b.mkv")
    for source in ("lib/a.x264.mkv", "lib/b.mkv"):
        expect.encode_fails(source, f"the encoder failed with exit code 3{AGAIN}")
    case.expect_run(2, expect, *ENCODE_ARGS)
    assert case.log_calls() == 2
    assert case.untouched("lib/a.x264.mkv", "lib/b.mkv") == []
    assert case.tree("lib") == ["a.x264.mkv", "b.mkv"]
    assert case.working_dir() == ["brindle.lock"]


def test_no_output(case, tools):
    """An encoder that exits 0 without output, or with an empty one, costs nothing."""
    case.use_fake_encoder()
    videos(case, "lib/a.mkv")
    # What an earlier, killed encode left must not be taken for this one's output, even when it
    # is a whole result.
    shutil.copyfile(tools.samples / "result.mkv", "tempenc.mkv")
    for mode, said in [("nooutput", "the encoder left no output"),
                       ("empty", "the encoder left an empty output")]:
        case.fake_mode = mode
        case.expect_run(2, case.expect().scan("lib/a.mkv").encode_fails("lib/a.mkv", said),
                        *ENCODE_ARGS)
        assert case.untouched("lib/a.mkv") == []
        assert case.tree("lib") == ["a.mkv"]
        assert case.working_dir() == ["brindle.lock"]
    assert case.log_calls() == 2


def test_missing_target_directory(case):
    """264 in a folder's name: the file is converted in its own folder."""
    case.use_fake_encoder()
    videos(case, "lib/show.S01.h264-GRP/a.mkv", "lib/b.x264.mkv")
    expect = case.expect().scan("lib/b.x264.mkv", "lib/show.S01.h264-GRP/a.mkv")
    expect.conversion("lib/b.x264.mkv", "lib/b.x265.mkv").conversion("lib/show.S01.h264-GRP/a.mkv")
    case.expect_run(0, expect, *ENCODE_ARGS)
    assert case.log_calls() == 2
    assert case.encoded("lib/show.S01.h264-GRP/a.mkv", "lib/show.S01.h264-GRP/a.mkv")
    assert case.encoded("lib/b.x264.mkv", "lib/b.x265.mkv")
    assert case.tree("lib") == ["b.x265.mkv", "show.S01.h264-GRP", "show.S01.h264-GRP/a.mkv"]
    assert case.working_dir() == ["brindle.lock"]


def test_existing_backup(case):
    """A file already named like the backup: source and that file untouched, the run goes on."""
    case.use_fake_encoder()
    case.make_video("lib/a.mkv.bak", 5000)
    videos(case, "lib/a.mkv", "lib/b.mkv")
    case.keep_originals("lib/a.mkv.bak")
    expect = case.expect().scan("lib/a.mkv", "lib/b.mkv")
    expect.refused("lib/a.mkv", f"{case.native('lib/a.mkv.bak')} already exists")
    case.expect_run(0, expect.conversion("lib/b.mkv"), *ENCODE_ARGS)
    assert case.untouched("lib/a.mkv", "lib/a.mkv.bak") == []
    assert case.encoded("lib/b.mkv", "lib/b.mkv")
    assert case.tree("lib") == ["a.mkv", "a.mkv.bak", "b.mkv"]
    assert case.working_dir() == ["brindle.lock"]


def test_target_names_taken(case):
    """A result never takes another file's name; a 264 that names no codec stays."""
    case.use_fake_encoder()
    sources = ["lib/Anime - 264.mkv", "lib/Film.x264.mkv", "lib/x264/a.mkv"]
    others = ["lib/Anime - 265.mkv", "lib/Film.x265.mkv", "lib/x265/a.mkv"]
    videos(case, *sources)
    videos(case, *others, size=5000)
    run = case.run(*ENCODE_ARGS)
    assert run.status == 0, run.shown()
    assert run.begins_with(case.expect().scan(*sources)), run.out
    assert case.encoded("lib/Anime - 264.mkv", "lib/Anime - 264.mkv"), run.out
    assert case.encoded("lib/x264/a.mkv", "lib/x264/a.mkv"), run.out
    assert case.untouched("lib/Film.x264.mkv", *others) == []
    assert case.tree("lib") == sorted(["Anime - 264.mkv", "Anime - 265.mkv", "Film.x264.mkv",
                                       "Film.x265.mkv", "x264", "x264/a.mkv", "x265", "x265/a.mkv"])
    assert case.working_dir() == ["brindle.lock"]


def mode_of(path):
    return oct(os.stat(path).st_mode & 0o777)[2:]


def test_result_keeps_permissions(case):
    """A result keeps its source's permissions (Windows: read-only) and leaves no backup."""
    case.use_fake_encoder()
    videos(case, "lib/a.mkv", "lib/b.x264.mkv")
    # A file without write rights is read-only to Windows.
    mode_a, mode_b = ("444", "444") if case.windows else ("640", "604")
    os.chmod("lib/a.mkv", int(mode_a, 8))
    os.chmod("lib/b.x264.mkv", int(mode_b, 8))
    if not case.windows and os.getuid() == 0:
        os.chown("lib/a.mkv", 65534, 65534)
    owner = (os.stat("lib/a.mkv").st_uid, os.stat("lib/a.mkv").st_gid)
    run = case.run(*ENCODE_ARGS)
    assert run.status == 0, run.shown()
    assert run.begins_with(case.expect().scan("lib/a.mkv", "lib/b.x264.mkv")), run.out
    assert case.encoded("lib/a.mkv", "lib/a.mkv")
    assert case.encoded("lib/b.x264.mkv", "lib/b.x265.mkv")
    assert case.tree("lib") == ["a.mkv", "b.x265.mkv"]
    assert (mode_of("lib/a.mkv"), mode_of("lib/b.x265.mkv")) == (mode_a, mode_b)
    if not case.windows:
        assert (os.stat("lib/a.mkv").st_uid, os.stat("lib/a.mkv").st_gid) == owner
    assert case.working_dir() == ["brindle.lock"]


def encode_odd_names(case, names, refused):
    """Encodes a library of odd names; the names in REFUSED must be refused for their % signs.
    Each other name reaches the encoder literally and is replaced, and nothing in a name ran.
    The listing order is taken from the program's own Found lines (the collation of Wine's
    listing is Wine's), after checking they name exactly the expected files."""
    videos(case, *[f"lib/{name}" for name in names + refused])
    run = case.run(*ENCODE_ARGS)
    assert run.status == 0, run.shown()
    prefix = case.native("lib/")
    listed = [r[1][len(prefix):] for r in run.records if r[0] == "found" and r[1].startswith(prefix)]
    assert sorted(listed) == sorted(names + refused), f"the Found lines do not name the library's files:\n{run.out}"
    paths = [f"lib/{name}" for name in listed]
    expect = case.expect().scan(*paths)
    encoded = []
    for path, name in zip(paths, listed):
        if name in refused:
            expect.refused(path, TWO_PERCENT)
        else:
            expect.conversion(path, path.replace("264", "265"))
            encoded.append(path)
    assert run.records == expect.summary().records
    assert case.log_inputs() == [case.native(path) for path in encoded]
    for path in encoded:
        assert case.encoded(path, path.replace("264", "265")), path
    assert case.untouched(*[f"lib/{name}" for name in refused]) == []
    wanted = [path[4:].replace("264", "265") for path in encoded] + refused
    assert case.tree("lib") == sorted(wanted)
    assert case.working_dir() == ["brindle.lock"]
    ran = [p for p in case.dir.rglob("*") if "pwned" in p.name.lower()
           and "lib" not in p.relative_to(case.dir).parts and p.parent.name != "orig"]
    assert not ran, f"a command in a file name ran: {ran}"


def test_odd_names_posix(case):
    """Names with $( ) ` " \\ ; & % ! ' blanks and non-ASCII letters reach the encoder literally."""
    if case.windows:
        pytest.skip("names Windows cannot hold")
    case.use_fake_encoder()
    encode_odd_names(case, [
        "a b.mkv", "x$(touch PWNED).mkv", "q`touch PWNED2`.mkv", "semi;colon&amp.mkv", 'quote".mkv',
        "back\\slash\\.mkv", "tick'.mkv", "bang!.mkv", "pct%d%s%%.mkv", "dollar$HOME ${PATH}.mkv",
        "Ünïcödé ж 日本.mkv", "star*?[a].mkv", "pipe|<in >out.mkv", 'x264 $(touch PWNED3) ".mkv',
        "-i.mkv", "  lead and trail  .mkv"], [])


def test_odd_names_windows(case):
    """Names cmd.exe treats specially (^ & ! one %, non-ASCII) encode; two % are refused."""
    if not case.windows:
        pytest.skip("cmd.exe's names")
    case.use_fake_encoder()
    encode_odd_names(case, [
        "a b.mkv", "amp&.mkv", "caret^.mkv", "bang!.mkv", "100% Wolf.mkv", "tick'.mkv",
        "paren (1).mkv", "semi;colon,eq=.mkv", "Ünïcödé ж 日本.mkv", "x264 & echo PWNED.mkv"],
        ["two%PATH%.mkv", "a%b%c%.mkv", "%CMDCMDLINE%.mkv"])


def test_no_encoder_found(case):
    """An encoder that cannot be found: the run stops at once, exit code 3, no note."""
    videos(case, "lib/a.mkv", "lib/b.mkv")
    case.expect_missing_encoder = True
    args = list(ENCODE_ARGS)
    expect = case.expect()
    if not case.windows:
        # ffmpeg itself may be installed here: a line naming a program nowhere to be found.
        config = write_config(case, "missing.cfg", "no-such-encoder -i %1 %2\n")
        expect.line(config_line(config))
        args += ["-config", config]
    expect.scan("lib/a.mkv", "lib/b.mkv").converting("lib/a.mkv")
    code = 9009 if case.windows else 127
    expect.line(f"The encoder could not be found (exit code {code}); no other file was tried")
    run = case.run(*args)
    assert run.status == 3, run.shown()
    assert run.begins_with(expect.summary()), run.out
    assert case.untouched("lib/a.mkv", "lib/b.mkv") == []
    assert case.tree("lib") == ["a.mkv", "b.mkv"]
    assert case.working_dir() == ["brindle.lock"]
    assert case.note_of("lib/a.mkv") == "", "a note was written on lib/a.mkv"


def test_cmd_copy_template(case):
    """cmd's own copy /b %1+MARK %2 as the encoder: it runs, and its larger result is refused."""
    if not case.windows:
        pytest.skip("cmd.exe as the interpreter")
    Path("MARK").write_text("MARK")
    case.wd_extra.append("MARK")
    config = write_config(case, "copy.cfg", "copy /b %1+MARK %2\r\n")
    videos(case, "lib/a.x264.mkv")
    run = case.run(*ENCODE_ARGS, "-config", config)
    assert run.status == 2, run.shown()
    assert run.begins_with(case.expect().line(config_line(config)).scan("lib/a.x264.mkv")), run.out
    larger = os.stat("lib/a.x264.mkv").st_size + 4
    refusals = [re.fullmatch(r"the result \((.*)\) is not smaller than the source \((.*)\);"
                             r" it will not be tried again .*", r[2])
                for r in run.records if r[0] == "not_converted"]
    assert refusals and refusals[0], f"no refusal of the larger result:\n{run.out}"
    assert Size(refusals[0][1]) == larger, run.out
    assert case.untouched("lib/a.x264.mkv") == []
    assert case.tree("lib") == ["a.x264.mkv"]
    assert case.working_dir() == ["brindle.lock"]


def test_quoted_encoder_path(case, tools):
    """A template whose quoted encoder path holds a blank."""
    if not case.windows:
        pytest.skip("cmd.exe as the interpreter")
    os.mkdir("enc dir")
    shutil.copyfile(tools.fake_encoder, "enc dir/fake encoder.exe")
    case.wd_extra.append("enc dir")
    case.fake_encoder_env()
    relative = write_config(case, "relative.cfg", '"enc dir\\fake encoder.exe" -i %1 %2\r\n')
    absolute = write_config(case, "absolute.cfg",
                            f'"{case.host_path(case.wd / "enc dir/fake encoder.exe")}" -i %1 %2\r\n')
    for source, config in (("lib/a.mkv", relative), ("lib/b.mkv", absolute)):
        videos(case, source)
        expect = case.expect().line(config_line(config)).scan(source).conversion(source)
        case.expect_run(0, expect, *ENCODE_ARGS, "-config", config)
        assert case.encoded(source, source)
    assert case.log_is("-i", "lib/a.mkv", "tempenc.mkv", "--", "-i", "lib/b.mkv", "tempenc.mkv", "--")
    assert case.tree("lib") == ["a.mkv", "b.mkv"]
    assert case.working_dir() == ["brindle.lock"]


def test_temp_output_not_removable(case):
    """tempenc.mkv that cannot be removed: no encoder starts; exit code 1 at the start of a run,
    2 before a later file."""
    case.use_fake_encoder()
    videos(case, "lib/a.mkv", "lib/b.mkv", "lib/c.mkv")
    is_folder = "Access denied" if case.windows else "Is a directory"
    here = case.host_path(case.wd.resolve()) if case.windows else str(case.wd.resolve())
    os.makedirs("tempenc.mkv/inside")
    message = (f"Cannot remove tempenc.mkv from the working directory {here}: {is_folder}; "
               "this run does nothing.")
    case.expect_run(1, case.expect().line(message), *ENCODE_ARGS)
    assert case.log_calls() == 0
    shutil.rmtree("tempenc.mkv")
    # The first file's encoder leaves a folder under the name and exits 0 without output.
    config = write_config(case, "folder.cfg", "mkdir tempenc.mkv && ffmpeg -i %1 %2\n")
    case.fake_mode = "nooutput"
    expect = case.expect().line(config_line(config)).scan("lib/a.mkv", "lib/b.mkv", "lib/c.mkv")
    expect.encode_fails("lib/a.mkv", "the result is not a regular file")
    expect.refused("lib/b.mkv",
                   f"tempenc.mkv cannot be removed from the working directory: {is_folder}")
    expect.line("Left for the next run: 1 files, the working directory cannot be used")
    expect.summary(left=1)
    case.expect_run(2, expect, *ENCODE_ARGS, "-config", config)
    assert case.log_calls() == 1
    assert case.untouched("lib/a.mkv", "lib/b.mkv", "lib/c.mkv") == []
    assert case.tree("lib") == ["a.mkv", "b.mkv", "c.mkv"]
    assert case.working_dir() == ["brindle.lock", "tempenc.mkv"]


def test_working_directory_past_path_limit(case, tools):
    """A working directory whose path is longer than the system allows: an earlier result left in
    tempenc.mkv is never installed, and the encoder's own result is."""
    if case.windows:
        pytest.skip("Wine starts no program in a folder whose path is past its limit")
    case.use_fake_encoder()
    library = case.wd.resolve() / "lib"
    case.make_video("lib/a.mkv", 1100000)
    case.keep_originals(str(library / "a.mkv"))
    deep = Path(os.getcwd())
    for _ in range(24):
        os.mkdir("d" * 200)
        os.chdir("d" * 200)
    shutil.copyfile(tools.samples / "result.mkv", "tempenc.mkv")
    source = str(library / "a.mkv")
    args = ("-days", "3", "-dir", str(library), "-ext", "mkv", "-docurrent")
    try:
        case.fake_mode = "nooutput"
        case.expect_run(2, case.expect().scan(source).encode_fails(source, "the encoder left no output"),
                        *args)
        assert case.untouched(source) == []
        assert not os.path.exists("tempenc.mkv")
        case.fake_mode = None
        case.expect_run(0, case.expect().scan(source).conversion(source), *args)
        assert case.encoded(source, source)
        assert sorted(os.listdir(".")) == ["brindle.lock"]
    finally:
        for _ in range(24):
            os.chdir("..")
            shutil.rmtree("d" * 200)
        os.chdir(deep)
