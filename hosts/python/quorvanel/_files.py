"""Paths as the package takes them and as the plug-ins take them."""

from __future__ import annotations

import os
from typing import Optional, Union

from . import _native

PathType = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def fs_path(path: PathType, what: str = "path") -> Union[str, bytes]:
    """``os.fspath`` for a str, bytes or os.PathLike; TypeError for anything else."""
    if isinstance(path, (str, bytes, os.PathLike)):
        return os.fspath(path)
    raise TypeError(f"{what} must be str, bytes or os.PathLike, not {type(path).__name__}")


def read_head(path: Union[str, bytes]) -> bytes:
    """The first 2048 bytes of a file; OSError when it cannot be read."""
    with open(path, "rb") as file:
        return file.read(_native.HEAD_SIZE)


def plugin_name(path: Union[str, bytes]) -> Optional[bytes]:
    """A file name as the plug-ins take it, or None where it cannot be spelled so.

    The exports take ``char*`` names: the file system's bytes on Linux, the
    ANSI code page on Windows, where a name outside it goes as memory instead.
    """
    if not _native.WINDOWS:
        return os.fsencode(path)
    try:
        return os.fsdecode(path).encode("mbcs", "strict")
    except UnicodeError:
        return None
