# Shared by scripts/test and scripts/run: the Wine prefix and the X server.
# Sourced, not run.

KELVARO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WIN_BUILD="$KELVARO_ROOT/build/windows"

# A private Wine prefix inside the build folder, made once; Mono and Gecko are skipped.
# scripts/test uses "wineprefix" and scripts/run "wineprefix-run", so that the wineserver -k
# with which one of them ends never stops the other's processes.
wine_prefix() {
  export WINEPREFIX="$WIN_BUILD/${1:-wineprefix}"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=win32
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    echo "Making the Wine prefix (once) ..." >&2
    wineboot -i >/dev/null 2>&1
    wineserver -w
  fi
}

# Starts a private Xvfb on a free display number and exports DISPLAY. The screen is wide
# enough for the virtual display's second output (x 1920 to 3840), so that a window moved
# there is still on the screen and can be captured.
# Xvfb picks the number itself and writes it once it accepts clients (-displayfd), so two
# runs side by side never take the same one; false, with the reason, when it does not start.
XVFB_PID=""
start_xvfb() {
  local numbers
  numbers=$(mktemp)
  Xvfb -displayfd 3 -screen 0 4000x1200x24 -nolisten tcp 3>"$numbers" >/dev/null 2>"$numbers.err" &
  XVFB_PID=$!
  local n=""
  for _ in $(seq 200); do
    n=$(head -n 1 "$numbers" 2>/dev/null)
    [ -n "$n" ] && break
    if ! kill -0 "$XVFB_PID" 2>/dev/null; then break; fi
    sleep 0.05
  done
  if [ -z "$n" ]; then
    echo "Xvfb did not start: $(tail -n 3 "$numbers.err" 2>/dev/null | tr '\n' ' ')" >&2
    kill "$XVFB_PID" 2>/dev/null || true
    XVFB_PID=""
    rm -f "$numbers" "$numbers.err"
    return 1
  fi
  rm -f "$numbers" "$numbers.err"
  export DISPLAY=":$n"
}

# Stops the prefix's wineserver (and with it every Wine process of the run) and Xvfb.
stop_wine_and_x() {
  if [ -n "${WINEPREFIX:-}" ]; then wineserver -k >/dev/null 2>&1 || true; fi
  if [ -n "$XVFB_PID" ]; then
    kill "$XVFB_PID" 2>/dev/null || true
    wait "$XVFB_PID" 2>/dev/null || true
    XVFB_PID=""
  fi
}

# Configures and builds one preset, showing the output only when it fails.
build_preset() {
  local preset=$1 log="$KELVARO_ROOT/build/$1-build.log"
  mkdir -p "$KELVARO_ROOT/build"
  # The presets are found in the source folder, wherever the caller stands.
  if ! (cd "$KELVARO_ROOT" && cmake --preset "$preset" && cmake --build --preset "$preset") >"$log" 2>&1; then
    cat "$log" >&2
    echo "build of the $preset preset failed (log: $log)" >&2
    return 1
  fi
}
