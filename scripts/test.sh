#!/usr/bin/env bash
# Installs what is missing (the browser test's Chromium and Selenium too),
# builds, and runs every test; then builds the core
# and its tests again with AddressSanitizer (leaks included) and
# UndefinedBehaviorSanitizer into build-asan/ and runs them there.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# The operator page's browser test: headless Chromium driven by Selenium.
bash scripts/install-deps.sh chromium chromium-driver python3-selenium
bash scripts/build.sh
export QT_QPA_PLATFORM=offscreen
ctest --test-dir build --output-on-failure
bash scripts/build.sh --sanitize
ctest --test-dir build-asan --output-on-failure
