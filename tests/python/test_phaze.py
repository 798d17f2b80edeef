"""The phaze module on generated frames with a known phase, its argument checks,
and its phase beside the phaze command's float TIFF."""

import os
import subprocess

import numpy as np
import pytest

import phaze

STEPS = (0.0, 1.7, 3.5)


def fringes(dtype, shape=(120, 160), background=None, contrast=None, noise=0.0, seed=1):
    """Three frames I_k = A + B cos(phi + step_k) + noise, and phi."""
    top = {np.uint8: 255, np.uint16: 65535}.get(dtype, 1.0)
    a = background if background is not None else 0.45 * top
    b = contrast if contrast is not None else 0.35 * top
    y, x = np.mgrid[0 : shape[0], 0 : shape[1]]
    phi = 2 * np.pi * (x * np.cos(0.4) + y * np.sin(0.4)) / 23
    rng = np.random.default_rng(seed)
    frames = np.stack([a + b * np.cos(phi + s) + rng.normal(0, noise, phi.shape) for s in STEPS])
    if dtype in (np.uint8, np.uint16):
        frames = np.clip(np.round(frames), 0, top)
    return frames.astype(dtype), phi, b


def rms_error(phase, phi, mask):
    """Rms distance of phase from -phi + c over the valid pixels."""
    d = np.angle(np.exp(1j * (phase + phi)))[mask]
    d = np.angle(np.exp(1j * (d - np.angle(np.mean(np.exp(1j * d))))))
    return float(np.sqrt(np.mean(d**2)))


@pytest.mark.parametrize(
    "dtype, noise, max_rms",
    [(np.uint8, 1.0, 0.02), (np.uint16, 20.0, 0.002), (np.float32, 3e-4, 0.002), (np.float64, 3e-4, 0.002)],
)
def test_known_phase_steps_and_mask(dtype, noise, max_rms):
    frames, phi, contrast = fringes(dtype, noise=noise)
    frames[:, 40:60, 50:90] = frames[0, 40:60, 50:90].mean().astype(dtype)  # no fringes there
    r = phaze.analyse(frames)
    expected = np.ones(phi.shape, bool)
    expected[40:60, 50:90] = False
    assert r.phase.shape == phi.shape and r.phase.dtype == np.float64
    assert r.modulation.dtype == np.float32 and r.mask.dtype == np.bool_
    np.testing.assert_array_equal(r.mask, expected)
    assert np.isnan(r.phase[~r.mask]).all() and np.isfinite(r.phase[r.mask]).all()
    assert rms_error(r.phase, phi, r.mask) < max_rms
    # Ascending steps give -phi, so the steps found are the true ones negated.
    assert r.steps[0] == 0
    assert np.abs(np.angle(np.exp(1j * (r.steps + np.array(STEPS))))).max() < 0.01
    assert abs(r.report["modulation"] - contrast) < 0.02 * contrast
    assert r.report["sample_type"] == np.dtype(dtype).name


def test_a_stack_three_arrays_and_strided_views_agree():
    big, _, _ = fringes(np.uint16, shape=(140, 200), noise=20)
    stack = big[:, 10:130, 20:180]  # rows strided: read in place
    copies = [np.ascontiguousarray(f) for f in stack]
    reference = phaze.analyse(copies).phase
    np.testing.assert_array_equal(phaze.analyse(stack).phase, reference)
    np.testing.assert_array_equal(phaze.analyse(list(stack)).phase, reference)
    np.testing.assert_array_equal(phaze.analyse(tuple(stack)).phase, reference)
    # Samples that are not next to each other in a row are copied first.
    wide = np.repeat(big, 2, axis=2)[:, 10:130, 40:360:2]
    np.testing.assert_array_equal(phaze.analyse(wide).phase, reference)


@pytest.mark.parametrize(
    "frames, kwargs, error, says",
    [
        (np.zeros((2, 8, 8), np.uint8), {}, ValueError, "shape (3, H, W)"),
        ([np.zeros((8, 8), np.uint8)] * 2, {}, ValueError, "three frames"),
        ([np.zeros((8, 8), np.uint8), np.zeros((8, 9), np.uint8), np.zeros((8, 8), np.uint8)], {}, ValueError, "one shape"),
        ([np.zeros((8, 8), np.uint8), np.zeros((8, 8), np.uint16), np.zeros((8, 8), np.uint8)], {}, TypeError, "one dtype"),
        (np.zeros((3, 8, 8), np.int32), {}, TypeError, "int32"),
        (np.zeros((3, 8), np.uint8), {}, ValueError, "shape (3, H, W)"),
        (np.zeros((3, 2, 2), np.uint8), {}, ValueError, "at least 5 pixels"),
        (np.zeros((3, 8, 8), np.uint8), {"device": "gpu"}, ValueError, "'auto', 'cpu' or 'cuda'"),
        (np.zeros((3, 8, 8), np.uint8), {"saturation": -1}, ValueError, "saturation"),
        (np.zeros((3, 8, 8), np.uint8), {"min_modulation": 10**400}, ValueError, "finite number"),
        (np.zeros((3, 8, 8), np.uint8), {"min_modulation": "5"}, TypeError, "must be a number, not '5'"),
        (np.zeros((3, 0, 5), np.uint8), {}, ValueError, "has no pixels"),
        (np.stack([np.arange(64, dtype=np.uint8).reshape(8, 8)] * 2 + [np.zeros((8, 8), np.uint8)]), {},
         ValueError, "hold no phase"),
    ],
)
def test_bad_arguments_raise(frames, kwargs, error, says):
    with pytest.raises(error, match=None) as caught:
        phaze.analyse(frames, **kwargs)
    assert says in str(caught.value)


def test_phase_equals_the_commands_float_tiff(tmp_path):
    command = os.environ.get("PHAZE_COMMAND")
    if not command:
        pytest.skip("PHAZE_COMMAND names the phaze command to compare with")
    tifffile = pytest.importorskip("tifffile")
    frames, _, _ = fringes(np.uint16, noise=20)
    frames[:, :5, :] = 0  # a dark band, masked by both
    names = [str(tmp_path / f"I{k + 1}.tiff") for k in range(3)]
    for name, frame in zip(names, frames):
        tifffile.imwrite(name, frame)
    subprocess.run([command, "-q", "-o", str(tmp_path / "r"), *names], check=True)
    from_command = tifffile.imread(tmp_path / "r_phase.tiff")
    np.testing.assert_array_equal(phaze.analyse(frames).phase.astype(np.float32), from_command)
