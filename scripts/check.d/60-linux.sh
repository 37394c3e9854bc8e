# Linux: the libusb back end's umockdev tests, the Qt dialog and its offscreen tests, and
# the packaging (.deb contents, desktop entry, man page).
case "$STAGE" in
  packages)
    EXTRA_PACKAGES+=(pkgconf qt6-base-dev fonts-dejavu-core umockdev libumockdev-dev xvfb xauth
      desktop-file-utils dpkg-dev mandoc)
    ;;
  after)
    echo "== linux: desktop entry and man page"
    desktop-file-validate packaging/vesk-update.desktop
    mandoc -T lint -W warning packaging/vesk-update.1

    echo "== linux: .deb"
    rm -rf build/packages
    (cd build && cpack -G DEB >/dev/null)
    deb=$(ls build/packages/vesk-update_*.deb)
    listing=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|')
    expected=(/usr/bin/vesk-update-gui
      /usr/share/vesk-update/help/vesk-update.html
      /usr/share/man/man1/vesk-update.1
      /usr/share/man/man1/vesk-update-gui.1
      /usr/share/applications/vesk-update.desktop
      /usr/share/icons/hicolor/scalable/apps/vesk-update.svg
      /usr/lib/udev/rules.d/60-vesk-update.rules)
    [ -x build/bin/vesk-update ] && expected+=(/usr/bin/vesk-update)
    for file in "${expected[@]}"; do
      if ! grep -qx "$file" <<<"$listing"; then
        echo "missing from $deb: $file" >&2
        exit 1
      fi
    done
    dpkg-deb -f "$deb" Depends | grep -q libusb-1.0 || { echo "no libusb dependency" >&2; exit 1; }
    # Two identities, each tagged for the seat's user.
    [ "$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/lib/udev/rules.d/60-vesk-update.rules |
        grep -c 'TAG+="uaccess"')" -eq 2 ]
    echo "$deb: ${#expected[@]} files checked"
    ;;
esac
