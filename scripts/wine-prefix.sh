#!/usr/bin/env bash
# Creates (once) and configures the Wine prefix of a MinGW build folder. Idempotent.
# Usage: BUILD=build/mingw scripts/wine-prefix.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine-env.sh"
mkdir -p "$BUILD"
log="$BUILD/wine-prefix.log"
{
    [ -f "$WINEPREFIX/system.reg" ] || env -u DISPLAY wineboot -i
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
        /v Tahoma /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei' /f
    # Serial ports the tests map to pseudo-terminals: COMn is reserved for a link that the
    # test retargets (Wine would otherwise renumber ports at every server start).
    for n in 5 6 7 8; do
        wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$BUILD/wine-com$n" /f
    done
    for f in "$here"/../tests/*/wine/*.reg; do
        [ -f "$f" ] && wine regedit "$f"
    done
    wineserver -w
} >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
