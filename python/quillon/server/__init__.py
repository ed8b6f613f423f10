"""The server of ``quillon serve``: a Starlette application answering a
search box from an index file that reloads itself when the file is replaced.

- ``app``: ``create_app``, the endpoints and their parameters;
- ``live``: the index that is swapped whole when its file changes;
- ``workers``: running the app on uvicorn, its workers and their signals;
- ``static/index.html``: the page.

It uses the public API of ``quillon`` and never the build pipeline.
"""

from quillon.server.app import create_app
from quillon.server.workers import serve

__all__ = ["create_app", "serve"]
