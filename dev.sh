#!/usr/bin/env bash
# One entry point for building and checking the project on a Debian machine.
#   ./dev.sh demo      install what is missing, build, run the demonstration
#   ./dev.sh test      install what is missing, build, run the whole test suite
#   ./dev.sh asan      the test suite again under AddressSanitizer + UBSan
#   ./dev.sh tsan      the tests that run threads under ThreadSanitizer
#   ./dev.sh install   install into build/stage and build an outside consumer
#   ./dev.sh bench     build and run the benchmarks (Release)
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(g++ cmake ninja-build pkg-config unixodbc-dev libgtest-dev libgmock-dev
          libbenchmark-dev libmsgpack-cxx-dev libsqlite3-dev liblua5.4-dev libsodium-dev libedit-dev locales
          unixodbc odbcinst python3-pyodbc)

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

cmd=${1:-test}
install_packages
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
  *)
    echo "usage: $0 demo|test|asan|tsan|install|bench" >&2
    exit 2
    ;;
esac
