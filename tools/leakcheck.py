"""Reference and memory leak check for the portrait_main engine.

    .venv/bin/python tools/leakcheck.py [--runs N] [--rounds R] [--only TEXT]

Every method is run many times over, on its successful paths and on each of
its error paths (every argument-error form, a missing photograph, a missing or
broken model, a model that refuses the input, an unwritable output, a failing
letterbox, ...). For each case the reference counts of the objects a run
touches (the engines, the class and its method objects, the input-size
objects, the shared default (512, 512) tuple, the modules cv2/np/rt/os, the
module's __file__, the path strings, the arrays) are taken after a warm-up and
again after all runs: any difference is a leak (or an over-release). Between rounds the
number of blocks held by the interpreter's small-object allocator is read
too, and the resident memory of the process before and after the case.

A table is printed, one row per case; the exit status is 1 when any case
shows reference drift, allocator blocks that grow by at least one per run in
every round, or resident memory growing beyond --rss-limit-kib.
"""

from __future__ import annotations

import argparse
import contextlib
import ctypes
import gc
import importlib.util
import os
import sys
import tempfile
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

import cv2
import numpy as np
import portrait_main as pm

REPOSITORY = Path(__file__).resolve().parent.parent


def _load_test_models():
    # The suite's model builders, read from their file: this script runs on
    # its own as well as under pytest, and adds nothing to sys.path either way.
    path = REPOSITORY / "tests" / "support" / "onnx_models.py"
    spec = importlib.util.spec_from_file_location("leakcheck_onnx_models", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


onnx_models = _load_test_models()

PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")
# Immortal objects (None, small ints, interned names) report this count
# whatever happens to them; drift cannot be seen on them.
IMMORTAL_REFCOUNT = 2**30


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_SIZE


def memory_is_instrumented() -> bool:
    """Whether AddressSanitizer's runtime is loaded (tools/sanitize.sh): its
    quarantine of freed memory makes resident memory meaningless here."""
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def counts_blocks() -> bool:
    """Whether the interpreter's small-object allocator is in use (not so
    under PYTHONMALLOC=malloc), so that its block count means something."""
    return sys.getallocatedblocks() > 0


def total_refcount() -> int | None:
    """The interpreter's total of references: debug builds only."""
    counter = getattr(sys, "gettotalrefcount", None)
    return counter() if counter else None


class FixedSession:
    """An inference session that answers every run with the same output and
    keeps the names and feed it was given last, so that the shared tensor
    names can be watched."""

    def __init__(self, output):
        self.output = output
        self.seen = None

    def run(self, names, feed):
        self.seen = (names[0], next(iter(feed)))
        return [self.output]


class Passthrough:
    """A module in all but identity: rebinding np to it turns the native
    passes off, so the run takes its step-by-step path."""

    def __init__(self, module):
        self._module = module

    def __getattr__(self, name):
        return getattr(self._module, name)


_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
_vectorcall.restype = ctypes.py_object
_vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]


def call_with_keyword_objects(function, positional, keywords):
    """function(*positional, **keywords) through vectorcall, so that keyword
    names need not be strings, nor distinct, as a native caller may pass
    them. `keywords` is a dict or a sequence of (name, value) pairs."""
    pairs = list(keywords.items() if isinstance(keywords, dict) else keywords)
    stack = (ctypes.py_object * (len(positional) + len(pairs)))(*positional, *(v for _, v in pairs))
    return _vectorcall(function, ctypes.addressof(stack), len(positional), tuple(k for k, _ in pairs))


class Group(list):
    """Several watched objects under one name."""


class Context:
    """Models, photographs, engines and paths, made once in `folder`."""

    def __init__(self, folder: Path):
        self.folder = folder
        rng = np.random.default_rng(3)
        self.photo = str(folder / "photo 30x40 é.png")
        assert cv2.imwrite(self.photo, rng.integers(0, 256, (30, 40, 3), dtype=np.uint8))
        self.save_path = str(folder / "out.png")
        self.unwritable = str(folder / "no such folder" / "out.png")
        self.unknown_format = str(folder / "out.xyz")
        self.missing_photo = str(folder / "missing.png")
        self.model = str(onnx_models.red_matte(folder / "red.onnx"))
        self.fixed_model = str(onnx_models.red_matte(folder / "fixed.onnx", height=64, width=64))
        self.flat_model = str(onnx_models.flat_output(folder / "flat.onnx"))
        self.missing_model = str(folder / "missing.onnx")
        self.not_a_model = str(folder / "garbage.onnx")
        Path(self.not_a_model).write_bytes(b"this is not a protobuf\x00\xff" * 10)

        self.cls = pm.QuorinPortraitMain
        self.engine = self.cls(self.model)
        self.fixed_engine = self.cls(self.fixed_model)
        self.flat_engine = self.cls(self.flat_model)
        self.fake_engine = self.cls(self.model)
        # a float64 matte of its own size, partly out of range: the blend of
        # the step-by-step path with its saturation
        matte = rng.uniform(-0.5, 1.5, (1, 1, 9, 7))
        self.fake_engine._session = FixedSession(matte)
        self.box_engine = self.cls(self.model)
        self.no_size_engine = self.cls(self.model)

        self.size = (32, 24)
        self.size_list = [40, 30]
        self.bad_size = [40, 30, 3]
        self.box_targets = {"pair": (16, 12), "number": 24, "other": "no target",
                            "three": (1, 2, 3), "zero": (0, 5)}
        self.array = rng.integers(0, 255, (30, 40, 3), dtype=np.uint8)
        self.grey = rng.integers(0, 255, (30, 40), dtype=np.uint8)

        # ONNX Runtime's Python binding keeps allocating a few blocks per run
        # for its first thousand or so runs in a process (whatever the
        # session), then stops: that warm-up is done here, once.
        tiny = np.zeros((1, 3, 8, 8), np.float32)
        for _ in range(1500):
            self.engine._session.run(["output"], {"input": tiny})
        self.engine._image(self.photo, self.save_path)  # stores the shared default
        self.default_size = self.engine._input_size
        self.fake_engine._image(self.photo, self.save_path)
        self.output_name, self.input_name = self.fake_engine._session.seen

    def watched(self) -> dict[str, object]:
        """The objects whose reference counts must not move, by name."""
        return {
            "engine": self.engine,
            "other engines": Group([self.fixed_engine, self.flat_engine, self.fake_engine, self.box_engine,
                                    self.no_size_engine]),
            "class": self.cls,
            "methods": Group(vars(self.cls)[name] for name in ("__init__", "_set_model", "_image",
                                                               "_process_image")),
            "size": self.size,
            "size list": self.size_list,
            "bad size": self.bad_size,
            "targets": Group(self.box_targets.values()),
            "default size": self.default_size,
            "tensor names": Group([self.output_name, self.input_name]),
            "modules": Group([pm.cv2, pm.np, pm.rt, pm.os]),
            "module file": pm.__file__,
            "paths": Group([self.photo, self.save_path, self.unwritable, self.unknown_format,
                            self.missing_photo, self.model, self.fixed_model, self.flat_model,
                            self.missing_model, self.not_a_model]),
            "arrays": Group([self.array, self.grey]),
            "None": None,
        }


def refcounts(watched: dict[str, object]) -> dict[str, int | None]:
    """Each watched object's count, one entry per object (a Group counts its
    members); None for an immortal object."""
    counts = {}
    for name, obj in watched.items():
        items = obj if isinstance(obj, Group) else [obj]
        for index, item in enumerate(items):
            label = name if len(items) == 1 else f"{name}[{index}]"
            count = sys.getrefcount(item)
            counts[label] = None if count >= IMMORTAL_REFCOUNT else count
    return counts


@dataclass
class Case:
    name: str
    run: Callable[[], object]
    raises: type[BaseException] | None = None
    weight: int = 1  # runs are divided by this for slow cases
    rebind: dict = field(default_factory=dict)  # module names rebound while it runs


@contextlib.contextmanager
def rebound(names: dict):
    """Module names rebound (None: removed) for the duration."""
    saved = dict(vars(pm))
    try:
        for name, value in names.items():
            if value is None:
                delattr(pm, name)
            else:
                setattr(pm, name, value)
        yield
    finally:
        for name in names:
            setattr(pm, name, saved[name])


def argument_error_cases(ctx: Context) -> list[Case]:
    C, e = ctx.cls, ctx.engine
    p = ctx.photo
    calls = {
        "__init__": [
            ("too few", lambda: C()),
            ("too many", lambda: C(ctx.model, ctx.model)),
            ("unexpected keyword", lambda: C(onnx_path=ctx.model, other=1)),
            ("multiple values", lambda: C.__init__(e, ctx.model, onnx_path=ctx.model)),
            ("keyword not a string", lambda: call_with_keyword_objects(C.__init__, (e,), {1: ctx.model})),
        ],
        "_set_model": [
            ("too few", lambda: e._set_model()),
            ("too many", lambda: e._set_model(ctx.model, ctx.model)),
            ("unexpected keyword", lambda: e._set_model(ctx.model, other=1)),
            ("multiple values", lambda: e._set_model(ctx.model, onnx_path=ctx.model)),
            ("keyword not a string", lambda: call_with_keyword_objects(C._set_model, (e,), {1: ctx.model})),
        ],
        "_image": [
            ("too few", lambda: e._image(p)),
            ("too few, keywords", lambda: C._image(e, save_path=ctx.save_path, input_size=ctx.size)),
            ("too many", lambda: e._image(p, ctx.save_path, ctx.size, ctx.size)),
            ("unexpected keyword", lambda: e._image(p, ctx.save_path, size=ctx.size)),
            ("multiple values", lambda: e._image(p, ctx.save_path, image_path=p)),
            ("self twice", lambda: e._image(p, ctx.save_path, self=e)),
            ("keyword not a string",
             lambda: call_with_keyword_objects(C._image, (e, p, ctx.save_path), {b"input_size": ctx.size})),
        ],
        "_process_image": [
            ("too few", lambda: e._process_image()),
            ("too many", lambda: e._process_image(ctx.array, ctx.array)),
            ("unexpected keyword", lambda: e._process_image(image=ctx.array)),
            ("multiple values", lambda: e._process_image(ctx.array, resize_img=ctx.array)),
            ("keyword not a string",
             lambda: call_with_keyword_objects(C._process_image, (e, ctx.array), {None: ctx.array})),
        ],
    }
    return [Case(f"{method} TypeError: {form}", call, TypeError)
            for method, forms in calls.items() for form, call in forms]


def cases(ctx: Context) -> list[Case]:
    C, e, box = ctx.cls, ctx.engine, ctx.box_engine
    p, out = ctx.photo, ctx.save_path

    def box_to(target_name, image=None):
        target = ctx.box_targets[target_name]

        def run():
            box._input_size = target
            return box._process_image(ctx.array if image is None else image)
        return run

    successes = [
        Case("__init__ ok", lambda: C(ctx.model)),
        Case("__init__ ok, keyword", lambda: C(onnx_path=ctx.model)),
        Case("_set_model ok", lambda: e._set_model(ctx.model)),
        Case("_image ok, default size", lambda: e._image(p, out), weight=2),  # the model at 512 x 512
        Case("_image ok, tuple size", lambda: e._image(p, out, ctx.size)),
        Case("_image ok, list size", lambda: e._image(p, out, ctx.size_list)),
        Case("_image ok, all by keyword",
             lambda: C._image(input_size=ctx.size, save_path=out, image_path=p, self=e)),
        Case("_image ok, step-by-step path", lambda: e._image(p, out, ctx.size),
             rebind={"np": Passthrough(np)}),
        Case("_image ok, float64 matte", lambda: ctx.fake_engine._image(p, out, ctx.size)),
        Case("_process_image ok, pair", box_to("pair")),
        Case("_process_image ok, single channel", box_to("pair", ctx.grey)),
        Case("_process_image ok, number", box_to("number")),
        Case("_process_image ok, no target", box_to("other")),
    ]
    failures = [
        Case("__init__ missing model", lambda: C(ctx.missing_model), Exception),
        Case("_set_model missing model", lambda: e._set_model(ctx.missing_model), Exception),
        Case("_set_model not a model", lambda: e._set_model(ctx.not_a_model), Exception),
        Case("_image missing photograph", lambda: e._image(ctx.missing_photo, out, ctx.size), cv2.error),
        Case("_image model refuses input", lambda: ctx.fixed_engine._image(p, out, ctx.size), Exception),
        Case("_image output without a plane", lambda: ctx.flat_engine._image(p, out, ctx.size), IndexError),
        Case("_image unwritable output", lambda: e._image(p, ctx.unwritable, ctx.size), OSError),
        Case("_image unknown format", lambda: e._image(p, ctx.unknown_format, ctx.size), cv2.error),
        Case("_image letterbox fails", lambda: e._image(p, out, ctx.bad_size), ValueError),
        Case("_image size not indexable", lambda: e._image(p, out, 5), TypeError),
        Case("_image size truth ambiguous", lambda: e._image(p, out, ctx.array), ValueError),
        Case("_image size refused by OpenCV", lambda: e._image(p, out, (0, 24)), cv2.error),
        Case("_image cv2 missing", lambda: e._image(p, out, ctx.size), NameError, rebind={"cv2": None}),
        Case("_process_image too many values", box_to("three"), ValueError),
        Case("_process_image zero side", box_to("zero"), ZeroDivisionError),
        Case("_process_image no shape", lambda: e._process_image([[1, 2], [3, 4]]), AttributeError),
        Case("_process_image target never set", lambda: ctx.no_size_engine._process_image(ctx.array),
             AttributeError),
    ]
    return successes + argument_error_cases(ctx) + failures


def run_once(case: Case) -> None:
    if case.raises is None:
        case.run()
        return
    try:
        case.run()
    except case.raises:
        return
    raise AssertionError(f"{case.name}: no {case.raises.__name__} raised")


@dataclass
class Result:
    case: str
    runs: int
    drift: dict[str, int | None]  # None: immortal, cannot drift
    block_deltas: list[int]  # empty when blocks are not counted
    rss_growth: int | None  # None when resident memory is not meaningful
    total_refs: int | None
    seconds: float

    @property
    def leaked_refs(self) -> bool:
        return any(d for d in self.drift.values() if d is not None) or bool(self.total_refs)

    def leaks(self, rss_limit: int) -> bool:
        return self.leaked_refs or self.blocks_grow or (self.rss_growth or 0) > rss_limit

    @property
    def blocks_grow(self) -> bool:
        # At least one block more per run, in every round. The libraries'
        # caches add some tens of blocks in the first few hundred runs of a
        # kind, fewer in each round; a leak adds as many in every round.
        per_round = self.runs // max(len(self.block_deltas), 1)
        return bool(self.block_deltas) and min(self.block_deltas) >= per_round


def measure(case: Case, watched: dict[str, object], runs: int, rounds: int, warmup: int = 50) -> Result:
    per_round = max(runs // case.weight // rounds, 50)
    started = time.perf_counter()
    with rebound(case.rebind):
        for _ in range(warmup):
            run_once(case)
        gc.collect()
        refs_before = refcounts(watched)
        total_before = total_refcount()
        rss_before = resident_bytes()
        blocks = [sys.getallocatedblocks()]
        for _ in range(rounds):
            for _ in range(per_round):
                run_once(case)
            gc.collect()
            blocks.append(sys.getallocatedblocks())
        if not counts_blocks():
            blocks = []
        rss_after = resident_bytes()
        total_after = total_refcount()
        refs_after = refcounts(watched)
    drift = {name: None if before is None else refs_after[name] - before for name, before in refs_before.items()}
    return Result(
        case=case.name,
        runs=per_round * rounds,
        drift=drift,
        block_deltas=[b - a for a, b in zip(blocks, blocks[1:])],
        rss_growth=None if memory_is_instrumented() else rss_after - rss_before,
        total_refs=None if total_before is None else total_after - total_before,
        seconds=time.perf_counter() - started,
    )


def format_table(results: list[Result], rss_limit: int) -> str:
    """One row per case: runs, the reference drift of every watched object
    (listed only where it is not 0), allocator blocks added per round and
    resident memory added."""
    objects = list(results[0].drift)
    immortal = [name for name, d in results[0].drift.items() if d is None]
    lines = [f"watched: {len(objects)} objects ({', '.join(dict.fromkeys(o.split('[')[0] for o in objects))}); "
             f"immortal, so not counted: {', '.join(immortal) or 'none'}"]
    name_width = max(len(r.case) for r in results)
    head = f"{'case':<{name_width}} {'runs':>6}  {'refcount drift':<22} {'blocks/round':>16} {'RSS KiB':>8}  verdict"
    lines += [head, "-" * len(head)]
    for r in results:
        moved = [f"{name} {d:+d}" for name, d in r.drift.items() if d]
        drift = ", ".join(moved) or f"0 on all {sum(d is not None for d in r.drift.values())}"
        deltas = ",".join(str(d) for d in r.block_deltas) or "n/a"
        rss = "n/a" if r.rss_growth is None else r.rss_growth // 1024
        lines.append(f"{r.case:<{name_width}} {r.runs:>6}  {drift:<22} {deltas:>16} "
                     f"{rss:>8}  {'LEAK' if r.leaks(rss_limit) else 'ok'}")
    return "\n".join(lines)


def check(runs: int, rounds: int, only: str | None, rss_limit: int, out=sys.stdout) -> list[Result]:
    with tempfile.TemporaryDirectory(prefix="leakcheck ") as folder:
        ctx = Context(Path(folder))
        watched = ctx.watched()
        selected = [c for c in cases(ctx) if only is None or only in c.name]
        start_rss = resident_bytes()
        results = [measure(case, watched, runs, rounds) for case in selected]
        print(format_table(results, rss_limit), file=out)
        total = sum(r.runs for r in results)
        growth = resident_bytes() - start_rss
        print(f"\n{len(results)} cases, {total} runs in {sum(r.seconds for r in results):.1f} s; "
              f"resident memory over all cases grew {growth // 1024} KiB", file=out)
        if memory_is_instrumented() or not counts_blocks():
            print("AddressSanitizer or PYTHONMALLOC=malloc: allocator blocks and resident memory "
                  "are not checked, reference counts only", file=out)
        if total_refcount() is None:
            print("sys.gettotalrefcount() is not available (not a debug interpreter): "
                  "per-object counts and allocator blocks only", file=out)
        return results


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=3000, help="runs per case (slow cases run fewer)")
    parser.add_argument("--rounds", type=int, default=3, help="rounds between which allocator blocks are read")
    parser.add_argument("--only", help="run only the cases whose name contains this text")
    parser.add_argument("--rss-limit-kib", type=int, default=4096,
                        help="resident memory a case may add (allocator noise)")
    args = parser.parse_args()
    cv2.utils.logging.setLogLevel(cv2.utils.logging.LOG_LEVEL_ERROR)  # the missing files are meant
    rss_limit = args.rss_limit_kib * 1024
    results = check(args.runs, args.rounds, args.only, rss_limit)
    leaks = [r for r in results if r.leaks(rss_limit)]
    if leaks:
        print("\nLEAKS: " + ", ".join(r.case for r in leaks))
        return 1
    print("\nno leaks")
    return 0


if __name__ == "__main__":
    sys.exit(main())
