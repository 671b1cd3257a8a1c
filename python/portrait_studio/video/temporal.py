"""A clip's coarse plane followed from frame to frame, so edges hold still.

Cut out one frame at a time, a clip's matte shimmers: the networks see a
slightly different picture in every frame (sensor noise, compression, a
sub-pixel shift) and answer slightly differently, and the refinement's band
along the half-way contour moves with every answer. Where the picture itself
has not changed, neither should the matte; where it has, the new frame's
answer is the right one. So the coarse plane (the networks' answer before
the refinement) is a running mean whose memory is let go pixel by pixel
where the picture moves:

    still(x)  = clip(1 - motion(x) / let_go, 0, 1)     motion: |this frame - the last|, its largest channel, smoothed
    plane(x)  = hold * still(x) * previous(x) + (1 - hold * still(x)) * answer(x)

The refined alpha is settled the same way (a lighter weight on the last
frame's, where the picture is still), since the refinement answers the
sensor's noise itself. Where the picture is still and the new answer only
just crosses one half, the followed plane keeps the side it was on: the unknown band stays
where it was instead of trembling across the boundary. A scene cut (most of
the picture changed at once, or the frame's size) starts afresh, so nothing
of the earlier scene's person ghosts into the new one.

Everything runs at the plane's own resolution (320 x 320 or the segmenter's
256 x 256): a handful of OpenCV and NumPy passes, under a millisecond, so
no native pass is needed. The constants were chosen on one synthetic clip
(bench/bench_video.py's tuning clip) and are reported on another.
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass

import cv2
import numpy as np


@dataclass(frozen=True)
class TemporalSettings:
    hold: float = 0.9  # the previous plane's weight where the picture is still
    let_go: float = 0.1  # the smoothed change (0-1, the channel that changed most) at which the past counts no more
    motion_blur: float = 1.0  # sigma, in plane pixels, of the change before it is read
    keep_band: float = 0.15  # a still pixel crossing one half by less than this keeps its side
    scene_cut: float = 0.12  # a mean change over the frame above this is a cut
    follow_motion: bool = True  # move the past along the picture's optical flow before weighing it
    flow_floor: float = 0.5  # plane pixels: a smaller flow is noise, and leaves the past where it is
    settle: float = 0.5  # the previous refined alpha's weight where the picture is still
    # The refinement's solve for a frame, in pixels (a photograph's is a
    # megapixel): a frame is seen for a twenty-fifth of a second, the guided
    # upsampling carries the edge to the full frame, and the solve is most of
    # a frame's cost (bench/bench_video.py measures both against one frame at a time).
    working_pixels: int | None = 250_000


DEFAULT = TemporalSettings()


class TemporalMatte:
    """The state a clip carries from one frame's cut-out to the next. One
    per clip, used by one thread, frames given in order."""

    def __init__(self, settings: TemporalSettings = DEFAULT):
        self.settings = settings
        self.reset()

    def refine(self, photo: np.ndarray, plane: np.ndarray, base, foreground: bool = True):
        """core.refine.refine for this clip's next frame: the coarse `plane`
        followed from the last frame, refined with a photograph's `base`
        settings (DEFAULT for one network's plane, FUSED for two networks')
        at the clip's resolution, and the alpha settled. The fused plane
        keeps its disputed pass, so a frame decides what the networks
        dispute as the same photograph would."""
        from ..core.refine import refine as refine_photo

        if self.settings.working_pixels is not None:
            base = dataclasses.replace(base, working_pixels=self.settings.working_pixels)
        alpha, colours = refine_photo(photo, self.follow(photo, plane), base, foreground=foreground)
        return self.settle(alpha), colours

    def reset(self) -> None:
        self._plane: np.ndarray | None = None
        self._picture: np.ndarray | None = None
        self._still: np.ndarray | None = None  # this frame's stillness at the plane's resolution; None: a fresh start
        self._alpha: np.ndarray | None = None
        self._flow_now: np.ndarray | None = None
        self._grids: dict[tuple[int, int], np.ndarray] = {}
        self.frames = 0
        self.cuts = 0  # scene cuts seen (the first frame is none)

    def follow(self, photo: np.ndarray, plane: np.ndarray) -> np.ndarray:
        """The followed plane for this frame (`photo` B, G, R; `plane` the
        networks' answer for it, values in [0, 1]); the state moves on."""
        plane = np.asarray(plane, np.float32)
        picture = self._thumbnail(photo, plane.shape)
        settings = self.settings
        self.frames += 1
        if self._plane is None or self._plane.shape != plane.shape or self._picture.shape != picture.shape:
            return self._start(picture, plane)
        flow = self._flow(picture) if settings.follow_motion else None
        past_plane, past_picture = self._warped(self._plane, flow), self._warped(self._picture, flow)
        # What the past, moved along with the picture, fails to explain: colour
        # too (a red sleeve over a grey wall of the same brightness).
        change = cv2.absdiff(picture, past_picture).max(axis=2)
        if float(change.mean()) > settings.scene_cut:
            self.cuts += 1
            return self._start(picture, plane)
        if settings.motion_blur > 0:
            change = cv2.GaussianBlur(change, (0, 0), settings.motion_blur)
        still = np.clip(1.0 - change / settings.let_go, 0.0, 1.0)
        self._still, self._flow_now = still, flow
        memory = settings.hold * still
        followed = memory * past_plane + (1.0 - memory) * plane
        if settings.keep_band > 0:
            was_person = past_plane > 0.5
            crossed = (followed > 0.5) != was_person
            barely = np.abs(followed - 0.5) < settings.keep_band
            keep = crossed & barely & (still >= 1.0)
            followed = np.where(keep, past_plane, followed)
        followed = np.clip(followed, 0.0, 1.0).astype(np.float32)
        self._plane, self._picture = followed, picture
        return followed

    def _flow(self, picture: np.ndarray) -> np.ndarray:
        """For each pixel of this frame, where it was in the last one (plane pixels)."""
        # At half the plane's resolution: the flow is smooth over a person, and
        # the full-size estimate cost a fifth of a 720p frame's cut-out.
        rows, columns = picture.shape[:2]
        half = (max(1, columns // 2), max(1, rows // 2))
        now, before = (cv2.cvtColor(cv2.resize((p * 255).astype(np.uint8), half, interpolation=cv2.INTER_AREA),
                                    cv2.COLOR_BGR2GRAY) for p in (picture, self._picture))
        flow = cv2.calcOpticalFlowFarneback(now, before, None, 0.5, 3, 9, 3, 5, 1.1, 0)
        flow = cv2.resize(flow, (columns, rows), interpolation=cv2.INTER_LINEAR)
        flow[..., 0] *= columns / half[0]
        flow[..., 1] *= rows / half[1]
        # Each warp resamples, and resampling a still edge every frame would
        # blur it: the sensor's noise moves nothing.
        flow[np.hypot(flow[..., 0], flow[..., 1]) < self.settings.flow_floor] = 0.0
        return flow

    def _warped(self, image: np.ndarray, flow: np.ndarray | None, scale: tuple[float, float] = (1.0, 1.0)) -> np.ndarray:
        """`image` (the last frame's) moved to where its pixels are now."""
        if flow is None or not flow.any():
            return image
        rows, columns = image.shape[:2]
        grid = self._grids.get((rows, columns))
        if grid is None:  # one per size, kept: a frame's worth of floats each
            grid = self._grids[(rows, columns)] = np.dstack(np.meshgrid(np.arange(columns, dtype=np.float32),
                                                                        np.arange(rows, dtype=np.float32)))
        if flow.shape[:2] == (rows, columns):
            mapping = flow + grid
        else:  # a fresh array: scaled and moved in place
            mapping = cv2.resize(flow, (columns, rows), interpolation=cv2.INTER_LINEAR)
            mapping *= np.float32(scale)
            mapping += grid
        return cv2.remap(image, mapping, None, cv2.INTER_LINEAR, borderMode=cv2.BORDER_REPLICATE)

    def _start(self, picture: np.ndarray, plane: np.ndarray) -> np.ndarray:
        self._plane, self._picture = np.clip(plane, 0.0, 1.0).astype(np.float32), picture
        self._still, self._flow_now = None, None
        return self._plane

    def settle(self, alpha: np.ndarray) -> np.ndarray:
        """The refined alpha of the frame just followed, with some of the
        last frame's where the picture is still: the refinement answers the
        sensor's noise in every frame, and a steadier coarse plane does not
        remove that. Called after `follow`, for the same frame."""
        settings = self.settings
        previous, self._alpha = self._alpha, alpha
        if self._still is None or previous is None or previous.shape != alpha.shape or settings.settle <= 0:
            return alpha
        still = cv2.resize(self._still, (alpha.shape[1], alpha.shape[0]), interpolation=cv2.INTER_LINEAR)
        if self._flow_now is not None:
            rows, columns = self._still.shape
            previous = self._warped(previous, self._flow_now, (alpha.shape[1] / columns, alpha.shape[0] / rows))
        memory = settings.settle * still
        settled = (memory * previous + (1.0 - memory) * alpha).astype(np.float32)
        self._alpha = settled
        return settled

    @staticmethod
    def _thumbnail(photo: np.ndarray, shape: tuple[int, int]) -> np.ndarray:
        """The frame's colours, 0-1, at the plane's resolution (an area
        mean, which also averages most of the sensor's noise away)."""
        small = cv2.resize(np.ascontiguousarray(photo), (shape[1], shape[0]), interpolation=cv2.INTER_AREA)
        return small.astype(np.float32) * (1.0 / 255.0)
