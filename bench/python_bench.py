"""phaze.analyse beside numpy's classical three-step formula on one 4096 x 4096
uint16 stack, alternately, in one run: medians and spreads of both, and their ratio.
Then phaze.analyse on four frames beside three, alternately, each in a process of
its own so that its peak memory can be read.

    build/python-venv/bin/python bench/python_bench.py [--size 4096] [--repeat 7] [--unwrapping]

--unwrapping: only phaze.unwrap beside scikit-image's unwrap_phase; --harmonics: only
harmonics auto against off; --steps: only steps given against estimated.
"""

import argparse
import json
import statistics
import subprocess
import sys
import time

import numpy as np

import phaze


def classical(frames):
    i1, i2, i3 = (f.astype(np.float64) for f in frames)
    return np.arctan2(np.sqrt(3) * (i1 - i3), 2 * i2 - i1 - i3)


def frames(n, steps):
    """Fringes with a bump, made a band of rows at a time so that making them
    leaves little behind in the process's peak memory."""
    stack = np.empty((len(steps), n, n), np.uint16)
    rng = np.random.default_rng(1)
    for top in range(0, n, 256):
        y, x = np.mgrid[top : min(top + 256, n), 0:n]
        phi = 2 * np.pi * (x * np.cos(0.3) + y * np.sin(0.3)) / 32 + 3 * np.exp(
            -((x - n / 2) ** 2 + (y - n / 2) ** 2) / (n / 4) ** 2)
        for k, s in enumerate(steps):
            stack[k, top : top + 256] = np.clip(
                np.round(30000 + 20000 * np.cos(phi + s) + rng.normal(0, 20, phi.shape)), 0, 65535)
    return stack


def gamma_frames(n, fringes=40):
    """Fringes of a tilt and a bump through a projector's response, I = full * s**2.2 of a
    sinusoid s in [0.1, 0.9]."""
    stack = np.empty((3, n, n), np.uint16)
    rng = np.random.default_rng(2)
    for top in range(0, n, 256):
        y, x = np.mgrid[top : min(top + 256, n), 0:n]
        phi = 2 * np.pi * fringes * (x * np.cos(0.3) + y * np.sin(0.3)) / n + 5 * np.exp(
            -((x - n / 2) ** 2 + (y - n / 3) ** 2) / (n / 4) ** 2)
        for k, s in enumerate((0, 1.7, 3.5)):
            level = 65535 * (0.5 + 0.4 * np.cos(phi + s)) ** 2.2 + rng.normal(0, 20, phi.shape)
            stack[k, top : top + 256] = np.clip(np.round(level), 0, 65535)
    return stack


def alternately(repeat, works):
    """Each work timed repeat times, the works taking turns: their times by name."""
    times = {name: [] for name in works}
    for _ in range(repeat):
        for name, work in works.items():
            times[name].append(_timed(work))
    return times


def spreads(times, width):
    """Each one's median and spread, a line each."""
    for name, t in times.items():
        print(f"  {name:{width}s} median {statistics.median(t):.3f} s ({min(t):.3f} to {max(t):.3f})")


def ratio(label, over, under):
    """The median and spread of the ratios of paired times."""
    ratios = [a / b for a, b in zip(over, under)]
    return f"  {label}: median {statistics.median(ratios):.2f} ({min(ratios):.2f} to {max(ratios):.2f})"


def harmonics_auto_against_off(n, repeat):
    stack = gamma_frames(n)
    times = alternately(repeat, {choice: (lambda c=choice: phaze.analyse(stack, harmonics=c))
                                 for choice in ("off", "auto")})
    r = phaze.analyse(stack, harmonics="auto")
    print(f"{n} x {n} uint16, gamma 2.2, 40 fringes: harmonics auto against off, {repeat} alternating runs")
    spreads(times, 4)
    print(ratio("auto/off", times["auto"], times["off"]) +
          f"; ripple removed: {r.report['harmonics']['removed']}, rms {r.report['harmonics']['ripple_rms']:.3f} rad")


def steps_given_against_estimated(n, repeat):
    """The same frames with their steps given and estimated, three and four of them."""
    for steps in ((0, 1.7, 3.5), (0, 1.5, 3.1, 4.6)):
        stack = frames(n, steps)
        times = alternately(repeat, {"estimated": lambda: phaze.analyse(stack),
                                     "given": lambda: phaze.analyse(stack, steps=steps)})
        print(f"{n} x {n} uint16, {len(steps)} frames: steps given against estimated, "
              f"{repeat} alternating runs")
        spreads(times, 9)
        print(ratio("given/estimated", times["given"], times["estimated"]))
        del stack


def synthetic_phase(n, noise):
    """The true and the wrapped phase of 40 fringes and a bump, n x n, with noise of the
    given rms (radians)."""
    y, x = np.mgrid[0:n, 0:n]
    true = 2 * np.pi * 40 * (x * np.cos(0.3) + y * np.sin(0.3)) / n + 6 * np.exp(
        -((x - 0.55 * n) ** 2 + (y - 0.5 * n) ** 2) / (0.15 * n) ** 2)
    return true, np.mod(true + np.random.default_rng(1).normal(0, noise, true.shape), 2 * np.pi)


def hole_and_cut(n):
    """A mask with a hole and a cut that leaves two regions, left and right."""
    mask = np.ones((n, n), bool)
    mask[n // 5 : n // 4, n // 8 : n // 2] = False
    mask[:, n // 2 - 4 : n // 2 + 4] = False
    return mask


def right_per_region(unwrapped, true, mask):
    """The lesser share, of the two regions of hole_and_cut, of pixels within pi of the true
    phase given one constant for the region."""
    n = mask.shape[1]
    shares = []
    for columns in (np.s_[:, : n // 2], np.s_[:, n // 2 :]):
        d = (unwrapped - true)[columns][mask[columns]]
        shares.append(np.mean(np.abs(d - np.median(d)) < np.pi))
    return min(shares)


def unwrapping_against_scikit_image(repeat):
    """phaze.unwrap beside scikit-image's unwrap_phase on a 2048 x 2048 phase with noise of
    0.1 rad, over a hole and a cut into two regions and over the whole phase; and phaze on that
    phase beside the same without noise."""
    try:
        from skimage.restoration import unwrap_phase
    except ImportError:
        print("spatial unwrapping: scikit-image is not installed, nothing to compare with")
        return
    n = 2048
    true, noisy = synthetic_phase(n, 0.1)
    _, clean = synthetic_phase(n, 0.0)
    mask = hole_and_cut(n)
    holed = np.where(mask, noisy, np.nan)
    masked = np.ma.masked_array(np.where(mask, noisy, 0), ~mask)
    times = alternately(repeat, {
        "phaze, hole and cut": lambda: phaze.unwrap(holed, mask),
        "scikit-image, hole and cut": lambda: unwrap_phase(masked),
        "phaze, whole": lambda: phaze.unwrap(noisy),
        "scikit-image, whole": lambda: unwrap_phase(noisy),
        "phaze, whole, no noise": lambda: phaze.unwrap(clean)})
    ours = right_per_region(phaze.unwrap(holed, mask), true, mask)
    theirs = right_per_region(unwrap_phase(masked).filled(np.nan), true, mask)
    print(f"{n} x {n} phase, 40 fringes and a bump, noise 0.1 rad, spatial unwrapping, "
          f"{repeat} alternating runs")
    spreads(times, 26)
    print(ratio("phaze/scikit-image, hole and cut", times["phaze, hole and cut"],
                times["scikit-image, hole and cut"]))
    print(ratio("phaze/scikit-image, whole", times["phaze, whole"], times["scikit-image, whole"]))
    print(ratio("phaze, noise/no noise", times["phaze, whole"], times["phaze, whole, no noise"]))
    print(f"  right, the worse of the two regions (hole and cut): phaze {ours:.4%}, "
          f"scikit-image {theirs:.4%}")


def numpy_arctan2():
    """numpy's version, the time of its arctan2 an element, and whether it ran vectorised:
    numpy dispatches arctan2 on float64 to SVML's AVX-512 code where the processor has
    AVX512_SKX (machines differ: without it numpy's classical formula is several times slower)."""
    try:
        from numpy._core._multiarray_umath import __cpu_features__ as features
    except ImportError:
        from numpy.core._multiarray_umath import __cpu_features__ as features
    y, x = np.random.default_rng(3).normal(size=(2, 1 << 22))
    best = min(_timed(lambda: np.arctan2(y, x)) for _ in range(5))
    how = "vectorised (AVX512_SKX)" if features.get("AVX512_SKX") else "not vectorised (no AVX512_SKX)"
    return f"numpy {np.__version__}: arctan2 {best / y.size * 1e9:.2f} ns an element, {how}"


def _timed(work):
    start = time.perf_counter()
    work()
    return time.perf_counter() - start


def high_water_kib():
    """The process's peak resident memory (VmHWM: ru_maxrss would carry the parent's over exec)."""
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))


def one_run(n, count):
    """In a process of its own: the time of one analysis and the process's peak memory."""
    stack = frames(n, (0, 1.3, 2.9, 4.4)[:count] if count == 4 else (0, 1.7, 3.5))
    before = high_water_kib()
    start = time.perf_counter()
    phaze.analyse(stack)
    seconds = time.perf_counter() - start
    peak = high_water_kib()
    print(json.dumps({"seconds": seconds, "frames_kib": stack.nbytes / 1024, "before_kib": before,
                      "peak_kib": peak}))


def four_against_three(n, repeat):
    runs = {3: [], 4: []}
    for _ in range(repeat):
        for count in (3, 4):
            out = subprocess.run([sys.executable, __file__, "--one-run", str(count), "--size", str(n)],
                                 check=True, capture_output=True, text=True).stdout
            runs[count].append(json.loads(out))
    print(f"{n} x {n} uint16, four frames against three, {repeat} alternating runs each (a process each)")
    for count in (3, 4):
        t = [r["seconds"] for r in runs[count]]
        grown = [(r["peak_kib"] - r["before_kib"]) / 1024 for r in runs[count]]
        print(f"  {count} frames: median {statistics.median(t):.3f} s ({min(t):.3f} to {max(t):.3f}), "
              f"memory the analysis added: median {statistics.median(grown):.0f} MiB")
    ratios = [f["seconds"] / t["seconds"] for f, t in zip(runs[4], runs[3])]
    print(f"  4/3 frames time: median {statistics.median(ratios):.2f} ({min(ratios):.2f} to {max(ratios):.2f})")
    peak3 = statistics.median(r["peak_kib"] for r in runs[3])
    peak4 = statistics.median(r["peak_kib"] for r in runs[4])
    frame = runs[4][0]["frames_kib"] / 4
    print(f"  peak memory: 3 frames {peak3 / 1024:.0f} MiB, 4 frames {peak4 / 1024:.0f} MiB; "
          f"grown by {(peak4 - peak3) / 1024:.0f} MiB, the fourth frame is {frame / 1024:.0f} MiB")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=4096)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--unwrapping", action="store_true", help="only spatial unwrapping")
    parser.add_argument("--harmonics", action="store_true", help="only harmonics auto against off")
    parser.add_argument("--steps", action="store_true", help="only steps given against estimated")
    parser.add_argument("--one-run", type=int, default=0, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one_run:
        one_run(args.size, args.one_run)
        return
    if args.unwrapping:
        unwrapping_against_scikit_image(args.repeat)
        return
    if args.harmonics:
        harmonics_auto_against_off(args.size, args.repeat)
        return
    if args.steps:
        steps_given_against_estimated(args.size, args.repeat)
        return
    n = args.size
    stack = frames(n, (0, 1.7, 3.5))
    times = alternately(args.repeat, {"numpy classical": lambda: classical(stack),
                                      "phaze.analyse": lambda: phaze.analyse(stack)})
    print(f"{n} x {n} uint16 stack, {args.repeat} alternating runs each; {numpy_arctan2()}")
    spreads(times, 16)
    print(ratio("phaze/numpy", times["phaze.analyse"], times["numpy classical"]))
    del stack
    four_against_three(n, args.repeat)
    harmonics_auto_against_off(n, args.repeat)
    steps_given_against_estimated(n, args.repeat)
    unwrapping_against_scikit_image(args.repeat)


if __name__ == "__main__":
    main()
