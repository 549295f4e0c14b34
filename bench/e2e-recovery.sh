#!/usr/bin/env bash
# End-to-end recovery benchmark: records a virtual display with moving content for
# a while, kills and restarts the X server at 40 % of the run and simulates a
# sleep and wake (a fake logind on a private bus) at 60 %, then reports how long
# the recorder took from the X server being back, and from the wake, to its first
# frame in the ring, and its resident memory early and late in the run.
#
#   bench/e2e-recovery.sh [SECONDS] [--size 1280x720] [--asleep SECONDS] [--build DIR]
#
# SECONDS defaults to 600; memory is read at a fifth of the run (minute 2 of 10)
# and just before the end. The recorder saves a 30 s and a 60 s clip at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=600
size=1280x720
asleep=5
build=$root/build/release
while (($#)); do
    case $1 in
    --size) size=$2; shift 2 ;;
    --asleep) asleep=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    [0-9]*) seconds=$1; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
    esac
done
((seconds >= 60)) || { echo "run for at least 60 s" >&2; exit 2; }

tools=(snagreel-rewind-demo snagreel-moving-content snagreel-fake-logind)
for tool in "${tools[@]}"; do
    if [[ ! -x $build/bench/$tool ]]; then
        "$root/scripts/install-deps"
        cmake --preset release -S "$root" >/dev/null
        cmake --build "$build" --target "${tools[@]}"
        break
    fi
done
demo=$build/bench/snagreel-rewind-demo
content=$build/bench/snagreel-moving-content
fake_logind=$build/bench/snagreel-fake-logind

work=$(mktemp -d)
pids=()
xvfb=
content_pid=
cleanup() {
    for pid in $content_pid $xvfb "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

now() { date +%s.%N | cut -c1-14; }
rss_kib() { awk '/VmRSS/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }

number=$(for n in $(seq 140 199); do [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]] || { echo "$n"; break; }; done)
display=:$number
start_x() {
    Xvfb "$display" -screen 0 "${size}x24" -nolisten tcp >/dev/null 2>&1 &
    xvfb=$!
    for _ in $(seq 100); do
        DISPLAY=$display xset q >/dev/null 2>&1 && return 0
        sleep 0.05
    done
    echo "Xvfb did not come up on $display" >&2
    return 1
}
start_content() {
    "$content" --mode motion --fps 15 --display "$display" &
    content_pid=$!
}

# A system bus of our own with the fake logind on it.
cat >"$work/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$work/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
EOF
dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile --print-address=1 >"$work/bus.address" 2>"$work/bus.log" &
pids+=($!)
for _ in $(seq 100); do [[ -s $work/bus.address ]] && break; sleep 0.05; done
bus=$(head -1 "$work/bus.address")
[[ -n $bus ]] || { echo "dbus-daemon did not start" >&2; exit 1; }
"$fake_logind" --bus "$bus" >"$work/logind.txt" 2>&1 &
logind=$!
pids+=($logind)
for _ in $(seq 100); do grep -q ready "$work/logind.txt" && break; sleep 0.05; done
grep -q ready "$work/logind.txt" || { echo "the fake logind did not start:"; cat "$work/logind.txt"; exit 1; }

start_x
start_content
XDG_DATA_HOME=$work "$demo" --benchmark --seconds "$seconds" --save 30,60 --display "$display" \
    --system-bus "$bus" --status-log >"$work/demo.txt" 2>"$work/demo.err" &
recorder=$!
pids+=($recorder)
began=$(now)

at() { # sleeps until SECONDS into the run
    local left
    left=$(echo "$began + $1 - $(now)" | bc)
    if (($(echo "$left > 0" | bc))); then sleep "$left"; fi
}

rss_early_at=$((seconds / 5))
x_restart_at=$((seconds * 2 / 5))
sleep_at=$((seconds * 3 / 5))
rss_late_at=$((seconds - 5))

at "$rss_early_at"
rss_early=$(rss_kib $recorder)

at "$x_restart_at"
x_killed=$(now)
kill -9 "$xvfb" 2>/dev/null || true
kill "$content_pid" 2>/dev/null || true
{ wait "$xvfb"; wait "$content_pid"; } 2>/dev/null || true
start_x
x_back=$(now)
start_content

at "$sleep_at"
kill -USR1 "$logind"
sleep "$asleep"
kill -USR2 "$logind"
for _ in $(seq 100); do grep -q "fake-logind wake" "$work/logind.txt" && break; sleep 0.05; done

at "$rss_late_at"
rss_late=$(rss_kib $recorder)

wait "$recorder" || { echo "recorder failed:"; cat "$work/demo.txt" "$work/demo.err"; exit 1; }
wake=$(awk '/fake-logind wake/ {sub("t=", "", $3); print $3; exit}' "$work/logind.txt")
slept=$(awk '/fake-logind sleep/ {sub("t=", "", $3); print $3; exit}' "$work/logind.txt")

# The first lifecycle event of a kind after a moment, as "seconds after it".
first_after() { # EVENT MOMENT
    awk -v e="event=$1" -v m="$2" '$1 == "lifecycle" && $3 == e {
        t = substr($2, 3) + 0; if (t >= m) { printf "%.3f", t - m; exit } }' "$work/demo.txt"
}
phase_after() { # PHASE MOMENT
    awk -v p="phase=$1" -v m="$2" '$1 == "status" && $3 == p {
        t = substr($2, 3) + 0; if (t >= m) { printf "%.3f", t - m; exit } }' "$work/demo.txt"
}

echo "run seconds=$seconds size=$size display=$display asleep_seconds=$asleep"
echo "x_restart: killed_to_back_seconds=$(echo "$x_back - $x_killed" | bc)" \
    "stopped_after_kill=$(first_after stopped "$x_killed")" \
    "first_frame_after_kill=$(first_after first_frame "$x_killed")" \
    "(back means xset answered; the recorder may be first)"
echo "sleep: suspended_after_sleep=$(first_after suspended "$slept")" \
    "first_frame_after_wake=$(first_after first_frame "$wake")" \
    "recording_after_wake=$(phase_after recording "$wake")"
echo "rss_mib at_${rss_early_at}s=$(echo "scale=1; $rss_early / 1024" | bc)" \
    "at_${rss_late_at}s=$(echo "scale=1; $rss_late / 1024" | bc)"
echo "phases:"
grep '^status ' "$work/demo.txt" | sed 's/^/  /'
echo "lifecycle:"
grep '^lifecycle ' "$work/demo.txt" | awk '{print "  " $2, $3, $5, $6, $7, $8, $9}'
grep -v '^status \|^lifecycle ' "$work/demo.txt" | sed 's/^/recorder: /'
sed 's/^/logind: /' "$work/logind.txt"
