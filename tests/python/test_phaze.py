"""The phaze module on generated frames with a known phase, its argument checks,
N frames, the harmonics, and unwrapping across periods (in space: test_unwrap.py)."""

import numpy as np
import pytest

import phaze
import realdata
from synthetic import fringe_frames, known_step_phase, spread, tilt_and_bump

STEPS = (0.0, 1.7, 3.5)
TWELVE = 2 * np.pi * np.arange(12) / 12  # the steps of the real captures


def fringes(dtype, shape=(120, 160), noise=0.0, steps=STEPS, **options):
    """Frames of straight fringes 23 pixels apart, and their phase."""
    phi = tilt_and_bump(shape, shape[1] / 23, 0.4, bump=0)
    return fringe_frames(phi, steps, dtype, noise, **options), phi


@pytest.mark.parametrize("dtype, noise", [(np.uint8, 1.0), (np.uint16, 20.0), (np.float32, 3e-4), (np.float64, 3e-4)])
def test_each_sample_type_in_and_the_results_out(dtype, noise):
    """The phase, mask, steps and modulation are the C++ library test's; here each dtype reaches
    the library as its samples, and the results come back as arrays of their own dtypes."""
    frames, phi = fringes(dtype, noise=noise)
    r = phaze.analyse(frames)
    assert r.phase.shape == phi.shape and r.phase.dtype == np.float64 and r.mask.dtype == np.bool_
    assert r.modulation.dtype == np.float32 and r.mask.all() and r.steps.dtype == np.float64
    assert spread(r.phase, phi, r.mask) < 0.02
    assert r.report["sample_type"] == np.dtype(dtype).name


def test_a_stack_three_arrays_and_strided_views_agree():
    big, _ = fringes(np.uint16, shape=(140, 200), noise=20)
    stack = big[:, 10:130, 20:180]  # rows strided: read in place
    copies = [np.ascontiguousarray(f) for f in stack]
    reference = phaze.analyse(copies).phase
    np.testing.assert_array_equal(phaze.analyse(stack).phase, reference)
    np.testing.assert_array_equal(phaze.analyse(list(stack)).phase, reference)
    np.testing.assert_array_equal(phaze.analyse(tuple(stack)).phase, reference)
    # Samples that are not next to each other in a row are copied first.
    wide = np.repeat(big, 2, axis=2)[:, 10:130, 40:360:2]
    np.testing.assert_array_equal(phaze.analyse(wide).phase, reference)
    # Samples in the other byte order are read as their values.
    np.testing.assert_array_equal(phaze.analyse(stack.astype(stack.dtype.newbyteorder(">"))).phase, reference)
    # One row through a new axis (its stride 0) is as good as a copy.
    row = big[:, 70, :]
    copied = [np.array(f).reshape(1, -1) for f in row]
    np.testing.assert_array_equal(phaze.analyse(row[:, None, :]).phase, phaze.analyse(copied).phase)


@pytest.mark.parametrize(
    "frames, kwargs, error, says",
    [
        (np.zeros((2, 8, 8), np.uint8), {}, ValueError, "3 to 32 frames of one scene, not 2"),
        (np.zeros((33, 8, 8), np.uint8), {}, ValueError, "3 to 32 frames of one scene, not 33"),
        ([np.zeros((8, 8), np.uint8)] * 2, {}, ValueError, "not 2"),
        ([np.zeros((8, 8), np.uint8), np.zeros((8, 9), np.uint8), np.zeros((8, 8), np.uint8)], {}, ValueError, "one shape"),
        ([np.zeros((8, 8), np.uint8), np.zeros((8, 8), np.uint16), np.zeros((8, 8), np.uint8)], {}, TypeError, "one dtype"),
        (np.zeros((3, 8, 8), np.int32), {}, TypeError, "uint8, uint16, float32 or float64"),
        ([np.zeros(8, np.uint8)] * 3, {}, ValueError, "must be 2-D"),
        (np.zeros((3, 2, 2), np.uint8), {}, ValueError, "at least 5 pixels"),
        (np.zeros((3, 8, 8), np.uint8), {"harmonics": "on"}, ValueError, "'auto' or 'off'"),
        (np.zeros((3, 8, 8), np.uint8), {"device": "gpu"}, ValueError, "'auto', 'cpu' or 'cuda'"),
        (np.zeros((3, 8, 8), np.uint8), {"saturation": -1}, ValueError, "saturation"),
        (np.zeros((3, 8, 8), np.uint8), {"min_modulation": 10**400}, ValueError, "finite number"),
        (np.zeros((3, 8, 8), np.uint8), {"min_modulation": "5"}, TypeError, "must be a number, not '5'"),
        (np.zeros((3, 0, 5), np.uint8), {}, ValueError, "has no pixels"),
        (np.stack([np.arange(64, dtype=np.uint8).reshape(8, 8)] * 2 + [np.zeros((8, 8), np.uint8)]), {},
         ValueError, "hold no phase"),
        (np.zeros((3, 8, 8), np.uint8), {"steps": (0.0, 1.0)}, ValueError, "2 steps given for 3 frames"),
        (np.zeros((3, 8, 8), np.uint8), {"steps": (0.0, 1.0, 1.0)}, ValueError, "are equal"),
        (np.zeros((3, 8, 8), np.uint8), {"steps": "0,90,180"}, TypeError, "not a string"),
        (np.zeros((3, 8, 8), np.uint8), {"steps": [[0.0, 1.0, 2.0]] * 2}, ValueError, "one array of numbers"),
    ],
)
def test_bad_arguments_raise(frames, kwargs, error, says):
    with pytest.raises(error, match=None) as caught:
        phaze.analyse(frames, **kwargs)
    assert says in str(caught.value)


@pytest.mark.parametrize(
    "steps, within",
    [
        ((0.0, 1.3, 2.9, 4.4), 1.1),
        ((0.0, 1.1, 2.0, 3.3, 4.1), 1.1),
        (tuple(np.sort(np.random.default_rng(7).uniform(0, 2 * np.pi, 8))), 1.1),
        (tuple(2 * np.pi * np.arange(4) / 4), 1.05),  # the classical four-step formula
        (tuple(2 * np.pi * np.arange(6) / 6), 1.05),
    ],
)
def test_n_frames_with_unknown_steps_match_the_known_step_solve(steps, within):
    steps = np.array(steps) - steps[0]
    frames, phi = fringes(np.uint16, (240, 320), 20, steps, background=30000 / 65535, contrast=20000 / 65535)
    r = phaze.analyse(frames)
    assert r.steps.shape == (len(steps),) and len(r.report["steps"]) == len(steps)
    assert np.abs(np.angle(np.exp(1j * (r.steps + steps)))).max() < 0.01  # ascending: negated
    known = spread(known_step_phase(frames, steps), phi, r.mask)
    assert spread(r.phase, phi, r.mask) <= within * known
    assert r.report["warnings"] == []


def test_real_captures_of_four_and_five_frames_match_the_known_step_solve():
    for scene, f, frames, reference in realdata.period_sets():
        for chosen in ((0, 3, 6, 9), (0, 2, 5, 7, 10)):
            subset = frames[list(chosen)]
            r = phaze.analyse(subset, min_modulation=20)
            known = spread(known_step_phase(subset, TWELVE[list(chosen)]), reference, r.mask)
            assert spread(r.phase, reference, r.mask) <= 1.1 * known, (scene, f, chosen)


def shifted(frame, dx, dy):
    """frame moved by (dx, dy) pixels, its first row and column repeated into the gap."""
    moved = np.roll(frame, (dy, dx), axis=(0, 1))
    if dx > 0:
        moved[:, :dx] = frame[:, :1]
    if dy > 0:
        moved[:dy, :] = frame[:1, :]
    return moved


def test_real_sets_warn_when_a_frame_does_not_belong_and_only_then():
    scenes, references = {}, {}
    for scene, f, frames, phase in realdata.period_sets():
        scenes.setdefault(scene, []).append(frames)
        references[scene, f] = phase
    doubts = lambda r: [w for w in r.report["warnings"] if "ripple" not in w]
    # Good subsets of every scene and period: no warning but the harmonics' own.
    for case, periods in scenes.items():
        for f, frames in enumerate(periods):
            for chosen in ((0, 4, 8), (0, 3, 6), (0, 2, 7), (0, 5, 6), (0, 3, 6, 9), (0, 2, 5, 7, 10)):
                r = phaze.analyse(frames[list(chosen)], min_modulation=20)
                assert doubts(r) == [], (case, f, chosen, doubts(r))
    # Frames {0, 4, 8} of the first period with frame 2 replaced, or frame 1 moved:
    # a wrong phase (over 0.2 rad from the 12-frame one) always comes with a warning.
    silent = []
    for n, (case, periods) in enumerate(scenes.items()):
        frames = periods[0]
        reference = references[case, 0]
        other = scenes[realdata.SCENES[(n + 1) % 4]][0]
        broken = {"black": (1, np.zeros_like(frames[4])), "other scene": (1, other[4]),
                  "other period": (1, periods[1][4]), "upside down": (1, frames[4][::-1]),
                  "frame 1 moved 5 px": (0, shifted(frames[0], 5, 0))}
        for dx, dy in ((1, 0), (3, 0), (0, 3), (5, 5), (10, 0)):
            broken[f"moved {dx},{dy}"] = (1, shifted(frames[4], dx, dy))
        for name, (index, frame) in broken.items():
            subset = frames[[0, 4, 8]].copy()
            subset[index] = frame
            r = phaze.analyse(subset, min_modulation=20)
            if spread(r.phase, reference, r.mask) > 0.2 and not doubts(r):
                silent.append((case, name))
        # Among five frames, one that carries no fringes.
        five = frames[[0, 2, 5, 7, 10]].copy()
        five[1] = int(five[1].mean())
        assert doubts(phaze.analyse(five, min_modulation=20)), case
    assert len(silent) <= 4, silent


def with_border(frames, width, level):
    """frames with a border width pixels wide at level, as a dark surround shows."""
    for edge in (np.s_[:, :width], np.s_[:, -width:], np.s_[:, :, :width], np.s_[:, :, -width:]):
        frames[edge] = level
    return frames


@pytest.mark.parametrize("fringes_across, dtype, noise",
                         [(12, np.uint16, 20), (4, np.uint16, 20), (1.3, np.uint16, 20), (12, np.uint8, 1),
                          (1.3, np.uint8, 1)])
def test_harmonics_leave_sinusoidal_fringes_alone(fringes_across, dtype, noise):
    frames = fringe_frames(tilt_and_bump(fringes_across=fringes_across), STEPS, dtype, noise)
    auto, off = phaze.analyse(frames, harmonics="auto"), phaze.analyse(frames, harmonics="off")
    assert not auto.report["harmonics"]["removed"]
    np.testing.assert_array_equal(auto.phase, off.phase)


@pytest.mark.parametrize("fringes_across, limit", [(12, 0.03), (4, 0.05), (1.3, None)])
def test_harmonics_remove_a_gamma_ripple(fringes_across, limit):
    phi = tilt_and_bump(fringes_across=fringes_across)
    frames = fringe_frames(phi, STEPS, gamma=2.2)
    auto, off = phaze.analyse(frames), phaze.analyse(frames, harmonics="off")  # auto is the default
    error = spread(auto.phase, phi, auto.mask)
    assert error <= (limit if limit else spread(off.phase, phi, off.mask))
    if limit:
        assert auto.report["harmonics"]["removed"] and auto.report["harmonics"]["ripple_rms"] > 0.1
        assert auto.report["harmonics"]["outcome"] == "removed"
    if fringes_across == 12:  # a dark border and clipped peaks change little
        hard = phaze.analyse(with_border(np.minimum(frames, 49151), 24, 1311))
        assert spread(hard.phase, phi, hard.mask) <= max(1.1 * error, 0.01)


def projector_scene(kind, shape=(480, 640), steps=(0.0, 2 * np.pi / 3, 4 * np.pi / 3), fringes=16, scale=1.0,
                    border=0, seed=2):
    """16-bit frames of a projector's response, gamma 2.2, noise 20: 'bent', fringes bent (never
    folded) by an object, with a large shadow; 'closed', closed fringes on an object as a
    defocused interferogram shows them, shadows; 'tilt', a tilt and a bump over the whole frame."""
    height, width = shape
    y, x = np.mgrid[0:height, 0:width].astype(float)
    shade = np.zeros(shape, bool)
    if kind == "bent":
        body = np.exp(-((x - 0.5 * width) ** 2 / (0.2 * width) ** 2 + (y - 0.5 * height) ** 2 / (0.35 * height) ** 2))
        phi = 2 * np.pi * fringes * (x + 70 * body + 0.1 * y) / width
        shade = (x > 0.68 * width) & (x < 0.85 * width) & (np.abs(y - 0.5 * height) < 0.3 * height)
    elif kind == "closed":
        r2 = ((x - 0.45 * width) ** 2 + (y - 0.55 * height) ** 2) / (0.5 * width) ** 2
        phi = 2 * np.pi * (fringes * r2 + 4 * x / width)
        shade = ((x - 0.25 * width) ** 2 / (0.12 * width) ** 2 + (y - 0.3 * height) ** 2 / (0.25 * height) ** 2 < 1)
        shade |= x > 0.85 * width
    else:
        phi = 2 * np.pi * fringes * (x / width + 0.3 * y / height) + 5 * np.exp(
            -((x - width / 2) ** 2 + (y - height / 3) ** 2) / (0.25 * width) ** 2)
    frames = fringe_frames(phi, steps, np.uint16, 20.0, seed, gamma=2.2, scale=scale)
    frames[:, shade] = 250
    return (with_border(frames, border, 300) if border else frames), phi


@pytest.mark.parametrize("kind", ["bent", "closed"])
def test_harmonics_removed_where_an_object_bends_the_fringes_and_casts_shadows(kind):
    frames, phi = projector_scene(kind)
    auto, off = phaze.analyse(frames), phaze.analyse(frames, harmonics="off")
    assert auto.report["harmonics"]["removed"], auto.report["harmonics"]
    assert spread(auto.phase, phi, auto.mask) <= 0.03 < spread(off.phase, phi, off.mask)


def test_harmonics_of_clipped_fringe_peaks():
    """Peaks clipped at full scale mask whole intervals of the phase (24% and 44% of the
    pixels); their phase, still nearly right, fills them for the estimate."""
    shape, steps = (768, 1024), (0.0, 1.7, 3.5)
    unclipped, phi = projector_scene("tilt", shape, steps, fringes=12)
    clean = spread(phaze.analyse(unclipped.astype(np.float32)).phase, phi, np.ones(shape, bool))
    for scale in (1.3, 1.4):
        for border in (0, 76):
            frames, phi = projector_scene("tilt", shape, steps, fringes=12, scale=scale, border=border)
            r = phaze.analyse(frames)
            assert r.report["masked_fraction"] > 0.2
            assert spread(r.phase, phi, r.mask) <= max(1.1 * clean, 0.01), (scale, border)


def test_harmonics_say_why_nothing_was_removed():
    frames = fringe_frames(tilt_and_bump(), STEPS, gamma=2.2)
    assert phaze.analyse(frames, harmonics="off").report["harmonics"]["outcome"] == "not sought"
    small = frames.copy()
    small[:, :, 40:] = 1000  # fringes in an eighth of the scene only
    small[:, 30:, :] = 1000
    said = phaze.analyse(small).report["harmonics"]
    assert said["terms"] == 0 and said["outcome"] == "too few fringes to tell", said
    flat = fringe_frames(tilt_and_bump(), STEPS)
    assert phaze.analyse(flat).report["harmonics"]["outcome"] in ("none worth removing", "not confirmed: "
                                                                    "the halves of the scene find different ripples (too few fringes, or a phase that is not smooth)")


def test_harmonics_on_real_captures():
    three, per_subset = [], {}
    for scene, f, frames, reference in realdata.period_sets():
        for chosen in ((0, 4, 8), (0, 3, 6), (0, 2, 7), (0, 5, 6), (0, 3, 6, 9)):
            auto = phaze.analyse(frames[list(chosen)], min_modulation=20)
            off = phaze.analyse(frames[list(chosen)], min_modulation=20, harmonics="off")
            mask = auto.mask & off.mask
            a, o = spread(auto.phase, reference, mask), spread(off.phase, reference, mask)
            per_subset.setdefault(chosen, []).append((a, o))
            if len(chosen) == 3 and chosen != (0, 5, 6):
                three.append(a)
            nominal = TWELVE[list(chosen)] - TWELVE[chosen[0]]
            wrong = min(np.abs(np.angle(np.exp(1j * (auto.steps - sign * nominal)))).max() for sign in (1, -1))
            assert wrong <= (0.02 if chosen == (0, 4, 8) else 0.03), (scene, f, chosen, wrong)
    assert max(three) <= 0.07 and np.median(three) <= 0.05
    assert max(a for a, _ in per_subset[(0, 5, 6)]) <= 0.10
    four = per_subset[(0, 3, 6, 9)]
    assert np.median([a for a, _ in four]) <= 0.025 and max(a for a, _ in four) <= 0.035
    assert all(a <= 1.05 * o for a, o in four)


def given_step_frames(steps, dtype=np.uint16, noise=20.0, phi=None):
    """Frames over a tilt and a bump of 12 fringes, or over phi, and the phase."""
    phi = tilt_and_bump() if phi is None else phi
    return fringe_frames(phi, steps, dtype, noise, seed=4), phi


@pytest.mark.parametrize("steps", [(0.0, 2.1, 4.2), (0.0, 1.7, 3.5), (0.0, np.pi / 2, np.pi, 1.5 * np.pi),
                                   (0.3, 1.1, 2.5, 3.9, 5.0), tuple(np.radians([0, 40, 95, 130, 200, 250, 300, 340]))])
@pytest.mark.parametrize("dtype, noise", [(np.uint16, 20.0), (np.uint8, 1.0)])
def test_given_steps_give_the_least_squares_phase_with_their_sign(steps, dtype, noise):
    frames, phi = given_step_frames(steps, dtype, noise)
    r = phaze.analyse(frames, harmonics="off", steps=steps)
    plain = np.mod(known_step_phase(frames, steps), 2 * np.pi)
    difference = np.angle(np.exp(1j * (r.phase - plain)))[r.mask]
    assert np.sqrt(np.mean(difference ** 2)) < 1e-9
    # phi itself, not -phi plus a constant: the model holds with the steps as given
    error = np.angle(np.exp(1j * (r.phase - phi)))[r.mask]
    assert abs(error.mean()) < 0.002 and np.sqrt(np.mean(error ** 2)) < (0.002 if dtype == np.uint16 else 0.02)
    assert r.report["phase_offset"] == steps[0]
    np.testing.assert_allclose(r.steps, np.mod(np.array(steps) - steps[0], 2 * np.pi), atol=1e-12)
    assert np.abs(np.angle(np.exp(1j * (np.array(r.report["measured_steps"]) - r.steps)))).max() < 0.02
    assert r.report["warnings"] == []


def test_given_steps_hold_where_the_phase_covers_half_a_turn():
    y, x = np.mgrid[0:240, 0:320].astype(float)
    steps = (0.0, np.pi / 2, np.pi, 1.5 * np.pi)
    frames, phi = given_step_frames(steps, phi=np.pi * x / 320 + 0.3 + 0.002 * y)
    r = phaze.analyse(frames, steps=steps)
    assert np.sqrt(np.mean(np.angle(np.exp(1j * (r.phase - phi)))[r.mask] ** 2)) <= 0.01
    assert np.isnan(r.report["measured_steps"]).all()  # the data cannot show them here


@pytest.mark.parametrize("given, wrong", [
    (np.radians([0, 90, 180, 270]), True),    # a shifter that made 0, 80, 165, 250
    (np.radians([0, 80, 195, 250]), True),    # a frame out of place
    ([0.0, 80.0, 165.0, 250.0], True),        # degrees where radians are meant
    (np.radians([0, 80, 165, 250]), False),
])
def test_given_steps_are_checked_against_the_frames(given, wrong):
    frames, _ = given_step_frames(np.radians([0, 80, 165, 250]))
    r = phaze.analyse(frames, steps=given)
    said = [w for w in r.report["warnings"] if w.startswith("the frames' steps differ from the steps given")]
    assert bool(said) == wrong, r.report["warnings"]
    if wrong:  # the frames' own sign is unknown where the given steps are far off
        assert ("the frames show 0.0, 80.0, 165.0, 250.0" in said[0]
                or "the frames show 0.0, 280.0, 195.0, 110.0" in said[0]), said


def test_real_captures_with_their_steps_given():
    for scene, f, frames, reference in realdata.period_sets():
        for chosen in ((0, 4, 8), (0, 2, 7), (0, 3, 6, 9)):
            given = phaze.analyse(frames[list(chosen)], min_modulation=20, steps=TWELVE[list(chosen)])
            found = phaze.analyse(frames[list(chosen)], min_modulation=20)
            mask = given.mask & found.mask
            assert not [w for w in given.report["warnings"] if "steps given" in w], (scene, f, chosen)
            assert spread(given.phase, reference, mask) <= 1.05 * spread(found.phase, reference, mask)
            # the reference's own sign and constant
            assert abs(np.angle(np.mean(np.exp(1j * (given.phase - reference))[mask]))) < 0.01
