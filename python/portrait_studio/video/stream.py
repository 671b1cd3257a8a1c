"""A clip from a file to a file: decoded, cut out and encoded as a stream.

    decoder thread --(bounded queue)--> cut-out (this thread) --(bounded queue)--> encoder thread

Each frame goes through `Cutout.produce`, the one path photographs take,
with the clip's `TemporalMatte`; the decoder and the encoder (FFmpeg's, which
release the GIL) work on the frames before and after the one being cut out.
The queues hold a few frames each, so memory is that of a few frames
whatever the clip's length. The clip is written under a temporary name and
renamed into place at the end: a failure or Ctrl-C leaves nothing behind.
"""

from __future__ import annotations

import queue
import threading
import time
from dataclasses import dataclass, field

from ..core import imageio
from ..core.request import Request
from .media import ClipReader, ClipWriter, VideoError, check_target
from .temporal import TemporalMatte

QUEUED_FRAMES = 4  # on each side of the cut-out: enough to keep the decoder and the encoder busy
_END = ("end",)


@dataclass
class ClipReport:
    """What writing a clip did."""

    frames: int = 0
    seconds: float = 0.0  # the clip's length, from its time stamps
    lowest_confidence: float | None = None
    scene_cuts: int = 0
    warnings: list[str] = field(default_factory=list)
    elapsed: float = 0.0  # wall-clock seconds the work took

    @property
    def frames_per_second(self) -> float:
        return self.frames / self.elapsed if self.elapsed > 0 else 0.0


def _put(channel: queue.Queue, item, stop: threading.Event) -> bool:
    """Puts `item` unless the run is stopping; False when it is."""
    while not stop.is_set():
        try:
            channel.put(item, timeout=0.1)
            return True
        except queue.Full:
            continue
    return False


def write_clip(cutout, source, target, request: Request, *, max_frames: int | None = None, steady: bool = True,
               progress=None) -> ClipReport:
    """Cuts the person out of every frame of `source` as `request` asks and
    writes the clip `target` (its extension picks the format), with the
    source's time stamps and sound. `steady` follows the matte through time
    (TemporalMatte); without it every frame is cut out on its own.
    `progress(frames_done, frames_expected)` is called on this thread after
    each frame (`frames_expected` as the container says, or None).
    Raises VideoError (nothing written) for a clip that cannot be read,
    is over the limits, or cannot be written as asked."""
    source_name, target_name = imageio.shown(source), imageio.shown(target)
    if imageio.same_file(source, target):
        raise VideoError(f"{target_name}: refusing to overwrite the input clip")
    extension = imageio.extension_of(target)
    try:
        check_target(extension, request.has_alpha)
    except VideoError as error:
        raise VideoError(f"{target_name}: {error}") from None
    if request.id_photo is not None:
        raise VideoError(f"{source_name}: ID photos are made from photographs, not clips")
    report = ClipReport()
    started = time.perf_counter()
    with ClipReader(source, request.max_pixels, max_frames) as reader, imageio.atomic_target(target) as temporary:
        _run(cutout, reader, temporary, extension, request, report, TemporalMatte() if steady else None, progress,
             target_name)
    report.elapsed = time.perf_counter() - started
    report.warnings = [f"{target_name}: {warning}" for warning in report.warnings]
    return report


def _run(cutout, reader: ClipReader, temporary: str, extension: str, request: Request, report: ClipReport,
         temporal: TemporalMatte | None, progress, target_name: str) -> None:
    stop = threading.Event()
    decoded: queue.Queue = queue.Queue(QUEUED_FRAMES)
    made: queue.Queue = queue.Queue(QUEUED_FRAMES)
    failures: list[BaseException] = []
    stamps: list[int] = []  # the first frame's start and the last frame's end, in the stream's time base

    def decode() -> None:
        try:
            for item in reader.items():
                if not _put(decoded, item, stop):
                    return
        except BaseException as error:  # said on the cut-out's thread
            _put(decoded, ("failed", error), stop)
            return
        _put(decoded, _END, stop)

    def encode() -> None:
        writer = None
        early_sound = []  # sound read before the first picture fixed the video's size
        try:
            while True:
                item = made.get()
                if item is _END:
                    break
                if item[0] == "sound":
                    if writer is None:
                        early_sound.append(item[1])
                    else:
                        writer.add_sound(item[1])
                    continue
                _, picture, pts, duration = item
                if writer is None:
                    writer = ClipWriter(temporary, extension, picture.shape[1], picture.shape[0], reader.info,
                                        reader.sound, alpha=request.has_alpha, mask=request.mask)
                    for packet in early_sound:
                        writer.add_sound(packet)
                    early_sound.clear()
                writer.add_frame(picture, pts, duration)
            if writer is not None:
                writer.finish()
                report.warnings.extend(writer.warnings)
        except BaseException as error:
            failures.append(error)
            stop.set()
            if writer is not None:
                writer.abandon()
            while made.get() is not _END:  # the cut-out's side always ends with _END
                pass

    decoder = threading.Thread(target=decode, name="portrait-clip-decoder", daemon=True)
    encoder = threading.Thread(target=encode, name="portrait-clip-encoder", daemon=True)
    decoder.start()
    encoder.start()
    try:
        while not stop.is_set():
            try:
                item = decoded.get(timeout=0.1)
            except queue.Empty:
                continue
            if item is _END:
                break
            if item[0] == "failed":
                raise item[1]
            if item[0] == "sound":
                _put(made, item, stop)
                continue
            _, photo, pts, duration = item
            output = cutout.produce(photo, request, temporal=temporal)
            _put(made, ("frame", output.picture, pts, duration), stop)
            report.frames += 1
            if output.confidence is not None:
                low = report.lowest_confidence
                report.lowest_confidence = output.confidence if low is None else min(low, output.confidence)
            if pts is not None:
                if not stamps:
                    stamps[:] = [pts, pts]
                stamps[0] = min(stamps[0], pts)
                stamps[1] = max(stamps[1], pts + (duration or 0))
            if progress is not None:
                progress(report.frames, reader.expected_frames)
    except BaseException:
        stop.set()
        raise
    finally:
        made.put(_END)  # taken whatever happened: a failed encoder drains up to it
        encoder.join()
        stop.set()
        while decoder.is_alive():  # it may be waiting to put
            try:
                decoded.get(timeout=0.1)
            except queue.Empty:
                pass
        decoder.join()
    if failures:
        error = failures[0]
        if isinstance(error, imageio.ImageError):
            raise error
        raise VideoError(f"{target_name}: the clip could not be written ({error})") from error
    if report.frames == 0:
        raise VideoError(f"{reader.name}: no frame could be decoded")
    if stamps:
        report.seconds = float((stamps[1] - stamps[0]) * reader.info.time_base)
    if temporal is not None:
        report.scene_cuts = temporal.cuts
