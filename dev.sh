#!/usr/bin/env bash
# Set-up, build and run for a fresh Debian 12 machine.
#   ./dev.sh run [ARGS...]   install what is missing, build a release binary, run it
#   ./dev.sh test            install what is missing, build the test configuration
#                            (sanitizers, warnings as errors) and run the whole suite
set -euo pipefail
cd "$(dirname "$0")"

BUILD_PACKAGES=(g++ cmake ninja-build pkg-config nlohmann-json3-dev libfmt-dev libtbb-dev
                libutf8proc-dev)
TEST_PACKAGES=(libgtest-dev libgmock-dev libbenchmark-dev tmux zsh fish python3 util-linux
               passwd clang libclang-rt-dev)

log() { printf '%s\n' "$*" >&2; }

ensure_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    # Refresh the package lists first when one of the packages is not known yet.
    for p in "${missing[@]}"; do
        if ! apt-cache show "$p" >/dev/null 2>&1; then
            log "dev.sh: updating the package lists"
            "${sudo[@]}" apt-get update -q >&2
            break
        fi
    done
    log "dev.sh: installing ${missing[*]}"
    "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
}

jobs() { nproc 2>/dev/null || echo 2; }

cmd="${1:-}"
[ $# -gt 0 ] && shift
case "$cmd" in
    run)
        ensure_packages "${BUILD_PACKAGES[@]}"
        cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >&2
        cmake --build build/release --target quillbarrow >&2
        exec build/release/quillbarrow "$@"
        ;;
    test)
        ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
        cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Debug \
            -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DQB_BUILD_TESTS=ON -DQB_SANITIZE=ON -DQB_WERROR=ON
        cmake --build build/test
        exec ctest --test-dir build/test --output-on-failure -j "$(jobs)" "$@"
        ;;
    *)
        log "usage: ./dev.sh run [ARGS...] | ./dev.sh test [CTEST ARGS...]"
        exit 2
        ;;
esac
