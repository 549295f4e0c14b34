#!/usr/bin/env bash
# Time and peak memory of the local report engine on 30 s and 60 s 1080p clips of
# screen-like content (lines of text that change every few seconds, an error line
# now and then, and a box that keeps moving), run from a build tree's workspace.
#
#   bench/report-engine-bench.sh [BUILD_DIR]      (default build/release)
#
# Peak memory is GNU time's "Maximum resident set size": the largest single
# process of the run (the evidence helper), not the sum.
set -euo pipefail

build=${1:-build/release}
root=$(cd "$build/engines" && pwd)
font=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

text() { # words y
  printf "drawtext=fontfile=%s:text='%s':x=80:y=%s:fontsize=34:fontcolor=black" "$font" "$1" "$2"
}
filters="$(text 'Orders dashboard - step %{eif\:floor(t/4)\:d}' 80),\
$(text 'Loading order %{eif\:floor(t/4)*17+1000\:d} from the server' 160),\
$(text 'ERROR 502 Bad Gateway while saving order %{eif\:floor(t/8)\:d}' 400):enable='lt(mod(t,8),3)',\
drawbox=x='200+mod(t*120,1400)':y=700:w=120:h=120:color=blue:t=fill"

for seconds in 30 60; do
  capture=$work/capture-$seconds
  mkdir -p "$capture"
  ffmpeg -v error -f lavfi -i "color=c=white:s=1920x1080:r=15:d=$seconds" -vf "$filters" \
    -c:v libx264 -preset veryfast -g 30 -pix_fmt yuv420p "$capture/clip.mp4"
  printf '{"actualSeconds": %s, "captureId": "bench", "codec": "h264", "requestedSeconds": %s, "gaps": []}\n' \
    "$seconds" "$seconds" >"$capture/manifest.json"
  (cd "$root" && /usr/bin/time -v "$root/.venv/bin/python" "$root/scripts/local_report.py" \
    --capture "$capture" --intent="Saving orders fails" \
    --output "$capture/report-local-bench.md" >/dev/null 2>"$work/time-$seconds")
  elapsed=$(grep 'Elapsed (wall clock)' "$work/time-$seconds" | awk '{print $NF}')
  peak=$(grep 'Maximum resident set size' "$work/time-$seconds" | awk '{print $NF}')
  moments=$(grep -c '^[0-9]*\. \[' "$capture/report-local-bench.md" || true)
  echo "local report, ${seconds} s 1080p clip: ${elapsed} elapsed, peak RSS $((peak / 1024)) MiB, ${moments} key moments"
done
