"""The one set of defaults and limits that the Python API, the command line
and the HTTP API share: the edits a query may have (by default, by its
length), the most results of a list, the longest query."""

from __future__ import annotations

__all__ = [
    "DEFAULT_LIMIT",
    "MAX_EDITS",
    "MAX_LIMIT",
    "MAX_QUERY_LENGTH",
    "ONE_EDIT_FROM",
    "ONE_EDIT_WITHIN",
    "TWO_EDITS_FROM",
    "checked_edits",
    "checked_limit",
    "default_edits",
    "default_schedule",
]

MAX_EDITS = 3
DEFAULT_LIMIT = 10
MAX_LIMIT = 100
MAX_QUERY_LENGTH = 256  # code points, after normalisation or before
# The default edits by the length of the normalised query, in code points:
# none below ONE_EDIT_FROM (a short prefix within one edit of thousands of
# terms says little), one from there, two from TWO_EDITS_FROM; and the first
# ONE_EDIT_WITHIN characters hold at most one of them (two typos among the
# first three letters are rare, and allowing them walks every short prefix).
# Chosen by replaying typing sessions (quillon eval; docs/completions.md, "How
# the defaults were chosen").
ONE_EDIT_FROM = 3
TWO_EDITS_FROM = 8
ONE_EDIT_WITHIN = 3


def default_edits(normalized: str) -> int:
    """The edits a query may have when its caller names none."""
    length = len(normalized)
    return 2 if length >= TWO_EDITS_FROM else 1 if length >= ONE_EDIT_FROM else 0


def default_schedule(normalized: str) -> list[int]:
    """The edits each prefix of ``normalized`` may hold by default, for its
    lengths 0 .. len(normalized): the text's own, at most one within the
    first ONE_EDIT_WITHIN characters."""
    edits = default_edits(normalized)
    return [min(edits, 1) if length <= ONE_EDIT_WITHIN else edits for length in range(len(normalized) + 1)]


def checked_edits(value: int | None, normalized: str, name: str = "max_edits") -> int:
    """``value``, or the default for ``normalized`` when it is None;
    ``ValueError`` naming ``name`` unless it is an int from 0 to MAX_EDITS."""
    if value is None:
        return default_edits(normalized)
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= MAX_EDITS:
        raise ValueError(f"{name} must be an integer from 0 to {MAX_EDITS}, not {value!r}")
    return value


def checked_limit(value: int, name: str = "limit") -> int:
    """``ValueError`` naming ``name`` unless ``value`` is an int from 1 to
    MAX_LIMIT."""
    if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= MAX_LIMIT:
        raise ValueError(f"{name} must be an integer from 1 to {MAX_LIMIT}, not {value!r}")
    return value
