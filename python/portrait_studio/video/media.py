"""Reading and writing clips with PyAV (FFmpeg's libraries; the `[video]` extra).

A clip is read as upright B, G, R frames with their time stamps (a phone's
rotation flag applied to the pixels, so the cut-out sees the person standing)
and its sound as the packets it was stored in; a clip is written with the
same time stamps and those same packets, so frame rate, timing and sound
come out as they went in. The container follows the output's extension:

    .mp4         H.264, 4:2:0 (no alpha)
    .webm        VP9; with alpha (yuva420p) for a transparent background
    .mov         H.264, or ProRes 4444 with alpha for a transparent background
"""

from __future__ import annotations

import fractions
from dataclasses import dataclass

import cv2
import numpy as np

from ..core import imageio

# A clip longer than this is refused before a frame is decoded (30 minutes at
# 30 frames a second): what a clip costs is its length, as a photograph's is
# its pixels. Raised with --max-frames / max_frames=.
DEFAULT_MAX_FRAMES = 54_000

NEEDS_PYAV = "video needs PyAV: install the video extra, pip install 'portrait-main[video]'"


class VideoError(imageio.ImageError):
    """A clip that cannot be read or written as asked; nothing was written."""


def pyav():
    """The `av` module, or a VideoError naming the extra that brings it."""
    try:
        import av
    except ImportError:
        raise VideoError(NEEDS_PYAV) from None
    return av


# The sound codecs each container takes as they are; anything else is
# encoded again into the container's own (and said so).
COPIES_SOUND = {
    ".mp4": {"aac", "mp3", "opus", "alac", "flac", "ac3", "eac3"},
    ".mov": {"aac", "mp3", "alac", "pcm_s16le", "pcm_s24le", "pcm_s16be", "pcm_s24be", "pcm_f32le", "ac3"},
    ".webm": {"opus", "vorbis"},
}
OWN_SOUND = {".mp4": "aac", ".mov": "aac", ".webm": "libopus"}


@dataclass(frozen=True)
class ClipInfo:
    width: int  # as shown, after the rotation flag
    height: int
    rate: fractions.Fraction  # frames a second, on average
    time_base: fractions.Fraction
    frames: int | None  # as the container says, when it does
    rotation: int  # degrees counter-clockwise the stored pixels are turned to show them
    has_sound: bool


class ClipReader:
    """An open clip: `info`, then `items()` in file order: ("frame", B, G, R
    array, pts, duration) and ("sound", packet) for each sound packet. Use
    as a context manager."""

    def __init__(self, path, max_pixels: int | None = None, max_frames: int | None = None):
        av = pyav()
        self.name = imageio.shown(path)
        self.max_frames = max_frames or DEFAULT_MAX_FRAMES
        try:
            self.container = av.open(str(path), "r")
        except FileNotFoundError:
            raise VideoError(f"{self.name}: no such file") from None
        except (av.error.FFmpegError, UnicodeDecodeError) as error:
            raise VideoError(f"{self.name}: not a clip that can be read, or damaged ({_reason(error)})") from None
        try:
            self._check(max_pixels or imageio.DEFAULT_MAX_PIXELS)
        except BaseException:
            self.container.close()
            raise

    def _check(self, max_pixels: int) -> None:
        videos = self.container.streams.video
        if not videos:
            raise VideoError(f"{self.name}: no video stream in it (sound or data only)")
        self.video = videos[0]
        context = self.video.codec_context
        width, height = context.width, context.height
        if width < 1 or height < 1:
            raise VideoError(f"{self.name}: damaged: its video stream claims {width} x {height} pixels")
        try:
            imageio.check_pixels(width, height, max_pixels, f"{self.name}: each frame")
        except imageio.ImageError as error:
            raise VideoError(str(error)) from None
        rate = self.video.average_rate or self.video.guessed_rate or fractions.Fraction(25)
        frames = self.video.frames or None
        if frames is None and self.video.duration and self.video.time_base:
            frames = round(float(self.video.duration * self.video.time_base * rate))
        if frames is None and self.container.duration:
            frames = round(self.container.duration / 1_000_000 * float(rate))
        if frames is not None and frames > self.max_frames:
            raise VideoError(f"{self.name}: {frames} frames, over the limit of {self.max_frames}: "
                             "cut it shorter first, or raise the limit (--max-frames)")
        self.expected_frames = frames
        self.sound = self.container.streams.audio[0] if self.container.streams.audio else None
        self.info = ClipInfo(width, height, fractions.Fraction(rate), self.video.time_base, self.video.frames or None,
                             0, self.sound is not None)
        self.video.thread_type = "AUTO"

    def items(self):
        av = pyav()
        streams = [self.video] + ([self.sound] if self.sound is not None else [])
        decoded = 0
        turned = None
        frame_duration = None
        try:
            for packet in self.container.demux(streams):
                if packet.stream is self.sound:
                    if packet.size:
                        yield ("sound", packet)
                    continue
                for frame in packet.decode():
                    decoded += 1
                    if decoded > self.max_frames:
                        raise VideoError(f"{self.name}: more than {self.max_frames} frames, over the limit: "
                                         "cut it shorter first, or raise the limit (--max-frames)")
                    if turned is None:
                        turned = frame.rotation % 360
                    pixels = upright(frame.to_ndarray(format="bgr24"), turned)
                    if frame_duration is None and self.info.rate:
                        frame_duration = round(1 / (self.info.rate * self.video.time_base))
                    yield ("frame", pixels, frame.pts, frame.duration or frame_duration)
        except av.error.FFmpegError as error:
            raise VideoError(f"{self.name}: damaged after {decoded} frames ({_reason(error)})") from None
        if decoded == 0:
            raise VideoError(f"{self.name}: damaged: no frame in its video stream could be decoded")
        expected = self.expected_frames
        if expected is not None and decoded < expected - 1:  # the container's estimate may round up
            raise VideoError(f"{self.name}: damaged or cut short: {decoded} of its {expected} frames decoded")

    def close(self) -> None:
        self.container.close()

    def __enter__(self) -> ClipReader:
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def upright(pixels: np.ndarray, rotation: int) -> np.ndarray:
    """The stored pixels turned as the display matrix says (counter-clockwise degrees)."""
    turn = {90: cv2.ROTATE_90_COUNTERCLOCKWISE, 180: cv2.ROTATE_180, 270: cv2.ROTATE_90_CLOCKWISE}
    rotation = (round(rotation / 90) * 90) % 360
    return cv2.rotate(pixels, turn[rotation]) if rotation in turn else pixels


def _reason(error: BaseException) -> str:
    return getattr(error, "strerror", None) or type(error).__name__


def check_target(extension: str, alpha: bool) -> None:
    """Refuses, before any work, a clip format that cannot be written or cannot hold alpha."""
    from . import ALPHA_CLIPS, WRITABLE_CLIPS

    if extension not in WRITABLE_CLIPS:
        raise VideoError(f"a clip is written as {', '.join(WRITABLE_CLIPS)}, not {extension or 'a file without one'}")
    if alpha and extension not in ALPHA_CLIPS:
        raise VideoError(f"{extension[1:].upper()} cannot hold transparency: write .webm (VP9 with alpha) "
                         "or .mov (ProRes 4444), or choose another --background")


class ClipWriter:
    """A clip being written to `temporary` (the caller renames it into
    place): video of `width` x `height` with the source's time base, and the
    source's sound packets copied (or encoded again where the container
    cannot take them)."""

    def __init__(self, temporary: str, extension: str, width: int, height: int, info: ClipInfo, sound_stream,
                 *, alpha: bool = False, mask: bool = False):
        av = pyav()
        self.warnings: list[str] = []
        self.container = av.open(temporary, "w", format={".mov": "mov", ".mp4": "mp4", ".webm": "webm"}[extension])
        try:
            self.video = self._video_stream(extension, width, height, info, alpha)
            self._pixel_format = "bgra" if alpha else ("gray" if mask else "bgr24")
            self.sound, self._sound_encoder, self._sound_decoder = None, None, None
            if sound_stream is not None:
                self._add_sound(extension, sound_stream)
        except BaseException:
            self.container.close()
            raise

    def _video_stream(self, extension, width, height, info: ClipInfo, alpha: bool):
        even = width % 2 == 0 and height % 2 == 0
        if alpha and extension == ".webm":
            codec, pixel_format, options = "libvpx-vp9", "yuva420p", {"crf": "30", "b": "0", "row-mt": "1"}
        elif alpha:  # .mov
            codec, pixel_format, options = "prores_ks", "yuva444p10le", {"profile": "4444"}
        elif extension == ".webm":
            codec, pixel_format, options = "libvpx-vp9", "yuv420p", {"crf": "30", "b": "0", "row-mt": "1"}
        else:
            # 4:2:0 halves the chroma; an odd size cannot, and takes 4:4:4.
            codec, pixel_format, options = "libx264", "yuv420p" if even else "yuv444p", {"crf": "18", "preset": "fast"}
        stream = self.container.add_stream(codec, rate=info.rate, options=options)
        stream.width, stream.height, stream.pix_fmt = width, height, pixel_format
        stream.time_base = info.time_base
        stream.codec_context.time_base = info.time_base
        stream.thread_type = "AUTO"
        return stream

    def _add_sound(self, extension: str, source) -> None:
        name = source.codec_context.name
        if name in COPIES_SOUND[extension]:
            self.sound = self.container.add_stream_from_template(source)
            return
        own = OWN_SOUND[extension]
        context = source.codec_context
        rate = context.sample_rate if own != "libopus" else 48000
        self.sound = self.container.add_stream(own, rate=rate, layout=context.layout.name if context.layout else "stereo")
        self._sound_encoder = self.sound
        self._sound_decoder = context
        self.warnings.append(f"the sound ({name}) cannot go into {extension[1:].upper()} as it is: "
                             f"encoded again as {own.removeprefix('lib')}")

    def add_frame(self, picture: np.ndarray, pts: int | None, duration: int | None) -> None:
        av = pyav()
        frame = av.VideoFrame.from_ndarray(np.ascontiguousarray(picture), format=self._pixel_format)
        frame.pts = pts
        frame.time_base = self.video.codec_context.time_base
        if duration:
            frame.duration = duration
        for packet in self.video.encode(frame):
            self.container.mux(packet)

    def add_sound(self, packet) -> None:
        if self.sound is None:
            return
        if self._sound_encoder is None:
            packet.stream = self.sound
            self.container.mux(packet)
            return
        for frame in packet.decode():
            frame.pts = None
            for out in self._sound_encoder.encode(frame):
                self.container.mux(out)

    def finish(self) -> None:
        for packet in self.video.encode():
            self.container.mux(packet)
        if self._sound_encoder is not None:
            for frame in self._sound_decoder.decode(None):
                frame.pts = None
                for out in self._sound_encoder.encode(frame):
                    self.container.mux(out)
            for out in self._sound_encoder.encode(None):
                self.container.mux(out)
        self.container.close()

    def abandon(self) -> None:
        import contextlib

        with contextlib.suppress(Exception):
            self.container.close()
