#!/usr/bin/env bash
# The portal's pictures in docs/ (the meters page and a meter's chart), taken by the browser
# test in headless Chromium on its own throw-away data root.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build build --target qst-cli qst-sim
/usr/bin/python3 tests/web/browser_test.py --cli build/src/cli/qst-cli --sim build/tools/qst-sim/qst-sim \
    --screenshots docs
echo "docs/portal-meters.png and docs/portal-chart.png written"
