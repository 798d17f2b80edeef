"""Fringe frames made for the tests over a phase of their choice, and the measures that
score a phase against its truth."""

import numpy as np


def tilt_and_bump(shape=(240, 320), fringes_across=12.0, angle=0.3, bump=2.5):
    """fringes_across fringes over the width at angle, bent by a bump right of the centre."""
    height, width = shape
    y, x = np.mgrid[0:height, 0:width].astype(float)
    return 2 * np.pi * fringes_across * (x * np.cos(angle) + y * np.sin(angle)) / width + bump * np.exp(
        -((x - 0.55 * width) ** 2 + (y - 0.5 * height) ** 2) / (0.15 * width) ** 2)


def fringe_frames(phi, steps, dtype=np.uint16, noise=20.0, seed=1, background=0.45, contrast=0.35, gamma=None,
                  scale=1.0):
    """Frames top (background + contrast cos(phi + step)) + noise, top the full scale of dtype (1
    for floats); with gamma, top scale (0.5 + 0.4 cos(phi + step))**gamma, a projector's response.
    Integer samples are rounded and clipped."""
    top = {np.uint8: 255, np.uint16: 65535}.get(dtype, 1.0)
    rng = np.random.default_rng(seed)
    frames = []
    for step in steps:
        wave = np.cos(phi + step)
        level = top * scale * (0.5 + 0.4 * wave) ** gamma if gamma else top * (background + contrast * wave)
        frames.append(level + rng.normal(0, noise, np.shape(phi)))
    frames = np.stack(frames)
    return (np.clip(np.round(frames), 0, top) if top != 1.0 else frames).astype(dtype)


def known_step_phase(frames, steps):
    """The least-squares phase for known steps: I_k = A + X cos s_k - Y sin s_k, in (-pi, pi]."""
    steps = np.asarray(steps)
    design = np.stack([np.ones_like(steps), np.cos(steps), -np.sin(steps)], 1)
    solved = np.linalg.pinv(design) @ frames.reshape(len(steps), -1).astype(float)
    return np.arctan2(solved[2], solved[1]).reshape(frames.shape[1:])


def spread(phase, reference, mask):
    """Rms distance of phase from +-reference + c over mask, the better sign."""
    def one(sign):
        d = np.angle(np.exp(1j * (phase - sign * reference)))[mask]
        d = np.angle(np.exp(1j * (d - np.angle(np.mean(np.exp(1j * d))))))
        return float(np.sqrt(np.mean(d**2)))
    return min(one(1), one(-1))


def orders_right(phase, truth, scored=None):
    """(share of the scored pixels, all by default, within pi of the truth given one constant
    and one sign for the whole phase; share of the valid ones among them that are not). A
    masked pixel (NaN) is not right."""
    scored = np.ones(np.shape(truth), bool) if scored is None else scored
    best = (0.0, 1.0)
    for sign in (1, -1):
        d = sign * phase - truth
        valid = scored & np.isfinite(d)
        if not valid.any():
            continue
        centre = np.angle(np.mean(np.exp(1j * d[valid])))
        turns = np.round((d[valid] - centre) / (2 * np.pi))
        values, counts = np.unique(turns, return_counts=True)
        right = np.abs(d[valid] - centre - 2 * np.pi * values[np.argmax(counts)]) < np.pi
        best = max(best, (right.sum() / scored.sum(), 1 - right.mean()))
    return best
