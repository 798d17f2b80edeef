"""Spatial unwrapping: phaze.unwrap on synthetic phases against their truth, the same
result whatever the thread count, and on the real captures against a reference absolute
phase, beside scikit-image."""

import os
import subprocess
import sys

import numpy as np
import pytest

import phaze
import realdata
from phaze import _phaze
from synthetic import tilt_and_bump

ndimage = pytest.importorskip("scipy.ndimage")


def bump_phase(n, noise):
    """The true phase of 40 fringes and a bump, n x n, and the wrapped phase with noise."""
    true = tilt_and_bump((n, n), 40, bump=6)
    return true, np.mod(true + np.random.default_rng(1).normal(0, noise, true.shape), 2 * np.pi)


def test_a_noisy_phase_over_a_hole_and_two_regions():
    true, wrapped = bump_phase(2048, 0.1)
    mask = np.ones(true.shape, bool)
    mask[409:512, 256:1024] = False  # a hole
    mask[:, 1020:1028] = False  # a cut: two regions, left and right
    wrapped[~mask] = np.nan
    unwrapped, regions = _phaze.unwrap(wrapped, mask.astype(np.uint8), None)
    assert regions == 2
    assert unwrapped.dtype == np.float64
    assert np.isnan(unwrapped[~mask]).all() and np.isfinite(unwrapped[mask]).all()
    # One constant a region; over both halves, as 99.99% of each.
    assert realdata.right_share(unwrapped, true, mask) >= 0.99995
    # A modulation weighs in without spoiling it.
    weighed = phaze.unwrap(wrapped, mask, np.full(mask.shape, 1000, np.float32))
    assert realdata.right_share(weighed, true, mask) >= 0.99995
    # Values far beyond one turn are taken as their wrapped selves.
    far = phaze.unwrap(wrapped + 2 * np.pi * 1e9, mask)
    np.testing.assert_allclose(far[mask], unwrapped[mask], atol=1e-4)


@pytest.mark.parametrize("height, width, masked", [
    (1, 300, 0.0), (300, 1, 0.2), (64, 64, 0.0), (65, 129, 0.3), (200, 131, 0.45), (130, 300, 0.38)])
def test_a_phase_without_residues_is_exact_in_every_region(height, width, masked):
    """Where no loop of four pixels holds a residue every order of joins gives the truth, so
    each 4-connected region (many small ones near 45% masked, across tiles of the join)
    comes out as the truth plus one constant of its own."""
    y, x = np.mgrid[0:height, 0:width]
    true = 0.9 * x + 0.4 * y + 2 * np.sin(x / 9.0) * np.cos(y / 7.0)  # steps under pi
    mask = np.random.default_rng(height * width).random(true.shape) >= masked
    unwrapped, regions = _phaze.unwrap(np.mod(true, 2 * np.pi), mask.astype(np.uint8), None)
    labels, count = ndimage.label(mask)
    assert regions == count
    offset = unwrapped - true
    each = np.arange(1, count + 1)
    spread = ndimage.maximum(offset, labels, each) - ndimage.minimum(offset, labels, each)
    assert np.max(spread) < 1e-9
    assert np.isnan(unwrapped[~mask]).all()


THREADS_SCRIPT = """
import sys
import numpy as np
import phaze
phase, mask = np.load(sys.argv[1]), np.load(sys.argv[2])
np.save(sys.argv[3], phaze.unwrap(phase, mask))
"""


def test_the_same_result_whatever_the_thread_count(tmp_path):
    true, wrapped = bump_phase(1000, 0.8)  # noisy enough that the order of joins matters
    mask = np.random.default_rng(2).random(true.shape) >= 0.1
    np.save(tmp_path / "phase.npy", wrapped)
    np.save(tmp_path / "mask.npy", mask)
    here = phaze.unwrap(wrapped, mask)
    for threads in (1, 3):
        out = tmp_path / f"unwrapped{threads}.npy"
        subprocess.run([sys.executable, "-c", THREADS_SCRIPT, str(tmp_path / "phase.npy"),
                        str(tmp_path / "mask.npy"), str(out)], check=True,
                       env=dict(os.environ, OMP_NUM_THREADS=str(threads)))
        assert np.array_equal(np.load(out), here, equal_nan=True), threads


@pytest.mark.parametrize("scene", realdata.SCENES)
def test_the_reference_of_the_real_captures_is_absolute_and_mostly_trusted(scene):
    realdata.needs_real_captures()
    reference = realdata.reference_phase(scene)
    trusted = reference.trusted.sum() / reference.candidates.sum()
    assert 0.99 <= trusted < 0.9995, trusted  # 99.2-99.9% here
    # About 20 camera pixels a fringe, 35 fringes across, and no wraps left.
    pairs = reference.trusted[:, 1:] & reference.trusted[:, :-1]
    steps = np.diff(reference.phase, axis=1)[pairs]
    assert 0.25 < np.median(steps) < 0.4 and np.mean(np.abs(steps) < np.pi) > 0.999
    span = np.subtract(*np.percentile(reference.phase[reference.trusted], [99, 1]))
    assert 180 < span < 260, span


@pytest.mark.parametrize("scene", realdata.SCENES)
def test_real_captures_unwrapped_as_well_as_by_scikit_image(scene):
    """Frames {0, 4, 8} of period 42 with default options, scored against the reference:
    right at least as often as scikit-image on the same phase and mask, less 0.1%. Both
    stay well under 100% on scenes whose true jumps no spatial method can see."""
    realdata.needs_real_captures()
    unwrap_phase = pytest.importorskip("skimage.restoration").unwrap_phase
    reference = realdata.reference_phase(scene)
    r = phaze.analyse(realdata.scene_frames(scene, (0, 4, 8)))
    scored = reference.trusted & r.mask
    theirs = unwrap_phase(np.ma.masked_array(np.nan_to_num(r.phase), ~r.mask)).filled(np.nan)
    baseline = realdata.right_share(theirs, reference.phase, scored)
    ours = realdata.right_share(phaze.unwrap(r.phase, r.mask), reference.phase, scored)
    assert ours >= baseline - 0.001, (scene, ours, baseline)


@pytest.mark.parametrize(
    "make, error, says",
    [
        (lambda m: m.astype(np.int64), None, None),
        (lambda m: m.astype(">i2"), None, None),
        (lambda m: np.asfortranarray(m), None, None),
        (lambda m: m.astype(np.float64) * 0.5, TypeError, "the mask must be booleans (or integers 0 and 1)"),
        (lambda m: np.where(m, 1.0, np.nan), TypeError, "the mask must be booleans"),
        (lambda m: m.astype(np.int32) * 256, ValueError, "the mask must hold only True and False (or 0 and 1)"),
        (lambda m: m.astype(np.uint8) + 1, ValueError, "only True and False"),
    ],
)
def test_unwrapping_takes_a_mask_of_booleans(make, error, says):
    y, x = np.mgrid[0:40, 0:50]
    mask = (x - 20) ** 2 + (y - 20) ** 2 > 25  # a hole
    wrapped = np.where(mask, np.mod(0.7 * x + 0.2 * y, 2 * np.pi), np.nan)
    if error is None:
        np.testing.assert_array_equal(phaze.unwrap(wrapped, make(mask)), phaze.unwrap(wrapped, mask))
        return
    with pytest.raises(error) as caught:
        phaze.unwrap(wrapped, make(mask))
    assert says in str(caught.value)
