"""The command's readers and writers from Python, and many sets on a Dask cluster."""

import json
import os
import shutil
import subprocess

import numpy as np
import pytest

import phaze
from synthetic import fringe_frames, tilt_and_bump

STEPS = (0.0, 1.7, 3.5)


def write_set(folder, name, kind, seed):
    """Three frames of fringes as 16-bit TIFF or 8-bit PNG files; their paths."""
    dtype = np.uint16 if kind == "tiff" else np.uint8
    phi = tilt_and_bump((48, 64), 64 / 13, 0.4 + seed, bump=0)
    frames = fringe_frames(phi, STEPS, dtype, np.iinfo(dtype).max / 255, seed)
    write = pytest.importorskip("tifffile").imwrite if kind == "tiff" else pytest.importorskip("imageio").v3.imwrite
    paths = [str(folder / f"{name}_{k + 1}.{kind}") for k in range(3)]
    for path, frame in zip(paths, frames):
        write(path, frame)
    return paths


@pytest.fixture
def good_set(tmp_path):
    return write_set(tmp_path, "a", "tiff", 1)


DROP = object()


def changed(result, **fields):
    """The result with its report's fields changed, or dropped (DROP)."""
    report = {k: v for k, v in {**result.report, **fields}.items() if v is not DROP}
    return phaze.Result(result.phase, result.modulation, result.mask, result.steps, report)


@pytest.mark.parametrize(
    "call, error, says",
    [
        (lambda d, s, r: phaze.read_frames(s[:2]), ValueError, "3 to 32 frames"),
        (lambda d, s, r: phaze.read_frames([s[0], str(d / "missing.tiff"), s[2]]), ValueError,
         "missing.tiff: No such file or directory"),
        (lambda d, s, r: phaze.read_frames("abc"), TypeError, "a sequence of paths, not one str"),
        (lambda d, s, r: phaze.read_frames([s[0], 7, s[2]]), TypeError, "each path must be a str, bytes or os.PathLike, not int"),
        (lambda d, s, r: phaze.read_frames([s[0] + "\0x", s[1], s[2]]), ValueError, "embedded null byte"),
        (lambda d, s, r: phaze.run_set(s, str(d / "keep.tiff\0x")), ValueError, "embedded null byte"),
        (lambda d, s, r: phaze.write_results(r, str(d / "keep.tiff\0x")), ValueError, "embedded null byte"),
        (lambda d, s, r: phaze.run_set([str(d / "p_phase.tiff"), s[1], s[2]], str(d / "p")), ValueError,
         "p_phase.tiff would replace the frame"),
        (lambda d, s, r: phaze.run_set([str(d / "p_phase.tiff"), s[1], s[2]], str(d / "." / "p"), formats=["tiff"]),
         ValueError, "would replace the frame"),
        (lambda d, s, r: phaze.write_results(changed(r, sample_type=DROP), str(d / "r")), ValueError,
         "the report has no 'sample_type'"),
        (lambda d, s, r: phaze.write_results(changed(r, sample_type="int7"), str(d / "r")), ValueError,
         "'sample_type' is uint8, uint16, float32 or float64, not 'int7'"),
        (lambda d, s, r: phaze.write_results(changed(r, background="dark"), str(d / "r")), TypeError,
         "the report's 'background' must be a number or None, not str"),
        (lambda d, s, r: phaze.write_results(changed(r, steps="abc"), str(d / "r")), TypeError,
         "the report's 'steps' must be a list, not str"),
        (lambda d, s, r: phaze.write_results(changed(r, warnings=[3]), str(d / "r")), TypeError,
         "the report's 'warnings' must be a list of str, not int"),
        (lambda d, s, r: phaze.write_results(changed(r, device=DROP), str(d / "r")), ValueError,
         "the report has no 'device'"),
        (lambda d, s, r: phaze.write_results(r, str(d / "no" / "such" / "r")), ValueError, "No such file or directory"),
        (lambda d, s, r: phaze.write_results(r, str(d / "r"), formats=("tiff", "gif")), ValueError,
         "unknown format 'gif'"),
        (lambda d, s, r: phaze.write_results(r, str(d / "m")), ValueError, "m_mask.png: can't write it: Is a directory"),
    ],
)
def test_file_functions_refuse_bad_arguments_and_write_nothing(tmp_path, good_set, call, error, says):
    shutil.copy(good_set[0], tmp_path / "p_phase.tiff")
    (tmp_path / "keep.tiff").write_bytes(b"kept")
    (tmp_path / "m_mask.png").mkdir()
    before = sorted(p.name for p in tmp_path.iterdir())
    result = phaze.analyse(phaze.read_frames(good_set))
    with pytest.raises(error) as caught:
        call(tmp_path, good_set, result)
    assert says in str(caught.value)
    assert sorted(p.name for p in tmp_path.iterdir()) == before
    assert (tmp_path / "keep.tiff").read_bytes() == b"kept"


def test_file_names_need_not_be_utf8(tmp_path, good_set):
    odd = os.fsdecode(b"\xff")  # a byte that is no UTF-8, as Python's file functions show it
    names = [tmp_path / f"{odd}{k}.tiff" for k in range(3)]
    for path, name in zip(good_set, names):
        shutil.copy(path, name)
    report = phaze.run_set(names, tmp_path / f"{odd}r")
    assert report["written"][0] == str(tmp_path / f"{odd}r_phase.tiff") and len(report["steps"]) == 3
    assert report["written"][-1] == str(tmp_path / f"{odd}r_report.json")
    frames = phaze.read_frames(good_set)
    assert frames.shape == (3, 48, 64) and frames.dtype == np.uint16
    np.testing.assert_array_equal(phaze.read_frames([os.fsencode(n) for n in names]), frames)
    with pytest.raises(ValueError) as caught:
        phaze.read_frames([names[0], tmp_path / f"{odd}missing.tiff", names[2]])
    assert f"{odd}missing.tiff: No such file or directory" in str(caught.value)


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
