#!/usr/bin/env bash
# Wayland recorder benchmark: our portal + PipeWire recorder side by side with
# wf-recorder (wlroots screencopy + libx264) on the same headless sway desktop,
# same output size, the same moving content (a terminal clock redrawn every
# 10 ms), 15 fps, libx264 ultrafast/zerolatency at 4 Mbit/s.
#
#   bench/wayland-recorder.sh [--seconds 20] [--size 1920x1080]
#
# Runs itself inside devsupport/wayland-session real. Prints, per recorder, CPU
# seconds per wall second of the recorder and of the compositor side (sway; for
# ours also the portal backend and PipeWire, which only we use), encoded frames per
# frames expected at 15 fps, and for ours the time from start to the first frame.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=20
size=1920x1080
while (($#)); do
  case $1 in
  --seconds) seconds=$2; shift 2 ;;
  --size) size=$2; shift 2 ;;
  --inside) inside=1; shift ;;
  *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
demo=$root/build/release/bench/snagreel-rewind-demo

if [[ -z ${inside:-} ]]; then
  [[ -x $demo ]] || { echo "build the snagreel-rewind-demo target first" >&2; exit 1; }
  command -v wf-recorder >/dev/null || { echo "wf-recorder is missing: scripts/install-deps --wayland" >&2; exit 1; }
  exec "$root/devsupport/wayland-session" real -- "$0" --inside --seconds "$seconds" --size "$size"
fi

hz=$(getconf CLK_TCK)
ticks() { # summed utime+stime of the given pids
  local total=0 p
  for p in "$@"; do
    [[ -r /proc/$p/stat ]] || continue
    total=$((total + $(awk '{print $14 + $15}' "/proc/$p/stat")))
  done
  echo $total
}
pids_of() { pgrep -u "$(id -u)" -x "$1" | tr '\n' ' '; }
frames() { ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$1"; }
duration() { ffprobe -v error -show_entries format=duration -of csv=p=0 "$1"; }

swaymsg output HEADLESS-1 mode "$size" >/dev/null
foot --log-level=error -e sh -c 'while :; do date +%T.%N; sleep 0.01; done' &
content=$!
sleep 1
work=$(mktemp -d)
sway=$(pids_of sway)
side="$(pgrep -u "$(id -u)" -f xdg-desktop-portal-wlr | tr "\n" " ") $(pids_of pipewire) $(pids_of wireplumber)"

# ours: records for the window, then saves the last 30 s
mkfifo "$work/in"
sleep 100000 >"$work/in" &
holder=$!
"$demo" --root "$work/ours" --status-log <"$work/in" >"$work/ours.log" 2>&1 &
ours=$!
for _ in $(seq 100); do grep -q 'event=first_frame' "$work/ours.log" && break; sleep 0.1; done
s0=$(ticks $sway); p0=$(ticks $side); o0=$(ticks $ours); t0=$(date +%s.%N)
sleep "$seconds"
s1=$(ticks $sway); p1=$(ticks $side); o1=$(ticks $ours); t1=$(date +%s.%N)
echo 30 >"$work/in"
for _ in $(seq 100); do ls "$work"/ours/*/clip.mp4 >/dev/null 2>&1 && break; sleep 0.1; done
sleep 0.5
kill "$ours" "$holder" 2>/dev/null; wait "$ours" 2>/dev/null || true
clip=$(ls "$work"/ours/*/clip.mp4)
requested=$(awk -F'[ =]' '/event=start_requested/ {print $3; exit}' "$work/ours.log")
first=$(awk -F'[ =]' '/event=first_frame/ {print $3; exit}' "$work/ours.log")

# wf-recorder: the same window
wf-recorder -o HEADLESS-1 -c libx264 -F fps=15 -x yuv420p -p preset=ultrafast -p tune=zerolatency \
  -p b=4000000 -f "$work/wf.mp4" >"$work/wf.log" 2>&1 </dev/null &
wf=$!
sleep 1
ws0=$(ticks $sway); w0=$(ticks $wf); wt0=$(date +%s.%N)
sleep "$seconds"
ws1=$(ticks $sway); w1=$(ticks $wf); wt1=$(date +%s.%N)
kill -INT "$wf"; wait "$wf" 2>/dev/null || true
kill "$content" 2>/dev/null || true

awk -v hz="$hz" -v s="$((s1 - s0))" -v p="$((p1 - p0))" -v o="$((o1 - o0))" -v t0="$t0" -v t1="$t1" \
    -v ws="$((ws1 - ws0))" -v w="$((w1 - w0))" -v wt0="$wt0" -v wt1="$wt1" \
    -v of="$(frames "$clip")" -v od="$(duration "$clip")" -v wfr="$(frames "$work/wf.mp4")" \
    -v wd="$(duration "$work/wf.mp4")" -v req="$requested" -v first="$first" -v size="$size" 'BEGIN {
  T = t1 - t0; W = wt1 - wt0
  printf "size %s, %.0f s windows, 15 fps, libx264 ultrafast 4 Mbit/s; CPU in core-seconds per second\n", size, T
  printf "%-12s %10s %14s %10s %18s %16s\n", "recorder", "recorder", "compositor+", "total", "frames/expected", "first frame"
  printf "%-12s %10.3f %14.3f %10.3f %11d/%-6d %13.0f ms\n", "snagreel", o/hz/T, (s+p)/hz/T, (o+s+p)/hz/T, of, od*15, (first-req)*1000
  printf "%-12s %10.3f %14.3f %10.3f %11d/%-6d %16s\n", "wf-recorder", w/hz/W, ws/hz/W, (w+ws)/hz/W, wfr, wd*15, "-"
}'
rm -rf "$work"
