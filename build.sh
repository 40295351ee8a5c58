#!/usr/bin/env bash
# Build, test, benchmark and demonstrate qvFoundationComponents.
#   ./build.sh test    install what is missing, then build and run every test under the
#                      asan preset (AddressSanitizer + UBSan) and the tsan preset, run each
#                      fuzz target for a bounded number of inputs (fuzz preset, clang), run
#                      every test program once under valgrind memcheck (memcheck preset), then
#                      the Windows stage below
#                      (after tsan, the tests of the clang preset, built with clang++, and
#                      clang-tidy on the library with the checks of .clang-tidy)
#   ./build.sh tidy    only the clang-tidy stage of test
#   ./build.sh fuzz    build the fuzz preset and run each fuzz target longer (QV_FUZZ_SECONDS,
#                      default 60 s each), keeping what it learns in build/fuzz/corpus
#   ./build.sh bench   build the release preset's benchmark programs (with Boost.Asio and
#                      oneTBB counterparts when libboost-dev and libtbb-dev are or can be
#                      installed), run them and print one table: each operation of this library
#                      beside its counterpart, with the ratio (also as CSV in build/release/bench)
#   ./build.sh demo    build the release preset's example host and run it (qvdemo, 3 s by
#                      default; further arguments go to qvdemo, e.g. ./build.sh demo --help);
#                      ./build.sh demo --windows [args] runs the 64-bit Windows build under Wine
#   ./build.sh windows install what is missing (MinGW-w64, Wine, GoogleTest's sources), build the
#                      windows-x64 and windows-x86 presets and run both suites under Wine in a
#                      headless Wine prefix under build/; prints per platform "N passed, M failed"
#   ./build.sh docs    build the API reference from the public headers with Doxygen
#                      (build/docs/html/index.html; an undocumented public entity fails it) and
#                      check it in headless Chromium: every public class has a page, every local
#                      link resolves (docs/qvCheckReference.py); part of ./build.sh test
#   ./build.sh abi     build the library with debug information (build/abi, RelWithDebInfo) and
#                      compare its ABI with the baseline abi/libqvFoundationComponents.abi
#                      (abidiff); part of ./build.sh test
#   ./build.sh abi-baseline  rebuild build/abi and write its ABI as the new baseline
#   ./build.sh docs-screenshot  rebuild the reference and retake docs/api-reference-index.png
set -euo pipefail
cd "$(dirname "$0")"

usage() {
    echo "usage: $0 {test|tidy|fuzz|bench|demo [--windows]|windows|docs|abi|abi-baseline|docs-screenshot}" >&2
    exit 2
}

# Whether clang++ can build a libFuzzer program (the runtime comes in a package of its own).
have_libfuzzer() {
    command -v clang++ >/dev/null 2>&1 || return 1
    local probe
    probe="$(mktemp -d)"
    echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' \
        >"$probe/probe.cpp"
    local status=0
    clang++ -fsanitize=fuzzer "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1 || status=1
    rm -rf "$probe"
    return $status
}

# Debian packages the build needs, with a header or tool that shows each is present. With
# "fuzz": clang and libFuzzer; with "memcheck": valgrind; with "windows": the MinGW-w64
# cross-compilers (posix thread model), GoogleTest's sources and Wine, 64- and 32-bit (the
# latter from the i386 architecture, which is added first).
ensure_dependencies() {
    local missing=()
    local add_i386=0
    local extra
    for extra in "$@"; do
        case "$extra" in
            fuzz)
                command -v clang++ >/dev/null 2>&1 || missing+=(clang)
                have_libfuzzer || missing+=(libclang-rt-dev)
                ;;
            tidy) # clang and clang-tidy
                command -v clang++ >/dev/null 2>&1 || missing+=(clang)
                command -v clang-tidy >/dev/null 2>&1 || missing+=(clang-tidy)
                ;;
            memcheck)
                command -v valgrind >/dev/null 2>&1 || missing+=(valgrind)
                ;;
            bench)
                command -v python3 >/dev/null 2>&1 || missing+=(python3)
                ;;
            docs)
                command -v doxygen >/dev/null 2>&1 || missing+=(doxygen)
                command -v chromium >/dev/null 2>&1 || missing+=(chromium)
                command -v python3 >/dev/null 2>&1 || missing+=(python3)
                ;;
            abi)
                command -v abidw >/dev/null 2>&1 || missing+=(abigail-tools)
                ;;
            windows)
                [ -x /usr/bin/x86_64-w64-mingw32-g++-posix ] || missing+=(g++-mingw-w64-x86-64-posix)
                [ -x /usr/bin/i686-w64-mingw32-g++-posix ] || missing+=(g++-mingw-w64-i686-posix)
                [ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
                command -v wine >/dev/null 2>&1 || missing+=(wine)
                [ -x /usr/lib/wine/wine64 ] || missing+=(wine64)
                if [ ! -x /usr/lib/wine/wine ]; then
                    missing+=(wine32:i386)
                    command -v dpkg >/dev/null 2>&1 &&
                        ! dpkg --print-foreign-architectures | grep -qx i386 && add_i386=1
                fi
                ;;
        esac
    done
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
    if [ $add_i386 -eq 1 ]; then
        dpkg --add-architecture i386
    fi
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}"
}

# The other libraries whose counterparts the benchmark table shows, Boost.Asio and oneTBB, when
# they can be installed; without them their benchmark programs are simply not built.
install_counterparts() {
    local missing=()
    [ -f /usr/include/boost/asio.hpp ] || missing+=(libboost-dev)
    [ -f /usr/include/oneapi/tbb.h ] || [ -f /usr/include/tbb/tbb.h ] || missing+=(libtbb-dev)
    [ ${#missing[@]} -gt 0 ] || return 0
    if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null 2>&1; then
        echo "build.sh: without ${missing[*]} the table leaves out their counterparts" >&2
        return 0
    fi
    echo "build.sh: installing the benchmark counterparts: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    { apt-get update -qq && apt-get install -y -qq "${missing[@]}"; } ||
        echo "build.sh: could not install ${missing[*]}; the table leaves out their counterparts" >&2
}

# Runs every benchmark program of the release tree, each writing JSON beside its console output
# in build/release/bench/results, then prints the table that pairs them (bench/pairs.txt) and
# writes it as CSV to build/release/bench/benchmark-table.csv. Every benchmark runs
# QV_BENCH_REPETITIONS times (3), each for at least QV_BENCH_MIN_TIME seconds (0.1); the table
# shows the median, so that one round disturbed by another process does not decide a row.
run_benchmarks() {
    local results=build/release/bench/results
    rm -rf "$results"
    mkdir -p "$results"
    local status=0 program name
    for program in build/release/bench/qv*Bench; do
        [ -x "$program" ] || continue
        name="$(basename "$program")"
        echo "== $name (console output: $results/$name.txt)"
        "$program" --benchmark_min_time="${QV_BENCH_MIN_TIME:-0.1}" \
            --benchmark_repetitions="${QV_BENCH_REPETITIONS:-3}" \
            --benchmark_out="$results/$name.json" --benchmark_out_format=json \
            >"$results/$name.txt" 2>&1 || { tail -n 20 "$results/$name.txt" >&2; status=1; }
    done
    echo
    python3 bench/qvBenchTable.py bench/pairs.txt "$results" \
        build/release/bench/benchmark-table.csv || status=1
    return $status
}

export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"

# run_fuzzers runs N|seconds S: builds the fuzz preset and runs every fuzz target, either for
# N inputs from its committed seeds only (a fixed libFuzzer seed, QV_FUZZ_SEED, so that a
# failure repeats), or for S seconds from the seeds and the corpus kept in build/fuzz/corpus.
# Crash inputs go to build/fuzz/artifacts. Fails when any target fails.
run_fuzzers() {
    local mode="$1" amount="$2"
    cmake --preset fuzz >/dev/null
    cmake --build --preset fuzz
    local artifacts="$PWD/build/fuzz/artifacts"
    mkdir -p "$artifacts"
    local status=0 target corpus limit
    while read -r target; do
        [ -n "$target" ] || continue
        if [ "$mode" = runs ]; then
            corpus="$PWD/build/fuzz/corpus-test/$target"
            rm -rf "$corpus"
            limit=(-runs="$amount" -seed="${QV_FUZZ_SEED:-1}")
        else
            corpus="$PWD/build/fuzz/corpus/$target"
            limit=(-max_total_time="$amount")
        fi
        mkdir -p "$corpus"
        echo "== $target (${mode} ${amount})"
        # The first corpus directory takes the new inputs; the committed seeds stay as they are.
        if ! "build/fuzz/fuzz/$target" "${limit[@]}" -timeout=30 -print_final_stats=1 \
            -artifact_prefix="$artifacts/$target-" "$corpus" "$PWD/fuzz/corpus/$target" \
            2>"build/fuzz/$target.log"; then
            tail -n 60 "build/fuzz/$target.log" >&2
            echo "build.sh: $target failed; the input is in $artifacts" >&2
            status=1
        fi
        grep -E '^stat::number_of_executed_units|^Done [0-9]+ runs' "build/fuzz/$target.log" || true
    done <build/fuzz/fuzz/targets.txt
    return $status
}

# tidy_preset <preset> [clang-tidy arguments...]: clang-tidy (the checks of .clang-tidy) on the
# library's sources in the preset's compile commands (configured only, nothing built), two files
# at a time, into build/<preset>/tidy.log; prints each finding once (one in a header is reported
# for every file that includes it) and their number. Fails on any finding.
tidy_preset() {
    local preset="$1" database="build/$1"
    shift
    local start=$SECONDS files=() file findings status=0
    cmake --preset "$preset" >/dev/null
    while read -r file; do
        case "$file" in "$PWD"/source/*.cpp) files+=("$file") ;; esac
    done < <(sed -n 's|^ *"file": "\(.*\)",\{0,1\}$|\1|p' "$database/compile_commands.json")
    if [ "$preset" = clang ]; then
        # The public headers that no source includes (the container templates) come with this.
        files+=("$PWD/include/qvFoundationComponents.h")
    else
        # clang knows no -fno-keep-inline-dllexport (GCC's default for MinGW in CMake): a copy of
        # the compile commands without it. Each command's own directory stays as it was.
        mkdir -p "$database/tidy"
        sed 's/ -fno-keep-inline-dllexport//g' "$database/compile_commands.json" \
            >"$database/tidy/compile_commands.json"
        database="$database/tidy"
    fi
    echo "== clang-tidy, $preset: ${#files[@]} files (log: build/$preset/tidy.log)"
    printf '%s\0' "${files[@]}" |
        xargs -0 -n 1 -P 2 clang-tidy -p "$database" --quiet "$@" \
            >"build/$preset/tidy.log" 2>&1 || status=1
    findings="$(grep -E '(warning|error): .*\]$' "build/$preset/tidy.log" | sort -u || true)"
    [ -z "$findings" ] || echo "$findings" >&2
    echo "clang-tidy, $preset: $(grep -c . <<<"$findings") findings in $((SECONDS - start)) s"
    [ -z "$findings" ] || status=1
    return $status
}

# clang-tidy on the library, twice: the Linux build (the clang preset's compile commands), and
# the 64-bit Windows build (the windows-x64 preset's), with clang aimed at MinGW-w64 and given
# the C++ library headers of the MinGW-w64 g++ that the build uses, so that the Win32 sources
# and the Windows branches of the shared ones are analysed against the Windows headers. About
# 40 to 55 s each on two cores otherwise idle (up to twice that while other builds run).
run_tidy() {
    local status=0
    tidy_preset clang || status=1
    local cxx=/usr/bin/x86_64-w64-mingw32-g++-posix
    if [ ! -x "$cxx" ]; then
        echo "build.sh: no $cxx, so the Windows sources were not analysed" >&2
        return 1
    fi
    local dirs=() dir
    mapfile -t dirs < <(echo | "$cxx" -x c++ -E -v - 2>&1 |
        sed -n '/^#include <\.\.\.> search starts here:/,/^End of search list/s|^ *\(/.*/c++.*\)$|\1|p')
    local extra=(--extra-arg-before=--target=x86_64-w64-mingw32)
    for dir in "${dirs[@]}"; do
        extra+=("--extra-arg=-isystem$dir")
    done
    tidy_preset windows-x64 "${extra[@]}" || status=1
    return $status
}

# Every test program, once, under valgrind memcheck, from a build without sanitizers.
run_memcheck() {
    cmake --preset memcheck >/dev/null
    cmake --build --preset memcheck
    cmake -DBUILD_DIR=build/memcheck -P cmake/qvMemcheck.cmake
}

# The Wine environment of every Windows program run here: a prefix of its own under build/,
# no debug channels, no display, no offers to install Mono or Gecko, no debugger started for a
# program that crashes (it just ends).
windows_environment() {
    export WINEPREFIX="$PWD/build/wineprefix"
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
    export DISPLAY=
}

# Creates the Wine prefix once (cmake/qvWinePrefix.cmake) and keeps one Wine server running
# for the whole stage, so that the programs do not each start and stop one. The server and
# Wine's services are started with /dev/null as their standard handles (the script's warm-up
# run), never by a test program whose output CTest reads: they would hold its pipe open.
start_wine() {
    windows_environment
    local wine
    wine="$(command -v wine)"
    cmake -DWINE="$wine" -P cmake/qvWinePrefix.cmake
    wineserver -w
    wineserver -p </dev/null >/dev/null 2>&1 || true
    trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
    cmake -DWINE="$wine" -P cmake/qvWinePrefix.cmake
}

# run_windows_preset <preset>: builds the preset and runs its tests under Wine; prints the
# preset's name, then "N passed, M failed" (CTest's tests: one per test program, plus the
# prefix setup, the install test and the demo). Returns non-zero when a test failed.
run_windows_preset() {
    local preset="$1" log status=0
    log="build/$preset/ctest.log"
    cmake --preset "$preset" >/dev/null
    if ! cmake --build --preset "$preset"; then
        echo "build.sh: building $preset failed" >&2
        status=1
    fi
    mkdir -p "build/$preset"
    ctest --preset "$preset" >"$log" 2>&1 || status=1
    grep -E '^ *[0-9]+/[0-9]+ Test +#' "$log" || true
    if [ $status -ne 0 ]; then
        sed -n '/The following tests FAILED/,$p' "$log" >&2
    fi
    local total failed
    total=$(sed -n 's/.*tests failed out of \([0-9][0-9]*\).*/\1/p' "$log" | tail -n 1)
    failed=$(sed -n 's/.*, \([0-9][0-9]*\) tests failed out of.*/\1/p' "$log" | tail -n 1)
    total=${total:-0}
    failed=${failed:-0}
    WINDOWS_SUMMARY+=("$preset" "$((total - failed)) passed, $failed failed")
    return $status
}

run_windows() {
    start_wine
    local status=0 start=$SECONDS
    WINDOWS_SUMMARY=()
    run_windows_preset windows-x64 || status=1
    run_windows_preset windows-x86 || status=1
    echo
    echo "Windows stage: $((SECONDS - start)) s"
    local n
    for ((n = 0; n < ${#WINDOWS_SUMMARY[@]}; n += 2)); do
        echo "${WINDOWS_SUMMARY[n]}"
        echo "${WINDOWS_SUMMARY[n + 1]}"
    done
    return $status
}

# ---------------------------------------------------------------------------------------------
# The API reference (docs/Doxyfile): Doxygen reads the public headers, the README (main page) and
# the examples and writes build/docs/html. Its warnings (an undocumented public entity, a broken
# command) fail the build; they are in build/docs/warnings.log.
build_docs() {
    rm -rf build/docs
    mkdir -p build/docs
    local version
    version="$(sed -n 's/^ *VERSION \([0-9.]*\)$/\1/p' CMakeLists.txt | head -n 1)"
    if ! QV_DOCS_VERSION="$version" doxygen docs/Doxyfile; then
        cat build/docs/warnings.log >&2
        echo "build.sh: the API reference has warnings (build/docs/warnings.log)" >&2
        return 1
    fi
    echo "API reference: build/docs/html/index.html"
}

# Builds the reference and checks it as a reader meets it (docs/qvCheckReference.py): a page for
# every public class, no broken local link, the index and two class pages rendered by headless
# Chromium.
run_docs() {
    local start=$SECONDS
    build_docs || return 1
    python3 docs/qvCheckReference.py build/docs/html include "$@" || return 1
    echo "Docs stage: $((SECONDS - start)) s"
}

# ---------------------------------------------------------------------------------------------
# The ABI of the Linux shared library. build/abi is a RelWithDebInfo build of the library alone
# (-O2 -g: abidw reads the types from its debug information). The baseline, written by abidw, is
# abi/libqvFoundationComponents.abi; only types defined in the public headers count.
QV_ABI_BASELINE=abi/libqvFoundationComponents.abi
QV_ABI_LIBRARY=build/abi/libqvFoundationComponents.so
QV_ABI_CURRENT=build/abi/libqvFoundationComponents.abi

# abidw of the built library, with the same options for the baseline and for each check (abidiff
# then compares two such files; this version of abidiff cannot drop private types itself when one
# side is an abidw file). No source locations: moving a declaration changes no ABI.
write_abi_file() {
    abidw --headers-dir include --drop-private-types --no-show-locs --no-corpus-path \
        --no-comp-dir-path --out-file "$1" "$QV_ABI_LIBRARY"
}

build_abi_library() {
    cmake -S . -B build/abi -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
        -DQV_BUILD_BENCHMARKS=OFF -DQV_BUILD_EXAMPLES=OFF -DQV_WARNINGS_AS_ERRORS=ON >/dev/null
    cmake --build build/abi --target qvFoundationComponents
}

# The SONAME recorded in an abidw file, or of a built library.
abi_soname_of_baseline() {
    sed -n "s/.*<abi-corpus [^>]*soname='\([^']*\)'.*/\1/p" "$1" | head -n 1
}
abi_soname_of_library() {
    readelf -d "$1" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p'
}

# run_abi_diff: compares the built library with the baseline. Returns 0 when the ABI is the same
# or only grew (added functions or variables, abidiff's "change" bit alone with nothing changed
# or removed), 1 when it changed incompatibly (abidiff's "incompatible" bit, or any changed or
# removed function, variable or type) while the SONAME stayed the same, 2 when abidiff failed.
# With a new SONAME major every change is allowed; the baseline is then out of date.
run_abi_diff() {
    local report=build/abi/abidiff.txt status=0
    write_abi_file "$QV_ABI_CURRENT"
    abidiff "$QV_ABI_BASELINE" "$QV_ABI_CURRENT" >"$report" 2>&1 || status=$?
    if [ $((status & 3)) -ne 0 ]; then
        cat "$report" >&2
        echo "build.sh: abidiff failed (exit $status)" >&2
        return 2
    fi
    if [ $status -eq 0 ]; then
        echo "ABI: same as the baseline ($QV_ABI_BASELINE)"
        return 0
    fi
    cat "$report"
    local incompatible=0
    [ $((status & 8)) -ne 0 ] && incompatible=1
    # abidiff gives a changed layout of an exported class only the "change" bit: anything
    # counted as removed or changed in its summaries is taken as incompatible too.
    grep -Eq '(^|[^0-9])[1-9][0-9]* (Removed|Changed)' "$report" && incompatible=1
    if [ $incompatible -eq 0 ]; then
        echo "ABI: compatible additions only; ./build.sh abi-baseline records them"
        return 0
    fi
    local before after
    before="$(abi_soname_of_baseline "$QV_ABI_BASELINE")"
    after="$(abi_soname_of_library "$QV_ABI_LIBRARY")"
    if [ -n "$after" ] && [ "$before" != "$after" ]; then
        echo "ABI: incompatible changes with a new SONAME ($before -> $after): allowed;" \
            "./build.sh abi-baseline records the new ABI"
        return 0
    fi
    echo "build.sh: the ABI changed incompatibly while the SONAME stayed $after:" \
        "raise the major version in CMakeLists.txt (project VERSION), or keep the ABI" >&2
    return 1
}

run_abi() {
    local start=$SECONDS
    build_abi_library
    if [ ! -f "$QV_ABI_BASELINE" ]; then
        echo "build.sh: no ABI baseline $QV_ABI_BASELINE; ./build.sh abi-baseline writes it" >&2
        return 1
    fi
    run_abi_diff || return 1
    echo "ABI stage: $((SECONDS - start)) s"
}

# Writes the ABI of a fresh build as the baseline. Refuses an incompatible change under the
# same SONAME unless QV_ABI_FORCE=1: that is what the check is there to catch.
write_abi_baseline() {
    build_abi_library
    if [ -f "$QV_ABI_BASELINE" ] && [ "${QV_ABI_FORCE:-0}" != 1 ]; then
        local status=0
        run_abi_diff || status=$?
        if [ $status -ne 0 ]; then
            echo "build.sh: baseline kept; QV_ABI_FORCE=1 ./build.sh abi-baseline overrides" >&2
            return 1
        fi
    fi
    mkdir -p "$(dirname "$QV_ABI_BASELINE")"
    write_abi_file "$QV_ABI_BASELINE"
    echo "ABI baseline written: $QV_ABI_BASELINE (SONAME $(abi_soname_of_library "$QV_ABI_LIBRARY"))"
}

case "${1:-}" in
    test)
        # Everything missing in one install (one package-list update on a fresh machine).
        ensure_dependencies fuzz memcheck windows tidy docs abi
        cmake --workflow --preset asan
        cmake --workflow --preset tsan
        cmake --workflow --preset clang
        run_tidy
        run_fuzzers runs "${QV_FUZZ_RUNS:-100000}"
        run_memcheck
        run_windows
        run_docs
        run_abi
        ;;
    windows)
        ensure_dependencies windows
        run_windows
        ;;
    tidy)
        ensure_dependencies tidy windows
        run_tidy
        ;;
    fuzz)
        ensure_dependencies fuzz
        run_fuzzers seconds "${QV_FUZZ_SECONDS:-60}"
        ;;
    bench)
        ensure_dependencies bench
        install_counterparts
        cmake --preset release >/dev/null
        cmake --build --preset release --target qvBenchmarks
        run_benchmarks
        ;;
    demo)
        if [ "${2:-}" = "--windows" ]; then
            ensure_dependencies windows
            start_wine
            cmake --preset windows-x64 >/dev/null
            cmake --build --preset windows-x64 --target qvdemo
            wine build/windows-x64/bin/qvdemo.exe "${@:3}"
            exit
        fi
        ensure_dependencies
        cmake --preset release >/dev/null
        cmake --build --preset release --target qvdemo
        exec build/release/examples/qvdemo "${@:2}"
        ;;
    docs)
        ensure_dependencies docs
        run_docs
        ;;
    docs-screenshot)
        ensure_dependencies docs
        run_docs --screenshot docs/api-reference-index.png
        ;;
    abi)
        ensure_dependencies abi
        run_abi
        ;;
    abi-baseline)
        ensure_dependencies abi
        write_abi_baseline
        ;;
    *)
        usage
        ;;
esac
