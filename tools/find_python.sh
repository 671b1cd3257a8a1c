#!/bin/sh
# Prints the path of a CPython 3.13 interpreter that has its C headers and the
# venv module, or explains what to install and fails.
#
# Looked for, in order: $PYTHON, python3.13 on PATH (a pyenv shim counts only
# if it really runs), pyenv's installed 3.13.x versions, the usual system
# locations.
set -u

usable() {
    [ -n "$1" ] || return 1
    "$1" - <<'PY' >/dev/null 2>&1
import os, sys, sysconfig, venv, ensurepip
assert sys.version_info[:2] == (3, 13)
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
PY
}

candidates() {
    [ -n "${PYTHON:-}" ] && echo "$PYTHON"
    command -v python3.13 2>/dev/null
    root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
    ls -d "$root"/versions/3.13*/bin/python3.13 2>/dev/null | sort -r
    echo /usr/bin/python3.13
    echo /usr/local/bin/python3.13
}

for candidate in $(candidates); do
    if usable "$candidate"; then
        echo "$candidate"
        exit 0
    fi
done

cat >&2 <<'MSG'
portrait_main needs CPython 3.13 with its C headers and the venv module.
Install one of:
  - Debian/Ubuntu:  sudo apt install python3.13 python3.13-dev python3.13-venv
  - pyenv:          pyenv install 3.13
or point PYTHON at a 3.13 interpreter:  make PYTHON=/path/to/python3.13 ...
MSG
exit 1
