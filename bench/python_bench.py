"""phaze.analyse beside numpy's classical three-step formula on one 4096 x 4096
uint16 stack, alternately, in one run: medians and spreads of both, and their ratio.

    build/python-venv/bin/python bench/python_bench.py [--size 4096] [--repeat 7]
"""

import argparse
import statistics
import time

import numpy as np

import phaze


def classical(frames):
    i1, i2, i3 = (f.astype(np.float64) for f in frames)
    return np.arctan2(np.sqrt(3) * (i1 - i3), 2 * i2 - i1 - i3)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=4096)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    n = args.size
    y, x = np.mgrid[0:n, 0:n]
    phi = 2 * np.pi * (x * np.cos(0.3) + y * np.sin(0.3)) / 32 + 3 * np.exp(-((x - n / 2) ** 2 + (y - n / 2) ** 2) / (n / 4) ** 2)
    rng = np.random.default_rng(1)
    stack = np.stack([np.clip(np.round(30000 + 20000 * np.cos(phi + s) + rng.normal(0, 20, phi.shape)), 0, 65535)
                      for s in (0, 1.7, 3.5)]).astype(np.uint16)
    del x, y, phi
    times = {"numpy classical": [], "phaze.analyse": []}
    for _ in range(args.repeat):
        start = time.perf_counter()
        classical(stack)
        times["numpy classical"].append(time.perf_counter() - start)
        start = time.perf_counter()
        phaze.analyse(stack)
        times["phaze.analyse"].append(time.perf_counter() - start)
    print(f"{n} x {n} uint16 stack, {args.repeat} alternating runs each")
    for name, t in times.items():
        print(f"  {name:16s} median {statistics.median(t):.3f} s  ({min(t):.3f} to {max(t):.3f})")
    ratios = [p / c for p, c in zip(times["phaze.analyse"], times["numpy classical"])]
    print(f"  phaze/numpy: median {statistics.median(ratios):.2f} ({min(ratios):.2f} to {max(ratios):.2f})")


if __name__ == "__main__":
    main()
