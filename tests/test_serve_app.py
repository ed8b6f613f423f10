"""The web application of quillon serve, driven in process: answers of
/api/suggest against quillon.Index, every refused request, /healthz and
the page."""

from __future__ import annotations

import re

import pytest
from starlette.testclient import TestClient

from quillon import Index
from quillon.server.app import create_app
from search_logs import run_cli
from serving import build_small_index

ROWS = [("Cat", 7), ("cat", 7), ("cat", 12), ("cart", 3), ("car", 3), ("cut", 4), ("CAT", 30), ("cathedral", 5), ("catalog", 9)]


@pytest.fixture(scope="module")
def index_path(tmp_path_factory):
    folder = tmp_path_factory.mktemp("serve")
    build_small_index(folder, "cats.idx", ROWS)
    return folder / "cats.idx"


@pytest.fixture
def client(index_path):
    return TestClient(create_app(index_path))


def answer_of(index, q, max_dist, limit=10, videos=True):
    return {
        "query": q,
        "normalized": index.normalize(q),
        "max_dist": max_dist,
        "completions": [c._asdict() for c in index.complete(q, limit, max_dist)],
        "terms": [{"term": t, "distance": d} for t, d in index.terms(q, max_dist, limit)],
        "videos": [{"id": v.id, "score": v.score, "title": None} for v in index.videos(q, max_dist, limit)] if videos else None,
        "generation": 1,
    }


@pytest.mark.parametrize(
    "query, q, max_dist, limit, videos",
    [
        ("q=CAT", "CAT", 0, 10, True),  # up to three characters: no edit
        ("q=cath", "cath", 1, 10, True),  # four to seven: 1
        ("q=cathedra", "cathedra", 2, 10, True),  # eight: 2
        ("q=%20Cath%C3%A9dral+&max_dist=0", " Cathédral ", 0, 10, True),
        ("q=ca&max_dist=3&limit=2&videos=0", "ca", 3, 2, False),
        ("q=cat&videos=FALSE&color=blue&limit=1&%ff=%zz", "cat", 0, 1, False),  # unknown parameters ignored
        ("q=cat&videos=on", "cat", 0, 10, True),
        ("q=", "", 0, 10, True),
    ],
)
def test_suggest_answers_as_the_index_does(client, index_path, query, q, max_dist, limit, videos):
    response = client.get("/api/suggest?" + query)
    assert response.status_code == 200
    body = response.json()
    assert body.pop("server_ms") >= 0
    assert body == answer_of(Index.open(index_path), q, max_dist, limit, videos)


@pytest.mark.parametrize(
    "query, parameter, message",
    [
        ("", "q", "missing parameter q: the text typed so far"),
        ("q=" + "a" * 257, "q", "q is 257 characters long; the most is 256"),
        ("q=" + "%C3%A9" * 257, "q", "q is 257 characters long; the most is 256"),
        ("q=%ff", "q", "q is not valid UTF-8 text"),
        ("q=%ED%A0%80", "q", "q is not valid UTF-8 text"),  # a lone surrogate, encoded
        ("q=ab%zz", "q", "q holds '%zz', which is not a percent-escape (%XX in hex)"),
        ("q=a%00b", "q", "q contains U+0000, which is not text"),
        ("q=a&q=b", "q", "q is given 2 times; give it once"),
        ("q=a&max_dist=4", "max_dist", "max_dist must be an integer from 0 to 3, not '4'"),
        ("q=a&max_dist=-1", "max_dist", "max_dist must be an integer from 0 to 3, not '-1'"),
        ("q=a&max_dist=1.0", "max_dist", "max_dist must be an integer from 0 to 3, not '1.0'"),
        ("q=a&max_dist=+1", "max_dist", "max_dist must be an integer from 0 to 3, not ' 1'"),
        ("q=a&max_dist=%D9%A1", "max_dist", "max_dist must be an integer from 0 to 3, not '١'"),
        ("q=a&limit=0", "limit", "limit must be an integer from 1 to 100, not '0'"),
        ("q=a&limit=101", "limit", "limit must be an integer from 1 to 100, not '101'"),
        ("q=a&limit=" + "9" * 50, "limit", "limit must be an integer from 1 to 100, not '" + "9" * 40 + "…'"),
        ("q=a&limit=ten", "limit", "limit must be an integer from 1 to 100, not 'ten'"),
        ("q=a&videos=2", "videos", "videos must be one of 1, true, yes, on, 0, false, no, off, not '2'"),
        ("q=a&videos=", "videos", "videos must be one of 1, true, yes, on, 0, false, no, off, not ''"),
    ],
)
def test_bad_requests_get_400_naming_the_parameter(client, query, parameter, message):
    response = client.get("/api/suggest?" + query)
    assert response.status_code == 400
    assert response.json() == {"error": message, "parameter": parameter}


def test_unknown_paths_methods_and_failures_answer_json(index_path, monkeypatch, caplog):
    client = TestClient(create_app(index_path), raise_server_exceptions=False)
    assert client.get("/api/nothing").json() == {"error": "Not Found: GET /api/nothing"}
    response = client.post("/api/suggest?q=a")
    assert response.status_code == 405 and response.json() == {"error": "Method Not Allowed: POST /api/suggest"}

    def broken(*_args, **_kwargs):
        raise RuntimeError("boom")

    monkeypatch.setattr(Index, "suggest", broken)
    response = client.get("/api/suggest?q=cat")
    assert response.status_code == 500
    assert response.json() == {"error": "internal error; the server's log has the details"}
    assert "GET /api/suggest failed: RuntimeError: boom" in caplog.text


def test_healthz_names_the_live_index(client, index_path):
    health = client.get("/healthz").json()
    manifest = Index.open(index_path).manifest
    assert (health["status"], health["generation"], health["reload_error"]) == ("ok", 1, None)
    index = health.pop("index")
    assert index == {"path": str(index_path), "size_bytes": index_path.stat().st_size} | {
        name: getattr(manifest, name) for name in index if name not in ("path", "size_bytes")
    }
    assert (index["terms"], index["videos"], len(index)) == (6, 7, 10)
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", health["loaded_at"])
    assert 0 < health["load_seconds"] < 10


def test_the_page_is_self_contained(client):
    response = client.get("/")
    assert response.status_code == 200 and response.headers["content-type"] == "text/html; charset=utf-8"
    assert "default-src 'none'" in response.headers["content-security-policy"]
    page = response.text
    assert 'id="q"' in page and "/api/suggest?" in page and "AbortController" in page
    # Nothing fetched from elsewhere: no absolute URL in any src, href or fetch.
    assert not re.search(r"""(src|href)=["']?(https?:)?//|fetch\(["']https?:""", page)


def test_serve_refuses_a_bad_index_or_a_busy_port_before_serving(tmp_path, index_path, capsys):
    status, _out, err = run_cli(capsys, "serve", tmp_path / "missing.idx")
    assert status == 2 and err == f"quillon: error: {tmp_path / 'missing.idx'}: no such index file\n"
    import socket

    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        port = busy.getsockname()[1]
        status, out, err = run_cli(capsys, "serve", index_path, "--port", str(port))
    assert status == 1 and out == ""
    assert err == f"quillon: error: cannot listen on 127.0.0.1:{port}: Address already in use\n"
