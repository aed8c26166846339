#!/usr/bin/env bash
# Prints the line coverage of the core (src/fhr_core) reached by the fuzz
# corpora alone, then by the corpora and all tests together (C++ and
# Python), measured with clang's source coverage and llvm-cov. The corpora
# are the committed ones plus, when present, what scripts/fuzz.sh found in
# build/fuzz/corpus. Installs clang and the test tools first.
#
#   bash scripts/coverage.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

install_instrumented_test_needs

build=build/coverage
clang_build "$build" Debug -DPULSEQUILL_BUILD_TESTS=ON -DPULSEQUILL_BUILD_FUZZERS=ON -DPULSEQUILL_COVERAGE=ON

profiles="$PWD/$build/profiles"  # absolute: ctest runs each test in its own folder
rm -rf "$profiles"
mkdir -p "$profiles"

# Each fuzz target runs every input of its corpora once (-runs=0).
for harness in "$build"/fuzz/fuzz_*; do
    target="${harness##*/fuzz_}"
    corpora=("fuzz/corpus/$target")
    [ -d "build/fuzz/corpus/$target" ] && corpora+=("build/fuzz/corpus/$target")
    echo "fuzz_$target: ${corpora[*]}"
    LLVM_PROFILE_FILE="$profiles/fuzz-$target.profraw" "$harness" -runs=0 "${corpora[@]}" >/dev/null 2>&1
done
LLVM_PROFILE_FILE="$profiles/tests-%p.profraw" ctest --test-dir "$build" --no-tests=error >/dev/null
LLVM_PROFILE_FILE="$profiles/python-%p.profraw" PYTHONPATH="$build/python" \
    python3 -m pytest tests/python -q -p no:cacheprovider >/dev/null

objects=("$build"/fuzz/fuzz_*)
objects+=("$build"/tests/cpp/*_test "$build"/python/pulsequill/_native*.so)
report() {  # report <title> <profiles...>
    local title="$1"
    shift
    "$LLVM_BIN/llvm-profdata" merge -sparse "$@" -o "$build/merged.profdata"
    echo
    echo "== line coverage of src/fhr_core from $title"
    "$LLVM_BIN/llvm-cov" report "${objects[0]}" "${objects[@]/#/-object=}" \
        -instr-profile="$build/merged.profdata" -show-region-summary=false -show-branch-summary=false \
        -show-functions=false src/fhr_core
}
report "the fuzz corpora" "$profiles"/fuzz-*.profraw
report "the fuzz corpora and all tests" "$profiles"/*.profraw
