"""3-D points from Python: calibration files, triangulation, point files and the
whole chain from frames rendered through the sample rig."""

import os
import pathlib
import subprocess

import numpy as np
import pytest
from scipy import ndimage

import phaze
from synthetic import known_step_phase

SAMPLE_RIG = pathlib.Path(__file__).resolve().parents[2] / "docs" / "sample-rig.yml"
SIZE, PROJECTOR = (640, 512), (1024, 768)


@pytest.fixture(scope="module")
def rig():
    return phaze.read_calibration(SAMPLE_RIG)


@pytest.fixture(scope="module")
def sphere(rig):
    return phaze.render_scene(rig, "sphere", SIZE, PROJECTOR)


def test_calibration_files_by_python_path_and_pair(tmp_path, rig, sphere):
    """The layouts and the bad files are the C++ suite's; here what Python adds: a path as str
    or os.PathLike, a pair as a list or a tuple, and ValueError with the reader's message."""
    assert rig["cam_K"].shape == (3, 3) and rig["cam_kc"].shape == (5,) and rig["T"].shape == (3,)
    def write(name, **entries):  # lists of rows, which the reader takes as matrices
        (tmp_path / name).write_text("%YAML:1.0\n" + "".join(f"{k}: {np.atleast_2d(v).tolist()}\n"
                                                              for k, v in entries.items()))
        return tmp_path / name
    intrinsics = write("intrinsics.yml", M1=rig["cam_K"], D1=rig["cam_kc"], M2=rig["proj_K"], D2=rig["proj_kc"])
    extrinsics = write("extrinsics.yml", R=rig["R"], T=rig["T"])
    expected = phaze.triangulate(rig, sphere["column"])
    for paths in (SAMPLE_RIG, str(SAMPLE_RIG), [intrinsics, extrinsics], (str(extrinsics), str(intrinsics))):
        read = phaze.read_calibration(paths)
        np.testing.assert_array_equal(phaze.triangulate(read, sphere["column"]), expected, err_msg=str(paths))
    with pytest.raises(ValueError, match="rotation.yml: no key"):
        phaze.read_calibration(write("rotation.yml", R=rig["R"]))


def with_entry(rig, key, value):
    """rig with key set to value, or without key where value is None."""
    return {k: v for k, v in {**rig, key: value}.items() if v is not None}


@pytest.mark.parametrize(
    "call, error, says",
    [
        (lambda r, s: phaze.read_calibration(42), TypeError, "a file name, or a pair"),
        (lambda r, s: phaze.read_calibration([SAMPLE_RIG] * 3), ValueError, "not 3 files"),
        (lambda r, s: phaze.triangulate([1, 2], s["column"]), TypeError, "calibration must be a dict"),
        (lambda r, s: phaze.triangulate(with_entry(r, "R", None), s["column"]), ValueError, "has no R"),
        (lambda r, s: phaze.triangulate(with_entry(r, "proj_K", np.eye(3)[:2]), s["column"]), ValueError,
         "proj_K must be a 3x3 camera matrix, not 2x3"),
        (lambda r, s: phaze.triangulate(with_entry(r, "R", 2 * np.eye(3)), s["column"]), ValueError,
         "R is not a rotation"),
        (lambda r, s: phaze.triangulate(with_entry(r, "cam_kc", np.zeros((2, 2, 2))), s["column"]), ValueError,
         "cam_kc must be a matrix"),
        (lambda r, s: phaze.triangulate(with_entry(r, "T", ["a", "b", "c"]), s["column"]), TypeError,
         r"calibration\['T'\] must hold real numbers"),
        (lambda r, s: phaze.triangulate(r, s["column"][0]), ValueError, "column must be an \\(H, W\\) array"),
        (lambda r, s: phaze.triangulate(r, s["column"].astype(complex)), TypeError, "column must hold real"),
        (lambda r, s: phaze.triangulate(r, s["column"], row=s["row"][1:]), ValueError,
         "row must have the column's shape"),
        (lambda r, s: phaze.triangulate(r, s["column"], mask=np.ones(4, bool)), ValueError, "mask must be an \\(H, W\\)"),
        (lambda r, s: phaze.triangulate(r, s["column"], mask=s["column"]), TypeError, "mask must be bool"),
        (lambda r, s: phaze.write_ply("x.ply", s["points"][..., :2]), ValueError, "points must be an"),
        (lambda r, s: phaze.write_ply("x.ply", s["points"], gray=s["column"]), TypeError, "gray must be uint8"),
        (lambda r, s: phaze.write_ply("x.ply", s["points"], gray=np.zeros(3, np.uint8)), ValueError,
         "gray must have the points' shape"),
        (lambda r, s: phaze.write_points("x", s["points"], formats=["ply", "las"]), ValueError,
         "unknown format 'las'"),
        (lambda r, s: phaze.write_ply("/no/such/folder/x.ply", s["points"]), ValueError,
         "x.ply: can't write it: No such file or directory"),
        (lambda r, s: phaze.render_scene(r, "cube", SIZE, PROJECTOR), ValueError, "scene is 'plane'"),
        (lambda r, s: phaze.render_scene(r, "plane", 640, PROJECTOR), TypeError, "size and projector_size"),
        (lambda r, s: phaze.render_scene(r, "plane", SIZE, PROJECTOR, periods=[0]), ValueError,
         "periods must be finite and above 0"),
    ],
)
def test_bad_arguments_say_what_is_wrong(tmp_path, rig, sphere, call, error, says):
    os.chdir(tmp_path)
    with pytest.raises(error, match=says):
        call(rig, sphere)


def test_points_read_back_in_plyfile_and_tifffile(tmp_path, rig, sphere):
    plyfile = pytest.importorskip("plyfile")
    tifffile = pytest.importorskip("tifffile")
    points = phaze.triangulate(rig, sphere["column"], sphere["row"])
    valid = np.isfinite(points[..., 0])
    gray = (np.arange(points[..., 0].size) % 251).astype(np.uint8).reshape(valid.shape)
    assert phaze.write_ply(tmp_path / "plain.ply", points) == valid.sum()
    written = phaze.write_points(tmp_path / "run", points, gray)
    assert [pathlib.Path(w).name for w in written] == ["run_points.ply", "run_depth.tiff", "run_xyz.tiff"]
    for name, with_gray in (("plain.ply", False), ("run_points.ply", True)):  # valid points, in row order
        vertices = plyfile.PlyData.read(str(tmp_path / name))["vertex"]
        assert [p.name for p in vertices.properties] == list("xyz") + ["gray"] * with_gray
        np.testing.assert_array_equal(np.stack([vertices[c] for c in "xyz"], -1), points[valid].astype(np.float32))
    np.testing.assert_array_equal(vertices["gray"], gray[valid])
    np.testing.assert_array_equal(tifffile.imread(tmp_path / "run_depth.tiff"), points[..., 2].astype(np.float32))
    np.testing.assert_array_equal(tifffile.imread(tmp_path / "run_xyz.tiff"), points.astype(np.float32))


def ideal_column(sets, periods, steps):
    """The textbook chain: each period's least-squares phase with the known
    steps, its orders from the coarser one's column, coarsest first."""
    column = None
    for period, frames in sorted(zip(periods, sets), key=lambda pair: -pair[0]):
        phase = np.mod(known_step_phase(frames, steps), 2 * np.pi)
        if column is not None:
            phase += 2 * np.pi * np.round((column * 2 * np.pi / period - phase) / (2 * np.pi))
        column = phase * period / (2 * np.pi)
    return column


@pytest.mark.parametrize("scene,gamma", [("sphere", 1.0), ("sphere", 2.2), ("plane", 1.0), ("plane", 2.2)])
def test_the_whole_chain_finds_the_rendered_surface(rig, scene, gamma):
    """8-bit frames with noise, four known steps of 90 degrees, periods in
    ratios of 8 with the coarsest under one fringe across the projector:
    analyse_periods, the column and triangulate give the surface as closely as
    the textbook chain does from the same frames, on pixels two or more from a
    shadow or an edge, and the sphere's radius."""
    periods, steps = [20.0, 160.0, 1280.0], np.radians([0, 90, 180, 270])
    r = phaze.render_scene(rig, scene, SIZE, PROJECTOR, periods=periods, steps=steps, bits=8,
                           noise=1.0, gamma=gamma, seed=5)
    D, truth = r["distance"], r["points"]
    if scene == "sphere":
        centre, radius = np.array([0, 0, D]), 0.15 * D  # the rendered sphere's
        distance = lambda p: np.linalg.norm(p - centre, axis=-1) - radius
    else:
        normal = np.array([0.35, -0.2, -1.0]) / np.linalg.norm([0.35, -0.2, -1.0])
        distance = lambda p: (p - np.array([0, 0, D])) @ normal
    lit = np.isfinite(r["column"])
    region = ndimage.binary_erosion(lit & (np.abs(distance(truth)) < 1e-9 * D), iterations=2)  # 2 px in
    result = phaze.analyse_periods(list(r["frames"]), periods, steps=steps)
    assert result.report["warnings"] == []
    points = phaze.triangulate(rig, result.phase * periods[0] / (2 * np.pi), mask=result.mask)
    ideal = phaze.triangulate(rig, ideal_column(r["frames"], periods, steps), mask=lit)
    got = region & np.isfinite(points[..., 0])
    assert got.sum() >= 0.99 * region.sum()
    rms = lambda p: np.sqrt(np.mean(distance(p[got]) ** 2))
    assert rms(points) <= 1.5 * rms(ideal), (rms(points) / D, rms(ideal) / D)
    if scene == "sphere":  # the radius of the sphere that fits the points best
        p = points[got]
        solved = np.linalg.lstsq(np.c_[2 * p, np.ones(len(p))], (p * p).sum(1), rcond=None)[0]
        fitted = np.sqrt(solved[3] + solved[:3] @ solved[:3])
        assert abs(fitted - radius) < 1e-3 * radius


def test_fringegen_renders_what_python_renders(tmp_path, rig):
    command = os.environ.get("PHAZE_COMMAND")
    fringegen = pathlib.Path(command).parent / "fringegen" if command else None
    if fringegen is None or not fringegen.exists():
        pytest.skip("PHAZE_COMMAND names the phaze command, fringegen beside it")
    tifffile = pytest.importorskip("tifffile")
    subprocess.run([str(fringegen), "--scene", "step", "--calibration", str(SAMPLE_RIG), "--size", "640x512",
                    "--projector-size", "1024x768", "--periods", "40,13", "--steps", "0,2,4", "--gamma", "2.2",
                    "--noise", "30", "--seed", "7", "--truth", str(tmp_path)],
                   check=True, capture_output=True)
    r = phaze.render_scene(rig, "step", SIZE, PROJECTOR, periods=[40, 13], steps=[0, 2, 4], gamma=2.2, noise=30,
                           seed=7)
    np.testing.assert_array_equal(tifffile.imread(tmp_path / "v2_3.tiff"), r["frames"][1, 2])
    np.testing.assert_array_equal(tifffile.imread(tmp_path / "truth_depth.tiff"),
                                  r["points"][..., 2].astype(np.float32))
