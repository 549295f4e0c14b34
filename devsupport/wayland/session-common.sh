# Sourced by session-mock.sh and session-real.sh (inside dbus-run-session, as the
# session user): starts services in the background with their logs in
# $WAYLAND_SESSION_LOGS and stops them, newest first, when the session ends.
set -u
logs=$WAYLAND_SESSION_LOGS
pids=()
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null; done
  wait 2>/dev/null
}
trap cleanup EXIT

launch() {
  local name=$1
  shift
  "$@" >"$logs/$name.log" 2>&1 &
  pids+=($!)
}

# waits up to 10 s for CHECK to succeed while the last launched process lives
await() {
  local name=$1 pid=${pids[-1]} i
  shift
  for ((i = 0; i < 200; i++)); do
    "$@" >/dev/null 2>&1 && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "wayland-session: $name did not come up:" >&2
  tail -n 20 "$logs/$name.log" >&2
  exit 125
}

owned() {
  gdbus call --session -d org.freedesktop.DBus -o /org/freedesktop/DBus \
    -m org.freedesktop.DBus.NameHasOwner "$1" | grep -q true
}

