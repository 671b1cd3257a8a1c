"""The temporal matte: steadier than frame by frame where the picture holds
still, no lag where it moves, and a scene cut starts afresh."""

import dataclasses
from pathlib import Path

import cv2
import numpy as np
import pytest

from portrait_studio import Cutout, Request
from portrait_studio.video.temporal import DEFAULT, TemporalMatte

SIZE = 64
CAMERA = Path(__file__).resolve().parents[1] / "data" / "camera.png"


def disc(centre_x: int, radius: int = 14) -> np.ndarray:
    plane = np.zeros((SIZE, SIZE), np.float32)
    cv2.circle(plane, (centre_x, SIZE // 2), radius, 1.0, -1)
    return cv2.GaussianBlur(plane, (0, 0), 1.5)


def picture_of(plane: np.ndarray, person: float = 0.8, behind: float = 0.3, noise: float = 0.0, seed: int = 0):
    grey = behind + (person - behind) * plane
    grey = grey + np.random.default_rng(seed).normal(0, noise, grey.shape)
    return np.repeat(np.clip(grey * 255 + 0.5, 0, 255).astype(np.uint8)[..., None], 3, axis=2)


def flicker(planes) -> float:
    return float(np.mean([np.abs(a - b).mean() for a, b in zip(planes, planes[1:])]))


@pytest.mark.parametrize("seed", range(3))
def test_still_scene_is_steadier_and_no_less_true(seed):
    rng = np.random.default_rng(seed)
    truth = disc(32)
    temporal = TemporalMatte()
    answers, followed = [], []
    for index in range(30):
        answer = np.clip(truth + rng.normal(0, 0.08, truth.shape), 0, 1).astype(np.float32)
        answers.append(answer)
        followed.append(temporal.follow(picture_of(truth, noise=0.01, seed=seed * 100 + index), answer))
    assert flicker(followed) < 0.5 * flicker(answers)
    assert np.mean([np.abs(f - truth).mean() for f in followed]) <= np.mean([np.abs(a - truth).mean() for a in answers])
    assert temporal.cuts == 0


@pytest.mark.parametrize("lets_go", [True, False])
def test_moving_person_is_followed_without_lag(lets_go):
    temporal = TemporalMatte(DEFAULT if lets_go else dataclasses.replace(DEFAULT, let_go=1e9, follow_motion=False))
    errors = []
    for index in range(12):
        truth = disc(16 + 3 * index)
        errors.append(np.abs(temporal.follow(picture_of(truth), truth) - truth).max())
    if lets_go:
        assert max(errors) < 0.1
    else:  # a plain running mean trails the person
        assert max(errors) > 0.3


def scene_cut_frames():
    """Scene A's person is as bright as its background, scene B's room is
    another picture except where A's person stood: only the cut detector can
    tell that the past no longer holds there."""
    person_a = disc(16)
    a = picture_of(np.zeros_like(person_a), behind=0.5)
    b_room = np.where(person_a > 0.01, 0.5, 0.9).astype(np.float32)
    b = np.repeat(np.clip(b_room * 255 + 0.5, 0, 255).astype(np.uint8)[..., None], 3, axis=2)
    return (a, person_a), (b, disc(48))


@pytest.mark.parametrize("detect", [True, False])
def test_scene_cut_starts_afresh(detect):
    (a, plane_a), (b, plane_b) = scene_cut_frames()
    settings = DEFAULT if detect else dataclasses.replace(DEFAULT, scene_cut=1.0)
    temporal = TemporalMatte(settings)
    for _ in range(5):
        temporal.follow(a, plane_a)
    after = temporal.follow(b, plane_b)
    ghost = after[plane_a > 0.5].mean()
    if detect:
        assert temporal.cuts == 1 and np.array_equal(after, plane_b) and ghost < 0.01
    else:  # the rule this guards against: the earlier person lingers
        assert temporal.cuts == 0 and ghost > 0.5


def test_size_change_starts_afresh():
    temporal = TemporalMatte()
    temporal.follow(picture_of(disc(32)), disc(32))
    other = cv2.resize(disc(20), (48, 48))
    assert np.array_equal(temporal.follow(np.zeros((48, 48, 3), np.uint8), other), other)


def test_band_keeps_its_side_while_the_picture_is_still():
    temporal = TemporalMatte()
    picture = picture_of(disc(32))
    start = np.full((SIZE, SIZE), 0.6, np.float32)
    temporal.follow(picture, start)
    for index in range(10):
        wobble = np.full((SIZE, SIZE), 0.42 if index % 2 == 0 else 0.58, np.float32)
        assert (temporal.follow(picture, wobble) > 0.5).all()


def red_disc_frames(rng, centre_x: int, grey: float, count: int) -> list[np.ndarray]:
    red = np.zeros((96, 128), np.float32)
    cv2.circle(red, (centre_x, 48), 26, 1.0, -1)
    red = cv2.GaussianBlur(red, (0, 0), 3)[..., None]
    clean = np.full((96, 128, 3), grey) * (1 - red) + np.array([30.0, 30.0, 220.0]) * red
    return [np.clip(clean + rng.normal(0, 6, clean.shape), 0, 255).astype(np.uint8) for _ in range(count)]


def test_through_produce_steadier_and_fresh_after_a_cut(red_model):
    """The whole path: a still, noisy clip of a red disc (the red model's
    person), then a cut to another room with the disc elsewhere; the same
    call with and without the clip's temporal matte. Here most of the
    flicker is the refinement's answer to the pixels' own noise, which no
    coarse plane removes, so the gain is small; the synthetic portraits of
    bench/bench_video.py measure it on real networks."""
    cutout = Cutout(red_model)
    request = Request(matte="fast", mask=True)
    rng = np.random.default_rng(1)
    frames = red_disc_frames(rng, 44, 90.0, 8) + red_disc_frames(rng, 84, 200.0, 3)
    temporal = TemporalMatte()
    single = [cutout.produce(f, request).picture.astype(np.float32) / 255 for f in frames]
    steady = [cutout.produce(f, request, temporal=temporal).picture.astype(np.float32) / 255 for f in frames]
    assert np.array_equal(single[0], steady[0])  # no past yet
    assert flicker(steady[:8]) < flicker(single[:8])
    assert temporal.cuts == 1 and np.array_equal(single[8], steady[8])  # nothing of the first room


@pytest.mark.parametrize("moving", [False, True])
def test_refined_alpha_settles_without_trailing_the_person(moving):
    temporal = TemporalMatte()
    rng = np.random.default_rng(3)
    answers, settled, truths = [], [], []
    for index in range(10):
        truth = disc(20 + (3 * index if moving else 0))
        temporal.follow(picture_of(truth), truth)
        truths.append(cv2.resize(truth, (128, 128)))
        alpha = np.clip(truths[-1] + rng.normal(0, 0.05, truths[-1].shape), 0, 1).astype(np.float32)
        answers.append(alpha)
        settled.append(temporal.settle(alpha))
    error = np.mean([np.abs(s - t).mean() for s, t in zip(settled, truths)])
    assert error <= np.mean([np.abs(a - t).mean() for a, t in zip(answers, truths)])
    if moving:  # at the edge the person left, nothing of the last frame's lingers
        left = (truths[-2] > 0.7) & (truths[-1] < 0.3)
        assert left.any() and (settled[-1][left] - truths[-1][left]).max() < 0.2
    else:
        assert flicker(settled) < 0.7 * flicker(answers)


@pytest.mark.parametrize("kind", ["fast", "refined"])
def test_a_clips_first_frame_is_the_photographs_cut_out(cutout, kind):
    """With no past to weigh, a frame small enough to be solved whole at the
    clip's resolution comes out as the photograph does: for the refined
    matte that takes the fused plane's own refinement, whose disputed pass
    decides what the two networks disagree on (the camera photograph has
    such values beyond the usual band, so the plain settings answer
    otherwise there)."""
    from portrait_studio.core import fusion, refine

    frame = cv2.resize(cv2.imread(str(CAMERA)), (384, 384), interpolation=cv2.INTER_AREA)
    assert frame.size // 3 <= DEFAULT.working_pixels
    request = Request(matte=kind, mask=True)
    single = cutout.produce(frame, request).picture
    assert np.array_equal(cutout.produce(frame, request, temporal=TemporalMatte()).picture, single)
    if kind == "refined":
        plane = fusion.fuse(*cutout.network_planes(frame, (512, 512))).plane
        plain, _ = refine.refine(frame, plane, refine.DEFAULT, foreground=False)
        fused, _ = refine.refine(frame, plane, refine.FUSED, foreground=False)
        assert np.abs(plain - fused).sum() > 25  # pixels' worth of alpha: enough for the check above to see
