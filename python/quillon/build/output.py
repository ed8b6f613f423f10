"""Writing an index and its manifest so that a failure, an interruption or
a crash leaves the files that were there before untouched: each goes to a
temporary file beside its target, is flushed to disk, then renamed into
place."""

from __future__ import annotations

import os
import pathlib
import secrets

from quillon.manifest import manifest_path

__all__ = ["write_index_files"]


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


def _write_temporary(target: pathlib.Path, content: bytes) -> pathlib.Path:
    temporary = target.with_name(f".{target.name}.{secrets.token_hex(4)}.tmp")
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
