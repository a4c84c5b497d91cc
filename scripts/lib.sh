# Shared by scripts/test and scripts/run: the Wine prefix and the X server.
# Sourced, not run.

KELVARO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WIN_BUILD="$KELVARO_ROOT/build/windows"

# A private Wine prefix inside the build folder, made once. Mono and Gecko are skipped.
wine_prefix() {
  export WINEPREFIX="$WIN_BUILD/wineprefix"
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
XVFB_PID=""
start_xvfb() {
  local n=91
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 4000x1200x24 -nolisten tcp >/dev/null 2>&1 &
  XVFB_PID=$!
  for _ in $(seq 100); do
    [ -e "/tmp/.X11-unix/X$n" ] && break
    sleep 0.1
  done
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
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset"; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "build of the $preset preset failed (log: $log)" >&2
    return 1
  fi
}
