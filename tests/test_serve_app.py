"""The web application of quillon serve, driven in process: answers of
/api/suggest against quillon.Index, every refused request, /healthz, the
page, and calls from pages of other origins (with several workers too,
as a process)."""

from __future__ import annotations

import json
import re
import urllib.request

import pytest
from starlette.testclient import TestClient

from quillon import Index
from quillon.server.app import create_app
from search_logs import run_cli
from serving import build_small_index, running_server

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
    """The answer as Index.suggest gives it, in the API's JSON (max_dist:
    as given, or None)."""
    found = index.suggest(q, limit, max_dist, videos)
    return {
        "query": q,
        "normalized": index.normalize(q),
        "max_dist": found.max_edits,
        "edits": found.edits,
        "completions": [c._asdict() for c in found.completions],
        "terms": [{"term": t, "distance": d} for t, d in found.terms],
        "videos": [{"id": v.id, "score": v.score, "title": None} for v in found.videos] if videos else None,
        "generation": 1,
    }


def test_a_prefix_spread_thin_still_shows_limit_videos(tmp_path):
    # 300 searches below "how", each leading to a video of its own: every
    # video's score is 1/300, below the module's default floor of 0.01,
    # which would show none of them.
    build_small_index(tmp_path, "thin.idx", [(f"how to {n:03d}", n) for n in range(300)])
    index = Index.open(tmp_path / "thin.idx")
    assert index.search.fuzzy_match_video("how", 0, include_prefix_nodes=True) == []
    expected = index.videos("how", 0, limit=7)
    assert len(expected) == 7 and all(video.score == pytest.approx(1 / 300) for video in expected)
    assert index.suggest("how", limit=7).videos == expected
    answer = TestClient(create_app(tmp_path / "thin.idx")).get("/api/suggest?q=how&limit=7").json()
    assert [video["id"] for video in answer["videos"]] == [video.id for video in expected]


@pytest.mark.parametrize(
    "query, q, max_dist, limit, videos",
    [
        ("q=CA", "CA", 0, 10, True),  # up to two characters: no edit
        ("q=cath", "cath", 1, 10, True),  # three to seven: 1
        ("q=cathedra", "cathedra", 2, 10, True),  # eight: 2
        ("q=%20Cath%C3%A9dral+&max_dist=0", " Cathédral ", 0, 10, True),
        ("q=ca&max_dist=3&limit=2&videos=0", "ca", 3, 2, False),
        ("q=cat&videos=FALSE&color=blue&limit=1&%ff=%zz", "cat", 1, 1, False),  # unknown parameters ignored
        ("q=cat&videos=on", "cat", 1, 10, True),
        ("q=", "", 0, 10, True),
    ],
)
def test_suggest_answers_as_the_index_does(client, index_path, query, q, max_dist, limit, videos):
    response = client.get("/api/suggest?" + query)
    assert response.status_code == 200
    body = response.json()
    assert body.pop("server_ms") >= 0
    given = int(query.split("max_dist=")[1].split("&")[0]) if "max_dist=" in query else None
    assert body["max_dist"] == max_dist
    assert body == answer_of(Index.open(index_path), q, given, limit, videos)


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


PAGE_POLICY = (
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
    "connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"
)


def test_the_page_is_self_contained(client):
    response = client.get("/")
    assert response.status_code == 200 and response.headers["content-type"] == "text/html; charset=utf-8"
    assert response.headers["content-security-policy"] == PAGE_POLICY
    assert (response.headers["x-content-type-options"], response.headers["cache-control"]) == ("nosniff", "no-cache")
    page = response.text
    assert 'id="q"' in page and "AbortController" in page
    # It asks by relative paths, so that it works wherever the app is mounted,
    # and nothing is fetched from elsewhere: no absolute URL in any src, href or fetch.
    assert 'fetch("api/suggest?' in page and 'fetch("healthz")' in page
    assert not re.search(r"""(src|href)=["']?(https?:)?//|fetch\(["'](https?:|/)""", page)
    # Its style reaches nothing outside its own element, so that it can go into another page.
    style = re.sub(r"/\*.*?\*/", "", page.split("<style>")[1].split("</style>")[0], flags=re.S)
    selectors = [s.strip() for rule in re.findall(r"([^{}]+)\{", style) if "@media" not in rule for s in rule.split(",")]
    assert len(selectors) > 30 and [s for s in selectors if not s.startswith("#quillon")] == []


ALLOWED = "https://www.example.com"
CORS_NAMES = ("access-control-allow-origin", "access-control-allow-methods", "access-control-allow-headers", "access-control-max-age")


def cors_headers(response):
    return {name: response.headers[name] for name in (*CORS_NAMES, "vary") if name in response.headers}


@pytest.fixture
def cors_client(index_path):
    # As given on the command line: case and the default port do not matter.
    return TestClient(create_app(index_path, allow_origins=["HTTPS://www.Example.com:443", "http://localhost:3000"]))


@pytest.mark.parametrize("path", ["/api/suggest?q=cat", "/healthz"])
def test_an_allowed_origin_may_call_the_api(cors_client, path):
    asked = {"Origin": ALLOWED, "Access-Control-Request-Method": "GET", "Access-Control-Request-Headers": "x-trace"}
    preflight = cors_client.options(path, headers=asked)
    assert preflight.status_code == 204 and cors_headers(preflight) == {
        "access-control-allow-origin": ALLOWED,
        "access-control-allow-methods": "GET, HEAD",
        "access-control-allow-headers": "x-trace",
        "access-control-max-age": "600",
        "vary": "Origin",
    }
    response = cors_client.get(path, headers={"Origin": "http://localhost:3000"})
    assert response.status_code == 200 and response.json()
    assert cors_headers(response) == {"access-control-allow-origin": "http://localhost:3000", "vary": "Origin"}


@pytest.mark.parametrize("origin", ["https://evil.example", "http://www.example.com", "https://www.example.com:8443", "null"])
def test_other_origins_get_no_cors_headers(cors_client, origin):
    preflight = cors_client.options("/api/suggest?q=cat", headers={"Origin": origin, "Access-Control-Request-Method": "GET"})
    assert preflight.status_code == 403 and cors_headers(preflight) == {"vary": "Origin"}
    assert preflight.json() == {"error": f"cross-origin request refused: origin {origin!r} is not allowed"}
    response = cors_client.get("/healthz", headers={"Origin": origin})
    # Answered (a browser keeps it from the page), and marked as depending on Origin for caches.
    assert response.status_code == 200 and cors_headers(response) == {"vary": "Origin"}


def test_cors_refuses_other_methods_and_leaves_the_page_alone(cors_client, client):
    preflight = cors_client.options("/api/suggest", headers={"Origin": ALLOWED, "Access-Control-Request-Method": "POST"})
    assert preflight.status_code == 403 and "access-control-allow-origin" not in preflight.headers
    assert preflight.json() == {"error": "cross-origin request refused: the API answers GET, HEAD, not 'POST'"}
    response = cors_client.options("/healthz")  # not a preflight
    assert response.status_code == 405 and response.json() == {"error": "Method Not Allowed: OPTIONS /healthz"}
    page = cors_client.get("/", headers={"Origin": ALLOWED})
    assert page.headers["content-security-policy"] == PAGE_POLICY and cors_headers(page) == {}
    # No origin allowed (the default): no CORS at all.
    preflight = client.options("/api/suggest", headers={"Origin": ALLOWED, "Access-Control-Request-Method": "GET"})
    assert preflight.status_code == 403 and "access-control-allow-origin" not in preflight.headers
    assert cors_headers(client.get("/api/suggest?q=cat", headers={"Origin": ALLOWED})) == {}


@pytest.mark.parametrize(
    "origin, reason",
    [
        ("https://www.example.com/", "give scheme://host[:port] without a path, e.g. https://www.example.com"),
        ("https://www.example.com/search?q=1", "give scheme://host[:port] without a path, e.g. https://www.example.com"),
        ("www.example.com", "give http:// or https://, a host and maybe a port, e.g. https://www.example.com"),
        ("*", "give http:// or https://, a host and maybe a port, e.g. https://www.example.com"),
        ("ftp://files.example.com", "give http:// or https://, a host and maybe a port, e.g. https://www.example.com"),
        ("http://localhost:70000", "the port must be 1..65535"),
    ],
)
def test_allow_origin_takes_origins_only(index_path, capsys, origin, reason):
    with pytest.raises(ValueError, match=re.escape(f"{origin!r} is not an origin: {reason}")):
        create_app(index_path, allow_origins=[origin])
    with pytest.raises(SystemExit) as stopped:
        run_cli(capsys, "serve", index_path, "--allow-origin", ALLOWED, "--allow-origin", origin)
    assert stopped.value.code == 2
    assert capsys.readouterr().err.endswith(f"quillon serve: error: argument --allow-origin: {origin!r} is not an origin: {reason}\n")


def test_every_worker_allows_the_origins(index_path, tmp_path):
    args = ["serve", str(index_path), "--workers", "2", "--allow-origin", ALLOWED]
    with running_server(args, tmp_path / "server.log") as server:
        allowed_by: dict[int, str] = {}
        for _ in range(200):  # new connections until both workers have answered
            request = urllib.request.Request(server.url + "/healthz", headers={"Origin": ALLOWED})
            with urllib.request.urlopen(request, timeout=30) as response:
                allowed_by[json.loads(response.read())["pid"]] = response.headers["Access-Control-Allow-Origin"]
            if len(allowed_by) == 2:
                break
    assert list(allowed_by.values()) == [ALLOWED, ALLOWED]


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
