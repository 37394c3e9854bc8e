# Linux: the libusb back end's umockdev tests, the Qt dialog and its offscreen tests, and
# the Debian packages (built with dpkg-buildpackage, checked with lintian, their contents
# and their manual pages).
case "$STAGE" in
  packages)
    EXTRA_PACKAGES+=(pkgconf qt6-base-dev fonts-dejavu-core umockdev libumockdev-dev xvfb xauth
      desktop-file-utils dpkg-dev debhelper lintian mandoc bash-completion)
    ;;
  start)
    # The package build needs nothing of the other stages: it runs in the background, on
    # the core the Windows tests (one at a time under Wine) leave idle, and STAGE=after
    # waits for it. In a session of its own, so that a failure elsewhere ends all of it.
    version=$(sed -n 's/^project(vesk-update VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
    changelog_version=$(dpkg-parsechangelog -l debian/changelog -S Version)
    if [ "$changelog_version" != "$version" ]; then
      echo "debian/changelog is at $changelog_version, CMakeLists.txt at $version" >&2
      exit 1
    fi
    echo "== linux: Debian packages, built in the background [${SECONDS}s]"
    # The package is built from a copy of the tree, so that dpkg-buildpackage's files (and
    # the .deb files it writes beside the source) stay inside build/.
    rm -rf build/deb build/packages
    source_copy=build/deb/vesk-update-$version
    mkdir -p "$source_copy" build/packages
    git ls-files -z --cached --others --exclude-standard |
      tar --null -T - --ignore-failed-read -cf - | tar -xf - -C "$source_copy"
    (cd "$source_copy" && exec setsid --wait nice dpkg-buildpackage -us -uc -b -j"$(jobs)") \
      >build/deb/build.log 2>&1 &
    linux_packages_pid=$!
    trap 'kill -- -"$linux_packages_pid" 2>/dev/null || true' EXIT
    ;;
  after)
    echo "== linux: desktop entry [${SECONDS}s]"
    desktop-file-validate packaging/vesk-update.desktop

    echo "== linux: waiting for the Debian packages [${SECONDS}s]"
    linux_packages_status=0
    wait "$linux_packages_pid" || linux_packages_status=$?
    trap - EXIT
    if [ "$linux_packages_status" -ne 0 ]; then
      tail -40 build/deb/build.log >&2
      echo "dpkg-buildpackage failed: build/deb/build.log" >&2
      exit 1
    fi
    mv build/deb/*.deb build/packages/
    console_deb=build/packages/vesk-update_${version}_amd64.deb
    gui_deb=build/packages/vesk-update-gui_${version}_amd64.deb

    echo "== linux: lintian [${SECONDS}s]"
    lintian --fail-on error,warning \
      build/packages/*.deb

    # Each package's files: the expected ones are there, and the console package holds no Qt.
    deb_files() { dpkg-deb -c "$1" | awk '{print $6}' | sed 's|^\./|/|'; }
    check_files() {
      local deb=$1 listing file
      shift
      listing=$(deb_files "$deb")
      for file in "$@"; do
        if ! grep -qx "$file" <<<"$listing"; then
          echo "missing from $deb: $file" >&2
          exit 1
        fi
      done
      echo "$deb: $# files checked"
    }
    check_files "$console_deb" /usr/bin/vesk-update \
      /usr/share/man/man1/vesk-update.1.gz \
      /usr/share/bash-completion/completions/vesk-update \
      /lib/udev/rules.d/60-vesk-update.rules \
      /usr/share/doc/vesk-update/copyright \
      /usr/share/metainfo/vesk-update.metainfo.xml \
      /usr/share/doc/vesk-update/changelog.gz
    check_files "$gui_deb" /usr/bin/vesk-update-gui \
      /usr/share/man/man1/vesk-update-gui.1.gz \
      /usr/share/vesk-update/help/vesk-update.html \
      /usr/share/applications/vesk-update.desktop \
      /usr/share/icons/hicolor/scalable/apps/vesk-update.svg
    if deb_files "$console_deb" | grep -q 'vesk-update-gui\|\.html$\|\.desktop$'; then
      echo "$console_deb holds the window's files" >&2
      exit 1
    fi
    dpkg-deb -f "$console_deb" Depends | grep -q libusb-1.0 ||
      { echo "$console_deb: no libusb dependency" >&2; exit 1; }
    if dpkg-deb -f "$console_deb" Depends | grep -qi 'qt6\|libqt'; then
      echo "$console_deb depends on Qt" >&2
      exit 1
    fi
    dpkg-deb -f "$gui_deb" Depends | grep -q "vesk-update (= $version)" ||
      { echo "$gui_deb does not depend on vesk-update $version" >&2; exit 1; }
    # Two identities, each tagged for the seat's user.
    [ "$(dpkg-deb --fsys-tarfile "$console_deb" | tar -xO ./lib/udev/rules.d/60-vesk-update.rules |
        grep -c 'TAG+="uaccess"')" -eq 2 ]

    echo "== linux: manual pages [${SECONDS}s]"
    for deb in "$console_deb" "$gui_deb"; do
      for page in $(deb_files "$deb" | grep '/man1/.*\.gz$'); do
        dpkg-deb --fsys-tarfile "$deb" | tar -xO ".$page" | gunzip >build/deb/page.1
        grep -q "\"vesk-update $version\"" build/deb/page.1 ||
          { echo "$page: not at version $version" >&2; exit 1; }
        mandoc -T lint -W warning build/deb/page.1 || { echo "in $page" >&2; exit 1; }
      done
    done
    ;;
esac
