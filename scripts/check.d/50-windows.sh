# Windows: the programs cross-built with mingw-w64 into build-win/, their installer made
# with NSIS (build-win/packages/), all tested under Wine on a virtual X server. Sourced by
# scripts/check with STAGE=packages, then STAGE=after.

case "${STAGE:-}" in
  packages)
    EXTRA_PACKAGES+=(g++-mingw-w64-x86-64 g++-mingw-w64-i686-win32 wine64 xvfb xauth nsis)
    ;;
  after)
    echo "== build-win/ (Windows, mingw-w64, tested under Wine) [${SECONDS}s]"
    windows_start=$SECONDS
    cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DVESK_BUILD_TESTS=OFF -DVESK_WERROR="$werror" -DCMAKE_UNITY_BUILD=ON
    cmake --build build-win -j "$(jobs)"
    ls build-win/packages/vesk-update-*-setup.exe >/dev/null || { echo "no installer" >&2; exit 1; }
    # The SetupAPI records of a 32-bit build: only compiled, for their static checks.
    i686-w64-mingw32-g++-win32 -std=c++20 -fsyntax-only -I. app/win32/tests/record_sizes_32bit.cpp
    windows_status=0
    xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" \
      ctest --test-dir build-win/app/win32/tests --output-on-failure -L windows || windows_status=$?
    WINEPREFIX="$PWD/build-win/wine-prefix" "$(command -v wineserver || echo /usr/lib/wine/wineserver)" -k \
      2>/dev/null || true
    [ "$windows_status" -eq 0 ] || { echo "windows tests failed" >&2; exit 1; }
    echo "   build-win/ took $((SECONDS - windows_start)) s"
    ;;
esac
