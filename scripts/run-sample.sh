#!/usr/bin/env bash
# Installs what pulsequill needs (compiler, Boost.JSON headers, the package
# itself) and analyses the sample recording, printing its JSON report.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

require_python311
apt_update
# shellcheck disable=SC2046  # one package name per word
apt_install g++ "$(boost_json_package)" $(python_packages)
pip_install .
python3 -m pulsequill samples/ctg-40min-4hz.csv
