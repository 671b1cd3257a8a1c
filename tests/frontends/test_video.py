"""Clips: round trips per container and codec, refusals that write nothing,
the command line, folder mode and the frame generator."""

import json
import os

import numpy as np
import pytest

from portrait_studio import Cutout, ImageError, Request, cut_out, cut_out_frames, parse_background
from portrait_studio.video.media import VideoError
from portrait_studio.video.stream import write_clip


@pytest.fixture(scope="module")
def cutout(red_model):
    return Cutout(red_model)


def request(background="white", **fields):
    return Request(matte=fields.pop("matte", "fast"), background=parse_background(background), **fields)


def leftovers(folder):
    return sorted(name for name in os.listdir(folder) if name.startswith(".portrait-tmp-"))


# input (name, codec, sound), output extension, background; whether the sound
# goes across as its very packets
ROUND_TRIPS = [
    (("in.mp4", "libx264", "aac"), ".mp4", "blur", True),
    (("in.mov", "libx264", "aac"), ".mov", "transparent", True),
    (("in.webm", "libvpx-vp9", "libopus"), ".webm", "transparent", True),
    (("in_hevc.mp4", "libx265", "aac"), ".mov", "#2050a0", True),
    (("in_vp8.webm", "libvpx", "libopus"), ".mp4", "mask", True),
    (("in_av1.webm", "libsvtav1", None), ".webm", "white", True),
    (("in_aac.mp4", "libx264", "aac"), ".webm", "transparent", False),  # WebM takes no AAC: encoded again
]


@pytest.mark.parametrize(("given", "extension", "background", "same_sound"), ROUND_TRIPS,
                         ids=[f"{g[0]}->{e}-{b}" for g, e, b, _ in ROUND_TRIPS])
def test_round_trip_keeps_frames_timing_sound_and_alpha(tmp_path, clips, cutout, given, extension, background,
                                                        same_sound):
    name, codec, sound = given
    size = (64, 64) if codec == "libsvtav1" else (64, 48)
    source = clips.make_clip(tmp_path / name, codec, width=size[0], height=size[1], sound=sound)
    target = tmp_path / f"out{extension}"
    mask = background == "mask"
    made = write_clip(cutout, source, target, request("white" if mask else background, mask=mask))
    before, after = clips.probe(source), clips.probe(target)
    assert after["frames"] == before["frames"] == made.frames == 12
    assert after["size"] == before["size"]
    assert after["rate"] == before["rate"]
    assert after["duration"] == pytest.approx(before["duration"], abs=1e-3)
    assert made.seconds == pytest.approx(before["duration"], abs=1e-3)
    if sound and same_sound:
        assert after["sound"] == before["sound"] and after["sound_codec"] == before["sound_codec"]
    elif sound:
        assert after["sound"] and any("encoded again" in warning for warning in made.warnings)
    else:
        assert not after["sound"]
    if background == "transparent":
        assert len(after["alphas"]) == 12
        for index, alpha in enumerate(after["alphas"]):
            square = clips.square_frame(index, *size)[:, :, 2] > 200  # the red square is the person
            assert alpha[square].mean() > 200 and alpha[~square].mean() < 40
    else:
        assert not after["alphas"]
    assert leftovers(tmp_path) == []


def test_rotation_flag_is_honoured(tmp_path, clips, cutout):
    """A phone's portrait clip: stored on its side with a flag; written upright."""
    source = clips.make_clip(tmp_path / "phone.mp4", rotation=90, sound=None)
    target = tmp_path / "upright.webm"
    write_clip(cutout, source, target, request("transparent"))
    alpha = clips.probe(target)["alphas"][0]
    stored = clips.square_frame(0, 64, 48)[:, :, 2] > 200
    assert alpha.shape == (64, 48)
    upright = np.rot90(stored)  # turned a quarter counter-clockwise, as the flag says
    assert alpha[upright].mean() > 200 and alpha[~upright].mean() < 40


def audio_only(path):
    import av

    with av.open(str(path), "w") as container:
        stream = container.add_stream("aac", rate=8000, layout="mono")
        frame = av.AudioFrame.from_ndarray(np.zeros((1, 1024), np.int16), format="s16", layout="mono")
        frame.sample_rate = 8000
        for packet in [*stream.encode(frame), *stream.encode()]:
            container.mux(packet)
    return path


def cut_short(clips, path, codec="libx264"):
    clips.make_clip(path, codec, frames=30, sound=None, pictures=lambda i: np.random.default_rng(i).integers(
        0, 255, (48, 64, 3), np.uint8))
    data = path.read_bytes()
    path.write_bytes(data[: len(data) // 2])
    return path


REFUSALS = [
    ("random bytes", lambda clips, p: (p.write_bytes(os.urandom(4000)), p)[1], {}, "not a clip that can be read"),
    ("cut short", cut_short, {}, "damaged"),  # MP4's index comes last: the file does not open
    ("WebM cut short", lambda clips, p: cut_short(clips, p.with_suffix(".webm"), "libvpx-vp9"), {}, "cut short"),
    ("sound only", lambda clips, p: audio_only(p), {}, "no video stream"),
    ("too many pixels", lambda clips, p: clips.make_clip(p), {"max_pixels": 64 * 48 - 1}, "over the limit"),
    ("too many frames", lambda clips, p: clips.make_clip(p), {"max_frames": 11}, "over the limit of 11"),
]


@pytest.mark.parametrize(("make", "limits", "says"), [r[1:] for r in REFUSALS], ids=[r[0] for r in REFUSALS])
@pytest.mark.parametrize("extension", [".mp4", ".webm"])
def test_refused_clips_write_nothing(tmp_path, clips, cutout, make, limits, says, extension):
    source = make(clips, tmp_path / "in.mp4")
    target = tmp_path / f"out{extension}"
    wanted = request("white", max_pixels=limits.get("max_pixels"))
    with pytest.raises(VideoError, match=says):
        write_clip(cutout, source, target, wanted, max_frames=limits.get("max_frames"))
    assert not target.exists() and leftovers(tmp_path) == []


def test_transparency_in_mp4_is_refused_before_reading(tmp_path, cutout):
    with pytest.raises(VideoError, match="MP4 cannot hold transparency: write .webm"):
        write_clip(cutout, tmp_path / "missing.mp4", tmp_path / "out.mp4", request("transparent"))


def test_failure_mid_clip_leaves_no_partial_file(tmp_path, clips, cutout):
    source = clips.make_clip(tmp_path / "in.mp4", frames=20)
    target = tmp_path / "out.mp4"

    def interrupt(done, expected):
        if done == 5:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        write_clip(cutout, source, target, request("blur"), progress=interrupt)
    assert not target.exists() and leftovers(tmp_path) == []


def test_frames_generator_is_cut_out_frame_by_frame_when_not_steady(red_model):
    frames = [np.ascontiguousarray(np.roll(np.full((48, 64, 3), 90, np.uint8), 0)) for _ in range(3)]
    for index, frame in enumerate(frames):
        frame[12:36, 16 + 2 * index : 37 + 2 * index] = (30, 30, 220)
    loose = list(cut_out_frames(iter(frames), background="#2050a0", model=red_model, steady=False))
    single = [cut_out(frame, background="#2050a0", matte="fast", model=red_model) for frame in frames]
    assert all(np.array_equal(a, b) for a, b in zip(loose, single))
    steady = list(cut_out_frames(frames, background="#2050a0", model=red_model))
    assert np.array_equal(steady[0], single[0])  # the first frame has no past
    with pytest.raises(ImageError, match="over the limit"):
        next(cut_out_frames(frames, model=red_model, max_pixels=100))


def test_command_line_writes_a_clip_and_reports_it(tmp_path, clips, run_cli, red_model):
    source = clips.make_clip(tmp_path / "clip.mp4")
    result = run_cli(source, "-o", tmp_path / "out.webm", "--background", "transparent", "--model", red_model,
                     "--report", tmp_path / "run.jsonl")
    assert result.returncode == 0, result.stderr
    assert "12 frames" in result.stdout
    line = json.loads((tmp_path / "run.jsonl").read_text())
    assert line["ok"] and line["frames"] == 12 and line["seconds"] == pytest.approx(0.48)
    assert 0.0 <= line["confidence"] <= 1.0
    refused = run_cli(source, "-o", tmp_path / "out.mp4", "--background", "transparent", "--model", red_model)
    assert refused.returncode == 1 and "cannot hold transparency" in refused.stderr
    assert not (tmp_path / "out.mp4").exists()
    assert "--matte defaults to fast" in run_cli("--help").stdout


def test_folder_mode_finds_clips_beside_photographs(tmp_path, clips, run_cli, red_model, make_photos):
    folder = tmp_path / "in"
    folder.mkdir()
    clips.make_clip(folder / "clip.mp4")
    import cv2

    cv2.imwrite(str(folder / "photo.png"), clips.square_frame(0, 64, 48))
    result = run_cli(folder, "-o", tmp_path / "out", "--model", red_model, "--matte", "fast",
                     "--report", tmp_path / "run.jsonl", "--jobs", "1")
    assert result.returncode == 0, result.stderr
    assert sorted(os.listdir(tmp_path / "out")) == ["clip.mp4", "photo.png"]
    assert clips.probe(tmp_path / "out" / "clip.mp4")["frames"] == 12
    lines = {json.loads(line)["input"].rsplit("/", 1)[-1]: json.loads(line)
             for line in (tmp_path / "run.jsonl").read_text().splitlines()}
    assert lines["clip.mp4"]["frames"] == 12 and "frames" not in lines["photo.png"]


def test_without_pyav_the_message_names_the_extra(tmp_path, monkeypatch, cutout):
    import sys

    monkeypatch.setitem(sys.modules, "av", None)  # import av raises ImportError
    with pytest.raises(VideoError, match=r"pip install 'portrait-main\[video\]'"):
        write_clip(cutout, tmp_path / "in.mp4", tmp_path / "out.mp4", request("blur"))
    assert not (tmp_path / "out.mp4").exists()


def test_lowest_confidence_is_the_worst_frames_own(tmp_path, clips, cutout):
    """One unsure frame (everything half red, which the red model calls half
    person) among sure ones: the clip's confidence is that frame's, as
    `produce` measures it on its own."""
    unsure = np.full((48, 64, 3), (100, 100, 165), np.uint8)

    def pictures(index):
        return unsure if index == 6 else clips.square_frame(index, 64, 48)

    source = clips.make_clip(tmp_path / "in.mp4", pictures=pictures, sound=None)
    made = write_clip(cutout, source, tmp_path / "out.mp4", request("blur"))
    import av

    with av.open(str(source)) as container:
        decoded = [f.to_ndarray(format="bgr24") for f in container.decode(video=0)]
    own = [cutout.produce(frame, request("blur")).confidence for frame in decoded]
    assert min(own) < 0.5 < max(own)
    assert made.lowest_confidence == pytest.approx(min(own))
