#!/usr/bin/env bash
# End-to-end recorder benchmark, side by side with ffmpeg's x11grab + libx264 on
# the same virtual display and the same moving content.
#
#   bench/e2e-recorder.sh [--seconds 60] [--size 1920x1080] [--modes "static motion"]
#
# For each content mode it records for the given time, first with ffmpeg, then with
# our recorder (which also saves a 30 s and a 60 s clip at the end), and prints CPU
# seconds per wall second (the X server's CPU included), resident memory, frames
# delivered per frames expected, save latency and output bit rate.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=60
size=1920x1080
modes="static motion"
while (($#)); do
    case $1 in
    --seconds) seconds=$2; shift 2 ;;
    --size) size=$2; shift 2 ;;
    --modes) modes=$2; shift 2 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
    esac
done

build=$root/build/release
if [[ ! -x $build/bench/snagreel-rewind-demo ]]; then
    "$root/scripts/install-deps"
    cmake --preset release -S "$root" >/dev/null
    cmake --build "$build" --target snagreel-rewind-demo snagreel-moving-content
fi
demo=$build/bench/snagreel-rewind-demo
content=$build/bench/snagreel-moving-content

display_number=$(for n in $(seq 140 199); do [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]] || { echo "$n"; break; }; done)
export DISPLAY=:$display_number
Xvfb "$DISPLAY" -screen 0 "${size}x24" -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb $content_pid 2>/dev/null || true' EXIT
for _ in $(seq 50); do [[ -e /tmp/.X11-unix/X$display_number ]] && break; sleep 0.1; done

clk=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
rss_kib() { awk '/VmRSS/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }

work=$(mktemp -d)
content_pid=
for mode in $modes; do
    "$content" --mode "$mode" --fps 15 &
    content_pid=$!
    sleep 1

    # ffmpeg baseline
    x0=$(cpu_ticks $xvfb)
    ffmpeg -hide_banner -loglevel error -f x11grab -framerate 15 -video_size "$size" -i "$DISPLAY" \
        -pix_fmt yuv420p -c:v libx264 -preset ultrafast -tune zerolatency -profile:v high -bf 0 -g 15 \
        -b:v 4M -maxrate 6M -bufsize 6M -fps_mode cfr -t "$seconds" -f null - &
    ff=$!
    peak=0
    f0=0
    while kill -0 $ff 2>/dev/null; do
        f=$(cpu_ticks $ff); [[ $f -gt 0 ]] && f0=$f
        r=$(rss_kib $ff); ((r > peak)) && peak=$r
        sleep 0.5
    done
    x1=$(cpu_ticks $xvfb)
    ff_cpu=$(echo "scale=3; ($f0 + $x1 - $x0) / $clk / $seconds" | bc)
    echo "mode=$mode ffmpeg: cpu_per_second=$ff_cpu (incl. X server $(echo "scale=3; ($x1 - $x0) / $clk / $seconds" | bc)) rss_mib=$((peak / 1024))"

    # our recorder
    x0=$(cpu_ticks $xvfb)
    XDG_DATA_HOME=$work "$demo" --benchmark --seconds "$seconds" --save 30,60 >"$work/ours.txt" 2>&1 &
    ours=$!
    o0=0
    while kill -0 $ours 2>/dev/null; do
        o=$(cpu_ticks $ours); [[ $o -gt 0 ]] && o0=$o
        sleep 0.5
    done
    wait $ours || { cat "$work/ours.txt"; exit 1; }
    x1=$(cpu_ticks $xvfb)
    echo "mode=$mode snagreel: X server cpu_per_second=$(echo "scale=3; ($x1 - $x0) / $clk / $seconds" | bc) (add to the recorder's own below)"
    sed "s/^/mode=$mode snagreel: /" "$work/ours.txt"

    kill $content_pid; wait $content_pid 2>/dev/null || true
done
rm -rf "$work"
