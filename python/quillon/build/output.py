"""Writing an index and its manifest so that a failure, an interruption or
a crash leaves the files that were there before untouched: each goes to a
temporary file beside its target, is flushed to disk, then renamed into
place."""

from __future__ import annotations

import os
import pathlib
import secrets

from quillon.manifest import manifest_path

__all__ = ["install_index_files", "temporary_path", "write_index_files"]


def write_index_files(index: pathlib.Path, data: bytes, manifest_text: str) -> None:
    """Writes ``data`` to ``index`` and ``manifest_text`` to its manifest,
    so that a failure leaves the files that were there before untouched.

    Both go to temporary files in the target folder first, each flushed to
    disk; then the index is renamed into place, then the manifest, and the
    folder is flushed. Only a crash between the two renames (two system
    calls) can leave a new index beside the old manifest, which their
    size and checksum then tell apart."""
    targets = [(index, data), (manifest_path(index), manifest_text.encode("utf-8"))]
    temporaries: list[pathlib.Path] = []
    try:
        for target, content in targets:
            temporaries.append(_write_temporary(target, content))
        for (target, _content), temporary in zip(targets, temporaries):
            os.replace(temporary, target)
        temporaries.clear()
        _sync_folder(index.parent)
    finally:
        for temporary in temporaries:
            temporary.unlink(missing_ok=True)


def install_index_files(index: pathlib.Path, written: pathlib.Path, manifest_text: str) -> None:
    """Puts the index file ``written`` (a temporary file beside ``index``,
    already flushed to disk) in place as ``index``, with ``manifest_text``
    as its manifest, in the order and with the guarantees of
    ``write_index_files``. ``written`` is gone afterwards, whatever happens."""
    temporaries = [written]
    try:
        temporaries.append(_write_temporary(manifest_path(index), manifest_text.encode("utf-8")))
        os.replace(written, index)
        os.replace(temporaries[1], manifest_path(index))
        temporaries.clear()
        _sync_folder(index.parent)
    finally:
        for temporary in temporaries:
            temporary.unlink(missing_ok=True)


def temporary_path(target: pathlib.Path) -> pathlib.Path:
    """A fresh hidden name beside ``target`` for a file written before it
    is renamed over ``target``."""
    return target.with_name(f".{target.name}.{secrets.token_hex(4)}.tmp")


def _write_temporary(target: pathlib.Path, content: bytes) -> pathlib.Path:
    temporary = temporary_path(target)
    # 0o666 less the umask, like any new file (mkstemp would give 0o600).
    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with os.fdopen(descriptor, "wb") as file:
            file.write(content)
            file.flush()
            os.fsync(file.fileno())
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    return temporary


def _sync_folder(folder: pathlib.Path) -> None:
    descriptor = os.open(folder, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)
