"""The Zarr store of a tiled distance matrix: its layout, its fingerprint, and a checksum per chunk.

A store is a Zarr group holding `distances` (one chunk per tile), `tree_names` (its rows), `column_names` (its
columns, only when they are other trees than the rows) and `checksums`: the SHA-256 of each chunk's stored
bytes, one 32-byte chunk per tile, so that workers writing tiles at once never rewrite each other's records.
The group's attributes hold what a resumed run must find unchanged, the fingerprint of the trees among them,
and `complete`, true once every chunk has been read back and recorded.

A chunk counts as stored only when its bytes hash to its record. The bytes depend on the codec, which a
resumed run checks with the rest of the array's metadata. A chunk is written, read back and only then
recorded, so a worker killed between the two leaves a chunk that is computed again, never one that is
trusted unchecked.
"""

import errno
import hashlib
import os
import shutil
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

STORE_KIND = "cladomatic distance matrix"  # marks a group as ours: only such a store is ever replaced or resumed
MARK = ".cladomatic"  # the first file of every store this package begins
STORE_VERSION = 2  # 1: no checksums, a fingerprint of names and probe distances
DISTANCES = "distances"
TREE_NAMES = "tree_names"
COLUMN_NAMES = "column_names"
CHECKSUMS = "checksums"
DIGEST_BYTES = 32


@dataclass(frozen=True, slots=True)
class Layout:
    """What a store holds and how it is cut: everything a resumed run must find as this run would write it."""

    metric: str  # the canonical text, parameters included ("kc(lambda=0.5)": metrics.metric_setting)
    dtype: np.dtype
    shape: tuple[int, int]
    chunks: tuple[int, int]  # the tile's rows and columns
    symmetric: bool  # the columns are the rows' own trees: only tiles on and above the diagonal are computed
    rooted: bool
    fingerprint: str
    prune: str | None = None  # how trees whose taxa differ were compared (TreeSet.distances' prune=)

    def settings(self) -> dict[str, Any]:
        """The group's attributes, as JSON gives them back."""
        return {
            "kind": STORE_KIND,
            "version": STORE_VERSION,
            "metric": self.metric,
            "rooted": self.rooted,
            "shape": list(self.shape),
            "tile": list(self.chunks),
            "symmetric": self.symmetric,
            "fingerprint": self.fingerprint,
            "prune": self.prune,
        }

    def grid(self) -> tuple[int, int]:
        """Tiles per axis."""
        return (-(-self.shape[0] // self.chunks[0]), -(-self.shape[1] // self.chunks[1]))

    def arrays(self) -> dict[str, dict[str, Any]]:
        """How the matrix and its checksums are created (zarr.create_array's arguments)."""
        return {
            DISTANCES: {
                "shape": self.shape,
                "chunks": self.chunks,
                "dtype": self.dtype,
                "fill_value": 0,
                "compressors": _compressors(self.dtype),
            },
            CHECKSUMS: {
                "shape": (*self.grid(), DIGEST_BYTES),
                "chunks": (1, 1, DIGEST_BYTES),
                "dtype": np.uint8,
                "fill_value": 0,
                "compressors": None,
            },
        }


def fingerprint(pickled_set: bytes, metric: str, rows: range, cols: range, prune: str | None = None) -> str:
    """SHA-256 of the pickled tree set (its interned splits and lengths, leaf and tree names, rootedness and
    runs), the metric with its parameters (its canonical text), the pruning mode and which of its trees make the
    rows and the columns: two runs share it only when they compute the same matrix."""
    # without a mode, the text a store made before modes existed was hashed from
    mode = "" if prune is None else f"prune {prune}\0"
    digest = hashlib.sha256(f"{STORE_KIND} {STORE_VERSION}\0{metric}\0{rows}\0{cols}\0{mode}".encode())
    digest.update(pickled_set)
    return digest.hexdigest()


def _compressors(dtype: np.dtype) -> Any:
    """Codecs chosen by measurement on 4096-tree tiles: writing a tile must not take much longer than computing it.

    RF counts are small integers: LZ4 over shuffled bytes stores them in about 15% of their size at several
    times the speed of the default Zstandard (11%). Float distances hardly compress below a third of their size
    whatever the codec; Zstandard at level 1 gets there faster than the default level."""
    from zarr.codecs import BloscCodec, ZstdCodec

    if dtype == np.uint32:
        return BloscCodec(cname="lz4", clevel=5, shuffle="shuffle")
    return ZstdCodec(level=1)


def ours(path: str) -> Any:
    """The store at `path` when this package wrote it (any version); None when nothing of use is there (no
    store, or one this package began and never shaped); an error for anything else, which is never replaced."""
    import zarr

    if not os.path.lexists(path):
        return None
    try:
        group = zarr.open_group(path, mode="r+")
    except OSError, ValueError, LookupError, zarr.errors.BaseZarrError:
        group = None
    if group is not None and group.attrs.get("kind") == STORE_KIND:
        return group
    if os.path.isfile(os.path.join(path, MARK)):
        return None  # begun by a run that stopped before its store took shape: nothing in it to keep
    raise ValueError(f"{path} exists and is not a distance store written by cladomatic; not replacing it")


def created(
    path: str, layout: Layout, row_names: list[str], col_names: list[str] | None, provenance: dict | None = None
) -> Any:
    """A new, empty store at `path` (replacing a store of ours there); `provenance` (a `Provenance` as a dict)
    becomes its attribute of that name."""
    import zarr

    ours(path)
    if os.path.lexists(path):
        shutil.rmtree(path)
    # marked before anything else is written, so that a run stopped at any point leaves a folder known as ours
    os.makedirs(path)
    Path(path, MARK).write_text(f"{STORE_KIND}\n")
    attributes = {**layout.settings(), "complete": False, "provenance": provenance}
    group = zarr.open_group(path, mode="a", attributes=attributes)
    for name, arguments in layout.arrays().items():
        group.create_array(name, **arguments)
    _write_names(group, row_names, col_names)
    return group


def resumed(
    path: str, layout: Layout, row_names: list[str], col_names: list[str] | None, provenance: dict | None = None
) -> Any:
    """The store at `path` made ready to be continued by this run, or None when nothing is there.

    Refused: a store of another version, of another matrix, or whose arrays differ from what this run writes
    (another dtype, shape, chunk grid or codec). Its names are written again, since they are cheap and not
    covered by checksums; so is `provenance`, which says what this run was given."""
    group = ours(path)
    if group is None:
        return None
    version = group.attrs.get("version")
    if version != STORE_VERSION:
        age = "an older" if not isinstance(version, int) or version < STORE_VERSION else "a newer"
        raise ValueError(f"cannot resume {path}: it was made by {age} version: run again without --resume")
    wanted = layout.settings()
    found = {key: group.attrs.get(key) for key in wanted}
    differ = [key for key in wanted if key != "fingerprint" and found[key] != wanted[key]]
    if differ:
        said = ", ".join(f"{key} {found[key]!r} instead of {wanted[key]!r}" for key in differ)
        raise ValueError(f"cannot resume {path}: it holds another matrix ({said})")
    if found["fingerprint"] != layout.fingerprint:
        raise ValueError(f"cannot resume {path}: it holds the matrix of other trees")
    for name, arguments in layout.arrays().items():
        fields = _metadata_difference(group, name, arguments)
        if fields:
            raise ValueError(
                f"cannot resume {path}: its {name} array is not what this run writes ({fields}): "
                "run again without --resume"
            )
    group.attrs.update({"complete": False, "provenance": provenance})
    _remove_partial_writes(group)
    _write_names(group, row_names, col_names)
    return group


def _metadata_difference(group: Any, name: str, arguments: dict[str, Any]) -> str:
    """Which fields of the array `name` differ from an array created with `arguments`; empty when none do."""
    import zarr

    expected = zarr.create_array(zarr.storage.MemoryStore(), **arguments).metadata.to_dict()
    try:
        found = group[name].metadata.to_dict()
    except KeyError, ValueError, zarr.errors.BaseZarrError:
        return "missing or unreadable"
    if not isinstance(found, dict):
        return "unreadable"
    return ", ".join(sorted(key for key in expected.keys() | found.keys() if expected.get(key) != found.get(key)))


def _write_names(group: Any, row_names: list[str], col_names: list[str] | None) -> None:
    for name, names in ((TREE_NAMES, row_names), (COLUMN_NAMES, col_names)):
        if names is None:
            continue
        labels = group.create_array(name, shape=(len(names),), chunks=(max(len(names), 1),), dtype=str, overwrite=True)
        if names:
            labels[:] = np.array(names, dtype=object)


def _stored_keys(group: Any, prefix: str) -> list[str]:
    """The keys of the files stored under `prefix` (a folder of the store's directory)."""
    root = Path(group.store.root)
    return [file.relative_to(root).as_posix() for file in (root / prefix).rglob("*") if file.is_file()]


def _remove_partial_writes(group: Any) -> None:
    """Drops the temporary files of chunk writes that a killed worker left behind."""
    root = Path(group.store.root)
    for prefix in (f"{DISTANCES}/", f"{CHECKSUMS}/"):
        for key in _stored_keys(group, prefix):
            if key.endswith(".partial"):
                (root / key).unlink(missing_ok=True)


def unrecorded(group: Any, places: list[tuple[int, int]]) -> list[tuple[int, int]]:
    """Of the chunks at `places`, those whose file or checksum record is missing from the store."""
    stored = set(_stored_keys(group, DISTANCES)) | set(_stored_keys(group, CHECKSUMS))
    array, sums = group[DISTANCES], group[CHECKSUMS]

    def recorded(place: tuple[int, int]) -> bool:
        return (
            f"{DISTANCES}/{array.metadata.encode_chunk_key(place)}" in stored
            and f"{CHECKSUMS}/{sums.metadata.encode_chunk_key((*place, 0))}" in stored
        )

    return [place for place in places if not recorded(place)]


# --- on the workers --------------------------------------------------------------------------------------


def opened(path: str) -> tuple[Any, Any]:
    """The matrix and checksum arrays of the store at `path`, for a worker to check and write chunks."""
    import zarr

    # a chunk of zeros (identical trees) is stored too: a missing chunk must mean one not yet written
    array = zarr.open_array(path, path=DISTANCES, mode="r+").with_config({"write_empty_chunks": True})
    return array, zarr.open_array(path, path=CHECKSUMS, mode="r+").with_config({"write_empty_chunks": True})


def _stored_digest(array: Any, place: tuple[int, int]) -> bytes | None:
    """The SHA-256 of the chunk's bytes as stored (None when there is no chunk). Hashing the encoded bytes, a
    fraction of the values' size for RF, spares a resumed run decoding every chunk: that cost as much as
    computing the tile again. A store is a directory: a chunk is the file named by its key."""
    try:
        found = (Path(array.store.root) / array.path / array.metadata.encode_chunk_key(place)).read_bytes()
    except FileNotFoundError, IsADirectoryError:
        return None
    return hashlib.sha256(found).digest()


def intact(array: Any, sums: Any, place: tuple[int, int]) -> bool:
    """Whether the chunk at `place` is stored and its bytes hash to its record."""
    digest = _stored_digest(array, place)
    if digest is None:
        return False
    try:
        recorded = bytes(sums.blocks[(*place, 0)].reshape(-1))
    except Exception:  # a record that cannot be read, whatever the store raises, is as good as none
        return False
    return recorded == digest


def write(array: Any, sums: Any, place: tuple[int, int], values: np.ndarray) -> None:
    """Stores `values` as the chunk at `place`, reads its bytes back, and only then records their checksum."""
    array.blocks[place] = values
    digest = _stored_digest(array, place)
    if digest is None:
        raise OSError(errno.EIO, f"chunk {place} of {array.path} is missing right after it was written")
    sums.blocks[(*place, 0)] = np.frombuffer(digest, dtype=np.uint8).reshape(1, 1, DIGEST_BYTES)
