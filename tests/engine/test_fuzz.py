"""Random calls: argument binding of the four methods against a model of the
binding rules, and the letterbox against the reference over photograph-sized
shapes and every kind of target."""

from __future__ import annotations

from pathlib import Path

import cv2
import numpy as np
import onnxruntime
import pytest
from hypothesis import event, given, settings
from hypothesis import strategies as st

ORT_ERRORS = onnxruntime.capi.onnxruntime_pybind11_state

# name -> (parameters, how many are required)
SIGNATURES = {
    "__init__": (("self", "onnx_path"), 2),
    "_set_model": (("self", "onnx_path"), 2),
    "_image": (("self", "image_path", "save_path", "input_size"), 3),
    "_process_image": (("self", "resize_img"), 2),
}


def binding_error(name, nargs, keywords):
    """The TypeError message for a call with `nargs` positional arguments
    (self included) and these keyword names in the caller's order, or None
    when the arguments bind.

    Too many positional arguments first; then each parameter after the
    positional ones takes its keyword, else its default, and the first
    required one with neither is reported by its position; then the
    keywords, in order: not a string, naming no parameter, or naming one
    already given by position."""
    parameters, required = SIGNATURES[name]
    count = len(parameters)

    def wrong_count(given):
        too_few = given < required
        expected = required if too_few else count
        bound = "exactly" if required == count else "at least" if too_few else "at most"
        return f"{name}() takes {bound} {expected} positional argument{'s' if expected != 1 else ''} ({given} given)"

    if nargs > count:
        return wrong_count(nargs)
    names = [str.__str__(k) for k in keywords if isinstance(k, str)]
    for position in range(nargs, count):
        if parameters[position] not in names and position < required:
            return wrong_count(position)
    for keyword in keywords:
        if not isinstance(keyword, str):
            return f"{name}() keywords must be strings"
        text = str.__str__(keyword)
        if text not in parameters:
            return f"{name}() got an unexpected keyword argument '{text}'"
        if parameters.index(text) < nargs:
            return f"{name}() got multiple values for keyword argument '{text}'"
    return None


class Key(str):
    """A keyword name that is a str subclass."""


NOT_ENGINE = 5
AMBIGUOUS = np.array([64, 48])


@pytest.fixture(scope="module")
def world(pm, red_model, tmp_path_factory):
    """Engines and argument values whose runs end quickly in a known way."""
    folder = tmp_path_factory.mktemp("fuzz")
    engine = pm.QuorinPortraitMain(str(red_model))
    boxer = pm.QuorinPortraitMain(str(red_model))
    boxer._input_size = "no target"  # _process_image hands the image back
    missing_model = str(folder / "missing.onnx")
    values = {  # by parameter; self is the engine or NOT_ENGINE
        "onnx_path": [missing_model, Path(missing_model), b"not a model"],
        "image_path": [str(folder / "missing.png"), None, 7],
        "save_path": [str(folder / "out.png")],
        "input_size": [None, (32, 24), [16, 12], 0, AMBIGUOUS],
        "resize_img": [np.zeros((3, 4, 3), np.uint8), np.zeros((5, 2), np.float32), None, [[1]]],
    }
    return {"cls": pm.QuorinPortraitMain, "engine": engine, "boxer": boxer, "values": values}


def run_outcome(world, name, bound):
    """What a run with these bound arguments gives: an exception type, or
    ("same", obj) when the result is that very object."""
    self = bound["self"]
    is_engine = self is not NOT_ENGINE
    if name in ("__init__", "_set_model"):
        if name == "__init__" and not is_engine:
            return AttributeError  # self._set_model
        path = bound["onnx_path"]
        return ORT_ERRORS.InvalidProtobuf if isinstance(path, bytes) else ORT_ERRORS.NoSuchFile
    if name == "_image":
        if bound["input_size"] is AMBIGUOUS:
            return ValueError  # its truth test comes first
        return cv2.error if is_engine else AttributeError  # storing _input_size on an int
    if not hasattr(bound["resize_img"], "shape"):
        return AttributeError
    return ("same", bound["resize_img"]) if is_engine else AttributeError


OTHER_NAMES = ["other", "Self", "imagepath", "é", "onnx_path", "input_size", "resize_img", "image_path"]
MUTATIONS = ["extra positional", "one positional fewer", "drop a keyword", "unknown keyword",
             "repeat a positional by keyword", "name as a str subclass"]


@st.composite
def calls(draw, name, world):
    """A call of `name`: positional values and keywords (in the caller's
    order), mostly well formed, then changed in up to three ways."""
    parameters, required = SIGNATURES[name]
    values = world["values"]
    any_value = st.sampled_from([v for pool in values.values() for v in pool])

    def value_for(parameter):
        if parameter == "self":
            return draw(st.sampled_from([world["boxer"] if name == "_process_image" else world["engine"],
                                         NOT_ENGINE]))
        return draw(st.sampled_from(values[parameter]) if parameter in parameters else any_value)

    nargs = draw(st.integers(0, len(parameters)))
    positional = [value_for(p) for p in parameters[:nargs]]
    names = [p for i, p in enumerate(parameters) if i >= nargs and (i < required or draw(st.booleans()))]
    for mutation in draw(st.lists(st.sampled_from(MUTATIONS), max_size=3)):
        event(mutation)
        if mutation == "extra positional":
            positional.append(value_for(parameters[len(positional)] if len(positional) < len(parameters)
                                        else "anything"))
        elif mutation == "one positional fewer" and positional:
            positional.pop()
        elif mutation == "drop a keyword" and names:
            names.pop(draw(st.integers(0, len(names) - 1)))
        elif mutation == "unknown keyword":
            names.append(draw(st.sampled_from([n for n in OTHER_NAMES if n not in parameters])))
        elif mutation == "repeat a positional by keyword" and positional:
            names.append(parameters[draw(st.integers(0, min(len(positional), len(parameters)) - 1))])
        elif mutation == "name as a str subclass" and names:
            index = draw(st.integers(0, len(names) - 1))
            names[index] = Key(names[index])
    unique = list({str.__str__(n): n for n in names}.values())
    keywords = {k: value_for(str.__str__(k)) for k in draw(st.permutations(unique))}
    through_instance = bool(positional) and positional[0] is not NOT_ENGINE and draw(st.booleans())
    return positional, keywords, through_instance


def bind(name, positional, keywords):
    parameters, _ = SIGNATURES[name]
    bound = dict(zip(parameters, positional))
    bound.update((str.__str__(k), v) for k, v in keywords.items())
    bound.setdefault("input_size", None)
    return bound


def check_call(world, name, call, positional, keywords):
    expected_error = binding_error(name, len(positional), list(keywords))
    event("binding fails" if expected_error else "binds")
    try:
        result = call()
    except Exception as error:  # noqa: BLE001 - compared below
        outcome = error
    else:
        outcome = ("returned", result)
    if expected_error is not None:
        assert type(outcome) is TypeError, outcome
        assert str(outcome) == expected_error
        return
    expected = run_outcome(world, name, bind(name, positional, keywords))
    if isinstance(expected, tuple):
        assert outcome[0] == "returned" and outcome[1] is expected[1], outcome
    else:
        assert type(outcome) is expected, (outcome, expected)


@pytest.mark.parametrize("name", SIGNATURES)
@settings(max_examples=400, deadline=None)
@given(data=st.data())
def test_random_calls_bind_as_the_rules_say(world, name, data):
    positional, keywords, through_instance = data.draw(calls(name, world))
    if through_instance:
        invoke = lambda: getattr(positional[0], name)(*positional[1:], **keywords)  # noqa: E731
    else:
        invoke = lambda: getattr(world["cls"], name)(*positional, **keywords)  # noqa: E731
    check_call(world, name, invoke, positional, keywords)


NON_STRINGS = [1, b"resize_img", None, 2.5]


@pytest.mark.parametrize("name", SIGNATURES)
@settings(max_examples=100, deadline=None)
@given(data=st.data(), odd=st.sampled_from(NON_STRINGS), where=st.integers(0, 5))
def test_keyword_names_that_are_not_strings(leakcheck, world, name, data, odd, where):
    # Only a native caller can pass them; the interpreter refuses them first.
    positional, keywords, _ = data.draw(calls(name, world))
    items = list(keywords.items())
    items.insert(min(where, len(items)), (odd, 0))
    keywords = dict(items)
    function = getattr(world["cls"], name)
    check_call(world, name, lambda: leakcheck.call_with_keyword_objects(function, tuple(positional), keywords),
               positional, keywords)


@pytest.mark.parametrize("name", SIGNATURES)
def test_a_keyword_name_given_twice_by_a_native_caller(leakcheck, world, name):
    # Every parameter after self by keyword, the last one twice: only a
    # native caller can do this; the call is refused, not bound.
    parameters, _ = SIGNATURES[name]
    self = world["boxer"] if name == "_process_image" else world["engine"]
    names = parameters[1:] + parameters[-1:]
    keywords = [(Key(n) if i == len(names) - 1 else n, world["values"][n][0]) for i, n in enumerate(names)]
    function = getattr(world["cls"], name)
    with pytest.raises(TypeError, match=rf"^{name}\(\) got multiple values for keyword argument"):
        leakcheck.call_with_keyword_objects(function, (self,), keywords)


# --- the letterbox over photograph-sized shapes -----------------------------

MAX_PIXELS = 400_000  # keeps each example to a few milliseconds


@st.composite
def images(draw):
    rows = draw(st.integers(1, 4000))
    cols = draw(st.integers(1, max(1, min(4000, MAX_PIXELS // rows))))
    layout = draw(st.sampled_from(["2-D", "1 channel", "3 channels"]))
    # a cheap pattern that changes along both axes
    plane = ((np.arange(rows, dtype=np.uint32)[:, None] * 7 + np.arange(cols, dtype=np.uint32)) % 251)
    plane = plane.astype(np.uint8)
    if layout == "2-D":
        image = plane
    elif layout == "1 channel":
        image = plane[:, :, None].copy()
    else:
        image = np.dstack([plane, 255 - plane, plane // 2])
    event(f"image {layout}")
    return image


_side = st.one_of(st.integers(1, 1200), st.integers(-3, 0), st.floats(0.5, 1200.0),
                  st.sampled_from([True, False, float("nan"), float("inf")]))
_targets = st.one_of(
    st.tuples(st.integers(1, 1200), st.integers(1, 1200)).map(lambda t: ("int pair", t)),
    st.tuples(st.floats(1.0, 1200.0), st.floats(1.0, 1200.0)).map(lambda t: ("float pair", t)),
    st.lists(st.integers(1, 1200), min_size=2, max_size=2).map(lambda t: ("list", t)),
    st.tuples(_side, _side).map(lambda t: ("odd pair", t)),
    st.lists(_side, max_size=4).filter(lambda t: len(t) != 2).map(lambda t: ("wrong length", t)),
    st.integers(1, 1200).map(lambda t: ("int", t)),
    st.floats(0.5, 1200.0).map(lambda t: ("float", t)),
    st.sampled_from([0, -5, True, False, 0.0, -2.5, float("nan")]).map(lambda t: ("odd number", t)),
    st.sampled_from([None, "512", "", b"64", {0: 64, 1: 48}, object()]).map(lambda t: ("no target", t)),
)


@pytest.fixture(scope="module")
def letterboxer(pm, red_model):
    return pm.QuorinPortraitMain(str(red_model))


@settings(max_examples=400, deadline=None)
@given(image=images(), target=_targets)
def test_letterbox_matches_the_reference(reference, letterboxer, image, target):
    kind, target = target
    event(f"target {kind}")
    letterboxer._input_size = target
    try:
        with np.errstate(all="ignore"):
            expected = reference.letterbox(image, target)
    except Exception as error:  # noqa: BLE001 - the engine must fail the same way
        event(f"fails with {type(error).__module__}.{type(error).__name__}")
        with pytest.raises(type(error)):
            letterboxer._process_image(image)
    else:
        result = letterboxer._process_image(image)
        if expected is image:
            assert result is image
        else:
            assert result.shape == expected.shape and result.dtype == expected.dtype
            assert np.array_equal(result, expected)
