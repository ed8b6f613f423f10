"""Running the app of ``quillon.server.app`` on uvicorn, for ``quillon serve``
and ``quillon demo``, with one worker process or several.

One worker runs in this process. With several, uvicorn's supervisor spawns
them on one listening socket, and each worker opens the index file itself
(``worker_app``) and watches it. uvicorn's supervisor answers SIGHUP by
restarting its workers; ours forwards the signal to the workers instead,
which reload the file in place as a single worker does.
"""

from __future__ import annotations

import importlib.util
import os
import pathlib
import signal
import socket
import sys
from collections.abc import Callable, Sequence
from typing import Any

import uvicorn
from starlette.applications import Starlette
from uvicorn.supervisors import Multiprocess

from quillon.errors import IndexLoadError
from quillon.index import Index
from quillon.server.app import checked_origin, create_app
from quillon.server.live import logger

__all__ = ["serve", "worker_app"]

# How the supervisor tells its spawned workers what to serve.
ENV_INDEX = "QUILLON_SERVE_INDEX"
ENV_CHECK_INTERVAL = "QUILLON_SERVE_CHECK_INTERVAL"
ENV_ALLOW_ORIGINS = "QUILLON_SERVE_ALLOW_ORIGINS"  # separated by spaces, which no origin holds

LOG_CONFIG: dict[str, Any] = {
    "version": 1,
    "disable_existing_loggers": False,
    "formatters": {"plain": {"format": "%(asctime)s %(levelname)s [%(process)d] %(name)s: %(message)s"}},
    "handlers": {"stderr": {"class": "logging.StreamHandler", "formatter": "plain", "stream": "ext://sys.stderr"}},
    "loggers": {
        name: {"handlers": ["stderr"], "level": "INFO", "propagate": False}
        for name in ("uvicorn", "uvicorn.access", "quillon")
    },
}


def serve(
    index_path: pathlib.Path,
    host: str = "127.0.0.1",
    port: int = 8000,
    workers: int = 1,
    check_interval: float = 1.0,
    access_log: bool = False,
    announce: Callable[[str], None] = print,
    allow_origins: Sequence[str] = (),
) -> int:
    """Serves ``index_path`` until SIGINT or SIGTERM, then returns 0; pages
    of ``allow_origins`` may call its API (see ``create_app``).

    Raises ``IndexLoadError`` if the index cannot be opened and ``OSError``
    if the address cannot be listened on, before serving anything."""
    if workers < 1:
        raise ValueError(f"--workers must be at least 1, not {workers}")
    origins = [checked_origin(origin) for origin in allow_origins]
    app: Starlette | None = None
    if workers == 1:
        app = create_app(index_path, check_interval, handle_sighup=True, allow_origins=origins)
        index = app.state.live.current.index
    else:
        index = Index.open(index_path)  # each worker opens it again; this checks it first
    terms = f"{index.manifest.terms:,} terms" if index.manifest else "a raw index"
    del index

    listener = _listen(host, port)
    bound_port = listener.getsockname()[1]
    shown_host = f"[{host}]" if ":" in host else host
    announce(
        f"serving {index_path} ({terms}) at http://{shown_host}:{bound_port}/ "
        f"with {workers} worker{'s' if workers > 1 else ''}; Ctrl-C stops"
    )
    sys.stdout.flush()

    options: dict[str, Any] = {"log_config": LOG_CONFIG, "access_log": access_log, "lifespan": "on"}
    try:
        if app is not None:
            uvicorn.Server(uvicorn.Config(app, **options)).run(sockets=[listener])
        else:
            _spawn_without_rerunning_main()
            os.environ[ENV_INDEX] = str(pathlib.Path(index_path).resolve())
            os.environ[ENV_CHECK_INTERVAL] = str(check_interval)
            os.environ[ENV_ALLOW_ORIGINS] = " ".join(origins)
            config = uvicorn.Config("quillon.server.workers:worker_app", factory=True, workers=workers, **options)
            _Supervisor(config, sockets=[listener]).run()
    except KeyboardInterrupt:
        # uvicorn stops gracefully on SIGINT or SIGTERM, then raises the
        # signal again for the handler it found, which lands here.
        pass
    finally:
        listener.close()
    return 0


def worker_app() -> Starlette:
    """The app of one worker process of the supervisor."""
    try:
        return create_app(
            os.environ[ENV_INDEX],
            float(os.environ[ENV_CHECK_INTERVAL]),
            handle_sighup=True,
            allow_origins=os.environ.get(ENV_ALLOW_ORIGINS, "").split(),
        )
    except IndexLoadError as error:
        # Only a worker started in place of one that died gets here (the
        # file was checked before the first ones). With no index of its own
        # to fall back on it ends; the supervisor starts another, which tries
        # again, while the other workers answer.
        logger.error("this worker cannot start: %s", error)
        raise SystemExit(1) from None


def _spawn_without_rerunning_main() -> None:
    """A spawned worker first runs the parent's main script again; for the
    ``quillon`` console script that imports the whole command line, DuckDB
    and the build with it, some 30 MiB a worker for nothing. Named as under
    ``python -m quillon``, the main module is one that multiprocessing does
    not run again."""
    main = sys.modules["__main__"]
    if getattr(main, "__spec__", None) is None and pathlib.Path(getattr(main, "__file__", "")).name == "quillon":
        main.__spec__ = importlib.util.find_spec("quillon.__main__")


class _Supervisor(Multiprocess):
    """uvicorn's supervisor, except that SIGHUP reaches the workers, which
    reload the index without a restart. A worker still starting is left
    alone (SIGHUP would end it before it installs its handler); it loads the
    file as it is when it gets there, and its watcher notices later changes."""

    def handle_hup(self) -> None:
        ready = [process.pid for process in self.processes if process.pid is not None and process.is_ready(timeout=1)]
        logger.info("SIGHUP: asking workers %s to look at the index file now", ready)
        for pid in ready:
            os.kill(pid, signal.SIGHUP)


def _listen(host: str, port: int) -> socket.socket:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    listener = socket.socket(family, socket.SOCK_STREAM)
    try:
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((host, port))
        # Listening before the workers are up: early connections wait in
        # the backlog instead of being refused.
        listener.listen(2048)
    except OSError as error:
        listener.close()
        raise OSError(f"cannot listen on {host}:{port}: {error.strerror or error}") from None
    listener.set_inheritable(True)
    return listener
