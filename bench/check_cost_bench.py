#!/usr/bin/env python3
"""What the checks and the quality search cost beside the encode they judge, measured in the
same run: brindle converts one generated source of MINUTES minutes (20 unless given) once for each
way asked for, with every ffmpeg it starts (the encoder's, the comparison's, the search's) logged
by a stand-in on PATH that times it and hands it on to the real one. Each step's wall time is
printed as a share of the whole file's encode in that run.

    bench/check_cost_bench.py BUILD/brindle [MINUTES] [WAY...]

The ways: samples (the default check), full (-verify full), quality (-quality 0.98). The source is
854x480 H.264 at 2.5 Mbit/s with AAC sound, a release of that size.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

WAYS = {"samples": [], "full": ["-verify", "full"], "quality": ["-quality", "0.98"]}

# The costs weighed against the encode: the picture and sound checks', and the quality search's.
TOTALS = [("the checks", {"comparing the picture", "comparing the sound"}),
          ("the search and its measurement", {"cutting the windows", "encoding the windows",
                                              "measuring the windows",
                                              "measuring the result's quality"})]

SHIM = """#!/bin/sh
started=$(date +%s.%N)
"{ffmpeg}" "$@"
status=$?
printf '%s %s %s\\n' "$started" "$(date +%s.%N)" "$*" >> "{log}"
exit $status
"""


def step_of(args):
    """Which step of a run one ffmpeg was, from its arguments."""
    if "tempenc-window-" in args and "-c copy" in args:
        return "cutting the windows"
    if "-i tempenc-window-" in args:
        return "encoding the windows"
    if "tempenc-quality-" in args:
        if "file:tempenc-window-" in args:
            return "measuring the windows"
        return "measuring the result's quality"
    if "tempenc-sound-" in args:
        return "comparing the sound"
    if "tempenc-ssim-" in args or "tempenc-psnr-" in args:
        return "comparing the picture"
    if "tempenc.mkv" in args:
        return "the encode"
    return "other"


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    brindle = os.path.abspath(sys.argv[1])
    minutes = float(sys.argv[2]) if len(sys.argv) > 2 else 20
    ways = sys.argv[3:] or list(WAYS)
    folder = tempfile.mkdtemp(prefix="check-cost-bench-")
    try:
        source = os.path.join(folder, "source.mkv")
        subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                        "testsrc2=size=854x480:rate=25,noise=alls=3:allf=t", "-f", "lavfi", "-i",
                        "sine=440:sample_rate=48000", "-t", str(int(minutes * 60)), "-c:v",
                        "libx264", "-preset", "veryfast", "-b:v", "2500k", "-maxrate", "4M",
                        "-bufsize", "8M", "-g", "250", "-pix_fmt", "yuv420p", "-c:a", "aac",
                        "-b:a", "128k", source], check=True)
        bin_folder = os.path.join(folder, "bin")
        os.makedirs(bin_folder)
        log = os.path.join(folder, "ffmpeg.log")
        shim = os.path.join(bin_folder, "ffmpeg")
        with open(shim, "w") as out:
            out.write(SHIM.format(ffmpeg=shutil.which("ffmpeg"), log=log))
        os.chmod(shim, 0o755)
        env = dict(os.environ, PATH=bin_folder + os.pathsep + os.environ["PATH"])
        print("%g minutes of 854x480 H.264, %.1f MiB" % (minutes, os.path.getsize(source) / 2**20))
        for way in ways:
            lib = os.path.join(folder, "lib")
            work = os.path.join(folder, "work")
            shutil.rmtree(lib, ignore_errors=True)
            shutil.rmtree(work, ignore_errors=True)
            os.makedirs(lib)
            os.makedirs(work)
            shutil.copy(source, os.path.join(lib, "film.x264.mkv"))
            if os.path.exists(log):
                os.remove(log)
            started = time.monotonic()
            done = subprocess.run([brindle, "-days", "30", "-dir", lib, "-ext", "mkv",
                                   *WAYS[way], "-docurrent"], cwd=work, env=env,
                                  capture_output=True, text=True)
            took = time.monotonic() - started
            steps = {}
            with open(log) as lines:
                for line in lines:
                    begin, end, args = line.rstrip("\n").split(" ", 2)
                    step = step_of(args)
                    count, seconds = steps.get(step, (0, 0.0))
                    steps[step] = (count + 1, seconds + float(end) - float(begin))
            outcome = next((l for l in done.stdout.splitlines()
                            if l.startswith(("Converted:", "Not converted:"))), "(no line)")
            encode = steps.get("the encode", (0, 0.0))[1]
            print()
            print("%s: %.0f s in all; %s" % (way, took, outcome.split(": ", 2)[-1]))
            for step, (count, seconds) in sorted(steps.items(), key=lambda s: -s[1][1]):
                share = " (%.1f %% of the encode)" % (100 * seconds / encode) if encode else ""
                print("  %-32s %3d runs %7.1f s%s" % (step, count, seconds, share))
            for total, names in TOTALS:
                seconds = sum(s for name, (_, s) in steps.items() if name in names)
                if encode and seconds:
                    print("  %-32s %16.1f s (%.1f %% of the encode)" % (total, seconds,
                                                                        100 * seconds / encode))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
