"""The sample clip and the README's video picture, made from samples/astronaut.png.

    python tools/video_sample.py             writes samples/astronaut_clip.mp4 and docs/images/video_frames.jpg

The clip is the sample photograph filmed by a slow, hand-held camera: the
view pans across it, zooms in and turns a few degrees (3 s, 25 frames a
second, 384 x 288, H.264), with a little sensor noise in every frame. The
picture shows four of its frames above the same frames cut out by
`portrait-main --background blur` and over transparency (a checkerboard).
Deterministic: the same files on every run with the same libraries.
"""

from __future__ import annotations

import subprocess
import sys
import tempfile
from pathlib import Path

import cv2
import numpy as np

REPO = Path(__file__).resolve().parent.parent
SAMPLE = REPO / "samples" / "astronaut.png"
CLIP = REPO / "samples" / "astronaut_clip.mp4"
PICTURE = REPO / "docs" / "images" / "video_frames.jpg"
WIDTH, HEIGHT, RATE, FRAMES = 384, 288, 25, 75
SHOWN = (0, 25, 50, 74)


def camera(index: int) -> np.ndarray:
    """The view's affine map from the photograph to the frame at `index`."""
    t = index / (FRAMES - 1)
    ease = 0.5 - 0.5 * np.cos(np.pi * t)
    zoom = 0.62 + 0.18 * ease  # frame pixels per photograph pixel
    angle = -4.0 + 8.0 * ease + 0.6 * np.sin(2 * np.pi * 1.3 * t)  # degrees, with a hand's sway
    centre = (236 - 30 * ease, 250 - 40 * ease)  # the photograph point at the frame's centre
    turn = cv2.getRotationMatrix2D(centre, angle, zoom)
    turn[:, 2] += (WIDTH / 2 - centre[0], HEIGHT / 2 - centre[1])
    return turn


def make_clip(path: Path) -> None:
    import av

    photo = cv2.imread(str(SAMPLE))
    rng = np.random.default_rng(2024)
    with av.open(str(path), "w") as container:
        stream = container.add_stream("libx264", rate=RATE, options={"crf": "23", "preset": "slow"})
        stream.width, stream.height, stream.pix_fmt = WIDTH, HEIGHT, "yuv420p"
        for index in range(FRAMES):
            frame = cv2.warpAffine(photo, camera(index), (WIDTH, HEIGHT), flags=cv2.INTER_CUBIC,
                                   borderMode=cv2.BORDER_REFLECT)
            frame = np.clip(frame + rng.normal(0, 2.0, frame.shape), 0, 255).astype(np.uint8)
            for packet in stream.encode(av.VideoFrame.from_ndarray(frame, format="bgr24")):
                container.mux(packet)
        for packet in stream.encode():
            container.mux(packet)


def frames_of(path: Path, wanted, alpha: bool = False) -> list[np.ndarray]:
    import av

    with av.open(str(path)) as container:
        video = container.streams.video[0]
        decoder = av.CodecContext.create("libvpx-vp9", "r") if alpha else None
        found = []
        index = 0
        for packet in container.demux(video):
            for frame in (decoder.decode(packet) if decoder else packet.decode()):
                if index in wanted:
                    found.append(frame.to_ndarray(format="bgra" if alpha else "bgr24"))
                index += 1
    return found


def checkerboard(picture: np.ndarray) -> np.ndarray:
    rows, columns = picture.shape[:2]
    squares = ((np.arange(rows)[:, None] // 12 + np.arange(columns)[None, :] // 12) % 2).astype(np.float32)
    board = (200 + 40 * squares)[..., None].repeat(3, axis=2)
    alpha = picture[:, :, 3:4].astype(np.float32) / 255
    return (alpha * picture[:, :, :3] + (1 - alpha) * board + 0.5).astype(np.uint8)


def main() -> int:
    make_clip(CLIP)
    command = str(Path(sys.executable).with_name("portrait-main"))
    with tempfile.TemporaryDirectory() as folder:
        blurred, transparent = Path(folder) / "blur.mp4", Path(folder) / "transparent.webm"
        subprocess.run([command, str(CLIP), "-o", str(blurred), "--background", "blur", "-q"], check=True)
        subprocess.run([command, str(CLIP), "-o", str(transparent), "--background", "transparent", "-q"], check=True)
        rows = [frames_of(CLIP, SHOWN), frames_of(blurred, SHOWN),
                [checkerboard(f) for f in frames_of(transparent, SHOWN, alpha=True)]]
    gap = 4
    grid = np.full((3 * HEIGHT + 2 * gap, 4 * WIDTH + 3 * gap, 3), 255, np.uint8)
    for r, row in enumerate(rows):
        for c, frame in enumerate(row):
            grid[r * (HEIGHT + gap) : r * (HEIGHT + gap) + HEIGHT, c * (WIDTH + gap) : c * (WIDTH + gap) + WIDTH] = frame
    small = cv2.resize(grid, (grid.shape[1] * 2 // 3, grid.shape[0] * 2 // 3), interpolation=cv2.INTER_AREA)
    cv2.imwrite(str(PICTURE), small, [cv2.IMWRITE_JPEG_QUALITY, 85])
    print(f"wrote {CLIP.relative_to(REPO)} ({CLIP.stat().st_size // 1024} KB) and {PICTURE.relative_to(REPO)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
