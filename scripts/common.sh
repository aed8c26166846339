# Helpers shared by the set-up scripts (sourced, not run). Written for a fresh
# Debian 12 or 13 machine, as root, whose python3 is CPython 3.11 or later.

export DEBIAN_FRONTEND=noninteractive
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1

apt_updated=0
apt_update() {
    if [ "$apt_updated" = 0 ]; then
        apt-get update
        apt_updated=1
    fi
}

apt_install() {
    apt_update
    apt-get install -y --no-install-recommends "$@"
}

# Boost.JSON's headers: Debian 13 has the unversioned package, Debian 12 only
# the one named for Boost 1.81. Needs the package lists (apt_update) first.
boost_json_package() {
    if apt-cache show --no-all-versions libboost-json-dev 2>/dev/null | grep -q '^Package:'; then
        echo libboost-json-dev
    else
        echo libboost-json1.81-dev
    fi
}

python_has() {
    python3 -c "import os, sys, sysconfig; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()['$1'], '$2')))"
}

# What a Debian-built python3 lacks for building an extension: pip and the
# C headers. An interpreter built from source has both.
python_packages() {
    python3 -m pip --version >/dev/null 2>&1 || echo python3-pip
    python_has include Python.h || echo python3-dev
}

# CPython 3.11 or later (3.11, 3.12 and 3.13 are tested): Debian 12's python3
# is 3.11, Debian 13's is 3.13.
require_supported_python() {
    if ! python3 -c 'import sys; sys.exit(sys.version_info < (3, 11))'; then
        echo "pulsequill needs CPython 3.11 or later as python3; found $(python3 --version 2>&1)" >&2
        exit 1
    fi
}

pip_install() {
    # Debian marks its own interpreter as externally managed; on a machine set
    # up for this project, installing into it is the intent.
    if python_has stdlib EXTERNALLY-MANAGED; then
        export PIP_BREAK_SYSTEM_PACKAGES=1
    fi
    python3 -m pip install "$@"
}

# clang for the instrumented builds (sanitizers, fuzzing, coverage): the
# newest release from 19 on whose sanitizer and libFuzzer runtime is packaged
# too (older clang cannot compile std::expected against Debian 12's
# libstdc++). PULSEQUILL_CLANG_VERSION picks one instead. Needs the package
# lists (apt_update) first. (grep reads all of apt-cache's output: with -q it
# could stop early, and pipefail would count apt-cache's broken pipe.)
clang_version() {
    if [ -n "${PULSEQUILL_CLANG_VERSION:-}" ]; then
        echo "$PULSEQUILL_CLANG_VERSION"
        return
    fi
    local version
    for version in $(apt-cache search --names-only '^clang-[0-9]+$' | sed -E 's/^clang-([0-9]+) .*/\1/' | sort -rn); do
        if [ "$version" -ge 19 ] &&
            apt-cache show --no-all-versions "libclang-rt-$version-dev" 2>/dev/null | grep '^Package:' >/dev/null; then
            echo "$version"
            return
        fi
    done
    echo "no clang 19 or newer with its runtime (libclang-rt-N-dev) in the package lists" >&2
    return 1
}

# Installs that clang, its runtime and the LLVM tools, and points CC and CXX
# at it; LLVM_BIN is the folder of its llvm-* tools (llvm-cov, llvm-profdata),
# and the sanitizers print source lines through its symbolizer.
install_clang() {
    apt_update
    local version
    version="$(clang_version)"
    apt_install "clang-$version" "libclang-rt-$version-dev" "llvm-$version"
    export CC="clang-$version" CXX="clang++-$version" LLVM_BIN="/usr/lib/llvm-$version/bin"
    export ASAN_SYMBOLIZER_PATH="$LLVM_BIN/llvm-symbolizer"
}

# What the instrumented runs of the tests (scripts/sanitize.sh and
# scripts/coverage.sh) need: clang, the build and test tools, and the test
# extra's Python packages. CMake builds the package itself, not pip.
install_instrumented_test_needs() {
    require_supported_python
    install_clang
    # shellcheck disable=SC2046  # one package name per word
    apt_install cmake ninja-build libgtest-dev "$(boost_json_package)" $(python_packages)
    # shellcheck disable=SC2046
    pip_install $(python3 -c 'import re, tomllib
with open("pyproject.toml", "rb") as f:
    extras = tomllib.load(f)["project"]["optional-dependencies"]
def needs(extra):  # the extra with its references to the package'"'"'s own extras expanded
    for item in extras[extra]:
        own = re.fullmatch(r"pulsequill\[(.*)\]", item)
        yield from (need for name in own.group(1).split(",") for need in needs(name)) if own else [item]
print(*sorted(set(needs("test"))))')
}

# Configures the build folder $1 as a Ninja build of type $2 compiled with
# that clang (install_clang first), with the CMake options that follow, and
# builds it.
clang_build() {
    local build="$1" type="$2"
    shift 2
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DCMAKE_CXX_COMPILER="$CXX" "$@"
    cmake --build "$build" -j "$(nproc)"
}
