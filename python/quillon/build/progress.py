"""Progress of the long phases of a build, on standard error, with rows (or
terms) per second: shown only where standard error is a terminal, so logs
and pipes stay clean."""

from __future__ import annotations

import sys
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import TextIO

import duckdb
from tqdm import tqdm

__all__ = ["Progress"]

_POLL_SECONDS = 0.2


class Progress:
    """Progress bars, or nothing at all when disabled."""

    def __init__(self, enabled: bool, stream: TextIO | None = None) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = enabled

    @classmethod
    def for_terminal(cls, quiet: bool) -> Progress:
        return cls(enabled=not quiet and sys.stderr.isatty())

    @contextmanager
    def phase(self, description: str, total: int | None, unit: str) -> Iterator[Callable[[int], object]]:
        """A bar of ``total`` ``unit``; the caller advances it by calling
        the function yielded with the number done since the last call. A
        bar in per cent shows no rate."""
        if not self.enabled:
            yield _ignore
            return
        bar = tqdm(
            total=total,
            desc=description,
            unit=unit,
            unit_scale=True,
            file=self.stream,
            dynamic_ncols=True,
            bar_format="{desc}: {percentage:3.0f}%|{bar}| [{elapsed}]" if unit == "%" else None,
        )
        try:
            yield bar.update
        finally:
            bar.close()

    @contextmanager
    def query(self, con: duckdb.DuckDBPyConnection, description: str, rows: int | None) -> Iterator[None]:
        """A bar for the DuckDB query that the caller runs on ``con``, fed by
        DuckDB's own estimate of how far it is: in rows when ``rows`` (the
        number the query reads) is known, else in per cent."""
        if not self.enabled:
            yield
            return
        con.execute("SET progress_bar_time = 0")
        total = rows if rows is not None else 100
        unit = " rows" if rows is not None else "%"
        finished = threading.Event()
        with self.phase(description, total, unit) as advance:
            done = 0

            def poll() -> None:
                nonlocal done
                while not finished.wait(_POLL_SECONDS):
                    fraction = con.query_progress()
                    if fraction >= 0:  # -1 while no estimate exists
                        now = int(total * min(fraction, 100.0) / 100)
                        if now > done:
                            advance(now - done)
                            done = now

            poller = threading.Thread(target=poll, daemon=True)
            poller.start()
            try:
                yield
            finally:
                finished.set()
                poller.join()
            if done < total:
                advance(total - done)


def _ignore(_done: int) -> None:
    pass
