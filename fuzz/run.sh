#!/usr/bin/env bash
# Builds the fuzz targets with clang (ASan, UBSan, libFuzzer) and either replays the seeds
# and the regression inputs (no fuzzing; what CI runs) or fuzzes for a while.
#   fuzz/run.sh replay
#   fuzz/run.sh fuzz SECONDS [fuzz_unpack|fuzz_tnef]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${FUZZ_BUILD:-$here/../build-fuzz}
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" >/dev/null
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$here/regressions/unpack" "$here/regressions/tnef"
case "${1:-replay}" in
replay)
  "$build/fuzz_unpack" -runs=0 "$here/corpus" "$here/regressions/unpack"
  "$build/fuzz_tnef" -runs=0 "$here/regressions/tnef" "$here/corpus/mimekit-tnef"
  ;;
fuzz)
  seconds=${2:?seconds}
  target=${3:-fuzz_unpack}
  work=${FUZZ_WORK:-$build/work-$target}
  mkdir -p "$work"
  seeds="$here/corpus"
  [ "$target" = fuzz_tnef ] && seeds="$here/corpus/mimekit-tnef"
  "$build/$target" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/" -print_final_stats=1 "$work" "$seeds"
  ;;
*)
  echo "usage: $0 replay | fuzz SECONDS [fuzz_unpack|fuzz_tnef]" >&2
  exit 1
  ;;
esac
