#!/usr/bin/env bash
# One entry point for a fresh machine: installs what is missing, configures, builds, then
#   ./build.sh run [SCENARIO]  builds the library, the desktop program and the simulated controller
#                     and starts the program (on the simulator playing SCENARIO unless PORT is set)
#   ./build.sh test   builds everything and runs every test through CTest
#   ./build.sh asan   builds the library's tests with AddressSanitizer + UBSan and runs them
#   ./build.sh tsan   builds the test areas that run threads with ThreadSanitizer and runs them
#   ./build.sh screens  takes pictures of Lumaro's real window under a virtual X display, on the real
#                     library and the simulated controller, into build/screens/ (not part of CI)
#   ./build.sh fuzz   builds the libFuzzer targets of tests/fuzz with clang and runs each for
#                     FUZZ_SECONDS (30 by default), FUZZ_JOBS of them at a time (all by default)
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev qt6-base-dev xvfb fonts-dejavu-core fonts-liberation nettle-dev)

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

# Runs every fuzz target for $1 seconds, $2 at a time (0: all at once), each on a working copy of
# its seed corpus. A crash, sanitizer report, leak or hang leaves its input in
# build-fuzz/findings/<target>/ and fails the run: keep it in tests/fuzz/regressions/<target>/.
run_fuzzers() {
  local seconds=$1 jobs=$2 failed=0 running=0 name
  local targets=(build-fuzz/bin/fuzz_*)
  mkdir -p build-fuzz/logs
  for target in "${targets[@]}"; do
    name=${target#build-fuzz/bin/fuzz_}
    mkdir -p "build-fuzz/corpus/$name" "build-fuzz/findings/$name"
    "$target" -max_total_time="$seconds" -timeout=10 -max_len=2048 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="build-fuzz/findings/$name/" "build-fuzz/corpus/$name" "tests/fuzz/corpus/$name" \
      > "build-fuzz/logs/$name.log" 2>&1 &
    running=$((running + 1))
    if ((jobs > 0 && running >= jobs)); then wait -n || true; running=$((running - 1)); fi
  done
  wait || true
  for target in "${targets[@]}"; do
    name=${target#build-fuzz/bin/fuzz_}
    if compgen -G "build-fuzz/findings/$name/*" > /dev/null; then
      echo "fuzz: $name FOUND $(ls build-fuzz/findings/$name/ | tr '\n' ' ')(log: build-fuzz/logs/$name.log)"
      failed=1
    else
      echo "fuzz: $name $(grep -aE '^#[0-9]+[[:space:]]+DONE' "build-fuzz/logs/$name.log" | tail -1)"
    fi
  done
  return $failed
}

# Stores configuration $3 under the description $2 in the settings file $1 and makes it the
# current one: its index among the stored descriptions, which the program lists sorted.
store_configuration() {
  local ini=$1 description=$2 value=$3 index
  [ -f "$ini" ] || : > "$ini"
  index=$( { awk '/^\[/ {group=$0; next} group=="[ControllerConfiguration]" && /=/ {sub(/=.*/, ""); print}' "$ini"
             echo "$description"; } | LC_ALL=C sort -u | grep -nxF "$description" | cut -d: -f1)
  awk -v key="$description" -v value="$value" -v current="$((index - 1))" '
    /^\[/ { group = $0 }
    group == "[General]" && /^CurrentConfiguration=/ { next }
    group == "[ControllerConfiguration]" && index($0, key "=") == 1 { next }
    { print }
    $0 == "[General]" { print "CurrentConfiguration=" current; general = 1 }
    $0 == "[ControllerConfiguration]" { print key "=" value; stored = 1 }
    END {
      if (!stored) { print ""; print "[ControllerConfiguration]"; print key "=" value }
      if (!general) { print ""; print "[General]"; print "CurrentConfiguration=" current }
    }' "$ini" > "$ini.new"
  mv "$ini.new" "$ini"
}

mode=${1:-test}
[ "$mode" = fuzz ] && packages+=(clang-14 libclang-rt-14-dev)
[ "$mode" = screens ] && packages+=(xauth)   # xvfb-run's display cookie
install_missing
case "$mode" in
  run)
    # Only what it runs: the library, the program and the simulated controller.
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build -j "$(nproc)" --target Corvane Lumaro nci_sim
    if [ -n "${PORT:-}" ]; then
      store_configuration build/bin/lumaro.ini Port "READERTYPE=NCI IOTYPE=SERIAL PORT=$PORT"
      exec build/bin/Lumaro
    fi
    # No port: the simulated controller stands in, playing the scenario named (by default a tag
    # with an NDEF message that stays in the field); it ends when its input closes.
    scenario=${2:-ndef}
    coproc SIM { exec build/bin/nci_sim --attached "$scenario"; }
    if ! read -r sim_port <&"${SIM[0]}"; then
      echo "build.sh: the simulated controller did not start" >&2
      exit 1
    fi
    echo "build.sh: simulated controller on $sim_port, scenario $scenario"
    store_configuration build/bin/lumaro.ini Simulator "READERTYPE=NCI IOTYPE=SERIAL PORT=$sim_port"
    build/bin/Lumaro &
    lumaro=$!
    trap 'kill "$lumaro" 2>/dev/null || true' EXIT
    # Enter on this terminal takes the tag away and brings it back, until the window closes.
    if [ -t 0 ]; then
      case "$scenario" in ndef|mifare) echo "build.sh: Enter here takes the tag away and brings it back" ;; esac
      while kill -0 "$lumaro" 2>/dev/null; do
        read -r -t 1 _ && { echo >&"${SIM[1]}"; continue; }
        (($? > 128)) || break   # the terminal's input ended: nothing more to pass on
      done
    fi
    status=0
    wait "$lumaro" || status=$?
    trap - EXIT
    exec {SIM[1]}>&-
    wait "$SIM_PID" || true
    exit "$status"
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
    # The areas whose tests run more than one thread; gui: Lumaro's tests with the fake library's
    # thread (those on the real library, label gui_real, wait through Qt's queue, which TSan cannot see).
    areas=(platform os core api exports transport mgr hw mm startup l1 nci sim_selftest e2e llcp p2p pn53x ehci)
    cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_SANITIZE_THREAD=ON -DCORVANE_GUI=ON
    cmake --build build-tsan -j "$(nproc)" --target "${areas[@]/#/test_}" gui_tests
    areas+=(gui)
    label=$(IFS='|'; echo "^(${areas[*]})\$")
    ctest --test-dir build-tsan --output-on-failure -j "$(nproc)" -L "$label" -LE '^(gui_real|qt_threads_only)$'
    ;;
  screens)
    # One picture per row of the table in tests/gui/screens/screens.cpp; a row's failure fails the run.
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build -j "$(nproc)" --target lumaro_screens
    rm -f build/screens/*.png
    QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1920x1200x24" \
      build/tests/gui/lumaro_screens/lumaro_screens build/screens
    ;;
  fuzz)
    cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-14 \
      -DCMAKE_CXX_COMPILER=clang++-14 -DCORVANE_FUZZ=ON -DCORVANE_GUI=OFF
    cmake --build build-fuzz -j "$(nproc)" --target fuzz_all
    run_fuzzers "${FUZZ_SECONDS:-30}" "${FUZZ_JOBS:-0}"
    ;;
  *) echo "usage: $0 run [ndef|type2|mifare|p2p|snep|reader]|test|asan|tsan|screens|fuzz" >&2; exit 2 ;;
esac
