"""phaze: the wrapped phase of three phase-shifted fringe frames.

The phase steps need not be known or equal. Besides the phase, phaze gives each
pixel's modulation, a mask of the pixels to trust, and the steps it found::

    import phaze
    r = phaze.analyse(frames)          # frames: (3, H, W) or three (H, W) arrays
    r.phase, r.modulation, r.mask, r.steps, r.report

Every frame is modelled as ``I_k = A + B cos(phase + phase_offset + steps[k])``;
``r.report`` holds ``phase_offset`` and the rest of the report.
"""

from __future__ import annotations

import math
import numbers
import reprlib
from dataclasses import dataclass
from typing import Any, Dict, Optional, Sequence, Union

import numpy as np

from . import _phaze

__version__: str = _phaze.__version__
__all__ = ["analyse", "Result", "cuda_available"]

_DTYPES = (np.uint8, np.uint16, np.float32, np.float64)


@dataclass(frozen=True)
class Result:
    """What :func:`analyse` found.

    phase:      (H, W) float64, radians in [0, 2 pi], NaN where masked
    modulation: (H, W) float32, the modulation B in the samples' units
    mask:       (H, W) bool, True where the pixel is valid
    steps:      (3,) float64, radians in [0, 2 pi); steps[0] == 0
    report:     dict with the fields of the phaze command's JSON report
    """

    phase: np.ndarray
    modulation: np.ndarray
    mask: np.ndarray
    steps: np.ndarray
    report: Dict[str, Any]


def _frames_of(frames: Union[np.ndarray, Sequence[np.ndarray]]) -> list:
    if isinstance(frames, np.ndarray):
        if frames.ndim != 3 or frames.shape[0] != 3:
            raise ValueError(f"a stack of frames must have shape (3, H, W), not {frames.shape}")
        arrays = [frames[0], frames[1], frames[2]]
    else:
        try:
            arrays = [np.asarray(f) for f in frames]
        except TypeError:
            raise TypeError("frames must be a (3, H, W) array or a sequence of three (H, W) arrays") from None
        if len(arrays) != 3:
            raise ValueError(f"three frames are needed, not {len(arrays)}")
    for k, a in enumerate(arrays):
        if a.ndim != 2:
            raise ValueError(f"frame {k + 1} must be 2-D, not of shape {a.shape}")
        if a.size == 0:
            raise ValueError(f"frame {k + 1} has no pixels: its shape is {a.shape}")
        if a.dtype not in _DTYPES:
            raise TypeError(f"frame {k + 1} is {a.dtype}; phaze takes uint8, uint16, float32 or float64")
    if any(a.shape != arrays[0].shape for a in arrays):
        raise ValueError("the three frames must have one shape: " + ", ".join(str(a.shape) for a in arrays))
    if any(a.dtype != arrays[0].dtype for a in arrays):
        raise TypeError("the three frames must have one dtype: " + ", ".join(str(a.dtype) for a in arrays))
    # Rows are read in place at any stride; only samples that are not next to
    # each other within a row, or rows of different strides, need a copy.
    itemsize = arrays[0].itemsize
    if any(a.strides[1] != itemsize or a.strides[0] < a.shape[1] * itemsize for a in arrays):
        arrays = [a if a.strides[1] == itemsize and a.strides[0] >= a.shape[1] * itemsize
                  else np.ascontiguousarray(a) for a in arrays]
    if any(a.strides[0] != arrays[0].strides[0] for a in arrays):
        arrays = [np.ascontiguousarray(a) for a in arrays]
    return arrays


def analyse(
    frames: Union[np.ndarray, Sequence[np.ndarray]],
    min_modulation: Optional[float] = None,
    saturation: Optional[float] = None,
    device: str = "auto",
) -> Result:
    """The phase, modulation, mask and steps of three phase-shifted frames.

    frames:         a (3, H, W) array, or a sequence of three (H, W) arrays, of
                    uint8, uint16, float32 or float64; strided views are read in
                    place when each row's samples lie next to each other
    min_modulation: mask pixels whose modulation is below this, in the samples'
                    units (default: 1% of full scale; of the largest sample for
                    float frames)
    saturation:     mask pixels with any sample at or above this (default: the
                    dtype's maximum for integer frames, none for float frames)
    device:         "auto" (CUDA where this build has it and a GPU is there),
                    "cpu" or "cuda"

    Raises ValueError for frames that cannot be used (shapes, fewer than 5
    pixels, frames that hold no phase) and TypeError for unsupported dtypes.
    The work runs without the GIL.
    """
    a, b, c = _frames_of(frames)
    for name, value in (("min_modulation", min_modulation), ("saturation", saturation)):
        if value is None:
            continue
        if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
            raise TypeError(f"{name} must be a number, not {reprlib.repr(value)}")
        try:
            finite = math.isfinite(value) and value >= 0
        except OverflowError:
            finite = False
        if not finite:
            raise ValueError(f"{name} must be a finite number of 0 or more, not {reprlib.repr(value)}")
    phase, modulation, mask, report = _phaze.analyse(
        a, b, c,
        -1.0 if min_modulation is None else float(min_modulation),
        -1.0 if saturation is None else float(saturation),
        device,
    )
    steps = np.array(report["steps"], dtype=np.float64)
    report["steps"] = steps.tolist()
    return Result(phase=phase, modulation=modulation, mask=mask, steps=steps, report=report)


def cuda_available() -> bool:
    """True when this build holds the CUDA engine and a CUDA device is present."""
    return bool(_phaze.cuda_available())
