"""Fixtures of the engine's tests."""

import importlib.util
import sys

import pytest


@pytest.fixture(scope="session")
def leakcheck(repository):
    """tools/leakcheck.py as a module: its cases and measurements, and its
    caller that passes keyword names of any type."""
    name = "leakcheck"
    if name not in sys.modules:
        spec = importlib.util.spec_from_file_location(name, repository / "tools" / "leakcheck.py")
        module = importlib.util.module_from_spec(spec)
        # dataclasses look their module up by name while the body runs
        sys.modules[name] = module
        try:
            spec.loader.exec_module(module)
        except BaseException:
            del sys.modules[name]
            raise
    return sys.modules[name]
