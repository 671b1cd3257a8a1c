"""The usual alpha-matting add-on of background-removal tools, as a yardstick.

From the model's matte (the engine's, stretched to the photograph), at 1000
pixels on the longer side: a trimap by thresholds 240/255 (person) and 10/255
(background) with both regions eroded by a 10 x 10 square, pymatting's
closed-form alpha on it, pymatting's multilevel foreground, both brought back
to full size bilinearly, and the composite at full size. pymatting is a test
and benchmark dependency only.
"""

from __future__ import annotations

import cv2
import numpy as np

BASE_SIZE = 1000
PERSON_FROM = 240
BACKGROUND_TO = 10
EROSION = 10


def addon_trimap(matte_bytes: np.ndarray) -> np.ndarray:
    square = np.ones((EROSION, EROSION), np.uint8)
    person = cv2.erode((matte_bytes > PERSON_FROM).astype(np.uint8), square, borderValue=1)
    background = cv2.erode((matte_bytes < BACKGROUND_TO).astype(np.uint8), square, borderValue=1)
    trimap = np.full(matte_bytes.shape, 128, np.uint8)
    trimap[person == 1] = 255
    trimap[background == 1] = 0
    return trimap


def addon_matte(photo: np.ndarray, model_matte: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(alpha, foreground) at full size: alpha float32, foreground uint8 B, G, R."""
    from pymatting import estimate_alpha_cf, estimate_foreground_ml

    rows, columns = photo.shape[:2]
    scale = min(1.0, BASE_SIZE / max(rows, columns))
    size = (max(1, round(columns * scale)), max(1, round(rows * scale)))
    small = cv2.resize(photo, size, interpolation=cv2.INTER_AREA)
    matte_bytes = np.rint(np.clip(model_matte, 0, 1) * 255).astype(np.uint8)
    small_matte = cv2.resize(matte_bytes, size, interpolation=cv2.INTER_LINEAR)
    trimap = addon_trimap(small_matte)
    image = small[:, :, ::-1].astype(np.float64) / 255.0
    alpha = estimate_alpha_cf(image, trimap.astype(np.float64) / 255.0)
    foreground = estimate_foreground_ml(image, alpha)
    alpha = np.clip(cv2.resize(alpha.astype(np.float32), (columns, rows), interpolation=cv2.INTER_LINEAR), 0, 1)
    foreground = cv2.resize(foreground.astype(np.float32), (columns, rows), interpolation=cv2.INTER_LINEAR)
    foreground = np.clip(np.rint(foreground[:, :, ::-1] * 255), 0, 255).astype(np.uint8)
    return alpha, foreground


def addon_white(photo: np.ndarray, model_matte: np.ndarray) -> np.ndarray:
    alpha, foreground = addon_matte(photo, model_matte)
    a = alpha[..., None]
    return np.clip(np.rint(a * foreground + (1 - a) * 255.0), 0, 255).astype(np.uint8)
