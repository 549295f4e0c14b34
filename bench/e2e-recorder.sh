#!/usr/bin/env bash
# End-to-end recorder benchmark, side by side with ffmpeg's x11grab + libx264 on
# the same virtual display and the same moving content.
#
#   bench/e2e-recorder.sh [--seconds 60] [--size 1920x1080] [--modes "still typing static motion"]
#                         [--backends "avFoundation screenCaptureKit"]
#
# For each content mode it records for the given time, first with ffmpeg, then with
# our recorder for each backend (which then saves a 30 s and a 60 s clip), and
# prints CPU seconds per wall second (the X server's CPU counted for both),
# resident memory, frames delivered per frames expected, save latency and the
# output bit rate.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=60
size=1920x1080
modes="still typing static motion"
backends="avFoundation screenCaptureKit"
while (($#)); do
    case $1 in
    --seconds) seconds=$2; shift 2 ;;
    --size) size=$2; shift 2 ;;
    --modes) modes=$2; shift 2 ;;
    --backends) backends=$2; shift 2 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
    esac
done

build=$root/build/release
if [[ ! -x $build/bench/snagreel-rewind-demo || ! -x $build/bench/snagreel-moving-content ]]; then
    "$root/scripts/install-deps"
    cmake --preset release -S "$root" >/dev/null
    cmake --build "$build" --target snagreel-rewind-demo snagreel-moving-content
fi
demo=$build/bench/snagreel-rewind-demo
content=$build/bench/snagreel-moving-content

display_number=$(for n in $(seq 140 199); do [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]] || { echo "$n"; break; }; done)
export DISPLAY=:$display_number
Xvfb "$DISPLAY" -screen 0 "${size}x24" -nolisten tcp -noreset >/dev/null 2>&1 &
xvfb=$!
content_pid=
work=$(mktemp -d)
trap 'kill $xvfb $content_pid 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 100); do xset q >/dev/null 2>&1 && break; sleep 0.1; done

clk=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
rss_kib() { awk '/VmRSS/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }
per_second() { echo "scale=3; $1 / $clk / $seconds" | bc; }

# Runs a command (stdout and stderr to the two files given first) and prints
# "<own cpu ticks> <X server cpu ticks> <peak rss KiB>" once it has exited.
measure() {
    local out=$1 err=$2 x0 x1 pid own=0 peak=0 t r
    shift 2
    x0=$(cpu_ticks $xvfb)
    "$@" >"$out" 2>"$err" &
    pid=$!
    while kill -0 $pid 2>/dev/null; do
        t=$(cpu_ticks $pid); ((t > 0)) && own=$t
        r=$(rss_kib $pid); ((r > peak)) && peak=$r
        sleep 0.25
    done
    wait $pid || { cat "$out" "$err" >&2; return 1; }
    x1=$(cpu_ticks $xvfb)
    echo "$own $((x1 - x0)) $peak"
}

echo "# $(date -u +%FT%TZ) $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg), display $size at 15 fps, $seconds s per run"
for mode in $modes; do
    "$content" --mode "$mode" --fps 15 &
    content_pid=$!
    sleep 1

    read -r own xs peak < <(measure /dev/null "$work/ffmpeg.err" ffmpeg -hide_banner -loglevel error -f x11grab -framerate 15 \
        -video_size "$size" -i "$DISPLAY" -pix_fmt yuv420p -c:v libx264 -preset ultrafast \
        -tune zerolatency -profile:v high -bf 0 -g 15 -b:v 4M -maxrate 6M -bufsize 6M \
        -fps_mode cfr -t "$seconds" -f null -)
    ff_total=$(per_second $((own + xs)))
    echo "mode=$mode ffmpeg: cpu_per_second=$ff_total (own $(per_second "$own"), X server $(per_second "$xs")) peak_rss_mib=$((peak / 1024))"

    for backend in $backends; do
        out=$work/$mode-$backend.txt
        read -r own xs peak < <(measure "$out" "$out.err" env XDG_DATA_HOME="$work/$mode-$backend" \
            SNAGREEL_ENCODER=libx264 "$demo" --backend "$backend" --benchmark --seconds "$seconds" \
            --save 30,60)
        total=$(per_second $((own + xs)))
        ratio=$(echo "scale=2; $total / $ff_total" | bc)
        echo "mode=$mode snagreel[$backend]: cpu_per_second=$total (own $(per_second "$own"), X server $(per_second "$xs")) = ${ratio}x ffmpeg; peak_rss_mib=$((peak / 1024))"
        sed -n "s/^recorder /  /p; s/^save /  save /p" "$out"
        for dir in $(sed -n 's/^save .* dir=\(.*\)$/\1/p' "$out"); do
            python3 - "$dir" <<'PY'
import json, subprocess, sys
d = sys.argv[1]
m = json.load(open(d + "/manifest.json"))
probe = json.loads(subprocess.run(
    ["ffprobe", "-v", "error", "-print_format", "json", "-show_format", d + "/clip.mp4"],
    capture_output=True, text=True, check=True).stdout)["format"]
expected = m["actualSeconds"] * m["framesPerSecond"]
# Frames keep their own times: the null muxer's 1/15 s grid would otherwise call two
# frames that a busy machine captured less than a tick apart a timestamp error.
decoded = subprocess.run(["ffmpeg", "-xerror", "-v", "error", "-i", d + "/clip.mp4",
                          "-fps_mode", "passthrough", "-f", "null", "-"],
                         capture_output=True, text=True)
print(f"  clip requested={m['requestedSeconds']:g}s actual={m['actualSeconds']:.2f}s "
      f"frames={m['encodedFrameCount']} delivered_per_expected={m['encodedFrameCount'] / expected:.4f} "
      f"bit_rate_mbps={int(probe['bit_rate']) / 1e6:.2f} gaps={len(m['gaps'])} "
      f"decodes_without_error={decoded.returncode == 0 and not decoded.stderr}")
PY
        done
    done
    kill $content_pid; wait $content_pid 2>/dev/null || true
    content_pid=
done
