#!/usr/bin/env bash
# Inside dbus-run-session, as the session user: brings up the mock tier, runs CMD,
# then stops what it started, newest first.
set -u
support=$1
shift
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

dbus-update-activation-environment XDG_CURRENT_DESKTOP XDG_SESSION_TYPE XDG_RUNTIME_DIR \
  XDG_DESKTOP_PORTAL_DIR XDG_DATA_HOME XDG_CONFIG_HOME HOME >/dev/null 2>&1
launch pipewire pipewire
await pipewire test -S "$XDG_RUNTIME_DIR/pipewire-0"
launch wireplumber wireplumber
await wireplumber sh -c 'pw-cli ls Client | grep -q WirePlumber'
launch backend /usr/bin/python3 -m dbusmock --session --template "$support/wayland/screencast_backend.py"
await backend owned org.freedesktop.impl.portal.desktop.snagreeltest
launch portal /usr/libexec/xdg-desktop-portal
await portal owned org.freedesktop.portal.Desktop

"$@"
