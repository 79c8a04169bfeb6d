#!/usr/bin/env bash
# One entry point for building and checking the project on a Debian machine.
#   ./dev.sh demo      install what is missing, build, run the demonstration
#   ./dev.sh test      install what is missing, build, run the whole test suite
#   ./dev.sh asan      the test suite again under AddressSanitizer + UBSan
#   ./dev.sh tsan      the tests that run threads under ThreadSanitizer
#   ./dev.sh install   install into build/stage and build an outside consumer
#   ./dev.sh bench     build and run the benchmarks (Release)
#   ./dev.sh fuzz [TARGET...]  build the fuzz targets (clang) and run each for
#                      FUZZ_SECONDS (default 20) from its seeds in fuzz/corpus
#   ./dev.sh windows   cross builds for 32-bit and 64-bit Windows (mingw-w64);
#                      the tests that need no server run under Wine (x86_64)
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(g++ cmake ninja-build pkg-config unixodbc-dev libgtest-dev libgmock-dev
          libbenchmark-dev libmsgpack-cxx-dev libhiredis-dev redis-server
          libsqlite3-dev liblua5.4-dev libsodium-dev libedit-dev locales
          unixodbc odbcinst python3-pyodbc clang libclang-rt-dev llvm)

# The Windows builds: the cross compilers, Wine to run the 64-bit tests, and
# GoogleTest's sources (libgtest-dev above) to build it for Windows.
WINDOWS_PACKAGES=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine64)

install_packages() {  # install_packages [apt-get option...] PACKAGE...
  local options=() missing=()
  while [[ ${1:-} == -* ]]; do options+=("$1"); shift; done
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${options[@]}" "${missing[@]}" >/dev/null
}

# The tests check that numbers on the wire ignore a comma-decimal locale.
install_test_locale() {
  locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$' && return 0
  local sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "note: could not generate de_DE.UTF-8" >&2
}

build() {  # build DIR [cmake options...]
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}

# A short session with the torqa tool on the embedded default namespace
# ./torqa-data (made from the sample schema on first use): classes, an object
# created and shown, methods called, a stream written and read, a class
# query and SQL with a parameter.
demo() {
  local tool=$PWD/build/bin/torqa id
  export TORQA_PASSWORD=torqa  # the password of a new namespace's user torqa
  torqa() {  # shows the command, then runs it
    local a line='$ torqa'
    for a in "$@"; do
      if [[ $a =~ ^[[:alnum:]_.,:=%/+-]+$ ]]; then line+=" $a"; else line+=" '$a'"; fi
    done
    printf '\n%s\n' "$line"
    "$tool" "$@"
  }
  torqa classes
  torqa describe Sample.Person
  printf '\n$ id=$(torqa create Sample.Person Name=Ada Age=36 Height=1.65 Birthday=1990-12-10)\n'
  id=$("$tool" create Sample.Person Name=Ada Age=36 Height=1.65 Birthday=1990-12-10)
  torqa show Sample.Person "$id"
  torqa call --id "$id" Sample.Person Describe "Countess "
  torqa call Sample.Person Divide 17 5
  printf "\n\$ printf 'Notes on Ada\\\\nfrom standard input\\\\n' | torqa write Sample.Person %s Notes\n" "$id"
  printf 'Notes on Ada\nfrom standard input\n' | "$tool" write Sample.Person "$id" Notes
  torqa read Sample.Person "$id" Notes
  torqa query Sample.Person Older 30
  torqa --format json sql "SELECT ID, Name, Age FROM Sample_Person WHERE Age > ? ORDER BY ID DESC" int:30
}

# Builds the libFuzzer targets in build-fuzz (clang, its own tree) and runs
# each named one (all by default) for FUZZ_SECONDS from its seeds (and
# fuzz/<target>.dict, words that help it build inputs). What a run
# finds is written to build-fuzz/findings/<target>/ and fails the job; new
# inputs that reach further go to build-fuzz/corpus/<target>/, not into the
# committed seeds.
fuzz() {
  local seconds=${FUZZ_SECONDS:-20} t passed=0 failed=0
  local targets=("$@")
  [ ${#targets[@]} -eq 0 ] && targets=(server_requests driver_sql reply_decoding connection_string cli_values cli_csv daemon_frames net_sql)
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DTORQA_BUILD_FUZZ=ON -DTORQA_BUILD_TESTS=OFF \
    -DTORQA_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build-fuzz -j "$(nproc)" --target "${targets[@]/#/fuzz_}"
  for t in "${targets[@]}"; do
    local work=$PWD/build-fuzz/work/$t findings=$PWD/build-fuzz/findings/$t corpus=$PWD/build-fuzz/corpus/$t
    local bin=$PWD/build-fuzz/fuzz/fuzz_$t seeds=$PWD/fuzz/corpus/$t dict=()
    [ -f "fuzz/$t.dict" ] && dict=(-dict="$PWD/fuzz/$t.dict")
    rm -rf "$work"
    mkdir -p "$work" "$findings" "$corpus"
    echo "fuzz_$t: ${seconds}s"
    # Namespaces and anything a statement writes stay in the work folder.
    if (cd "$work" && TMPDIR=$work ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
          "$bin" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 "${dict[@]}" \
          -artifact_prefix="$findings/" "$corpus" "$seeds" >"$work/log" 2>&1); then
      grep -a '^Done' "$work/log"
      passed=$((passed + 1))
    else
      failed=$((failed + 1))
      tail -n 60 "$work/log"
      echo "fuzz_$t found a fault: $(ls "$findings")" >&2
    fi
  done
  echo "fuzz: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

# Builds for Windows with mingw-w64 from the project's toolchain files, then
# runs the x86_64 tests under Wine: headless, with its own prefix in the build
# tree, made once before the tests start so that they do not race to make it.
windows() {
  install_packages --no-install-recommends "${WINDOWS_PACKAGES[@]}"
  local arch
  for arch in i686 x86_64; do
    build "build-win-$arch" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-$arch.cmake -DTORQA_BUILD_BENCH=OFF
  done
  unset DISPLAY WAYLAND_DISPLAY
  export WINEPREFIX=$PWD/build-win-x86_64/wine WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="  # no offer to install Mono or Gecko
  timeout 600 /usr/lib/wine/wine64 wineboot --init </dev/null
  ctest --test-dir build-win-x86_64 --output-on-failure -j "$(nproc)"
  /usr/lib/wine/wineserver64 -k || true  # stop the prefix's server, whatever ran in it
}

cmd=${1:-test}
install_packages "${PACKAGES[@]}"
install_test_locale
case "$cmd" in
  demo)
    cmake -S . -B build -G Ninja >/dev/null
    cmake --build build -j "$(nproc)" --target torqa_cli
    demo
    ;;
  test)
    build build
    ctest --test-dir build --output-on-failure -j "$(nproc)"
    ;;
  asan)
    build build-asan -DTORQA_SANITIZE=ON -DTORQA_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
      ctest --test-dir build-asan --output-on-failure -j "$(nproc)"
    ;;
  tsan)
    # Only the suites with threaded tests (suites named *_threads) are built.
    cmake -S . -B build-tsan -G Ninja -DTORQA_SANITIZE_THREAD=ON -DTORQA_BUILD_BENCH=OFF \
      -DCMAKE_BUILD_TYPE=Debug >/dev/null
    cmake --build build-tsan -j "$(nproc)" --target tests_transport tests_e2e
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
      ctest --test-dir build-tsan --output-on-failure -R '_threads\.' --no-tests=error
    ;;
  install)
    build build
    rm -rf build/stage build/consumer
    cmake --install build --prefix "$PWD/build/stage" >/dev/null
    cmake -S tests/install/consumer -B build/consumer -G Ninja -DCMAKE_PREFIX_PATH="$PWD/build/stage" >/dev/null
    cmake --build build/consumer
    ./build/consumer/consumer
    ;;
  bench)
    build build-release -DCMAKE_BUILD_TYPE=Release -DTORQA_BUILD_TESTS=OFF
    for b in build-release/bin/bench_*; do "$b"; done
    ;;
  fuzz)
    shift
    fuzz "$@"
    ;;
  windows)
    windows
    ;;
  *)
    echo "usage: $0 demo|test|asan|tsan|install|bench|fuzz|windows" >&2
    exit 2
    ;;
esac
