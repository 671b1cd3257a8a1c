"""The second network's input and the fused matte built from both networks."""

from dataclasses import replace
from pathlib import Path

import cv2
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from portrait_studio import Cutout
from portrait_studio.core import fusion, saliency
from portrait_studio.core.compose import sanitise_alpha
from portrait_studio.core.saliency import Saliency, SaliencyModelError

DATA = Path(__file__).resolve().parents[1] / "data"


def reference_input(photo: np.ndarray) -> np.ndarray:
    """Written from the network's documented recipe, for shrinks by whole
    factors, where area averaging is a plain block mean (rounded to 8 bits,
    as the shrunk picture is kept)."""
    rows, columns = photo.shape[:2]
    fy, fx = rows // 320, columns // 320
    rgb = photo[:, :, ::-1].astype(np.float64)
    small = np.floor(rgb.reshape(320, fy, 320, fx, 3).mean(axis=(1, 3)) + 0.5)
    peak = small.max() or 1.0
    std = np.array([0.229, 0.224, 0.225])
    small = (small / peak - [0.485, 0.456, 0.406]) / std
    # One 8-bit step of the shrunk picture, per channel: OpenCV's fixed-point
    # shrink may round a block mean the other way.
    return small.transpose(2, 0, 1)[None], (1 / (peak * std))[None, :, None, None]


@pytest.mark.parametrize("rows, columns, scale", [(640, 960, 255), (320, 320, 255), (960, 640, 40), (640, 640, 0)])
def test_preprocessing_matches_the_recipe(rows, columns, scale):
    # scale 40: a dark picture is stretched by its own maximum; 0: all black stays finite.
    photo = (np.random.default_rng(rows + columns).random((rows, columns, 3)) * scale).astype(np.uint8)
    tensor = saliency.preprocess(photo)
    assert tensor.shape == (1, 3, 320, 320) and tensor.dtype == np.float32
    expected, step = reference_input(photo)
    difference = np.abs(tensor - expected)
    assert (difference <= 1.01 * step + 1e-5).all()
    assert np.abs((tensor - expected) / step).mean() < 0.1  # a tie here and there, no drift


def test_normalise_stretches_and_a_flat_output_is_background():
    raw = np.linspace(-3, 5, 320 * 320, dtype=np.float32).reshape(1, 1, 320, 320)
    plane = saliency.normalise(raw)
    assert plane.min() == 0 and plane.max() == 1 and plane.dtype == np.float32
    assert not saliency.normalise(np.full((1, 1, 320, 320), 0.3, np.float32)).any()


@pytest.fixture(scope="module")
def networks():
    return Cutout(), Saliency(threads=1)


def fused_of(networks, photo):
    cutout, second = networks
    return fusion.fuse(sanitise_alpha(cutout.model_plane(photo)), second.plane(photo))


@pytest.mark.parametrize("content", ["missing", "garbage", "empty"])
def test_a_missing_or_broken_model_file_is_named(tmp_path, content):
    path = tmp_path / "u2netp.onnx"
    if content != "missing":
        path.write_bytes(b"" if content == "empty" else b"\x08\x07not a graph" * 50)
    with pytest.raises(SaliencyModelError, match="u2netp.onnx"):
        Saliency(path)


def blob(rows=320, columns=320, centre=(170, 160), radius=90, softness=6.0):
    yy, xx = np.mgrid[:rows, :columns]
    distance = np.hypot(yy - centre[0], xx - centre[1]) - radius
    return (1 / (1 + np.exp(np.clip(distance / softness, -50, 50)))).astype(np.float32)


@settings(max_examples=30, deadline=None)
@given(centre=st.tuples(st.integers(40, 280), st.integers(40, 280)), radius=st.integers(10, 150),
       softness=st.floats(0.5, 30), level=st.floats(0.2, 1.0))
def test_where_both_networks_agree_the_fused_plane_is_their_answer(centre, radius, softness, level):
    person = blob(centre=centre, radius=radius, softness=softness) * np.float32(level)
    fused = fusion.fuse(person, person)
    assert fused.agreement == 1.0 and fused.dropped == 0.0
    np.testing.assert_allclose(fused.plane, person, atol=1e-6)
    assert fused.confidence == fusion.confidence_of(fusion.unsure_share(person))


def test_nothing_found_is_background_and_sure():
    fused = fusion.fuse(np.zeros((256, 256)), np.zeros((320, 320)))
    assert not fused.plane.any() and fused.confidence == 1.0 and not fused.review


PERSON = blob(radius=60, softness=2.0)
FIGURE = np.zeros((320, 320), np.float32)
FIGURE[150:320, 190:320] = 1.0  # larger than PERSON and joined to it


def scene(case):
    """(segmenter plane, saliency plane, the region the case is about, whether it is person)."""
    if case == "an object only saliency sees":  # a cup beside the person
        cup = blob(centre=(60, 270), radius=35, softness=1.0)
        return PERSON, np.maximum(PERSON, cup), cup > 0.5, False
    if case == "a limb the segmenter draws faintly":
        limb = blob(centre=(280, 160), radius=40, softness=1.0)
        return np.maximum(PERSON, 0.4 * limb), np.maximum(PERSON, limb), (limb > 0.95) & (PERSON < 0.5), True
    if case == "a part only the segmenter sees, and surely":  # an arm beside the torso
        arm = blob(centre=(110, 215), radius=30, softness=1.0)
        return np.maximum(PERSON, arm), PERSON, arm > 0.5, True
    if case == "clutter the segmenter is unsure of":
        patch = 0.7 * blob(centre=(60, 60), radius=30, softness=1.0)
        return np.maximum(PERSON, patch), PERSON, patch > 0.5, False
    if case == "a second figure, saliency elsewhere":
        elsewhere = blob(centre=(60, 60), radius=40, softness=1.0)
        return np.maximum(PERSON, FIGURE), elsewhere, (FIGURE > 0.5) & (PERSON < 0.5), True
    raise AssertionError(case)


@pytest.mark.parametrize("case", ["an object only saliency sees", "a limb the segmenter draws faintly",
                                  "a part only the segmenter sees, and surely", "clutter the segmenter is unsure of",
                                  "a second figure, saliency elsewhere"])
def test_a_region_the_networks_disagree_on_is_decided_whole(case):
    segmenter, salient, region, is_person = scene(case)
    fused = fusion.fuse(segmenter, salient)
    inside = cv2.erode(region.astype(np.uint8), np.ones((9, 9), np.uint8)) > 0
    assert inside.any()
    assert ((fused.plane[inside] > 0.5) == is_person).all()
    assert is_person or fused.dropped >= np.count_nonzero(inside) / inside.size
    # The person both see stays whole whatever happens beside it.
    core = cv2.erode((PERSON > 0.5).astype(np.uint8), np.ones((9, 9), np.uint8)) > 0
    assert (fused.plane[core] > 0.9).all()


HEAD = blob(centre=(90, 160), radius=45, softness=1.0)
BODY = np.zeros((320, 320), np.float32)
BODY[125:320, 70:250] = 1.0  # shoulders and chest, running out of the bottom, joined to the head


def people(case):
    """Two figures the segmenter is sure of, u2netp on the first only:
    (segmenter plane, saliency plane)."""
    first = blob(centre=(160, 90), radius=55, softness=1.0)
    second = np.zeros((320, 320), np.float32)
    second[60:320, 138:320] = 1.0  # larger than the first, and overlapping it
    if case == "apart":
        second[:, 138:160] = 0.0  # a strip of background between them
        return np.maximum(first, second), first
    if case == "merged, a dip between them":
        second[:, 138:152] = 0.6  # the segmenter half sees the gap
        return np.maximum(first, second), first
    if case == "merged":
        return np.maximum(first, second), first
    raise AssertionError(case)


def test_the_body_under_a_head_that_saliency_alone_singles_out_is_kept():
    # Low-contrast and greyscale photographs: u2netp sees the head and hair,
    # the segmenter is sure of the whole person.
    fused = fusion.fuse(np.maximum(HEAD, BODY), HEAD)
    body = cv2.erode(((BODY > 0.5) & (HEAD < 0.01)).astype(np.uint8), np.ones((9, 9), np.uint8)) > 0
    assert body.sum() > 20_000 and (fused.plane[body] > 0.9).all() and fused.dropped == 0.0
    assert fused.kept == 1.0


@settings(max_examples=25, deadline=None)
@given(head=st.tuples(st.integers(60, 200), st.integers(60, 260), st.integers(25, 50)),
       body=st.tuples(st.integers(40, 160), st.integers(40, 160), st.integers(20, 100)),
       sure=st.floats(0.92, 1.0), saliency_level=st.floats(0.6, 1.0))
def test_a_sure_region_joined_to_the_agreed_person_is_never_dropped(head, body, sure, saliency_level):
    (row, column, radius), (height, half_width, shift) = head, body
    head_plane = blob(centre=(row, column), radius=radius, softness=1.0)
    torso = np.zeros((320, 320), np.float32)
    top = row + radius // 2  # starts inside the head, so the two are joined
    torso[top:top + height + 60, max(0, column - half_width + shift // 2):column + half_width] = sure
    segmenter = np.maximum(head_plane, torso)
    fused = fusion.fuse(segmenter, head_plane * np.float32(saliency_level))
    inside = cv2.erode(((torso > 0.5) & (head_plane < 0.01)).astype(np.uint8), np.ones((9, 9), np.uint8)) > 0
    assert (fused.plane[inside] > 0.5).all()
    assert fused.dropped == 0.0 and fused.kept > 0.98  # the head's soft rim may average below one half


@pytest.mark.parametrize("case", ["apart", "merged, a dip between them"])
def test_a_second_person_shown_to_be_separate_is_dropped_and_the_cut_out_marked(case):
    segmenter, salient = people(case)
    fused = fusion.fuse(segmenter, salient)
    second = np.zeros((320, 320), bool)
    second[80:320, 200:320] = True
    assert (fused.plane[second] < 0.5).all()
    first = cv2.erode((salient > 0.5).astype(np.uint8), np.ones((9, 9), np.uint8)) > 0
    assert (fused.plane[first] > 0.9).all()
    # The kept person is small against the segmenter's: a person should look.
    assert fused.kept < 0.5 and fused.review


def test_a_merged_second_figure_without_evidence_is_kept_but_marked_for_review():
    segmenter, salient = people("merged")
    fused = fusion.fuse(segmenter, salient)
    assert (fused.plane[80:320, 200:320] > 0.9).all()
    assert fused.kept == 1.0 and fused.overruled > 0.5 and fused.review


@pytest.mark.parametrize("case", ["u2netp on something else entirely", "the rule keeps a large region u2netp missed",
                                  "the kept person is small against the segmenter's"])
def test_the_confidence_fails_on_each_sign_of_a_bad_result(case):
    if case == "u2netp on something else entirely":
        fused = fusion.fuse(PERSON, blob(centre=(60, 60), radius=50, softness=1.0))
        failing = fused.agreement == 0.0
    elif case == "the rule keeps a large region u2netp missed":
        fused = fusion.fuse(np.maximum(HEAD, BODY), HEAD)
        failing = fused.overruled > 0.5 * fusion.DEFAULT.overruled_limit
    else:
        segmenter, salient = people("apart")
        fused = fusion.fuse(segmenter, salient)
        failing = fused.kept < 0.5 * fusion.DEFAULT.kept_full
    assert failing
    assert fused.confidence < 0.2 and fused.review
    # Each grade is read off the result: the same planes, agreed, are sure.
    assert not fusion.fuse(fused.plane, fused.plane).review


def test_a_thin_disagreement_at_the_outline_is_averaged():
    segmenter, salient = blob(softness=6.0), blob(radius=93, softness=0.5)
    fused = fusion.fuse(segmenter, salient)
    ring = (segmenter > 0.5) != (salient > 0.5)
    assert ring.any() and fused.dropped == 0.0
    np.testing.assert_allclose(fused.plane[ring], 0.5 * (segmenter + salient)[ring], atol=1e-6)


def test_an_unresolved_disagreement_lowers_the_confidence():
    # A wide region the segmenter half sees and the saliency network is sure
    # of is kept but stays unsure: the cut-out deserves a look.
    segmenter, salient, _, _ = scene("a limb the segmenter draws faintly")
    wide = blob(centre=(280, 160), radius=80, softness=1.0)
    disputed = fusion.fuse(np.maximum(PERSON, 0.4 * wide), np.maximum(PERSON, wide))
    agreed = fusion.fuse(PERSON, PERSON)
    assert disputed.confidence < agreed.confidence - 0.3
    assert disputed.review and not agreed.review


@pytest.mark.parametrize("seed", range(4))
def test_fused_values_and_confidence_are_bounded_and_repeatable(seed):
    rng = np.random.default_rng(seed)
    first, second = rng.random((256, 256)) * 1.4 - 0.2, rng.random((320, 320))
    one, two = fusion.fuse(first, second), fusion.fuse(first.copy(), second.copy())
    assert one.plane.shape == (320, 320) and one.plane.dtype == np.float32
    assert 0 <= one.plane.min() and one.plane.max() <= 1
    assert 0 <= one.confidence <= 1 and one.confidence == two.confidence
    np.testing.assert_array_equal(one.plane, two.plane)
    with pytest.raises(ValueError, match="finite"):
        fusion.fuse(np.full((8, 8), np.nan), second)


def test_confidence_drops_when_a_large_object_competes_with_the_person(networks):
    photo = cv2.imread(str(DATA / "p_22fc0130.jpg"))
    rows, columns = photo.shape[:2]
    # The person shrunk into a corner of a plain room with a big bright disc:
    # the saliency network takes the disc, the segmenter the person.
    scene = np.full_like(photo, 60)
    yy, xx = np.mgrid[:rows, :columns]
    scene[np.hypot(yy - rows / 2, xx - columns / 2) < 0.4 * min(rows, columns)] = (0, 140, 255)
    scene[rows // 2:, :columns // 2] = cv2.resize(photo, (columns // 2, rows // 2), interpolation=cv2.INTER_AREA)
    plain, competing = fused_of(networks, photo), fused_of(networks, scene)
    assert plain.confidence == fused_of(networks, photo).confidence
    assert competing.confidence < plain.confidence - 0.1
    assert not plain.review


def test_the_saliency_plane_of_a_portrait_covers_the_person(networks):
    photo = cv2.imread(str(DATA / "p_22fc0130.jpg"))
    plane = networks[1].plane(photo)
    assert plane.shape == (320, 320) and plane.dtype == np.float32
    assert plane.min() == 0 and plane.max() == 1
    person = cv2.resize(sanitise_alpha(networks[0].model_plane(photo)), (320, 320)) > 0.5
    assert fusion.iou(person, plane > 0.5) > 0.8


def test_a_large_photograph_written_networks_first_gives_the_same_bytes(tmp_path, monkeypatch):
    """The write path lets go of the decoded photograph before the second
    network runs and decodes it again; the picture is the one made in memory."""
    import weakref

    from portrait_studio import pipeline
    from portrait_studio.core import imageio

    photo = cv2.resize(cv2.imread(str(DATA / "p_22fc0130.jpg")), (900, 700), interpolation=cv2.INTER_AREA)
    source = tmp_path / "photo.jpg"
    cv2.imwrite(str(source), photo)
    cutout = Cutout(threads=1)
    expected = pipeline.encode(cutout.produce(imageio.decode_photo(source.read_bytes())), ".png")

    decoded, alive_at_network = [], []
    real_decode, real_plane = imageio.decode_photo, Saliency.plane_of_input

    def decode(*args, **kwargs):
        result = real_decode(*args, **kwargs)
        decoded.append(weakref.ref(result))
        return result

    def plane_of_input(self, tensor):
        alive_at_network.append([ref() is not None for ref in decoded])
        return real_plane(self, tensor)

    monkeypatch.setattr(imageio, "decode_photo", decode)
    monkeypatch.setattr(Saliency, "plane_of_input", plane_of_input)
    for threshold, decodes in [(photo.shape[0] * photo.shape[1], 2), (photo.shape[0] * photo.shape[1] + 1, 1)]:
        monkeypatch.setattr(pipeline, "NETWORKS_FIRST_PIXELS", threshold)
        decoded.clear(), alive_at_network.clear()
        target = tmp_path / f"out_{decodes}.png"
        written = cutout.write(source, target)
        assert target.read_bytes() == expected and 0 <= written.confidence <= 1
        assert len(decoded) == decodes
        assert alive_at_network == [[decodes == 1]]  # networks first: the first decode is gone by then


def test_the_saliency_plane_is_the_same_bits_for_any_thread_count():
    """A folder pool's one-thread workers and a single cut-out on every core
    must make the same picture; ONNX Runtime's plain convolutions would not."""
    photo = cv2.imread(str(DATA / "p_22fc0130.jpg"))
    planes = [Saliency(threads=threads).plane(photo) for threads in (1, 2, 3)]
    for plane in planes[1:]:
        np.testing.assert_array_equal(plane, planes[0])


def test_the_quality_set_split_is_fixed_by_person_and_background():
    """The benchmark's held-out part must never share a person or a
    background with the part the rule's constants are chosen on."""
    import importlib.util

    path = Path(__file__).resolve().parents[2] / "bench" / "make_composites.py"
    spec = importlib.util.spec_from_file_location("make_composites", path)
    composites = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(composites)

    (tune_people, tune_backs), (held_people, held_backs) = composites.PARTS["tuning"], composites.PARTS["held-out"]
    assert not set(tune_people) & set(held_people) and not set(tune_backs) & set(held_backs)
    assert len(tune_backs) + len(held_backs) >= 15
    # The fresh part: held-out people over backgrounds no other part has.
    fresh_people, fresh_backs = composites.PARTS["fresh"]
    assert not set(fresh_people) & set(tune_people)
    assert not set(fresh_backs) & (set(tune_backs) | set(held_backs))
    drawn = composites.background(fresh_backs[0], 60, 80)
    assert drawn.shape == (60, 80, 3) and drawn.std() > 5
    np.testing.assert_array_equal(drawn, composites.background(fresh_backs[0], 60, 80))
    names = composites.names()
    assert names == composites.names()  # the same order on every run
    for part, listed in names.items():
        assert len(listed) == len(set(listed))
        for name in listed:
            person, rest = name[:10], name[11:]
            people, backs = composites.PARTS[part]
            assert composites.part_of(name) == part and person in people
            assert any(rest.startswith(back + "_") for back in backs)
    suffixes = {name.rsplit("_", 1)[1] for listed in names.values() for name in listed}
    for kind in ("colour", "grey", "flip", "crop-bottom", "crop-side"):
        assert any(kind in suffix for suffix in suffixes), kind
    assert composites.part_of_portrait("p_0865636e") == "held-out"
    with pytest.raises(ValueError):
        composites.part_of("someone_else_coffee_colour")


def test_a_person_the_segmenter_misses_is_the_saliency_networks_and_marked_for_review():
    # Seen from the neck down, or a greyscale photograph the segmenter reads
    # as texture: handing back its empty answer would lose the person.
    figure = blob(radius=70, softness=1.0)
    speck = 0.6 * blob(centre=(170, 160), radius=8, softness=1.0)
    clutter = 0.7 * blob(centre=(50, 50), radius=35, softness=1.0)  # elsewhere, unsure: the rules drop both
    assert np.count_nonzero(clutter > 0.5) > fusion.DEFAULT.segmenter_least * np.count_nonzero(figure > 0.5)
    for segmenter in (np.zeros((256, 256), np.float32), speck, clutter):
        fused = fusion.fuse(segmenter, figure)
        np.testing.assert_allclose(fused.plane, figure, atol=1e-6)
        assert fused.review and fused.confidence < 0.2
        assert (fused.dropped > 0.0) == (segmenter is clutter)  # what the segmenter saw beside the figure went
    # Once the segmenter sees a person of its own, it judges again: an object
    # only the saliency network sees is dropped.
    cup = blob(centre=(60, 270), radius=35, softness=1.0)
    assert (fusion.fuse(PERSON, np.maximum(PERSON, cup)).plane[cup > 0.9] < 0.5).all()


def wrapping(case):
    """A region the segmenter alone is sure of, joined to PERSON."""
    region = np.zeros((320, 320), np.float32)
    if case == "over the top and both sides":  # the segmenter running on into bokeh behind the head
        region[:150] = 1.0
    elif case == "over the top and one side":
        region[:60, 100:] = 1.0
        region[:200, 260:] = 1.0
        region[100:200, 200:] = 1.0
    elif case == "out of the bottom and a side":  # a body cropped by the frame
        region[200:, 60:] = 1.0
    elif case == "out of the top alone":  # a shirt above the hands u2netp singled out
        region[:140, 120:200] = 1.0
    else:
        raise AssertionError(case)
    return np.maximum(PERSON, region), (region > 0.5) & (PERSON < 0.01)


@pytest.mark.parametrize("case, disputed", [("over the top and both sides", True), ("over the top and one side", True),
                                            ("out of the bottom and a side", False), ("out of the top alone", False)])
def test_a_sure_region_wrapping_over_the_top_corner_is_left_to_the_colours(case, disputed):
    segmenter, region = wrapping(case)
    fused = fusion.fuse(segmenter, PERSON)
    inside = cv2.erode(region.astype(np.uint8), np.ones((9, 9), np.uint8)) > 0
    values = fused.plane[inside]
    if disputed:  # neither kept nor dropped: the mean, which the refinement decides
        assert inside.any() and (np.abs(values - 0.5) < 0.01).all() and fused.review
        without = fusion.fuse(segmenter, PERSON, replace(fusion.DEFAULT, dispute_wrapping=False))
        assert (without.plane[inside] > 0.9).all()
    else:
        assert (values > 0.9).all()
    core = cv2.erode((PERSON > 0.5).astype(np.uint8), np.ones((9, 9), np.uint8)) > 0
    assert (fused.plane[core] > 0.9).all() and fused.dropped == 0.0


def test_the_refinement_takes_a_wrapping_region_off_where_the_photograph_shows_background():
    from portrait_studio.core.refine import FUSED, refine

    segmenter, region = wrapping("over the top and one side")
    person = PERSON > 0.5
    photo = np.empty((320, 320, 3), np.uint8)
    photo[:] = (40, 150, 40)  # a green background, where the segmenter ran on
    photo[person] = (60, 60, 200)  # a red coat
    photo = np.clip(photo + np.random.default_rng(5).normal(0, 3, photo.shape), 0, 255).astype(np.uint8)
    inside = cv2.erode(region.astype(np.uint8), np.ones((15, 15), np.uint8)) > 0
    core = cv2.erode(person.astype(np.uint8), np.ones((9, 9), np.uint8)) > 0
    for rule, kept in ((fusion.DEFAULT, False), (replace(fusion.DEFAULT, dispute_wrapping=False), True)):
        alpha, _ = refine(photo, fusion.fuse(segmenter, PERSON, rule).plane, FUSED, foreground=False)
        assert inside.any() and ((alpha[inside] > 0.9) if kept else (alpha[inside] < 0.1)).all()
        assert (alpha[core] > 0.9).all()
