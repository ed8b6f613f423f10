"""The integrity of index files: the SHA-256 of a file and of each of its
sections in one pass, and a record of the files already verified, so that a
file is verified once per identity (device, inode, size, modification and
change times) rather than once per worker or per reload.

The record lives in the user's cache (``$XDG_CACHE_HOME/quillon/verified``,
else ``~/.cache/quillon/verified``), one empty file per verified identity
and digest, made while holding a lock so that workers starting together
verify the file once between them. Where the cache cannot be written, every
open verifies.
"""

from __future__ import annotations

import contextlib
import fcntl
import hashlib
import os
import pathlib
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from typing_extensions import Buffer

__all__ = ["CHUNK", "Identity", "digests", "verified_once"]

# Bytes hashed at a time: large enough that hashlib runs without the
# interpreter lock, small enough to stay in the cache.
CHUNK = 8 << 20
Identity = tuple[int, int, int, int, int]
"""(st_dev, st_ino, st_size, st_mtime_ns, st_ctime_ns) of a file."""


def digests(data: Buffer, sections: Sequence[tuple[str, int, int]] = ()) -> tuple[str, dict[str, str]]:
    """The SHA-256 of ``data`` (hex) and of each (name, offset, length)
    section of it, reading each byte once."""
    view = memoryview(data).cast("B")
    whole = hashlib.sha256()
    parts = {name: hashlib.sha256() for name, _offset, _length in sections}
    for start in range(0, len(view), CHUNK):
        end = min(start + CHUNK, len(view))
        whole.update(view[start:end])
        for name, offset, length in sections:
            low, high = max(start, offset), min(end, offset + length)
            if low < high:
                parts[name].update(view[low:high])
    return whole.hexdigest(), {name: part.hexdigest() for name, part in parts.items()}


def verified_once(identity: Identity, sha256: str, check: Callable[[], bool]) -> bool:
    """Whether the file of ``identity`` has the digest ``sha256``: true at
    once when it was verified before, otherwise ``check()`` says, and a
    true answer is recorded."""
    folder = _folder()
    if folder is None:
        return check()
    key = hashlib.sha256(f"{':'.join(map(str, identity))}:{sha256}".encode()).hexdigest()[:40]
    record = folder / key
    with _locked(folder / f"{key}.lock"):
        if record.exists():
            return True
        if not check():
            return False
        with contextlib.suppress(OSError):
            record.touch()
        return True


def _folder() -> pathlib.Path | None:
    cache = os.environ.get("XDG_CACHE_HOME") or str(pathlib.Path.home() / ".cache")
    folder = pathlib.Path(cache) / "quillon" / "verified"
    try:
        folder.mkdir(parents=True, exist_ok=True, mode=0o700)
        return folder if os.access(folder, os.W_OK) else None
    except OSError:
        return None


@contextlib.contextmanager
def _locked(path: pathlib.Path) -> Iterator[None]:
    try:
        descriptor = os.open(path, os.O_RDWR | os.O_CREAT, 0o600)
    except OSError:
        yield  # no lock to be had: verify anyway
        return
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX)
        yield
    finally:
        os.close(descriptor)
