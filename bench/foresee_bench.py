#!/usr/bin/env python3
"""How well the sample windows foretell a result's size before its encode, and what they cost:
for generated sources of the kinds quality_bench makes, each encoded whole by the built-in line at
CRF 19 and at CRF 28, foresee_bench's foretold size against the real one, whether the file would
be refused before its encode, and the windows' time as a share of the whole encode's.

    bench/foresee_bench.py BUILD [SECONDS] [KIND...]

BUILD is a build folder holding bench/foresee_bench; each source is SECONDS long (600 unless
given, the least a source is foreseen at without -quality).
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

from quality_bench import BUILT_IN, SOURCES, make_source


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    bench = os.path.join(os.path.abspath(sys.argv[1]), "bench", "foresee_bench")
    seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 600
    kinds = sys.argv[3:] or list(SOURCES)
    folder = tempfile.mkdtemp(prefix="foresee-bench-")
    work = os.path.join(folder, "work")
    os.makedirs(work)
    print("| source | CRF | result / source | foretold's error | least's error | before the "
          "encode | windows' time / encode's |")
    print("|---|---|---|---|---|---|---|")
    try:
        for kind in kinds:
            source = make_source(kind, seconds, folder)
            for crf in (19, 28):
                line = BUILT_IN.format(crf=crf)
                result = os.path.join(folder, "result.mkv")
                started = time.monotonic()
                words = line.replace("%1", source).replace("%2", result).split()
                subprocess.run([words[0], "-nostdin", "-v", "error", *words[1:]], check=True,
                               capture_output=True)
                encode = time.monotonic() - started
                started = time.monotonic()
                done = subprocess.run([bench, source, result, str(crf)], cwd=work,
                                      capture_output=True, text=True)
                windows = time.monotonic() - started
                words = done.stdout.split()
                if done.returncode != 0 or len(words) < 12:
                    print("| %s | %d | %s |" % (kind, crf, done.stderr.strip()), flush=True)
                    continue
                ratio = os.path.getsize(result) / os.path.getsize(source)
                print("| %s | %d | %.0f %% | %s %% | %s %% | %s | %.1f %% |" % (
                    kind, crf, 100 * ratio, words[words.index("foretold") + 1],
                    words[words.index("least") + 1], words[-1], 100 * windows / encode),
                    flush=True)
                os.remove(result)
            os.remove(source)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
