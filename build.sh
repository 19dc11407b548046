#!/usr/bin/env bash
# One entry point for a fresh machine: installs what is missing, configures, builds, then
#   ./build.sh run    builds everything and starts the desktop program
#   ./build.sh test   builds everything and runs every test through CTest
#   ./build.sh asan   builds the library's tests with AddressSanitizer + UBSan and runs them
#   ./build.sh tsan   builds the test areas that run threads with ThreadSanitizer and runs them
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev qt6-base-dev xvfb fonts-dejavu-core nettle-dev)

install_missing() {
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "build.sh: installing ${missing[*]}"
    local sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
  fi
}

configure_and_build() {   # $1 build folder, rest: extra CMake arguments
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  cmake --build "$dir" -j "$(nproc)"
}

mode=${1:-test}
install_missing
case "$mode" in
  run)
    configure_and_build build
    if [ -x build/bin/Lumaro ]; then
      exec build/bin/Lumaro
    fi
    echo "build.sh: the library is built in build/bin; the desktop program Lumaro is not there yet."
    ;;
  test)
    configure_and_build build
    ctest --test-dir build --output-on-failure -j "$(nproc)"
    ;;
  asan)
    configure_and_build build-asan -DCORVANE_SANITIZE=ON
    ctest --test-dir build-asan --output-on-failure -j "$(nproc)"
    ;;
  tsan)
    # The areas whose tests run more than one thread; gui: Lumaro's tests with the fake library's thread.
    areas=(platform os core api exports transport mgr hw mm startup l1 nci sim_selftest e2e llcp)
    cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_SANITIZE_THREAD=ON -DCORVANE_GUI=ON
    cmake --build build-tsan -j "$(nproc)" --target "${areas[@]/#/test_}" gui_tests
    areas+=(gui)
    label=$(IFS='|'; echo "^(${areas[*]})\$")
    ctest --test-dir build-tsan --output-on-failure -j "$(nproc)" -L "$label"
    ;;
  *) echo "usage: $0 run|test|asan|tsan" >&2; exit 2 ;;
esac
