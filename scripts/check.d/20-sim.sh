# The emulated board's 8051 core: its tests compare it with ucsim (s51) and build an SDCC
# program, so both must be there. Sourced by scripts/check with STAGE=packages|after.
case "${STAGE:-}" in
  packages)
    EXTRA_PACKAGES+=(sdcc sdcc-ucsim coreutils)
    ;;
  after)
    # The comparison with ucsim must have run, not been skipped for a missing s51.
    sim_tests=$(ctest --test-dir build -N -L sim)
    if ! grep -q UcsimComparison <<<"$sim_tests"; then
      echo "20-sim: the ucsim comparison tests were not built (is s51 installed?)" >&2
      exit 1
    fi
    ;;
esac
