#!/usr/bin/env bash
# Runs the browser tests in Debian's headless Chromium and Firefox against the
# built bridge and X-Plane stand-in (build/ by default, or $TAVRIK_BUILD).
# Installs the locked test driver first when node_modules is missing or older
# than package-lock.json. TAVRIK_BROWSERS=chromium (or firefox) runs one
# engine. Screenshots of the live map are kept in build/browser-artifacts/.
set -euo pipefail
cd "$(dirname "$0")"
for browser in "${CHROMIUM:-/usr/bin/chromium}" "${FIREFOX:-/usr/bin/firefox-esr}"; do
  [ -x "$browser" ] || { echo "browser tests: $browser missing (apt-get install chromium firefox-esr)" >&2; exit 1; }
done
build=${TAVRIK_BUILD:-../../build}
for program in tavrik xplane-standin; do
  [ -x "$build/$program" ] || { echo "browser tests: $build/$program missing; build first" >&2; exit 1; }
done
stamp=node_modules/.tavrik-lock-sha256
lock=$(sha256sum package-lock.json | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$lock" ]; then
  npm ci --no-audit --no-fund --loglevel=error
  echo "$lock" >"$stamp"
fi
exec node --test --test-concurrency=1 ./*.test.mjs
