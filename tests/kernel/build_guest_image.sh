#!/usr/bin/env bash
# Builds the guest that the kernel tests boot: Debian's own kernel and USB modules (from its
# package, unpacked, not installed), busybox-static, the shipped vesk-update with the shared
# libraries it needs, and an /init that runs the commands it is given.
#
#   build_guest_image.sh OUT VESK_UPDATE
#
# OUT receives vmlinux (the uncompressed kernel, booted by PVH), initramfs.cpio and key (a
# hash of every input). A second call with the same inputs does nothing; the kernel package
# is downloaded once into OUT/deb.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: build_guest_image.sh OUT VESK_UPDATE}
mkdir -p "$out" && out=$(cd "$out" && pwd)
binary=${2:?usage: build_guest_image.sh OUT VESK_UPDATE}
die() { echo "build_guest_image: $*" >&2; exit 1; }

[ -x "$binary" ] || die "$binary: no such program"
busybox=/bin/busybox
[ -x "$busybox" ] && ! ldd "$busybox" >/dev/null 2>&1 ||
  die "$busybox is not the static busybox: install the Debian package busybox-static"
for tool in apt-cache apt-get dpkg-deb xz sha256sum; do
  command -v "$tool" >/dev/null || die "$tool is missing"
done
mkdir -p "$out/deb"

# The kernel package that Debian's metapackage points at, as this machine's apt sees it.
package=$(apt-cache depends linux-image-amd64 2>/dev/null |
  sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1)
[ -n "$package" ] || die "apt-cache does not know linux-image-amd64: run 'apt-get update' as root"
deb=$(ls "$out/deb/${package}"_*.deb 2>/dev/null | head -n 1 || true)
if [ -z "$deb" ]; then
  echo "build_guest_image: downloading $package from Debian's archive"
  (cd "$out/deb" && apt-get download "$package" >/dev/null 2>"$out/deb/download.log") ||
    die "apt-get download $package failed (see $out/deb/download.log): run 'apt-get update' as root and check access to Debian's archive"
  deb=$(ls "$out/deb/${package}"_*.deb 2>/dev/null | head -n 1 || true)
  [ -n "$deb" ] || die "apt-get download $package left no .deb in $out/deb"
fi

# Every lib the program loads, with the dynamic loader.
mapfile -t libraries < <(ldd "$binary" | sed -n 's/.*=> \(\/[^ ]*\) .*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) .*/\1/p' | sort -u)
[ ${#libraries[@]} -gt 0 ] || die "ldd found no shared libraries in $binary"

key=$( { echo "$package $(basename "$deb")"; sha256sum "$0" "$here/guest_init.sh" "$binary" "$busybox" "${libraries[@]}"; } |
  sha256sum | cut -d' ' -f1)
if [ -f "$out/key" ] && [ "$(cat "$out/key")" = "$key" ] && [ -f "$out/vmlinux" ] && [ -f "$out/initramfs.cpio" ]; then
  exit 0
fi
rm -f "$out/key"

work=$(mktemp -d "$out/work.XXXXXX")
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work/package"
vmlinuz=$(ls "$work"/package/boot/vmlinuz-* | head -n 1)
modules=$(ls -d "$work"/package/lib/modules/* | head -n 1)
[ -f "$vmlinuz" ] && [ -d "$modules" ] || die "$deb holds no kernel or no modules"

# vmlinuz is a boot stub followed by the xz-compressed ELF; xz complains about the bytes
# after its stream, which are not ours to read.
offset=$(grep -abo $'\xfd7zXZ\x00' "$vmlinuz" | head -n 1 | cut -d: -f1)
[ -n "$offset" ] || die "$vmlinuz: no xz stream"
tail -c +"$((offset + 1))" "$vmlinuz" | xz -dc >"$work/vmlinux" 2>/dev/null || true
[ "$(head -c 4 "$work/vmlinux" | od -An -c | tr -d ' ')" = "177ELF" ] ||
  die "$vmlinuz: the xz stream is not an ELF kernel"

root=$work/root
mkdir -p "$root"/{bin,dev,proc,sys,tmp,etc,lib/modules,usr/bin,images}
cp "$busybox" "$root/bin/busybox"
cp "$here/guest_init.sh" "$root/init"
chmod 755 "$root/init"
cp "$binary" "$root/usr/bin/vesk-update"
for library in "${libraries[@]}"; do
  mkdir -p "$root$(dirname "$library")"
  cp -L "$library" "$root$library"
done

# The host controller drivers with what they need, in loading order. The package has no
# modules.dep (depmod makes it at install time): each module's .modinfo names its
# dependencies.
declare -A module_path
while IFS= read -r path; do
  name=$(basename "$path" .ko)
  module_path[${name//-/_}]=$path
done < <(find "$modules/kernel/drivers/usb" -name '*.ko')
declare -A placed
load_order() {
  local name=${1//-/_} dep
  [ -n "${placed[$name]:-}" ] && return 0
  local path=${module_path[$name]:-}
  [ -n "$path" ] || die "$package has no module $1 below drivers/usb (or it is compressed)"
  for dep in $(tr '\0' '\n' <"$path" | sed -n 's/^depends=//p' | tr ',' ' '); do
    load_order "$dep"
  done
  placed[$name]=1
  order+=("$path")
}
for hc in xhci ehci; do
  placed=()
  order=()
  load_order "${hc}-pci"
  for path in "${order[@]}"; do
    cp "$path" "$root/lib/modules/"
    basename "$path"
  done >"$root/lib/modules/$hc.order"
done

cat >"$root/etc/passwd" <<'PASSWD'
root:x:0:0:root:/root:/bin/sh
operator:x:1000:1000:operator:/tmp:/bin/sh
PASSWD
cat >"$root/etc/group" <<'GROUP'
root:x:0:
plugdev:x:46:operator
operator:x:1000:
GROUP

(cd "$root" && find . | LC_ALL=C sort | "$busybox" cpio -o -H newc 2>/dev/null) >"$work/initramfs.cpio"
mv "$work/vmlinux" "$out/vmlinux"
mv "$work/initramfs.cpio" "$out/initramfs.cpio"
echo "$package" >"$out/kernel-package"
echo "$key" >"$out/key"
echo "build_guest_image: $out ($package, $(du -h "$out/initramfs.cpio" | cut -f1) initramfs)"
