#!/usr/bin/env bash
# Tavik demo: builds the Windows program, starts four test cameras on
# 127.0.0.1 and shows them in Tavik under Wine, in a demo prefix of its own
# (build/demo-prefix; a user's Wine prefix is never touched).
#
# With $DISPLAY set, Tavik opens there and the demo ends when its window is
# closed. Without a display it runs in a private Xvfb for about 15 seconds and
# saves a screenshot to build/demo-screenshot.png.
# Everything the demo starts is stopped by process id when it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

bash tools/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j2

bash tools/wineprefix.sh build/wineprefix
PREFIX=$ROOT/build/demo-prefix
if [ ! -f "$PREFIX/.tavik-ready" ]; then
  rm -rf "$PREFIX"
  cp -a build/wineprefix "$PREFIX"
fi
export WINEPREFIX=$PREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

cam_pid=""
xvfb_pid=""
tavik_pid=""
cam_log=$(mktemp)
cleanup() {
  set +e
  [ -n "$tavik_pid" ] && kill "$tavik_pid" 2>/dev/null
  [ -n "$cam_pid" ] && kill "$cam_pid" 2>/dev/null
  timeout 30 wineserver -k 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  [ -n "$cam_pid" ] && wait "$cam_pid" 2>/dev/null
  rm -f "$cam_log"
}
trap cleanup EXIT INT TERM

# Four cameras, one of them with sound.
/usr/bin/python3 tools/camserver.py --port 0 \
  door=h264,width=640,height=360,fps=15 \
  drive=h264aac,width=640,height=360,fps=15,freq=440 \
  garden=h264,width=640,height=360,fps=15 \
  street=h264,width=640,height=360,fps=15 >"$cam_log" 2>/dev/null &
cam_pid=$!
port=""
for _ in $(seq 1 120); do
  port=$(sed -n 's/^camserver ready port=\([0-9]*\).*/\1/p' "$cam_log" | head -1)
  [ -n "$port" ] && break
  kill -0 "$cam_pid" 2>/dev/null || break
  sleep 0.5
done
if [ -z "$port" ]; then echo "demo: the camera server did not start" >&2; exit 1; fi
echo "demo: cameras at rtsp://127.0.0.1:$port/{door,drive,garden,street}"

user=${USER:-$(id -un)}
appdata="$PREFIX/drive_c/users/$user/AppData/Roaming/Tavik"
mkdir -p "$appdata"
url() { printf 'rtsp://127.0.0.1:%s/%s' "$port" "$1"; }
cat >"$appdata/config.json" <<EOF
{
  "Cameras": [
    { "Name": "Front door", "Url": "$(url door)", "Zoom": 1, "PanX": 0.5, "PanY": 0.5 },
    { "Name": "Driveway", "Url": "$(url drive)", "Zoom": 1, "PanX": 0.5, "PanY": 0.5 },
    { "Name": "Garden", "Url": "$(url garden)", "Zoom": 1, "PanX": 0.5, "PanY": 0.5 },
    { "Name": "Street", "Url": "$(url street)", "Zoom": 1, "PanX": 0.5, "PanY": 0.5 }
  ],
  "SelectedCamera": "Driveway",
  "ConsoleHost": "",
  "ConsoleUser": "",
  "ConsolePassEnc": "",
  "Muted": false,
  "AlwaysOnTop": false,
  "WindowMaximized": false,
  "WindowLeft": 40,
  "WindowTop": 30,
  "WindowWidth": 1120,
  "WindowHeight": 640
}
EOF

if [ -n "${DISPLAY:-}" ]; then
  timeout 30 wineserver -k 2>/dev/null || true
  echo "demo: starting Tavik on $DISPLAY (close its window to end the demo)"
  wine build/windows/Tavik.exe &
  tavik_pid=$!
  wait "$tavik_pid" || true
  tavik_pid=""
  exit 0
fi

# No display: a private Xvfb, a screenshot after about 15 seconds.
n=140
while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 1 60); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.25; done
export DISPLAY=":$n"
timeout 30 wineserver -k 2>/dev/null || true
echo "demo: starting Tavik in Xvfb $DISPLAY for about 15 seconds"
wine build/windows/Tavik.exe >/dev/null 2>&1 &
tavik_pid=$!
sleep 15
import -window root build/demo-screenshot.png && echo "demo: screenshot saved to build/demo-screenshot.png"
# Close the window as a user would (the settings are saved), then make sure.
hwnd=$(timeout 30 wine build/windows/winprobe_win.exe list 2>/dev/null |
       awk -F'\t' '$1 == "window" && $4 == "Orbisfield.Tavik" { print $2; exit }')
[ -n "$hwnd" ] && timeout 30 wine build/windows/winprobe_win.exe close "$hwnd" >/dev/null 2>&1 || true
for _ in $(seq 1 40); do kill -0 "$tavik_pid" 2>/dev/null || break; sleep 0.5; done
kill "$tavik_pid" 2>/dev/null || true
wait "$tavik_pid" 2>/dev/null || true
tavik_pid=""
