#!/usr/bin/env bash
# The C++ tests of the core (GoogleTest), without the Python module. Run
# from the repository root.
set -euo pipefail
jobs=$(nproc)

cmake -S . -B build/ci-core -G Ninja -DQUILLON_BUILD_MODULE=OFF -DQUILLON_BUILD_TESTS=ON >/dev/null
cmake --build build/ci-core -j "$jobs"
ctest --test-dir build/ci-core --output-on-failure -j "$jobs"
