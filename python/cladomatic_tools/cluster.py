"""The command's tiled runs: on a running Dask scheduler (--scheduler), into a Zarr store, or both.

Without --scheduler a tiled run uses threads in this process; with it, the tiles are computed by the
scheduler's workers, which must import this package and see the output path.
"""

import argparse
import contextlib
from collections.abc import Iterator
from typing import Any

from cladomatic_tools import engine, output
from cladomatic_tools.arguments import whole_number
from cladomatic_tools.progress import Status
from cladomatic_tools.reader import EnvironmentFailure, InputError
from cladomatic_tools.selection import Selection
from cladomatic_tools.sources import FileTrees

ZARR_SUFFIX = ".zarr"


def add_arguments(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="compute the matrix tile by tile on the workers of the running Dask scheduler at ADDRESS "
        "(e.g. tcp://10.0.0.5:8786); the workers need this package installed and must see the output path",
    )
    command.add_argument(
        "--tile",
        type=_tile_size,
        default=4096,
        metavar="N",
        help="trees per side of a tile of a tiled run (--scheduler or .zarr output; default: 4096)",
    )
    command.add_argument(
        "--resume",
        action="store_true",
        help="with .zarr output: keep the tiles that an interrupted run of the same command already stored",
    )


_tile_size = whole_number(1)


def wanted(args: argparse.Namespace) -> bool:
    """Whether the run is a tiled one rather than the command's usual in-memory run."""
    return args.scheduler is not None or args.resume or _is_zarr(args.output)


def _is_zarr(path: str | None) -> bool:
    return path is not None and path.rstrip("/").lower().endswith(ZARR_SUFFIX)


def run(args: argparse.Namespace, status: Status) -> None:
    """Computes the matrix of `args.metric` in tiles and writes it as the output asks."""
    zarr_output = _is_zarr(args.output)
    if args.prune is not None:
        raise InputError("--prune does not apply to tiled runs (--scheduler, .zarr output or --resume)")
    if zarr_output and args.format is not None:
        raise InputError("--format does not apply to .zarr output (a directory store)")
    if args.resume and not zarr_output:
        raise InputError("--resume needs .zarr output: only a Zarr store keeps the tiles of an interrupted run")
    target = None if zarr_output else output.target_for(args.output, args.format)
    if target is not None and target.path is not None:
        output.check_writable(target.path, args.files)
    try:
        from cladomatic_tools import dask as tiles
    except ImportError as err:
        raise EnvironmentFailure(f"tiled runs need Dask, NumPy and Zarr (the package's 'dask' extra): {err}") from None
    tree_set = _tree_set(args, status)
    with _connected(args.scheduler):
        try:
            if target is None:
                tiles.to_zarr(tree_set, args.output, args.metric, args.tile, resume=args.resume)
            elif target.fmt == "npy":
                assert target.path is not None  # output.target_for refuses npy without a file
                tiles.to_npy(tree_set, target.path, args.metric, args.tile)
            else:
                matrix = tiles.distance_matrix(tree_set, args.metric, args.tile).compute()
                names = list(tree_set.tree_names)

                def fill(rows: range, out: Any) -> None:
                    out[...] = matrix[rows.start : rows.stop]

                output.write_matrix(output.Bands(names, names, matrix.dtype.name, fill, True), target)
        except ValueError as err:
            raise InputError(str(err)) from None


def _tree_set(args: argparse.Namespace, status: Status) -> Any:
    files = FileTrees(args.files, Selection(args.burnin, args.every))
    return engine.read_set([files], args.metric, args.rooted, status)


@contextlib.contextmanager
def _connected(address: str | None) -> Iterator[None]:
    """A client of the scheduler at `address` for the length of the run; nothing without an address."""
    if address is None:
        yield
        return
    from distributed import Client

    try:
        client = Client(address, timeout="10s", set_as_default=True)
    except (OSError, TimeoutError) as err:
        raise EnvironmentFailure(f"cannot reach the Dask scheduler at {address}: {err}") from None
    with client:
        yield
