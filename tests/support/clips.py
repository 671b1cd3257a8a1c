"""Tiny clips made on the fly with PyAV: a red square (what the red test
model calls person) gliding over grey, with a tone for sound."""

from __future__ import annotations

import fractions
from pathlib import Path

import numpy as np

FORMATS = {".mp4": "mp4", ".mov": "mov", ".webm": "webm", ".mkv": "matroska"}


def square_frame(index: int, width: int, height: int, shift: int = 1) -> np.ndarray:
    frame = np.full((height, width, 3), 90, np.uint8)
    top, left = height // 4, width // 4 + index * shift
    frame[top : top + height // 2, left : left + width // 3] = (30, 30, 220)
    return frame


def make_clip(path: Path, codec: str = "libx264", *, frames: int = 12, width: int = 64, height: int = 48,
              rate: int = 25, sound: str | None = "aac", rotation: int | None = None, pictures=None) -> Path:
    """Writes the clip and returns its path. `pictures(index)`, when given,
    makes each B, G, R frame instead of the gliding square."""
    import av

    container = av.open(str(path), "w", format=FORMATS[Path(path).suffix])
    video = container.add_stream(codec, rate=fractions.Fraction(rate))
    video.width, video.height, video.pix_fmt = width, height, "yuv420p"
    if codec == "libx264":
        video.options = {"crf": "10", "preset": "ultrafast"}
    if rotation:
        video.set_display_rotation(rotation)
    audio = None
    if sound:
        audio = container.add_stream(sound, rate=48000 if sound in ("libopus", "opus") else 8000, layout="mono")
    samples = audio.codec_context.sample_rate // rate if audio is not None else 0
    clock = 0
    for index in range(frames):
        picture = pictures(index) if pictures is not None else square_frame(index, width, height)
        for packet in video.encode(av.VideoFrame.from_ndarray(picture, format="bgr24")):
            container.mux(packet)
        if audio is not None:
            tone = (np.sin((clock + np.arange(samples)) * 0.05) * 8000).astype(np.int16)[None]
            clock += samples
            sound_frame = av.AudioFrame.from_ndarray(tone, format="s16", layout="mono")
            sound_frame.sample_rate = audio.codec_context.sample_rate
            for packet in audio.encode(sound_frame):
                container.mux(packet)
    for packet in video.encode():
        container.mux(packet)
    if audio is not None:
        for packet in audio.encode():
            container.mux(packet)
    container.close()
    return Path(path)


def probe(path: Path) -> dict:
    """What the round trips compare, read back independently of the product:
    frame count, size, frame rate, duration, the sound's packets, whether the
    frames carry alpha (VP9's alpha through libvpx's decoder, which reads it)."""
    import av

    with av.open(str(path)) as container:
        video = container.streams.video[0]
        name, rate = video.codec_context.name, video.average_rate
        width, height = video.codec_context.width, video.codec_context.height
        alpha_vp9 = name == "vp9" and video.metadata.get("alpha_mode") == "1"
        decoder = av.CodecContext.create("libvpx-vp9", "r") if alpha_vp9 else None
        streams = [video] + list(container.streams.audio[:1])
        pts, sound, alphas = [], [], []
        for packet in container.demux(streams):
            if packet.stream.type == "audio":
                if packet.size:
                    sound.append(bytes(packet))
                continue
            for frame in (decoder.decode(packet) if decoder is not None else packet.decode()):
                pts.append(frame.pts)
                if frame.format.name.startswith("yuva") or frame.format.name in ("gbrap", "argb", "bgra"):
                    alphas.append(frame.to_ndarray(format="bgra")[:, :, 3])
        time_base = video.time_base
        sound_codec = container.streams.audio[0].codec_context.name if container.streams.audio else None
    step = pts[1] - pts[0] if len(pts) > 1 else 0
    return {
        "frames": len(pts),
        "size": (width, height),
        "rate": fractions.Fraction(rate) if rate else None,
        "duration": float((max(pts) - min(pts) + step) * time_base) if pts else 0.0,
        "codec": name,
        "sound": sound,
        "sound_codec": sound_codec,
        "alphas": alphas,
    }
