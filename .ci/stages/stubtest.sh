#!/usr/bin/env bash
# The type stubs against the installed module: mypy.stubtest compares
# _quillon.pyi and quillon's annotations with what the built module really
# exposes (names, signatures, static methods; stubtest-allowlist.txt says
# what it cannot judge and what checks that instead); then mypy type-checks the
# examples and tests/typing/stub_usage.py from an installed copy, which fails
# if mypy cannot find the stubs or their types drift from what callers see.
# Runs from the repository root, in an environment where the package is
# installed (pip install '.[test]', which brings mypy).
set -euo pipefail
cd "$(dirname "$0")/../.."

if ! python -m mypy --version >/dev/null 2>&1; then
  python -m pip install -q 'mypy>=1.11'
fi

echo "== stubtest: _quillon quillon"
python -m mypy.stubtest --allowlist .ci/stages/stubtest-allowlist.txt _quillon quillon

echo "== mypy --strict: the examples and tests/typing against the installed stubs"
# From a scratch directory, so that nothing in the checkout shadows the
# installed packages; no cache is written.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp examples/autocomplete.py examples/quickstart.py tests/typing/stub_usage.py "$scratch"/
(cd "$scratch" && python -m mypy --strict --cache-dir=/dev/null autocomplete.py quickstart.py stub_usage.py)
