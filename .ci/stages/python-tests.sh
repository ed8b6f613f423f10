#!/usr/bin/env bash
# The README's test command: build and install the package with its test
# dependencies, then run the Python tests. Run from the repository root.
# Here the browser test must run: a missing Chromium fails it instead of
# skipping it.
set -euo pipefail

python -m pip install -q '.[test]'
QUILLON_REQUIRE_BROWSER=1 python -m pytest -q -p no:cacheprovider
