"""The web application of ``quillon serve``: ``create_app(index_path)``
returns a Starlette app answering from a ``LiveIndex``.

- ``GET /api/suggest?q=TEXT&max_dist=K&limit=N&videos=1``: the completions,
  terms and videos for one state of a search box, as JSON, from one walk of
  the trie.
- ``GET /healthz``: which index answers, since when, and why a newer file on
  disk does not, if it does not.
- ``GET /``: the page, one HTML file with its script and style inside.

Bad parameters get a 400 with ``{"error": ..., "parameter": ...}``; any
other failure answers JSON too.

Pages of other origins may call ``/api/suggest`` and ``/healthz`` when
``create_app`` names those origins (``allow_origins``): their preflight
(OPTIONS) is answered and their answers carry
``Access-Control-Allow-Origin``. Any other origin gets no CORS header, and
its preflight a 403.
"""

from __future__ import annotations

import asyncio
import contextlib
import datetime
import importlib.resources
import os
import pathlib
import re
import signal
import time
import urllib.parse
from collections.abc import AsyncIterator, Awaitable, Callable, Iterable

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

from quillon.index import Index, VideoMatch
from quillon.limits import DEFAULT_LIMIT, MAX_EDITS, MAX_LIMIT, MAX_QUERY_LENGTH, default_edits
from quillon.server.live import LiveIndex, logger

Endpoint = Callable[[Request], Awaitable[Response]]

__all__ = [
    "MAX_QUERY_LENGTH",
    "BadRequest",
    "SuggestParams",
    "checked_origin",
    "create_app",
    "default_max_dist",
    "parse_suggest_params",
]

MAX_DIST_RANGE = range(0, MAX_EDITS + 1)
LIMIT_RANGE = range(1, MAX_LIMIT + 1)
BOOLEANS = {"1": True, "true": True, "yes": True, "on": True, "0": False, "false": False, "no": False, "off": False}

PAGE_HEADERS = {
    "Cache-Control": "no-cache",
    "X-Content-Type-Options": "nosniff",
    # Everything the page uses is inside it; it talks only to this server.
    "Content-Security-Policy": "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
    "connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'",
}
_BAD_ESCAPE = re.compile(rb"%(?![0-9A-Fa-f]{2})")

# An origin as browsers send it: scheme://host[:port], nothing after.
_ORIGIN = re.compile(
    r"(?P<scheme>https?)://(?P<host>\[[0-9A-Fa-f:.]+\]|[A-Za-z0-9](?:[A-Za-z0-9.-]*[A-Za-z0-9])?)(?::(?P<port>[0-9]{1,5}))?",
    re.ASCII | re.IGNORECASE,
)
_DEFAULT_PORTS = {"http": 80, "https": 443}
# What another origin's page may do: read the API with GET. It sends no
# credentials (no Access-Control-Allow-Credentials), so the headers it asks
# to send are allowed as asked.
CORS_METHODS = "GET, HEAD"
CORS_MAX_AGE = "600"


class BadRequest(Exception):
    """A parameter that cannot be used; ``str()`` says what is wrong."""

    def __init__(self, parameter: str, message: str) -> None:
        super().__init__(message)
        self.parameter = parameter


class SuggestParams:
    """The parameters of ``/api/suggest``, checked."""

    __slots__ = ("q", "max_dist", "limit", "videos")

    def __init__(self, q: str, max_dist: int | None, limit: int, videos: bool) -> None:
        self.q = q
        self.max_dist = max_dist  # None: by the length of the normalised query
        self.limit = limit
        self.videos = videos


def parse_suggest_params(query_string: bytes) -> SuggestParams:
    """Reads the raw query string strictly: a percent-escape that is not one,
    text that is not UTF-8, or a parameter given twice is refused rather
    than repaired. Parameters other than q, max_dist, limit and videos are
    ignored, however they are written."""
    raw: dict[str, list[bytes]] = {}
    for pair in query_string.split(b"&"):
        name, _, value = pair.partition(b"=")
        key = urllib.parse.unquote_to_bytes(name.replace(b"+", b" ")).decode("utf-8", "replace")
        if key in ("q", "max_dist", "limit", "videos"):
            raw.setdefault(key, []).append(value)
    values = {key: _decoded(key, given) for key, given in raw.items()}

    q = values.get("q")
    if q is None:
        raise BadRequest("q", "missing parameter q: the text typed so far")
    if len(q) > MAX_QUERY_LENGTH:
        raise BadRequest("q", f"q is {len(q):,} characters long; the most is {MAX_QUERY_LENGTH}")
    if "\0" in q:
        raise BadRequest("q", "q contains U+0000, which is not text")
    max_dist = _integer(values, "max_dist", MAX_DIST_RANGE)
    limit = _integer(values, "limit", LIMIT_RANGE)
    videos = values.get("videos")
    if videos is not None and videos.lower() not in BOOLEANS:
        raise BadRequest("videos", f"videos must be one of {', '.join(BOOLEANS)}, not {_shown(videos)}")
    return SuggestParams(
        q,
        max_dist,
        DEFAULT_LIMIT if limit is None else limit,
        True if videos is None else BOOLEANS[videos.lower()],
    )


def _decoded(name: str, given: list[bytes]) -> str:
    if len(given) > 1:
        raise BadRequest(name, f"{name} is given {len(given)} times; give it once")
    encoded = given[0].replace(b"+", b" ")
    bad = _BAD_ESCAPE.search(encoded)
    if bad is not None:
        escape = encoded[bad.start() : bad.start() + 3].decode("ascii", "backslashreplace")
        raise BadRequest(name, f"{name} holds {escape!r}, which is not a percent-escape (%XX in hex)")
    try:
        return urllib.parse.unquote_to_bytes(encoded).decode("utf-8")
    except UnicodeDecodeError:
        raise BadRequest(name, f"{name} is not valid UTF-8 text") from None


def _integer(values: dict[str, str], name: str, allowed: range) -> int | None:
    text = values.get(name)
    if text is None:
        return None
    # Plain ASCII digits only: int() would also take " 1", "+1", "1_0" and
    # digits of other scripts.
    if text.isascii() and text.isdigit() and int(text) in allowed:
        return int(text)
    raise BadRequest(name, f"{name} must be an integer from {allowed.start} to {allowed.stop - 1}, not {_shown(text)}")


def _shown(text: str) -> str:
    return repr(text if len(text) <= 40 else text[:40] + "…")


def default_max_dist(normalized: str) -> int:
    """The edits allowed when a request names none: the default of every
    search (``quillon.limits.default_edits``)."""
    return default_edits(normalized)


def checked_origin(text: str) -> str:
    """``text`` as the Origin header of a browser on that site would say
    it (scheme and host in lower case, no default port), or ``ValueError``
    saying why it is not an origin."""
    match = _ORIGIN.fullmatch(text)
    if match is None:
        example = "https://www.example.com"
        if re.match(r"[A-Za-z][A-Za-z0-9+.-]*://[^/?#]+[/?#]", text):
            raise ValueError(f"{text!r} is not an origin: give scheme://host[:port] without a path, e.g. {example}")
        raise ValueError(f"{text!r} is not an origin: give http:// or https://, a host and maybe a port, e.g. {example}")
    scheme = match["scheme"].lower()
    origin = f"{scheme}://{match['host'].lower()}"
    if match["port"] is not None:
        port = int(match["port"])
        if not 0 < port < 65536:
            raise ValueError(f"{text!r} is not an origin: the port must be 1..65535")
        if port != _DEFAULT_PORTS[scheme]:
            origin += f":{port}"
    return origin


def create_app(
    index_path: str | pathlib.Path,
    check_interval: float = 1.0,
    handle_sighup: bool = False,
    allow_origins: Iterable[str] = (),
) -> Starlette:
    """The application serving ``index_path``, opened and verified now
    (``IndexLoadError`` if it cannot be). While the app runs (its lifespan),
    a thread watches the file every ``check_interval`` seconds; with
    ``handle_sighup`` (only where the event loop runs on the main thread)
    SIGHUP makes it look at once. Pages of the origins ``allow_origins``
    (``https://www.example.com``; ``ValueError`` for anything else) may call
    the API from the browser."""
    origins = frozenset(checked_origin(origin) for origin in allow_origins)
    live = LiveIndex(index_path, check_interval)
    page = (importlib.resources.files("quillon.server") / "static" / "index.html").read_bytes()

    async def suggest(request: Request) -> Response:
        started = time.perf_counter()
        try:
            params = parse_suggest_params(request.scope["query_string"])
        except BadRequest as error:
            return JSONResponse({"error": str(error), "parameter": error.parameter}, status_code=400)
        generation = live.current  # one generation answers the whole request
        found = generation.index.suggest(params.q, params.limit, params.max_dist, params.videos)
        return JSONResponse(
            {
                "query": found.query,
                "normalized": found.normalized,
                "max_dist": found.max_edits,
                "edits": found.edits,
                "completions": [completion._asdict() for completion in found.completions],
                "terms": [{"term": term, "distance": distance} for term, distance in found.terms],
                "videos": None if found.videos is None else [_video_json(video) for video in found.videos],
                "generation": generation.number,
                "server_ms": round((time.perf_counter() - started) * 1000, 3),
            }
        )

    async def healthz(_request: Request) -> Response:
        generation = live.current
        failure = live.last_failure
        return JSONResponse(
            {
                "status": "ok" if failure is None else "stale",
                "pid": os.getpid(),
                "index": _index_summary(generation.index),
                "generation": generation.number,
                "loaded_at": _utc(generation.loaded_at),
                "load_seconds": round(generation.index.load_seconds, 6),
                "reload_error": None if failure is None else {"error": failure.error, "at": _utc(failure.at)},
            }
        )

    async def home(_request: Request) -> Response:
        return Response(page, media_type="text/html; charset=utf-8", headers=PAGE_HEADERS)

    @contextlib.asynccontextmanager
    async def lifespan(_app: Starlette) -> AsyncIterator[None]:
        live.start()
        if handle_sighup:
            asyncio.get_running_loop().add_signal_handler(signal.SIGHUP, live.request_reload)
        try:
            yield
        finally:
            if handle_sighup:
                asyncio.get_running_loop().remove_signal_handler(signal.SIGHUP)
            live.stop()

    api = ["GET", "OPTIONS"]  # HEAD comes with GET
    app = Starlette(
        routes=[
            Route("/api/suggest", _cross_origin(suggest, origins), methods=api),
            Route("/healthz", _cross_origin(healthz, origins), methods=api),
            Route("/", home),
        ],
        exception_handlers={HTTPException: _http_error, Exception: _internal_error},
        lifespan=lifespan,
    )
    app.state.live = live
    return app


def _cross_origin(endpoint: Endpoint, origins: frozenset[str]) -> Endpoint:
    """``endpoint`` for pages of ``origins`` too: it answers their preflight
    and marks its answers to them as readable. Every answer varies by
    Origin once any origin is allowed, so that a cache keeps them apart."""

    async def answer(request: Request) -> Response:
        origin = request.headers.get("origin")
        allowed = origin if origin is not None and origin in origins else None
        if request.method == "OPTIONS":
            return _preflight(request, allowed)
        response = await endpoint(request)
        if origins:
            response.headers.append("Vary", "Origin")
        if allowed is not None:
            response.headers["Access-Control-Allow-Origin"] = allowed
        return response

    return answer


def _preflight(request: Request, allowed_origin: str | None) -> Response:
    method = request.headers.get("access-control-request-method")
    where = f"{request.method} {request.url.path}"
    if method is None or "origin" not in request.headers:
        return JSONResponse({"error": f"Method Not Allowed: {where}"}, status_code=405, headers={"Allow": CORS_METHODS})
    if allowed_origin is None:
        shown = _shown(request.headers["origin"])
        return JSONResponse(
            {"error": f"cross-origin request refused: origin {shown} is not allowed"},
            status_code=403,
            headers={"Vary": "Origin"},
        )
    if method not in ("GET", "HEAD"):
        return JSONResponse(
            {"error": f"cross-origin request refused: the API answers {CORS_METHODS}, not {_shown(method)}"},
            status_code=403,
            headers={"Vary": "Origin"},
        )
    headers = {
        "Access-Control-Allow-Origin": allowed_origin,
        "Access-Control-Allow-Methods": CORS_METHODS,
        "Access-Control-Max-Age": CORS_MAX_AGE,
        "Vary": "Origin",
    }
    asked = request.headers.get("access-control-request-headers")
    if asked:
        headers["Access-Control-Allow-Headers"] = asked
    return Response(status_code=204, headers=headers)


def _video_json(video: VideoMatch) -> dict[str, object]:
    shown: dict[str, object] = {"id": video.id, "score": video.score, "title": video.title}
    if video.fields:
        shown["fields"] = video.fields
    return shown


def _index_summary(index: Index) -> dict[str, object]:
    summary: dict[str, object] = {"path": str(index.path), "size_bytes": index.size_bytes}
    manifest = index.manifest
    if manifest is not None:
        for name in ("index_sha256", "built_at", "quillon_version", "terms", "nodes", "videos", "id_kind", "normalization"):
            summary[name] = getattr(manifest, name)
    return summary


def _utc(timestamp: float) -> str:
    moment = datetime.datetime.fromtimestamp(timestamp, datetime.timezone.utc)
    return moment.isoformat(timespec="milliseconds").replace("+00:00", "Z")


async def _http_error(request: Request, error: Exception) -> Response:
    assert isinstance(error, HTTPException)
    return JSONResponse(
        {"error": f"{error.detail}: {request.method} {request.url.path}"}, status_code=error.status_code, headers=error.headers
    )


async def _internal_error(request: Request, error: Exception) -> Response:
    # The server logs the traceback too: Starlette raises the error on.
    logger.error("%s %s failed: %s: %s", request.method, request.url.path, type(error).__name__, error)
    return JSONResponse({"error": "internal error; the server's log has the details"}, status_code=500)
