# Shared by the benchmark scripts: build, a Wine prefix, and timing helpers.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$here"
scripts/build linux >/dev/null
export WINEPREFIX=${CORVANE_TEST_WINEPREFIX:-$here/build/wineprefix-test}
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
scripts/wineprefix "$WINEPREFIX"
bench() { wine "$here/build/linux/corvane_bench.exe.so" "$@"; }
# Wall time of a command in milliseconds.
millis() {
  local start end
  start=$(date +%s%N)
  "$@" >/dev/null
  end=$(date +%s%N)
  echo $(((end - start) / 1000000))
}
