#!/bin/sh
# Runs a Windows program under Wine for CTest and test discovery. The caller
# (scripts/test_windows.sh) provides WINEPREFIX and a running wineserver, and
# WINELOADER where the wine wrapper would pick a loader that cannot run.
# No debugger: a crash must fail the test, where winedbg could exit 0.
WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}winedbg.exe=d" WINEDEBUG="${WINEDEBUG:--all}" exec "${WINELOADER:-wine}" "$@"
