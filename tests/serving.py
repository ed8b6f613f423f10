"""Running ``quillon serve`` (or ``demo``) as a child process on a free
loopback port, and small index pairs to serve."""

from __future__ import annotations

import contextlib
import json
import os
import pathlib
import selectors
import signal
import subprocess
import sys
import time
import urllib.request
from collections.abc import Iterator

from quillon.build import build_index
from search_logs import values_sql, write_table

START_TIMEOUT = 60  # seconds; the sanitizers' run is slow to import


def build_small_index(folder: pathlib.Path, name: str, rows) -> tuple[bytes, str]:
    """Builds the index of ``rows`` ((term, video id)) as ``folder/name``;
    returns its bytes and manifest text, to write in place later."""
    log = write_table(folder / f"{name}.parquet", values_sql(rows))
    index = folder / name
    build_index([str(log)], index)
    return index.read_bytes(), index.with_name(name + ".json").read_text()


class Server:
    def __init__(self, process: subprocess.Popen[str], url: str, log: pathlib.Path) -> None:
        self.process = process
        self.url = url
        self.log = log

    def get(self, path: str) -> dict:
        # A new connection each time, so that several workers all get some.
        with urllib.request.urlopen(self.url + path, timeout=30) as response:
            return json.loads(response.read())


@contextlib.contextmanager
def running_server(args: list[str], log: pathlib.Path, command: list[str] | None = None) -> Iterator[Server]:
    """Starts ``python -m quillon ARGS --port 0`` (or ``COMMAND ARGS``),
    waits for the line that names its address, and stops it with SIGINT
    afterwards, expecting a clean exit."""
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    with open(log, "w") as stderr:
        process = subprocess.Popen(
            [*(command or [sys.executable, "-m", "quillon"]), *args, "--port", "0"], stdout=subprocess.PIPE, stderr=stderr, text=True, env=env
        )
    try:
        line = _first_line(process, START_TIMEOUT)
        assert " at http://" in line, f"no address in {line!r}; log:\n{log.read_text()}"
        url = line.split(" at ", 1)[1].split("/ ", 1)[0]
        yield Server(process, url, log)
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=START_TIMEOUT) == 0, log.read_text()
        assert "Traceback" not in log.read_text()
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        assert process.stdout is not None
        process.stdout.close()


def _first_line(process: subprocess.Popen[str], timeout: float) -> str:
    """The first line of the child's output that announces the server."""
    assert process.stdout is not None
    deadline = time.monotonic() + timeout
    with selectors.DefaultSelector() as selector:
        selector.register(process.stdout, selectors.EVENT_READ)
        while time.monotonic() < deadline:
            if selector.select(timeout=deadline - time.monotonic()):
                line = process.stdout.readline()
                if not line or line.startswith("serving "):
                    return line
    raise AssertionError("the server did not announce itself in time")


def wait_for(condition, timeout: float = 30, what: str = "the condition"):
    """Polls ``condition()`` until it returns something true; returns it."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.05)
