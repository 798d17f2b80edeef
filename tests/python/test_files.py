"""The command's readers and writers from Python, and many sets on a Dask cluster."""

import json
import os
import subprocess

import numpy as np
import pytest

import phaze

STEPS = (0.0, 1.7, 3.5)


def write_set(folder, name, kind, seed):
    """Three frames of fringes as 16-bit TIFF or 8-bit PNG files; their paths."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:48, 0:64]
    phi = 2 * np.pi * (x * np.cos(0.4 + seed) + y * np.sin(0.4 + seed)) / 13
    top = 65535 if kind == "tiff" else 255
    paths = []
    for k, step in enumerate(STEPS):
        frame = np.clip(np.round(top * (0.45 + 0.35 * np.cos(phi + step)) + rng.normal(0, top / 255, phi.shape)), 0, top)
        path = str(folder / f"{name}_{k + 1}.{kind}")
        if kind == "tiff":
            pytest.importorskip("tifffile").imwrite(path, frame.astype(np.uint16))
        else:
            pytest.importorskip("imageio").v3.imwrite(path, frame.astype(np.uint8))
        paths.append(path)
    return paths


@pytest.fixture
def good_set(tmp_path):
    return write_set(tmp_path, "a", "tiff", 1)


def test_read_frames_and_write_results_are_the_commands(tmp_path, good_set):
    frames = phaze.read_frames(good_set)
    assert frames.shape == (3, 48, 64) and frames.dtype == np.uint16
    report = phaze.run_set(good_set, str(tmp_path / "py"))
    assert report["written"][-1].endswith("py_report.json") and len(report["steps"]) == 3
    command = os.environ.get("PHAZE_COMMAND")
    if not command:
        pytest.skip("PHAZE_COMMAND names the phaze command to compare with")
    subprocess.run([command, "-q", "-o", str(tmp_path / "cmd"), *good_set], check=True)
    for suffix in ("_phase.tiff", "_modulation.tiff", "_mask.png", "_phase.png"):
        assert (tmp_path / f"py{suffix}").read_bytes() == (tmp_path / f"cmd{suffix}").read_bytes(), suffix


@pytest.mark.parametrize(
    "make, says",
    [
        (lambda d, s: s[:2], "3 to 32 frames"),
        (lambda d, s: [s[0], str(d / "missing.tiff"), s[2]], "missing.tiff: No such file or directory"),
        (lambda d, s: [s[0], s[1], cut(d, s[2])], "cut.tiff: "),
        (lambda d, s: [s[0], s[1], text(d)], "not a PNG, TIFF, JPEG, BMP, PGM or PPM image"),
    ],
)
def test_read_frames_refuses_as_the_command_does(tmp_path, good_set, make, says):
    with pytest.raises(ValueError) as caught:
        phaze.read_frames(make(tmp_path, good_set))
    assert says in str(caught.value)


def cut(folder, path):
    data = open(path, "rb").read()
    (folder / "cut.tiff").write_bytes(data[: len(data) // 2])
    return str(folder / "cut.tiff")


def text(folder):
    (folder / "text.png").write_text("not an image at all")
    return str(folder / "text.png")


def test_write_results_refuses_and_leaves_nothing(tmp_path, good_set):
    result = phaze.analyse(phaze.read_frames(good_set))
    with pytest.raises(ValueError, match="No such file or directory"):
        phaze.write_results(result, str(tmp_path / "no" / "such" / "folder" / "r"))
    with pytest.raises(ValueError, match="unknown format 'gif'"):
        phaze.write_results(result, str(tmp_path / "r"), formats=("tiff", "gif"))
    (tmp_path / "r_mask.png").mkdir()
    with pytest.raises(ValueError, match="r_mask.png: can't write it: Is a directory"):
        phaze.write_results(result, str(tmp_path / "r"))
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith(("r_", "."))) == ["r_mask.png"]


def run_one(paths, prefix):
    """What a Dask task does with one set: the report, or the message of a set that failed."""
    try:
        return phaze.run_set(paths, prefix)
    except ValueError as error:
        return str(error)


def test_many_sets_on_a_dask_cluster_match_the_commands_batch(tmp_path):
    distributed = pytest.importorskip("distributed", reason="dask[distributed] is not installed")
    command = os.environ.get("PHAZE_COMMAND")
    if not command:
        pytest.skip("PHAZE_COMMAND names the phaze command to compare with")
    sets = [write_set(tmp_path, f"s{k:02d}", "tiff" if k % 2 else "png", k) for k in range(12)]
    with open(sets[5][1], "r+b") as broken:  # one bad set: a frame cut short
        broken.truncate(200)
    (tmp_path / "cmd").mkdir()
    (tmp_path / "dask").mkdir()
    batch = subprocess.run([command, "-q", "-o", str(tmp_path / "cmd")] + [p for s in sets for p in s],
                           capture_output=True, text=True)
    assert batch.returncode == 1 and "1 of 12 sets failed" in batch.stderr
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        prefixes = [str(tmp_path / "dask" / os.path.basename(s[0]).rsplit(".", 1)[0]) for s in sets]
        outcomes = client.gather(client.map(run_one, sets, prefixes))
    assert outcomes[5].startswith("phaze: " + sets[5][1] + ": the file is truncated")
    for k, (paths, outcome) in enumerate(zip(sets, outcomes)):
        if k == 5:
            continue
        name = os.path.basename(paths[0]).rsplit(".", 1)[0]
        for suffix in ("_phase.tiff", "_modulation.tiff", "_mask.png", "_phase.png"):
            assert (tmp_path / "dask" / f"{name}{suffix}").read_bytes() == \
                   (tmp_path / "cmd" / f"{name}{suffix}").read_bytes(), name + suffix
        ours, theirs = (json.loads((tmp_path / d / f"{name}_report.json").read_text()) for d in ("dask", "cmd"))
        for report in (ours, theirs):
            del report["seconds"], report["inputs"]
        assert ours == theirs
