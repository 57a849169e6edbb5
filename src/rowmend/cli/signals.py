"""SIGTERM and SIGHUP stop the command as Ctrl-C does."""

from __future__ import annotations

import contextlib
import signal
import threading
from typing import Any, Iterator

from rowmend._batch import STOP_SIGNALS

__all__ = ["Stopped", "stop_signals"]


class Stopped(KeyboardInterrupt):
    """A signal asking the command to stop (SIGTERM, SIGHUP), raised as Ctrl-C is."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _raise_stopped(signum: int, frame: Any) -> None:
    raise Stopped(signum)


@contextlib.contextmanager
def stop_signals() -> Iterator[None]:
    """SIGTERM and SIGHUP end the command as Ctrl-C does, in the main thread.

    By default they would end the process at once, leaving worker processes
    cleaning the files still queued and temporary files behind; raised as
    an interrupt, they stop the workers and remove those files.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    stop = [number for number in STOP_SIGNALS if number != signal.SIGINT]
    previous = {number: signal.signal(number, _raise_stopped) for number in stop}
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
