"""Quorvanel Archives through the archive plug-in: listing, reading, extracting.

Every operation is one or two calls of the plug-in's exports (IsSupported,
GetArchiveInfo, GetFileInfo, GetFile with memory output); this module never
reads the format itself. Extraction names files and refuses names as
``qrv extract`` does, and writes each file whole or not at all.
"""

from __future__ import annotations

import ctypes
import io
import os
import re
import sys
import warnings
from typing import Dict, Iterator, List, NamedTuple, Optional, Tuple, Union

from . import _native
from ._files import PathType, fs_path, plugin_name, read_head

SourceType = Union[str, "os.PathLike[str]", "os.PathLike[bytes]", bytes, bytearray, memoryview]

_RECORD = ctypes.sizeof(_native.FileInfo)
# Entry names hold only these; a name is checked again before it names a file.
_SAFE_NAME = re.compile(r"[0-9a-z_]+")
# Names no file can have on Windows, whatever its directory.
_DEVICE_NAMES = frozenset(
    ["con", "prn", "aux", "nul"] + [f"{port}{n}" for port in ("com", "lpt") for n in range(10)])
# The listing's name field holds 200 bytes with their terminator.
_LISTED_NAME_MAX = 199


class FormatError(ValueError):
    """The data is not a Quorvanel Archive, or no longer the one that was opened."""


class DuplicateNameWarning(UserWarning):
    """``extractall`` left out an entry whose name an earlier entry has already."""


class Entry(NamedTuple):
    """One entry of an archive, as the archive plug-in lists it.

    ``name`` is the entry's name, cut to its first 199 characters when longer
    (as every listing shows it); ``size`` the number of bytes it holds;
    ``position`` the offset of its header from the archive's first byte.
    """

    name: str
    size: int
    position: int


def is_archive(path: PathType) -> bool:
    """True when the file at ``path`` is a Quorvanel Archive, judged by its content.

    The archive plug-in looks at the first 2048 bytes, as a host asks it.
    Raises OSError when the file cannot be read, TypeError for a path that is
    not str, bytes or os.PathLike.
    """
    path = fs_path(path)
    head = read_head(path)
    return _native.is_supported(_native.archive_plugin, plugin_name(path) or b"", head)


def _identity(path: Union[str, bytes]) -> Tuple[int, int, int, int]:
    status = os.stat(path)
    return status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns


class Archive:
    """A Quorvanel Archive, listed when opened.

    ``source`` is a path (str or os.PathLike) or the archive's bytes (bytes,
    bytearray or memoryview, copied when mutable). Use it as a context
    manager; iterating gives an :class:`Entry` per stored entry, in stored
    order::

        with quorvanel.Archive("data.dat") as archive:
            for entry in archive:
                print(entry.position, entry.size, entry.name)
            text = archive.read("readme_txt")

    A member is an entry's name (the first entry of that name, found by the
    plug-in's own lookup) or an :class:`Entry` from the listing, which reaches
    exactly that entry: also a later one of a repeated name, or one whose name
    of 200 characters or more the listing shows cut.

    The archive holds no open file between calls; an archive file that
    changes after it was opened raises :class:`FormatError` instead of giving
    another file's bytes.

    Raises FormatError when the source is not a Quorvanel Archive, OSError when
    it cannot be read, TypeError for a source of another type.
    """

    def __init__(self, source: SourceType) -> None:
        self._closed = False
        self._data: Optional[bytes] = None
        self._path: Optional[Union[str, bytes]] = None
        self._name: Optional[bytes] = None
        self._identity: Optional[Tuple[int, int, int, int]] = None
        if isinstance(source, (bytes, bytearray, memoryview)):
            self._shown = "<bytes>"
            self._use_bytes(bytes(source))
        elif isinstance(source, (str, os.PathLike)):
            self._path = os.fspath(source)
            self._shown = os.fsdecode(self._path)
            self._name = plugin_name(self._path)
            if self._name is None:
                with open(self._path, "rb") as file:
                    self._use_bytes(file.read())
            else:
                self._identity = _identity(self._path)
                self._head = read_head(self._path)
        else:
            raise TypeError("an archive is a path (str or os.PathLike) or its bytes, not "
                            + type(source).__name__)
        if not _native.is_supported(_native.archive_plugin, self._name or b"", self._head):
            raise FormatError(f"{self._shown}: not a Quorvanel Archive")
        self._entries = self._list()

    def _use_bytes(self, data: bytes) -> None:
        if len(data) > _native.MAX_MEMORY_SOURCE:
            raise FormatError(f"{self._shown}: more than 2 GiB, more than an archive can hold")
        self._data = data
        self._head = data[:_native.HEAD_SIZE]

    # -- the plug-in's calls ---------------------------------------------------------------

    def _source(self, position: int = 0) -> Tuple[object, int, int]:
        """The (src, len, flag) of the archive's data from ``position`` on."""
        if self._closed:
            raise ValueError("I/O operation on a closed archive")
        if self._data is not None:
            return (_native.address_of(self._data) + position, len(self._data) - position,
                    _native.INPUT_MEMORY)
        if _identity(self._path) != self._identity:
            raise FormatError(f"{self._shown}: the file changed after the archive was opened;"
                              " open it again")
        return ctypes.create_string_buffer(self._name), position, _native.INPUT_FILE

    def _fail(self, rc: int, doing: int, target: str = "") -> Exception:
        text = f"{self._shown}: {_native.message(rc, doing, target)}"
        if rc in (_native.RC_UNKNOWN_FORMAT, _native.RC_READ_ERROR):
            return FormatError(text)
        if rc == _native.RC_NO_MEMORY:
            return MemoryError(text)
        return OSError(text)

    def _list(self) -> Tuple[Entry, ...]:
        src, length, flag = self._source()
        handle = ctypes.c_void_p()
        rc = _native.archive_plugin.GetArchiveInfo(src, length, flag, ctypes.byref(handle))
        if rc != _native.RC_OK:
            raise self._fail(rc, _native.DOING_LISTING)
        entries = []
        with _native.held_block(handle.value, "listing") as (address, known):
            # The list ends at the first record whose first byte is 0; where the
            # block's size is known it bounds the walk too.
            count = known // _RECORD if known is not None else sys.maxsize
            for at in range(address, address + count * _RECORD, _RECORD):
                if ctypes.string_at(at, 1) == b"\0":
                    break
                entries.append(self._entry(_native.FileInfo.from_address(at)))
        return tuple(entries)

    @staticmethod
    def _entry(record: _native.FileInfo) -> Entry:
        return Entry(record.file_name.decode("latin-1"), record.size, record.position)

    def _lookup(self, name: str) -> Entry:
        """GetFileInfo: the first entry of that name, as qrv extract finds it."""
        try:
            wanted = name.encode("ascii")
        except UnicodeEncodeError:
            wanted = b""
        if wanted and b"\0" not in wanted:
            src, length, flag = self._source()
            record = _native.FileInfo()
            rc = _native.archive_plugin.GetFileInfo(src, length, wanted, flag,
                                                    ctypes.byref(record))
            if rc == _native.RC_OK:
                return self._entry(record)
            if rc != _native.RC_READ_ERROR:
                raise self._fail(rc, _native.DOING_LOOKUP, name)
        text = _native.message(_native.RC_READ_ERROR, _native.DOING_LOOKUP, name)
        if len(name) == _LISTED_NAME_MAX and name in self:
            text += (" (the listing cuts names of 200 characters or more to 199: pass the"
                     " entry itself to reach it)")
        raise KeyError(f"{self._shown}: {text}")

    def _member(self, member: Union[str, Entry]) -> Entry:
        if isinstance(member, Entry):
            if member not in self._entries:
                raise KeyError(f"{self._shown}: {member!r} is not an entry of this archive")
            return member
        if isinstance(member, str):
            return self._lookup(member)
        raise TypeError(f"a member is an entry's name or an Entry, not {type(member).__name__}")

    def _bytes_of(self, entry: Entry) -> bytes:
        """GetFile with memory output: the entry's bytes."""
        src, length, flag = self._source(entry.position)
        handle = ctypes.c_void_p()
        rc = _native.archive_plugin.GetFile(src, length, ctypes.addressof(handle),
                                            flag | _native.OUTPUT_MEMORY, None, 0)
        if rc != _native.RC_OK:
            raise self._fail(rc, _native.DOING_EXTRACT, entry.name)
        return _native.block_bytes(handle.value, entry.size, "entry")

    # -- the public interface --------------------------------------------------------------

    def __enter__(self) -> "Archive":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        """Lets go of the archive's data; later reads raise ValueError."""
        self._closed = True
        self._data = None

    @property
    def closed(self) -> bool:
        """True once :meth:`close` has been called."""
        return self._closed

    @property
    def entries(self) -> Tuple[Entry, ...]:
        """Every entry, in stored order (repeated names included)."""
        return self._entries

    def __iter__(self) -> Iterator[Entry]:
        if self._closed:
            raise ValueError("I/O operation on a closed archive")
        return iter(self._entries)

    def __len__(self) -> int:
        return len(self._entries)

    def __contains__(self, name: object) -> bool:
        """True when an entry is listed under ``name``."""
        return any(entry.name == name for entry in self._entries)

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"{len(self._entries)} entries"
        return f"<quorvanel.Archive {self._shown!r}, {state}>"

    def read(self, member: Union[str, Entry]) -> bytes:
        """The bytes of ``member``.

        Raises KeyError when no entry has that name, FormatError when the entry
        is damaged or the archive changed, OSError when it cannot be read.
        """
        return self._bytes_of(self._member(member))

    def open(self, member: Union[str, Entry]) -> io.BytesIO:
        """A binary file object over the bytes of ``member`` (read into memory)."""
        return io.BytesIO(self.read(member))

    def extract(self, member: Union[str, Entry], path: PathType = ".") -> str:
        """Writes ``member`` into the directory ``path`` (made if missing).

        The file takes the entry's name as the listing shows it and replaces a
        file of that name; it appears whole or not at all. An entry that would
        replace the archive itself, or whose name is not safe as a file name,
        is refused (ValueError, FormatError or OSError). Returns the file's path.
        """
        directory = os.fsdecode(fs_path(path, "the directory"))
        entry = self._member(member)
        self._refuse_replacing_archive(directory, [entry])
        return self._write(entry, directory)

    def extractall(self, path: PathType = ".") -> List[str]:
        """Writes every entry into the directory ``path`` (made if missing).

        Of several entries with one name only the first is written, the one a
        lookup by that name finds; each one left out is named in a
        :class:`DuplicateNameWarning`. Refusals are those of :meth:`extract`;
        an entry that would replace the archive stops everything before
        anything is written. An entry that cannot be written does not stop the
        others: as ``qrv extract`` does, every other entry is written, then the
        first failure is raised, with the later ones added as notes. Returns
        the paths written, in stored order.
        """
        directory = os.fsdecode(fs_path(path, "the directory"))
        kept: List[Entry] = []
        first_at: Dict[str, int] = {}
        for entry in self:
            first = first_at.setdefault(entry.name, entry.position)
            if first == entry.position:
                kept.append(entry)
            else:
                warnings.warn(f"{self._shown}: the entry at {entry.position} repeats the name"
                              f" {entry.name} of the entry at {first}; only the first is"
                              " written, not this one", DuplicateNameWarning, stacklevel=2)
        self._refuse_replacing_archive(directory, kept)
        written: List[str] = []
        failures: List[Exception] = []
        for entry in kept:
            try:
                written.append(self._write(entry, directory))
            except (OSError, FormatError) as error:
                failures.append(error)
        if failures:
            first = failures[0]
            if hasattr(first, "add_note"):  # Python 3.11 on
                for later in failures[1:]:
                    first.add_note(f"and: {later}")
                first.add_note(f"the other {len(written)} entries were written")
            raise first
        return written

    def _refuse_replacing_archive(self, directory: str, entries: List[Entry]) -> None:
        if self._path is None:
            return
        for entry in entries:
            target = os.path.join(directory, entry.name)
            if os.path.exists(target) and os.path.samefile(target, self._path):
                raise ValueError(f"{self._shown}: the entry {entry.name} would replace the"
                                 " archive itself; nothing was written")

    def _write(self, entry: Entry, directory: str) -> str:
        target = os.path.join(directory, entry.name)
        if not _SAFE_NAME.fullmatch(entry.name):
            raise FormatError(f"{self._shown}: refusing to write an entry with the unsafe"
                              f" name {entry.name!r}")
        if _native.WINDOWS and entry.name in _DEVICE_NAMES:
            raise OSError(f"cannot write {target}: {entry.name} is a device name on Windows,"
                          " which no file can have (read the entry instead)")
        os.makedirs(directory or ".", exist_ok=True)
        data = self._bytes_of(entry)
        try:
            _write_whole(target, data)
        except OSError as error:
            # Named by the file asked for, not by the temporary one beside it.
            if error.errno is None:
                raise
            raise type(error)(error.errno, error.strerror, target) from None
        return target


def _write_whole(target: str, data: bytes) -> None:
    """Writes under a temporary name beside ``target`` and renames it into place.

    The temporary name is qrv's (".NAME.part-PID-N"), so that a qrv run in the
    same directory clears what a killed process left.
    """
    directory, name = os.path.split(target)
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0)
    while True:
        token = int.from_bytes(os.urandom(4), "little")
        part = os.path.join(directory, f".{name}.part-{os.getpid()}-{token}")
        try:
            descriptor = os.open(part, flags, 0o666)
            break
        except FileExistsError:
            continue
    try:
        with os.fdopen(descriptor, "wb") as file:
            file.write(data)
        os.replace(part, target)
    except BaseException:
        try:
            os.remove(part)
        except OSError:
            pass
        raise
