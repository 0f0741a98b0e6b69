#!/usr/bin/env bash
# Builds the two Debian packages in Release (build-release/) and checks them the way a
# distribution reviewer would: lintian (errors and warnings fail), desktop-file-validate on the
# menu entry and appstreamcli on the metainfo.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DVANTREL_BUILD_TESTS=OFF -DVANTREL_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build-release --parallel "$(nproc)"
rm -f build-release/*.deb
(cd build-release && cpack -G DEB >/dev/null)

desktop-file-validate packaging/com.vantrel.vpn.desktop
appstreamcli validate --no-net --pedantic packaging/com.vantrel.vpn.metainfo.xml

status=0
for deb in build-release/vantrel-vpn_*.deb build-release/vantrel-vpn-devtools_*.deb; do
    echo "lintian $(basename "$deb")"
    # Info-level notes that stay are listed with their reasons in the README's packaging section.
    lintian --fail-on error,warning "$deb" ||
        status=1
done
exit $status
