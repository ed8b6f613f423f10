"""A synthetic search log to try ``quillon build`` on: one row per search that
led to a video, as a video site would log it, written as Parquet.

Searches are drawn from the bundled English word list (Debian's
``wamerican``; ``quillon/example/data/``), with what real logs show:

- Zipf-like popularity: the word of popularity rank r is searched in
  proportion to 1 / r; shorter words tend to rank higher. Words of one or
  two letters and possessives are left out.
- Case variants (``Cat``, ``CAT``), accents left out (``Ataturk`` for
  ``Atatürk``), stray spaces, queries cut short while typing (``encyclop``),
  and typos: each word has three misspellings of its own (a letter dropped,
  doubled, swapped with its neighbour or replaced by one next to it on the
  keyboard), so the same typos recur as they do in real logs.
- Videos: each word leads mostly to the topic video it shares with its
  neighbours in the list, otherwise to one of the site's popular videos
  (small ids are the popular ones).

Every draw comes from the raw 64-bit output of numpy's PCG64 generator
seeded with ``seed``, a stream numpy keeps stable across versions, so a seed
always gives the same log.
"""

from __future__ import annotations

import gzip
import importlib.resources
import pathlib
import random
import tempfile
import uuid
from typing import NamedTuple

import duckdb
import numpy as np
import numpy.typing as npt

from quillon.manifest import IdKind

__all__ = ["DEFAULT_ROWS", "DEFAULT_SEED", "LogSummary", "load_words", "make_search_log", "word_list_path"]

DEFAULT_ROWS = 300_000
DEFAULT_SEED = 2024
FIRST_VIDEO_ID = 1_000_000
WORDS_PER_TOPIC = 6
TOPIC_SHARE = 0.6  # of a word's searches that lead to its topic video
TYPOS_PER_WORD = 3

# How a searched word is typed, with the share of searches typed that way;
# the rest are typed as listed.
_TYPO, _CAPITALIZED, _UPPER, _LOWER, _BARE, _SPACED, _CUT = range(1, 8)
_VARIANT_SHARES = (
    (_TYPO, 0.08),
    (_CAPITALIZED, 0.08),
    (_UPPER, 0.02),
    (_LOWER, 0.03),  # a capitalised word typed in lower case
    (_BARE, 0.01),  # accents left out
    (_SPACED, 0.02),
    (_CUT, 0.05),
)
# Slots per word in the key of a distinct typed form: the plain form, one per
# typo, and the other variants.
_SLOTS = 1 + TYPOS_PER_WORD + len(_VARIANT_SHARES)

_KEYBOARD_ROWS = ("qwertyuiop", "asdfghjkl", "zxcvbnm")
_NEIGHBOURS = {
    key: "".join(
        row2[j]
        for row2_index, row2 in enumerate(_KEYBOARD_ROWS)
        if abs(row2_index - row_index) <= 1
        for j in range(max(0, column - 1), min(len(row2), column + 2))
        if row2[j] != key
    )
    for row_index, row in enumerate(_KEYBOARD_ROWS)
    for column, key in enumerate(row)
}


class LogSummary(NamedTuple):
    """What ``make_search_log`` wrote."""

    path: pathlib.Path
    rows: int
    distinct_terms: int
    videos: int


def word_list_path() -> pathlib.Path:
    """The bundled word list (gzip, one word a line); its licence is the
    ``american-english.copyright`` beside it."""
    return pathlib.Path(str(importlib.resources.files("quillon.example") / "data" / "american-english.gz"))


def load_words() -> list[str]:
    """The words of the bundled list, in its order."""
    with gzip.open(word_list_path(), "rt", encoding="utf-8") as lines:
        return [line.rstrip("\n") for line in lines if line.strip()]


def make_search_log(
    path: str | pathlib.Path,
    rows: int = DEFAULT_ROWS,
    seed: int = DEFAULT_SEED,
    *,
    id_kind: IdKind = "int",
) -> LogSummary:
    """Writes a Parquet search log of ``rows`` rows with the columns ``term``
    (VARCHAR) and ``video_id`` (BIGINT, or for ``id_kind="uuid"`` VARCHAR
    UUIDs), the same for the same ``rows`` and ``seed``."""
    if rows < 1:
        raise ValueError(f"rows must be at least 1, not {rows}")
    # Possessives and one- or two-letter entries are rarely searched for.
    words = [word for word in load_words() if len(word) >= 3 and "'" not in word]
    draws = _Draws(seed)

    # Popularity: rank by length plus noise, so short words tend to lead.
    noise = draws.uniform(len(words))
    by_popularity = np.argsort(np.array([len(w) for w in words]) + 8 * noise, kind="stable")
    cumulative = np.cumsum(1.0 / np.arange(1, len(words) + 1))
    ranks = np.searchsorted(cumulative, draws.uniform(rows) * cumulative[-1], side="right")
    word_of_row = by_popularity[np.minimum(ranks, len(words) - 1)]

    variant = np.zeros(rows, dtype=np.int64)
    u = draws.uniform(rows)
    low = 0.0
    for kind, share in _VARIANT_SHARES:
        variant[(u >= low) & (u < low + share)] = kind
        low += share
    slot = variant + (variant > _TYPO) * (TYPOS_PER_WORD - 1)
    typo = variant == _TYPO
    slot[typo] += (draws.uniform(int(typo.sum())) * TYPOS_PER_WORD).astype(np.int64)

    keys, term_of_row = np.unique(word_of_row * _SLOTS + slot, return_inverse=True)
    forms = np.array([_typed(words[key // _SLOTS], key % _SLOTS, seed) for key in keys.tolist()], dtype=object)

    topics = (len(words) + WORDS_PER_TOPIC - 1) // WORDS_PER_TOPIC
    popular = (topics * draws.uniform(rows) ** 3).astype(np.int64)
    video = np.where(draws.uniform(rows) < TOPIC_SHARE, word_of_row // WORDS_PER_TOPIC, popular)
    videos = int(np.unique(video).size)

    columns: dict[str, npt.NDArray[np.generic]] = {"term": forms[term_of_row]}
    if id_kind == "uuid":
        names = np.array([str(uuid.UUID(int=_uuid_int(seed, i))) for i in range(topics)], dtype=object)
        columns["video_id"] = names[video]
    elif id_kind == "int":
        columns["video_id"] = video + FIRST_VIDEO_ID
    else:
        raise ValueError(f"id_kind must be 'int' or 'uuid', not {id_kind!r}")

    target = pathlib.Path(path)
    with tempfile.TemporaryDirectory() as spill:
        con = duckdb.connect(config={"temp_directory": spill})
        try:
            con.register("search_log", columns)
            con.execute(
                f"COPY (SELECT term, video_id FROM search_log) TO {_quoted(str(target))} (FORMAT parquet)"
            )
        finally:
            con.close()
    return LogSummary(target, rows, int(keys.size), videos)


class _Draws:
    """Uniform doubles in [0, 1) from the raw stream of PCG64."""

    def __init__(self, seed: int) -> None:
        self._bits = np.random.PCG64(seed)

    def uniform(self, count: int) -> npt.NDArray[np.float64]:
        raw = self._bits.random_raw(count)
        return np.asarray(raw >> np.uint64(11), dtype=np.float64) * 2.0**-53


def _typed(word: str, slot: int, seed: int) -> str:
    """How a search for ``word`` was typed, by slot: 0 as listed, then the
    word's typos, then the variants of ``_VARIANT_SHARES`` after the typo."""
    if slot == 0:
        return word
    if slot <= TYPOS_PER_WORD:
        return _typo(word, random.Random(f"{seed}:{word}:{slot}"))
    kind = slot - TYPOS_PER_WORD + _TYPO
    if kind == _CAPITALIZED:
        return word[:1].upper() + word[1:]
    if kind == _UPPER:
        return word.upper()
    if kind == _LOWER:
        return word.lower()
    if kind == _BARE:
        return word.translate(_BARE_LETTERS)
    if kind == _SPACED:
        return f" {word}" if len(word) % 2 else f"{word}  "
    return word[: max(3, (2 * len(word) + 2) // 3)]  # _CUT


def _typo(word: str, rng: random.Random) -> str:
    if len(word) < 2:
        return word + word
    i = int(rng.random() * len(word))
    letter = word[i]
    kind = int(rng.random() * 4)
    near = _NEIGHBOURS.get(letter.lower(), "")
    if kind == 0:  # dropped
        return word[:i] + word[i + 1 :]
    if kind == 1:  # doubled
        return word[:i] + letter + word[i:]
    if kind == 2 and i + 1 < len(word):  # swapped with the next letter
        return word[:i] + word[i + 1] + letter + word[i + 2 :]
    if near:  # the key next to it
        return word[:i] + near[int(rng.random() * len(near))] + word[i + 1 :]
    return word[:i] + word[i + 1 :]


_BARE_LETTERS = str.maketrans("áàâäãåçéèêëíìîïñóòôöõúùûüýÿ", "aaaaaaceeeeiiiinooooouuuuyy")


def _uuid_int(seed: int, video: int) -> int:
    return random.Random(f"{seed}:video:{video}").getrandbits(128)


def _quoted(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"
