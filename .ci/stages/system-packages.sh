#!/usr/bin/env bash
# System packages the build and tests need that pip cannot bring: GoogleTest
# for the C++ tests; Chromium and its WebDriver for the browser test of
# quillon serve's page; Redis with the RediSearch module and the English
# word list for the smoke run of the completion benchmark against its peers.
# Only missing ones are installed. (The fuzz stage installs clang itself.)
set -euo pipefail

missing=()
for package in libgtest-dev chromium chromium-driver redis-server redis-redisearch wamerican-large; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
