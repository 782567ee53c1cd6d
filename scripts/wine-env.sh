# Sourced by the scripts that run Windows programs under Wine. BUILD: the MinGW build folder.
: "${BUILD:?BUILD must name the MinGW build folder}"
export WINEPREFIX="$BUILD/wineprefix" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="   # never offer Mono or Gecko
export LANG=C.UTF-8 LC_ALL=C.UTF-8          # UTF-8 arguments for Wine programs
