#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan, in build-fuzz/) and runs them.
#   scripts/fuzz.sh build                        configure and build the targets
#   scripts/fuzz.sh check                        build, then run each target once over its saved inputs
#   scripts/fuzz.sh run TARGET SECONDS [OPTS]    fuzz one target (session_fuzz, settings_fuzz, path_fuzz)
#                                                from its seeds; new inputs go to build-fuzz/corpus/TARGET,
#                                                findings to build-fuzz/findings/TARGET-*
# A finding becomes a regression case: copy it into the target's *_regressions folder.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build-fuzz
declare -A seeds=([session_fuzz]=tests/engine/fuzz/session_seeds [settings_fuzz]=tests/config/fuzz/settings_seeds
  [path_fuzz]=tests/engine/fuzz/path_seeds)
declare -A regressions=([session_fuzz]=tests/engine/fuzz/session_regressions [settings_fuzz]=tests/config/fuzz/settings_regressions
  [path_fuzz]=tests/engine/fuzz/path_regressions)
declare -A dictionaries=([session_fuzz]=tests/engine/fuzz/session.dict)
declare -A binaries=([session_fuzz]=$dir/tests/engine/session_fuzz [settings_fuzz]=$dir/tests/config/settings_fuzz
  [path_fuzz]=$dir/tests/engine/path_fuzz)

build() {
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DTARNHOLD_FUZZ=ON -DTARNHOLD_SANITIZE=address -DTARNHOLD_WERROR=ON >/dev/null
  cmake --build "$dir" --parallel "${JOBS:-2}" --target session_fuzz settings_fuzz path_fuzz
}

case "${1:-}" in
  build) build ;;
  check)
    build
    for target in session_fuzz settings_fuzz path_fuzz; do
      echo "== $target over its saved inputs =="
      # Inputs named one by one: libFuzzer then only runs them and writes
      # nothing into the folders.
      find "${seeds[$target]}" "${regressions[$target]}" -type f ! -name '.*' -print0 |
        xargs -0 "${binaries[$target]}"
    done
    ;;
  run)
    target=${2:?target}; seconds=${3:?seconds}; shift 3
    build
    corpus=$dir/corpus/$target
    mkdir -p "$corpus" "$dir/findings"
    dictionary=()
    [ -n "${dictionaries[$target]:-}" ] && dictionary=(-dict="${dictionaries[$target]}")
    "${binaries[$target]}" -max_total_time="$seconds" -timeout=30 -max_len=4096 -print_final_stats=1 \
      -artifact_prefix="$dir/findings/$target-" "${dictionary[@]}" "$@" \
      "$corpus" "${seeds[$target]}" "${regressions[$target]}"
    ;;
  *) echo "usage: scripts/fuzz.sh build | check | run TARGET SECONDS [libFuzzer options]" >&2; exit 2 ;;
esac
