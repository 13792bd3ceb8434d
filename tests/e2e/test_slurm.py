"""The README's Slurm recipe, run for real: a one-node Slurm on this host (munged, slurmctld and
slurmd, their keys, state and logs in the case's folder) runs brindle.sbatch as the README writes
it, with its paths changed and 3 shards instead of 64, over one library; every file is converted
exactly once and each task's log speaks of its own shard only. Needs root, Debian's slurmctld,
slurmd, slurm-client and munge, and libfaketime; skipped, saying why, without them."""

import contextlib
import glob
import os
import pwd
import random
import re
import shutil
import signal
import socket
import subprocess
import time
from pathlib import Path

import pytest

from harness import wait_until

README = Path(__file__).resolve().parents[2] / "README.md"
TOOLS = ["munged", "slurmctld", "slurmd", "sbatch", "squeue", "sinfo", "scontrol", "scancel",
         "setpriv"]
FILES = ([f"Show One/Season 1/Show One - S01E0{i}.mkv" for i in range(1, 6)]
         + [f"Show Two/Season 2/Show Two - S02E1{i}.mkv" for i in range(5)]
         + ["Films/Night Road (1987)/Night Road (1987).mkv",
            "Films/Dark River (2003)/Dark River (2003).mkv"])


def late_clock():
    """The tasks' clock, 60 hours ahead: the recipe takes files of the last three days but not
    of the last two, by their creation time, which no tool sets. Skips without libfaketime."""
    library = sorted(glob.glob("/usr/lib/*/faketime/libfaketime.so.1"))
    if not library:
        pytest.skip("libfaketime is not installed")
    # A sanitizer build's runtime wants to be loaded first; the order matters nothing here.
    asan = os.environ.get("ASAN_OPTIONS", "")
    return {"LD_PRELOAD": library[0], "FAKETIME": "+60h",
            "ASAN_OPTIONS": f"{asan}:verify_asan_link_order=0" if asan else "verify_asan_link_order=0"}


def free_port():
    for _ in range(10):
        port = random.randrange(20000, 30000)
        with socket.socket() as probe:
            if probe.connect_ex(("127.0.0.1", port)) != 0:
                return port
    return random.randrange(20000, 30000)


def slurm_conf(root, munge_socket):
    host = socket.gethostname().split(".")[0]
    # The recipe asks 8 CPUs for each task: the node claims what three tasks at once need,
    # whatever this machine has.
    return f"""ClusterName=brindle
SlurmctldHost={host}
SlurmUser=root
SlurmdUser=root
SlurmctldPort={free_port()}
SlurmdPort={free_port()}
AuthType=auth/munge
AuthInfo=socket={munge_socket}
CredType=cred/munge
MpiDefault=none
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SlurmdParameters=config_overrides
StateSaveLocation={root}/state
SlurmdSpoolDir={root}/spool
SlurmctldPidFile={root}/slurmctld.pid
SlurmdPidFile={root}/slurmd.pid
SlurmctldLogFile={root}/log/slurmctld.log
SlurmdLogFile={root}/log/slurmd.log
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
JobCompType=jobcomp/none
ReturnToService=2
NodeName={host} CPUs=24 State=UNKNOWN
PartitionName=brindle Nodes={host} Default=YES MaxTime=INFINITE State=UP
"""


def daemon_failed(root, why):
    """Shows the end of the daemons' logs, then skips: Slurm did not come up on this host."""
    for log in [*root.glob("log/*"), root / "munge/munged.log"]:
        if log.is_file():
            print(f"--- {log.name}:", *log.read_text(errors="replace").splitlines()[-5:], sep="\n")
    pytest.skip(why)


def queued(job):
    done = subprocess.run(["squeue", "-h", "-j", job], capture_output=True, text=True)
    return done.stdout.strip() != ""


@contextlib.contextmanager
def one_node_slurm(root):
    """Starts munged, slurmctld and slurmd under ROOT; on leaving, cancels what is still queued
    (slurmd stops without ending the tasks it started), stops them, and removes the shared-memory
    pairs libfaketime left for processes that are gone, so that a later faketime never meets a
    stale name and refuses to start."""
    shm_before = set(os.listdir("/dev/shm"))
    for folder in ("munge", "state", "spool", "log"):
        (root / folder).mkdir(parents=True)
    munge = root / "munge"
    (munge / "munge.key").write_bytes(os.urandom(1024))
    shutil.chown(munge / "munge.key", "munge", "munge")
    shutil.chown(munge, "munge", "munge")
    os.chmod(munge / "munge.key", 0o600)
    os.chmod(munge, 0o711)  # every client reaches the socket in it
    munge_socket = munge / "munge.socket.2"
    (root / "slurm.conf").write_text(slurm_conf(root, munge_socket))
    os.environ["SLURM_CONF"] = str(root / "slurm.conf")
    daemons, jobs = [], []
    try:
        with open(root / "log/munged.out", "wb") as out:
            daemons.append(subprocess.Popen(
                ["setpriv", "--reuid=munge", "--regid=munge", "--init-groups", "munged",
                 "--foreground", f"--socket={munge_socket}", f"--key-file={munge}/munge.key",
                 f"--pid-file={munge}/munged.pid", f"--seed-file={munge}/munged.seed",
                 f"--log-file={munge}/munged.log"], stdout=out, stderr=out))
        if not wait_until(5, munge_socket.is_socket):
            daemon_failed(root, "munged did not start")
        for daemon in (["slurmctld", "-D", "-i"], ["slurmd", "-D"]):
            with open(root / f"log/{daemon[0]}.out", "wb") as out:
                daemons.append(subprocess.Popen(daemon, stdout=out, stderr=out))
        if not wait_until(20, lambda: subprocess.run(["sinfo", "-h", "-o", "%T"], capture_output=True,
                                                     text=True).stdout.strip() == "idle"):
            daemon_failed(root, "the node did not come up")
        yield jobs
    finally:
        for job in jobs:
            if queued(job):
                subprocess.run(["scancel", "--full", job])
                wait_until(5, lambda: not queued(job))
        for daemon in daemons:
            daemon.send_signal(signal.SIGTERM)
        for daemon in daemons:
            daemon.wait()
        for name in set(os.listdir("/dev/shm")) - shm_before:
            if re.fullmatch(r"(faketime_shm_|sem\.faketime_sem_)\d+", name):
                if not Path(f"/proc/{name.rsplit('_', 1)[1]}").exists():
                    Path("/dev/shm", name).unlink(missing_ok=True)


def recipe_for(brindle, library):
    """brindle.sbatch as the README writes it, with this build's program, LIBRARY and 3 shards."""
    text = README.read_text()
    block = text[text.index("#### Slurm: a job array"):]
    recipe = block.split("```")[1].split("\n", 1)[1]
    assert all(part in recipe for part in ("--array=1-64", '/64"', "/usr/bin/brindle ",
                                           " -dir /shared/media/tv ")), (
        "the README's brindle.sbatch is not what this test expects")
    recipe = recipe.replace("/usr/bin/brindle", str(brindle)).replace("/shared/media/tv", str(library))
    return re.sub(r"\b64\b", "3", recipe)


def test_recipe(case, tools):
    """The README's Slurm recipe shares one library out among three tasks, each file once."""
    if case.windows:
        pytest.skip("Slurm runs the native build")
    if os.geteuid() != 0:
        pytest.skip("Slurm's daemons must be started as root")
    for tool in TOOLS:
        if not shutil.which(tool):
            pytest.skip(f"{tool} is not installed")
    try:
        pwd.getpwnam("munge")
    except KeyError:
        pytest.skip("there is no munge user")
    clock = late_clock()
    library = case.dir / "library"
    files = [str(library / name) for name in FILES]
    for file in files:
        # Over 1 MiB, the smallest size taken, and ending in data as a whole download does.
        case.make_video(file, 1100000)
    case.use_fake_encoder()
    with one_node_slurm(case.dir / "slurm") as jobs:
        shards = shards_of(case, clock, library)
        submit = case.dir / "submit"
        submit.mkdir()
        (submit / "brindle.sbatch").write_text(recipe_for(tools.brindle, library) + "\n")
        jobs.append(submit_recipe(case, clock, submit))
        ended = wait_until(30, lambda: not queued(jobs[0]))
        check_recipe_ran(case, jobs[0], ended, files, shards, submit)


def shards_of(case, clock, library):
    """What each shard holds, as brindle's own dry run lists it: the task given K must take
    exactly these, and the three lists must share out the library."""
    shards = {}
    command, env = case.command(["-days", "3", "-dir", str(library), "-ext", "mkv", "-scanonly"])
    for k in (1, 2, 3):
        done = subprocess.run([*command, "-shard", f"{k}/3"], env={**env, **clock}, cwd=case.dir,
                              capture_output=True, text=True)
        shards[k] = [line[len("Found: "):] for line in done.stdout.splitlines()
                     if line.startswith("Found: ")]
        assert shards[k], f"shard {k}/3 of the library is empty: {done.stdout}{done.stderr}"
    return shards


def submit_recipe(case, clock, submit):
    """Submits the recipe; answers the job's id. The recipe runs its tasks between 01:00 and
    06:00: the tasks get a time zone in which their clock shows 02:00. A task's environment is the
    submitter's; the late clock is the tasks' alone, since Slurm's own credentials must carry the
    true time."""
    offset = time.gmtime(time.time() + 60 * 3600).tm_hour - 2
    env = {**os.environ, **case.env, "TZ": f"SLURM{offset}", "TMPDIR": str(case.dir)}
    exported = ",".join(f"{name}={value}" for name, value in clock.items())
    done = subprocess.run(["sbatch", "--parsable", f"--export=ALL,{exported}", "brindle.sbatch"],
                          env=env, cwd=submit, capture_output=True, text=True)
    assert done.returncode == 0, f"sbatch: {done.stdout}{done.stderr}"
    return done.stdout.strip()


def check_recipe_ran(case, job, ended, files, shards, submit):
    logs = {k: submit / f"brindle-{k}.log" for k in shards}
    shown = "\n".join(f"{path.name}: {path.read_text()}" for path in logs.values() if path.exists())
    assert ended, f"the job did not end within 30 s\n{shown}"
    info = subprocess.run(["scontrol", "-o", "show", "job", job], capture_output=True, text=True).stdout
    states = sorted(re.sub(r".*ArrayTaskId=(\d+).* JobState=([A-Z]+).* ExitCode=([0-9:]+).*",
                           r"\1 \2 \3", line) for line in info.splitlines())
    assert states == ["1 COMPLETED 0:0", "2 COMPLETED 0:0", "3 COMPLETED 0:0"], shown
    # The encoder ran once on each file, and each file is now its own result (whose title holds
    # the first 108 bytes of its source's path).
    assert sorted(case.log_inputs()) == sorted(files), shown
    shard_of = {}
    for k, listed in shards.items():
        for path in listed:
            shard_of.setdefault(path, []).append(k)
    for file in files:
        assert f"fake-encoder-source:{file[:108]}".encode() in Path(file).read_bytes(), (
            f"{file} is not its own result")
        assert len(shard_of.get(file, [])) == 1, f"{file} stands in shards {shard_of.get(file)}"
    # Each task's log names the files of its own shard, and all of them as converted.
    for k, log in logs.items():
        assert log.is_file(), f"task {k} wrote no log"
        lines = log.read_text().splitlines()
        for line in (line for line in lines if f"{case.dir / 'library'}/" in line):
            named = [file for file in files if file in line]
            assert named, f"task {k}'s log has a line naming no file: {line}"
            assert all(shard_of[file] == [k] for file in named), f"task {k}'s log names {line}"
        for file in shards[k]:
            assert f"Found: {file}" in lines, f"task {k}'s log does not list {file}\n{shown}"
            assert any(line.startswith(f"Converted: {file} (") for line in lines), (
                f"task {k}'s log does not say it converted {file}\n{shown}")
