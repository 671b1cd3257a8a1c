#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the whole test suite against that build in the project's own
# interpreter (.venv), with the ASan runtime preloaded.
#
#   tools/sanitize.sh [pytest arguments...]
#
# SANITIZERS (default address,undefined,float-cast-overflow) chooses the
# -fsanitize list; float-cast-overflow is not part of GCC's "undefined".
#
# The instrumented module is installed into build/sanitize/site, which goes
# first on PYTHONPATH, so the ordinary install in .venv is left alone; the
# CMake objects are kept in build/sanitize/cmake between runs. Python's own
# allocator is switched to malloc so that ASan sees every object allocation.
# NumPy, OpenCV and ONNX Runtime are not instrumented: only this module's
# code is checked for bad memory accesses and undefined behaviour.
#
# A sanitizer report stops the process that hit it. Reports from ASan go to
# build/sanitize/logs/asan.<pid> (also those of the interpreters that tests
# start). GCC's UBSan runtime ignores log_path, so pytest captures at the
# sys level only: UBSan's report, written straight to file descriptor 2,
# reaches this script's output, which is kept in build/sanitize/logs/pytest.log.
# The run fails when pytest fails or when any report was written.
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=${VENV:-.venv}
PY="$VENV/bin/python"
SANITIZERS=${SANITIZERS:-address,undefined,float-cast-overflow}
OUT=build/sanitize
SITE="$OUT/site"
LOGS="$OUT/logs"

[ -x "$PY" ] || { echo "no $PY: run 'make install' first" >&2; exit 2; }

echo "== building with -fsanitize=$SANITIZERS into $SITE"
"$PY" -m pip --disable-pip-version-check --quiet install --no-deps --no-build-isolation \
    --upgrade --target "$SITE" \
    -Ccmake.define.PORTRAIT_MAIN_SANITIZE="$SANITIZERS" \
    -Ccmake.build-type=RelWithDebInfo \
    -Cbuild-dir="$OUT/cmake" \
    .

asan_runtime=$(g++ -print-file-name=libasan.so)
cxx_runtime=$(g++ -print-file-name=libstdc++.so)
[ -e "$asan_runtime" ] || { echo "no ASan runtime at $asan_runtime (install libasan8 / gcc)" >&2; exit 2; }

rm -rf "$LOGS"
mkdir -p "$LOGS"
logs_abs=$(cd "$LOGS" && pwd)

# libstdc++ is preloaded beside the ASan runtime so that ASan's C++
# exception interceptors find it when they initialise.
export LD_PRELOAD="$asan_runtime $cxx_runtime"
export PYTHONPATH="$(cd "$SITE" && pwd)${PYTHONPATH:+:$PYTHONPATH}"
export PYTHONMALLOC=malloc PYTHONUNBUFFERED=1
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:halt_on_error=1:abort_on_error=0:log_path=$logs_abs/asan:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}"

# The module that is tested must be the instrumented one.
"$PY" - <<'PY'
import os, portrait_main
site = os.environ["PYTHONPATH"].split(":")[0]
assert os.path.dirname(portrait_main.__file__) == site, portrait_main.__file__
print("== testing", portrait_main.__file__)
PY

status=0
"$VENV/bin/pytest" -q -p no:cacheprovider --capture=sys "$@" 2>&1 | tee "$LOGS/pytest.log" || status=$?

reports=$(find "$LOGS" -type f -name 'asan.*' | sort)
if [ -n "$reports" ] || grep -q -E 'runtime error:|AddressSanitizer|UndefinedBehaviorSanitizer' "$LOGS/pytest.log"; then
    echo "== sanitizer reports:"
    grep -n -A40 -E 'runtime error:|UndefinedBehaviorSanitizer' "$LOGS/pytest.log" || true
    for report in $reports; do
        echo "--- $report"
        cat "$report"
    done
    [ "$status" -ne 0 ] || status=1
else
    echo "== no sanitizer reports"
fi
exit "$status"
