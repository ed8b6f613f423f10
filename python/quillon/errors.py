"""The errors a user of quillon catches: each message names the file and
what is wrong with it."""

from __future__ import annotations

__all__ = ["BuildError", "IndexLoadError"]


class IndexLoadError(Exception):
    """An index that cannot be opened; the message names the file and why."""


class BuildError(Exception):
    """Input the build cannot use: the message names the file and what is
    wrong with it. Nothing has been written when it is raised."""
