#!/usr/bin/env bash
# The README's test command: build and install the package with its test
# dependencies, then run the Python tests. Run from the repository root.
# Here the browser test and the smoke run against the benchmark's peers must
# run: a missing Chromium, Redis, RediSearch or tantivy fails them instead of
# skipping them.
set -euo pipefail

python -m pip install -q '.[test]'
QUILLON_REQUIRE_BROWSER=1 QUILLON_REQUIRE_PEERS=1 python -m pytest -q -p no:cacheprovider
