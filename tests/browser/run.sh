#!/usr/bin/env bash
# Runs the browser tests in Debian's headless Chromium against the built bridge
# and X-Plane stand-in (build/ by default, or $TAVRIK_BUILD). The screenshot of
# the live map is kept in build/browser-artifacts/.
set -euo pipefail
cd "$(dirname "$0")"
chromium=${CHROMIUM:-/usr/bin/chromium}
[ -x "$chromium" ] || { echo "browser tests: $chromium missing (apt-get install chromium)" >&2; exit 1; }
build=${TAVRIK_BUILD:-../../build}
for program in tavrik xplane-standin; do
  [ -x "$build/$program" ] || { echo "browser tests: $build/$program missing; build first" >&2; exit 1; }
done
[ -d node_modules/playwright-core ] || npm ci --no-audit --no-fund --loglevel=error
exec node --test --test-concurrency=1 ./*.test.mjs
