"""portrait_studio: the product layer around the portrait_main engine.

    import portrait_studio

    png = portrait_studio.cut_out("photo.jpg", background="transparent")     # encoded bytes
    picture = portrait_studio.cut_out(photo, background="#2050a0", size=(413, 531))  # an array for an array
    image = portrait_studio.cut_out(pil_image, background="blur")           # a PIL image for a PIL image
    jpeg = portrait_studio.cut_out("photo.jpg", background="beach.jpg")     # the person on another picture

For more control, one `Cutout` per thread and a `Request`:

    from portrait_studio import Cutout, Request, parse_background

    cutout = Cutout()                                   # the bundled model, or Cutout("other.onnx")
    output = cutout.produce(photo, Request(background=parse_background("blue")))
    cutout.write("photo.jpg", "portrait.png", Request(background=parse_background("transparent")))
    made = cutout.make(open("photo.jpg", "rb").read(), Request(format="webp"))  # bytes in, Encoded out

`photo` is an 8-bit B, G, R array as OpenCV reads it. A clip's frames, steady
from one to the next: `for picture in portrait_studio.cut_out_frames(frames, background="blur")`.
"""

from .api import CutOut, check_id_photo, cut_out
from .core.background import TRANSPARENT, WHITE, Background, parse_background
from .core.compose import alpha_to_byte, composite
from .core.imageio import ImageError
from .core.request import IdPhotoRequest, Request, RequestError
from .pipeline import Cutout, Encoded, Output, encode
from .video.frames import cut_out_frames

# The name the request had before ID photos became a kind of it.
CutoutRequest = Request

__all__ = [
    "Background",
    "CutOut",
    "Cutout",
    "CutoutRequest",
    "Encoded",
    "IdPhotoRequest",
    "ImageError",
    "Output",
    "Request",
    "RequestError",
    "TRANSPARENT",
    "WHITE",
    "alpha_to_byte",
    "composite",
    "check_id_photo",
    "cut_out",
    "cut_out_frames",
    "encode",
    "parse_background",
]
