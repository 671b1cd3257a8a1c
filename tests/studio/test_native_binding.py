"""The product extension's binding: what it refuses and how it says so, and
the per-thread budget of its passes."""

import os
import threading

import numpy as np
import pytest

from portrait_studio import _native

RNG = np.random.default_rng(7)
ROWS, COLUMNS = 8, 9


def u8(*shape):
    return RNG.integers(0, 256, shape, dtype=np.uint8)


def f32(*shape):
    return RNG.random(shape, dtype=np.float32)


def trimap_plane():
    return RNG.choice(np.array([0, 128, 255], np.uint8), (ROWS, COLUMNS))


# Each function with valid arguments in its positional order; the last entry
# is the pair (array, partner) whose rows must agree.
H, W = ROWS, COLUMNS
CALLS = {
    "model_input": ({"photo": u8(H, W, 3), "out": f32(H, W, 3)}, ("out", "photo")),
    "blend_over_white": ({"photo": u8(H, W, 3), "matte": f32(H, W), "out": u8(H, W, 3)}, ("matte", "photo")),
    "trimap": (
        {"matte": f32(H, W), "out": u8(H, W), "background_to": 0.3, "person_from": 0.7, "radius": 1},
        ("out", "matte"),
    ),
    "dilate": ({"mask": u8(H, W) // 200, "out": u8(H, W), "radius": 1}, ("out", "mask")),
    "solve_alpha": (
        {"image": u8(H, W, 3), "trimap": trimap_plane(), "alpha": f32(H, W), "epsilon": 1e-5, "max_iterations": 5,
         "tolerance": 1e-4},
        ("trimap", "image"),
    ),
    "guided_upsample": (
        {"guide": u8(H, W, 3), "alpha": f32(H, W), "band": u8(H, W) // 128, "radius": 1, "epsilon": 1e-4,
         "photo": u8(2 * H, 2 * W, 3), "out": f32(2 * H, 2 * W)},
        ("band", "guide"),
    ),
    "estimate_foreground": ({"image": u8(H, W, 3), "alpha": f32(H, W), "out": f32(H, W, 3)}, ("alpha", "image")),
    "full_size_foreground": (
        {"working_foreground": f32(H, W, 3), "working_photo": u8(H, W, 3), "photo": u8(2 * H, 2 * W, 3),
         "alpha": f32(2 * H, 2 * W), "out": u8(2 * H, 2 * W, 3)},
        ("alpha", "photo"),
    ),
    "composite": (
        {"foreground": u8(H, W, 3), "alpha": f32(H, W), "blue": 1.0, "green": 2.0, "red": 3.0, "out": u8(H, W, 3)},
        ("out", "foreground"),
    ),
    "composite_with_alpha": ({"foreground": u8(H, W, 3), "alpha": f32(H, W), "out": u8(H, W, 4)}, ("alpha", "foreground")),
    "alpha_to_bytes": ({"alpha": f32(H, W), "out": u8(H, W)}, ("out", "alpha")),
    "composite_over_picture": (
        {"foreground": u8(H, W, 3), "alpha": f32(H, W), "picture": u8(H, W, 3), "out": u8(H, W, 3)},
        ("picture", "foreground"),
    ),
    "weigh_background": (
        {"photo": u8(H, W, 3), "alpha": f32(H, W), "weighted": f32(H, W, 3), "weight": f32(H, W)},
        ("weight", "photo"),
    ),
    "normalise_background": (
        {"near_weighted": f32(H, W, 3), "near_weight": f32(H, W), "wide_weighted": f32(H, W, 3),
         "wide_weight": f32(H, W), "mean_blue": 1.0, "mean_green": 2.0, "mean_red": 3.0, "floor": 0.1,
         "out": u8(H, W, 3)},
        ("wide_weight", "near_weighted"),
    ),
}


def fresh(arguments):
    return {name: value.copy() if isinstance(value, np.ndarray) else value for name, value in arguments.items()}


def arrays(arguments):
    return [name for name, value in arguments.items() if isinstance(value, np.ndarray)]


def strided(a):
    return np.repeat(a, 2, axis=1)[:, ::2]


def read_only(a):
    a.flags.writeable = False
    return a


# Every array argument of every function, spoiled one way at a time.
SPOILS = {"dtype": lambda a: a.astype(np.float64), "ndim": lambda a: a[None], "strided": strided}
BAD_ARRAYS = [
    pytest.param(function, name, spoil, id=f"{function}-{name}-{how}")
    for function, (arguments, _) in CALLS.items()
    for name in arrays(arguments)
    for how, spoil in SPOILS.items()
]


@pytest.mark.parametrize("function, name, spoil", BAD_ARRAYS)
def test_a_bad_array_is_refused_by_name(function, name, spoil):
    arguments = fresh(CALLS[function][0])
    arguments[name] = spoil(arguments[name])
    with pytest.raises(TypeError, match=rf"^{function}\(\): argument '{name}' "):
        getattr(_native, function)(*arguments.values())


@pytest.mark.parametrize("function", CALLS)
def test_misfits_read_only_outputs_and_keyword_calls(function):
    valid, (cut, partner) = CALLS[function]
    call = getattr(_native, function)

    arguments = fresh(valid)
    arguments[cut] = np.ascontiguousarray(arguments[cut][:-1])
    with pytest.raises(ValueError, match=rf"^{cut} is \(\d+, \d+\) pixels but {partner} is \(\d+, \d+\)"):
        call(*arguments.values())

    output = arrays(valid)[-1]  # the last array is the one written
    arguments = fresh(valid)
    arguments[output] = read_only(arguments[output])
    with pytest.raises(TypeError, match=rf"argument '{output}' must be writable"):
        call(*arguments.values())

    # By keyword, in reverse order: the same result as by position.
    positional, by_name = fresh(valid), fresh(valid)
    assert call(*positional.values()) == call(**dict(reversed(by_name.items())))
    np.testing.assert_array_equal(positional[output], by_name[output])

    with pytest.raises(TypeError):
        call(**valid, unexpected=1)


def test_scalars_out_of_range_are_named():
    arguments = fresh(CALLS["solve_alpha"][0])
    with pytest.raises(ValueError, match="epsilon must be positive"):
        _native.solve_alpha(**{**arguments, "epsilon": 0.0})
    with pytest.raises(ValueError, match="radius must not be negative"):
        _native.dilate(**{**fresh(CALLS["dilate"][0]), "radius": -1})
    with pytest.raises(ValueError, match="floor must be positive"):
        _native.normalise_background(**{**fresh(CALLS["normalise_background"][0]), "floor": 0.0})
    with pytest.raises(ValueError, match="threads must not be negative"):
        _native.set_thread_budget(-1)
    # An int where a float is asked for is converted; the arrays never are.
    arguments = fresh(CALLS["composite"][0])
    _native.composite(**{**arguments, "blue": 1, "green": 2, "red": 3})


# -- the thread budget --------------------------------------------------------------------

BIG = 1000
GUIDE = u8(BIG, BIG, 3)
WORKING_ALPHA = f32(BIG, BIG)
BAND = np.ones((BIG, BIG), np.uint8)
SMALL_IMAGE, SMALL_ALPHA = np.ascontiguousarray(GUIDE[: BIG // 2, : BIG // 2]), np.ascontiguousarray(WORKING_ALPHA[: BIG // 2, : BIG // 2])


def upsample():
    out = np.empty((BIG, BIG), np.float32)
    _native.guided_upsample(GUIDE, WORKING_ALPHA, BAND, 2, 1e-4, GUIDE, out)
    return out


def solve():
    trimap = np.full((BIG // 2, BIG // 2), 128, np.uint8)
    trimap[:, :10], trimap[:, -10:] = 0, 255
    alpha = np.full(trimap.shape, 0.5, np.float32)
    _native.solve_alpha(SMALL_IMAGE, trimap, alpha, 1e-5, 20, 1e-9)
    return alpha


def foreground():
    out = np.empty((BIG // 2, BIG // 2, 3), np.float32)
    _native.estimate_foreground(SMALL_IMAGE, SMALL_ALPHA, out)
    return out


def with_budget(threads, work):
    before = _native.thread_budget()
    _native.set_thread_budget(threads)
    try:
        return work()
    finally:
        _native.set_thread_budget(before)


def most_extra_threads(work, runs=5):
    """The most OS threads seen beside the ones alive before `work` ran."""
    stop = threading.Event()
    seen = []

    def sample():
        while not stop.is_set():
            seen.append(len(os.listdir("/proc/self/task")))

    sampler = threading.Thread(target=sample)
    sampler.start()
    try:
        baseline = len(os.listdir("/proc/self/task"))
        for _ in range(runs):
            work()
    finally:
        stop.set()
        sampler.join()
    return max(seen) - baseline


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads through /proc")
@pytest.mark.parametrize("budget", [1, 2, 3])
def test_a_pass_starts_no_more_threads_than_its_budget(budget):
    # Threads left by other tests may wake in the same process; they only add,
    # so the fewest seen over a few tries is the pass's own.
    extra = min(most_extra_threads(lambda: with_budget(budget, upsample)) for _ in range(3))
    # The calling thread does one share of the work itself.
    assert extra == budget - 1


@pytest.mark.parametrize("work", [upsample, solve, foreground])
def test_results_do_not_depend_on_the_budget(work):
    one = with_budget(1, work)
    for budget in (2, 3, 0):
        np.testing.assert_array_equal(with_budget(budget, work), one, err_msg=f"budget {budget}")


def test_each_python_thread_has_its_own_budget():
    def in_another_thread(body):
        result = []
        worker = threading.Thread(target=lambda: result.append(body()))
        worker.start()
        worker.join()
        return result[0]

    assert with_budget(1, lambda: in_another_thread(_native.thread_budget)) == 0
    assert in_another_thread(lambda: (_native.set_thread_budget(5), _native.thread_budget())[1]) == 5
    assert _native.thread_budget() == 0
