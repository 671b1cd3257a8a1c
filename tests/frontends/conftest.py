"""Fixtures of the front-end tests: folders of photographs, the one-engine
reference loop, the service started in its own process or on a thread, a
wide-gamut colour profile."""

import os
import shutil
import subprocess
import sys

import pytest

from tests.support import folders, icc, service


@pytest.fixture(scope="session")
def make_photos():
    """make_photos(folder, count, width=320, height=240, corrupt=False): `count`
    different photographs, JPEG and PNG, some in a subfolder; the folder back."""
    return folders.make_photos


@pytest.fixture(scope="session")
def outputs():
    """outputs(folder): every file under it, by relative path, to its bytes."""
    return folders.outputs


@pytest.fixture(scope="session")
def sequential():
    """sequential(jobs, request, model, pm): the plan's jobs done by one engine,
    one after another."""
    return folders.sequential


@pytest.fixture(scope="session")
def adobe_rgb():
    """An ICC display profile's bytes with Adobe RGB (1998)'s colorants and
    gamma, made in code so no system profile package is needed."""
    return icc.wide_gamut_rgb()


@pytest.fixture(scope="session")
def serve_process():
    """A context manager: `portrait-main serve --port 0 *args` in its own
    process, yielding its URL and port; stopped on leaving."""
    return service.serve_process


@pytest.fixture(scope="session")
def serve_in_thread():
    """A context manager: an ASGI app on uvicorn on a thread of this process,
    yielding its URL."""
    return service.serve_in_thread


@pytest.fixture(scope="session")
def cli():
    """The installed portrait-main command."""
    return shutil.which("portrait-main", path=os.path.dirname(sys.executable)) or "portrait-main"


@pytest.fixture(scope="session")
def run_cli(cli):
    """run_cli(*args, cwd=None): the command run to its end, output captured."""

    def run(*args, cwd=None):
        return subprocess.run([cli, *map(str, args)], capture_output=True, text=True, cwd=cwd, timeout=120)

    return run
