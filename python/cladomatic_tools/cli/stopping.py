"""Signals that end a run of the command: Ctrl-C's SIGINT, and SIGTERM and SIGHUP, which `kill`, a batch
scheduler or a closed terminal send. Each becomes an exception in the main thread, so that the run unwinds in
order and every clean-up on the way runs (temporary files above all); the command then exits with 128 plus the
signal's number, as a shell reports a process that a signal ended.
"""

import signal
import threading
from collections.abc import Iterator
from contextlib import contextmanager

# SIGINT keeps Python's own handler, which raises KeyboardInterrupt.
CAUGHT = (signal.SIGTERM, signal.SIGHUP)


class Stopped(KeyboardInterrupt):
    """A signal that ends the run, raised in the main thread; a KeyboardInterrupt, so that whatever handles
    Ctrl-C handles it too."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def signal_number(err: KeyboardInterrupt) -> int:
    """The signal behind an interruption: Ctrl-C's unless it says otherwise."""
    return getattr(err, "signum", signal.SIGINT)


@contextmanager
def stopped_by_signals() -> Iterator[None]:
    """Within the block, SIGTERM and SIGHUP raise Stopped in the main thread. Later signals are ignored while
    the run unwinds, so that they cannot cut its clean-ups short; a signal the caller ignores (SIGHUP under
    nohup) stays ignored. Off the main thread, where no handler can be set, nothing changes."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def stop(signum: int, frame: object) -> None:
        for number in CAUGHT:
            signal.signal(number, signal.SIG_IGN)
        raise Stopped(signum)

    previous = {number: signal.getsignal(number) for number in CAUGHT}
    for number, handler in previous.items():
        if handler != signal.SIG_IGN:
            signal.signal(number, stop)
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler if handler is not None else signal.SIG_DFL)
