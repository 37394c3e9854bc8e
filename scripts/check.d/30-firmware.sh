# The control firmware: SDCC builds it; the committed table and headers must match.
case "$STAGE" in
  packages)
    EXTRA_PACKAGES+=(python3 sdcc)
    ;;
  after)
    echo "== firmware: generated sources match their inputs"
    python3 fx2/gen_registers.py --check
    ;;
esac
