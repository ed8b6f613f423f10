"""A realistic example video site to build, demonstrate and evaluate on: a
catalogue of videos and the log of the searches that led to them, written
as Parquet.

The catalogue (``make_catalog``) has the site's own video ids (11-character
ids like YouTube's by default, or integers, or UUIDs), multi-word titles
built from templates ("How to cook <dish> at home", "<artist> live at
<place> <year>", "<game> let's play part <n>", ...) and the bundled word
list, some with an ending ("| <guest>", "part <n>", "#shorts"), with
capitals, digits, punctuation and accents (Beyoncé, Crème brûlée), a
channel and a duration. Topics are shared by many videos, so popular
prefixes ("how to", "minecraft", "react") lead to thousands of them on a
catalogue of a million videos; a larger catalogue also draws on more of
the word list (more artists, places, things).

The search log (``make_site_log``) has one row per search that led to a
video, ``term`` and ``video_id``. A searcher picks a video (Zipf-like
popularity over videos) and types part of its title: a prefix cut at a word
boundary or in the middle of a word, a few of its words in order, rarely
all of it, now and then with a word of its own ("... lyrics"); mostly in
lower case, sometimes with capitals or without the accents, with stray
spaces, and about 8 % of searches with a typo (a
quarter of those with two): a letter replaced by a keyboard neighbour,
inserted, dropped, or swapped with the next one. Popular videos and shared
title words make a few terms searched thousands of times and a long tail
searched once. The held-out log is the same log continued: later searches
the index was not built from.

Rows are drawn in blocks of ``BLOCK_ROWS``, each from its own slice of the
raw 64-bit stream of numpy's PCG64 generator (a stream numpy keeps stable
across versions), so a seed always gives the same rows however the log is
split into part files, and a log of any size is written one part at a time
in bounded memory. Strings are assembled as byte matrices with numpy
indexing; Python loops run over templates, word lists and channel names
only.
"""

from __future__ import annotations

import functools
import math
import pathlib
import re
import tempfile
import unicodedata
from collections.abc import Iterator
from dataclasses import dataclass, replace
from typing import Literal, NamedTuple

import duckdb
import numpy as np
import numpy.typing as npt

from quillon.example import DEFAULT_SEED, load_words

__all__ = [
    "BLOCK_ROWS",
    "DEFAULT_HELD_OUT_ROWS",
    "DEFAULT_ROWS",
    "DEFAULT_SEED",
    "DEFAULT_VIDEOS",
    "FIRST_INT_ID",
    "MAX_TITLE_WORDS",
    "ROWS_PER_PART",
    "Catalog",
    "Site",
    "SiteIdKind",
    "SiteLog",
    "build_catalog",
    "make_catalog",
    "make_site",
    "make_site_log",
]

SiteIdKind = Literal["string", "int", "uuid"]
"""The video ids: "string" (11 characters of [A-Za-z0-9_-]), "int" (from
``FIRST_INT_ID`` up) or "uuid" (version-4 UUIDs as text)."""

DEFAULT_ROWS = 300_000
DEFAULT_VIDEOS = 30_000
DEFAULT_HELD_OUT_ROWS = 30_000
ROWS_PER_PART = 1_000_000  # what the example script puts in one part file
BLOCK_ROWS = 1 << 16  # rows drawn from one slice of the stream
MAX_TITLE_WORDS = 9
FIRST_INT_ID = 1_000_000

I32 = npt.NDArray[np.int32]
I64 = npt.NDArray[np.int64]
U8 = npt.NDArray[np.uint8]
U64 = npt.NDArray[np.uint64]
F64 = npt.NDArray[np.float64]
Objects = npt.NDArray[np.object_]

# Slices of the stream: each one has 2**64 draws to itself.
_VOCABULARY_SLICE = 0
_CATALOG_SLICE = 1
_FIRST_LOG_SLICE = 2

# Title families: (name, share of the catalogue, duration range in seconds,
# channel name endings, title templates). A {slot} is filled from the pool
# of that name; earlier templates and pool entries are more popular.
_FAMILIES: tuple[tuple[str, int, tuple[int, int], tuple[str, ...], tuple[str, ...]], ...] = (
    ("how to", 16, (90, 900), (" DIY", " Life Hacks", "Howto", " Explains"), (
        "How to {verb} {nouns}",
        "How to make {dish}",
        "How to {verb} {a_noun}",
        "How to {verb} {a_noun} in {minutes} minutes",
        "how to {verb} {nouns} (easy)",
        "How to cook {dish} at home",
        "How to {verb} your {noun} | step by step",
        "How to get {nouns} in {game}",
        "How to use {tech}",
    )),
    ("music", 16, (150, 330), (" VEVO", " Official", "Music", " Records"), (
        "{artist} - {Word} {Word} (official video)",
        "{artist} - {Word} (official audio)",
        "{artist} live at {place} {year}",
        "{artist} - {Word} {word} (lyrics)",
        "{artist} greatest hits",
        "{artist} - {Word} {Word} [live]",
        "{Word} {word} (official video)",
    )),
    ("gaming", 15, (300, 3600), (" Gaming", "Plays", " Games", "Craft"), (
        "{game} let's play part {episode}",
        "{game} {noun} build tutorial",
        "{game} speedrun world record",
        "I built {a_noun} in {game}",
        "{game} but every {noun} is {word}",
        "{game} {year} gameplay",
        "{game} funny moments {number_sign}",
        "{game} tips and tricks",
        "{game} episode {episode} - {Word} {Word}",
    )),
    ("programming", 12, (300, 10800), (" Academy", " Code", " Dev", " Tutorials"), (
        "{tech} tutorial for beginners",
        "{tech} full course {year}",
        "Learn {tech} in {minutes} minutes",
        "{tech} {tech_topic} explained",
        "{tech} crash course",
        "{tech} vs {tech}",
        "{tech} {tech_topic} tutorial {number_sign}",
        "{tech} in 100 seconds",
        "Build a {noun} app with {tech}",
        "{tech} tips and tricks",
    )),
    ("vlogs", 9, (180, 1500), (" Vlogs", "TV", " Daily", " Stories"), (
        "The history of {nouns}",
        "Why {nouns} are {word}",
        "{Noun} explained",
        "{name} interview {year}",
        "{Noun} ASMR",
        "{Word} {word} {word}",
        "My {noun} {word} vlog",
        "{name} reacts to {nouns}",
    )),
    ("cooking", 8, (180, 900), ("'s Kitchen", " Cooks", " Eats", " Bakes"), (
        "{dish} recipe",
        "Easy {dish} recipe",
        "{dish} in {minutes} minutes",
        "The best {dish} I have ever made",
        "{Noun} soup recipe | easy",
    )),
    ("lists", 7, (300, 1200), (" Top Tens", " Facts", " Ranked", " Lists"), (
        "Top {number} {nouns} of all time",
        "Top {number} {game} moments",
        "{number} best {nouns} in {year}",
        "Top {number} {artist} songs",
        "{number} things to do in {place}",
    )),
    ("travel", 6, (300, 1800), (" Travels", " Abroad", " Walks", " Journeys"), (
        "{place} travel guide {year}",
        "Walking tour of {place} 4K",
        "{place} vlog day {episode}",
        "A day in {place}",
        "{place} street food tour",
    )),
    ("reviews", 6, (240, 1200), (" Tech", " Reviews", " Unboxed", " Labs"), (
        "{product} review",
        "{product} unboxing",
        "{product} vs {product}",
        "Is the {product} worth it?",
        "{product} review: {number} months later",
    )),
    ("fitness", 5, (300, 2400), (" Fitness", " Yoga", " Workouts", " Training"), (
        "{minutes} minute {body} workout",
        "{body} workout for beginners",
        "{minutes} min {body} workout | no equipment",
        "Yoga for {nouns}",
    )),
)

# Endings added to some titles, when the title has room for them.
_SUFFIXES = (
    "| {name} {name}", "part {episode}", "({year})", "with {name}", "#shorts", "ft. {name}", "[4K]",
    "- {Word} edition", "in {place}", "for {nouns}", "(HD)", "| {Word} {word}", "day {episode}", "vs {name}",
)
_SUFFIX_SHARE = 0.5

_CURATED_POOLS: dict[str, tuple[str, ...]] = {
    "verb": (
        "draw", "make", "cook", "fix", "build", "paint", "clean", "grow", "play", "tie", "bake", "install",
        "change", "remove", "solve", "train", "cut", "fold", "repair", "sew", "knit", "plant", "wash",
        "replace", "sharpen", "unclog", "crochet", "carve", "brew", "decorate",
    ),
    "dish": (
        "Pancakes", "Banana bread", "Crème brûlée", "Lasagna", "Fried rice", "Ramen", "Pizza dough",
        "Sourdough bread", "Chicken curry", "Guacamole", "Crêpes", "Pad Thai", "Tiramisu", "Café au lait",
        "Jalapeño poppers", "Paella", "Ratatouille", "Croissants", "Piña colada", "Beef stew",
        "Mac and cheese", "Pho", "Sushi", "Falafel", "Brownies", "Cheesecake", "Crème fraîche",
        "Gruyère soufflé", "Pâté", "Flan", "Jambalaya", "Purée", "Smørrebrød", "Bibimbap", "Churros",
        "Pierogi", "Crème caramel", "Tacos al pastor", "Käsespätzle", "Soufflé",
    ),
    "game": (
        "Minecraft", "Fortnite", "Roblox", "Pokémon", "GTA 5", "Among Us", "Elden Ring", "Zelda",
        "Call of Duty", "League of Legends", "Valorant", "Terraria", "Stardew Valley", "Mario Kart 8",
        "Animal Crossing", "Skyrim", "Hollow Knight", "Apex Legends", "Rocket League", "The Sims 4",
        "Cyberpunk 2077", "Genshin Impact", "Pokémon GO", "Overwatch 2", "Dark Souls 3",
        "Counter-Strike 2", "Tetris", "Halo Infinite", "FIFA 23", "Baldur's Gate 3",
    ),
    "tech": (
        "React", "Python", "Excel", "JavaScript", "Java", "SQL", "Docker", "Linux", "Git", "CSS",
        "TypeScript", "Rust", "C++", "Kubernetes", "Node.js", "Flutter", "Django", "Angular", "Vue",
        "Swift", "Go", "PHP", "Photoshop", "Blender", "Unity", "Arduino", "Raspberry Pi", "Figma",
        "Power BI", "AWS", "Next.js", "Pandas", "NumPy", "Kotlin", "C#", "Bash", "Vim", "Godot",
        "Unreal Engine 5", "Premiere Pro",
    ),
    "tech_topic": (
        "hooks", "components", "state management", "arrays", "functions", "classes", "loops", "APIs",
        "routing", "unit testing", "pivot tables", "VLOOKUP", "animations", "shaders", "projects",
        "interview questions", "data structures", "async await", "decorators", "generics", "macros",
        "pointers", "regex", "closures", "recursion", "linked lists", "web scraping", "authentication",
        "forms", "modules", "error handling", "dictionaries", "formulas", "charts", "layers", "masks",
        "containers", "networking", "performance", "debugging",
    ),
    "artist": (
        "Taylor Swift", "Beyoncé", "Drake", "Adele", "Ed Sheeran", "Billie Eilish", "The Weeknd", "BTS",
        "Bad Bunny", "Rosalía", "Shakira", "Coldplay", "Eminem", "Rihanna", "Dua Lipa", "Bruno Mars",
        "Metallica", "Queen", "Daft Punk", "Björk", "Céline Dion", "Michael Bublé", "Sigur Rós",
        "Mötley Crüe", "Måneskin", "Stromae", "Édith Piaf", "Ariana Grande", "Imagine Dragons",
        "Red Hot Chili Peppers", "Linkin Park", "Nirvana", "ABBA", "AC/DC", "Blue Öyster Cult", "Motörhead",
    ),
    "place": (
        "Paris", "Tokyo", "New York", "London", "Wembley Stadium", "Coachella", "Glastonbury", "Red Rocks",
        "Bogotá", "São Paulo", "Montréal", "Zürich", "Reykjavík", "Köln", "Düsseldorf", "Kraków", "Málaga",
        "Berlin", "Rome", "Seoul", "Sydney", "Barcelona", "Lisbon", "Istanbul", "Bangkok", "Dubai",
        "Amsterdam", "Prague", "Vienna", "Budapest", "Cancún", "Curaçao", "Medellín", "Tromsø",
    ),
    "product": (
        "iPhone 15", "iPhone 15 Pro", "Galaxy S24", "Pixel 8", "MacBook Air", "MacBook Pro", "PlayStation 5",
        "Nintendo Switch", "Steam Deck", "AirPods Pro", "Tesla Model 3", "Apple Watch", "iPad Pro",
        "GoPro Hero 12", "Kindle", "Xbox Series X", "Meta Quest 3", "Dyson V15", "Sony A7 IV", "Vision Pro",
        "ThinkPad X1", "Roomba",
    ),
    "body": ("full body", "ab", "HIIT", "leg", "arm", "cardio", "back", "glute", "core", "stretching"),
    "number": ("10", "5", "3", "20", "7", "15", "25", "50", "100"),
    # Words a search adds to what it remembers of a title.
    "extra": (
        "lyrics", "tutorial", "video", "full", "new", "2024", "live", "song", "official", "review", "easy", "best",
        "game", "music", "recipe", "explained", "reaction", "shorts", "hd", "4k", "remix", "cover", "español",
        "karaoke", "trailer", "gameplay", "funny", "today", "2023", "edit",
    ),
    "minutes": ("10", "5", "15", "20", "30", "2", "60"),
    "year": tuple(str(year) for year in range(2024, 1979, -1)),
    "episode": tuple(str(episode) for episode in range(1, 501)),
    "number_sign": tuple(f"#{episode}" for episode in range(1, 201)),
}
# Pools drawn from the bundled word list, most popular first: how many
# entries each takes; then how flat each pool's popularity is (the offset
# of its Zipf weights 1 / (rank + offset); 1 where not given).
_WORD_POOL_SIZES = {"noun": 12_000, "word": 20_000, "name": 8000}
_GENERATED_ARTISTS = 20_000
_GENERATED_PLACES = 5000
_FULL_POOL_VIDEOS = 1_500_000  # a catalogue this large draws from the whole pools
_CHUNK_VIDEOS = 1 << 18  # titles made or spelled at a time
_POOL_OFFSETS = {"episode": 2.0, "number_sign": 2.0, "year": 3.0, "noun": 20.0, "nouns": 20.0, "a_noun": 20.0, "word": 20.0,
                 "Word": 20.0, "Noun": 20.0, "name": 20.0, "artist": 3.0, "place": 3.0}

# How a searcher typed part of a title: its shape, then its case.
_PREFIX, _CUT, _SUBSET, _WHOLE = range(4)
_SHAPE_SHARES = (0.45, 0.30, 0.17, 0.08)
_PREFIX_WORD_SHARES = (0.22, 0.25, 0.18, 0.12, 0.08, 0.06, 0.04, 0.03, 0.02)  # 1, 2, ... whole words
_CUT_WORD_SHARES = (0.25, 0.25, 0.18, 0.12, 0.08, 0.05, 0.03, 0.02, 0.02)  # 0, 1, ... words before the cut
_AS_TITLE, _LOWER, _UPPER, _CAPITAL = range(4)  # _CAPITAL: lower case with a capital first letter
_CASE_SHARES = (0.10, 0.80, 0.03, 0.07)
_BARE_SHARE = 0.5  # of searches for an accented title typed without the accents
_TITLE_CASE_SHARE = 0.15  # of titles With Every Word Capitalised
_TYPO_SHARE = 0.08  # of searches with a typo
_SECOND_TYPO_SHARE = 0.25  # of those, with two
_SUBSTITUTE, _INSERT, _DELETE, _TRANSPOSE = range(4)
_TYPO_SHARES = (0.35, 0.20, 0.25, 0.20)
_DOUBLED_SHARE = 0.3  # of inserted letters that repeat the letter before them
_STRAY_SPACE_SHARE = 0.02
_EXTRA_WORD_SHARE = 0.12  # of searches other than cut short that add a word to the title's
_VIDEO_POPULARITY_OFFSET = 10.0  # searches of the video of rank r: 1 / (r + 10) ** 0.75
_SHORTEST_SEARCH = 3  # bytes; a prefix of a title, with or without a cut, is rarely shorter

# Words of the list left out of titles: slurs, obscenities and the like.
_UNFIT = re.compile(
    r"(?:abortion|allah|anal|anus|ass|asshole|bastard|bitch|bomb|bomber|boob|booze|bra|breast|bugger|butt|christ"
    r"|chink|cock|coon|crap|cunt|damn|devil|dick|drug|dyke|erotic|erotica|eskimo|fag|fagot|faggot|fetish|fuck|gay"
    r"|genital|god|gook|gypsy|harlot|hell|heroin|hitler|homo|hooker|incest|islam|islamic|jap|jesus|jew|jewry|kike"
    r"|kill|killer|klan|lesbian|lewd|lynch|massacre|midget|murder|murderer|naked|nazi|naziism|negro|nigga|nigger"
    r"|nipple|nude|orgasm|penis|pimp|piss|poop|porn|prick|puke|pussy|queer|rape|rapist|retard|satan|semen|sex"
    r"|sexism|sexy|shit|slave|slaver|slut|sodom|sodomite|sodomy|sperm|spic|suicide|terror|terrorist|thong|tit"
    r"|torture|turd|twat|urine|vagina|vomit|wank|whore|wop)(?:s|es|ed|er|ers|ing|ly|y|z|a|as|az|ness|ism)?",
    re.IGNORECASE,
)
_KEYBOARD_ROWS = ("qwertyuiop", "asdfghjkl", "zxcvbnm")
_PUNCTUATION = "()[]{}|:!?,.\"-"  # dropped from the ends of words as typed
_ID_ALPHABET = np.frombuffer(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_", dtype=np.uint8)
_HEX_DIGITS = np.frombuffer(b"0123456789abcdef", dtype=np.uint8)
_SPACE = 32


class SiteLog(NamedTuple):
    """What ``make_site_log`` wrote: the log (a file, or a folder of
    ``files``) and its held-out continuation, if asked for."""

    path: pathlib.Path
    files: tuple[pathlib.Path, ...]
    rows: int
    held_out: pathlib.Path | None
    held_out_files: tuple[pathlib.Path, ...]
    held_out_rows: int


class Site(NamedTuple):
    """What ``make_site`` wrote in its folder."""

    catalog: pathlib.Path
    search_log: pathlib.Path
    held_out: pathlib.Path
    videos: int
    rows: int
    held_out_rows: int
    distinct_terms: int  # in the search log
    searched_videos: int  # videos the search log leads to


@dataclass(frozen=True, eq=False)
class Catalog:
    """The videos of a generated site, as ``make_site_log`` draws searches
    from them: titles as rows of word tokens, ids, popularity order."""

    seed: int
    id_kind: SiteIdKind
    titles: I32  # (videos, MAX_TITLE_WORDS) token ids, -1 after the last word
    ids: npt.NDArray[np.generic]  # int64 ids, or the UTF-8 bytes of text ids
    by_popularity: I64  # the video of each popularity rank, most popular first
    family: I64  # index into _FAMILIES
    channel: Objects  # str
    duration_s: I64
    path: pathlib.Path | None = None

    @property
    def videos(self) -> int:
        return int(self.titles.shape[0])

    def title(self, video: int) -> str:
        words = _vocabulary(self.seed)
        return " ".join(words.tokens[token] for token in self.titles[video].tolist() if token >= 0)


def build_catalog(videos: int = DEFAULT_VIDEOS, seed: int = DEFAULT_SEED, *, id_kind: SiteIdKind = "string") -> Catalog:
    """The catalogue of ``videos`` videos for ``seed``, in memory; the same
    for the same arguments, and the same but for the ids whatever
    ``id_kind``."""
    if videos < 1:
        raise ValueError(f"videos must be at least 1, not {videos}")
    if id_kind not in ("string", "int", "uuid"):
        raise ValueError(f"id_kind must be 'string', 'int' or 'uuid', not {id_kind!r}")
    words = _vocabulary(seed)
    draws = _Stream(seed, _CATALOG_SLICE)
    template = _pick(words.template_cumulative, draws.uniform(videos))
    slot_draws = draws.uniform(videos * _slots(words.templates)).reshape(videos, -1)
    suffix = _pick(words.suffix_cumulative, draws.uniform(videos))
    suffix_draws = draws.uniform(videos * _slots(words.suffixes)).reshape(videos, -1)
    suffixed = draws.uniform(videos) < _SUFFIX_SHARE
    title_case = draws.uniform(videos) < _TITLE_CASE_SHARE
    # A larger site has more artists, places, topics: the pools' share of
    # the word list grows with the square root of the catalogue.
    share = math.sqrt(min(1.0, videos / _FULL_POOL_VIDEOS))
    titles = np.empty((videos, MAX_TITLE_WORDS), dtype=np.int32)
    for start in range(0, videos, _CHUNK_VIDEOS):  # a chunk at a time: bounded memory
        part = slice(start, start + _CHUNK_VIDEOS)
        title = _filled(words, words.templates, template[part], slot_draws[part], share)
        # Many titles end with a part number, a guest, a year...: when it fits.
        ending = _filled(words, words.suffixes, suffix[part], suffix_draws[part], share)
        fits = suffixed[part] & ((title >= 0).sum(axis=1) + (ending >= 0).sum(axis=1) <= MAX_TITLE_WORDS)
        title[fits] = _packed(np.concatenate([title[fits], ending[fits]], axis=1), MAX_TITLE_WORDS)
        title[:, 0] = words.capitalized[title[:, 0]]
        every_word = title_case[part]
        title[every_word] = words.capitalized[title[every_word]]  # -1 stays -1
        titles[part] = title

    family = words.template_family[template]
    channel_draws, duration_draws = draws.uniform(videos), draws.uniform(2 * videos).reshape(2, videos)
    channel = np.empty(videos, dtype=object)
    duration = np.empty(videos, dtype=np.int64)
    for f, (_, _, (shortest, longest), endings, _) in enumerate(_FAMILIES):
        rows = np.flatnonzero(family == f)
        names = _channel_names(words, endings, max(4, rows.size // 25), seed, f)
        channel[rows] = names[_pick(_zipf(len(names), 1.0), channel_draws[rows])]
        # Most videos are short for their kind, a few long.
        duration[rows] = shortest + ((longest - shortest) * duration_draws[0, rows] * duration_draws[1, rows]).astype(np.int64)
    by_popularity = np.argsort(draws.uniform(videos), kind="stable").astype(np.int64)
    key = draws.bits(2)
    ids: npt.NDArray[np.generic]
    if id_kind == "int":
        ids = FIRST_INT_ID + np.arange(videos, dtype=np.int64)
    elif id_kind == "uuid":
        ids = _uuid_ids(videos, key)
    else:
        ids = _string_ids(videos, key[0])
    return Catalog(seed, id_kind, titles, ids, by_popularity, family, channel, duration)


def _slots(templates: list[list[tuple[list[int], str | None]]]) -> int:
    return max(sum(pool is not None for _, pool in elements) for elements in templates)


def _filled(
    words: _Vocabulary, templates: list[list[tuple[list[int], str | None]]], template: I64, slot_draws: F64, share: float
) -> I32:
    """Each row's template with its slots filled from their pools (``share``
    of what they draw from the word list) by its ``slot_draws``, as a row of
    ``MAX_TITLE_WORDS`` tokens."""
    filled = np.full((template.size, MAX_TITLE_WORDS), -1, dtype=np.int32)
    for t, elements in enumerate(templates):
        rows = np.flatnonzero(template == t)
        if rows.size == 0:
            continue
        pieces: list[I32] = []
        slot = 0
        for literal, pool in elements:
            if pool is None:
                pieces.append(np.broadcast_to(np.array(literal, dtype=np.int32), (rows.size, len(literal))))
            else:
                pieces.append(words.pools[pool].draw(slot_draws[rows, slot], share))
                slot += 1
        filled[rows] = _packed(np.concatenate(pieces, axis=1), MAX_TITLE_WORDS)
    return filled


def make_catalog(
    path: str | pathlib.Path,
    videos: int = DEFAULT_VIDEOS,
    seed: int = DEFAULT_SEED,
    *,
    id_kind: SiteIdKind = "string",
) -> Catalog:
    """Writes the catalogue of ``build_catalog`` as a Parquet file with the
    columns ``video_id`` (VARCHAR, or BIGINT for ``id_kind="int"``),
    ``title``, ``channel`` (VARCHAR) and ``duration_s`` (INTEGER), one row
    per video; returns it."""
    catalog = build_catalog(videos, seed, id_kind=id_kind)
    words = _vocabulary(seed)
    titles = np.concatenate([
        _as_bytes(_spelled(words, part, words.lengths[part])[0])
        for part in (catalog.titles[start : start + _CHUNK_VIDEOS] for start in range(0, catalog.videos, _CHUNK_VIDEOS))
    ])
    target = pathlib.Path(path)
    _copy(
        {"video_id": catalog.ids, "title": titles, "channel": catalog.channel, "duration_s": catalog.duration_s},
        f"SELECT {_text('video_id', catalog.id_kind)} AS video_id, decode(title) AS title, channel, "
        "duration_s::INTEGER AS duration_s FROM rows",
        target,
    )
    return replace(catalog, path=target)


def make_site_log(
    path: str | pathlib.Path,
    rows: int = DEFAULT_ROWS,
    seed: int = DEFAULT_SEED,
    *,
    catalog: Catalog | None = None,
    parts: int | None = None,
    held_out: str | pathlib.Path | None = None,
    held_out_rows: int = DEFAULT_HELD_OUT_ROWS,
) -> SiteLog:
    """Writes ``rows`` searches of ``catalog``'s videos (by default the
    default catalogue of ``seed``) with the columns ``term`` (VARCHAR) and
    ``video_id`` (of the catalogue's kind): one Parquet file at ``path``,
    or with ``parts`` a folder ``path`` of that many files
    ``part-00000.parquet``, ... of about equal size, written one at a time
    (earlier ``part-*.parquet`` files there are removed). With ``held_out``,
    writes there the next ``held_out_rows`` searches of the same log, in the
    same form (a folder of parts as large as the log's when ``parts`` is
    given). The rows are the same for the same ``seed`` and catalogue
    whatever ``parts``."""
    if rows < 1:
        raise ValueError(f"rows must be at least 1, not {rows}")
    if parts is not None and not 1 <= parts <= rows:
        raise ValueError(f"parts must be between 1 and rows ({rows}), not {parts}")
    if held_out is not None and held_out_rows < 1:
        raise ValueError(f"held_out_rows must be at least 1, not {held_out_rows}")
    if catalog is None:
        catalog = build_catalog(DEFAULT_VIDEOS, seed)
    target = pathlib.Path(path)
    last_block: dict[int, tuple[Objects, I64]] = {}
    files = _write_log(target, catalog, seed, 0, rows, parts, last_block)
    spare: pathlib.Path | None = None
    spare_files: tuple[pathlib.Path, ...] = ()
    if held_out is not None:
        spare = pathlib.Path(held_out)
        spare_parts = None if parts is None else max(1, math.ceil(held_out_rows / math.ceil(rows / parts)))
        spare_files = _write_log(spare, catalog, seed, rows, held_out_rows, spare_parts, last_block)
    return SiteLog(target, files, rows, spare, spare_files, held_out_rows if held_out is not None else 0)


def make_site(
    folder: str | pathlib.Path,
    rows: int = DEFAULT_ROWS,
    videos: int = DEFAULT_VIDEOS,
    seed: int = DEFAULT_SEED,
    *,
    held_out_rows: int | None = None,
    parts: int | None = None,
    id_kind: SiteIdKind = "string",
) -> Site:
    """Writes ``catalog.parquet``, the search log and its held-out
    continuation (``held_out_rows``, by default a tenth of ``rows``) in
    ``folder``: ``search_log.parquet`` and ``held_out.parquet``, or with
    ``parts`` the folders ``search_log/`` and ``held_out/`` of part files."""
    base = pathlib.Path(folder)
    base.mkdir(parents=True, exist_ok=True)
    catalog = make_catalog(base / "catalog.parquet", videos, seed, id_kind=id_kind)
    spare_rows = max(1, rows // 10) if held_out_rows is None else held_out_rows
    suffix = ".parquet" if parts is None else ""
    log = make_site_log(
        base / f"search_log{suffix}", rows, seed, catalog=catalog, parts=parts,
        held_out=base / f"held_out{suffix}", held_out_rows=spare_rows,
    )
    del catalog  # room for DuckDB to count in
    with tempfile.TemporaryDirectory() as spill:
        con = duckdb.connect(config={"temp_directory": spill, "memory_limit": "512MB"})
        try:
            con.execute("SET enable_progress_bar = false")  # its bar would go to standard output
            paths = ", ".join(_quoted(str(file)) for file in log.files)
            terms, searched = con.execute(
                f"SELECT count(DISTINCT term), count(DISTINCT video_id) FROM read_parquet([{paths}])"
            ).fetchall()[0]
        finally:
            con.close()
    return Site(base / "catalog.parquet", log.path, base / f"held_out{suffix}", videos, rows, spare_rows, terms, searched)


# -- the vocabulary: tokens, their typed forms, the pools and templates ------


class _Pool:
    """Phrases to fill a template slot, as rows of token ids (-1 after the
    last word), with Zipf-like popularity in their order."""

    def __init__(self, phrases: list[list[int]], offset: float, curated: int) -> None:
        width = max(len(phrase) for phrase in phrases)
        self.phrases = np.full((len(phrases), width), -1, dtype=np.int32)
        for i, phrase in enumerate(phrases):
            self.phrases[i, : len(phrase)] = phrase
        self.cumulative = _zipf(len(phrases), offset)
        self.width = width
        self.curated = curated  # always in use; the rest as the site grows

    def draw(self, uniform: F64, share: float = 1.0) -> I32:
        """Phrases for ``uniform`` draws from the pool's first ``curated``
        entries and ``share`` of the rest."""
        used = self.curated + math.ceil((len(self.phrases) - self.curated) * share)
        return self.phrases[_pick(self.cumulative[:used], uniform)]


class _Vocabulary:
    """Every token a title or a search can hold, with its UTF-8 spelling and
    its forms as typed, the pools of slot fillers and the templates."""

    def __init__(self, seed: int) -> None:
        self.tokens: list[str] = []
        self._index: dict[str, int] = {}
        draws = _Stream(seed, _VOCABULARY_SLICE)
        all_words = load_words()
        listed = [word for word in all_words if 3 <= len(word) <= 10 and word.isalpha() and not _UNFIT.fullmatch(word)]
        known = set(all_words)
        # Short words are the common ones: rank by length plus noise.
        by_use = [listed[i] for i in np.argsort(np.array([len(w) for w in listed]) + 6 * draws.uniform(len(listed)), kind="stable")]
        nouns = [w for w in by_use if w.islower() and f"{w}'s" in known and f"{w}s" in known][: _WORD_POOL_SIZES["noun"]]
        lower = [w for w in by_use if w.islower()][: _WORD_POOL_SIZES["word"]]
        names = [w for w in by_use if w[0].isupper() and w[1:].islower() and f"{w}'s" in known][: _WORD_POOL_SIZES["name"]]

        phrases: dict[str, list[str]] = {name: list(values) for name, values in _CURATED_POOLS.items()}
        phrases["noun"], phrases["nouns"] = nouns, [f"{w}s" for w in nouns]
        phrases["a_noun"] = [f"{'an' if w[0] in 'aeiou' else 'a'} {w}" for w in nouns]
        phrases["Noun"] = [w.capitalize() for w in nouns]
        phrases["word"], phrases["Word"] = lower, [w.capitalize() for w in lower]
        phrases["name"] = names
        pairs = (draws.uniform(2 * _GENERATED_ARTISTS) * len(names)).astype(np.int64).reshape(2, -1)
        phrases["artist"] += [f"{names[a]} {names[b]}" for a, b in zip(pairs[0].tolist(), pairs[1].tolist())]
        places = (draws.uniform(_GENERATED_PLACES) * len(names)).astype(np.int64)
        phrases["place"] += [names[i] for i in places.tolist()]
        self.names = names
        self.pools = {
            name: _Pool([self.phrase(text) for text in texts], _POOL_OFFSETS.get(name, 1.0), len(_CURATED_POOLS.get(name, ())))
            for name, texts in phrases.items()
        }

        self.templates: list[list[tuple[list[int], str | None]]] = []
        family_of: list[int] = []
        weights: list[float] = []
        for f, (_, share, _, _, templates) in enumerate(_FAMILIES):
            template_weights = 1.0 / (np.arange(len(templates)) + 2.0)
            # A running sum, not .sum(): its order of additions is fixed.
            for template, weight in zip(templates, (share * template_weights / np.cumsum(template_weights)[-1]).tolist()):
                self.templates.append(self._template(template))
                family_of.append(f)
                weights.append(weight)
        self.template_family = np.array(family_of, dtype=np.int64)
        self.template_cumulative = np.cumsum(np.array(weights))
        self.suffixes = [self._template(suffix, fewest_words=1) for suffix in _SUFFIXES]
        self.suffix_cumulative = _zipf(len(_SUFFIXES), 1.0)

        # Titles hold these tokens and their capitalised forms (which are
        # their own). Their forms as typed, [case][bare], are tokens too but
        # never in a title. "-" and "|" have no typed form (-1). A last entry
        # stands for the -1 of "no token", so that indexing with -1 gives -1.
        capitals = [self.token(_capitalized(text)) for text in list(self.tokens)]
        capitals += range(len(capitals), len(self.tokens))
        forms: list[list[int]] = []
        for i, text in enumerate(self.tokens[: len(capitals)]):
            plain = text.strip(_PUNCTUATION)
            if plain == text and text.islower():  # most words: spare the look-ups
                typed = [i, i, self.token(text.upper()), capitals[i]]
            else:
                lowered = plain.lower()
                typed = [self.token(form) if form else -1 for form in (text, lowered, plain.upper(), _capitalized(lowered))]
            if text.isascii():
                forms.append([form for form in typed for _ in (0, 1)])
            else:
                bare = [-1 if token < 0 else self.token(_without_accents(self.tokens[token])) for token in typed]
                forms.append([form for pair in zip(typed, bare) for form in pair])
        self.capitalized = np.array(capitals + [-1], dtype=np.int32)
        self.forms = np.ascontiguousarray(np.array(forms + [[-1] * 8], dtype=np.int32).T.reshape(4, 2, -1))
        spellings = [token.encode() for token in self.tokens]
        self.lengths = np.array([len(spelled) for spelled in spellings] + [0], dtype=np.int64)
        self.spelling = np.zeros((len(spellings) + 1, int(self.lengths.max())), dtype=np.uint8)
        row = np.repeat(np.arange(len(spellings)), self.lengths[:-1])
        column = np.arange(row.size) - np.repeat(np.cumsum(self.lengths[:-1]) - self.lengths[:-1], self.lengths[:-1])
        self.spelling[row, column] = np.frombuffer(b"".join(spellings), dtype=np.uint8)

    def token(self, text: str) -> int:
        index = self._index.setdefault(text, len(self.tokens))
        if index == len(self.tokens):
            self.tokens.append(text)
        return index

    def phrase(self, text: str) -> list[int]:
        return [self.token(word) for word in text.split()]

    def _template(self, template: str, fewest_words: int = 2) -> list[tuple[list[int], str | None]]:
        elements: list[tuple[list[int], str | None]] = []
        for piece in re.split(r"(\{\w+\})", template):
            if piece.startswith("{"):
                elements.append(([], piece[1:-1]))
            elif piece.strip():
                elements.append((self.phrase(piece), None))
        most = sum(len(literal) if pool is None else self.pools[pool].width for literal, pool in elements)
        fewest = sum(len(literal) if pool is None else 1 for literal, pool in elements)
        if fewest < fewest_words or most > MAX_TITLE_WORDS:
            raise ValueError(f"template {template!r} makes titles of {fewest} to {most} words")
        return elements


@functools.lru_cache(maxsize=4)
def _vocabulary(seed: int) -> _Vocabulary:
    return _Vocabulary(seed)


def _capitalized(text: str) -> str:
    """``text`` with a capital first letter if it is all in lower case
    ("iPhone" stays as it is)."""
    return text[:1].upper() + text[1:] if text.islower() else text


def _without_accents(text: str) -> str:
    return "".join(c for c in unicodedata.normalize("NFKD", text) if not unicodedata.combining(c))


def _channel_names(words: _Vocabulary, endings: tuple[str, ...], count: int, seed: int, family: int) -> Objects:
    draws = _Stream(seed, _CATALOG_SLICE).advanced(1 + family)
    name = (draws.uniform(count) * len(words.names)).astype(np.int64).tolist()
    ending = (draws.uniform(count) * len(endings)).astype(np.int64).tolist()
    return np.array([words.names[n] + endings[e] for n, e in zip(name, ending)], dtype=object)


# -- the log -----------------------------------------------------------------


def _write_log(
    target: pathlib.Path,
    catalog: Catalog,
    seed: int,
    first_row: int,
    rows: int,
    parts: int | None,
    last_block: dict[int, tuple[Objects, I64]],
) -> tuple[pathlib.Path, ...]:
    """Writes rows ``first_row`` .. ``first_row + rows`` of the log: one file
    at ``target``, or ``parts`` part files in the folder ``target``;
    ``last_block`` carries the block that files on either side share."""
    if parts is None:
        files = [(target, first_row, first_row + rows)]
    else:
        target.mkdir(parents=True, exist_ok=True)
        for stale in target.glob("part-*.parquet"):
            stale.unlink()
        bounds = [first_row + rows * p // parts for p in range(parts + 1)]
        files = [(target / f"part-{p:05d}.parquet", bounds[p], bounds[p + 1]) for p in range(parts)]
    for file, start, stop in files:
        terms, videos = zip(*_searches(catalog, seed, start, stop, last_block))
        video = np.concatenate(videos)
        _copy(
            {"term": np.concatenate(terms), "video_id": catalog.ids[video]},
            f"SELECT decode(term) AS term, {_text('video_id', catalog.id_kind)} AS video_id FROM rows",
            file,
        )
    return tuple(file for file, _, _ in files)


def _searches(
    catalog: Catalog, seed: int, start: int, stop: int, last_block: dict[int, tuple[Objects, I64]]
) -> Iterator[tuple[Objects, I64]]:
    """Rows ``start`` .. ``stop`` of the log, block by block: each term's
    UTF-8 bytes and the index of the video it led to. ``last_block`` keeps
    the last block drawn, for the next call."""
    for block in range(start // BLOCK_ROWS, (stop + BLOCK_ROWS - 1) // BLOCK_ROWS):
        if block not in last_block:
            last_block.clear()
            last_block[block] = _block(catalog, seed, block)
        terms, videos = last_block[block]
        low = max(start - block * BLOCK_ROWS, 0)
        high = min(stop - block * BLOCK_ROWS, BLOCK_ROWS)
        yield terms[low:high], videos[low:high]


@functools.lru_cache(maxsize=2)
def _popularity(videos: int) -> F64:
    return _zipf(videos, _VIDEO_POPULARITY_OFFSET, exponent=0.75)


def _block(catalog: Catalog, seed: int, block: int) -> tuple[Objects, I64]:
    """The ``BLOCK_ROWS`` searches of block ``block`` of the log."""
    words = _vocabulary(catalog.seed)
    n = BLOCK_ROWS
    draws = _Stream(seed, _FIRST_LOG_SLICE + block)
    video = catalog.by_popularity[_pick(_popularity(catalog.videos), draws.uniform(n))]
    u = draws.uniform(n * 19).reshape(19, n)
    keys = draws.uniform(n * MAX_TITLE_WORDS).reshape(n, MAX_TITLE_WORDS)
    row = np.arange(n)
    position = np.arange(MAX_TITLE_WORDS)

    title = catalog.titles[video].astype(np.int64)
    title_words = (title >= 0).sum(axis=1)
    shape = _pick(np.cumsum(_SHAPE_SHARES), u[0])
    case = _pick(np.cumsum(_CASE_SHARES), u[1])
    bare = (u[2] < _BARE_SHARE).astype(np.int64)
    typed = words.forms[case[:, None], bare[:, None], title]  # -1 where no word
    has_form = typed >= 0

    # Which of the title's words were typed, and which of them was cut short;
    # a prefix is at least _SHORTEST_SEARCH bytes long if the title is.
    typed_lengths = words.lengths[typed]
    prefix_lengths = np.cumsum(typed_lengths + has_form, axis=1) - 1
    reaches = prefix_lengths >= _SHORTEST_SEARCH
    long_enough = np.where(reaches.any(axis=1), np.argmax(reaches, axis=1), title_words - 1)
    prefix_words = np.clip(_pick(np.cumsum(_PREFIX_WORD_SHARES), u[3]) + 1, long_enough + 1, title_words)
    cut_at = np.clip(_pick(np.cumsum(_CUT_WORD_SHARES), u[3]), long_enough, title_words - 1)
    # Words of one or two letters are left out of a few words picked.
    chosen_keys = np.where(has_form, keys + (typed_lengths < _SHORTEST_SEARCH), 3.0)
    subset_size = np.minimum(2 + (u[4] < 0.35), has_form.sum(axis=1))
    threshold = np.sort(chosen_keys, axis=1)[row, np.maximum(subset_size - 1, 0)]
    chosen = np.select(
        [shape[:, None] == _PREFIX, shape[:, None] == _CUT, shape[:, None] == _SUBSET],
        [position < prefix_words[:, None], position <= cut_at[:, None], chosen_keys <= threshold[:, None]],
        position < title_words[:, None],
    ) & has_form
    cut = (shape == _CUT) & has_form[row, cut_at]

    # Searches in _CAPITAL case capitalise only their first word.
    packed = _packed(np.where(chosen, typed, -1), MAX_TITLE_WORDS)
    capital = np.flatnonzero(case == _CAPITAL)
    rest = _packed(np.where(chosen[capital], words.forms[_LOWER, bare[capital, None], title[capital]], -1), MAX_TITLE_WORDS)
    packed[capital, 1:] = rest[:, 1:]
    count = (packed >= 0).sum(axis=1)
    # Some add a word of their own: "... lyrics", "... tutorial".
    extra = np.flatnonzero((shape != _CUT) & (u[17] < _EXTRA_WORD_SHARE) & (count < MAX_TITLE_WORDS))
    extra_word = words.pools["extra"].draw(u[18][extra])[:, 0]
    packed[extra, count[extra]] = words.forms[np.where(case[extra] == _CAPITAL, _LOWER, case[extra]), bare[extra], extra_word]
    count[extra] += 1
    lengths = words.lengths[packed]
    # A cut keeps at least one character, and enough for the whole search.
    last = np.maximum(count - 1, 0)
    cut_word = packed[row, last]
    full = lengths[row, last]
    shortest = np.maximum(1, _SHORTEST_SEARCH - (prefix_lengths[row, cut_at] - typed_lengths[row, cut_at]))
    cut &= full > shortest
    kept = shortest + (u[5] * (full - shortest)).astype(np.int64)
    for _ in range(3):  # not inside a character of several bytes
        inside = cut & (kept < full) & ((words.spelling[cut_word, np.minimum(kept, words.spelling.shape[1] - 1)] & 0xC0) == 0x80)
        kept += inside
    lengths[row[cut], last[cut]] = kept[cut]

    spelled, length = _spelled(words, packed, lengths, slack=3)
    typo = u[6] < _TYPO_SHARE
    typo[typo] = _LETTER[spelled[typo]].sum(axis=1) >= 3  # something to misspell
    for kinds, u_position, u_letter in ((u[7], u[8], u[9]), (u[11], u[12], u[13])):
        rows = np.flatnonzero(typo)
        spelled[rows], length[rows] = _misspelled(
            spelled[rows], length[rows], _pick(np.cumsum(_TYPO_SHARES), kinds[rows]), u_position[rows], u_letter[rows]
        )
        typo &= u[10] < _SECOND_TYPO_SHARE
        typo[typo] = _LETTER[spelled[typo]].sum(axis=1) >= 5
    stray = np.flatnonzero(u[14] < _STRAY_SPACE_SHARE)
    spelled[stray], length[stray] = _spaced(spelled[stray], length[stray], u[15][stray], u[16][stray])
    return _as_bytes(spelled), video


def _misspelled(spelled: U8, length: I64, kind: I64, u_position: F64, u_letter: F64) -> tuple[U8, I64]:
    """Each row with one typo of its ``kind`` at an ASCII letter (so the
    UTF-8 stays whole); a row with no two different adjacent letters to
    swap gets a substitution instead."""
    m, width = spelled.shape
    column = np.arange(width)
    letter = _LETTER[spelled] & (column < length[:, None])
    swappable = np.zeros_like(letter)
    swappable[:, :-1] = letter[:, :-1] & letter[:, 1:] & (spelled[:, :-1] != spelled[:, 1:])
    kind = np.where((kind == _TRANSPOSE) & ~swappable.any(axis=1), _SUBSTITUTE, kind)
    candidates = np.where((kind == _TRANSPOSE)[:, None], swappable, letter)
    nth = (u_position * candidates.sum(axis=1)).astype(np.int64)
    at = np.argmax(np.cumsum(candidates, axis=1) > nth[:, None], axis=1)
    row = np.arange(m)
    original = spelled[row, at]
    near = _neighbour(original, np.where(kind == _INSERT, (u_letter - _DOUBLED_SHARE) / (1 - _DOUBLED_SHARE), u_letter))
    source = np.broadcast_to(column, (m, width)).copy()
    source += (kind == _DELETE)[:, None] & (column >= at[:, None])
    source -= (kind == _INSERT)[:, None] & (column > at[:, None])
    swap = np.flatnonzero(kind == _TRANSPOSE)
    source[swap, at[swap]] += 1
    source[swap, at[swap] + 1] -= 1
    result = np.take_along_axis(spelled, np.minimum(source, width - 1), axis=1)
    substitute = np.flatnonzero(kind == _SUBSTITUTE)
    result[substitute, at[substitute]] = near[substitute]
    insert = np.flatnonzero(kind == _INSERT)
    result[insert, at[insert] + 1] = np.where(u_letter[insert] < _DOUBLED_SHARE, original[insert], near[insert])
    length = length + (kind == _INSERT) - (kind == _DELETE)
    result[column >= length[:, None]] = 0
    return result, length


def _spaced(spelled: U8, length: I64, u_where: F64, u_position: F64) -> tuple[U8, I64]:
    """Each row with a stray space: before it, after it, or doubling one of
    its spaces (after it when it has none)."""
    m, width = spelled.shape
    column = np.arange(width)
    spaces = (spelled == _SPACE) & (column < length[:, None])
    where = _pick(np.array([0.3, 0.7, 1.0]), u_where)
    nth = (u_position * spaces.sum(axis=1)).astype(np.int64)
    doubled = np.argmax(np.cumsum(spaces, axis=1) > nth[:, None], axis=1)
    at = np.select([where == 0, (where == 2) & spaces.any(axis=1)], [np.zeros_like(length), doubled], length)
    source = column[None, :] - (column[None, :] > at[:, None])
    result = np.take_along_axis(spelled, np.maximum(source, 0), axis=1)
    result[np.arange(m), at] = _SPACE
    length = length + 1
    result[column >= length[:, None]] = 0
    return result, length


def _neighbour(letters: U8, u: F64) -> U8:
    """A key next to each ASCII letter on a QWERTY keyboard, in its case."""
    lower = letters | 0x20
    choice = (np.clip(u, 0.0, 1.0 - 1e-12) * _NEIGHBOUR_COUNT[lower]).astype(np.int64)
    near: U8 = _NEIGHBOURS[lower, choice]
    return np.where(letters < ord("a"), near & 0xDF, near).astype(np.uint8)


def _keyboard() -> tuple[U8, I64]:
    """For each lower-case letter's byte, the keys around it and how many."""
    table = np.zeros((256, 8), dtype=np.uint8)
    count = np.ones(256, dtype=np.int64)
    for r, keys in enumerate(_KEYBOARD_ROWS):
        for c, key in enumerate(keys):
            near = [
                other[j]
                for r2, other in enumerate(_KEYBOARD_ROWS)
                if abs(r2 - r) <= 1
                for j in range(max(0, c - 1), min(len(other), c + 2))
                if other[j] != key
            ]
            table[ord(key), : len(near)] = np.frombuffer(bytes("".join(near[:8]), "ascii"), dtype=np.uint8)
            count[ord(key)] = min(len(near), 8)
    return table, count


_NEIGHBOURS, _NEIGHBOUR_COUNT = _keyboard()
_LETTER = np.zeros(256, dtype=bool)
_LETTER[ord("a") : ord("z") + 1] = _LETTER[ord("A") : ord("Z") + 1] = True


# -- strings as byte matrices ------------------------------------------------


def _packed(tokens: npt.NDArray[np.integer], width: int) -> I32:
    """Each row's tokens (>= 0) moved to its front, in order, then -1s."""
    present = tokens >= 0
    rows, columns = np.nonzero(present)
    packed = np.full((tokens.shape[0], max(width, tokens.shape[1])), -1, dtype=np.int32)
    packed[rows, (np.cumsum(present, axis=1) - 1)[rows, columns]] = tokens[rows, columns]
    return packed[:, :width]


def _spelled(words: _Vocabulary, tokens: npt.NDArray[np.integer], lengths: I64, slack: int = 0) -> tuple[U8, I64]:
    """The UTF-8 bytes of each row's packed tokens joined by spaces, each
    token cut to its ``lengths`` entry, then zeros (at least ``slack`` + 1);
    the rows' byte lengths."""
    advance = lengths + (lengths > 0)
    starts = np.cumsum(advance, axis=1) - advance
    total = np.maximum(advance.sum(axis=1) - 1, 0)
    width = int(total.max(initial=0)) + slack + 1
    spelled = np.zeros((tokens.shape[0], width), dtype=np.uint8)
    flat = spelled.reshape(-1)
    # Each byte's place in the spellings, and how far it moves from there.
    rows, columns = np.nonzero(lengths)
    size = lengths[rows, columns]
    at = rows * width + starts[rows, columns]
    origin = tokens[rows, columns].astype(np.int64) * words.spelling.shape[1]
    source = np.arange(int(size.sum())) + np.repeat(origin - (np.cumsum(size) - size), size)
    flat[source + np.repeat(at - origin, size)] = words.spelling.reshape(-1)[source]
    flat[at[columns > 0] - 1] = _SPACE
    return spelled, total


def _as_bytes(spelled: U8) -> Objects:
    """Each row as a bytes object (the zero bytes after it dropped)."""
    return np.ascontiguousarray(spelled).view(f"S{spelled.shape[1]}").ravel().astype(object)


def _string_ids(videos: int, key: np.uint64) -> Objects:
    """11-character ids like YouTube's: 64 bits, 6 to a character and 4 in
    the last; a bijection of the video index, so never two alike."""
    bits = _mixed(np.arange(videos, dtype=np.uint64) ^ key, 64)
    spelled = np.empty((videos, 11), dtype=np.uint8)
    for i in range(10):
        spelled[:, i] = _ID_ALPHABET[((bits >> np.uint64(58 - 6 * i)) & np.uint64(63)).astype(np.intp)]
    spelled[:, 10] = _ID_ALPHABET[((bits & np.uint64(15)) << np.uint64(2)).astype(np.intp)]
    return _as_bytes(spelled)


def _uuid_ids(videos: int, key: U64) -> Objects:
    """Version-4 UUIDs whose low 62 bits are a bijection of the video index."""
    index = np.arange(videos, dtype=np.uint64)
    high = (_mixed(index ^ key[0], 64) & ~np.uint64(0xF000)) | np.uint64(0x4000)
    low = _mixed(index ^ (key[1] >> np.uint64(2)), 62) | np.uint64(1 << 63)
    spelled = np.full((videos, 36), ord("-"), dtype=np.uint8)
    columns = [c for c in range(36) if c not in (8, 13, 18, 23)]  # 8-4-4-4-12 hex digits
    for i, column in enumerate(columns):
        half = high if i < 16 else low
        spelled[:, column] = _HEX_DIGITS[((half >> np.uint64(60 - 4 * (i % 16))) & np.uint64(15)).astype(np.intp)]
    return _as_bytes(spelled)


def _mixed(x: U64, bits: int) -> U64:
    """A bijection of [0, 2**bits) that scatters neighbours (splitmix64's
    finaliser, reduced modulo 2**bits)."""
    mask = np.uint64((1 << bits) - 1)
    x = x & mask
    x ^= x >> np.uint64(30)
    x = (x * np.uint64(0xBF58476D1CE4E5B9)) & mask
    x ^= x >> np.uint64(27)
    x = (x * np.uint64(0x94D049BB133111EB)) & mask
    x ^= x >> np.uint64(31)
    return x


# -- draws -------------------------------------------------------------------


class _Stream:
    """Uniform doubles in [0, 1) and raw bits from one slice of 2**64 draws
    of the raw PCG64 stream seeded with ``seed``."""

    def __init__(self, seed: int, slice_index: int) -> None:
        self._seed = seed
        self._slice = slice_index
        self._bits = np.random.PCG64(seed)
        self._bits.advance(slice_index << 64)

    def advanced(self, sub_slice: int) -> _Stream:
        """A stream of its own inside this slice, ``sub_slice`` * 2**48 draws on."""
        stream = _Stream(self._seed, self._slice)
        stream._bits.advance(sub_slice << 48)
        return stream

    def uniform(self, count: int) -> F64:
        raw = self._bits.random_raw(count)
        return np.asarray(raw >> np.uint64(11), dtype=np.float64) * 2.0**-53

    def bits(self, count: int) -> U64:
        return np.asarray(self._bits.random_raw(count), dtype=np.uint64)


def _zipf(count: int, offset: float, exponent: float = 1.0) -> F64:
    """Cumulative weights 1 / (rank + offset) ** ``exponent`` (1 or 3/4) of
    ranks 1 .. ``count``, from operations IEEE 754 rounds exactly (square
    roots, not powers), so the same on every machine."""
    ranks = np.arange(1, count + 1, dtype=np.float64) + offset
    if exponent == 0.75:
        root = np.sqrt(ranks)
        ranks = root * np.sqrt(root)
    elif exponent != 1.0:
        raise ValueError(f"exponent must be 1 or 0.75, not {exponent}")
    return np.cumsum(1.0 / ranks)


def _pick(cumulative: F64, uniform: F64) -> I64:
    """Indices drawn with the weights whose running sums are ``cumulative``."""
    chosen: I64 = np.searchsorted(cumulative, uniform * cumulative[-1], side="right").astype(np.int64)
    return np.minimum(chosen, cumulative.size - 1)


# -- writing -----------------------------------------------------------------


def _text(column: str, id_kind: SiteIdKind) -> str:
    return column if id_kind == "int" else f"decode({column})"


def _copy(columns: dict[str, npt.NDArray[np.generic]], select: str, target: pathlib.Path) -> None:
    """Writes ``select`` over the numpy ``columns`` (the table ``rows``) as
    a Parquet file at ``target``."""
    with tempfile.TemporaryDirectory() as spill:
        con = duckdb.connect(config={"temp_directory": spill})
        try:
            con.execute("SET enable_progress_bar = false")  # its bar would go to standard output
            con.register("rows", columns)
            con.execute(f"COPY ({select}) TO {_quoted(str(target))} (FORMAT parquet)")
        finally:
            con.close()


def _quoted(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"

