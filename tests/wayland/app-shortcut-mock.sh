#!/usr/bin/env bash
# The program in a Wayland session with the shortcut portal (devsupport/wayland-session
# mock): it records through the screen-sharing portal, binds the capture shortcut
# through the desktop, and a press of it saves a playable clip with its manifest.
#
#   devsupport/wayland-session mock -- tests/wayland/app-shortcut-mock.sh SNAGREEL
set -euo pipefail
app=${1:?usage: $0 SNAGREEL}
log=$WAYLAND_SESSION_LOGS/app.log
captures=$XDG_DATA_HOME/Snagreel/Captures

control() {
  gdbus call --session -d org.freedesktop.impl.portal.desktop.snagreeltest \
    -o /org/freedesktop/portal/desktop -m "org.freedesktop.impl.portal.desktop.snagreeltest.Control.$1" "${@:2}"
}
# waits up to 20 s for CHECK
await() {
  local what=$1 i
  shift
  for ((i = 0; i < 400; i++)); do "$@" >/dev/null 2>&1 && return 0; sleep 0.05; done
  echo "FAIL: $what; state $(control GetState)" >&2
  tail -n 20 "$log" >&2
  exit 1
}
clip() { compgen -G "$captures/*/clip.mp4"; }
bound() { control GetState | grep -q '"save-clip": "CTRL+ALT+LOGO+f"'; }
shared() { control GetState | grep -q '"starts": 1,'; }

# Under AddressSanitizer the program is checked for memory errors, not for what the
# media and platform plugins it unloads leave behind at exit.
ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 QT_QPA_PLATFORM=offscreen "$app" >"$log" 2>&1 &
app_pid=$!
trap 'kill $app_pid 2>/dev/null; wait $app_pid 2>/dev/null' EXIT

await "the shortcut is bound through the desktop" bound
await "the recorder shares the screen through the portal" shared
await "the first frame arrives" grep -q 'event=first_frame' "$log"
# A press saves once the rewind holds a whole segment; presses before that are refused.
for ((press = 0; press < 10; press++)); do
  control Press save-clip | grep -q '(uint32 1,)' || { echo "FAIL: the press reached no session" >&2; exit 1; }
  for ((i = 0; i < 20; i++)); do clip >/dev/null && break 2; sleep 0.1; done
done
await "a press of the shortcut saves a clip" clip
folder=$(dirname "$(clip | head -n 1)")
await "the manifest is written" test -s "$folder/manifest.json"
streams=$(ffprobe -v error -select_streams v:0 -show_entries stream=codec_name -of csv=p=0 "$folder/clip.mp4")
[[ $streams == h264 ]] || { echo "FAIL: clip.mp4 is not an H.264 movie: '$streams'" >&2; exit 1; }
echo "PASS: recorded through the portal, bound the shortcut, a press saved $folder"
