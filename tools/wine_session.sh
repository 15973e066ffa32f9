# Sourced by the scripts that run Windows programs: prepares the build's Wine
# prefix and keeps one wineserver alive for the whole run, so that each Wine
# process starts in a fraction of a second; the server stops on exit.
export WINEPREFIX="${WINEPREFIX:-$build_dir/wine-prefix}"
# The build says whether its programs are 32-bit or 64-bit.
WINEARCH="${WINEARCH:-$(cat "$build_dir/wine-arch" 2>/dev/null || echo win32)}"
export WINEARCH
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "wine: preparing the prefix $WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  # The server that prepared the prefix must be gone before -p can start ours.
  wineserver -w
fi
wineserver -p 2>/dev/null || true  # already running for this prefix: keep it
# Start the prefix's services now: the first Wine program starts them, and they
# keep its standard error open, so under CTest that test would wait for them.
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
# The same holds for the desktop, which ends a few seconds after its last
# program and is started again by the next: keep a program on it for the
# whole run (the wineserver's end ends it).
keeper="$build_dir/bin/tavra_desktop_keeper.exe"
if [ -f "$keeper" ]; then
  wine "$keeper" </dev/null >/dev/null 2>&1 &
  disown
fi
trap 'wineserver -k 2>/dev/null || true' EXIT
