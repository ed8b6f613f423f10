"""Query and term normalisation: the one definition that the index build and
every query share, so that a stored term and a query that normalises to it
meet in the trie (the trie itself compares code points exactly).

Modes:

- ``"none"``: the text as it is.
- ``"lower"``: ``str.lower()``.
- ``"fold"``: compatibility decomposition (NFKD), Unicode case folding,
  nonspacing marks (category Mn: accents, diacritics) removed, recomposed to
  NFKC, whitespace runs collapsed to one space and trimmed. ``"Café  Noir"``,
  ``"CAFE NOIR"`` and ``" cafe\\u0301 noir"`` all fold to ``"cafe noir"``.

Every mode is idempotent (``normalize(normalize(t, m), m) == normalize(t, m)``),
so normalising a term that is already normalised (an aggregated table read
back, a query typed into a box fed by normalised suggestions) changes nothing.
The result depends on the Unicode tables of the running Python
(``unicodedata.unidata_version``); an index records the version it was built
with.
"""

from __future__ import annotations

import unicodedata
from typing import Literal, get_args

__all__ = ["MODES", "Mode", "normalize", "UNICODE_VERSION"]

Mode = Literal["none", "lower", "fold"]
MODES: tuple[Mode, ...] = get_args(Mode)
UNICODE_VERSION: str = unicodedata.unidata_version


def normalize(text: str, mode: Mode) -> str:
    """``text`` normalised by ``mode`` (``"none"``, ``"lower"`` or ``"fold"``).

    Raises ``ValueError`` for an unknown mode and ``TypeError`` for a text
    that is not a ``str``.
    """
    if not isinstance(text, str):
        raise TypeError(f"normalize() needs a str, not {type(text).__name__}")
    if mode == "fold":
        return _fold(text)
    if mode == "lower":
        return text.lower()
    if mode == "none":
        return text
    raise ValueError(f"unknown normalisation {mode!r}: use one of {', '.join(MODES)}")


def _fold(text: str) -> str:
    if text.isascii():
        # The common case, without the Unicode tables: ASCII has no marks and
        # no compatibility forms, and its case folding is lower-casing.
        return " ".join(text.lower().split())
    # Decompose first, so that compatibility forms that hide capitals (the
    # square "MHz", a modifier capital A) are folded too; decompose again
    # after folding, which can produce new decomposable characters.
    decomposed = unicodedata.normalize("NFKD", unicodedata.normalize("NFKD", text).casefold())
    bare = "".join(c for c in decomposed if unicodedata.category(c) != "Mn")
    return " ".join(unicodedata.normalize("NFKC", bare).split())
