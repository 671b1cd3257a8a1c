"""Name it, own it: the files a run may write, checked before any work.

A run writes only the paths its user named as outputs (the picture, the
report, the guide lines; in folder mode every planned output). None of them
may be one of the run's inputs (the photograph, the background picture, the
model), another output of the same run, or anything that is not a regular
file (a folder, a device such as /dev/stdout, a pipe): each is refused with
the option that named it, before a photograph is read. "The same" is told
through links and other spellings, hard links included.

    check_targets(inputs=[("the photograph", source), ("the background picture", picture)],
                  outputs=[("-o", target), ("--report", report)])
    probe_writable("--overlay", overlay)   # its folder takes a new file, or the run stops now
"""

from __future__ import annotations

import contextlib
import os
import stat
import uuid
from collections.abc import Iterable
from pathlib import Path

from . import imageio


class TargetError(Exception):
    """An output the run must not or cannot write; nothing has been done."""


def identities(path: str | os.PathLike) -> set:
    """What two names of one file share: its resolved name, and its device
    and inode when it exists (so a hard link is told too)."""
    found: set = {("name", os.path.normcase(os.path.realpath(path)))}
    with contextlib.suppress(OSError, ValueError):
        info = os.stat(path)
        found.add(("inode", info.st_dev, info.st_ino))
    return found


def kind_of(info: os.stat_result) -> str:
    mode = info.st_mode
    if stat.S_ISDIR(mode):
        return "a folder"
    if stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
        return "a device"
    if stat.S_ISFIFO(mode):
        return "a pipe"
    if stat.S_ISSOCK(mode):
        return "a socket"
    return "not a regular file"


def check_regular_or_new(option: str, path: str | os.PathLike) -> None:
    """TargetError unless `path` is absent or a regular file (through links)."""
    try:
        info = os.stat(path)
    except (FileNotFoundError, NotADirectoryError):
        return  # a new file; whether its folder can be made is the write's to say
    except OSError as error:
        raise TargetError(f"{option} {imageio.shown(path)}: cannot be looked at ({error.strerror or error})") from None
    if not stat.S_ISREG(info.st_mode):
        raise TargetError(f"{option} {imageio.shown(path)} is {kind_of(info)}, not a file this run may replace; "
                          "name a new file or a regular one")


def check_targets(inputs: Iterable[tuple[str, str | os.PathLike | None]],
                  outputs: Iterable[tuple[str, str | os.PathLike | None]],
                  planned: Iterable[tuple[str, str | os.PathLike]] = ()) -> None:
    """TargetError, naming both, where an output is an input, two outputs are
    one file, or an output is there already as something other than a file.
    Entries are (what the user called it, path); a None path is skipped.
    `planned` outputs (a folder run's pictures, each its own photograph's
    failure when something else stands in its place) are told apart from the
    inputs and the other outputs only."""
    read: dict = {}
    for what, path in inputs:
        if path is not None:
            for identity in identities(path):
                read.setdefault(identity, (what, path))
    written: dict = {}
    named = [(option, path, True) for option, path in outputs if path is not None]
    for option, path, checked in [*((option, path, False) for option, path in planned), *named]:
        if checked:
            check_regular_or_new(option, path)
        mine = identities(path)
        for identity in mine:
            if identity in read:
                what, source = read[identity]
                raise TargetError(f"{option} {imageio.shown(path)}: refusing to overwrite {what} "
                                  f"{imageio.shown(source)}; inputs are never overwritten: name another file")
            if identity in written:
                other, earlier = written[identity]
                raise TargetError(f"{option} {imageio.shown(path)} is also {other} {imageio.shown(earlier)}; "
                                  "each output needs a file of its own")
        for identity in mine:
            written[identity] = (option, path)


def probe_writable(option: str, path: str | os.PathLike) -> None:
    """TargetError unless a new file can be made beside `path` (its folder
    made if need be): what the atomic write will do at the end, tried now."""
    target = Path(path)
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise TargetError(f"{option} {imageio.shown(path)}: cannot make its folder "
                          f"({error.strerror or type(error).__name__})") from None
    try:
        probe = target.parent / f"{imageio.TEMPORARY_PREFIX}{imageio.RUN_ID}-{uuid.uuid4().hex}"
        os.close(os.open(probe, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
        os.unlink(probe)
    except OSError as error:
        raise TargetError(f"{option} {imageio.shown(path)}: cannot be written "
                          f"({error.strerror or type(error).__name__}); name a file in a writable folder") from None
