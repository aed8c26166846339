#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs each in turn for the given number of
# seconds (default 30), starting from its committed corpus with the
# dictionary. Installs clang and the build tools first. A crash, leak, hang,
# undefined behaviour or broken property stops the run with exit 1 after
# printing the input that reproduces it.
#
#   bash scripts/fuzz.sh [seconds per target]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

seconds="${1:-30}"
targets=(timestamp csv_reader json_request pipeline)

install_clang
# shellcheck disable=SC2046  # one package name per word
apt_install cmake ninja-build "$(boost_json_package)" $(python_packages)

build=build/fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER="$CXX" \
    -DPULSEQUILL_BUILD_FUZZERS=ON -DPULSEQUILL_SANITIZERS=address,undefined
cmake --build "$build" -j "$(nproc)" --target fuzzers

# New inputs go to a scratch corpus in the build folder; the committed one
# is only read.
findings="$build/findings"
rm -rf "$findings"
mkdir -p "$findings"
summary=()
for target in "${targets[@]}"; do
    corpus="$build/corpus/$target"
    log="$build/fuzz_$target.log"
    mkdir -p "$corpus"
    echo "fuzzing $target for ${seconds}s"
    status=0
    "$build/fuzz/fuzz_$target" "$corpus" "fuzz/corpus/$target" -dict=fuzz/ctg.dict \
        -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$findings/$target-" >"$log" 2>&1 || status=$?
    if [ "$status" != 0 ]; then
        tail -n 60 "$log"
        for reproducer in "$findings/$target"-*; do
            [ -e "$reproducer" ] || continue
            echo "fuzz_$target failed on $reproducer ($(stat -c %s "$reproducer") bytes); reproduce with:"
            echo "echo $(base64 -w0 "$reproducer") | base64 -d > input && $build/fuzz/fuzz_$target input"
        done
        echo "fuzz_$target found a fault (exit $status); its log: $log" >&2
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    coverage=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1)
    summary+=("fuzz_$target: $runs runs, $coverage, corpus $(find "$corpus" -type f | wc -l) new inputs")
done
printf '%s\n' "${summary[@]}"
