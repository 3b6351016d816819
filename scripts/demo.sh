#!/usr/bin/env bash
# Installs what is missing, builds, and starts the monitor on the demo configuration.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
exec build/app/prowlix "/I:$PWD/examples/demo.ini" "$@"
