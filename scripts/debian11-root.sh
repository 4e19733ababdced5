#!/usr/bin/env bash
# Makes, once, a minimal Debian 11 (bullseye, glibc 2.31) root from Debian's
# archive and prints its folder. The release links the Linux programs against
# it (as --sysroot), so that they run on glibc 2.31 and newer; the release
# tests run the programs inside it (chroot). It holds the C library's
# development files and GCC 10's start-up objects and libgcc, nothing more.
# Kept between runs in ${XDG_CACHE_HOME:-~/.cache}/tavrik/ (or TAVRIK_DEBIAN11_ROOT);
# made again when the package list below changes. Needs root for debootstrap:
# runs it through sudo when not root. The packages come from the Debian mirror
# that this machine's apt sources name (so a local mirror or proxy there is
# used), or from TAVRIK_DEBIAN_MIRROR; apt's http(s) proxy setting is used too.
#   usage: bash scripts/debian11-root.sh
set -euo pipefail
. "$(dirname "$0")/packages.sh"
root=${TAVRIK_DEBIAN11_ROOT:-${XDG_CACHE_HOME:-$HOME/.cache}/tavrik/debian11-root}
packages=libc6-dev,libgcc-10-dev
recipe="bullseye minbase $packages"
stamp=etc/tavrik-root
log=$(dirname "$root")/debootstrap.log

made() { [ -f "$root/$stamp" ] && [ "$(cat "$root/$stamp")" = "$recipe" ]; }
if made; then echo "$root"; exit 0; fi
mkdir -p "$(dirname "$root")"
# One maker at a time; who waited finds the root made.
exec 9>"$root.lock"
flock 9
if made; then echo "$root"; exit 0; fi

mirror=${TAVRIK_DEBIAN_MIRROR:-$(debian_mirror)} || {
  echo "debian11-root: the apt sources (/etc/apt/sources.list, /etc/apt/sources.list.d/) name no Debian" \
    "mirror; set TAVRIK_DEBIAN_MIRROR to one that has bullseye" >&2
  exit 1
}
scheme=${mirror%%:*}
proxy=""
case $scheme in http | https) eval "$(apt-config shell proxy "Acquire::$scheme::Proxy")" ;; esac
[ "$proxy" != DIRECT ] || proxy=""

sudo=""; [ "$(id -u)" = 0 ] || sudo="sudo"
[ -x /usr/sbin/debootstrap ] ||
  { echo "debian11-root: debootstrap is missing (apt-get install debootstrap)" >&2; exit 1; }
new=$root.new
$sudo rm -rf "$new"
echo "debian11-root: making $root from $mirror${proxy:+ through $proxy} (bullseye, about a minute)" >&2
# The archive's signature is checked: a root that cannot be verified is not made.
if ! $sudo env ${proxy:+"${scheme}_proxy=$proxy"} /usr/sbin/debootstrap --variant=minbase --include="$packages" \
  --keyring=/usr/share/keyrings/debian-archive-keyring.gpg bullseye "$new" "$mirror" >"$log" 2>&1; then
  tail -n 20 "$log" >&2
  $sudo rm -rf "$new"
  echo "debian11-root: debootstrap of bullseye from $mirror failed (log: $log)" >&2
  if grep -q "Failed getting release file" "$log"; then
    echo "debian11-root: $mirror has no bullseye (no dists/bullseye/Release there, or it cannot be reached)." \
      "Debian moves a release whose support has ended to its archive mirror, and a partial mirror may leave" \
      "it out: set TAVRIK_DEBIAN_MIRROR to a mirror that still has bullseye." >&2
  fi
  exit 1
fi
# As a --sysroot, every link must stay inside: /lib/... becomes ../../lib/...
$sudo find "$new" -xdev -type l -lname '/*' -print0 |
  while IFS= read -r -d '' link; do
    target=$(readlink "$link")
    $sudo ln -sfn "$(realpath -m -s --relative-to="$(dirname "$link")" "$new$target")" "$link"
  done
$sudo rm -rf "$new/var/cache/apt/archives"/*.deb "$new/var/lib/apt/lists"/*_Packages
echo "$recipe" | $sudo tee "$new/$stamp" >/dev/null
$sudo rm -rf "$root"
$sudo mv "$new" "$root"
echo "$root"
