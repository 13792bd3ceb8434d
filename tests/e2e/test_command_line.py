"""The command line: the usage, missing and mistyped options, the limits of the values."""

from harness import ENCODE_ARGS, SCAN_ONLY

OPTIONS = ["-days X", "-dir X", "-ext X", "-minsize X", "-config X", "-docurrent", "-scanonly"]
NEWER_OPTIONS = ["-until HH:MM", "-priority low|normal", "-shard K/N", "-retry",
                 "-verify samples|full|headers"]


def usage_of(case):
    """The usage, as the program prints it without arguments: exit code 1, every option named."""
    run = case.run()
    assert run.status == 1, run.shown()
    assert any(line.startswith("Usage:") for line in run.lines), run.out
    for option in OPTIONS:
        assert f"\t{option} " in run.out, f"the usage names no {option}:\n{run.out}"
    return run.out


def refused_with(case, usage, message, *args):
    """A run with ARGS prints the usage followed by MESSAGE on a line of its own, exit code 1."""
    run = case.run(*args)
    assert run.status == 1, f"{args}: {run.shown()}"
    assert run.out.startswith(usage), f"{args}: no usage:\n{run.out}"
    assert run.out[len(usage):].split("\n") == ["", f"\t{message}", ""], f"{args}: {run.out}"


def test_usage(case):
    """Fewer than six arguments: the usage text alone, exit code 1."""
    usage = usage_of(case)
    for args in (["-days", "3", "-dir", "lib", "-ext"], ["-scanonly"] * 5):
        run = case.run(*args)
        assert (run.status, run.out) == (1, usage), f"{args}: {run.shown()}"


def test_missing_options(case):
    """A missing mandatory option: the usage text and its message, exit code 1."""
    usage = usage_of(case)
    days = "Missing -days flag. If you want all days use -days 9999999"
    folder = "Missing -dir flag. Perhaps -dir c:\\movies "
    ext = "Missing -ext flag. Perhaps -ext mkv or -ext *"
    for message, args in [
        (days, "-dir lib -ext mkv -scanonly -docurrent"),
        (days, "-DAYS 3 -dir lib -ext mkv"),
        (days, "-dir lib -ext mkv -scanonly -days"),
        (folder, "-days 3 -ext mkv -scanonly -docurrent"),
        (ext, "-days 3 -dir lib -scanonly -docurrent"),
        (ext, "-days 3 -dir lib -config x -ext"),
    ]:
        refused_with(case, usage, message, *args.split())


def test_long_values(case):
    """Over-long -dir, -ext and -config values are refused, the limits are accepted."""
    usage = usage_of(case)
    d255, e15, c255 = "d" * 255, "abcdefghijklmno", "c" * 255
    case.make_video(f"lib/v.{e15}", 2 << 20, sparse=True)
    (case.wd / d255).mkdir()
    long_dir = "The -dir value is longer than 255 characters."
    scan_only = ["-days", "3", "-ext", "mkv", "-scanonly"]
    case.expect_run(0, case.expect().line(SCAN_ONLY).scan(), "-dir", d255, *scan_only)
    refused_with(case, usage, long_dir, "-dir", d255 + "d", *scan_only)
    case.expect_run(0, case.expect().line(SCAN_ONLY).scan(f"lib/v.{e15}"),
                    "-days", "3", "-dir", "lib", "-ext", e15, "-scanonly", "-docurrent")
    refused_with(case, usage, "The -ext value is longer than 15 characters.",
                 "-days", "3", "-dir", "lib", "-ext", e15 + "p", "-scanonly", "-docurrent")
    expect = case.expect().line(f"Custom config file specified {c255}").line(SCAN_ONLY).scan()
    case.expect_run(0, expect, "-dir", "lib", "-config", c255, *scan_only)
    refused_with(case, usage, "The -config value is longer than 255 characters.",
                 "-dir", "lib", "-config", c255 + "c", *scan_only)
    # 128 two-byte letters and a separator: 257 bytes, but 129 UTF-16 code units.
    wide = "é" * 64 + "/" + "é" * 64
    (case.wd / wide).mkdir(parents=True)
    if case.windows:
        case.expect_run(0, case.expect().line(SCAN_ONLY).scan(), "-dir", wide, *scan_only)
        refused_with(case, usage, long_dir, "-dir", wide + wide, *scan_only)
    else:
        refused_with(case, usage, long_dir, "-dir", wide, *scan_only)


def test_message_order(case):
    """Config and scan-only lines: every occurrence, config lines first."""
    case.make_video("lib/a.mkv", 2 << 20, sparse=True)
    expect = case.expect().line("Custom config file specified first.cfg")
    expect.line("Custom config file specified second.cfg").line(SCAN_ONLY).line(SCAN_ONLY)
    case.expect_run(0, expect.scan("lib/a.mkv"), "-scanonly", "-days", "3", "-config", "first.cfg",
                    "-dir", "lib", "-ext", "mkv", "-scanonly", "-config", "second.cfg",
                    "-docurrent", "-config")
    assert case.working_dir() == []  # scan-only takes no lock


def test_mistyped_options(case):
    """Unknown options are refused before anything is encoded; --help and --version."""
    case.use_fake_encoder()
    usage = usage_of(case)
    case.make_video("lib/a.mkv", 1100000)
    case.keep_originals("lib/a.mkv")
    for mistyped in ["-ScanOnly", "/scanonly", "scanonly", "—scanonly", "/DoCurrent"]:
        refused_with(case, usage, f"Unknown option {mistyped}", *ENCODE_ARGS, mistyped)
    refused_with(case, usage,
                 "The -until value must be a time of day from 0:00 to 23:59, as H:MM or HH:MM.",
                 *ENCODE_ARGS, "-until", "24:00")
    for help_option in ["-h", "-?", "/?", "--help"]:
        run = case.run(help_option)
        assert run.status == 0 and run.out.startswith(usage), f"{help_option}: {run.shown()}"
        rest = run.out[len(usage):]
        for option in NEWER_OPTIONS:
            assert f"\t{option} " in rest, f"{help_option} names no {option}:\n{rest}"
        assert "The README explains" in rest, rest
    run = case.run("--version")
    assert (run.status, run.lines) == (0, ["Brindle v1.0.1"]), run.shown()
    assert case.log_calls() == 0
    assert case.untouched("lib/a.mkv") == []
