"""Fixtures the ID-photo groups share: one single-threaded Cutout per module
(its networks load once) and the astronaut photograph."""

from pathlib import Path

import cv2
import pytest

ASTRONAUT = Path(__file__).resolve().parents[1] / "data" / "astronaut.png"


@pytest.fixture(scope="module")
def cutout():
    from portrait_studio import Cutout

    return Cutout(threads=1)


@pytest.fixture(scope="module")
def astronaut():
    return cv2.imread(str(ASTRONAUT))
