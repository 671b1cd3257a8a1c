"""No run of any method, successful or failing, leaves references or memory
behind: a short pass of tools/leakcheck.py (run the script for the long one)."""

import numpy as np
import pytest

RSS_LIMIT = 4 * 1024 * 1024


@pytest.fixture(scope="module")
def context(leakcheck, tmp_path_factory):
    return leakcheck.Context(tmp_path_factory.mktemp("leaks"))


def test_every_path_of_every_method_is_free_of_leaks(leakcheck, context):
    watched = context.watched()
    cases = leakcheck.cases(context)
    # successes, every argument-error form of all four methods, the failures
    assert len(cases) >= 50
    results = [leakcheck.measure(case, watched, runs=150, rounds=3, warmup=20) for case in cases]
    leaking = [r.case for r in results if r.leaks(RSS_LIMIT)]
    assert leaking == [], leakcheck.format_table(results, RSS_LIMIT)
    # the counts were readable: the watched objects are mortal but for the
    # interned tensor names, a small int target and None
    immortal = [name for name, d in results[0].drift.items() if d is None]
    assert set(immortal) <= {"tensor names[0]", "tensor names[1]", "targets[1]", "None"}
    assert len(results[0].drift) - len(immortal) >= 30


def test_the_check_sees_a_leak(leakcheck, context):
    # A run that keeps a reference to the engine and one new object each time.
    kept = []
    leaky = leakcheck.Case("leaky", lambda: kept.append((context.engine, np.zeros(1))))
    result = leakcheck.measure(leaky, context.watched(), runs=150, rounds=3)
    assert result.drift["engine"] == result.runs
    assert result.leaked_refs
    assert result.blocks_grow or not leakcheck.counts_blocks()
    assert {name for name, d in result.drift.items() if d} == {"engine"}


def test_the_check_sees_an_over_release(leakcheck, context):
    # The opposite fault: a reference dropped that was never taken.
    holder = [context.size] * 1000
    release = leakcheck.Case("releasing", lambda: holder.pop())
    result = leakcheck.measure(release, context.watched(), runs=150, rounds=3)
    assert result.drift["size"] == -result.runs and result.leaked_refs
