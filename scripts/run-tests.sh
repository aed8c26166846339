#!/usr/bin/env bash
# Installs what the tests need and runs all of them: the C++ unit tests of the
# core through CMake and ctest, then the Python tests against the installed
# package, then ruff and mypy. Exits non-zero when any test or check fails or
# when a runner finds none.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

require_supported_python
apt_update
# shellcheck disable=SC2046  # one package name per word
apt_install g++ cmake ninja-build libgtest-dev "$(boost_json_package)" $(python_packages)
# The service's tests start their own PostgreSQL server and drive the page in headless Chromium.
apt_install postgresql chromium chromium-driver
pip_install ".[test,service]"

build=build/tests
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPULSEQUILL_BUILD_TESTS=ON
cmake --build "$build" -j "$(nproc)"

cpp_status=0
ctest --test-dir "$build" --output-on-failure --no-tests=error || cpp_status=$?

# From the tree's root the source package (python/pulsequill) is not on the
# path, so the tests import the installed one.
python_status=0
python3 -m pytest tests/python -q -p no:cacheprovider || python_status=$?
if [ "$python_status" = 5 ]; then
    echo "pytest collected no tests" >&2
fi

# Lint (every Python file of the tree) and types, configured in pyproject.toml.
lint_status=0
python3 -m ruff check || lint_status=$?
python3 -m mypy || lint_status=$?

if [ "$cpp_status" != 0 ] || [ "$python_status" != 0 ] || [ "$lint_status" != 0 ]; then
    echo "tests failed: ctest exit $cpp_status, pytest exit $python_status, ruff/mypy exit $lint_status" >&2
    exit 1
fi
