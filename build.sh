#!/usr/bin/env bash
# Build, test, benchmark and demonstrate qvFoundationComponents.
#   ./build.sh test    install what is missing, then build and run every test under the
#                      asan preset (AddressSanitizer + UBSan) and the tsan preset
#   ./build.sh bench   build the release preset and run the benchmarks
#   ./build.sh demo    build the release preset and run the example host
set -euo pipefail
cd "$(dirname "$0")"

usage() {
    echo "usage: $0 {test|bench|demo}" >&2
    exit 2
}

# Debian packages the build needs, with a header or tool that shows each is present.
ensure_dependencies() {
    local missing=()
    command -v cmake >/dev/null 2>&1 || missing+=(cmake)
    command -v g++ >/dev/null 2>&1 || missing+=(g++)
    [ -f /usr/include/loki/Functor.h ] || missing+=(libloki-dev)
    [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
    [ -f /usr/include/gmock/gmock.h ] || missing+=(libgmock-dev)
    [ -f /usr/include/benchmark/benchmark.h ] || missing+=(libbenchmark-dev)
    command -v pkg-config >/dev/null 2>&1 || missing+=(pkg-config)
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    echo "build.sh: installing missing packages: ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "build.sh: these packages are missing and installing them needs root: ${missing[*]}" >&2
        echo "build.sh: run 'apt-get install -y ${missing[*]}' as root, then try again." >&2
        exit 1
    fi
    if ! command -v apt-get >/dev/null 2>&1; then
        echo "build.sh: no apt-get on this machine; install ${missing[*]} by hand." >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}"
}

export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"

case "${1:-}" in
    test)
        ensure_dependencies
        cmake --workflow --preset asan
        cmake --workflow --preset tsan
        ;;
    bench)
        ensure_dependencies
        cmake --preset release >/dev/null
        cmake --build --preset release
        status=0
        for program in build/release/bench/qv*Bench; do
            [ -x "$program" ] || continue
            echo "== $(basename "$program")"
            "$program" --benchmark_min_time=0.2 || status=1
        done
        exit $status
        ;;
    demo)
        echo "build.sh: the demo host is not built yet." >&2
        exit 2
        ;;
    *)
        usage
        ;;
esac
