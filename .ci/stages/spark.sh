#!/usr/bin/env bash
# quillon.spark against Spark in local mode: a Java runtime from Debian when
# there is none recent enough (PySpark 4 needs Java 17), the packages of the
# [spark] extra, then the Spark tests, which must run rather than skip.
# Runs from the repository root after python-tests, in its environment
# (quillon installed).
set -euo pipefail

java="${JAVA_HOME:+$JAVA_HOME/bin/}java"
java_major=$("$java" -version 2>&1 | sed -n 's/.* version "\([0-9]*\).*/\1/p' | head -n 1 || true)
if [ "${java_major:-0}" -lt 17 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends openjdk-17-jre-headless >/dev/null
  export JAVA_HOME="/usr/lib/jvm/java-17-openjdk-$(dpkg --print-architecture)"
  java="$JAVA_HOME/bin/java"
fi
"$java" -version 2>&1 | head -n 1

# The extra's requirements as pyproject.toml lists them: `pip install
# '.[spark]'` would compile the module a second time for nothing.
requirements=$(python -c '
import tomllib
with open("pyproject.toml", "rb") as file:
    print("\n".join(tomllib.load(file)["project"]["optional-dependencies"]["spark"]))')
mapfile -t requirements <<<"$requirements"
python -m pip install -q "${requirements[@]}"
python -c 'import pyspark; print("pyspark", pyspark.__version__)'

QUILLON_REQUIRE_SPARK=1 python -m pytest -q -p no:cacheprovider tests/test_spark.py
