"""The phaze command the way a user meets it, measured side by side in one run:

- on one 4096 x 4096 uint16 TIFF set, against a numpy + tifffile script (three
  imread, the classical three-step formula, one float32 imwrite), alternately,
  with the command's peak memory and the floor (reading the frames and writing
  files of the results' sizes);
- a batch of 12 sets of 2048 x 2048 frames against 12 runs of one set each.

    build/python-venv/bin/python bench/command_bench.py [--repeat 7] [--build build/release]
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

SCRIPT = """
import numpy as np, tifffile, sys
i1, i2, i3 = (tifffile.imread(p).astype(np.float64) for p in sys.argv[1:4])
tifffile.imwrite(sys.argv[4], np.arctan2(np.sqrt(3) * (i1 - i3), 2 * i2 - i1 - i3).astype(np.float32))
"""


def timed(command):
    """Seconds and peak resident memory (KiB) of one run of command."""
    start = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    if status != 0:
        raise SystemExit(f"command_bench: {command[0]} failed: {child.stderr.read().decode()}")
    return seconds, usage.ru_maxrss


def spread(values):
    return f"median {statistics.median(values):.3f} s ({min(values):.3f} to {max(values):.3f})"


def floor(frames, results):
    """Reading the frames and writing files of the results' sizes."""
    start = time.perf_counter()
    for path in frames:
        with open(path, "rb") as f:
            while f.read(1 << 22):
                pass
    for path in results:
        size = os.path.getsize(path)
        with open(path + ".floor", "wb") as f:
            f.write(bytes(size))
        os.remove(path + ".floor")
    return time.perf_counter() - start


def one_set(build, work, size, repeat):
    frames = [os.path.join(work, "one", f"I{k}.tiff") for k in (1, 2, 3)]
    subprocess.run([os.path.join(build, "fringegen"), os.path.join(work, "one"), "--format", "tiff",
                    "--size", f"{size}x{size}", "--pattern", "bump", "--steps", "0,1.7,3.5", "--noise", "20"],
                   check=True, stdout=subprocess.DEVNULL)
    phaze = [os.path.join(build, "phaze"), "-q", "-o", os.path.join(work, "r"), *frames]
    script = [sys.executable, "-c", SCRIPT, *frames, os.path.join(work, "script_phase.tiff")]
    try:
        import numpy  # noqa: F401
        import tifffile  # noqa: F401
        have_script = True
    except ImportError:
        have_script = False
    times = {"phaze command": [], "numpy + tifffile": [], "floor": []}
    peak = []
    for _ in range(repeat):
        seconds, kib = timed(phaze)
        times["phaze command"].append(seconds)
        peak.append(kib)
        if have_script:
            times["numpy + tifffile"].append(timed(script)[0])
        results = [os.path.join(work, "r" + s) for s in
                   ("_phase.tiff", "_modulation.tiff", "_mask.png", "_phase.png", "_report.json")]
        times["floor"].append(floor(frames, results))
    print(f"{size} x {size} uint16 TIFF set, default results, {repeat} alternating runs")
    for name, t in times.items():
        if t:
            print(f"  {name:17s} {spread(t)}")
    if have_script:
        ratios = [p / s for p, s in zip(times["phaze command"], times["numpy + tifffile"])]
        print(f"  phaze/script: median {statistics.median(ratios):.2f} ({min(ratios):.2f} to {max(ratios):.2f})")
    else:
        print("  (numpy or tifffile missing: no script to compare with)")
    print(f"  phaze peak memory: {statistics.median(peak) * 1024 / size / size:.1f} bytes a pixel")
    print(f"  phaze over the floor: {statistics.median(times['phaze command']) / statistics.median(times['floor']):.1f} times")


def batch(build, work, repeat, sets=12, size=2048):
    groups = []
    for k in range(sets):
        folder = os.path.join(work, f"set{k:02d}")
        subprocess.run([os.path.join(build, "fringegen"), folder, "--format", "tiff", "--size", f"{size}x{size}",
                        "--pattern", "bump", "--noise", "20", "--seed", str(k + 1)], check=True,
                       stdout=subprocess.DEVNULL)
        renamed = []
        for j in (1, 2, 3):
            path = os.path.join(folder, f"s{k:02d}_{j}.tiff")
            os.replace(os.path.join(folder, f"I{j}.tiff"), path)
            renamed.append(path)
        groups.append(renamed)
    phaze = os.path.join(build, "phaze")
    batches, singles = [], []
    for _ in range(repeat):
        batches.append(timed([phaze, "-q", "-o", os.path.join(work, "batch"), *[p for g in groups for p in g]])[0])
        singles.append(sum(timed([phaze, "-q", "-o", os.path.join(work, f"single{k:02d}"), *g])[0]
                           for k, g in enumerate(groups)))
    print(f"{sets} sets of {size} x {size} uint16 TIFF frames, {repeat} alternating rounds")
    print(f"  one batch          {spread(batches)}")
    print(f"  {sets} single runs     {spread(singles)}")
    ratios = [b / s for b, s in zip(batches, singles)]
    print(f"  batch/singles: median {statistics.median(ratios):.2f} ({min(ratios):.2f} to {max(ratios):.2f})")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build/release")
    parser.add_argument("--size", type=int, default=4096)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        one_set(args.build, work, args.size, args.repeat)
        batch(args.build, work, args.repeat)


if __name__ == "__main__":
    main()
