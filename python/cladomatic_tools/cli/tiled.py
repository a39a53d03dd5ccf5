"""The command's tiled runs: on a running Dask scheduler (--scheduler), into a Zarr store, or both.

Without --scheduler a tiled run uses threads in this process (with --threads N, N tiles at once, each on one
thread); with it, the tiles are computed by the scheduler's workers, which must import this package and see the
output path, on threads of their own. The trees are read as for an in-memory run, so a tiled run writes the same
matrix: every tree against every tree, or with --against or --between the trees of the first group against those
of the second.
"""

import argparse
import asyncio
import contextlib
import logging
import os
import re
from collections.abc import Iterator
from typing import Any

from cladomatic_tools import __version__
from cladomatic_tools.cli.arguments import whole_number
from cladomatic_tools.cli.distances import ShortPairs
from cladomatic_tools.cli.stopping import Stopped, signal_number
from cladomatic_tools.io import writers
from cladomatic_tools.io.reader import EnvironmentFailure, InputError

ZARR_SUFFIX = ".zarr"
_ADDRESS = re.compile(r"(?:(?:tcp|tls|ws|wss|ucx)://)?(?:\[[0-9A-Fa-f:.]+\]|[A-Za-z0-9._-]+):(?P<port>[0-9]{1,5})")
_INSTALL = "install this package with its dask extra (pip install 'cladomatic[dask]')"


def _scheduler_address(text: str) -> str:
    match = _ADDRESS.fullmatch(text)
    if match is None or not 0 < int(match["port"]) < 65536:
        raise argparse.ArgumentTypeError(f"expected a scheduler address such as tcp://10.0.0.5:8786, got '{text}'")
    return text


def add_arguments(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--scheduler",
        type=_scheduler_address,
        metavar="ADDRESS",
        help="compute the matrix tile by tile on the workers of the running Dask scheduler at ADDRESS "
        "(e.g. tcp://10.0.0.5:8786); the workers need this package installed and must see the output path",
    )
    command.add_argument(
        "--scheduler-timeout",
        type=whole_number(1),
        default=30,
        metavar="SECONDS",
        help="give up when the scheduler has not answered within SECONDS, or when no worker has been connected "
        "to it for SECONDS (default: 30)",
    )
    command.add_argument(
        "--tile",
        type=whole_number(1),
        default=4096,
        metavar="N",
        help="trees per side of a tile of a tiled run (--scheduler or .zarr output; default: 4096, or the number "
        "of trees when that is smaller)",
    )
    command.add_argument(
        "--resume",
        action="store_true",
        help="with .zarr output: continue the store of an interrupted run of the same command, keeping the tiles "
        "that read back against their checksums",
    )


def wanted(args: argparse.Namespace) -> bool:
    """Whether the run is a tiled one rather than the command's usual in-memory run."""
    return args.scheduler is not None or args.resume or _is_zarr(args.output)


def _is_zarr(path: str | None) -> bool:
    return path is not None and path.rstrip("/").lower().endswith(ZARR_SUFFIX)


def target_for(args: argparse.Namespace, inputs: list[str]) -> writers.Target | None:
    """The output of a tiled run, checked before any tree is read: a file, or None for a Zarr store."""
    zarr_output = _is_zarr(args.output)
    if zarr_output and args.format is not None:
        raise InputError("--format does not apply to .zarr output (a directory store)")
    if args.resume and not zarr_output:
        raise InputError("--resume needs .zarr output: only a Zarr store keeps the tiles of an interrupted run")
    target = None if zarr_output else writers.target_for(args.output, args.format)
    if target is not None and target.path is not None:
        writers.check_writable(target.path, inputs)
    try:
        from cladomatic_tools import dask  # noqa: F401
    except ImportError as err:
        raise EnvironmentFailure(f"tiled runs need Dask, NumPy and Zarr (the package's 'dask' extra): {err}") from None
    if target is None:
        _check_store_path(args.output)
    return target


def _check_store_path(path: str) -> None:
    """Fails before the trees are read when the store could not be written, or would replace what is not one."""
    from cladomatic_tools.io import tile_store

    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise InputError(f"cannot write {path}: no directory {os.path.dirname(path) or folder}")
    if not os.access(folder, os.W_OK):
        raise EnvironmentFailure(f"cannot write {path}: permission denied")
    try:
        tile_store.ours(path)
    except ValueError as err:
        raise InputError(str(err)) from None


def run(
    args: argparse.Namespace,
    target: writers.Target | None,
    tree_set: Any,
    rows: range,
    cols: range,
    short: ShortPairs | None = None,
) -> None:
    """Computes the block `rows` x `cols` of the set's matrix in tiles and writes it as `target` asks; with
    `short` (--prune pairwise), the pairs without a distance are counted there."""
    from cladomatic_tools import dask as tiles

    try:
        with (
            _connected(args.scheduler, args.scheduler_timeout, zarr_output=target is None),
            _local_threads(None if args.scheduler else args.threads, tree_set),
            short.counted() if short is not None else contextlib.nullcontext(),
        ):
            _write(args, target, tree_set, rows, cols)
    except KeyboardInterrupt as err:
        if args.scheduler is None:
            # Dask's threads are still in their tiles' engine calls, which only the main thread's own call
            # would have seen the signal stop; stopped, they let the process end as any other run does
            from _cladomatic_engine import stop_every_call

            stop_every_call()
            # a chunk write left pending is not trusted by a resumed run (its checksum is written after it),
            # but asyncio would report the task at exit, after the one line the command says
            logging.getLogger("asyncio").setLevel(logging.CRITICAL)
            raise Stopped(signal_number(err)) from None
        # a client's connection does not stop on request: the process ends at once
        raise Abandoned(signal_number(err)) from None
    except tiles.NoWorkers as err:
        again = "with --resume" if target is None else "again"
        raise EnvironmentFailure(f"{err}: start workers, then run the same command {again}") from None
    except tiles.TileTooLarge as err:
        raise EnvironmentFailure(f"{err} (--tile)") from None
    except ValueError as err:
        raise InputError(str(err)) from None


def _write(args: argparse.Namespace, target: writers.Target | None, tree_set: Any, rows: range, cols: range) -> None:
    from cladomatic_tools import dask as tiles

    wait = args.scheduler_timeout
    if target is None or target.fmt == "npy":
        path = args.output
        try:
            if target is None:
                tiles.to_zarr(
                    tree_set,
                    path,
                    args.metric,
                    args.tile,
                    resume=args.resume,
                    rows=rows,
                    cols=cols,
                    prune=args.prune,
                    worker_timeout=wait,
                )
            else:
                tiles.to_npy(
                    tree_set, path, args.metric, args.tile, rows=rows, cols=cols, prune=args.prune, worker_timeout=wait
                )
        except OSError as err:
            if err.errno is None:
                raise  # not the store's fault: a lost connection, a cluster without workers
            raise writers._failed(path, err) from None
        return
    dtype = tiles.dtype_of(args.metric, args.prune)
    writers.ensure_fits(len(rows), len(cols), dtype.itemsize)
    matrix = tiles.block_matrix(
        tree_set, args.metric, args.tile, rows=rows, cols=cols, prune=args.prune, worker_timeout=wait
    )
    names = tree_set.tree_names

    def fill(band: range, out: Any) -> None:
        out[...] = matrix[band.start : band.stop]

    bands = writers.Bands(names[rows.start : rows.stop], names[cols.start : cols.stop], dtype.name, fill, rows == cols)
    writers.write_matrix(bands, target)


class Abandoned(Stopped):
    """Ctrl-C or another signal during a run on a cluster: a client's connection does not stop on request, so
    the process has to end without waiting for it."""


class ClusterFailure(EnvironmentFailure):
    """A fault of the cluster in the middle of a run, after which the client's threads may still wait on the
    scheduler: the process ends as soon as it is said."""


@contextlib.contextmanager
def _local_threads(threads: int | None, tree_set: Any) -> Iterator[None]:
    """`threads` threads for Dask's local scheduler, each tile on one of them; nothing for None."""
    if threads is None:
        yield
        return
    import dask

    tree_set.threads = 1
    with dask.config.set(num_workers=threads):
        yield


@contextlib.contextmanager
def _connected(address: str | None, seconds: int, *, zarr_output: bool) -> Iterator[None]:
    """A client of the scheduler at `address` for the length of the run; nothing without an address. Faults
    of the cluster are said as such, and an interrupted run leaves without waiting on the scheduler."""
    if address is None:
        yield
        return
    from concurrent.futures import CancelledError

    from distributed import Client, KilledWorker
    from distributed.comm import CommClosedError

    # the command says what failed in one line; the client's log would say it again, with tracebacks
    for name in ("distributed", "distributed.client"):  # the client's logger has a level of its own
        logging.getLogger(name).setLevel(logging.CRITICAL)
    _check_scheduler(address, seconds)
    try:
        client = Client(address, timeout=seconds, set_as_default=True)
    except (OSError, TimeoutError) as err:
        raise EnvironmentFailure(f"cannot connect to the Dask scheduler at {address}: {err}") from None
    again = "run the same command with --resume" if zarr_output else "run the same command again"
    try:
        _check_environments(client, address, ["cladomatic_tools", *(["zarr"] if zarr_output else [])])
        yield
    except KeyboardInterrupt:
        raise  # closing the client would wait on the scheduler
    except KilledWorker as err:
        raise ClusterFailure(
            f"Dask workers kept dying on one tile, over their memory limit perhaps ({err}): {again} with a "
            "smaller --tile"
        ) from None
    except CommClosedError, CancelledError:
        raise ClusterFailure(f"lost the connection to the Dask scheduler at {address}: {again}") from None
    except ImportError as err:  # a worker that joined after the check
        raise ClusterFailure(f"a Dask worker cannot import {err.name or err}: {_INSTALL} on every worker") from None
    except BaseException:
        client.close()
        raise
    client.close()


async def _identity(address: str, seconds: float) -> Any:
    from distributed.comm import connect
    from distributed.security import Security

    # connecting is retried for half the time, so that a refused connection is told from a silent server; the
    # configuration's certificates serve a tls:// address, as they serve the client
    comm = await connect(address, timeout=seconds / 2, **Security().get_connection_args("client"))
    try:
        await comm.write({"op": "identity"})
        return await comm.read()
    finally:
        comm.abort()


def _check_scheduler(address: str, seconds: int) -> None:
    """Fails unless a Dask scheduler answers at `address` within `seconds`. The client's own handshake would
    wait forever on a server that accepts and says nothing, and read HTTP text (a dashboard) as a length."""
    from distributed.comm import CommClosedError

    try:
        reply = asyncio.run(asyncio.wait_for(_identity(address, seconds), seconds))
    except TimeoutError:
        raise EnvironmentFailure(f"{address} is not a Dask scheduler (no answer in {seconds} s)") from None
    except CommClosedError:
        reply = None
    except OSError as err:
        raise EnvironmentFailure(f"cannot reach the Dask scheduler at {address}: {err}") from None
    except Exception, MemoryError:  # whatever a reader of another protocol's bytes raises
        reply = None
    if not isinstance(reply, dict) or reply.get("type") != "Scheduler":
        raise EnvironmentFailure(f"{address} is not a Dask scheduler (it does not answer as one)")


def _check_environments(client: Any, address: str, packages: list[str]) -> None:
    """Fails before any work when the scheduler (which reads the tasks) or a worker cannot import what the
    tiles need, or runs another version of this package."""
    versions = client.get_versions(packages=packages)
    places = {
        f"the Dask scheduler at {address}": versions["scheduler"],
        **{f"the Dask worker at {worker}": found for worker, found in sorted(versions["workers"].items())},
    }
    for package in packages:
        lacking = [where for where, found in places.items() if found["packages"].get(package) is None]
        if lacking:
            raise EnvironmentFailure(
                f"{', '.join(lacking)} cannot import {package}: {_INSTALL} on the scheduler and every worker"
            )
    other = {
        where: found["packages"]["cladomatic_tools"]
        for where, found in places.items()
        if found["packages"]["cladomatic_tools"] != __version__
    }
    if other:
        where, version = next(iter(other.items()))
        raise EnvironmentFailure(
            f"{where} runs version {version} of this package and this command {__version__}: "
            "install one version everywhere"
        )
