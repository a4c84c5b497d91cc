#!/usr/bin/env bash
# scripts/setup against a fake apt on PATH: a mirror whose update fails now and then, one
# whose i386 security index never arrives, and one on which nothing resolves. Prints one
# "PASS case" or "FAIL case: why" line a case; exits non-zero when any failed.
set -u
here=$(cd "$(dirname "$0")" && pwd)
setup="$here/../../scripts/setup"
failed=0

run_case() {   # mode; leaves the state folder in $state, output in $out, exit code in $code
  state=$(mktemp -d)
  mkdir -p "$state/bin" "$state/sources.list.d"
  for name in apt-get apt-cache apt-config dpkg dpkg-query id; do
    ln -s "$here/fake-apt" "$state/bin/$name"
  done
  cat >"$state/sources.list.d/debian.sources" <<'SRC'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main

Types: deb
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
SRC
  printf '%s\n' "deb [arch=amd64 trusted=yes] http://example.org/other stable main" \
    "deb http://deb.debian.org/debian-security bookworm-security main" >"$state/sources.list"
  code=0
  out=$(PATH="$state/bin:$PATH" FAKE_MODE=$1 FAKE_STATE=$state KELVARO_SETUP_PAUSE=0 \
        "$setup" 2>&1) || code=$?
}

check() {   # name, then a condition to evaluate
  local name=$1; shift
  if "$@"; then echo "PASS $name"; else echo "FAIL $name"; echo "$out" | sed 's/^/    /'; failed=1; fi
}
has() { grep -qF -- "$1" <<<"$out"; }
lacks() { ! grep -qF -- "$1" <<<"$out"; }

run_case flaky
check "a flaky update is retried and then installs" \
  eval '[ "$code" -eq 0 ] && has "try 1 of 3" && has "try 2 of 3" && lacks "try 3 of 3" &&
        [ "$(cat "$state/updates")" -eq 3 ] && lacks "going on"'
rm -rf "$state"

run_case mirror
check "an index that never arrives is named, and the install goes on without its suite" \
  eval '[ "$code" -eq 0 ] && has "try 3 of 3" &&
        has "bookworm-security/main/binary-i386/Packages.xz: File has unexpected size" &&
        has "going on with the index files that did arrive" &&
        has "trying again without bookworm-security" && has "installed without bookworm-security" &&
        grep -q "^Suites: bookworm bookworm-updates" "$state/used-sources" &&
        grep -q "^deb \[arch=amd64 trusted=yes\] http://example.org/other stable main" "$state/used-sources"'
rm -rf "$state"

run_case broken
check "an install that cannot resolve names the packages and the cause" \
  eval '[ "$code" -eq 1 ] && has "cannot install: " && has "wine32:i386" &&
        has "versions differ across architectures" &&
        has "zlib1g: installed 1:1.2.13.dfsg-1+deb12u1, i386 candidate 1:1.2.13.dfsg-1" &&
        lacks "libssl3: installed" && ! grep -q "^E:" <<<"$out"'
rm -rf "$state"

# Which build runs is decided once setup has installed Wine, not when lib.sh is sourced: on a
# fresh machine that runs 32-bit code there is no 32-bit loader until then.
state=$(mktemp -d)
printf '#!/bin/sh\necho wine-8.0\n' >"$state/wine32" && chmod +x "$state/wine32"
out=$(KELVARO_WINE32_LOADER="$state/none" bash -c '
  . "$1"; echo "sourced: ${WIN_PRESET:-undecided}"
  KELVARO_WINE32_LOADER=$2 choose_win_build; echo "after setup: $WIN_PRESET $WIN_ARCH $WIN_BUILD"' \
  _ "$here/../../scripts/lib.sh" "$state/wine32" 2>&1)
check "a host that runs 32-bit code tests the 32-bit build once setup has installed Wine" \
  eval 'has "sourced: undecided" && has "after setup: windows win32 " && has "/build/windows"'
rm -rf "$state"

exit "$failed"
