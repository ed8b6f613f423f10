"""Nothing leaks: a million mixed calls (successes and every kind of failure)
leave the process's memory flat after warm-up, and no call changes the
reference count of its arguments, of its receiver or of what it returns.

The mix of calls is shared with test_threads.py."""

from __future__ import annotations

import dataclasses
import sys
from typing import Any, Callable

import pytest

import _quillon
from conftest import OVERRUNNING_ARRAYS
from interpreter import run_isolated
from trie_builders import terms_arrays

PrefixSearch = _quillon.PrefixSearch

# --- the mix of calls ------------------------------------------------------------------------------------

VIDEO_TERMS = ["car", "cart", "carton", "cat", "cut", "dog", "dot", "über", "日本", "a\U0001f600"]


def video_arrays(id_bytes=4):
    """Terms with payloads whose counts give every video a distinct score for
    the queries of the mix (so no answer has ties)."""
    arrays = terms_arrays(VIDEO_TERMS, video_top_n=6)
    terminal = [i for i, p in enumerate(arrays["payloads"]) if p is not None]
    for k, node in enumerate(terminal):
        ids = [(k * 3 + j) % 11 for j in range(3)]
        counts = [3**j * 10 + k * k + 7 * j for j in range(3)]
        arrays["payloads"][node] = (sum(counts), ids, counts)
    arrays["video_index"] = [bytes([j + 1]) * id_bytes for j in range(11)]
    return arrays


class Index:
    """An integer known only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Refusing:
    """An object whose __index__ fails with an error of its own."""

    class Refused(Exception):
        pass

    def __index__(self):
        raise Refusing.Refused("no integer here")


def with_(arrays, **changes):
    return {**arrays, **changes}


def stored(*parts: bytes) -> bytes:
    return b"".join(parts)


# Bytes that from_bytes refuses, one per kind of decode failure, and arrays
# that contradict each other.
BAD_BYTES = {
    "empty": b"",
    "cut count": b"\xfc\x01",
    "u64 where u32": b"\x01\xfd" + bytes(8),
    "u128 count": b"\xfe",
    "reserved count": b"\xff",
    "huge count": b"\xfc\xff\xff\xff\xff",
    "bad char": b"\x00\x01\xff",
    "surrogate": b"\x00\x01\xed\xa0\x80",
    "payload tag": b"\x00\x00\x00\x01\x02",
    "id mode": bytes(6) + b"\x02\x00",
    "boolean": bytes(7) + b"\x01\x02",
    "lengths": b"\x01\x00" + bytes(6),
    "child range": stored(b"\x01\x00", b"\x01\x00", b"\x01\x05", b"\x01\x00", b"\x00\x00\x00", b"\x01\x00"),
    "ids and counts": stored(
        b"\x01\x00", b"\x01\x00", b"\x00", b"\x01\x01\x00\x01\x01\x00", b"\x00\x00\x00", b"\x01\x01"
    ),
}


@dataclasses.dataclass(frozen=True)
class Call:
    label: str
    run: Callable[[], Any]
    raises: type | None = None  # the exception the call must raise


def _panic_type():
    try:
        PrefixSearch.from_internal_data_v2(**OVERRUNNING_ARRAYS)
    except BaseException as exc:  # noqa: BLE001
        return type(exc)
    raise AssertionError("overrunning arrays were accepted")


def mixed_calls(search=None) -> list[Call]:
    """Every method on its success paths and on every kind of failure: binding,
    receiver, conversion, overflow, decode errors, each construction check and
    the internal error."""
    panic = _panic_type()
    arrays = video_arrays()
    uuid_arrays = video_arrays(16)
    s = search or PrefixSearch.from_internal_data_v2(**arrays)
    u = PrefixSearch.from_internal_data_v2(**uuid_arrays)
    good = s.to_bytes()
    calls = [
        # searches that find something, nothing, or are cut by a limit
        Call("match", lambda: s.fuzzy_match("cat")),
        Call("match far", lambda: s.fuzzy_match("carts", 2)),
        Call("match limit", lambda: s.fuzzy_match("cat", 1, 2)),
        Call("match limit 0", lambda: s.fuzzy_match("ca", 3, 0)),
        Call("match none", lambda: s.fuzzy_match("zzzzzz", 1)),
        Call("match keywords", lambda: s.fuzzy_match(term="日", max_dist=Index(1), limit=None)),
        Call("match empty", lambda: s.fuzzy_match("", 2)),
        Call("video", lambda: s.fuzzy_match_video("cat")),
        Call("video uuid", lambda: u.fuzzy_match_video("car", 2, 4)),
        Call("video prefix", lambda: s.fuzzy_match_video("ca", 1, None, True, 0.0)),
        Call("video terminal only", lambda: s.fuzzy_match_video("do", 1, None, False)),
        Call("video min score", lambda: s.fuzzy_match_video("dot", 2, min_score=0.2)),
        Call("video none", lambda: s.fuzzy_match_video("qqqq")),
        Call("to_bytes", s.to_bytes),
        Call("from_bytes", lambda: PrefixSearch.from_bytes(good)),
        Call("from_bytes trailing", lambda: PrefixSearch.from_bytes(good + b"\xff\x00")),
        Call("build", lambda: PrefixSearch.from_internal_data_v2(**arrays)),
        Call("build uuid", lambda: PrefixSearch.from_internal_data_v2(**uuid_arrays)),
        Call("build tuples", lambda: PrefixSearch.from_internal_data_v2(*map(as_tuple, arrays.values()))),
        Call("build empty", lambda: PrefixSearch.from_internal_data_v2([], [], [], [], [], 0)),
        # binding and receiver
        Call("match no args", lambda: s.fuzzy_match(), TypeError),
        Call("match too many", lambda: s.fuzzy_match("a", 1, 2, 3), TypeError),
        Call("match unknown keyword", lambda: s.fuzzy_match("a", distance=1), TypeError),
        Call("match twice", lambda: s.fuzzy_match("a", term="b"), TypeError),
        Call("foreign receiver", lambda: PrefixSearch.fuzzy_match(object(), "a"), TypeError),
        Call("direct construction", lambda: PrefixSearch(), TypeError),
        Call("to_bytes argument", lambda: s.to_bytes(1), TypeError),
        Call("from_bytes missing", lambda: PrefixSearch.from_bytes(), TypeError),
        # conversion
        Call("term int", lambda: s.fuzzy_match(7), TypeError),
        Call("term surrogate", lambda: s.fuzzy_match("a\ud800"), UnicodeEncodeError),
        Call("max_dist negative", lambda: s.fuzzy_match("a", -1), OverflowError),
        Call("max_dist 2**32", lambda: s.fuzzy_match("a", 2**32), OverflowError),
        Call("max_dist 2**70", lambda: s.fuzzy_match("a", 2**70), OverflowError),
        Call("max_dist float", lambda: s.fuzzy_match("a", 1.0), TypeError),
        Call("max_dist None", lambda: s.fuzzy_match("a", None), TypeError),
        Call("max_dist refusing", lambda: s.fuzzy_match("a", Refusing()), Refusing.Refused),
        Call("limit negative", lambda: s.fuzzy_match_video("a", 1, -5), OverflowError),
        Call("prefix flag int", lambda: s.fuzzy_match_video("a", include_prefix_nodes=1), TypeError),
        Call("min_score str", lambda: s.fuzzy_match_video("a", min_score="x"), TypeError),
        Call("from_bytes bytearray", lambda: PrefixSearch.from_bytes(bytearray(good)), TypeError),
        Call("from_bytes str", lambda: PrefixSearch.from_bytes("abc"), TypeError),
        # construction, one failure per check, in the order they are made
        Call("build str arg", lambda: PrefixSearch.from_internal_data_v2(**with_(arrays, node_shifts="abc")), TypeError),
        Call("build set arg", lambda: PrefixSearch.from_internal_data_v2(**with_(arrays, child_transitions={1})), TypeError),
        Call("build label int", lambda: PrefixSearch.from_internal_data_v2(**with_(arrays, child_labels=[1])), TypeError),
        Call("build top_n", lambda: PrefixSearch.from_internal_data_v2(**with_(arrays, video_top_n=-1)), OverflowError),
        Call("build missing", lambda: PrefixSearch.from_internal_data_v2([], [], [], []), TypeError),
        Call("shifts len", lambda: PrefixSearch.from_internal_data_v2(**with_(arrays, node_shifts=[0])), ValueError),
        Call("payloads len", lambda: PrefixSearch.from_internal_data_v2(**with_(arrays, payloads=[None])), ValueError),
        Call(
            "child range",
            lambda: PrefixSearch.from_internal_data_v2(**with_(arrays, child_transitions=[1, 2, 10**6])),
            ValueError,
        ),
        Call("payload list", lambda: PrefixSearch.from_internal_data_v2(**_payload(arrays, [1, [], []])), TypeError),
        Call("payload 2-tuple", lambda: PrefixSearch.from_internal_data_v2(**_payload(arrays, (1, []))), ValueError),
        Call("payload total", lambda: PrefixSearch.from_internal_data_v2(**_payload(arrays, (-1, [], []))), OverflowError),
        Call("payload ids str", lambda: PrefixSearch.from_internal_data_v2(**_payload(arrays, (1, "ab", []))), TypeError),
        Call("payload count big", lambda: PrefixSearch.from_internal_data_v2(**_payload(arrays, (1, [0], [2**32]))), OverflowError),
        Call("payload lengths", lambda: PrefixSearch.from_internal_data_v2(**_payload(arrays, (1, [0, 1], [1]))), ValueError),
        Call(
            "id widths",
            lambda: PrefixSearch.from_internal_data_v2(**with_(arrays, video_index=[bytes(4), bytes(16)])),
            ValueError,
        ),
        Call("id entry str", lambda: PrefixSearch.from_internal_data_v2(**with_(arrays, video_index=["abcd"])), TypeError),
        Call("overrun", lambda: PrefixSearch.from_internal_data_v2(**OVERRUNNING_ARRAYS), panic),
    ]
    calls += [
        Call(f"from_bytes {name}", (lambda b=b: PrefixSearch.from_bytes(b)), ValueError) for name, b in BAD_BYTES.items()
    ]
    return calls


def as_tuple(value):
    return tuple(value) if isinstance(value, list) else value


def _payload(arrays, entry):
    """The arrays with the last payload replaced by ``entry``."""
    return with_(arrays, payloads=arrays["payloads"][:-1] + [entry])


def outcome(call: Call):
    """What a call gives, in a form that compares by value: its result (an
    instance by its stored bytes) or its exception's type and text."""
    try:
        result = call.run()
    except BaseException as exc:  # noqa: BLE001
        return ("raised", type(exc), str(exc))
    if isinstance(result, PrefixSearch):
        return ("instance", result.to_bytes())
    return ("returned", result)


def test_every_call_of_the_mix_ends_as_intended():
    """The mix is what it claims: each failure raises its exception, each
    success returns, and the decode failures are decode errors."""
    for call in mixed_calls():
        kind, *rest = outcome(call)
        if call.raises is None:
            assert kind != "raised", (call.label, rest)
        else:
            assert kind == "raised" and rest[0] is call.raises, (call.label, kind, rest)
            if call.label.startswith("from_bytes ") and call.raises is ValueError:
                assert rest[1].startswith("decode error: "), (call.label, rest[1])


def test_video_answers_of_the_mix_have_no_ties():
    # The thread test compares answers in full, order included.
    for call in mixed_calls():
        if call.label.startswith("video"):
            scores = [score for _id, score in call.run()]
            assert len(set(scores)) == len(scores), call.label


# --- a million calls ------------------------------------------------------------------------------------

LEAK_CALLS = 1_000_000
LEAK_PHASES = 10  # the first is the warm-up
# After warm-up the heaps and the interpreter's free lists have reached their
# working size; what still grows is what a leak adds. Every call kind of the
# mix runs about 12,500 times in the 900,000 measured calls, so a leak of one
# object per call in any single kind adds at least 12,500 x 16 bytes (the
# smallest Python object) = 200 KB of traced memory, or 12,500 x 32 bytes
# (the smallest C heap block) = 400 KB of the C heap. The bounds sit below
# those and well above what free lists and caches still move (under 30 KB).
RSS_GROWTH_LIMIT = 1 << 20
MALLOC_GROWTH_LIMIT = 128 << 10
TRACED_GROWTH_LIMIT = 64 << 10

LEAK_RUN = f"""
import array, ctypes, gc, json, os, resource, sys, time, tracemalloc
import test_leaks

class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]

mallinfo2 = ctypes.CDLL(None).mallinfo2
mallinfo2.restype = MallInfo2
page = os.sysconf("SC_PAGE_SIZE")
statm = open("/proc/self/statm", "rb", buffering=0)

def measure(into, phase):
    # RSS: every page the process holds; malloc: the bytes in use in the C
    # heap (the native side's own allocations, to the byte); traced: the
    # bytes held by Python objects. Stored without allocating.
    gc.collect()
    statm.seek(0)
    into[3 * phase] = int(statm.read().split()[1]) * page
    info = mallinfo2()
    into[3 * phase + 1] = info.uordblks + info.hblkhd
    into[3 * phase + 2] = tracemalloc.get_traced_memory()[0]

calls = test_leaks.mixed_calls()
figures = array.array("q", bytes(8 * 3 * {LEAK_PHASES}))
per_phase = {LEAK_CALLS} // {LEAK_PHASES}
tracemalloc.start()
start = time.perf_counter()
for phase in range({LEAK_PHASES}):
    for i in range(per_phase):
        call = calls[i % len(calls)]
        try:
            call.run()
        except BaseException as exc:
            if type(exc) is not call.raises:
                raise
        else:
            if call.raises is not None:
                raise AssertionError(call.label + " did not raise")
    measure(figures, phase)
seconds = time.perf_counter() - start
print(json.dumps({{
    "calls": per_phase * {LEAK_PHASES},
    "kinds": len(calls),
    "phases": [list(figures[3 * p : 3 * p + 3]) for p in range({LEAK_PHASES})],
    "traced_peak": tracemalloc.get_traced_memory()[1],
    "max_rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
    "seconds": seconds,
}}))
"""


@pytest.mark.heavy
def test_a_million_mixed_calls_leave_memory_flat():
    result = run_isolated(LEAK_RUN, memory_cap=4 << 30, timeout=1800)
    assert result["calls"] == LEAK_CALLS
    phases = result["phases"]
    report = f"(rss, malloc, traced) after each 100,000 calls: {phases}"
    growth = [end - warm for warm, end in zip(phases[0], phases[-1])]
    assert growth[0] <= RSS_GROWTH_LIMIT, report
    assert growth[1] <= MALLOC_GROWTH_LIMIT, report
    assert growth[2] <= TRACED_GROWTH_LIMIT, report


# --- reference counts ---------------------------------------------------------------------------------


def fresh_str(text):
    """A str object of its own (not an interned or cached one)."""
    return "".join(list(text))


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def repeat(call, times=50):
    """Runs ``call`` ``times`` times, keeping nothing it returns or raises."""
    for _ in range(times):
        try:
            call()
        except BaseException:  # noqa: BLE001
            pass


@pytest.fixture
def search():
    return PrefixSearch.from_internal_data_v2(**video_arrays())


def search_argument_cases(s):
    term, far = fresh_str("carts"), fresh_str("a\ud800")
    big, limit, score = 70_000 + len(term), 10**6 + len(term), float(len(term)) / 100
    flag = True
    refusing, index = Refusing(), Index(70_000)
    return [
        ("fuzzy_match", (term, big, limit), lambda: s.fuzzy_match(term, big, limit)),
        ("fuzzy_match keywords", (term, index), lambda: s.fuzzy_match(term=term, max_dist=index)),
        ("fuzzy_match bad term", (far,), lambda: s.fuzzy_match(far)),
        ("fuzzy_match overflow", (term, limit), lambda: s.fuzzy_match(term, limit * 10**6)),
        ("fuzzy_match refusing", (term, refusing), lambda: s.fuzzy_match(term, refusing)),
        ("fuzzy_match too many", (term, big), lambda: s.fuzzy_match(term, big, big, big)),
        ("fuzzy_match_video", (term, big, limit, score), lambda: s.fuzzy_match_video(term, big, limit, flag, score)),
        ("fuzzy_match_video bad flag", (term, big), lambda: s.fuzzy_match_video(term, big, include_prefix_nodes=big)),
        ("fuzzy_match_video bad score", (term, far), lambda: s.fuzzy_match_video(term, min_score=far)),
    ]


@pytest.mark.parametrize("case", range(9))
def test_searches_keep_reference_counts_of_arguments_and_receiver(search, case):
    label, objects, call = search_argument_cases(search)[case]
    objects = (search, *objects)
    repeat(call, 1)  # the first call makes caches, such as a str's UTF-8 form
    before = refcounts(objects)
    repeat(call)
    assert refcounts(objects) == before, label


def construction_arguments(valid):
    """Argument objects for from_internal_data_v2 that nothing else holds:
    integers behind __index__ (the small ints themselves are shared),
    labels of two characters (one-character strs are shared singletons),
    payload tuples with large totals, fresh byte strings."""
    arrays = video_arrays()
    if not valid:
        # the last payload fails after every earlier one was converted
        arrays["payloads"][-1] = (1, [0, 1], [1])
    return [
        [Index(v) for v in arrays["node_shifts"]],
        [fresh_str(label + "x") for label in arrays["child_labels"]],
        [p if p is None else (10**7 + p[0], [Index(v) for v in p[1]], list(p[2])) for p in arrays["payloads"]],
        [Index(v) for v in arrays["child_transitions"]],
        [bytes(bytearray(b)) for b in arrays["video_index"]],
        10**6 + 6,
    ]


@pytest.mark.parametrize("valid", [True, False], ids=["builds", "fails at the last payload"])
def test_construction_keeps_reference_counts_of_everything_it_was_given(valid):
    args = construction_arguments(valid)
    watched = list(args)
    for array in args[:5]:
        watched.extend(array)
    payloads = [p for p in args[2] if p is not None]
    watched.extend(payloads)
    for total, ids, counts in payloads:
        watched.extend([total, ids, counts, *ids])
    repeat(lambda: PrefixSearch.from_internal_data_v2(*args), 1)
    before = refcounts(watched)
    repeat(lambda: PrefixSearch.from_internal_data_v2(*args))
    assert refcounts(watched) == before


@pytest.mark.parametrize("data", [None, *BAD_BYTES], ids=lambda d: d or "good")
def test_from_bytes_keeps_the_reference_count_of_its_argument(search, data):
    b = bytes(bytearray(search.to_bytes() if data is None else BAD_BYTES[data]))
    before = sys.getrefcount(b)
    repeat(lambda: PrefixSearch.from_bytes(b))
    assert sys.getrefcount(b) == before


def test_results_are_owned_by_the_caller_alone(search):
    # An object held by one local name counts 2 here (the name and
    # getrefcount's argument); an element read straight from its container
    # counts 2 as well (the container and the argument), 3 while a local name
    # holds it too.
    # (Counts are taken outside assert statements, whose rewriting keeps
    # references of its own.)
    probe = object()
    base = sys.getrefcount(probe)
    counts = {}
    hits = search.fuzzy_match("carts", 2)
    counts["hit list"] = sys.getrefcount(hits)
    for i in range(len(hits)):  # (enumerate would hold a reference too)
        hit = hits[i]
        counts[f"hit {i}"] = sys.getrefcount(hit) - 1
        if len(hit[0]) > 1:  # one-character strs are shared singletons
            counts[f"hit {i} term"] = sys.getrefcount(hit[0])
    ranked = search.fuzzy_match_video("cat", 2)
    counts["ranking"] = sys.getrefcount(ranked)
    for i in range(len(ranked)):
        pair = ranked[i]
        counts[f"video {i}"] = sys.getrefcount(pair) - 1
        counts[f"video {i} id"] = sys.getrefcount(pair[0])
        counts[f"video {i} score"] = sys.getrefcount(pair[1])
    data = search.to_bytes()
    counts["bytes"] = sys.getrefcount(data)
    copy = PrefixSearch.from_bytes(data)
    counts["from_bytes"] = sys.getrefcount(copy)
    built = PrefixSearch.from_internal_data_v2(**video_arrays())
    counts["built"] = sys.getrefcount(built)
    assert len(hits) >= 3 and len(ranked) >= 3
    assert counts == dict.fromkeys(counts, base)
