# vesk-update.exe --yes with the sample images and no camera: the real SetupAPI finds
# nothing, the log has four lines and the exit status is 69 (no board attached).
execute_process(COMMAND ${RUN_WINE} ${PREFIX} ${PROGRAM} --yes
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
set(expected "USB Board Initialization Started
Opening camera connection
Error 0x1 (Failed to connect to camera)
Camera firmware update FAILED.
")
string(REPLACE "\r\n" "\n" output "${output}")
if(NOT output STREQUAL expected)
  message(FATAL_ERROR "unexpected output:\n${output}\nstandard error:\n${errors}")
endif()
if(NOT status EQUAL 69)
  message(FATAL_ERROR "exit status ${status}, expected 69")
endif()
message(STATUS "1 passed, 0 failed")
