#!/usr/bin/env bash
# System packages the build needs that pip cannot bring: GoogleTest for the
# C++ tests. (The fuzz stage installs clang itself.)
set -euo pipefail

if ! dpkg -s libgtest-dev >/dev/null 2>&1; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq libgtest-dev >/dev/null
fi
