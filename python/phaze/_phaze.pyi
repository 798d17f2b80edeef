from typing import Any, Dict, Tuple

import numpy as np

__version__: str

def analyse(
    frame1: np.ndarray,
    frame2: np.ndarray,
    frame3: np.ndarray,
    min_modulation: float,
    saturation: float,
    device: str,
) -> Tuple[np.ndarray, np.ndarray, np.ndarray, Dict[str, Any]]: ...
def cuda_available() -> int: ...
