"""``quillon eval``: how well an index completes what people type, measured
by replaying held-out searches keystroke by keystroke.

A held-out log is a later slice of the log an index was built from, in any
form ``quillon build`` reads. Each session is one of its searches, drawn as
searches occur (popular queries come often), typed one key at a time; the
search finally made, normalised, is the completion the user wants. A share
of the sessions type it with typos as people make them: a letter replaced by
a keyboard neighbour, a letter inserted (doubled or a neighbour), a letter
dropped, or two neighbouring letters swapped; a quarter of those make two.

Every keystroke is answered as a search box would answer it, under each of
a few edit budgets (the edits a query may have by its length), and scored:
success@k (the wanted query is among the first k completions, k = 1, 5, 10),
reciprocal rank (within the first 10), by the length of the normalised
typed text (1 to 10 code points, then 11 and more), over all keystrokes and
separately over the keystrokes that follow a typo (those whose text is no
longer the start of the wanted query); and per session, the keystrokes typed
until the wanted query shows among the first 10, or that it never does.

The same sessions and scoring serve any completer (``replay``), so that the
benchmarks score other engines exactly as this command scores ours.
"""

from __future__ import annotations

import argparse
import bisect
import dataclasses
import itertools
import json
import math
import pathlib
import random
import re
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from typing import Any, NamedTuple

import duckdb

from quillon.build.progress import Progress
from quillon.build.sources import FORMATS, Columns, Format, SourceGroup, describe_sources, first_line, resolve_sources
from quillon.errors import BuildError, IndexLoadError, OutdatedIndexError
from quillon.index import Index
from quillon.limits import DEFAULT_LIMIT, MAX_QUERY_LENGTH, ONE_EDIT_FROM, ONE_EDIT_WITHIN, TWO_EDITS_FROM

__all__ = [
    "DEFAULT_BUDGETS",
    "KS",
    "LENGTHS",
    "Budget",
    "Figures",
    "Searches",
    "Session",
    "Tally",
    "add_eval_command",
    "budget",
    "evaluate",
    "make_sessions",
    "read_searches",
    "replay",
    "run_eval",
    "score",
    "with_typo",
]

KS = (1, 5, 10)  # success@k
SHOWN = DEFAULT_LIMIT  # a search box's list: "shows" means among these
LONGEST = 11  # typed lengths 1..10 apiece, then 11 and more together
LENGTHS = tuple(str(n) for n in range(1, LONGEST)) + (f"{LONGEST}+",)
DEFAULT_SESSIONS = 400
DEFAULT_TYPOS = 0.5
DEFAULT_SEED = 1
TWO_TYPOS_SHARE = 0.25  # of the sessions typed with typos
DOUBLED_SHARE = 1 / 3  # of inserted letters: the letter itself again
DEFAULT_BUDGETS = ("none", "3/8", "default", "4/8,3", "3/6,3", "default+first")

U32_MAX = 0xFFFF_FFFF
_KEYBOARD_ROWS = ("qwertyuiop", "asdfghjkl", "zxcvbnm")
# The keys beside each letter key: left and right on its row, and the two
# it sits between on the rows above and below (each row lies about half a
# key to the right of the one above).
_NEIGHBOURS = {
    key: "".join(
        _KEYBOARD_ROWS[r2][c2]
        for r2, c2 in ((r, c - 1), (r, c + 1), (r - 1, c), (r - 1, c + 1), (r + 1, c - 1), (r + 1, c))
        if 0 <= r2 < len(_KEYBOARD_ROWS) and 0 <= c2 < len(_KEYBOARD_ROWS[r2])
    )
    for r, row in enumerate(_KEYBOARD_ROWS)
    for c, key in enumerate(row)
}
_TYPO_KINDS = ("substitute", "insert", "delete", "swap")


# --------------------------------------------------------------------------
# Budgets
# --------------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class Budget:
    """The edits a query may have by its length in code points: none below
    ``one_from``, one from there, two from ``two_from`` (None: never);
    ``first_exact`` holds every completion to the query's first character;
    the first ``one_within`` characters hold at most one of the edits (None:
    any)."""

    name: str
    one_from: int | None
    two_from: int | None
    first_exact: bool = False
    default: bool = False
    one_within: int | None = None

    def edits(self, query: str) -> int:
        return self.edits_at(len(query))

    def edits_at(self, length: int) -> int:
        if self.two_from is not None and length >= self.two_from:
            return 2
        return 1 if self.one_from is not None and length >= self.one_from else 0

    def schedule(self, query: str) -> tuple[int, ...] | None:
        """The edits each prefix of ``query`` may hold, or None for
        ``edits(query)`` anywhere."""
        if self.one_within is None:
            return None
        edits = self.edits(query)
        return tuple(min(edits, 1) if length <= self.one_within else edits for length in range(len(query) + 1))

    def to_json(self) -> dict[str, Any]:
        return dataclasses.asdict(self)


_BUDGET_SPELLING = re.compile(r"(none|default|(\d+)(?:/(\d+))?(?:,(\d+))?)(\+first)?")


def budget(spelled: str) -> Budget:
    """A budget from its spelling on the command line: ``none``, ``default``
    (limits.py's), ``A/B`` (one edit from A code points, two from B) or
    ``A`` (one from A, never two), either followed by ``,W`` (the first W
    characters hold at most one edit), any of them by ``+first`` (the first
    character held exact). ``ValueError`` says what is wrong."""
    match = _BUDGET_SPELLING.fullmatch(spelled.strip())
    if match is None:
        raise ValueError(
            f"{spelled!r} is not a budget: use none, default, A/B (one edit from A code points, two from B) or A, "
            "optionally ,W (at most one edit within the first W) and +first"
        )
    word, one, two, within, first = match.groups()
    if word == "none":
        one_from, two_from = None, None
    elif word == "default":
        one_from, two_from = ONE_EDIT_FROM, TWO_EDITS_FROM
    else:
        one_from, two_from = int(one), None if two is None else int(two)
        if not 1 <= one_from <= MAX_QUERY_LENGTH or (two_from is not None and not one_from <= two_from <= MAX_QUERY_LENGTH):
            raise ValueError(f"{spelled!r}: need 1 <= A <= B <= {MAX_QUERY_LENGTH} in A/B")
    one_within = ONE_EDIT_WITHIN if word == "default" else None if within is None else int(within)
    default = (one_from, two_from, one_within) == (ONE_EDIT_FROM, TWO_EDITS_FROM, ONE_EDIT_WITHIN)
    if one_from is None:
        name = "none"
    else:
        name = f"1 from {one_from}" + (f", 2 from {two_from}" if two_from is not None else "")
        name += f", 1 within {one_within}" if one_within is not None and two_from is not None else ""
    name += " (default)" if default and first is None else ""
    name += ", first exact" if first else ""
    return Budget(name, one_from, two_from, first is not None, default, one_within if one_from is not None else None)


def _budgets(spellings: Iterable[str]) -> list[Budget]:
    """Each distinct budget once, in the order first named."""
    found: dict[tuple[int | None, int | None, bool, int | None], Budget] = {}
    for spelled in spellings:
        b = budget(spelled)
        found.setdefault((b.one_from, b.two_from, b.first_exact, b.one_within), b)
    return list(found.values())


# --------------------------------------------------------------------------
# Held-out searches and the sessions typed from them
# --------------------------------------------------------------------------


class Searches(NamedTuple):
    """Distinct searched texts (as logged) with how often each was made,
    in code point order."""

    texts: list[str]
    counts: list[int]
    files: list[pathlib.Path]

    @property
    def rows(self) -> int:
        return sum(self.counts)


def read_searches(
    sources: Sequence[str], term: str = "term", count: str | None = None, format: Format | None = None
) -> Searches:
    """The searches of a held-out log (files, folders or glob patterns, in
    any format ``quillon build`` reads): column ``term``, each row counted
    once or by ``count`` (by default the column ``count`` where a file has
    one). Video ids play no part.

    Raises ``BuildError`` naming the file for a file that cannot be read, a
    missing column or one of the wrong type, a bad count, or no searches."""
    files = resolve_sources(sources, format)
    # describe_sources checks a video column too; the term column stands in
    # for it (text passes as a video id), and the scan's video is not read.
    columns = Columns(term=term, video=term, count=count or "count", count_required=count is not None)
    con = duckdb.connect()
    try:
        # DuckDB would draw its own progress bar on standard output.
        con.execute("SET enable_progress_bar = false")
        groups = describe_sources(con, files, columns)
        scans = " UNION ALL ".join(f"(SELECT raw, n FROM ({group.scan_sql(columns)}))" for group in groups)
        try:
            rows = con.execute(
                f"SELECT raw, sum(n)::BIGINT, count(*) FILTER (WHERE n IS NULL) FROM ({scans}) "
                "WHERE raw IS NOT NULL GROUP BY raw ORDER BY raw"
            ).fetchall()
        except duckdb.Error as error:
            raise BuildError(f"{files[0].path}: cannot read: {first_line(error)}") from None
        if any(bad for _, _, bad in rows):
            raise BuildError(_bad_count_message(con, groups, columns))
    finally:
        con.close()
    texts = [str(raw) for raw, n, _ in rows if n]
    counts = [int(n) for _, n, _ in rows if n]
    if not texts:
        raise BuildError(f"{_names(files)}: no searches (every term is NULL or counted 0)")
    return Searches(texts, counts, [file.path for file in files])


def _bad_count_message(con: duckdb.DuckDBPyConnection, groups: Sequence[SourceGroup], columns: Columns) -> str:
    """Names the first file with counts that are missing or out of range."""
    for group in groups:
        for path in group.files:
            scan = dataclasses.replace(group, files=(path,)).scan_sql(columns)
            bad = con.execute(f"SELECT count(*) FROM ({scan}) WHERE n IS NULL AND raw IS NOT NULL").fetchone()
            if bad and bad[0]:
                rows = "row" if bad[0] == 1 else "rows"
                return f"{path}: {bad[0]:,} {rows} with a bad {columns.count} (missing, or outside 0..{U32_MAX})"
    return "rows with a bad count (the files changed while being read?)"


def _names(files: Sequence[Any]) -> str:
    paths = [str(getattr(file, "path", file)) for file in files]
    return paths[0] if len(paths) == 1 else f"{paths[0]} (and {len(paths) - 1} more)"


@dataclasses.dataclass(frozen=True)
class Session:
    """One search typed key by key. ``queries[i]`` is the normalised text
    after ``i + 1`` keys; ``after_typo[i]`` says it no longer starts the
    wanted query (a typo shows in it)."""

    searched: str  # as logged
    target: str  # normalised: the completion the user wants
    typed: str  # what the keys spell, typos included
    typos: int
    queries: tuple[str, ...]
    after_typo: tuple[bool, ...]


def with_typo(text: str, rng: random.Random) -> str | None:
    """``text`` with one typo at a letter, of a kind drawn at random (if it
    has no place for that kind, the next kind in turn): a letter replaced by
    a keyboard neighbour, a letter inserted after one (itself again, or a
    neighbour), a letter dropped, or two different neighbouring letters
    swapped. None when the text has no letter to make one at."""
    first = rng.randrange(len(_TYPO_KINDS))
    for kind in _TYPO_KINDS[first:] + _TYPO_KINDS[:first]:
        if kind == "substitute":
            places = [i for i, c in enumerate(text) if c.lower() in _NEIGHBOURS]
        elif kind == "swap":
            places = [i for i in range(len(text) - 1) if text[i].isalpha() and text[i + 1].isalpha() and text[i] != text[i + 1]]
        elif kind == "delete" and len(text) < 2:
            places = []
        else:
            places = [i for i, c in enumerate(text) if c.isalpha()]
        if not places:
            continue
        at = rng.choice(places)
        letter = text[at]
        if kind == "substitute":
            return text[:at] + _neighbour(letter, rng) + text[at + 1 :]
        if kind == "insert":
            extra = letter if rng.random() < DOUBLED_SHARE or letter.lower() not in _NEIGHBOURS else _neighbour(letter, rng)
            return text[: at + 1] + extra + text[at + 1 :]
        if kind == "delete":
            return text[:at] + text[at + 1 :]
        return text[:at] + text[at + 1] + letter + text[at + 2 :]
    return None


def _neighbour(letter: str, rng: random.Random) -> str:
    near = rng.choice(_NEIGHBOURS[letter.lower()])
    return near.upper() if letter.isupper() else near


def make_sessions(
    searches: Searches,
    normalize: Callable[[str], str],
    sessions: int = DEFAULT_SESSIONS,
    typos: float = DEFAULT_TYPOS,
    seed: int = DEFAULT_SEED,
) -> list[Session]:
    """``sessions`` searches drawn with replacement in proportion to their
    counts (searches whose normalised text is empty or longer than
    MAX_QUERY_LENGTH are passed over), the same for the same seed; a
    ``typos`` share of them (rounded) typed with a typo, a quarter of
    those with two (where the text has letters to make them at, and the
    typos show in the normalised text)."""
    if sessions < 1:
        raise ValueError(f"sessions must be at least 1, not {sessions}")
    if not 0.0 <= typos <= 1.0:
        raise ValueError(f"typos must be from 0 to 1, not {typos}")
    rng = random.Random(seed)
    cumulative = list(itertools.accumulate(searches.counts))
    total = cumulative[-1]
    drawn: list[tuple[str, str]] = []
    normalized: dict[str, str] = {}
    tries = 0
    while len(drawn) < sessions:
        tries += 1
        if tries > 100 * sessions and not drawn:
            raise BuildError(f"{_names(searches.files)}: no search has a usable term after normalisation")
        text = searches.texts[bisect.bisect_right(cumulative, rng.random() * total)]
        if text not in normalized:
            normalized[text] = normalize(text)
        target = normalized[text]
        if target and len(target) <= MAX_QUERY_LENGTH and "\0" not in target:
            drawn.append((text, target))
    with_typos = set(rng.sample(range(sessions), round(typos * sessions)))
    order = sorted(with_typos)
    two = set(rng.sample(order, round(TWO_TYPOS_SHARE * len(order))))
    made: list[Session] = []
    for number, (text, target) in enumerate(drawn):
        typed, count = text, 0
        wanted = 0 if number not in with_typos else 2 if number in two else 1
        for _ in range(wanted):
            for _attempt in range(8):
                changed = with_typo(typed, rng)
                # A typo that leaves the text the start of the wanted query
                # (the last letter dropped) never shows: it is no typo.
                if changed is not None and not target.startswith(normalize(changed)):
                    typed, count = changed, count + 1
                    break
        queries = tuple(normalize(typed[: n + 1]) for n in range(len(typed)))
        after = tuple(count > 0 and not target.startswith(q) for q in queries)
        made.append(Session(text, target, typed, count, queries, after))
    return made


# --------------------------------------------------------------------------
# Scoring
# --------------------------------------------------------------------------


@dataclasses.dataclass
class Tally:
    """Keystrokes of one typed length, and how the wanted query ranked."""

    keystrokes: int = 0
    hits: list[int] = dataclasses.field(default_factory=lambda: [0] * len(KS))
    reciprocal: float = 0.0

    def add(self, rank: int | None) -> None:
        self.keystrokes += 1
        if rank is not None:
            for i, k in enumerate(KS):
                self.hits[i] += rank <= k
            self.reciprocal += 1.0 / rank

    def merged(self, other: Tally) -> Tally:
        return Tally(self.keystrokes + other.keystrokes, [a + b for a, b in zip(self.hits, other.hits)], self.reciprocal + other.reciprocal)

    def success(self, k: int) -> float | None:
        return self.hits[KS.index(k)] / self.keystrokes if self.keystrokes else None

    @property
    def mrr(self) -> float | None:
        return self.reciprocal / self.keystrokes if self.keystrokes else None

    def to_json(self) -> dict[str, Any]:
        return {"keystrokes": self.keystrokes, **{f"success_at_{k}": _rounded(self.success(k)) for k in KS}, "mrr": _rounded(self.mrr)}


@dataclasses.dataclass
class Figures:
    """What one completer scored over a list of sessions: tallies by typed
    length (index 0 for length 1, the last for LONGEST and more) over all
    keystrokes and over those after a typo; per session, the keystrokes
    typed until the wanted query showed among the first SHOWN (None:
    never), and its typos."""

    all: list[Tally]
    after_typo: list[Tally]
    shown_after: list[int | None]
    typos: list[int]
    # Per scored keystroke, the time its completions took, where measured.
    nanoseconds: list[int] = dataclasses.field(default_factory=list)

    def overall(self, after_typo: bool = False) -> Tally:
        total = Tally()
        for tally in self.after_typo if after_typo else self.all:
            total = total.merged(tally)
        return total

    def to_show(self, which: str = "all") -> dict[str, Any]:
        """Mean keystrokes until it shows, over sessions of ``which`` kind
        ("all", "clean": without typos, "typo": with) that showed it."""
        picked = [
            shown for shown, typos in zip(self.shown_after, self.typos)
            if which == "all" or (which == "typo") == (typos > 0)
        ]  # fmt: skip
        shown = [n for n in picked if n is not None]
        return {
            "sessions": len(picked),
            "mean_keystrokes": _rounded(sum(shown) / len(shown) if shown else None),
            "never": len(picked) - len(shown),
        }

    def to_json(self) -> dict[str, Any]:
        return {
            "overall": self.overall().to_json(),
            "after_typo": self.overall(True).to_json(),
            "by_length": [dict(length=name, **t.to_json()) for name, t in zip(LENGTHS, self.all)],
            "after_typo_by_length": [dict(length=name, **t.to_json()) for name, t in zip(LENGTHS, self.after_typo)],
            "keystrokes_to_show": {which: self.to_show(which) for which in ("all", "clean", "typo")},
            **({"timing": self.timing()} if self.nanoseconds else {}),
        }

    def timing(self) -> dict[str, float]:
        """Microseconds a scored keystroke's completions took: mean, p50, p99
        (nearest rank), as timed during the replay (the lesser of two runs of
        each distinct call): an indication of what a budget costs, not a
        benchmark."""
        ordered = sorted(self.nanoseconds)

        def rank(fraction: float) -> float:
            return ordered[max(0, math.ceil(fraction * len(ordered)) - 1)] / 1000

        return {"mean_us": round(sum(ordered) / len(ordered) / 1000, 1), "p50_us": round(rank(0.5), 1), "p99_us": round(rank(0.99), 1)}


def _rounded(value: float | None) -> float | None:
    return None if value is None else round(value, 4)


Answer = Callable[[str], Sequence[str]]
Completer = Callable[[str, int, "tuple[int, ...] | None"], Sequence[str]]


def score(sessions: Sequence[Session], answer: Answer) -> Figures:
    """Scores ``answer`` (a normalised query to the completions shown, best
    first) over ``sessions``. Keystrokes whose text normalises to nothing
    (a leading space) are typed but not scored."""
    figures = Figures([Tally() for _ in LENGTHS], [Tally() for _ in LENGTHS], [], [])
    for session in sessions:
        shown_after: int | None = None
        for number, (query, after) in enumerate(zip(session.queries, session.after_typo), start=1):
            if not query:
                continue
            shown = list(answer(query))[:SHOWN]
            rank = shown.index(session.target) + 1 if session.target in shown else None
            slot = min(len(query), LONGEST) - 1
            figures.all[slot].add(rank)
            if after:
                figures.after_typo[slot].add(rank)
            if rank is not None and shown_after is None:
                shown_after = number
        figures.shown_after.append(shown_after)
        figures.typos.append(session.typos)
    return figures


def replay(
    sessions: Sequence[Session],
    complete: Completer,
    edits: Callable[[str], int],
    advance: Callable[[int], object] | None = None,
) -> Figures:
    """Scores ``complete(query, max_edits, None)`` (the completions of a
    normalised query, best first) over ``sessions``, each keystroke allowed
    ``edits(query)`` edits anywhere; each distinct call is made once."""
    calls: list[_Question] = list(dict.fromkeys((q, edits(q), None) for s in sessions for q in s.queries if q))
    answers, _took = _answers(calls, complete, advance)
    return score(sessions, lambda q: answers[(q, edits(q), None)])


_Question = tuple[str, int, "tuple[int, ...] | None"]


def _answers(
    calls: Sequence[_Question], complete: Completer, advance: Callable[[int], object] | None
) -> tuple[dict[_Question, tuple[str, ...]], dict[_Question, int]]:
    """Each call's completions and how long it took, in nanoseconds: the
    lesser of two runs, as one time stands for every keystroke that makes
    the call (a popular prefix, many), and a first run may meet cold pages
    or lose the processor."""
    answers: dict[_Question, tuple[str, ...]] = {}
    took: dict[_Question, int] = {}
    clock = time.perf_counter_ns
    for number, call in enumerate(calls, 1):
        started = clock()
        found = complete(*call)
        middle = clock()
        complete(*call)
        took[call] = min(middle - started, clock() - middle)
        answers[call] = tuple(found)[:SHOWN]
        if advance is not None and number % 256 == 0:
            advance(256)
    if advance is not None:
        advance(len(calls) % 256)
    return answers, took


def _engine_completer(index: Index, first_exact: bool) -> Completer:
    engine = index.engine
    if engine is None:
        raise OutdatedIndexError(
            f"{index.path}: built by an older quillon (index format 1), which stored no completions; "
            "rebuild it with quillon build to evaluate completions"
        )
    if not engine.has_completions:
        raise IndexLoadError(f"{index.path}: holds no completions; rebuild it with quillon build")

    def complete(query: str, max_edits: int, schedule: tuple[int, ...] | None) -> list[str]:
        return [hit[0] for hit in engine.complete(query, max_edits, SHOWN, first_exact, schedule)]

    return complete


# A call: the query, its edits, the first character held, its schedule.
_Call = tuple[str, int, bool, "tuple[int, ...] | None"]


def _call(budget: Budget, query: str) -> _Call:
    return (query, budget.edits(query), budget.first_exact, budget.schedule(query))


def evaluate(index: Index, sessions: Sequence[Session], budgets: Sequence[Budget], progress: Progress | None = None) -> list[Figures]:
    """The figures of ``index``'s completions over ``sessions`` under each
    budget, a call the budgets share made once; each with the time of the
    call that each scored keystroke needs (``Figures.nanoseconds``)."""
    progress = progress or Progress(enabled=False)
    completers = {first: _engine_completer(index, first) for first in {b.first_exact for b in budgets}}
    # One pass over every distinct call of every budget, then the scoring.
    calls = list(dict.fromkeys(_call(b, q) for b in budgets for s in sessions for q in s.queries if q))
    found: dict[_Call, tuple[str, ...]] = {}
    took: dict[_Call, int] = {}
    with progress.phase("completing", len(calls), " calls") as advance:
        for first, completer in completers.items():
            answers, times = _answers([(q, e, sch) for q, e, f, sch in calls if f == first], completer, advance)
            found.update(((q, e, first, sch), terms) for (q, e, sch), terms in answers.items())
            took.update(((q, e, first, sch), ns) for (q, e, sch), ns in times.items())
    figures = []
    for b in budgets:
        scored = score(sessions, _looked_up(found, b))
        scored.nanoseconds = [took[_call(b, q)] for s in sessions for q in s.queries if q]
        figures.append(scored)
    return figures


def _looked_up(found: dict[_Call, tuple[str, ...]], budget: Budget) -> Answer:
    return lambda query: found[_call(budget, query)]


# --------------------------------------------------------------------------
# The command
# --------------------------------------------------------------------------


def _fraction(text: str) -> float:
    value = float(text)
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be from 0 to 1, not {text}")
    return value


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {text}")
    return value


def _budget_type(text: str) -> str:
    try:
        budget(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return text


def add_eval_command(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> argparse.ArgumentParser:
    """Adds ``eval`` to the ``quillon`` command's subcommands."""
    parser = commands.add_parser(
        "eval",
        help="measure an index's completions by replaying held-out searches",
        description="Replay searches of HELD_OUT (a later slice of the log INDEX was built from, in any format "
        "quillon build reads) keystroke by keystroke, a share of them typed with typos, and report how often "
        "the search finally made is among the first 1, 5 and 10 completions (success@k), its mean reciprocal "
        "rank, by the length of the typed text, over all keystrokes and over those after a typo, and the "
        "keystrokes typed until it shows, under several edit budgets so that you can choose one.",
        epilog="example:\n  quillon eval site.idx held_out.parquet\n"
        "  quillon eval site.idx 'logs/2026-06/*.csv' --term query --sessions 2000 --budget default --budget 3/6 --json\n\n"
        "budgets: none (no edits), default (that of quillon.limits), A/B (one edit from A code points, two from "
        f"B), A (one from A, never two), each optionally +first (the first character held exact); by default "
        f"{' '.join(DEFAULT_BUDGETS)}",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("index", type=pathlib.Path, metavar="INDEX")
    parser.add_argument("held_out", nargs="+", metavar="HELD_OUT", help="Parquet, CSV or JSON Lines files, folders of them, or glob patterns")
    parser.add_argument("--format", choices=sorted(FORMATS), help="the format of every file (default: from each file name)")
    parser.add_argument("--term", default="term", metavar="COLUMN", help="the column of search terms (default: term)")
    parser.add_argument("--count", metavar="COLUMN", help="the column of counts; without it every row counts once (default: count, where present)")
    parser.add_argument("--sessions", type=_positive, default=DEFAULT_SESSIONS, metavar="N", help=f"searches replayed, drawn as they occur in the log (default: {DEFAULT_SESSIONS})")
    parser.add_argument("--typos", type=_fraction, default=DEFAULT_TYPOS, metavar="FRACTION", help=f"share of sessions typed with typos, a quarter of them with two (default: {DEFAULT_TYPOS})")
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED, help=f"seed of the draws and the typos (default: {DEFAULT_SEED})")
    parser.add_argument("--budget", action="append", type=_budget_type, metavar="BUDGET", help="an edit budget to score; repeat for several (default: those named below)")
    parser.add_argument("--json", action="store_true", help="the figures as one JSON object")
    parser.add_argument("--no-verify", dest="verify", action="store_false", help="skip the SHA-256 check; open an index without a manifest")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress")
    parser.set_defaults(run=run_eval, unverified_advice="; --no-verify opens it unverified, its queries not normalised")
    return parser


def run_eval(args: argparse.Namespace) -> int:
    """Runs ``quillon eval``: the report on standard output, progress on
    standard error where it is a terminal. Raises ``BuildError`` or
    ``IndexLoadError`` (naming the file) for input it cannot use."""
    started = time.perf_counter()
    index = Index.open(args.index, verify=args.verify)
    budgets = _budgets(args.budget or DEFAULT_BUDGETS)
    searches = read_searches([str(s) for s in args.held_out], args.term, args.count, args.format)
    sessions = make_sessions(searches, index.normalize, args.sessions, args.typos, args.seed)
    figures = evaluate(index, sessions, budgets, progress=Progress.for_terminal(args.quiet))
    report = _report(index, searches, sessions, budgets, figures, args, time.perf_counter() - started)
    if args.json:
        print(json.dumps(report, indent=2, ensure_ascii=False))
    else:
        _print_report(report)
    return 0


def _stored(index: Index, term: str) -> bool:
    engine = index.engine
    assert engine is not None
    return any(hit[0] == term for hit in engine.fuzzy_match(term, 0, 1))


def _report(
    index: Index,
    searches: Searches,
    sessions: Sequence[Session],
    budgets: Sequence[Budget],
    figures: Sequence[Figures],
    args: argparse.Namespace,
    seconds: float,
) -> dict[str, Any]:
    targets = {s.target for s in sessions}
    stored = {t for t in targets if _stored(index, t)}
    return {
        "index": str(index.path),
        "terms": index.manifest.terms if index.manifest is not None else None,
        "held_out": [str(path) for path in searches.files],
        "searches": searches.rows,
        "distinct_searches": len(searches.texts),
        "seed": args.seed,
        "typos": args.typos,
        "sessions": len(sessions),
        "typo_sessions": sum(s.typos > 0 for s in sessions),
        "two_typo_sessions": sum(s.typos > 1 for s in sessions),
        "sessions_not_stored": sum(s.target not in stored for s in sessions),
        "keystrokes": sum(len(s.queries) for s in sessions),
        "keystrokes_after_typo": sum(sum(s.after_typo) for s in sessions),
        "shown": SHOWN,
        "seconds": round(seconds, 3),
        "budgets": [dict(budget=b.to_json(), **f.to_json()) for b, f in zip(budgets, figures)],
    }


def _figure(value: float | None, digits: int = 3) -> str:
    return "-" if value is None else f"{value:.{digits}f}"


def _print_report(report: dict[str, Any]) -> None:
    terms = f" ({report['terms']:,} terms)" if report["terms"] is not None else ""
    print(f"index     {report['index']}{terms}")
    print(f"held out  {_names(report['held_out'])}: {report['searches']:,} searches, {report['distinct_searches']:,} distinct")
    print(
        f"sessions  {report['sessions']:,} drawn as searched (seed {report['seed']}): {report['typo_sessions']:,} typed with "
        f"typos ({report['two_typo_sessions']:,} with two); {report['sessions_not_stored']:,} searched what the index does "
        "not hold (never shown)"
    )
    print(
        f"keys      {report['keystrokes']:,} keystrokes, {report['keystrokes_after_typo']:,} after a typo; "
        f"'shows' = among the first {report['shown']}; {report['seconds']:.1f} s"
    )
    print("          (µs a keystroke: the completions of each keystroke as timed during the replay, an indication)")
    width = max(len(b["budget"]["name"]) for b in report["budgets"])
    heads = ("s@1", "s@5", "s@10", "MRR")
    print()
    print(f"{'budget':<{width}}  {'all keystrokes':^27}  {'after a typo':^27}  keystrokes to show (never)          µs a keystroke")
    print(
        f"{'':<{width}}  " + " ".join(f"{h:>6}" for h in heads) + "  " + " ".join(f"{h:>6}" for h in heads)
        + "  all          clean        typo          mean     p99"
    )
    for b in report["budgets"]:
        cells = []
        for part in ("overall", "after_typo"):
            t = b[part]
            cells.append(" ".join(f"{_figure(t[key]):>6}" for key in ("success_at_1", "success_at_5", "success_at_10", "mrr")))
        show = "  ".join(
            f"{_figure(s['mean_keystrokes'], 1):>5} ({s['never']:>4})" for s in (b["keystrokes_to_show"][w] for w in ("all", "clean", "typo"))
        )
        timing = b.get("timing")
        cost = f"  {timing['mean_us']:>6,.0f}  {timing['p99_us']:>6,.0f}" if timing else ""
        print(f"{b['budget']['name']:<{width}}  {cells[0]}  {cells[1]}  {show}{cost}")
    for b in report["budgets"]:
        print()
        print(f"{b['budget']['name']}, by typed length")
        print(f"{'length':>6}  {'keys':>6} " + " ".join(f"{h:>6}" for h in heads) + f"  {'keys':>6} " + " ".join(f"{h:>6}" for h in heads) + "  (after a typo)")
        for row, typo in zip(b["by_length"], b["after_typo_by_length"]):
            cells = []
            for t in (row, typo):
                cells.append(f"{t['keystrokes']:>6,} " + " ".join(f"{_figure(t[key]):>6}" for key in ("success_at_1", "success_at_5", "success_at_10", "mrr")))
            print(f"{row['length']:>6}  {cells[0]}  {cells[1]}")


def _main(argv: Sequence[str] | None = None) -> int:
    """``python -m quillon.build.evaluate``: the command on its own."""
    parser = argparse.ArgumentParser(prog="quillon")
    add_eval_command(parser.add_subparsers(required=True))
    args = parser.parse_args(argv)
    try:
        return run_eval(args)
    except (BuildError, IndexLoadError) as error:
        reason = error.reason if isinstance(error, IndexLoadError) else str(error)
        print(f"quillon: error: {reason}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(_main())
