"""One instance shared by eight threads: over 100,000 mixed calls (both
searches, to_bytes, from_bytes, construction, and failures of every kind),
each answer equals the one the same call gives on a single thread.

Every method holds the interpreter lock from start to end, so threads take
turns between calls; arguments whose conversion runs Python code (which may
switch threads in the middle of a call, while the instance is borrowed) let
them meet inside calls too. The switch interval is made tiny for the test so
that turns change as often as the interpreter allows."""

from __future__ import annotations

import random
import sys
import threading
import time

import pytest

from test_leaks import Call, mixed_calls, outcome, video_arrays

import _quillon

PrefixSearch = _quillon.PrefixSearch

THREADS = 8
CALLS_PER_THREAD = 12_500  # 100,000 in all


class Yielding:
    """An integer whose conversion gives other threads their turn."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        return self.value


class YieldingList(list):
    """A sequence whose iteration gives other threads their turn: not an
    exact list, so the module reads it through its iterator."""

    def __iter__(self):
        for item in super().__iter__():
            time.sleep(0)
            yield item


def calls_meeting_inside(s) -> list[Call]:
    arrays = video_arrays()
    slow_arrays = {key: YieldingList(value) if isinstance(value, list) else value for key, value in arrays.items()}
    return [
        Call("slow max_dist", lambda: s.fuzzy_match("carts", Yielding(2), Yielding(3))),
        Call("slow video", lambda: s.fuzzy_match_video("ca", Yielding(1), Yielding(4), True)),
        Call("slow refused", lambda: s.fuzzy_match("cat", Yielding(2**32)), OverflowError),
        Call("slow build", lambda: PrefixSearch.from_internal_data_v2(**slow_arrays)),
        Call(
            "slow build refused",
            lambda: PrefixSearch.from_internal_data_v2(**{**slow_arrays, "payloads": YieldingList([None])}),
            ValueError,
        ),
    ]


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_eight_threads_share_one_instance(fast_switching):
    shared = PrefixSearch.from_internal_data_v2(**video_arrays())
    calls = mixed_calls(shared) + calls_meeting_inside(shared)
    expected = [outcome(call) for call in calls]
    # the answers are worth comparing: many calls find something, and no
    # ranking has equal scores, whose order would be free
    assert sum(kind != "raised" and bool(value) for kind, value, *_ in expected) >= 20
    for call, (kind, value, *_) in zip(calls, expected):
        if "video" in call.label and kind == "returned":
            assert len({score for _id, score in value}) == len(value), call.label

    start = threading.Barrier(THREADS)
    mismatches: list[tuple[int, str, object, object]] = []
    done = [0] * THREADS

    def worker(index):
        order = random.Random(index)
        start.wait()
        for _ in range(CALLS_PER_THREAD):
            k = order.randrange(len(calls))
            got = outcome(calls[k])
            if got != expected[k]:
                mismatches.append((index, calls[k].label, got, expected[k]))
            done[index] += 1

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()

    assert mismatches == []
    assert sum(done) == THREADS * CALLS_PER_THREAD
    # and the shared instance is still whole
    assert shared.to_bytes() == PrefixSearch.from_internal_data_v2(**video_arrays()).to_bytes()
    assert [outcome(call) for call in calls] == expected


def test_instances_built_and_dropped_on_many_threads_answer_alike(fast_switching):
    # Each thread builds, stores, restores and drops instances of its own
    # while the others do the same: no state is shared between instances.
    arrays = video_arrays()
    reference = PrefixSearch.from_internal_data_v2(**arrays)
    answer = (reference.to_bytes(), reference.fuzzy_match("cat", 2), reference.fuzzy_match_video("car", 2))
    failures = []

    def worker():
        for _ in range(300):
            built = PrefixSearch.from_bytes(PrefixSearch.from_internal_data_v2(**arrays).to_bytes())
            got = (built.to_bytes(), built.fuzzy_match("cat", 2), built.fuzzy_match_video("car", 2))
            if got != answer:
                failures.append(got)

    threads = [threading.Thread(target=worker) for _ in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
