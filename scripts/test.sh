#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and UndefinedBehaviorSanitizer
# in build-tests/, builds and checks the Debian packages (build-release/, scripts/package.sh) and
# runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
cmake -S . -B build-tests -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVANTREL_SANITIZE=ON >/dev/null
cmake --build build-tests --parallel "$(nproc)"
./scripts/package.sh
cd build-tests
ctest --output-on-failure --parallel "$(nproc)" "$@"
