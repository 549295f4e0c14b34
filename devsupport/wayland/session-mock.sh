#!/usr/bin/env bash
# Inside dbus-run-session, as the session user: brings up the mock tier, runs CMD,
# then stops what it started, newest first.
support=$1
shift
. "$support/wayland/session-common.sh"

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
