#!/usr/bin/env bash
# Configures and builds one flavour of the project.
#   scripts/build.sh [plain|asan|tsan]
set -euo pipefail
cd "$(dirname "$0")/.."

flavour=${1:-plain}
case "$flavour" in
  plain) dir=build; sanitize="" ; type=RelWithDebInfo ;;
  asan)  dir=build-asan; sanitize=address; type=Debug ;;
  tsan)  dir=build-tsan; sanitize=thread; type=Debug ;;
  *) echo "build: unknown flavour '$flavour' (plain, asan or tsan)" >&2; exit 2 ;;
esac

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DTARNHOLD_SANITIZE="$sanitize" -DTARNHOLD_WERROR=ON -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$dir"
echo "$dir"
