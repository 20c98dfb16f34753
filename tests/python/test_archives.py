"""Quorvanel Archives through quorvanel.Archive, held to qrv list and qrv extract."""
import json
import os
import warnings

import pytest
import quorvanel
from PIL import Image

from conftest import encode, pack, run_qrv, samples


def contents(name, size):
    return samples(size, len(name) * 1000 + size)


# Each archive is one or more `qrv pack` runs of (name, size) files, their
# entries spliced into one archive in order (qrv pack itself refuses to store
# one name twice).
ARCHIVES = {
    "plain": [[("a", 1), ("b_2", 1000), ("big", 70001)]],
    "long_names": [[("n" * 199, 5), ("m" * 200, 6), ("l" * 250, 7), ("short", 3)]],
    "duplicates": [[("same", 10), ("other", 4)], [("same", 20)], [("same", 30), ("other", 1)]],
}


def make_archive(folder, name):
    packs = [pack(folder / f"{name}_{i}", [(n, contents(n, size)) for n, size in files])
             for i, files in enumerate(ARCHIVES[name])]
    path = folder / (name + ".dat")
    # Every pack but its 4-byte end mark, then one end mark.
    path.write_bytes(b"".join(p[:-4] for p in packs) + bytes(4))
    stored = [contents(n, size) for files in ARCHIVES[name] for n, size in files]
    return path, stored


def files_in(folder):
    return {name: (folder / name).read_bytes() for name in os.listdir(folder)
            if not (folder / name).is_dir()}


@pytest.mark.parametrize("source_kind", ["path", "bytes"])
@pytest.mark.parametrize("name", list(ARCHIVES))
def test_archives_list_read_and_extract_as_qrv_does(tmp_path, name, source_kind):
    path, stored = make_archive(tmp_path, name)
    listed = json.loads(run_qrv("list", "--json", path).stdout)["entries"]
    source = path if source_kind == "path" else path.read_bytes()
    with quorvanel.Archive(source) as archive:
        assert [entry._asdict() for entry in archive] == \
            [{"name": e["name"], "size": e["size"], "position": e["position"]} for e in listed]
        # An entry from the listing reaches exactly that entry.
        assert [archive.read(entry) for entry in archive] == stored
        assert archive.open(archive.entries[-1]).read() == stored[-1]

        # By name: found and refused as `qrv extract ARCHIVE NAME` finds them.
        for entry_name in {entry.name for entry in archive}:
            qrv = run_qrv("extract", path, entry_name, "--stdout", check=False)
            if qrv.returncode == 0:
                assert archive.read(entry_name) == qrv.stdout
            else:
                with pytest.raises(KeyError):
                    archive.read(entry_name)

        qrv = run_qrv("extract", path, "-C", tmp_path / "by_qrv")
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            written = archive.extractall(tmp_path / "by_package")
    assert files_in(tmp_path / "by_package") == files_in(tmp_path / "by_qrv")
    assert sorted(os.path.basename(p) for p in written) == sorted(os.listdir(tmp_path / "by_qrv"))
    # The same warnings for the entries left out, in qrv's words.
    qrv_warnings = [line.split(": warning: ", 1)[1]
                    for line in qrv.stderr.decode().splitlines() if ": warning: " in line]
    shown = str(path) if source_kind == "path" else "<bytes>"
    assert [str(w.message).replace(shown, str(path)) for w in caught] == qrv_warnings
    assert all(w.category is quorvanel.DuplicateNameWarning for w in caught)


# Files that are not (whole) archives: what Archive raises, and whether
# is_archive and is_picture say yes. qrv list must fail on each in the same words.
def _picture(folder):
    return encode(folder, Image.new("RGB", (3, 3)), "picture").read_bytes()


def _plain(folder):
    return make_archive(folder, "plain")[0].read_bytes()


NOT_ARCHIVES = [
    ("picture", _picture, quorvanel.FormatError, (False, True)),
    ("text", lambda folder: b"hello\n", quorvanel.FormatError, (False, False)),
    ("empty", lambda folder: b"", quorvanel.FormatError, (False, False)),
    ("no_end_mark", lambda folder: _plain(folder)[:-4], quorvanel.FormatError, (True, False)),
    ("cut_in_an_entry", lambda folder: _plain(folder)[:5000], quorvanel.FormatError,
     (True, False)),
    ("missing", None, FileNotFoundError, None),
    ("directory", "dir", IsADirectoryError, None),
]


@pytest.mark.parametrize("name, make, error, detected", NOT_ARCHIVES,
                         ids=[row[0] for row in NOT_ARCHIVES])
def test_what_is_not_an_archive_is_refused(tmp_path, name, make, error, detected):
    path = tmp_path / name
    if make == "dir":
        path.mkdir()
    elif make is not None:
        path.write_bytes(make(tmp_path))
    with pytest.raises(error) as failure:
        quorvanel.Archive(path)
    if detected is None:
        with pytest.raises(error):
            quorvanel.is_archive(path)
        return
    assert (quorvanel.is_archive(path), quorvanel.is_picture(path)) == detected
    qrv = run_qrv("list", path, check=False)
    assert qrv.returncode != 0
    assert qrv.stderr.decode().strip() == "qrv: " + str(failure.value)
    assert isinstance(failure.value, ValueError)


@pytest.fixture
def plain(tmp_path):
    path, stored = make_archive(tmp_path, "plain")
    return path, stored


# Calls that must fail, each on a freshly opened archive of the "plain" table row.
MISUSES = [
    ("path_of_another_type", lambda archive, path: quorvanel.Archive(3), TypeError),
    ("is_archive_of_a_number", lambda archive, path: quorvanel.is_archive(3.5), TypeError),
    ("is_picture_of_none", lambda archive, path: quorvanel.is_picture(None), TypeError),
    ("directory_of_another_type", lambda archive, path: archive.extract("a", 5), TypeError),
    ("member_of_another_type", lambda archive, path: archive.read(5), TypeError),
    ("missing_name", lambda archive, path: archive.read("missing"), KeyError),
    ("entry_of_another_archive",
     lambda archive, path: archive.read(quorvanel.Entry("a", 1, 7)), KeyError),
    ("read_after_close", lambda archive, path: (archive.close(), archive.read("a")), ValueError),
    ("file_changed", lambda archive, path: (path.write_bytes(path.read_bytes()[:-4] + bytes(8)),
                                            archive.read("a")), quorvanel.FormatError),
    ("file_removed", lambda archive, path: (path.unlink(), archive.read("a")), FileNotFoundError),
    # An entry named like the archive, extracted beside it.
    ("extract_over_the_archive",
     lambda archive, path: (path.rename(path.with_name("a")), quorvanel.Archive(
         path.with_name("a")).extract("a", path.parent)), ValueError),
]


@pytest.mark.parametrize("name, call, error", MISUSES, ids=[row[0] for row in MISUSES])
def test_misuse_raises(plain, name, call, error):
    path, stored = plain
    original = path.read_bytes()
    with quorvanel.Archive(path) as archive:
        with pytest.raises(error):
            call(archive, path)
    if name == "extract_over_the_archive":
        assert path.with_name("a").read_bytes() == original  # nothing was written


def test_extract_makes_the_directory_and_replaces_a_file(plain, tmp_path):
    path, stored = plain
    target = tmp_path / "new" / "folder"
    target.mkdir(parents=True)
    (target / "b_2").write_bytes(b"old")
    with quorvanel.Archive(path) as archive:
        assert archive.extract("b_2", target) == str(target / "b_2")
        made = archive.extract(archive.entries[0], tmp_path / "made")
    assert made == str(tmp_path / "made" / "a")
    assert (target / "b_2").read_bytes() == stored[1]
    assert (tmp_path / "made" / "a").read_bytes() == stored[0]
    assert sorted(os.listdir(target)) == ["b_2"]  # no temporary file left


def test_extractall_writes_what_it_can_as_qrv_does(plain, tmp_path):
    """A folder in the way of one entry: the others are still written, and the
    failure names the file asked for."""
    path, stored = plain
    for folder in ("by_qrv", "by_package"):
        (tmp_path / folder / "b_2").mkdir(parents=True)
    qrv = run_qrv("extract", path, "-C", tmp_path / "by_qrv", check=False)
    assert qrv.returncode == 1
    with quorvanel.Archive(path) as archive:
        with pytest.raises(IsADirectoryError) as raised:
            archive.extractall(tmp_path / "by_package")
    assert raised.value.filename == str(tmp_path / "by_package" / "b_2")
    assert files_in(tmp_path / "by_package") == files_in(tmp_path / "by_qrv") == \
        {"a": stored[0], "big": stored[2]}
