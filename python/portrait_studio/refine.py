"""From the model's coarse matte to a full-size alpha matte and foreground.

Interim: the plane is stretched bilinearly and the photograph is its own
foreground. The trimap, closed-form solve, guided upsampling and foreground
estimation take its place.
"""

from __future__ import annotations

import cv2
import numpy as np


def refine(photo: np.ndarray, plane: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(alpha, foreground) at the photograph's size for the model's `plane`."""
    rows, columns = photo.shape[:2]
    alpha = cv2.resize(plane, (columns, rows), interpolation=cv2.INTER_LINEAR)
    return np.clip(alpha, 0.0, 1.0), photo
