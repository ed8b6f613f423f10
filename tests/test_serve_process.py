"""quillon serve and quillon demo as processes: the address they print,
SIGHUP with one worker and with several (forwarded by the supervisor, so
workers reload in place rather than restart), and a clean stop on Ctrl-C."""

from __future__ import annotations

import json
import os
import pathlib
import signal
import sys
import urllib.request

import pytest

from quillon.build import write_index_files
from serving import build_small_index, running_server, wait_for


def sha_by_worker(server, workers, what):
    """Asks /healthz until ``workers`` distinct processes have answered;
    returns {pid: (generation, sha256)}."""
    seen: dict[int, tuple[int, str]] = {}

    def ask():
        health = server.get("/healthz")
        seen[health["pid"]] = (health["generation"], health["index"]["index_sha256"])
        return len(seen) == workers

    wait_for(ask, what=what)
    return seen


def sha_of(pair):
    return json.loads(pair[1])["index_sha256"]


@pytest.mark.parametrize("workers", [1, 2])
def test_sighup_reloads_every_worker_in_place(tmp_path, workers):
    old = build_small_index(tmp_path, "old.idx", [("cat", 1), ("car", 2)])
    new = build_small_index(tmp_path, "new.idx", [("dog", 3)])
    path = tmp_path / "live.idx"
    write_index_files(path, *old)
    # An hour between checks: only the signal can make them look.
    args = ["serve", str(path), "--workers", str(workers), "--check-interval", "3600"]
    # As a user starts it: the console script, whose imports (DuckDB among
    # them) the spawned workers do not repeat.
    command = [str(pathlib.Path(sys.executable).with_name("quillon"))]
    with running_server(args, tmp_path / "server.log", command) as server:
        before = sha_by_worker(server, workers, "every worker")
        assert all(state == (1, sha_of(old)) for state in before.values())
        if workers == 1:
            assert list(before) == [server.process.pid]
        else:
            assert not any("duckdb" in pathlib.Path(f"/proc/{pid}/maps").read_text() for pid in before)
        write_index_files(path, *new)
        server.process.send_signal(signal.SIGHUP)

        def all_reloaded():
            health = server.get("/healthz")
            assert health["pid"] in before  # no worker was replaced
            before[health["pid"]] = (health["generation"], health["index"]["index_sha256"])
            return all(state == (2, sha_of(new)) for state in before.values())

        wait_for(all_reloaded, what="every worker on the new index")
        assert server.get("/api/suggest?q=dog&max_dist=0")["terms"] == [{"term": "dog", "distance": 0}]
    log = server.log.read_text()
    assert log.count("generation 2 live") == workers
    assert ("SIGHUP: asking workers" in log) == (workers > 1)


def test_a_worker_replaced_while_the_file_is_bad_waits_for_a_good_one(tmp_path):
    old = build_small_index(tmp_path, "old.idx", [("cat", 1)])
    new = build_small_index(tmp_path, "new.idx", [("dog", 3)])
    path = tmp_path / "live.idx"
    write_index_files(path, *old)
    args = ["serve", str(path), "--workers", "2", "--check-interval", "3600"]
    with running_server(args, tmp_path / "server.log") as server:
        first = sha_by_worker(server, 2, "both workers")
        write_index_files(path, new[0][:-1] + bytes([new[0][-1] ^ 1]), new[1])
        victim, survivor = first
        os.kill(victim, signal.SIGKILL)
        wait_for(lambda: "this worker cannot start: " in server.log.read_text(), what="a replacement to fail")
        assert server.get("/healthz")["pid"] == survivor  # answering from the old index meanwhile
        write_index_files(path, *new)

        def replaced():
            health = server.get("/healthz")
            return health["pid"] not in first and health["index"]["index_sha256"] == sha_of(new)

        wait_for(replaced, what="a worker on the good file")
    assert "the index bytes do not have the SHA-256 its manifest records" in server.log.read_text()


def test_demo_serves_the_example_index_and_stops_on_ctrl_c(example_index, tmp_path):
    with running_server(["demo", "--dir", str(example_index.parent)], tmp_path / "demo.log") as server:
        with urllib.request.urlopen(server.url + "/", timeout=30) as response:
            assert b'<input id="q"' in response.read()
        # The example site: multi-word completions, videos with titles.
        answer = server.get("/api/suggest?q=how%20t")
        assert answer["max_dist"] == 1 and answer["completions"][0]["term"].startswith("how t")
        assert all(" " in c["term"] for c in answer["completions"][:3])
        assert answer["videos"] and all(video["title"] for video in answer["videos"])
        assert os.path.samefile(server.get("/healthz")["index"]["path"], example_index)
