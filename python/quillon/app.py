"""``quillon.app.create_app``, where it has always been documented: the
application of ``quillon serve`` (``quillon.server.app``)."""

from quillon.server.app import create_app

__all__ = ["create_app"]
