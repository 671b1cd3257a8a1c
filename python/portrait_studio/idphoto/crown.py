"""Where the top of the skull is, hair left out, from the face mesh.

No face network sees the skull under hair, so it is estimated from what the
mesh does see, with the proportions of the head model ICAO's photo guidance
draws (and the drawing canon before it): the eyes lie halfway between the
chin and the top of the skull. The crown is then as far above the eye line
as the chin is below it, along the face's own vertical axis.

That the estimate is a skull and not a hair line is checked on the shared
portraits: it always lies at or below the hair-counted crown the matte gives,
and below the mesh's forehead point (about the hairline) by less than a face.
"""

from __future__ import annotations

import numpy as np

# Crown-to-eyes over eyes-to-chin in the head model: the eyes at half the head.
ABOVE_EYES = 1.0


def skull_crown(landmarks) -> tuple[float, float]:
    """(x, y) of the hair-free crown, in the landmarks' pixels."""
    eye = np.asarray(landmarks.eye_centre, np.float64)
    chin = np.asarray(landmarks.chin, np.float64)
    return tuple(float(v) for v in eye + ABOVE_EYES * (eye - chin))


def skull_crown_row(eye_row: float, chin_row: float) -> float:
    """The same on a level face: the crown's row from the eye line's and the chin's."""
    return eye_row - ABOVE_EYES * (chin_row - eye_row)
