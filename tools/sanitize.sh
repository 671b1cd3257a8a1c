#!/usr/bin/env bash
# Builds the extension with sanitizers and runs tests against that build in
# the project's own interpreter (.venv), with the sanitizer's runtime preloaded.
#
#   tools/sanitize.sh [pytest arguments...]
#   SANITIZERS=thread tools/sanitize.sh tests/engine/test_concurrency.py tests/engine/test_native_path.py
#
# SANITIZERS (default address,undefined,float-cast-overflow) chooses the
# -fsanitize list; float-cast-overflow is not part of GCC's "undefined".
# "thread" (ThreadSanitizer) cannot be combined with the others and gets a
# build of its own.
#
# The instrumented module is installed into build/<name>/site (build/sanitize
# for ASan + UBSan, build/tsan for ThreadSanitizer), which goes first on
# PYTHONPATH, so the ordinary install in .venv is left alone; the CMake
# objects are kept in build/<name>/cmake between runs. Python's own allocator
# is switched to malloc so that the sanitizer sees every object allocation.
# NumPy, OpenCV, ONNX Runtime and the interpreter are not instrumented: only
# this module's code (the extension and the kernels library) is checked.
#
# ASan + UBSan: the ASan runtime (and libstdc++, for its exception
# interceptors) is preloaded. Reports go to <logs>/asan.<pid> (also those of
# the interpreters that tests start). GCC's UBSan runtime ignores log_path, so
# pytest captures at the sys level only: UBSan's report, written straight to
# file descriptor 2, reaches this script's output, kept in <logs>/pytest.log.
#
# ThreadSanitizer: only the TSan runtime is preloaded (never ASan's; the two
# cannot share a process). Reports go to <logs>/tsan.<pid>. The interpreter's
# own memory accesses are invisible to TSan, but its lock (the GIL) is a
# pthread mutex that TSan does see, so the module's accesses to Python objects
# under the GIL are ordered for it, and the passes' worker threads are started
# and joined through std::thread. tools/tsan.supp lists what is suppressed and why.
#
# A sanitizer report stops the process that hit it. The run fails when
# pytest fails or when any report was written.
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=${VENV:-.venv}
PY="$VENV/bin/python"
SANITIZERS=${SANITIZERS:-address,undefined,float-cast-overflow}
case ",$SANITIZERS," in
    *,thread,*) KIND=thread OUT=build/tsan ;;
    *) KIND=address OUT=build/sanitize ;;
esac
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

cxx_runtime=$(g++ -print-file-name=libstdc++.so)
rm -rf "$LOGS"
mkdir -p "$LOGS"
logs_abs=$(cd "$LOGS" && pwd)

if [ "$KIND" = thread ]; then
    tsan_runtime=$(g++ -print-file-name=libtsan.so)
    [ -e "$tsan_runtime" ] || { echo "no TSan runtime at $tsan_runtime (install libtsan2 / gcc)" >&2; exit 2; }
    export LD_PRELOAD="$tsan_runtime"
    suppressions=$(cd tools && pwd)/tsan.supp
    export TSAN_OPTIONS="halt_on_error=1:ignore_noninstrumented_modules=1:second_deadlock_stack=1:report_signal_unsafe=0:suppressions=$suppressions:log_path=$logs_abs/tsan:${TSAN_OPTIONS:-}"
else
    asan_runtime=$(g++ -print-file-name=libasan.so)
    [ -e "$asan_runtime" ] || { echo "no ASan runtime at $asan_runtime (install libasan8 / gcc)" >&2; exit 2; }
    # libstdc++ is preloaded beside the ASan runtime so that ASan's C++
    # exception interceptors find it when they initialise.
    export LD_PRELOAD="$asan_runtime $cxx_runtime"
    export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:halt_on_error=1:abort_on_error=0:log_path=$logs_abs/asan:${ASAN_OPTIONS:-}"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}"
fi
export PYTHONPATH="$(cd "$SITE" && pwd)${PYTHONPATH:+:$PYTHONPATH}"
export PYTHONMALLOC=malloc PYTHONUNBUFFERED=1

# The module that is tested must be the instrumented one.
"$PY" - <<'PY'
import os, portrait_main
site = os.environ["PYTHONPATH"].split(":")[0]
assert os.path.dirname(portrait_main.__file__) == site, portrait_main.__file__
print("== testing", portrait_main.__file__)
PY

status=0
"$VENV/bin/pytest" -q -p no:cacheprovider --capture=sys "$@" 2>&1 | tee "$LOGS/pytest.log" || status=$?

reports=$(find "$LOGS" -type f \( -name 'asan.*' -o -name 'tsan.*' \) | sort)
if [ -n "$reports" ] || grep -q -E 'runtime error:|AddressSanitizer|UndefinedBehaviorSanitizer|ThreadSanitizer' "$LOGS/pytest.log"; then
    echo "== sanitizer reports:"
    grep -n -A40 -E 'runtime error:|UndefinedBehaviorSanitizer|ThreadSanitizer' "$LOGS/pytest.log" || true
    for report in $reports; do
        echo "--- $report"
        cat "$report"
    done
    [ "$status" -ne 0 ] || status=1
else
    echo "== no sanitizer reports"
fi
exit "$status"
