"""The interpreter's own error texts, and a way to run heavy inputs in a
separate process so that a crash or a runaway allocation fails one test
instead of the whole run."""

from __future__ import annotations

import ctypes
import json
import operator
import os
import pathlib
import resource
import subprocess
import sys
import textwrap

TESTS_DIR = pathlib.Path(__file__).resolve().parent


def _raised_by(call, *args) -> BaseException:
    try:
        call(*args)
    except BaseException as exc:  # noqa: BLE001 - we want whatever it raises
        return exc
    raise AssertionError(f"{call!r}{args!r} did not raise")


def index_error(obj) -> BaseException:
    """What ``__index__`` conversion of ``obj`` raises (e.g. for 1.0 or None)."""
    return _raised_by(operator.index, obj)


def _capi(name, restype):
    func = getattr(ctypes.pythonapi, name)
    func.argtypes = [ctypes.py_object]
    func.restype = restype
    return func


_as_unsigned_long_long = _capi("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong)
_as_long = _capi("PyLong_AsLong", ctypes.c_long)


def unsigned_long_long_error(value) -> BaseException:
    """The interpreter's error for an int that is negative or beyond 64 bits."""
    return _raised_by(_as_unsigned_long_long, value)


def long_error(value) -> BaseException:
    """The interpreter's error for an int beyond the C long range."""
    return _raised_by(_as_long, value)


def utf8_error(text: str) -> BaseException:
    return _raised_by(str.encode, text, "utf-8")


def sanitized() -> bool:
    """True when the interpreter runs with AddressSanitizer loaded, which
    reserves terabytes of address space and so rules out address-space caps."""
    try:
        maps = pathlib.Path("/proc/self/maps").read_text()
    except OSError:
        return False
    return "libasan" in maps or "asan" in os.environ.get("LD_PRELOAD", "")


def run_isolated(code: str, *, memory_cap: int | None = None, timeout: float = 600):
    """Runs ``code`` in a fresh interpreter with the tests directory on the path.

    The code prints one JSON value as its last line of output; that value is
    returned. With ``memory_cap`` the child's address space is limited to that
    many bytes (not applied under AddressSanitizer). Fails the calling test
    with the child's output when the child does not exit cleanly.
    """
    cap = None if memory_cap is None or sanitized() else memory_cap

    def limit():
        if cap is not None:
            resource.setrlimit(resource.RLIMIT_AS, (cap, cap))

    prologue = f"import sys\nsys.path.insert(0, {str(TESTS_DIR)!r})\n"
    proc = subprocess.run(
        [sys.executable, "-c", prologue + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        preexec_fn=limit,
        stdin=subprocess.DEVNULL,
    )
    assert proc.returncode == 0, (
        f"child exited with {proc.returncode}\n--- stdout\n{proc.stdout[-4000:]}"
        f"\n--- stderr\n{proc.stderr[-4000:]}"
    )
    return json.loads(proc.stdout.strip().splitlines()[-1])
