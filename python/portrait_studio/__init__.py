"""portrait_studio: the product layer around the portrait_main engine.

    from portrait_studio import Cutout, CutoutRequest, parse_background

    cutout = Cutout()                                   # the bundled model, or Cutout("other.onnx")
    alpha = cutout.matte(photo)                         # refined alpha, float32 (rows, columns) in [0, 1]
    picture = cutout.render(photo, CutoutRequest(background=parse_background("#2050a0")))
    cutout.write("photo.jpg", "portrait.png", CutoutRequest(background=parse_background("transparent")))

`photo` is an 8-bit B, G, R array as OpenCV reads it.
"""

from .api import Cutout, CutoutRequest, alpha_to_byte, composite
from .background import TRANSPARENT, WHITE, Background, parse_background
from .imageio import ImageError

__all__ = [
    "Background",
    "Cutout",
    "CutoutRequest",
    "ImageError",
    "TRANSPARENT",
    "WHITE",
    "alpha_to_byte",
    "composite",
    "parse_background",
]
