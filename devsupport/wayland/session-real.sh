#!/usr/bin/env bash
# Inside dbus-run-session, as the session user: brings up the real tier (headless
# sway on pixman, PipeWire, the screencopy portal backend and the portal frontend),
# runs CMD, then stops what it started, newest first.
support=$1
shift
. "$support/wayland/session-common.sh"

export WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman
launch sway sway -c "$support/wayland/sway.config"
sway_pid=${pids[-1]}
export SWAYSOCK=$XDG_RUNTIME_DIR/sway-ipc.$(id -u).$sway_pid.sock
await sway swaymsg -t get_outputs
WAYLAND_DISPLAY=$(cd "$XDG_RUNTIME_DIR" && ls -d wayland-* | grep -v '\.lock$' | head -n 1)
export WAYLAND_DISPLAY
dbus-update-activation-environment WAYLAND_DISPLAY SWAYSOCK XDG_CURRENT_DESKTOP XDG_SESSION_TYPE \
  XDG_RUNTIME_DIR XDG_DESKTOP_PORTAL_DIR XDG_DATA_HOME XDG_CONFIG_HOME HOME >/dev/null 2>&1
launch pipewire pipewire
await pipewire test -S "$XDG_RUNTIME_DIR/pipewire-0"
launch wireplumber wireplumber
await wireplumber sh -c 'pw-cli ls Client | grep -q WirePlumber'
launch screencopy-portal "$SNAGREEL_SCREENCOPY_PORTAL" -c "$support/wayland/screencopy-portal.config"
await screencopy-portal owned org.freedesktop.impl.portal.desktop.wlr
launch portal /usr/libexec/xdg-desktop-portal
await portal owned org.freedesktop.portal.Desktop

"$@"
