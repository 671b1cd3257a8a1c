"""ID photos to a standard: the face found, the head framed to the preset's
ranges, on its background colour, with the print resolution in the file,
optionally under a file-size cap or as a print sheet.

    from portrait_studio import Cutout
    from portrait_studio.idphoto import make_id_photo, find_preset

    result = make_id_photo(Cutout(), photo, find_preset("passport"))
    result.write("passport.jpg", max_kb=240)        # JPEG at 300 dpi, at most 240 KB
    data = result.encode(".jpg")                     # or the bytes, for a reply body
    sheet = result.sheet("6x4in")                    # an IdPhoto of the print sheet

`result.checks` lists the office's rules as measured and `result.overlay()`
is the photo with its guide lines (crown, chin, eye band, centre line).
With `background="keep"` the photograph's own background stays (framed,
levelled and cropped only) and its evenness is one of the checks.

`make_id_photo` raises `IdPhotoRefused` (nothing made) when there is no face,
more than one face of similar size, a face too small for the preset or a
head cut off by the top edge; with `force=True` it makes the best it can
and lists what is off in `warnings`.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field

import numpy as np

from ..core import colour, imageio
from ..core.background import KEEP, Background, parse_background
from ..core.compose import as_photo, composite
from ..core.fields import spell
from . import framing, metadata
from . import overlay as guide_lines
from . import sheet as sheets
from .checks import Check, passed
from .documents import DOCUMENTS, Document, find_document, listing_json
from .faces import Face, FaceDetector
from .inspection import inspect_picture, upright
from .landmarks import FaceMesh, Landmarks, meshed_faces
from .presets import PRESETS, Preset, find_preset, listing

__all__ = [
    "IdPhoto", "IdPhotoRefused", "SizeCapError", "Preset", "PRESETS", "find_preset", "listing",
    "Document", "DOCUMENTS", "find_document", "listing_json",
    "make_id_photo", "encode_capped", "MIN_QUALITY", "Check", "passed", "inspect_picture",
]

# Below this JPEG quality an ID photo shows blocks on the face; a cap that
# needs less is refused instead.
MIN_QUALITY = 30
DEFAULT_QUALITY = 95
# A kept background the photograph does not reach (its edge repeated there)
# is worth telling about beyond this share of the picture.
UNCOVERED_TOLD = 0.005


class IdPhotoRefused(imageio.ImageError):
    """The photograph cannot make this ID photo; `problems` says why."""

    def __init__(self, problems: list[str], checks=None):
        self.problems = problems
        self.checks = checks or []  # every rule measured, when the refusal came from them
        super().__init__("; ".join(problems) + f" ({spell('force')} makes it anyway)")


class SizeCapError(imageio.ImageError):
    pass


@dataclass
class IdPhoto:
    picture: np.ndarray  # B, G, R (or B, G, R, A on a transparent background)
    preset: Preset
    dpi: int
    warnings: list[str] = field(default_factory=list)
    face: Face | None = None
    geometry: framing.Geometry | None = None  # photograph -> picture mapping; None for sheets
    copies: int = 1
    confidence: float | None = None  # how far the cut-out's matte can be trusted
    landmarks: Landmarks | None = None  # the framed face's mesh, in photograph pixels
    checks: list[Check] = field(default_factory=list)  # the office's rules, as measured on the picture

    def overlay(self) -> np.ndarray | None:
        """A copy of the photo with its guide lines drawn on it: crown, chin,
        the document's eye band (and the eye line in it), the centre line.
        None for a print sheet, which has no one framing."""
        if self.geometry is None:
            return None
        return guide_lines.draw(self.picture, guide_lines.guides(self.preset, self.geometry))

    def encode(self, extension: str = ".jpg", max_kb: float | None = None) -> bytes:
        """The picture encoded by `extension`, with its print resolution, at
        most `max_kb` kilobytes (1 KB = 1024 bytes; a JPEG by default under
        the document's own cap, where it has one)."""
        if max_kb is None and extension.lower().lstrip(".") in ("jpg", "jpeg", "jpe"):
            max_kb = self.preset.max_kb  # an online form's own cap; other formats are written as asked
        return encode_capped(self.picture, extension, self.dpi, max_kb)

    def write(self, path: str | os.PathLike, max_kb: float | None = None) -> None:
        """Encodes by the path's extension and writes atomically."""
        imageio.write_bytes_atomically(path, self.encode(imageio.extension_of(path), max_kb))

    def sheet(self, name: str) -> IdPhoto:
        """A print sheet (6x4in, 5x7in, A6, A4 or letter) of as many copies as fit."""
        paper, plan = sheets.compose(self.picture, name, self.dpi)
        warnings = list(self.warnings)
        if self.preset.no_prints:
            warnings.append(f"{self.preset.name}: {self.preset.note}; a print sheet will not be accepted")
        return IdPhoto(paper, self.preset, self.dpi, warnings, self.face, None, plan.count, self.confidence,
                       self.landmarks, list(self.checks))


def make_id_photo(cutout, photo: np.ndarray, preset: Preset | str, background: Background | str | None = None,
                  force: bool = False, matte: str = "refined", detector: FaceDetector | None = None,
                  mesh: FaceMesh | None = None) -> IdPhoto:
    """Frames the B, G, R `photo` to `preset` on `background` (when None, the
    preset's own colour, or the photograph's own background where the office
    forbids edited photos), with the matte `cutout` makes of the given kind."""
    photo = as_photo(photo)
    if isinstance(preset, str):
        preset = find_preset(preset)
    # An office that forbids edited photographs gets the photograph's own
    # background unless another is asked for outright, and then a warning.
    edited = []
    if background is None:
        background = KEEP if preset.edits else preset.background
    if isinstance(background, str):
        background = parse_background(background)
    if preset.edits and not _keeps(background):
        edited = [f"{preset.name}: the office does not accept edited photos ({preset.edits}), and "
                  f"replacing the background is such an edit; keep the photographed background to stay within it"]
    detector = detector or FaceDetector.shared()
    # of the sitters, the one the mesh is surest of is framed
    faces, meshed = meshed_faces(photo, detector, mesh or FaceMesh.shared())
    marks = {}
    if not faces:
        # a face the mesh cannot read (blurred, masked, in deep shadow) is
        # still framed, by the detector's box alone and without levelling
        faces = detector.detect(photo)
    elif faces:
        # sitters: faces about as large as the largest; of those (one, unless
        # refused) the one the mesh is surest of is framed
        largest = max(f.width for f in faces)
        sitters = [f for f in faces if f.width >= framing.SIMILAR_FACE * largest]
        best = max(sitters, key=lambda f: meshed[f.box].score)
        faces = [best] + [f for f in faces if f is not best]
        marks = {0: meshed[best.box]}
    problems = []
    if not faces:
        problems.append("no face found in the photograph")
    else:
        similar = sum(f.width >= framing.SIMILAR_FACE * max(g.width for g in faces) for f in faces)
        if similar > 1:
            problems.append(f"{similar} faces of similar size; crop the photograph to one person")
    if problems and not (force and faces):
        if not force:
            raise IdPhotoRefused(problems)
        # no face at all: the whole photograph, centred, is the best there is
        alpha, _, confidence = cutout.alpha(photo, matte)
        where = framing.whole_photograph(photo.shape, preset)
        result = _render(photo, alpha, preset, background, where,
                         [*problems, "framed the whole photograph instead", *edited], None, confidence)
        result.checks = _inspect(result, photo, alpha, where, preset, background, detector, mesh)
        return result

    face = faces[0]
    landmarks = marks.get(0)
    alpha, _, confidence = cutout.alpha(photo, matte)
    where = framing.geometry(alpha, face, preset, landmarks)
    head = where.chin - where.crown
    if where.scale > framing.MAX_UPSCALE:
        needed = head * where.scale
        problems.append(f"the face is too small for {preset.name}: the head is {head:.0f} px high "
                        f"and needs about {needed / framing.MAX_UPSCALE:.0f} px or more; use a larger photograph")
    if where.cut_off > framing.ALLOWED_CUT:
        problems.append(f"the top edge cuts off about {where.cut_off:.0%} of the head; "
                        "use a photograph with room above the head")
    if not upright(photo, face, detector).passed:
        problems.append("the face is upside down (the detector is surer of it turned half a turn); "
                        "turn the photograph upright")
    side, edge = framing.side_cut(photo.shape, face, landmarks)
    if side > framing.ALLOWED_SIDE_CUT:
        problems.append(f"the photograph's {edge} edge cuts off about {side:.0%} of the face; "
                        "use a photograph with the whole head in it")
    if problems and not force:
        raise IdPhotoRefused(problems)
    result = _render(photo, alpha, preset, background, where, [*problems, *edited], face, confidence, landmarks)
    result.checks = [Check("enlargement", f"{where.scale:.2f}x", f"at most {framing.MAX_UPSCALE:g}x",
                           where.scale <= framing.MAX_UPSCALE),
                     *_inspect(result, photo, alpha, where, preset, background, detector, mesh)]
    failed = [c for c in result.checks if not c.passed]
    if failed:
        failures = [f"{c.name} fails: {c.measured}, allowed {c.allowed}" for c in failed]
        if not force:
            raise IdPhotoRefused(failures, result.checks)
        result.warnings += failures
    return result


def _inspect(result, photo, alpha, where, preset, background, detector, mesh) -> list[Check]:
    """The rules measured on the picture as made: its matte is the
    photograph's carried through the framing, and the pixels the photograph
    did not reach count as not the photograph's."""
    size = preset.size
    framed = np.clip(framing.warp(alpha.astype(np.float32), where, size, border=0.0), 0.0, 1.0)
    reached = framing.covered(photo.shape, where, size)
    data = result.encode(".jpg") if (preset.min_kb or preset.max_kb) else None
    return inspect_picture(result.picture, preset, framed, data=data, covered=reached, detector=detector,
                           mesh=mesh, evenness=_keeps(background))


def _keeps(background: Background) -> bool:
    return background.kind == KEEP


def _render(photo, alpha, preset, background, where, warnings, face, confidence, landmarks=None) -> IdPhoto:
    size = preset.size
    if _keeps(background):
        # framed, levelled and cropped only: every pixel is the photograph's,
        # and where it does not reach, its edge goes on
        picture = framing.warp(photo, where, size, repeat_edge=True)
        uncovered = 1.0 - float(framing.covered(photo.shape, where, size).mean())
        if uncovered > UNCOVERED_TOLD:
            warnings = [*warnings, f"the photograph does not reach {uncovered:.0%} of the picture; "
                                   "its edge is repeated there (use one with more room around the head)"]
    else:
        framed_photo = framing.warp(photo, where, size, border=0)
        framed_alpha = np.clip(framing.warp(alpha.astype(np.float32), where, size, border=0.0), 0.0, 1.0)
        picture = composite(framed_photo, framed_alpha, background)
    return IdPhoto(picture, preset, preset.dpi, list(warnings), face, where, confidence=confidence,
                   landmarks=landmarks)


def encode_capped(picture: np.ndarray, extension: str, dpi: int | None, max_kb: float | None = None,
                  quality: int | None = None) -> bytes:
    """`picture` encoded with its resolution (when given), tagged as sRGB; under a cap, JPEG
    takes the highest quality that fits and other formats must fit as they
    are; without one, JPEG and WebP take `quality` (JPEG: 95 by default)."""
    extension = "." + extension.lower().lstrip(".")
    is_jpeg = extension in (".jpg", ".jpeg", ".jpe")
    params = metadata.tiff_parameters(dpi) if dpi and extension in (".tif", ".tiff") else []

    def encoded(quality: int | None = None) -> bytes:
        data = imageio.encode(picture, extension, params + imageio.quality_parameters(extension, quality))
        data = colour.tag_srgb(data, extension) if picture.ndim == 3 else data
        return metadata.with_dpi(data, extension, dpi) if dpi else data

    if max_kb is None:
        return encoded(quality or (DEFAULT_QUALITY if is_jpeg else None))
    limit = max_kb * 1024
    if not is_jpeg:
        data = encoded()
        if len(data) > limit:
            raise SizeCapError(f"the {extension[1:].upper()} is {len(data) / 1024:.0f} KB, over the "
                               f"{max_kb:g} KB cap; write a .jpg to trade quality for size")
        return data
    # Sizes are not strictly monotonic in quality, so walk down from the top
    # rather than bisect: the first that fits is the highest.
    for quality in range(100, MIN_QUALITY - 1, -1):
        data = encoded(quality)
        if len(data) <= limit:
            return data
    raise SizeCapError(f"even JPEG quality {MIN_QUALITY} gives {len(data) / 1024:.0f} KB, over the "
                       f"{max_kb:g} KB cap; ask for {spell('max_kb')} {int(np.ceil(len(data) / 1024))} or more")
