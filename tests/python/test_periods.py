"""Absolute phase across fringe periods: synthetic sets with unknown steps, orders that are
never silently wrong, steps given, and the real captures at three periods against their
reference absolute phase."""

import numpy as np
import pytest

import phaze
import realdata
from synthetic import fringe_frames, orders_right


def projector_column(shape, bump=40.0, slope=0.2):
    """A projector coordinate u over the camera: a tilt and a bump, in projector pixels."""
    height, width = shape
    y, x = np.mgrid[0:height, 0:width].astype(float)
    return x + slope * y + bump * np.exp(-((x - 0.55 * width) ** 2 + (y - 0.45 * height) ** 2) / (0.12 * width) ** 2)


def sets_at(u, periods, steps, seed):
    """A set of 8-bit frames 128 + 100 cos(2 pi u / period + step) + noise 1 for each period."""
    return [fringe_frames(2 * np.pi * u / period, s, np.uint8, 1.0, seed + k, 128 / 255, 100 / 255)
            for k, (period, s) in enumerate(zip(periods, steps))]


# Unknown, unequal steps of each set; two may lie close, as drawn from [0.6, 5.7] they do.
HIERARCHY = (16.0, 64.0, 256.0, 2048.0)  # the coarsest 0.6 of a fringe across
CLOSE = (28.0, 30.0, 32.0)               # 14:15:16, through their beats


@pytest.mark.parametrize("periods, steps", [
    (HIERARCHY, ((0, 2.3, 4.4), (0, 1.1, 3.9), (0, 2.9, 5.1), (0, 0.96, 1.26))),
    # four frames under a turn cannot show their own steps; two steps 0.19 rad apart
    (HIERARCHY, ((0, 1.2, 2.9, 4.6), (0, 2.0, 2.19, 4.3), (0, 0.9, 3.1, 5.2), (0, 1.7, 3.3, 4.9))),
    (CLOSE, ((0, 1.9, 3.9), (0, 1.3, 4.7), (0, 2.5, 3.7))),
    (CLOSE, ((0, 1.5, 3.0, 4.4), (0, 0.8, 2.6, 5.0), (0, 2.1, 3.4, 5.5))),
])
def test_periods_with_unknown_steps_give_the_absolute_phase(periods, steps):
    u = projector_column((768, 1024))
    r = phaze.analyse_periods(sets_at(u, periods, steps, 3), periods)
    right, _ = orders_right(r.phase, 2 * np.pi * u / min(periods))
    assert right >= 0.999
    assert r.report["periods"] == list(periods)


def test_orders_are_never_silently_wrong():
    """Of the pixels reported valid, at most 0.1% are wrong, or a warning says the orders are
    unreliable; each set's own warnings name the set."""
    y, x = np.mgrid[0:240, 0:320].astype(float)
    u = x + 0.2 * y
    two = ((0, 2.1, 4.2), (0, 1.5, 3.7))
    cases = []
    for across in (0.25, 0.5):  # the coarsest a quarter or half a fringe across
        for ratio in (4, 8, 16):
            periods = (320 / across / ratio, 320 / across)
            cases.append((f"{across} fringe, ratio {ratio}", sets_at(u, periods, two, ratio), periods, u))
    periods = (16.0, 64.0, 512.0)
    good = sets_at(u, periods, (two[0],) * 3, 9)
    black = [s.copy() for s in good]
    black[2][2] = 0
    noise = [s.copy() for s in good]
    noise[2] = np.random.default_rng(9).integers(0, 256, noise[2].shape).astype(np.uint8)
    cases += [("coarsest frame 3 black", black, periods, u), ("coarsest noise", noise, periods, u)]
    line = np.arange(2000.0)[None, :]  # 1 x N frames, one set with descending steps
    cases.append(("1 x 2000, a set descending", sets_at(line, (40.0, 320.0, 2560.0),
                                                           ((0, 2.1, 4.2), (0, -2.1, -4.2), (0, 2.0, 4.1)), 12),
                  (40.0, 320.0, 2560.0), line))
    for name, sets, periods, coordinate in cases:
        r = phaze.analyse_periods(sets, periods)
        _, wrong = orders_right(r.phase, 2 * np.pi * coordinate / periods[0])
        warned = any("orders are unreliable" in w for w in r.report["warnings"])
        assert wrong <= 0.001 or warned, (name, wrong, r.report["warnings"])
        if "coarsest" in name:
            assert any(w.startswith("set 3 (period 512): ") for w in r.report["warnings"]), name


@pytest.mark.parametrize("periods, says", [
    ((1e300, 1e-300), "too far apart"),
    ((5e-324, 1.0), "too far apart"),
    ((1e20, 1e-20), "too far apart"),
    ((8.0, 8.0), "are equal"),
    ((320 / 12, 320 / 1.5), "more than one fringe across the scene"),
])
def test_periods_that_cannot_tell_orders_are_refused(periods, says):
    """The last, the frames' own: 1.5 fringes across, and a band without fringes across them
    hides no gap."""
    y, x = np.mgrid[0:240, 0:320].astype(float)
    sets = sets_at(x + 0.2 * y, (320 / 12, 320 / 1.5), ((0, 2.1, 4.2), (0, 1.5, 3.7)), 11)
    for s in sets:
        s[:, :, 100:180] = 128
    with pytest.raises(ValueError, match=says):
        phaze.analyse_periods(sets, periods)


def test_real_captures_at_three_periods():
    """cfpe-12step, periods 42, 45, 48 (14:15:16), default options, either order: the share of
    the reference's trusted pixels right (masked counts as wrong)."""
    realdata.needs_real_captures()
    least = {(0, 4, 8): 0.995, (0, 3, 6, 9): 0.996, (0, 2, 7): 0.985}
    for scene in realdata.SCENES:
        reference = realdata.reference_phase(scene)
        for chosen, share in least.items():
            for periods in ((42, 45, 48), (48, 45, 42)):
                sets = [realdata.scene_frames(scene, [12 * realdata.PERIODS.index(t) + k for k in chosen])
                        for t in periods]
                r = phaze.analyse_periods(sets, periods)
                right, _ = orders_right(r.phase, reference.phase, reference.trusted)
                assert right >= share, (scene, chosen, periods, right)


def test_periods_with_given_steps_give_the_projector_coordinate():
    """Fringes A + B cos(2 pi u / T + step_k) of a projector column u >= 0: the absolute
    phase is exactly 2 pi u / T of the finest period, with no sign or constant sought."""
    y, x = np.mgrid[0:192, 0:256].astype(float)
    u = 3 + x + 0.2 * y + 20 * np.exp(-((x - 140) ** 2 + (y - 90) ** 2) / 900)  # projector columns
    periods, steps = (512.0, 128.0, 32.0), np.radians([0, 90, 180, 270])
    sets = [fringe_frames(2 * np.pi * u / t, steps, np.uint8, 1.0, seed=k) for k, t in enumerate(periods)]
    r = phaze.analyse_periods(sets, periods, steps=steps)
    error = (r.phase - 2 * np.pi * u / 32)[r.mask]
    assert r.mask.mean() > 0.999 and np.abs(error).max() < 0.1 and abs(error.mean()) < 0.005
    # one array a set gives the same; steps for some sets only are refused
    each = phaze.analyse_periods(sets, periods, steps=[steps] * 3)
    np.testing.assert_array_equal(each.phase, r.phase)
    with pytest.raises(ValueError, match="one a set"):
        phaze.analyse_periods(sets, periods, steps=[steps] * 2)
