"""``python -m quillon``: the ``quillon`` command."""

from quillon.cli import main

if __name__ == "__main__":
    raise SystemExit(main())
