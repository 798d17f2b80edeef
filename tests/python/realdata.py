"""The real captures of ../shared/realdata/cfpe-12step, and a reference absolute phase of
each scene made from all 36 of its frames, for tests that score an unwrapping against it."""

import functools
import os
from collections import namedtuple

import numpy as np
import pytest

REALDATA = os.path.join(os.path.dirname(__file__), "..", "..", "..", "shared", "realdata", "cfpe-12step")
SCENES = ("01", "04", "06", "08")
PERIODS = (42, 45, 48)  # projector pixels; frames 12 f + k are period f's, step 2 pi k / 12


def bmp_frame(path):
    """An 8-bit palette BMP as gray levels."""
    import struct
    data = open(path, "rb").read()
    offset, = struct.unpack_from("<I", data, 10)
    header, width, height = struct.unpack_from("<Iii", data, 14)
    colours = struct.unpack_from("<I", data, 46)[0] or 256
    palette = np.frombuffer(data, np.uint8, 4 * colours, 14 + header).reshape(-1, 4)[:, 0]
    row = (width + 3) // 4 * 4
    rows = np.frombuffer(data, np.uint8, row * abs(height), offset).reshape(abs(height), row)
    gray = palette[rows[:, :width]]
    return gray[::-1] if height > 0 else gray


def needs_real_captures():
    if not os.path.isdir(REALDATA):
        pytest.skip(f"no real captures at {REALDATA}")


def period_sets():
    """Each scene's twelve frames of each period and their 12-step phase: (scene, period
    index, frames, phase)."""
    needs_real_captures()
    for scene in SCENES:
        for f in range(3):
            frames = scene_frames(scene, range(12 * f, 12 * f + 12))
            yield scene, f, frames, twelve_step(frames.astype(np.float64))[0]


def scene_frames(scene, indices):
    """Frames CCSSh.bmp of scene CC, SS in indices, as a (len(indices), 480, 640) uint8 stack."""
    return np.stack([bmp_frame(os.path.join(REALDATA, f"{scene}{k:02d}h.bmp")) for k in indices])


def twelve_step(frames):
    """The least-squares phase phi of I_k = A + B cos(phi + 2 pi k / 12), k = 0..11, in
    (-pi, pi], and the modulation B."""
    steps = 2 * np.pi * np.arange(12) / 12
    c = np.tensordot(np.cos(steps), frames, 1)  # 6 B cos(phi)
    s = np.tensordot(np.sin(steps), frames, 1)  # -6 B sin(phi)
    return np.arctan2(-s, c), np.hypot(c, s) / 6


def _wrapped(angle):
    return np.angle(np.exp(1j * angle))


Reference = namedtuple("Reference", "phase trusted candidates")


@functools.lru_cache(maxsize=None)  # the arrays are shared: do not change them
def reference_phase(scene, min_modulation=20, margin=1.0):
    """The absolute phase of period 42 of a scene (as frame k = A + B cos(phase + 2 pi k / 12)
    has it; one constant for the whole scene), from the 12-step phases of its three periods
    through their beats: 42/45 (630 px) and 45/48 (720 px), their beat (5040 px, a third of a
    fringe across the scene) centred on its circular mean so that it does not wrap there; the
    orders of the 630-px beat from the 5040-px one, then those of the 42-px phase from the
    630-px beat. candidates: every period's modulation over min_modulation and no sample of
    the 36 saturated; trusted: candidates where both order decisions have a margin (the scaled
    coarser phase within margin rad of the finer one's nearest order)."""
    frames = scene_frames(scene, range(36)).astype(np.float64)
    candidates = ~(frames == 255).any(axis=0)
    phases = []
    for f in range(3):
        phase, modulation = twelve_step(frames[12 * f : 12 * f + 12])
        phases.append(phase)
        candidates &= modulation > min_modulation
    beat_630 = _wrapped(phases[0] - phases[1])
    beat_720 = _wrapped(phases[1] - phases[2])
    beat_5040 = _wrapped(beat_630 - beat_720)
    centre = np.angle(np.exp(1j * beat_5040[candidates]).mean())
    beat_5040 = centre + _wrapped(beat_5040 - centre)  # continuous over the scene

    def with_orders(coarse, ratio, fine):
        scaled = coarse * ratio
        absolute = fine + 2 * np.pi * np.round((scaled - fine) / (2 * np.pi))
        return absolute, np.abs(scaled - absolute) < margin

    absolute_630, sure_630 = with_orders(beat_5040, 5040 / 630, beat_630)
    absolute_42, sure_42 = with_orders(absolute_630, 630 / 42, phases[0])
    return Reference(absolute_42, candidates & sure_630 & sure_42, candidates)


def right_share(unwrapped, reference, mask):
    """Share of the pixels of mask where unwrapped is within pi of the reference given one
    constant for each 4-connected region of the valid pixels of unwrapped (and one sign for
    the whole phase: a phase from unknown steps may run either way). mask: the pixels scored."""
    from scipy.ndimage import label
    valid = np.isfinite(unwrapped)
    regions, count = label(valid)  # 4-connected: the default structure
    scored = mask & valid
    region = regions[scored]
    best = 0
    for sign in (1, -1):
        difference = (unwrapped - sign * reference)[scored]
        # Each region's constant: the angle of its differences, then their commonest turn.
        cosines = np.bincount(region, np.cos(difference), count + 1)
        sines = np.bincount(region, np.sin(difference), count + 1)
        offset = np.arctan2(sines, cosines)[region]
        turns = np.round((difference - offset) / (2 * np.pi)).astype(np.int64)
        pairs, votes = np.unique(np.stack([region, turns]), axis=1, return_counts=True)
        commonest = np.zeros(count + 1, np.int64)
        by_votes = np.argsort(votes, kind="stable")  # the last vote of a region wins
        commonest[pairs[0, by_votes]] = pairs[1, by_votes]
        right = np.count_nonzero(turns == commonest[region])
        best = max(best, right)
    return best / np.count_nonzero(scored)
