"""``LiveIndex``: the index a server answers from, replaced whole when its
file is replaced.

``quillon build`` writes a new index by renaming new files over INDEX and
INDEX.json, so a new build shows as a change of either file's identity
(device, inode, size, modification time). A watcher thread compares the
identities at most once per ``check_interval`` seconds (and at once when
``request_reload`` is called, as on SIGHUP), loads and verifies the new pair
off the request path, and swaps the reference only when it is complete. A
request reads ``current`` once and answers from that generation to the end,
so it never sees a half-loaded index. A pair that fails to load is reported
in ``last_failure`` and not tried again until one of its files changes.
"""

from __future__ import annotations

import logging
import os
import pathlib
import threading
import time
from dataclasses import dataclass

from quillon.index import Index
from quillon.manifest import manifest_path

__all__ = ["FileIdentity", "Generation", "LiveIndex", "ReloadFailure"]

logger = logging.getLogger("quillon.serve")

StatKey = tuple[int, int, int, int]
# How long a failed load waits before it checks that the files stood still.
SETTLE_SECONDS = 0.05


@dataclass(frozen=True)
class FileIdentity:
    """(st_dev, st_ino, st_size, st_mtime_ns) of INDEX and of INDEX.json;
    ``None`` for a file that is not there."""

    index: StatKey | None
    manifest: StatKey | None

    @classmethod
    def of(cls, path: pathlib.Path) -> FileIdentity:
        return cls(_stat_key(path), _stat_key(manifest_path(path)))


@dataclass(frozen=True)
class Generation:
    """One loaded index: ``number`` counts the loads of this process, from 1."""

    number: int
    index: Index
    identity: FileIdentity
    loaded_at: float  # time.time()


@dataclass(frozen=True)
class ReloadFailure:
    """Why the files on disk are not the ones answering."""

    identity: FileIdentity
    error: str
    at: float  # time.time()


class LiveIndex:
    """Opens ``path`` with verification (``IndexLoadError`` if it cannot)
    and keeps the latest pair of files that loaded in ``current``."""

    def __init__(self, path: str | pathlib.Path, check_interval: float = 1.0) -> None:
        self.path = pathlib.Path(path)
        self.check_interval = check_interval
        identity = FileIdentity.of(self.path)
        self._current = Generation(1, Index.open(self.path), identity, time.time())
        self.last_failure: ReloadFailure | None = None
        self._retry_failed = False
        self._reloading = threading.Lock()
        self._wake = threading.Event()
        self._stopping = threading.Event()
        self._watcher: threading.Thread | None = None

    @property
    def current(self) -> Generation:
        return self._current

    def reload_if_changed(self) -> bool:
        """Loads the files if they are neither the live pair nor a pair that
        already failed; swaps them in when they load. Returns whether it
        swapped. Never raises: a failure is logged and kept in
        ``last_failure``."""
        with self._reloading:
            identity = FileIdentity.of(self.path)
            live = self._current
            if identity == live.identity:
                self.last_failure = None  # the failed files were replaced by the live ones
                return False
            failed = self.last_failure
            if failed is not None and failed.identity == identity and not self._retry_failed:
                return False
            self._retry_failed = False
            index: Index | None = None
            message = ""
            try:
                index = Index.open(self.path)
            except Exception as error:  # an IndexLoadError, or out of memory
                message = str(error) if error.args else type(error).__name__
                # A failure may be a build caught between its two renames.
                time.sleep(SETTLE_SECONDS)
            if FileIdentity.of(self.path) != identity:
                # The files changed while we read them: what we read may be
                # halves of two builds, or one build under the other's
                # identity. Look again at the next check.
                return False
            if index is None:
                self.last_failure = ReloadFailure(identity, message, time.time())
                logger.error("still answering from generation %d: cannot load the new index: %s", live.number, message)
                return False
            self._current = Generation(live.number + 1, index, identity, time.time())
            self.last_failure = None
            manifest = index.manifest
            logger.info(
                "generation %d live: %s, %s terms, SHA-256 %s, loaded in %.3f s",
                live.number + 1,
                self.path,
                f"{manifest.terms:,}" if manifest else "?",
                manifest.index_sha256[:12] if manifest else "?",
                index.load_seconds,
            )
            return True

    def request_reload(self) -> None:
        """Checks the files now (SIGHUP), trying once more even a pair that
        failed before (a permission since fixed, memory since freed)."""
        self._retry_failed = True
        self._wake.set()

    def start(self) -> None:
        """Starts the watcher thread."""
        if self._watcher is None:
            self._stopping.clear()
            self._watcher = threading.Thread(target=self._watch, name="quillon-index-watcher", daemon=True)
            self._watcher.start()

    def stop(self) -> None:
        """Stops the watcher thread, after a reload in progress."""
        if self._watcher is not None:
            self._stopping.set()
            self._wake.set()
            self._watcher.join()
            self._watcher = None

    def _watch(self) -> None:
        while True:
            self._wake.wait(self.check_interval)
            self._wake.clear()
            if self._stopping.is_set():
                return
            self.reload_if_changed()


def _stat_key(path: pathlib.Path) -> StatKey | None:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)
