#!/usr/bin/env bash
# One entry point for building and checking the project on a Debian machine.
#   ./dev.sh demo      install what is missing, build, run the demonstration
#   ./dev.sh test      install what is missing, build, run the whole test suite
#   ./dev.sh asan      the test suite again under AddressSanitizer + UBSan
#   ./dev.sh install   install into build/stage and build an outside consumer
#   ./dev.sh bench     build and run the benchmarks (Release)
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(g++ cmake ninja-build pkg-config unixodbc-dev libgtest-dev libgmock-dev
          libbenchmark-dev libmsgpack-cxx-dev libsqlite3-dev liblua5.4-dev libsodium-dev locales)

install_packages() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
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

cmd=${1:-test}
install_packages
install_test_locale
case "$cmd" in
  demo)
    build build
    ./build/bin/value_layer_demo
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
  *)
    echo "usage: $0 demo|test|asan|install|bench" >&2
    exit 2
    ;;
esac
