#!/usr/bin/env bash
# The real application on a virtual desktop (Xvfb 1920x1080, openbox, tint2, moving
# content at 15 fps, so the rewind fills to its 60 seconds and stays full):
#  1. idle in the tray for MINUTES minutes: CPU time per second of wall time after
#     the first minute, and RSS at minute 2 and at the end (flat within 5 %);
#  2. then PRESSES presses of Ctrl+Alt+Super+F with the clip length at 60 s: the time
#     from the press (through XTEST) to the new capture shown in the main window
#     (asked through the instance's ShownCapture), each after the previous report
#     is written. Prints the median, minimum and maximum.
#
#   bench/app-idle-bench.sh [MINUTES=10] [PRESSES=20]
#
# Needs a release build of snagreel, snagreel-engines and snagreel-moving-content.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
minutes=${1:-10}
presses=${2:-20}
build=$root/build/release
home=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$home"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$home/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [[ -s $home/display ]] && break; sleep 0.1; done
export DISPLAY=:$(head -n1 "$home/display")
busInfo=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
export DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p <<<"$busInfo")
pids+=("$(sed -n 2p <<<"$busInfo")")
export XDG_DATA_HOME=$home/data XDG_CONFIG_HOME=$home/config
mkdir -p "$XDG_CONFIG_HOME/Snagreel"
printf '[General]\nclipLength=60\n' >"$XDG_CONFIG_HOME/Snagreel/Snagreel.conf"
"$build/bench/snagreel-moving-content" --mode motion --fps 15 --below >/dev/null 2>&1 &
pids+=($!)
openbox >/dev/null 2>&1 &
pids+=($!)
tint2 >/dev/null 2>&1 &
pids+=($!)
sleep 2
"$build/app/snagreel" 2>/dev/null &
app=$!
pids=("$app" "${pids[@]}")

ticks=$(getconf CLK_TCK)
cpuTicks() { awk '{print $14 + $15}' "/proc/$app/stat"; }
rssKiB() { awk '/^VmRSS/ {print $2}' "/proc/$app/status"; }
shown() {
    dbus-send --print-reply=literal --dest=app.snagreel.Snagreel /app/snagreel/Snagreel \
        app.snagreel.Snagreel1.ShownCapture 2>/dev/null | tr -s ' \n' ' '
}

echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
sleep 60
startTicks=$(cpuTicks)
startTime=$(date +%s.%N)
sleep 60
rss2=$(rssKiB)
echo "minute 2: RSS ${rss2} KiB"
sleep $(((minutes - 2) * 60))
rssEnd=$(rssKiB)
cpu=$(echo "($(cpuTicks) - $startTicks) / $ticks / ($(date +%s.%N) - $startTime)" | bc -l)
printf 'minute %d: RSS %d KiB (%+.1f %% from minute 2)\n' "$minutes" "$rssEnd" \
    "$(echo "($rssEnd - $rss2) * 100 / $rss2" | bc -l)"
printf 'idle CPU, minutes 1-%d: %.3f s per s (%.1f %% of one core)\n' "$minutes" "$cpu" \
    "$(echo "$cpu * 100" | bc -l)"
echo "load average after idle: $(cut -d' ' -f1-3 /proc/loadavg)"

samples=()
previous=$(shown)
for ((i = 0; i < presses; ++i)); do
    start=$(date +%s%N)
    xdotool key ctrl+alt+super+f
    current=$previous
    for _ in $(seq 3000); do
        current=$(shown)
        [[ $current != "$previous" && $current == *-*-*-*-* ]] && break
        sleep 0.005
    done
    samples+=($((($(date +%s%N) - start) / 1000000)))
    previous=$current
    # The report for this capture is written before the next press.
    for _ in $(seq 1200); do
        [[ $(shown) =~ [0-9a-f-]{36}\ +[A-Za-z] ]] && break
        sleep 0.1
    done
    previous=$(shown)
done
sorted=($(printf '%s\n' "${samples[@]}" | sort -n))
echo "shortcut -> capture shown (ms, 60 s clips, $presses presses): median ${sorted[$((presses / 2))]}," \
    "min ${sorted[0]}, max ${sorted[$((presses - 1))]}; all: ${samples[*]}"
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
