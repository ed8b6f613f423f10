"""The errors a user of quillon catches: each message names the file and
what is wrong with it, and what to do where something can be done."""

from __future__ import annotations

__all__ = ["BuildError", "IndexLoadError", "OutdatedIndexError"]


class IndexLoadError(Exception):
    """An index that cannot be opened or read; the message names the file
    and why.

    ``reason`` is the message without advice; ``unverified_opens`` says
    that the index would open without verification, which each caller
    offers in its own words (``str()`` gives the Python API's:
    ``Index.open(path, verify=False)``; ``quillon query`` and ``info`` name
    ``--no-verify``)."""

    def __init__(self, reason: str, *, unverified_opens: bool = False) -> None:
        self.reason = reason
        self.unverified_opens = unverified_opens
        advice = "; Index.open(path, verify=False) opens it unverified, its queries not normalised" if unverified_opens else ""
        super().__init__(reason + advice)


class OutdatedIndexError(IndexLoadError):
    """An index written by an older quillon, without what is asked of it
    (completions): rebuild it with ``quillon build``."""


class BuildError(Exception):
    """Input the build cannot use: the message names the file and what is
    wrong with it. Nothing has been written when it is raised."""
