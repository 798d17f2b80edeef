"""phaze: the wrapped phase of 3 to 32 phase-shifted fringe frames.

The phase steps need not be known or equal. Besides the phase, phaze gives each
pixel's modulation, a mask of the pixels to trust, and the steps it found::

    import phaze
    r = phaze.analyse(frames)          # frames: (N, H, W) or N (H, W) arrays
    r.phase, r.modulation, r.mask, r.steps, r.report

Every frame is modelled as ``I_k = A + B cos(phase + phase_offset + steps[k])``;
``r.report`` holds ``phase_offset`` and the rest of the report.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any, Dict, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from . import _phaze

__version__: str = _phaze.__version__
__all__ = ["analyse", "analyse_periods", "unwrap", "read_frames", "write_results", "run_set",
           "Result", "cuda_available", "read_calibration", "triangulate", "write_ply", "write_points",
           "render_scene"]



@dataclass(frozen=True)
class Result:
    """What :func:`analyse` found.

    phase:      (H, W) float64, radians in [0, 2 pi], NaN where masked
    modulation: (H, W) float32, the modulation B in the samples' units
    mask:       (H, W) bool, True where the pixel is valid
    steps:      (N,) float64, radians in [0, 2 pi); steps[0] == 0
    report:     dict with the fields of the phaze command's JSON report
    """

    phase: np.ndarray
    modulation: np.ndarray
    mask: np.ndarray
    steps: np.ndarray
    report: Dict[str, Any]


def _native(a: np.ndarray) -> np.ndarray:
    """The array in the machine's byte order, which is all the binding reads."""
    return a if a.dtype.isnative else a.astype(a.dtype.newbyteorder("="))


def _path(path, what: str = "a path") -> bytes:
    """A path as the file system takes it: str (non-UTF-8 names as os.fsdecode
    gives them), bytes or os.PathLike."""
    try:
        return os.fsencode(path)
    except TypeError:
        raise TypeError(f"{what} must be a str, bytes or os.PathLike, not {type(path).__name__}") from None


def _paths(paths) -> list:
    # A str is a sequence too: "abc" would be read as the files a, b and c.
    if isinstance(paths, (str, bytes, os.PathLike)):
        raise TypeError(f"paths must be a sequence of paths, not one {type(paths).__name__}")
    try:
        items = list(paths)
    except TypeError:
        raise TypeError(f"paths must be a sequence of paths, not {type(paths).__name__}") from None
    return [_path(p, "each path") for p in items]


def _frames_of(frames: Union[np.ndarray, Sequence[np.ndarray]]) -> list:
    """The frames as a list of 2-D arrays whose rows the library can read in
    place; the binding checks everything else."""
    if isinstance(frames, np.ndarray):
        arrays = list(_native(frames)) if frames.ndim == 3 else [_native(frames)]
    else:
        try:
            arrays = [_native(np.asarray(f)) for f in frames]
        except TypeError:
            raise TypeError("frames must be an (N, H, W) array or a sequence of N (H, W) arrays") from None
    # Rows are read in place at any stride; samples that are not next to each
    # other within a row, or rows of different strides, need a copy.
    def row_contiguous(a):
        return a.ndim == 2 and a.strides[1] == a.itemsize and a.strides[0] >= a.shape[1] * a.itemsize
    arrays = [a if row_contiguous(a) else np.ascontiguousarray(a) for a in arrays]
    if len({a.strides for a in arrays}) > 1:
        arrays = [np.ascontiguousarray(a) for a in arrays]
    return arrays


def _step_lists(steps, sets: int) -> list:
    """steps as the binding takes them: [] (none), one list for every set, or one
    a set; radians, array-like."""
    if steps is None:
        return []
    if isinstance(steps, (str, bytes)):
        raise TypeError("steps must be numbers (radians), not a string")
    try:
        ragged = [np.asarray(s, dtype=np.float64) for s in steps]
    except (TypeError, ValueError):
        raise TypeError("steps must be an array of numbers (radians), or one such array a set") from None
    if all(a.ndim == 0 for a in ragged):
        return [[float(a) for a in ragged]]
    if sets > 1 and all(a.ndim == 1 for a in ragged):
        return [a.tolist() for a in ragged]
    raise ValueError("steps must be one array of numbers (radians)"
                     + (", or one such array a set" if sets > 1 else ""))


def analyse(
    frames: Union[np.ndarray, Sequence[np.ndarray]],
    min_modulation: Optional[float] = None,
    saturation: Optional[float] = None,
    device: str = "auto",
    harmonics: str = "auto",
    steps: Optional[Sequence[float]] = None,
) -> Result:
    """The phase, modulation, mask and steps of 3 to 32 phase-shifted frames.

    frames:         an (N, H, W) array, or a sequence of N (H, W) arrays, of
                    uint8, uint16, float32 or float64; strided views are read in
                    place when each row's samples lie next to each other
    min_modulation: mask pixels whose modulation is below this, in the samples'
                    units (default: 1% of full scale; of the largest sample for
                    float frames)
    saturation:     mask pixels with any sample at or above this (default: the
                    dtype's maximum for integer frames, none for float frames)
    device:         "auto" (CUDA where this build has it and a GPU is there),
                    "cpu" or "cuda"
    harmonics:      "auto" (the default) or "off": find the ripple that
                    non-sinusoidal fringes leave in the phase, and remove it where
                    the data confirm it; report["harmonics"] says what was found
                    and removed
    steps:          the frames' steps where they are known, radians, one a frame:
                    the phase is then phi of I_k = A + B cos(phi + steps[k]), each
                    pixel's least-squares solution, with your sign and constant;
                    report["measured_steps"] gives the frames' own (NaN where the
                    data cannot show them), and a warning says when they differ

    Raises ValueError for frames that cannot be used (shapes, fewer than 5
    pixels, frames that hold no phase) or steps that cannot give a phase, and
    TypeError for unsupported dtypes. The work runs without the GIL.
    """
    phase, modulation, mask, report = _phaze.analyse(_frames_of(frames), min_modulation, saturation, device,
                                                     harmonics, _step_lists(steps, 1))
    steps = report["steps"]
    report["steps"] = steps.tolist()
    if "measured_steps" in report:
        report["measured_steps"] = report["measured_steps"].tolist()
    return Result(phase=phase, modulation=modulation, mask=mask, steps=steps, report=report)


def analyse_periods(
    sets: Sequence[Union[np.ndarray, Sequence[np.ndarray]]],
    periods: Sequence[float],
    min_modulation: Optional[float] = None,
    saturation: Optional[float] = None,
    device: str = "auto",
    harmonics: str = "auto",
    steps=None,
) -> Result:
    """The absolute phase of one scene from sets of frames at several fringe periods.

    sets:    a sequence of (N, H, W) stacks (or sequences of N (H, W) arrays), one a
             period, each with steps (and N) of its own
    periods: the sets' fringe periods in any one unit (only their ratios matter):
             each a good multiple of the next (such as ratios of 4 or 8), or close
             (such as 14:15:16, through their beats)

    steps:   the steps where they are known (radians): one array for every set, or
             one a set; then no sign or constant is sought, and for fringes
             A + B cos(2 pi u / T + step_k) of a coordinate u >= 0 the phase is
             2 pi u / T of the finest period (the coarsest set's phase taken in
             [0, 2 pi))

    Returns a Result like analyse's whose phase is the absolute phase of the
    finest period, NaN where masked: where a set is masked or the periods
    disagree (an order error). With the steps unknown it grows to the right
    (downward where the fringes lie along x). modulation, steps and report are
    the finest set's. The other arguments are analyse's.
    """
    stacks = [_frames_of(s) for s in sets]
    phase, modulation, mask, report = _phaze.analyse_periods(
        stacks, [float(t) for t in periods], min_modulation, saturation, device, harmonics,
        _step_lists(steps, len(stacks)))
    steps = report["steps"]
    report["steps"] = steps.tolist()
    if "measured_steps" in report:
        report["measured_steps"] = report["measured_steps"].tolist()
    report["periods"] = [float(t) for t in periods]
    return Result(phase=phase, modulation=modulation, mask=mask, steps=steps, report=report)


def unwrap(phase: np.ndarray, mask: Optional[np.ndarray] = None,
           modulation: Optional[np.ndarray] = None) -> np.ndarray:
    """The spatially unwrapped phase: float64, NaN where masked.

    phase:      (H, W) wrapped phase in radians (as Result.phase), NaN where masked
    mask:       (H, W) bool, True where valid (as Result.mask), or integers 0 and 1;
                default: where the phase is finite
    modulation: (H, W), optional (as Result.modulation): a further weight of how
                reliable each pixel is

    Pixels are joined in the order of how smooth the phase is around them; each
    connected valid region is unwrapped on its own, with an arbitrary constant.
    The work runs without the GIL.
    """
    phase = np.ascontiguousarray(phase, dtype=np.float64)
    if mask is not None:
        mask = _native(np.asarray(mask))  # booleans, or integers 0 and 1: the binding checks
    if modulation is not None:
        modulation = np.ascontiguousarray(modulation, dtype=np.float32)
    unwrapped, _ = _phaze.unwrap(phase, mask, modulation)
    return unwrapped


def read_frames(paths: Sequence[str], channel: str = "luma") -> np.ndarray:
    """The frames of one set from image files, through the phaze command's own
    readers: PNG, TIFF, JPEG, BMP, PGM or PPM, 8 or 16 bits or float TIFF, gray or
    colour (channel: "luma", "r", "g" or "b"), with the command's checks.

    Returns an (N, H, W) array (uint8, uint16, or float32 for luma of colour
    frames). A set that cannot be read raises ValueError with the command's
    message, "phaze: FILE: reason".
    """
    stack, _, _, _, _ = _phaze.read_frames(_paths(paths), channel, -1.0, -1.0)
    return stack


def write_results(result: Result, prefix: str, formats: Sequence[str] = ("tiff", "png", "json"),
                  unwrapped: Optional[np.ndarray] = None) -> list:
    """Writes a result's files as the phaze command names and fills them:
    PREFIX_phase.tiff, _modulation.tiff, _mask.png, _phase.png, _report.json
    (formats from "tiff", "png", "json", "npy", "txt"), and PREFIX_unwrapped.tiff
    when unwrapped is given; all of them or none (an earlier run's stay as they
    were). Returns the names written; raises ValueError("phaze: FILE: reason").
    """
    report = dict(result.report)
    inputs = _paths(report.get("inputs", []))
    regions = int(report.get("unwrapped_regions", 0))
    return _phaze.write_results(
        np.ascontiguousarray(result.phase, np.float64), np.ascontiguousarray(result.modulation, np.float32),
        np.ascontiguousarray(result.mask, np.uint8),
        None if unwrapped is None else np.ascontiguousarray(unwrapped, np.float64), regions, report,
        _path(prefix, "prefix"), list(formats), inputs)


def run_set(paths: Sequence[str], prefix: str, frames: Optional[int] = None,
            periods: Optional[Sequence[float]] = None, unwrap: bool = False,
            formats: Sequence[str] = ("tiff", "png", "json"), channel: str = "luma",
            min_modulation: Optional[float] = None, saturation: Optional[float] = None,
            device: str = "auto", harmonics: str = "auto", steps=None) -> Dict[str, Any]:
    """What the phaze command does for one result: read the frames, analyse them
    (at several periods, and unwrap, where asked) and write the results for
    prefix. paths: the result's frames, a set of N (frames, default all of them,
    or len(paths) / len(periods)), or with periods one set at each period in the
    order given; steps: as analyse's (radians; with periods, one array for every
    set or one a set). Returns the report; a set that cannot be done raises
    ValueError with the command's message, "phaze: FILE: reason".
    """
    files = _paths(paths)
    paths = [os.fsdecode(p) for p in files]
    count = len(periods) if periods else 1
    n = frames or len(paths) // count
    if n * count != len(paths):
        raise ValueError(f"{len(paths)} frames given: frames come in sets of {n}, {count} sets a result")
    _phaze.check_result_names(_path(prefix, "prefix"), list(formats), bool(unwrap), files)
    sets, warnings, sample_type, thresholds = [], [], None, None
    for k in range(count):
        stack, read_as, said, least, top = _phaze.read_frames(
            files[n * k : n * (k + 1)], channel, -1.0 if min_modulation is None else float(min_modulation),
            -1.0 if saturation is None else float(saturation))
        sets.append(stack)
        warnings += [w for w in said if w not in warnings]
        if k == 0:
            sample_type, thresholds = read_as, (least, top)
        elif (read_as, (least, top)) != (sample_type, thresholds):
            raise ValueError(f"phaze: {paths[n * k]}: its samples are {read_as}, {paths[0]}'s {sample_type}"
                             f"{' of another full scale' if read_as == sample_type else ''}: "
                             "the sets of a result share their thresholds")
    least, top = (None if t < 0 else t for t in thresholds)
    try:
        if periods:
            result = analyse_periods(sets, periods, least, top, device, harmonics, steps)
        else:
            result = analyse(sets[0], least, top, device, harmonics, steps)
    except ValueError as error:
        raise ValueError(f"phaze: {paths[0]}: {error}") from None
    report = dict(result.report)
    report["inputs"] = paths
    report["sample_type"] = sample_type
    report["warnings"] = warnings + report["warnings"]
    unwrapped = None
    if unwrap:
        unwrapped, regions = _phaze.unwrap(np.ascontiguousarray(result.phase), np.ascontiguousarray(result.mask, np.uint8),
                                           np.ascontiguousarray(result.modulation))
        report["unwrapped_regions"] = regions
    written = write_results(Result(result.phase, result.modulation, result.mask, result.steps, report),
                            prefix, formats, unwrapped)
    report["written"] = written
    return report


def cuda_available() -> bool:
    """True when this build holds the CUDA engine and a CUDA device is present."""
    return bool(_phaze.cuda_available())


# 3-D points. Vertical fringes show A + B cos(2 pi u / T + step), u the projector
# column in OpenCV's pixel convention (the first column's centre is 0), so an
# absolute phase gives u = phase * T / (2 pi); horizontal fringes give the row.

_CALIBRATION_KEYS = ("cam_K", "cam_kc", "proj_K", "proj_kc", "R", "T")


def read_calibration(paths: Union[str, "os.PathLike[str]", Sequence[Union[str, "os.PathLike[str]"]]]
                     ) -> Dict[str, np.ndarray]:
    """A camera-projector calibration from OpenCV FileStorage files (YAML or XML).

    paths: one file with cam_K, cam_kc, proj_K, proj_kc, R and T (as calibration
           tools write it), or a pair of files, OpenCV's stereo calibration: M1,
           D1, M2, D2 (camera first, projector second) in one and R, T in the
           other, in either order.

    Returns a dict of float64 arrays: cam_K and proj_K (3, 3), cam_kc and proj_kc
    (5,) (8 or 12 where the file gives the rational or thin-prism terms; OpenCV's
    order), R (3, 3) and T (3,), with X_projector = R X_camera + T in the file's
    unit. Such a dict can be made by hand too. Raises ValueError naming the file
    and the entry that is wrong.
    """
    if isinstance(paths, (str, os.PathLike)):
        names = [os.fspath(paths)]
    else:
        try:
            names = [os.fspath(p) for p in paths]
        except TypeError:
            raise TypeError("paths is a file name, or a pair of them (OpenCV's stereo calibration)") from None
        if len(names) != 2:
            raise ValueError(f"a calibration is one file or a pair, not {len(names)} files")
    return _phaze.read_calibration(names)


def _calibration_entries(calibration: Mapping[str, Any]) -> list:
    if not isinstance(calibration, Mapping):
        raise TypeError("calibration must be a dict with " + ", ".join(_CALIBRATION_KEYS)
                        + " (as read_calibration gives it)")
    entries = []
    for key in _CALIBRATION_KEYS:
        if key not in calibration:
            raise ValueError(f"the calibration has no {key}")
        entries.append(_float_array(calibration[key], f"calibration['{key}']"))
    return entries


def _float_array(value: Any, name: str) -> np.ndarray:
    array = np.asarray(value)
    if array.dtype == bool or array.dtype.kind not in "fiu":
        raise TypeError(f"{name} must hold real numbers, not {array.dtype}")
    return np.ascontiguousarray(array, dtype=np.float64)


def triangulate(calibration: Mapping[str, Any], column: np.ndarray, row: Optional[np.ndarray] = None,
                mask: Optional[np.ndarray] = None) -> np.ndarray:
    """The 3-D point of every camera pixel, in camera coordinates and the
    calibration's unit: (H, W, 3) float64, NaN where there is none.

    column: (H, W) projector column of each camera pixel (projector pixels,
            OpenCV's convention), such as phase * period / (2 pi) of vertical
            fringes; NaN where unknown
    row:    (H, W) projector row, from horizontal fringes, optional: with it each
            point is the one of the pixel's ray nearest to both
    mask:   (H, W) bool, True where the pixel is valid (such as Result.mask)

    A pixel gets no point where it is masked, its column (or row) is not finite,
    the point would lie behind the camera or the projector, or its ray meets the
    column's surface (with a row: the projector's ray) at under 2 degrees. The
    work runs without the GIL.
    """
    entries = _calibration_entries(calibration)
    column = _float_array(column, "column")
    if column.ndim != 2:
        raise ValueError(f"column must be an (H, W) array, not {column.ndim}-D")
    if row is not None:
        row = _float_array(row, "row")
        if row.ndim != 2:
            raise ValueError(f"row must be an (H, W) array, not {row.ndim}-D")
    if mask is not None:
        mask = np.asarray(mask)
        if mask.dtype != bool and mask.dtype.kind not in "iu":
            raise TypeError(f"mask must be bool or integer, not {mask.dtype}")
        if mask.ndim != 2:
            raise ValueError(f"mask must be an (H, W) array, not {mask.ndim}-D")
        mask = np.ascontiguousarray(mask != 0, dtype=np.uint8)
    return _phaze.triangulate(entries, column, row, mask)


def _gray_array(gray: Optional[np.ndarray]) -> Optional[np.ndarray]:
    if gray is None:
        return None
    gray = np.asarray(gray)
    if gray.dtype != np.uint8:
        raise TypeError(f"gray must be uint8 (scale it to 0-255 first), not {gray.dtype}")
    return np.ascontiguousarray(gray)


def write_ply(path: Union[str, "os.PathLike[str]"], points: np.ndarray, gray: Optional[np.ndarray] = None) -> int:
    """Writes the finite points of an (H, W, 3) (or (N, 3)) array as a binary
    little-endian PLY file: float x, y, z and, with gray ((H, W) or (N,) uint8), a
    uchar gray. Written to a temporary file and renamed into place; returns the
    number of points. Raises ValueError("PATH: can't write it: reason").
    """
    return _phaze.write_ply(os.fspath(path), _float_array(points, "points"), _gray_array(gray))


def write_points(prefix: Union[str, "os.PathLike[str]"], points: np.ndarray, gray: Optional[np.ndarray] = None,
                 formats: Sequence[str] = ("ply", "depth", "xyz")) -> list:
    """Writes PREFIX_points.ply (as write_ply), PREFIX_depth.tiff (float32 z, NaN
    where no point) and PREFIX_xyz.tiff (three float32 samples a pixel), those
    formats asks for, from an (H, W, 3) array: all of them or none, an earlier
    run's left as they were. Returns the names written.
    """
    return _phaze.write_points(os.fspath(prefix), _float_array(points, "points"), _gray_array(gray),
                               [str(f) for f in formats])


def render_scene(calibration: Mapping[str, Any], scene: str, size: Tuple[int, int],
                 projector_size: Tuple[int, int], periods: Sequence[float] = (),
                 steps: Sequence[float] = (0.0, 2 * np.pi / 3, 4 * np.pi / 3), fringes: str = "vertical",
                 gamma: float = 1.0, noise: float = 0.0, background: Optional[float] = None,
                 contrast: Optional[float] = None, bits: int = 16, distance: Optional[float] = None,
                 seed: int = 1) -> Dict[str, Any]:
    """A known scene seen by the camera of a calibrated rig and lit by its
    projector, as fringegen --scene renders it: for tests and demonstrations.

    scene:           "plane", "sphere" (before a wall) or "step"
    size:            the camera's image, (width, height); projector_size the projector's
    periods, steps:  the fringes, in projector pixels and radians: one frame for each
    fringes:         "vertical" (along projector columns) or "horizontal"
    gamma, noise:    the projector's response (light = level^gamma), the camera's noise
    background, contrast: A and B of lit pixels (default 128 and 100, times 257 at 16 bits)
    distance:        camera to the object's centre (default: where the central rays meet)

    Returns a dict: "points" (H, W, 3) the true surface points, NaN where the ray
    meets nothing; "column", "row" (H, W) the projector pixel that lights each,
    NaN where none does (shadows, outside the projector); "frames" (periods,
    steps, H, W) uint8 or uint16; "distance".
    """
    if fringes not in ("vertical", "horizontal"):
        raise ValueError("fringes is 'vertical' or 'horizontal'")
    scale = 257 if bits == 16 else 1
    try:
        (width, height), (projector_width, projector_height) = size, projector_size
    except (TypeError, ValueError):
        raise TypeError("size and projector_size are (width, height)") from None
    points, column, row, frames, used = _phaze.render_scene(
        _calibration_entries(calibration), scene, int(width), int(height), int(projector_width),
        int(projector_height), 0.0 if distance is None else float(distance), [float(t) for t in periods],
        [float(s) for s in steps], fringes == "horizontal", float(gamma), float(noise),
        128.0 * scale if background is None else float(background),
        100.0 * scale if contrast is None else float(contrast), int(bits), int(seed))
    return {"points": points, "column": column, "row": row,
            "frames": frames if bits == 16 else frames.astype(np.uint8), "distance": used}
