# Everything runs inside a virtual environment made from CPython 3.13
# (found by tools/find_python.sh: system python3.13 or a pyenv install).
#
#   make demo    install, then cut out the bundled sample portrait
#   make test    install, then run the test suite
#   make bench   install, then time the main job against plain NumPy/OpenCV
#   make sanitize    the test suite against an ASan + UBSan build
#   make tsan        the concurrency and native-path tests against a ThreadSanitizer build
#   make lint        ruff over the Python, clang-format's check over the C++
#   make leakcheck   every method, successes and failures, thousands of times

VENV   ?= .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip --disable-pip-version-check --quiet

.PHONY: install test demo bench sanitize tsan lint leakcheck clean

$(PY):
	@python="$$(tools/find_python.sh)" && echo "using $$python" && "$$python" -m venv $(VENV)
	$(PIP) install --upgrade pip

# The build's own tools, then the extensions, built incrementally (build/
# keeps the objects) and installed with their runtime dependencies, every
# extra and the test dependencies. The tools are checked on every install, so
# a venv made before one was added still builds.
BUILD_TOOLS := scikit-build-core cmake ninja nanobind

# Not the gpu extra: onnxruntime-gpu installs the same onnxruntime module as
# onnxruntime and the two overwrite each other, and most machines here have no
# GPU. On one that has: .venv/bin/pip uninstall -y onnxruntime, then
# .venv/bin/pip install ".[gpu]".
install: $(PY)
	$(PIP) install $(BUILD_TOOLS)
	$(PIP) install --no-build-isolation ".[cluster,server,video,test]"

test: install
	$(VENV)/bin/pytest

demo: install
	$(VENV)/bin/portrait-main samples/astronaut.png -o out/astronaut_white.png

# Each bench/bench*.py prints its own table; the quality benchmark's peer
# (rembg) and its composites' backgrounds (scikit-image) come from the bench extra.
bench: install
	$(PIP) install scikit-image "rembg[cpu]"
	@for script in bench/bench*.py; do echo "== $$script"; $(PY) $$script || exit 1; done

sanitize: install
	tools/sanitize.sh

tsan: install
	SANITIZERS=thread tools/sanitize.sh tests/engine/test_concurrency.py tests/engine/test_native_path.py

# clang-format is a Debian package (clang-format); without it only ruff runs.
lint: install
	$(VENV)/bin/ruff check .
	@if command -v clang-format >/dev/null; then \
		clang-format --dry-run --Werror $$(git ls-files 'portrait_main/*.h' 'portrait_main/*.cpp' 'python/studio_native/*.h' 'python/studio_native/*.cpp') && echo "clang-format: C++ layout clean"; \
	else echo "clang-format not installed: C++ layout not checked (apt-get install clang-format)"; fi

leakcheck: install
	$(PY) tools/leakcheck.py

clean:
	rm -rf build out $(VENV) .pytest_cache .hypothesis
