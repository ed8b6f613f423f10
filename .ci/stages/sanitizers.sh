#!/usr/bin/env bash
# Both test suites under AddressSanitizer and UndefinedBehaviorSanitizer: the
# core, its C++ tests and both extensions (_quillon and the package's
# quillon._engine) rebuilt with them, then the C++ tests and the Python tests
# against that build. Any sanitizer report fails the stage. Run from the
# repository root, with the package and its test dependencies installed.
set -euo pipefail
root=$PWD
jobs=$(nproc)

cmake -S . -B build/ci-sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLON_SANITIZE=ON -DQUILLON_BUILD_TESTS=ON -DPython_EXECUTABLE="$(command -v python)" >/dev/null
cmake --build build/ci-sanitize -j "$jobs"

reports=$(mktemp -d /tmp/quillon-ci-sanitizer.XXXXXX)
export ASAN_OPTIONS="log_path=$reports/asan:abort_on_error=1:detect_stack_use_after_return=0"
export UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1"

echo "== sanitizers: C++ core tests"
ctest --test-dir build/ci-sanitize --output-on-failure -j "$jobs"

echo "== sanitizers: Python tests"
# The interpreter is not built with the sanitizers: preload the runtime, and
# leave leak detection off, since the interpreter keeps memory until exit.
# libstdc++ is preloaded too, so that the runtime's interceptor of C++ throws
# finds the real one (the module would otherwise bring it in too late).
asan_runtime="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
module_dir=$(dirname "$(find build/ci-sanitize -maxdepth 1 -name '_quillon*.so' | head -n 1)")

# _quillon is a top-level module, which PYTHONPATH shadows (and the test
# suite checks, through QUILLON_EXPECT_MODULE_DIR, that the sanitized one is
# what it imports). quillon._engine lives inside the installed package, which
# no path entry can shadow module by module: the sanitized build takes the
# installed file's place for the run, and the installed file comes back
# afterwards (replaced by rename both ways, never rewritten in place), so
# that nothing after this stage loads a module that needs the preloaded
# runtime.
sanitized_engine=$(find build/ci-sanitize -maxdepth 1 -name '_engine*.so' | head -n 1)
if [ -z "$sanitized_engine" ] || ! grep -q libasan <<<"$(ldd "$sanitized_engine")"; then
  echo "no _engine built with AddressSanitizer in build/ci-sanitize" >&2
  exit 1
fi
installed_engine=$(python -c 'import quillon._engine as engine; print(engine.__file__)')
export PYTHONPATH="$root/$module_dir" LD_PRELOAD="$asan_runtime" ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0"
kept_engine="$root/build/ci-sanitize/installed-$(basename "$installed_engine")"
cp -p "$installed_engine" "$kept_engine"
put_in_place() {
  cp -p "$1" "$installed_engine.swap"
  mv -f "$installed_engine.swap" "$installed_engine"
}
trap 'put_in_place "$kept_engine"' EXIT
put_in_place "$sanitized_engine"
imported_engine=$(python -c 'import quillon._engine as engine; print(engine.__file__)')
if [ "$imported_engine" != "$installed_engine" ] || ! cmp -s "$imported_engine" "$sanitized_engine"; then
  echo "quillon._engine imported from $imported_engine, which is not the sanitized build $sanitized_engine" >&2
  exit 1
fi

QUILLON_EXPECT_MODULE_DIR="$root/$module_dir" \
  HYPOTHESIS_PROFILE=sanitize \
  QUILLON_SKIP_HEAVY=1 \
  python -m pytest -q -p no:cacheprovider

if compgen -G "$reports/*" >/dev/null; then
  echo "sanitizer reports:" >&2
  cat "$reports"/* >&2
  exit 1
fi
