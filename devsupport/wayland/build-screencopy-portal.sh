#!/usr/bin/env bash
# Builds Debian 12's xdg-desktop-portal-wlr (0.7.0) from its Debian source package
# with one change, for the real tier of devsupport/wayland-session: 0.7.0 refuses
# to start a screencast unless the compositor also offers a DMA-BUF format, which
# a GPU-less compositor (headless sway on pixman) never does. Its check compares
# the portal's interface version where it meant the screencopy protocol's; later
# releases dropped the DMA-BUF requirement, and so does this build.
#
#   build-screencopy-portal.sh OUTPUT_DIR
#
# Leaves OUTPUT_DIR/xdg-desktop-portal-wlr (kept when already built). Talks only to
# this machine's own Debian mirrors, through a private copy of its apt sources
# with deb-src added, so /etc/apt and /var/lib/apt stay untouched. Needs the
# build packages of scripts/install-deps --wayland.
set -euo pipefail

out=${1:?usage: $0 OUTPUT_DIR}
binary=$out/xdg-desktop-portal-wlr
marker=$out/.shm-only-1
if [[ -x $binary && -e $marker ]]; then
  exit 0
fi
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
apt_dir=$work/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts" "$work/src"

# deb822 sources get deb-src as a second type; one-line sources get a deb-src twin.
for f in /etc/apt/sources.list.d/*.sources; do
  [[ -e $f ]] || continue
  grep -q 'deb.debian.org\|debian' "$f" || continue
  sed -E 's/^Types:[[:space:]]*deb[[:space:]]*$/Types: deb deb-src/' "$f" >"$apt_dir/parts/$(basename "$f")"
done
: >"$apt_dir/sources.list"
if [[ -f /etc/apt/sources.list ]]; then
  grep -E '^[[:space:]]*deb[[:space:]].*debian' /etc/apt/sources.list |
    sed -E 'p; s/^([[:space:]]*)deb([[:space:]])/\1deb-src\2/' >"$apt_dir/sources.list" || true
fi
options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/parts"
         -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache")
if [[ $(id -u) -eq 0 ]]; then
  # the private folders belong to root; apt's download user could not write them
  options+=(-o APT::Sandbox::User=root)
fi
log=$out/build.log
echo "build-screencopy-portal: fetching the Debian source" >&2
apt-get "${options[@]}" -qq update >"$log" 2>&1
(cd "$work/src" && apt-get "${options[@]}" -qq source xdg-desktop-portal-wlr) >>"$log" 2>&1
source_dir=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'xdg-desktop-portal-wlr-*' | head -n 1)
[[ -n $source_dir ]] || { echo "build-screencopy-portal: no source unpacked (see $log)" >&2; exit 1; }
file=$source_dir/src/screencast/screencast.c

# Keep the shared-memory half of the format check, drop the DMA-BUF half.
perl -0pi -e 's/(\(cast->screencopy_frame_info\[WL_SHM\]\.format == DRM_FORMAT_INVALID)\s*\|\|\s*\(cast->ctx->state->screencast_version >= 3 &&\s*cast->screencopy_frame_info\[DMABUF\]\.format == DRM_FORMAT_INVALID\)\)/$1)/' "$file"
if grep -q 'screencopy_frame_info\[DMABUF\].format == DRM_FORMAT_INVALID' "$file"; then
  echo "build-screencopy-portal: the source is not the expected 0.7.0; the format check was not found" >&2
  exit 1
fi
echo "build-screencopy-portal: building" >&2
(cd "$source_dir" && meson setup build -Dsd-bus-provider=libsystemd -Dman-pages=disabled \
   --buildtype=release && ninja -C build) >>"$log" 2>&1 ||
  { tail -n 30 "$log" >&2; exit 1; }
install -m 0755 "$source_dir/build/xdg-desktop-portal-wlr" "$binary"
touch "$marker"
