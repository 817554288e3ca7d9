#!/usr/bin/env bash
# Installs what WebGleaner needs from Debian, builds it, then starts it ("run") or runs every test ("test").
# Usage: tools/setup.sh run|test
set -euo pipefail

mode=${1:-}
if [[ "$mode" != run && "$mode" != test ]]; then
    echo "usage: $0 run|test" >&2
    exit 2
fi

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$top/build"

packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev libgl-dev qt6-webengine-dev
    zlib1g-dev libbrotli-dev libzstd-dev libssl-dev liburing-dev
    libsqlite3-dev libchm-dev fp-utils libjpeg-dev libzip-dev
    fonts-noto-cjk qt6-translations-l10n
)
test_packages=(
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    clang libclang-rt-14-dev
    xvfb xauth
    # the Debian package's test: cpack's dependency lookup, lintian and the desktop-file checkers
    dpkg-dev lintian desktop-file-utils appstream
)
[[ "$mode" == test ]] && packages+=("${test_packages[@]}")

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
if ((${#missing[@]})); then
    as_root=()
    [[ $(id -u) -ne 0 ]] && as_root=(sudo)
    "${as_root[@]}" apt-get update
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j "$(nproc)"

if [[ "$mode" == run ]]; then
    exec "$build/bin/webgleaner"
fi
QT_QPA_PLATFORM=offscreen ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

# The headless core once more, built by clang under AddressSanitizer and UndefinedBehaviorSanitizer,
# with each cache reader's fuzzer run for a bounded time; no benchmarks, which this leg would not run.
checked="$top/build-checked"
CC=clang CXX=clang++ cmake -S "$top" -B "$checked" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DWEBGLEANER_GUI=OFF -DWEBGLEANER_SANITIZE=ON -DWEBGLEANER_FUZZ=ON -DWEBGLEANER_BENCHMARKS=OFF
cmake --build "$checked" -j "$(nproc)"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$checked" --output-on-failure -j "$(nproc)"

# The windows whose threads report to them under the same sanitizers: the scan observer, the run
# control, the clean-up dialog, the sources dialog's look-up, the library window's thumbnails and keeping. The
# leaks and the delete of another type that Qt WebEngine's own code shows are left out (tests/lsan.supp).
windows="$top/build-checked-windows"
window_tests=(scan_observer_test run_control_test cleanup_dialog_test desktop_test library_window_test
    keep_observer_test)
CC=clang CXX=clang++ cmake -S "$top" -B "$windows" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DWEBGLEANER_SANITIZE=ON -DWEBGLEANER_BENCHMARKS=OFF
cmake --build "$windows" -j "$(nproc)" --target "${window_tests[@]}"
ASAN_OPTIONS=detect_leaks=1:new_delete_type_mismatch=0 LSAN_OPTIONS="suppressions=$top/tests/lsan.supp" \
    UBSAN_OPTIONS=print_stacktrace=1 QT_QPA_PLATFORM=offscreen QTWEBENGINE_DISABLE_SANDBOX=1 \
    ctest --test-dir "$windows" --output-on-failure -j "$(nproc)" \
    -R "^($(IFS='|'; echo "${window_tests[*]}")|desktop_small_screen_test)\$"

# The engine's threaded tests once more under ThreadSanitizer: the scanner, the keeper, the copy worker and its
# preparers, the queue, the worker threads, the cache readers used from several threads, the walk's
# read-ahead shared with a helper thread, and webgleaner-cli running and keeping until a signal.
raced="$top/build-tsan"
CC=clang CXX=clang++ cmake -S "$top" -B "$raced" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DWEBGLEANER_GUI=OFF -DWEBGLEANER_TSAN=ON -DWEBGLEANER_BENCHMARKS=OFF
cmake --build "$raced" -j "$(nproc)" --target run_test keep_test cleanup_test core_test cache_shared_test \
    simple_cache_test firefox_cache_test blockfile_cache_test indexdat_cache_test webkit_cache_test \
    cli_terminal_test
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$top/tests/tsan.supp" \
    ctest --test-dir "$raced" --output-on-failure -j "$(nproc)" -R '^(CopyQueueTest|ScanTest|WorkerThreadTest|CopyWorker|(Sequences/|Formats/)?Keeper[A-Za-z]*Test|DelF|CommandLineToolTest|CommandLineTerminalTest|Mechanisms/BatchFileReaderTest|[A-Za-z]+CacheTest\.[A-Za-z]*SeveralThreads)'
