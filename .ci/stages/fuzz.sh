#!/usr/bin/env bash
# Fuzzing stage: builds the libFuzzer targets of the core with clang,
# AddressSanitizer and UndefinedBehaviorSanitizer, writes the seed corpus and
# runs each target for a fixed time (FUZZ_SECONDS, 60 by default: six
# targets, six minutes besides the build). Any finding (a crash, a failed
# check, a sanitizer report, a timeout, memory beyond the limits) fails the
# stage; the input that caused it is kept under build/fuzz/artifacts/. Run
# from the repository root.
set -euo pipefail

seconds=${FUZZ_SECONDS:-60}
build=build/fuzz

echo "== fuzz: toolchain"
packages=()
if ! command -v clang++ >/dev/null 2>&1 || ! compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null; then
  # clang is clang-14 on bookworm; its libFuzzer runtime comes separately.
  packages+=(clang libclang-rt-14-dev)
fi
command -v cmake >/dev/null 2>&1 || packages+=(cmake)
command -v ninja >/dev/null 2>&1 || packages+=(ninja-build)
if [ "${#packages[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${packages[@]}" >/dev/null
fi
clang++ --version | head -n 1

echo "== fuzz: build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DQUILLON_BUILD_MODULE=OFF -DQUILLON_BUILD_FUZZERS=ON >/dev/null
cmake --build "$build" -j "$(nproc)"

rm -rf "$build/seeds" "$build/corpus" "$build/artifacts" "$build/logs"
mkdir -p "$build/corpus" "$build/artifacts" "$build/logs"
"$build/fuzz/fuzz_seeds" "$build/seeds"

# Inputs up to 4 KiB; one input may take 10 s at most; an allocation of
# more than 64 MiB or a process above 2 GiB is a finding (the decode and
# index targets also bound their heap by the input's length themselves).
status=0
summary=""
for target in decode_fuzzer walk_fuzzer build_fuzzer index_fuzzer complete_fuzzer mapped_fuzzer; do
  echo "== fuzz: $target for ${seconds}s"
  mkdir -p "$build/corpus/$target"
  log="$build/logs/$target.log"
  if "$build/fuzz/$target" "$build/corpus/$target" "$build/seeds/$target" \
      -max_total_time="$seconds" -max_len=4096 -timeout=10 \
      -rss_limit_mb=2048 -malloc_limit_mb=64 \
      -artifact_prefix="$build/artifacts/$target-" -print_final_stats=1 >"$log" 2>&1; then
    result=ok
  else
    result="FAILED"
    status=1
    tail -n 60 "$log" >&2
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log")
  line="$target: $result, ${runs:-?} executions (${speed:-?}/s), corpus $(ls "$build/corpus/$target" | wc -l) new inputs, peak RSS ${rss:-?} MB"
  echo "$line"
  summary+="$line"$'\n'
done

echo "== fuzz: summary"
printf '%s' "$summary"
if [ "$status" -ne 0 ]; then
  echo "findings saved in $build/artifacts:" >&2
  ls -l "$build/artifacts" >&2
fi
exit "$status"
