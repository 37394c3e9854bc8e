# libFuzzer targets, built with clang in build-fuzz/ and run for a bounded time each.
case "$STAGE" in
  packages) EXTRA_PACKAGES+=(clang-14 libclang-rt-14-dev) ;;
  after)
    echo "== build-fuzz/ (libFuzzer with clang-14)"
    cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESK_SANITIZE=ON \
      -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link -DVESK_WERROR="$werror" \
      -DVESK_FUZZ_SECONDS="${VESK_FUZZ_SECONDS:-15}"
    cmake --build build-fuzz -j "$(jobs)" --target vesk_fuzzers
    ctest --test-dir build-fuzz -L fuzz --output-on-failure
    ;;
esac
