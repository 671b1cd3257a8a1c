"""Importing the module: one module per process, its names, its failures."""

import builtins
import importlib
import os
import subprocess
import sys
import textwrap

import cv2
import numpy
import onnxruntime


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )


def test_second_import_returns_the_same_module_without_rebuilding(pm):
    engine_class = pm.QuorinPortraitMain
    assert importlib.import_module("portrait_main") is pm

    # Even when the import system forgets it, creating the module again hands
    # back the same object and nothing is built a second time.
    del sys.modules["portrait_main"]
    try:
        again = importlib.import_module("portrait_main")
    finally:
        sys.modules["portrait_main"] = pm
    assert again is pm
    assert again.QuorinPortraitMain is engine_class


def test_module_names_after_initialisation(pm):
    assert pm.__builtins__ is builtins
    assert pm.os is os
    assert pm.cv2 is cv2
    assert pm.np is numpy
    assert pm.rt is onnxruntime
    assert pm.__test__ == {}
    assert pm.__name__ == "portrait_main"
    assert pm.__file__ == pm.__spec__.origin
    assert pm.__file__.endswith(".so") and os.path.exists(pm.__file__)
    assert type(pm.__loader__).__name__ == "ExtensionFileLoader"
    assert pm.__package__ == ""
    assert not hasattr(pm, "__path__")  # a plain module, not a package
    assert isinstance(pm.__doc__, str) and pm.__doc__


def test_names_are_bound_in_order_with_test_last():
    result = run_python(
        """
        import portrait_main
        print(*[n for n in vars(portrait_main) if not n.startswith("__") or n == "__test__"])
        print(list(vars(portrait_main))[-1])
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["os cv2 np rt QuorinPortraitMain __test__", "__test__"]


def test_sub_interpreter_is_refused():
    result = run_python(
        """
        import portrait_main, _interpreters
        interp = _interpreters.create("legacy")
        try:
            failure = _interpreters.run_string(interp, "import portrait_main")
        finally:
            _interpreters.destroy(interp)
        print(failure.type.__name__)
        print(failure.msg)
        """
    )
    assert result.returncode == 0, result.stderr
    kind, message = result.stdout.splitlines()[:2]
    assert kind == "ImportError"
    assert message == (
        "Interpreter change detected - this module can only be loaded into one interpreter per process."
    )


def test_failed_import_of_cv2_stops_initialisation_and_can_be_retried():
    result = run_python(
        """
        import sys, traceback
        sys.modules["cv2"] = None  # makes `import cv2` raise ImportError
        try:
            import portrait_main
        except ImportError as error:
            print("ImportError")
            print(error.name)
            entries = [(f.filename, f.name) for f in traceback.extract_tb(error.__traceback__)]
            print(("portrait_main", "init portrait_main") in entries)
        print("portrait_main" in sys.modules, "numpy" in sys.modules, "onnxruntime" in sys.modules)

        # Once the library is there, the import works.
        del sys.modules["cv2"]
        import portrait_main
        print(portrait_main.QuorinPortraitMain.__name__, portrait_main.cv2.__name__)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "ImportError",
        "cv2",
        "True",
        "False False False",
        "QuorinPortraitMain cv2",
    ]


def test_import_binds_numpy_and_onnxruntime_in_a_clean_interpreter():
    result = run_python(
        """
        import sys
        assert "onnxruntime" not in sys.modules
        import portrait_main
        print(portrait_main.rt is sys.modules["onnxruntime"], portrait_main.np is sys.modules["numpy"])
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "True"]
