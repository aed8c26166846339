#!/usr/bin/env bash
# Installs what pulsequill needs (compiler, Boost.JSON headers, the package
# itself) and analyses the sample recording. Only the JSON report goes to
# standard output; the installers' output goes to a log, shown on failure.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

require_supported_python
log="${TMPDIR:-/tmp}/pulsequill-setup.log"
echo "installing pulsequill and what it needs (a few minutes; log: $log)" >&2
exec 3>&1 4>&2 >"$log" 2>&1
trap 'status=$?; exec >&3 2>&4; tail -n 25 "$log" >&2; echo "set-up failed (exit $status); the whole log is $log" >&2' EXIT

apt_update
# shellcheck disable=SC2046  # one package name per word
apt_install g++ "$(boost_json_package)" $(python_packages)
pip_install .

trap - EXIT
exec >&3 2>&4 3>&- 4>&-
python3 -m pulsequill analyze samples/ctg-40min-4hz.csv
