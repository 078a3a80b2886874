# Sourced by the tools that run Windows programs under Wine: the environment they need, and
# one wineserver with Wine's own services for the whole run.
#   tovix_wine_env BUILD_DIR   sets WINEPATH, WINEPREFIX (inside BUILD_DIR) and friends
#   tovix_start_wine           (re)starts the wineserver and Wine's services
#   tovix_stop_wine            ends them
tovix_wine_env() {
  local build=$1
  # The mingw runtime DLLs (libstdc++, libgcc_s, libwinpthread) are found through WINEPATH.
  local gcc_dir
  gcc_dir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
  export WINEPATH="${gcc_dir};/usr/x86_64-w64-mingw32/lib"
  export WINEPREFIX="$build/wineprefix"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=win64
  TOVIX_WINESERVER=/usr/lib/wine/wineserver
  TOVIX_WINESERVER_LOG=$build/wineserver.log
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
  fi
}

# Started here with their output away from ctest: services started by a test would inherit
# that test's output pipe and keep ctest waiting after the test has ended.
tovix_start_wine() {
  "$TOVIX_WINESERVER" -k >/dev/null 2>&1 || true
  "$TOVIX_WINESERVER" -p >/dev/null 2>>"$TOVIX_WINESERVER_LOG"
  /usr/lib/wine/wine64 wineboot >/dev/null 2>&1 || true
}

tovix_stop_wine() { "$TOVIX_WINESERVER" -k >/dev/null 2>&1 || true; }
