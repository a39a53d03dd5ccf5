"""Writing distance matrices (TSV, CSV, either gzip-compressed, .npy, .npz) and split exports (.npz).

A matrix arrives as `Bands`: it is computed and written a band of rows at a time, so text and .npy output need
memory for one band only, whatever the size of the matrix; a .npy file gets all its disk blocks first. Only .npz
output holds the whole matrix, after checking that it fits in the memory available. A square matrix is symmetric,
and every output can compute each of its pairs once (`Bands.upper`): each band from its diagonal rightwards, the
transpose of its cells right of its own rows kept in an unnamed scratch file (on disk rather than in memory, at
most half the matrix) from which each later band reads the start of its rows.

A file output is written under a temporary name in its own folder and renamed into place only once complete
and on disk, so an interrupted or failed run leaves an existing file as it was, and runs writing the same path
at once each leave a whole file; the files of a result folder (converge, space) go the same way one by one. Only
a path that is not a regular file (a device such as /dev/null, a pipe) is written in place; nothing the command
did not create is ever removed. A folder output (a Zarr store) is built beside its path in the same way and takes
the old folder's place only once complete (`replace_folder`).
"""

import csv
import ctypes
import errno
import gzip
import io
import os
import shutil
import stat
import sys
import tempfile
import uuid
from collections.abc import Callable, Iterator, Mapping, Sequence
from contextlib import contextmanager, suppress
from dataclasses import dataclass
from typing import IO, Any, cast

from cladomatic_tools.io.reader import STDIN, EnvironmentFailure, InputError

FORMATS = ("tsv", "csv", "npy", "npz")
# The size of a band of rows computed at once: what band-written output needs beyond the tree set.
BAND_BYTES = 64 << 20
# The cells below the diagonal are written from a transposed copy of at most this many bytes at a time.
TRANSPOSE_BYTES = 1 << 20
# Text formatting: the bytes given to each thread per call, and the length of a typical cell.
TEXT_BYTES_PER_THREAD = 1 << 20
TEXT_CELL_BYTES = 20
# Text handed to the kernel's writeback at a time.
WRITEBACK_BYTES = 64 << 20
MEMINFO = "/proc/meminfo"
# renameat2's arguments for names relative to the working folder, and for swapping two names
_AT_FDCWD = -100
_RENAME_EXCHANGE = 2
_SUFFIX_FORMATS = {".tsv": "tsv", ".csv": "csv", ".npy": "npy", ".npz": "npz"}
_OTHER_COMPRESSION = (".bz2", ".xz", ".zst", ".zip", ".7z", ".lz4")


@dataclass(frozen=True, slots=True)
class Bands:
    """A distance matrix made a band of rows at a time: `fill(rows, out)` writes the matrix rows in the range
    `rows` into `out`, a C-contiguous array of those rows."""

    row_names: list[str]
    col_names: list[str]
    dtype: str  # the NumPy type of the values
    fill: Callable[[range, Any], None]
    square: bool  # whether the columns are the rows' own trees
    # A square matrix from its diagonal on, each pair computed once: given the bytes a band may take, yields each
    # band's rows and an array of their cells from the diagonal rightwards, valid until the next band.
    upper: Callable[[int], Iterator[tuple[range, Any]]] | None = None

    @property
    def shape(self) -> tuple[int, int]:
        return len(self.row_names), len(self.col_names)

    def itemsize(self) -> int:
        import numpy

        return int(numpy.dtype(self.dtype).itemsize)

    def row_bytes(self) -> int:
        return len(self.col_names) * self.itemsize()

    def nbytes(self) -> int:
        return len(self.row_names) * self.row_bytes()

    def spans(self) -> Iterator[range]:
        """The row ranges of the bands, in order."""
        rows = len(self.row_names)
        per_band = max(1, BAND_BYTES // max(1, self.row_bytes()))
        for start in range(0, rows, per_band):
            yield range(start, min(rows, start + per_band))


@dataclass(frozen=True, slots=True)
class Target:
    path: str | None  # None: standard output
    fmt: str
    compressed: bool  # gzip, chosen by a '.gz' suffix


def target_for(path: str | None, chosen: str | None) -> Target:
    """The output format from --format and the suffix of --output; a pair that could only give a file whose
    content does not match its name is refused before any work."""
    if path is None:
        fmt = chosen or "tsv"
        if fmt in ("npy", "npz"):
            raise InputError(f"{fmt} output needs --output")
        return Target(None, fmt, False)
    name = os.path.basename(path).lower()
    compressed = name.endswith(".gz")
    stem = name[:-3] if compressed else name
    if name.endswith(_OTHER_COMPRESSION):
        raise InputError(f"cannot write {path}: only gzip compression ('.gz') is written")
    implied = _SUFFIX_FORMATS.get(os.path.splitext(stem)[1])
    if chosen is not None and implied is not None and chosen != implied:
        raise InputError(f"--format {chosen} does not match the name {path}")
    fmt = chosen or implied or "tsv"
    if compressed and fmt in ("npy", "npz"):
        raise InputError(f"cannot write {path}: {fmt} files are not gzip-compressed ({fmt} output is binary)")
    return Target(path, fmt, compressed)


def splits_target(path: str) -> Target:
    target = target_for(path, None)
    if target.fmt != "npz":
        raise InputError(f"splits writes one .npz file: give --output a name ending in .npz, not {path}")
    return target


def require_numpy(what: str) -> None:
    try:
        import numpy  # noqa: F401
    except ImportError:
        raise EnvironmentFailure(f"{what} needs NumPy, which cannot be imported here") from None


def check_writable(path: str, inputs: Sequence[str]) -> None:
    """Fails before any work when the output could not be written afterwards, or would destroy an input."""
    if os.path.isdir(path):
        raise InputError(f"cannot write {path}: it is a directory")
    directory = os.path.dirname(os.path.realpath(path))
    if not os.path.isdir(directory):
        raise InputError(f"cannot write {path}: no directory {os.path.dirname(path) or directory}")
    try:
        existing = os.stat(path)
    except OSError:
        existing = None
    if existing is not None:
        if not os.access(path, os.W_OK):
            raise EnvironmentFailure(f"cannot write {path}: permission denied")
        for source in inputs:
            if source == STDIN:
                continue
            with suppress(OSError):
                read = os.stat(source)
                if (read.st_dev, read.st_ino) == (existing.st_dev, existing.st_ino):
                    raise InputError(f"the output {path} is the input {source}")
        if not stat.S_ISREG(existing.st_mode):
            return
    if not os.access(directory, os.W_OK):
        raise EnvironmentFailure(f"cannot write {path}: permission denied")


def _failed(path: str, err: OSError) -> EnvironmentFailure:
    return EnvironmentFailure(f"cannot write {path}: {err.strerror or err}")


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


@contextmanager
def _replaced(path: str) -> Iterator[tuple[IO[bytes], str | None]]:
    """A binary file that becomes `path` once the block completes, and the name under which it can be mapped
    into memory meanwhile (None when `path` is a device or a pipe, written in place)."""
    target = os.path.realpath(path)  # through symbolic links: the link stays, its target is replaced
    try:
        mode: int | None = os.stat(target).st_mode
    except FileNotFoundError:
        mode = None
    try:
        if mode is not None and not stat.S_ISREG(mode):
            with open(target, "wb") as device:
                yield device, None
            return
        folder = os.path.dirname(target)
        handle, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.", suffix=".part", dir=folder)
    except OSError as err:
        raise _failed(path, err) from None
    try:
        with os.fdopen(handle, "wb") as file:
            os.fchmod(file.fileno(), stat.S_IMODE(mode) if mode is not None else 0o666 & ~_umask())
            yield file, temporary
            file.flush()
            os.fsync(file.fileno())  # pages written through a memory map included
        os.replace(temporary, target)
    except BaseException as err:
        with suppress(OSError):
            os.unlink(temporary)
        if isinstance(err, OSError):
            raise _failed(path, err) from None
        raise
    _sync_folder(folder)


def _sync_folder(folder: str) -> None:
    """Makes the rename itself durable where the file system allows it."""
    with suppress(OSError):
        handle = os.open(folder, os.O_RDONLY)
        try:
            os.fsync(handle)
        finally:
            os.close(handle)


def replace_folder(built: str, path: str) -> None:
    """Puts the complete folder `built` (a sibling of `path`) at `path` and removes the folder that was there,
    so that `path` holds the old or the new folder throughout: the two are exchanged in one step where the
    system and the file system can, else the old one is moved aside just before the new one takes its name."""
    try:
        if not os.path.lexists(path):
            os.rename(built, path)
        else:
            aside = os.path.join(os.path.dirname(path) or ".", f".{os.path.basename(path)}.{uuid.uuid4().hex}.old")
            if _exchanged(built, path):
                os.rename(built, aside)
            else:
                os.rename(path, aside)
                try:
                    os.rename(built, path)
                except OSError:
                    os.rename(aside, path)
                    raise
            # the new folder is in place whatever becomes of the old one
            shutil.rmtree(aside, ignore_errors=True)
    except OSError as err:
        raise _failed(path, err) from None
    _sync_folder(os.path.dirname(os.path.abspath(path)))


def _exchanged(first: str, second: str) -> bool:
    """Whether the two names were swapped in one step (Linux's renameat2); False where that is not offered."""
    try:
        renameat2 = ctypes.CDLL(None, use_errno=True).renameat2
    except (OSError, AttributeError):
        return False
    renameat2.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint]
    if renameat2(_AT_FDCWD, os.fsencode(first), _AT_FDCWD, os.fsencode(second), _RENAME_EXCHANGE) == 0:
        return True
    code = ctypes.get_errno()
    if code in (errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP):
        return False
    raise OSError(code, os.strerror(code), second)


@contextmanager
def _text(binary: IO[bytes], compressed: bool) -> Iterator[IO[str]]:
    # gzip's level 6 (its command's default): level 9 took several times as long for a few percent less
    packed = gzip.GzipFile(fileobj=binary, mode="wb", mtime=0, compresslevel=6) if compressed else None
    text = io.TextIOWrapper(packed if packed is not None else binary, encoding="utf-8", newline="")
    yield text
    text.flush()
    text.detach()
    if packed is not None:
        packed.close()


def write_matrix(bands: Bands, target: Target) -> None:
    if target.path is None:
        _write_text(bands, sys.stdout, _delimiter(target.fmt))
        sys.stdout.flush()
        return
    if target.fmt == "npz":
        import numpy

        ensure_fits(*bands.shape, numpy.dtype(bands.dtype).itemsize)
        matrix = numpy.empty(bands.shape, dtype=bands.dtype)
        for _ in _filled(bands, matrix):
            pass
        arrays: dict[str, Any] = {"distances": matrix, "tree_names": numpy.array(bands.row_names, dtype=str)}
        if not bands.square:
            arrays["column_names"] = numpy.array(bands.col_names, dtype=str)
        write_npz(target.path, arrays)
        return
    if target.fmt == "npy":
        with _replaced(target.path) as (file, temporary):
            if temporary is None:
                _stream_npy(bands, file)
            else:
                _write_npy(bands, temporary, file, target.path)
        return
    with _replaced(target.path) as (file, temporary), _text(file, target.compressed) as text:
        _write_text(bands, text, _delimiter(target.fmt), _scratch_folder(temporary))


def _filled(bands: Bands, matrix: Any) -> Iterator[range]:
    """Fills `matrix`, the whole matrix, band by band, and yields the rows of each band once written."""
    if bands.upper is None:
        for rows in bands.spans():
            bands.fill(rows, matrix[rows.start : rows.stop])
            yield rows
        return
    for rows, upper in bands.upper(BAND_BYTES):
        matrix[rows.start : rows.stop, rows.start :] = upper
        matrix[rows.stop :, rows.start : rows.stop] = upper[:, len(rows) :].T
        yield rows


def _write_npy(bands: Bands, path: str, file: IO[bytes], shown: str) -> None:
    """Fills the .npy file at `path` (open as `file`, named `shown` to the user) band by band, each band through
    a memory map of its own rows: once a band is unmapped its pages belong to the file, not to this process, so
    the resident set stays at one band. The file gets all its blocks before the first band is computed.

    A band computed from its diagonal on is put together in memory and copied into its map front to back: its
    columns come from pieces (see `_in_order`), and put together in the map itself, page faults scattered over
    its rows took over twice the system time; positioned writes took more still. A map of the band's rows only:
    reading the rows above back through a map of the whole file mapped nearly all of it into the process (the
    kernel maps the file's cached pages around each one read)."""
    import numpy

    header = _npy_header(bands)
    descriptor = file.fileno()
    reserve(descriptor, len(header) + bands.nbytes(), shown)
    file.write(header)
    file.flush()
    row_bytes = bands.row_bytes()

    def mapped(rows: range) -> Any:
        start = len(header) + rows.start * row_bytes
        return numpy.memmap(path, dtype=bands.dtype, mode="r+", offset=start, shape=(len(rows), bands.shape[1]))

    def written(rows: range) -> None:
        _start_writeback(descriptor, len(header) + rows.start * row_bytes, len(rows) * row_bytes)

    if bands.upper is None:  # each band computed whole, straight into its map
        for rows in bands.spans():
            band = mapped(rows)
            bands.fill(rows, band)
            del band
            written(rows)
        return
    for rows, band in _in_order(bands, os.path.dirname(path)):
        mapped(rows)[...] = band
        written(rows)


def _write_at(descriptor: int, values: Any, offset: int) -> None:
    data = memoryview(values).cast("B")
    while data:
        written = os.pwrite(descriptor, data, offset)
        data, offset = data[written:], offset + written


def reserve(descriptor: int, size: int, shown: str) -> None:
    """Gives the file open as `descriptor` the blocks of its first `size` bytes. A page of a memory map that the
    disk cannot back ends the process with SIGBUS, without a word and with the file left behind; with every
    block held first, a full disk is a message before any work. A file system that cannot reserve blocks gets
    zeros written instead."""
    try:
        os.posix_fallocate(descriptor, 0, size)
        return
    except OSError as err:
        if err.errno == errno.ENOSPC:
            raise _no_space(shown, size) from None
        if err.errno not in (errno.EOPNOTSUPP, errno.EINVAL, errno.ENOSYS):
            raise
    zeros = bytes(min(size, 1 << 20))
    done = 0
    while done < size:
        try:
            done += os.pwrite(descriptor, zeros[: size - done], done)
        except OSError as err:
            if err.errno == errno.ENOSPC:
                raise _no_space(shown, size) from None
            raise


def _no_space(path: str, size: int) -> EnvironmentFailure:
    return EnvironmentFailure(f"no space left on device for {path} ({_size(size)} needed)")


def _start_writeback(descriptor: int, start: int, length: int) -> None:
    """Asks the kernel to start writing a finished stretch of the file to disk now. Left to itself it lets
    dirty pages pile up until it throttles the writer, which at times cost a large output half its time, and
    the closing fsync then has it all to write. Advice only: dirty pages are never dropped, only written."""
    with suppress(OSError, AttributeError):
        os.posix_fadvise(descriptor, start, length, os.POSIX_FADV_DONTNEED)


def _stream_npy(bands: Bands, file: IO[bytes]) -> None:
    """A .npy file written in order, for a target that cannot be mapped (a device, a pipe)."""
    file.write(_npy_header(bands))
    for _, band in _in_order(bands, None):
        file.write(band.data)


def _in_order(bands: Bands, scratch_folder: str | None) -> Iterator[tuple[range, Any]]:
    """The rows and values of each band, top to bottom, for a writer that keeps none of them: memory for one band
    only, in one buffer that serves every band (a fresh buffer per band would be faulted in anew each time). With
    `Bands.upper`, each pair is computed once: each band from its diagonal on, the transpose of its cells right of
    its own rows kept in an unnamed scratch file in `scratch_folder` (None: the system's temporary folder), one
    block per band, from which the later bands read the start of their rows. Each block is written in one piece
    and each band reads one piece of every block before it, so the scratch costs a few large reads and writes per
    band however large the matrix."""
    if bands.upper is None or bands.nbytes() <= BAND_BYTES:  # one band holds it all: nothing to keep
        yield from _computed(bands)
        return
    import numpy

    n, itemsize = bands.shape[0], bands.itemsize()
    shown = f"a scratch file in {scratch_folder or tempfile.gettempdir()}"
    with tempfile.TemporaryFile(dir=scratch_folder) as scratch:
        descriptor = scratch.fileno()
        reserve(descriptor, n * (n - 1) // 2 * itemsize, shown)  # the blocks take less: not a band's own pairs
        blocks: list[tuple[range, int]] = []  # each band's rows and where its block starts
        end = 0
        band = part = numpy.empty(0, dtype=bands.dtype)
        # half the bytes to the cells from the diagonal, half to the rows they become
        for rows, upper in bands.upper(BAND_BYTES // 2):
            if band.size < len(rows) * n:
                band = numpy.empty(len(rows) * n, dtype=bands.dtype)
            cells = band[: len(rows) * n].reshape(len(rows), n)
            for earlier, start in blocks:  # a block: (n - earlier.stop) rows of len(earlier) cells
                if part.size < len(rows) * len(earlier):
                    part = numpy.empty(len(rows) * len(earlier), dtype=bands.dtype)
                piece = part[: len(rows) * len(earlier)].reshape(len(rows), len(earlier))
                _read_at(descriptor, piece, start + (rows.start - earlier.stop) * len(earlier) * itemsize)
                cells[:, earlier.start : earlier.stop] = piece
            cells[:, rows.start :] = upper
            blocks.append((rows, end))
            # transposed a slice at a time: a copy of the whole band's would double its memory
            step = max(1, TRANSPOSE_BYTES // (itemsize * len(rows)))
            for first in range(len(rows), upper.shape[1], step):
                below = numpy.ascontiguousarray(upper[:, first : first + step].T)
                _write_at(descriptor, below, end)
                end += below.nbytes
            yield rows, cells


def _computed(bands: Bands) -> Iterator[tuple[range, Any]]:
    """Each band computed whole into one buffer (see `_in_order`)."""
    import numpy

    spans = list(bands.spans())
    buffer = numpy.empty((max((len(rows) for rows in spans), default=0), bands.shape[1]), dtype=bands.dtype)
    for rows in spans:
        band = buffer[: len(rows)]
        bands.fill(rows, band)
        yield rows, band


def _read_at(descriptor: int, values: Any, offset: int) -> None:
    data = memoryview(values).cast("B")
    while data:
        read = os.preadv(descriptor, [data], offset)
        if read == 0:
            raise OSError(errno.EIO, "the scratch file ended early")
        data, offset = data[read:], offset + read


def _scratch_folder(temporary: str | None) -> str | None:
    """Beside the output's temporary file, on a file system that has room for the output; the system's temporary
    folder for a device or a pipe."""
    return os.path.dirname(temporary) if temporary is not None else None


def _npy_header(bands: Bands) -> bytes:
    import numpy

    header = io.BytesIO()
    descr = numpy.lib.format.dtype_to_descr(numpy.dtype(bands.dtype))
    numpy.lib.format.write_array_header_1_0(header, {"descr": descr, "fortran_order": False, "shape": bands.shape})
    return header.getvalue()


def available_memory() -> int | None:
    """The memory the kernel can give without swapping (MemAvailable), in bytes; None where it does not say."""
    try:
        with open(MEMINFO) as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return None


def ensure_fits(rows: int, cols: int, itemsize: int) -> None:
    """Refuses a matrix that is to be held whole when it would not fit in the memory available."""
    need = rows * cols * itemsize
    available = available_memory()
    if available is not None and need > available:
        raise EnvironmentFailure(
            f"the {rows:,} x {cols:,} matrix would take {_size(need)} of memory and {_size(available)} is "
            "available: write it to a .npy file (--output NAME.npy), which is filled band by band"
        )


def _size(count: int) -> str:
    for unit, scale in (("GB", 1e9), ("MB", 1e6), ("kB", 1e3)):
        if count >= scale:
            return f"{count / scale:.1f} {unit}"
    return f"{count} bytes"


def _delimiter(fmt: str) -> str:
    return "\t" if fmt == "tsv" else ","


def _write_text(bands: Bands, file: IO[str], delimiter: str, scratch_folder: str | None = None) -> None:
    writer = csv.writer(file, delimiter=delimiter, lineterminator="\n")
    writer.writerow(["", *bands.col_names])
    # A text stream without bytes beneath it (a StringIO standing in for stdout) gets the csv module's rows.
    format_rows = _native_rows() if isinstance(file, io.TextIOWrapper) else None
    if format_rows is not None:
        file.flush()
        binary = cast(io.TextIOWrapper, file).buffer
        writeback = _Writeback(binary)
    # The text is made a few rows at a time, in pieces small enough for the allocator to reuse: fresh memory
    # would be faulted in anew each time.
    step = _text_rows(bands.shape[1])
    for rows, band in _in_order(bands, scratch_folder):
        names = bands.row_names[rows.start : rows.stop]
        if format_rows is None:
            _write_rows(writer, names, band)
            continue
        for start in range(0, len(rows), step):
            stop = start + step
            piece = format_rows(names[start:stop], band[start:stop], delimiter)
            binary.write(piece)
            writeback.wrote(len(piece))


class _Writeback:
    """Hands a file written front to back to the kernel's writeback every WRITEBACK_BYTES (see _start_writeback).
    Not a compressed stream, whose bytes reach the file later than they are given, nor a pipe."""

    def __init__(self, binary: object) -> None:
        self._binary: io.BufferedWriter | None = None
        self._done = self._pending = 0
        if isinstance(binary, io.BufferedWriter):
            with suppress(OSError):
                self._done = binary.tell()
                self._binary = binary

    def wrote(self, count: int) -> None:
        if self._binary is None:
            return
        self._pending += count
        if self._pending >= WRITEBACK_BYTES:
            self._binary.flush()
            _start_writeback(self._binary.fileno(), self._done, self._pending)
            self._done += self._pending
            self._pending = 0


def _text_rows(columns: int) -> int:
    """Rows formatted per call: about a megabyte of text per thread, so that every thread has work and the text
    stays small enough for the allocator to reuse its memory from call to call."""
    threads = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    return max(1, TEXT_BYTES_PER_THREAD * threads // (TEXT_CELL_BYTES * max(1, columns)))


def _write_rows(writer: Any, names: Sequence[str], band: Any) -> None:
    """One band of a text matrix: each row's name, then its values (floats in their shortest exact form)."""
    for name, values in zip(names, band, strict=True):
        writer.writerow([name, *values.tolist()])


def _native_rows() -> Callable[[Sequence[str], Any, str], bytes] | None:
    """The engine's row formatter (the same text as the csv module writes, at native speed), where the engine
    can be imported."""
    try:
        from _cladomatic_engine import format_rows
    except ImportError:
        return None
    return cast(Callable[[Sequence[str], Any, str], bytes], format_rows)


def write_files(folder: str, files: Mapping[str, bytes]) -> None:
    """The files of a result folder, made in full beforehand, each written whole in turn: a run stopped between
    two files leaves each file either as it was or new, never cut short."""
    for name, content in files.items():
        with _replaced(os.path.join(folder, name)) as (file, _):
            file.write(content)


def write_text(path: str, text: str) -> None:
    """A text file written whole, under a temporary name first like every other output."""
    with _replaced(path) as (file, _):
        file.write(text.encode("utf-8"))


def write_npz(path: str, arrays: dict[str, Any]) -> None:
    import numpy

    with _replaced(path) as (file, _):
        numpy.savez_compressed(file, **arrays)


@contextmanager
def streamed_text(path: str | None) -> Iterator[IO[str]]:
    """Text written as it is made, to standard output (None) or to `path` (gzip-compressed for a name ending in
    .gz), which it replaces only once complete."""
    if path is None:
        yield sys.stdout
        sys.stdout.flush()
        return
    with _replaced(path) as (file, _), _text(file, path.lower().endswith(".gz")) as text:
        yield text
