#!/usr/bin/env bash
# Runs the C++ and Python test suites against a build instrumented with
# AddressSanitizer and UndefinedBehaviorSanitizer (and the standard library's
# assertions). Installs clang and the test tools first. The C++ tests also
# check for leaks; the Python run preloads the ASan runtime with leak
# checking off (the interpreter keeps memory until exit by design) and leaves
# reference leaks to the repeated-call loop in tests/python. Child processes
# of pytest run without the runtime, except the interpreter itself
# (scripts/sanitizer_plugin.py).
#
#   bash scripts/sanitize.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

install_instrumented_test_needs

build=build/sanitize
clang_build "$build" RelWithDebInfo -DPULSEQUILL_BUILD_TESTS=ON -DPULSEQUILL_SANITIZERS=address,undefined

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cpp_status=0
ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1 \
    ctest --test-dir "$build" --output-on-failure --no-tests=error || cpp_status=$?

# PYTHONMALLOC=malloc hands every object to ASan's allocator, so an overrun
# of a Python object is caught too, not hidden inside a pymalloc pool.
runtime="$("$CXX" -print-file-name="libclang_rt.asan-$(uname -m).so")"
sanitized_python() {
    LD_PRELOAD="$runtime" ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc PYTHONPATH="$build/python:scripts" \
        python3 "$@"
}
# An installed pulsequill must not stand in for the instrumented one.
native="$(sanitized_python -c 'import pulsequill._native as native; print(native.__file__)')"
if [[ "$native" != "$PWD/$build/"* ]]; then
    echo "the tests would import $native instead of the sanitized build" >&2
    exit 1
fi
python_status=0
sanitized_python -m pytest tests/python -q -p no:cacheprovider -p sanitizer_plugin || python_status=$?

if [ "$cpp_status" != 0 ] || [ "$python_status" != 0 ]; then
    echo "sanitizer run failed: ctest exit $cpp_status, pytest exit $python_status" >&2
    exit 1
fi
