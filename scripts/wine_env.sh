#!/usr/bin/env bash
# A headless Wine for the Windows build: a private prefix, no display, no
# debug chatter, no Mono or Gecko install prompts.
#
#   source scripts/wine_env.sh          exports WINE, WINEPREFIX, WINEDEBUG, ...
#   scripts/wine_env.sh prog.exe ARGS   runs prog.exe and exits with its code
#
# The prefix defaults to /tmp/lattice-wine-$UID (set LATTICE_WINEPREFIX to
# choose another). The first use initialises it, which takes several seconds;
# later uses find it ready. A lock keeps parallel first uses from racing.

lattice_wine_setup() {
  WINE="${WINE:-$(command -v wine64 || true)}"
  [ -n "$WINE" ] || { [ -x /usr/lib/wine/wine64 ] && WINE=/usr/lib/wine/wine64; }
  [ -n "$WINE" ] || WINE="$(command -v wine || true)"
  if [ -z "$WINE" ]; then
    echo "wine_env: no wine64 found (apt-get install wine64)" >&2
    return 1
  fi
  export WINE
  export WINEPREFIX="${LATTICE_WINEPREFIX:-/tmp/lattice-wine-$(id -u)}"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree=;mshtml="
  export WINEARCH=win64
  unset DISPLAY WAYLAND_DISPLAY

  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$WINE" wineboot -i >/dev/null 2>&1
      # wineboot returns before the registry is flushed to disk.
      wineserver_bin="$(dirname "$WINE")/wineserver"
      [ -x "$wineserver_bin" ] || wineserver_bin="$(command -v wineserver || true)"
      [ -n "$wineserver_bin" ] && "$wineserver_bin" -w
    fi
  ) 9>"$WINEPREFIX.lock"
  [ -f "$WINEPREFIX/system.reg" ] || { echo "wine_env: could not initialise $WINEPREFIX" >&2; return 1; }
}

if [ "${BASH_SOURCE[0]}" != "$0" ]; then
  lattice_wine_setup
else
  set -e
  lattice_wine_setup
  if [ $# -gt 0 ]; then
    exec "$WINE" "$@"
  fi
fi
