#!/usr/bin/env bash
# A fresh virtual environment at $QUILLON_CI_VENV (which .ci/run puts first
# on PATH for the stages after this one), with pip, CMake and Ninja.
set -euo pipefail
: "${QUILLON_CI_VENV:?run from .ci/run, or set QUILLON_CI_VENV to an empty directory}"

python3.11 -m venv "$QUILLON_CI_VENV" 2>/dev/null || python3 -m venv "$QUILLON_CI_VENV"
"$QUILLON_CI_VENV/bin/python" -m pip install -q --upgrade pip
"$QUILLON_CI_VENV/bin/python" -m pip install -q cmake ninja
