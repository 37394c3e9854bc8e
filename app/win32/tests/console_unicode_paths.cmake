# vesk-update.exe on the emulated board with -C, --log and --eeprom-out naming a folder and
# files outside any ANSI code page: the run succeeds and both files appear by their names.
set(folder "образы-画像")
set(log "журнал-日誌.log")
set(eeprom "ёмкость-容量.bin")
file(REMOVE_RECURSE "${folder}")
file(MAKE_DIRECTORY "${folder}")
file(GLOB samples *.bin *.iic)
file(COPY ${samples} DESTINATION "${folder}")
# Wine turns the arguments into the wide command line through the Unix locale.
execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8
    ${RUN_WINE} ${PREFIX} ${PROGRAM} --board=emulated --yes -C "${folder}"
    --log "${log}" --eeprom-out "${eeprom}"
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "exit status ${status}, expected 0\n${output}\n${errors}")
endif()
file(READ "${folder}/${log}" text)
if(NOT text MATCHES "Camera firmware update SUCCESSFUL\\.  Update complete\\.$")
  message(FATAL_ERROR "the log file by its Unicode name does not hold the run:\n${text}")
endif()
file(SIZE "${folder}/${eeprom}" size)
if(NOT size EQUAL 393216)
  message(FATAL_ERROR "the EEPROM image by its Unicode name holds ${size} bytes")
endif()
file(REMOVE_RECURSE "${folder}")
message(STATUS "1 passed, 0 failed")
