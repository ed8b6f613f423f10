#!/usr/bin/env bash
# The README's test command: build and install the package with its test
# dependencies, then run the Python tests. Run from the repository root.
set -euo pipefail

python -m pip install -q '.[test]'
python -m pytest -q -p no:cacheprovider
