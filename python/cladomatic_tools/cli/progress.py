"""A status line on standard error, redrawn in place while files are scanned, read and compared."""

import os
import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Protocol, TextIO

_REDRAW_SECONDS = 0.1


class Counter(Protocol):
    def value(self) -> int: ...
    def total(self) -> int: ...
    def fraction(self) -> float: ...


class RowCounter:
    """Progress of a matrix computed a band of rows at a time, as a Counter of its `pairs` tree pairs."""

    def __init__(self, pairs: int, rows: int):
        self._pairs = pairs
        self._rows = rows
        self._done = 0

    def add(self, rows: int) -> None:
        self._done += rows

    def value(self) -> int:
        return self._pairs * self._done // max(1, self._rows)

    def total(self) -> int:
        return self._pairs

    def fraction(self) -> float:
        return self._done / max(1, self._rows)


class Status:
    """Draws nothing unless enabled, so callers never need to ask."""

    def __init__(self, stream: TextIO, enabled: bool, quiet: bool = False):
        self.enabled = enabled
        self.quiet = quiet
        self._stream = stream
        self._drawn = False
        self._next_draw = 0.0
        self.trees_read = 0

    def reading(self, path: str, trees: int) -> None:
        now = time.monotonic()
        if self.enabled and now >= self._next_draw:
            self._next_draw = now + _REDRAW_SECONDS
            self._draw(f"reading {path}: {trees} trees")

    def tree_read(self) -> None:
        self.trees_read += 1

    @contextmanager
    def watching(self, counter: Counter | None, trees: int) -> Iterator[None]:
        """Redraws from a second thread while the engine runs: trees read so far while it reads, then the
        share of tree pairs compared, which the engine reports through `counter` with the interpreter lock
        released. The line is cleared when the engine returns, however it returns."""
        if not self.enabled or counter is None:
            yield
            return
        stop = threading.Event()
        started = time.monotonic()

        def redraw() -> None:
            while True:
                pairs = counter.total()
                if pairs:
                    self._draw_bar(f"comparing {pairs} pairs", counter.fraction(), started)
                else:
                    self._draw_bar(f"read {self.trees_read}/{trees} trees", self.trees_read / trees, None)
                if stop.wait(_REDRAW_SECONDS):
                    return

        thread = threading.Thread(target=redraw, name="cladomatic-progress", daemon=True)
        thread.start()
        try:
            yield
            if counter.total():
                self._draw_bar(f"comparing {counter.total()} pairs", counter.fraction(), started)
        finally:
            stop.set()
            thread.join()
            self.clear()

    def note(self, message: str) -> None:
        """One line of what the run did that its output does not show (unless --quiet)."""
        if not self.quiet:
            self.clear()
            self._stream.write(f"cladomatic: {message}\n")
            self._stream.flush()

    def clear(self) -> None:
        if self._drawn:
            self._stream.write("\r\x1b[K")
            self._stream.flush()
            self._drawn = False

    def _draw_bar(self, label: str, fraction: float, started: float | None) -> None:
        fraction = min(max(fraction, 0.0), 1.0)
        tail = f" {int(fraction * 100):3d}%"
        if started is not None and 0.02 < fraction < 1.0:
            left = (time.monotonic() - started) * (1.0 - fraction) / fraction
            tail += f" {int(left) // 60}:{int(left) % 60:02d} left"
        room = self._width() - len(label) - len(tail) - 4
        if room < 10:
            self._draw(label + tail)
            return
        filled = int(fraction * room)
        self._draw(f"{label} [{'#' * filled}{'.' * (room - filled)}]{tail}")

    def _draw(self, text: str) -> None:
        self._stream.write("\r" + text[: self._width() - 1] + "\x1b[K")
        self._stream.flush()
        self._drawn = True

    def _width(self) -> int:
        try:
            return os.get_terminal_size(self._stream.fileno()).columns or 80
        except (OSError, ValueError):
            return 80
