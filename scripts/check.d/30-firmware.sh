# The 8051 firmware: SDCC must build it, and the committed generated sources (register
# headers, board headers, ControlFirmwareTable, sample images) must equal what their inputs give.
case "$STAGE" in
  packages)
    EXTRA_PACKAGES+=(python3 sdcc)
    ;;
  after)
    echo "== firmware: rebuild with SDCC and compare the committed generated sources"
    python3 fx2/gen_registers.py --check
    python3 board/gen_board.py --check
    # A second, separate build proves the firmware build does not depend on where or when
    # it runs: its output must be byte for byte that of build/.
    fw_check_dir=$(mktemp -d)
    cmake -S . -B "$fw_check_dir" -DVESK_BUILD_TESTS=OFF >/dev/null
    cmake --build "$fw_check_dir" --target control_firmware blink_firmware -j "$(jobs)"
    cmake --build build --target control_firmware blink_firmware -j "$(jobs)"
    for program in control blink; do
      cmp "build/firmware/$program.ihx" "$fw_check_dir/firmware/$program.ihx"
    done
    python3 firmware/ihx_to_table.py "$fw_check_dir/firmware/control.ihx" \
      --check device/control_firmware_table.cpp --limit 0x1F00
    python3 samples/make_samples.py --blink "$fw_check_dir/firmware/blink.ihx" --check
    rm -rf "$fw_check_dir"
    ;;
esac
