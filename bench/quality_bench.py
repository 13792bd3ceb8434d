#!/usr/bin/env python3
"""What -quality buys: for generated sources of different kinds, the built-in line (CRF 19) and
-quality 0.97, 0.98 and 0.99, each run by brindle itself: the result's size against the source's,
the SSIM of every picture of the result against the source (measured here, not by brindle), the
CRF chosen, and the search's time as a share of the encode it chose (a run at that CRF without
the search, in the same bench, is the reference).

    bench/quality_bench.py BUILD/brindle [SECONDS] [KIND...]

Each source is SECONDS long (60 unless given); the kinds are listed in SOURCES.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

SIZE = "854x480"
# Each kind: the lavfi picture and the encoder options of the source, at a bitrate a release of
# that size would use.
H264 = ["-c:v", "libx264", "-preset", "veryfast", "-b:v", "2500k", "-maxrate", "4M",
        "-bufsize", "8M", "-g", "250"]
SOURCES = {
    "clean": ("testsrc2=size=%s:rate=25" % SIZE, H264 + ["-pix_fmt", "yuv420p"]),
    "grain": ("testsrc2=size=%s:rate=25,noise=alls=10:allf=t" % SIZE, H264 + ["-pix_fmt", "yuv420p"]),
    "animation": ("life=s=214x120:seed=1:mold=10:rate=25:ratio=0.1:death_color=#C83232:"
                  "life_color=#00ff00,scale=%s:flags=neighbor" % SIZE.replace("x", ":"),
                  H264 + ["-pix_fmt", "yuv420p"]),
    "dark": ("testsrc2=size=%s:rate=25,eq=brightness=-0.3:contrast=0.4,noise=alls=4:allf=t" % SIZE,
             H264 + ["-pix_fmt", "yuv420p"]),
    "motion": ("testsrc2=size=%s:rate=25,rotate=a=t*1.5:fillcolor=gray" % SIZE,
               H264 + ["-pix_fmt", "yuv420p"]),
    "clean-10bit": ("testsrc2=size=%s:rate=25" % SIZE, H264 + ["-pix_fmt", "yuv420p10le"]),
    "grain-10bit": ("testsrc2=size=%s:rate=25,noise=alls=10:allf=t" % SIZE,
                    H264 + ["-pix_fmt", "yuv420p10le"]),
    "mpeg2": ("testsrc2=size=%s:rate=25,noise=alls=3:allf=t" % SIZE,
              ["-c:v", "mpeg2video", "-b:v", "5M", "-maxrate", "8M", "-bufsize", "4M",
               "-pix_fmt", "yuv420p"]),
    "mpeg4": ("testsrc2=size=%s:rate=25,noise=alls=3:allf=t" % SIZE,
              ["-c:v", "mpeg4", "-b:v", "3M", "-pix_fmt", "yuv420p"]),
}
TARGETS = ["0.97", "0.98", "0.99"]
BUILT_IN = ("ffmpeg -y -i %1 -map 0:V:0 -map 0:a? -map 0:s? -map 0:t? -map_metadata 0 "
            "-disposition:v:0 -attached_pic -c:v libx265 -preset superfast -crf {crf} "
            "-x265-params deblock=-4,0 -c:a copy -c:s copy -c:t copy %2")


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", *args], check=True)


def make_source(kind, seconds, folder):
    """The source of KIND, SECONDS long with a tone in AAC, made in FOLDER; its path."""
    picture, options = SOURCES[kind]
    source = os.path.join(folder, kind + ".mkv")
    ffmpeg("-f", "lavfi", "-i", picture, "-f", "lavfi", "-i", "sine=440:sample_rate=48000",
           "-t", str(seconds), *options, "-c:a", "aac", "-b:a", "128k", source)
    return source


def whole_ssim(result, source):
    done = subprocess.run(["ffmpeg", "-nostdin", "-i", result, "-i", source, "-lavfi",
                           "[0:v:0]setpts=PTS-STARTPTS[a];[1:v:0]setpts=PTS-STARTPTS[b];[a][b]ssim",
                           "-f", "null", "-"], capture_output=True, text=True)
    found = re.search(r"All:([0-9.]+)", done.stderr)
    return float(found[1]) if found else float("nan")


def run_brindle(brindle, source, folder, *args):
    """brindle on a library of SOURCE alone: the result's path (None when refused), its line's
    extra words and the wall time."""
    lib = os.path.join(folder, "lib")
    work = os.path.join(folder, "work")
    shutil.rmtree(lib, ignore_errors=True)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(lib)
    os.makedirs(work)
    shutil.copy(source, os.path.join(lib, "film.x264.mkv"))
    started = time.monotonic()
    done = subprocess.run([brindle, "-days", "30", "-dir", lib, "-ext", "mkv", *args,
                           "-docurrent"], cwd=work, capture_output=True, text=True)
    took = time.monotonic() - started
    line = next((l for l in done.stdout.splitlines() if l.startswith(("Converted:",
                                                                       "Not converted:"))), "")
    if not line.startswith("Converted:"):
        return None, line.split(".mkv: ", 1)[-1], took
    extra = line.split("); ", 1)[1] if "); " in line else ""
    return os.path.join(lib, "film.x265.mkv"), extra, took


def foreseen_error(brindle, source, result, crf, folder):
    """The error of the size the sample windows foresee for RESULT, made from SOURCE by the
    built-in line at CRF, as bench/foresee_bench (beside BUILD/brindle) prints it."""
    work = os.path.join(folder, "foresee")
    os.makedirs(work, exist_ok=True)
    bench = os.path.join(os.path.dirname(brindle), "bench", "foresee_bench")
    done = subprocess.run([bench, source, result, str(crf)], cwd=work,
                          capture_output=True, text=True)
    words = done.stdout.split()
    return words[words.index("foretold") + 1] + " %" if "foretold" in words else "-"


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    brindle = os.path.abspath(sys.argv[1])
    seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 60
    kinds = sys.argv[3:] or list(SOURCES)
    folder = tempfile.mkdtemp(prefix="quality-bench-")
    rows = []
    totals = {"source": 0, "19": 0, **{t: 0 for t in TARGETS}}
    try:
        for kind in kinds:
            source = make_source(kind, seconds, folder)
            size = os.path.getsize(source)
            totals["source"] += size
            result, extra, took = run_brindle(brindle, source, folder)
            cells = [kind, "%.1f MiB" % (size / 2**20)]
            if result:
                totals["19"] += os.path.getsize(result)
                cells.append("%d %% / %.4f, foreseen %s" % (
                    100 * os.path.getsize(result) // size, whole_ssim(result, source),
                    foreseen_error(brindle, source, result, 19, folder)))
            else:
                totals["19"] += size
                cells.append("refused")
            for target in TARGETS:
                result, extra, took = run_brindle(brindle, source, folder, "-quality", target)
                found = re.match(r"CRF (\d+) for SSIM ([0-9.]+)", extra)
                if not result or not found:
                    totals[target] += size
                    cells.append("refused (%s)" % extra[:60])
                    continue
                ratio = os.path.getsize(result) / size
                ssim = whole_ssim(result, source)
                totals[target] += os.path.getsize(result)
                config = os.path.join(folder, "fixed.conf")
                with open(config, "w") as line:
                    line.write(BUILT_IN.format(crf=found[1]))
                _, _, plain = run_brindle(brindle, source, folder, "-config", config)
                cells.append("CRF %s: %d %% / %.4f (windows %s), search %d %%, foreseen %s" % (
                    found[1], 100 * ratio, ssim, found[2], round(100 * (took - plain) / plain),
                    foreseen_error(brindle, source, result, found[1], folder)))
            rows.append(cells)
            print(" | ".join(cells), flush=True)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print()
    print("| source | size | built-in (CRF 19): size / SSIM | " +
          " | ".join("-quality %s: CRF: size / whole SSIM (windows' SSIM), search's share" % t
                     for t in TARGETS) + " |")
    print("|---" * (3 + len(TARGETS)) + "|")
    for cells in rows:
        print("| " + " | ".join(cells) + " |")
    print("| **total** | %.1f MiB | %d %% | %s |" % (
        totals["source"] / 2**20, 100 * totals["19"] // totals["source"],
        " | ".join("%d %%" % (100 * totals[t] // totals["source"]) for t in TARGETS)))


if __name__ == "__main__":
    main()
