"""Replacing the index under a running server: a new pair is swapped in
whole, a bad one is reported and kept out without being retried in a loop,
and requests running through several swaps all succeed, each answered by
one generation."""

from __future__ import annotations

import hashlib
import json
import threading

import pytest
from starlette.testclient import TestClient

from quillon import Index
from quillon.server.app import create_app
from quillon.build import write_index_files
from serving import build_small_index, wait_for

OLD_ROWS = [("cat", 1), ("cat", 1), ("cart", 2), ("dog", 3)]
NEW_ROWS = [("cat", 4), ("cast", 5), ("cast", 5), ("dot", 6), ("dog", 6)]
QUERIES = ["cat", "ca", "dog", "cas", "do"]


@pytest.fixture
def pairs(tmp_path):
    """The old pair written at tmp/live.idx, and the bytes of both."""
    old = build_small_index(tmp_path, "old.idx", OLD_ROWS)
    new = build_small_index(tmp_path, "new.idx", NEW_ROWS)
    write_index_files(tmp_path / "live.idx", *old)
    return tmp_path / "live.idx", old, new


def corrupt(path, old, new, how):
    """Writes a pair at ``path`` that must not load; returns the error."""
    data, manifest = new
    if how == "flipped byte":
        write_index_files(path, data[:-1] + bytes([data[-1] ^ 1]), manifest)
        return f"{path}: the index bytes do not have the SHA-256 its manifest records"
    if how == "manifest of another build":
        write_index_files(path, data, old[1])
        return f"{path}: the index has {len(data):,} bytes, its manifest says {len(old[0]):,}; they are not of the same build"
    if how == "not an index":
        garbage = b"\xff" * 8
        fields = dict(json.loads(manifest), index_size_bytes=8, index_sha256=hashlib.sha256(garbage).hexdigest())
        write_index_files(path, garbage, json.dumps(fields))
        return f"{path}: not a quillon index: neither an index container nor the stored trie of an older quillon; rebuild it with quillon build"
    path.unlink()
    return f"{path}: cannot read the index: No such file or directory"


@pytest.mark.parametrize("how", ["flipped byte", "manifest of another build", "not an index", "index removed"])
def test_a_bad_pair_is_reported_kept_out_and_not_retried(pairs, how, caplog):
    path, old, new = pairs
    client = TestClient(create_app(path))
    live = client.app.state.live
    before = client.get("/api/suggest?q=cart").json()
    error = corrupt(path, old, new, how)

    assert live.reload_if_changed() is False
    assert live.current.number == 1 and live.last_failure is not None
    assert live.last_failure.error.startswith(error)
    assert client.get("/api/suggest?q=cart").json() | {"server_ms": 0} == before | {"server_ms": 0}
    health = client.get("/healthz").json()
    assert health["status"] == "stale" and health["generation"] == 1
    assert health["reload_error"]["error"].startswith(error)
    # The same files are not read again at every check; SIGHUP tries once more.
    assert live.reload_if_changed() is False and live.reload_if_changed() is False
    live.request_reload()
    assert live.reload_if_changed() is False
    failures = [r.getMessage() for r in caplog.records if r.name == "quillon.serve"]
    assert failures == [f"still answering from generation 1: cannot load the new index: {live.last_failure.error}"] * 2

    write_index_files(path, *new)  # a good build replaces the bad one
    assert live.reload_if_changed() is True
    assert live.current.number == 2 and live.last_failure is None
    assert client.get("/healthz").json()["status"] == "ok"
    assert client.get("/api/suggest?q=cast&max_dist=0").json()["terms"] == [{"term": "cast", "distance": 0}]


def test_requests_through_repeated_swaps_all_succeed_from_one_generation(pairs):
    path, old, new = pairs
    expected = {}  # (query, answer without timing and generation) seen from either index
    for data, manifest in (old, new):
        write_index_files(path.with_name("probe.idx"), data, manifest)
        probe = Index.open(path.with_name("probe.idx"))
        for q in QUERIES:
            found = probe.suggest(q)
            completions = [c._asdict() for c in found.completions]
            terms = [{"term": t, "distance": d} for t, d in found.terms]
            videos = [{"id": v.id, "score": v.score, "title": None} for v in found.videos or []]
            expected.setdefault(q, []).append((completions, terms, videos))
    assert all(a != b for a, b in expected.values())  # each answer tells the two indexes apart

    app = create_app(path, check_interval=0.01)
    seen: dict[int, list[int]] = {worker: [] for worker in range(4)}
    failures: list[str] = []
    stop = threading.Event()

    def hammer(client, worker):
        generations = seen[worker]
        n = 0
        while not stop.is_set():
            q = QUERIES[n % len(QUERIES)]
            n += 1
            response = client.get(f"/api/suggest?q={q}")
            body = response.json() if response.status_code == 200 else None
            if body is None or (body["completions"], body["terms"], body["videos"]) not in expected[q]:
                failures.append(f"{q}: {response.status_code} {response.text}")
                return
            which = expected[q].index((body["completions"], body["terms"], body["videos"]))
            # Odd generations are the old index, even ones the new.
            if which != (body["generation"] + 1) % 2:
                failures.append(f"{q}: generation {body['generation']} answered as index {which}")
            generations.append(body["generation"])

    with TestClient(app) as client:  # runs the lifespan: the watcher thread
        threads = [threading.Thread(target=hammer, args=(client, worker)) for worker in seen]
        for thread in threads:
            thread.start()
        try:
            for generation in range(1, 8):
                if generation > 1:
                    write_index_files(path, *(new if generation % 2 == 0 else old))
                    wait_for(lambda: app.state.live.current.number == generation, what=f"generation {generation}")
                # Every thread gets a few answers from each generation.
                wait_for(lambda: all(g.count(generation) >= 20 for g in seen.values()) or failures, what="answers")
        finally:
            stop.set()
            for thread in threads:
                thread.join()
    assert failures == []
    for generations in seen.values():
        assert generations == sorted(generations) and set(generations) == set(range(1, 8))
