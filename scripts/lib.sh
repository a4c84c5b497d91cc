# Shared by scripts/test and scripts/run: the Wine prefix and the X server.
# Sourced, not run.

KELVARO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# kelvaro is a 32-bit program, and Wine runs a 32-bit Windows program in a 32-bit Linux
# process. Some hosts (sandboxes that run 64-bit user code only) cannot execute 32-bit code
# at all: there Wine's 32-bit loader fails with "Exec format error", and the programs that
# run here (the tool for scripts/run, the tests) are the windows64 preset's 64-bit build of
# the same sources, under Wine's 64-bit loader.
#
# Decided by choose_win_build, which each script calls after scripts/setup: on a fresh machine
# Wine is not there until setup installs it, and a decision made before would take every host
# for one that runs no 32-bit code. KELVARO_WINE32_LOADER names the loader to try (for tests).
host_runs_i386() {
  local loader=${KELVARO_WINE32_LOADER:-/usr/lib/wine/wine}
  [ -x "$loader" ] && "$loader" --version >/dev/null 2>&1
}
choose_win_build() {
  if host_runs_i386; then
    WIN_PRESET=windows
    WIN_ARCH=win32
  else
    WIN_PRESET=windows64
    WIN_ARCH=win64
    # "wine" (and the loader that winepath and wineboot call) start the 64-bit loader.
    mkdir -p "$KELVARO_ROOT/build/wine64-bin"
    for name in wine wine-stable; do
      printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$KELVARO_ROOT/build/wine64-bin/$name"
      chmod +x "$KELVARO_ROOT/build/wine64-bin/$name"
    done
    case ":$PATH:" in *":$KELVARO_ROOT/build/wine64-bin:"*) ;; *) export PATH="$KELVARO_ROOT/build/wine64-bin:$PATH" ;; esac
    export WINELOADER=/usr/lib/wine/wine64
  fi
  # The build whose programs run here.
  WIN_BUILD="$KELVARO_ROOT/build/$WIN_PRESET"
}

# A private Wine prefix inside the build folder, made once; Mono and Gecko are skipped.
# scripts/test uses "wineprefix" and scripts/run "wineprefix-run", so that the wineserver -k
# with which one of them ends never stops the other's processes.
wine_prefix() {
  export WINEPREFIX="$WIN_BUILD/${1:-wineprefix}"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=$WIN_ARCH
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    echo "Making the Wine prefix (once) ..." >&2
    wineboot -i >/dev/null 2>&1
    wineserver -w
  fi
  # The user's folders stay inside the prefix: Wine links Documents and its neighbours to the
  # home folder, and the tool keeps its findings pages in Documents\kelvaro.
  local folder
  for folder in "$WINEPREFIX"/drive_c/users/*/{Documents,Desktop,Downloads,Music,Pictures,Videos,Templates}; do
    if [ -L "$folder" ]; then rm -f "$folder" && mkdir -p "$folder"; fi
  done
}

# Keeps the prefix's wineserver, and with it Wine's own services (the desktop, the device
# manager, ...), running from now until stop_wine_and_x. Otherwise each test program starts them
# anew, and for its first seconds they take the processor from the timing tests that run first.
wine_keep_running() {
  wineserver -p >/dev/null 2>&1 || true
  wine cmd /c exit >/dev/null 2>&1 || true
  sleep 3
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

# Configures and builds one preset (only the given targets, when some are named), showing
# the output only when it fails.
build_preset() {
  local preset=$1 log="$KELVARO_ROOT/build/$1-build.log"
  shift
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  mkdir -p "$KELVARO_ROOT/build"
  # The presets are found in the source folder, wherever the caller stands.
  if ! (cd "$KELVARO_ROOT" && cmake --preset "$preset" && cmake --build --preset "$preset" "${targets[@]}") >"$log" 2>&1; then
    cat "$log" >&2
    echo "build of the $preset preset failed (log: $log)" >&2
    return 1
  fi
}
