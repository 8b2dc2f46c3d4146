#!/usr/bin/env bash
# Makes (once) the Wine prefix the Windows-side tests and the demo run in.
# Usage: tools/wineprefix.sh PREFIX_DIR
set -euo pipefail
prefix=$(realpath -m "$1")
if [ -f "$prefix/.tavik-ready" ]; then exit 0; fi
mkdir -p "$prefix"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineserver -k 2>/dev/null || true
timeout 300 wineboot -i >/dev/null 2>&1
# A crash must end the process, not open a dialog nobody can close.
timeout 60 wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
timeout 60 wine winecfg -v win10 >/dev/null 2>&1
# Only DejaVu fonts exist here; let dialogs and labels asking for Segoe UI get DejaVu Sans.
timeout 60 wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "Segoe UI" /t REG_SZ /d "DejaVu Sans" /f >/dev/null 2>&1
timeout 60 wineserver -w || true
touch "$prefix/.tavik-ready"
