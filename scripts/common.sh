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
