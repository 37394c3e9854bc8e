# The emulated board in a guest kernel's USB stack: QEMU (TCG), the static busybox for the
# guest, the usbredir parser for vesk-sim-usbredir. The `kernel` tests run with the rest of
# build/'s tests; the guest's kernel comes from Debian's archive (apt-get download, cached in
# build/guest/deb), which needs apt's package lists.
case "$STAGE" in
  packages)
    EXTRA_PACKAGES+=(qemu-system-x86 qemu-system-data busybox-static libusbredirparser-dev
      pkgconf xz-utils python3)
    if ! apt-cache show linux-image-amd64 >/dev/null 2>&1; then
      if [ "$(id -u)" -eq 0 ]; then
        apt-get update
      else
        echo "apt knows no linux-image-amd64 (the kernel tests' guest): run 'apt-get update' as root" >&2
        exit 1
      fi
    fi
    ;;
  after) ;;
esac
