"""The end-to-end cases' options and shared fixtures: the programs of the build, the samples made
once per test run, and a fresh folder for each case."""

import dataclasses
import os
import shutil
import stat
import tempfile
from pathlib import Path

import pytest

# The checks in the shared module explain a mismatch part by part, as those in the cases do.
pytest.register_assert_rewrite("harness")
from harness import Case  # noqa: E402

SKIPPED = 77  # what ctest is told to count as skipped


def pytest_addoption(parser):
    group = parser.getgroup("brindle")
    group.addoption("--brindle", help="the program under test")
    group.addoption("--fake-encoder", help="the stand-in encoder")
    group.addoption("--platform", choices=("posix", "windows"), default="posix")
    group.addoption("--runner", default="",
                    help="what runs a Windows program (Wine); a ;-separated list, as CMake writes one")
    group.addoption("--samples", help="the folder the samples are made in, once per test run")


@dataclasses.dataclass
class Tools:
    brindle: Path
    fake_encoder: Path
    platform: str
    runner: list
    samples: Path
    brindle_alone: Path = None  # the program without an ffmpeg beside it


@pytest.fixture(scope="session")
def tools(pytestconfig):
    option = pytestconfig.getoption
    missing = [name for name in ("brindle", "fake_encoder", "samples") if not option(name)]
    if missing:
        pytest.exit(f"needs --{' --'.join(n.replace('_', '-') for n in missing)}", returncode=2)
    brindle = Path(option("brindle")).resolve()
    runner = [part for part in option("runner").split(";") if part]
    if runner and "/" in runner[0] and Path(runner[0]).exists():
        runner[0] = str(Path(runner[0]).resolve())  # the cases run in folders of their own
    if option("platform") == "windows":
        # Wine mangles non-ASCII names without a UTF-8 locale.
        os.environ.update(WINEDEBUG="-all", LC_ALL="C.UTF-8")
        runner = runner or ["env", f"WINEPREFIX={brindle.parent / 'wineprefix'}", "wine"]
    fake_encoder = Path(option("fake_encoder")).resolve()
    alone = brindle
    program = None
    if option("platform") == "windows":
        # brindle.exe as the README installs it, with ffmpeg.exe beside it (the stand-in, which
        # also answers the picture comparison): there Brindle finds it, though cmd.exe does not.
        # Each case is a session of its own: the copies, 20 MB, go with it.
        program = Path(tempfile.mkdtemp(prefix="brindle-e2e-program-"))
        program.chmod(0o755)
        shutil.copyfile(brindle, program / "brindle.exe")
        shutil.copyfile(fake_encoder, program / "ffmpeg.exe")
        brindle = program / "brindle.exe"
    yield Tools(brindle, fake_encoder, option("platform"), runner,
                Path(option("samples")).resolve(), alone)
    if program:
        shutil.rmtree(program, ignore_errors=True)


@pytest.fixture
def case(tools, monkeypatch):
    """A case in a temporary folder of its own, working in its wd/; removed afterwards (kept for a
    look at what went wrong when BRINDLE_E2E_KEEP is set)."""
    os.umask(0o022)
    folder = Path(tempfile.mkdtemp(prefix="brindle-e2e-"))
    folder.chmod(0o755)  # an unprivileged user runs brindle in some cases
    made = Case(tools, folder)
    monkeypatch.chdir(made.wd)
    yield made
    os.chdir("/")
    if os.environ.get("BRINDLE_E2E_KEEP"):
        print(f"the case's folder stays in {folder}")
        return
    for top, dirs, _ in os.walk(folder):
        for name in dirs:
            path = os.path.join(top, name)
            if not os.path.islink(path):
                os.chmod(path, stat.S_IRWXU | os.stat(path).st_mode)
    shutil.rmtree(folder, ignore_errors=True)


def pytest_sessionfinish(session, exitstatus):
    # A case that cannot run here (POSIX signals under Wine, say) reaches ctest as skipped.
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    if reporter and exitstatus == 0 and reporter.stats.get("skipped") and not reporter.stats.get("passed"):
        session.exitstatus = SKIPPED
