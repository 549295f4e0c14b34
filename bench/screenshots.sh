#!/usr/bin/env bash
# Saves PNGs of the application as a person sees it, on a virtual desktop of its own
# (Xvfb 1920x1080, openbox, tint2 with the system tray, moving content behind):
# the main window empty, while a report is written and with the report, the
# settings window and the tray menu. For looking at, not for comparing.
#
#   bench/screenshots.sh [OUTPUT_DIR]     (default build/screenshots)
#
# Needs a release build of snagreel, snagreel-engines and snagreel-moving-content.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/build/screenshots}" && cd "${1:-$root/build/screenshots}" && pwd)
build=$root/build/release
home=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$home"
}
trap cleanup EXIT

numberFile=$home/display
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$numberFile" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [[ -s $numberFile ]] && break; sleep 0.1; done
export DISPLAY=:$(head -n1 "$numberFile")
busInfo=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
export DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p <<<"$busInfo")
pids+=("$(sed -n 2p <<<"$busInfo")")
export XDG_DATA_HOME=$home/data XDG_CONFIG_HOME=$home/config
"$build/bench/snagreel-moving-content" --mode motion --fps 15 --below >/dev/null 2>&1 &
pids+=($!)
openbox >/dev/null 2>&1 &
pids+=($!)
tint2 >/dev/null 2>&1 &
pids+=($!)
sleep 2
"$build/app/snagreel" 2>"$home/app.log" &
pids=($! "${pids[@]}")

# Polls (bounded) until the command succeeds.
until_ok() {
    for _ in $(seq 600); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
    echo "gave up waiting for: $*" >&2
    return 1
}
shown() {
    dbus-send --print-reply=literal --dest=app.snagreel.Snagreel /app/snagreel/Snagreel \
        app.snagreel.Snagreel1.ShownCapture 2>/dev/null
}
window() { xdotool search --onlyvisible --name "^$1\$" | head -n1; }
shot() { import -window "$1" "$out/$2.png"; echo "$out/$2.png"; }
trayIcon() {
    for id in $(xdotool search --class snagreel); do
        [[ $(xdotool getwindowgeometry "$id") == *"Geometry: 22x22"* ]] && echo "$id" && return 0
    done
    return 1
}

until_ok trayIcon
sleep 1
# The tray icon in the panel. (Its menu is not opened here: a click sent through
# XTEST to the embedded icon under tint2 on Xvfb opens nothing; see the tray menu
# test in DesktopShellTests for its contents.)
shot root screen >/dev/null
convert "$out/screen.png" -crop 300x30+1620+1050 +repage "$out/tray-icon.png"
rm "$out/screen.png"
echo "$out/tray-icon.png"

# A second launch shows the running instance's window.
"$build/app/snagreel"
until_ok window Snagreel
sleep 1
main=$(window Snagreel)
shot "$main" main-empty

xdotool key ctrl+alt+super+f
# The report is being written as soon as the window shows the new capture.
generating() { shown | grep -q '[0-9a-f]\{8\}-'; }
for _ in $(seq 1200); do generating && break; sleep 0.02; done
sleep 0.4
shot "$main" main-generating
until_ok bash -c "dbus-send --print-reply=literal --dest=app.snagreel.Snagreel /app/snagreel/Snagreel app.snagreel.Snagreel1.ShownCapture | grep -q '[0-9a-f]\{8\}-.*[A-Za-z]'"
sleep 1
shot "$main" main-report

# The header's "Settings" button, at the window's top right.
xdotool mousemove --window "$main" 913 24 click 1
until_ok window "Snagreel Settings"
sleep 1
shot "$(window "Snagreel Settings")" settings
