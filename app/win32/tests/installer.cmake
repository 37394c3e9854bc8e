# The installer, silently, into the Wine prefix: both programs, the manual and the
# uninstaller under Program Files, the image folder, the Start-menu entry (the installed
# dialog, started in the image folder) and the uninstall entry; then the silent uninstall
# removes them again. Arguments: -DRUN_WINE, -DPREFIX, -DSETUP.
set(drive "${PREFIX}/drive_c")
set(folder "${drive}/Program Files/Vesk Update")
set(images "${drive}/users/Public/Documents/Vesk Update")
set(shortcut "${drive}/ProgramData/Microsoft/Windows/Start Menu/Programs/Vesk USB Update Tool.lnk")
set(installed "${folder}/VeskUpdate.exe" "${folder}/vesk-update.exe" "${folder}/VeskUpdate.html"
  "${folder}/Uninstall.exe" "${shortcut}")
set(entry "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VeskUpdate")

# Runs a program under Wine; its exit status goes into `status`.
function(wine status)
  execute_process(COMMAND ${RUN_WINE} ${PREFIX} ${ARGN} RESULT_VARIABLE result
    OUTPUT_QUIET ERROR_QUIET)
  set(${status} ${result} PARENT_SCOPE)
endfunction()

wine(status "${SETUP}" /S)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "silent install: exit status ${status}")
endif()
foreach(file IN LISTS installed images)
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
wine(status reg query "${entry}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "no uninstall entry")
endif()
# The link file holds the target and the working folder, as 8-bit or UTF-16 text (which
# file(STRINGS) splits into single characters).
file(STRINGS "${shortcut}" narrow)
file(STRINGS "${shortcut}" wide ENCODING UTF-16LE)
string(REPLACE ";" "" strings "${narrow}${wide}")
string(TOLOWER "${strings}" strings)
foreach(path "c:\\program files\\vesk update\\veskupdate.exe"
    "c:\\users\\public\\documents\\vesk update")
  string(FIND "${strings}" "${path}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the Start-menu entry does not name ${path}: ${strings}")
  endif()
endforeach()

# The uninstaller works from a copy of itself and returns before that copy is done; its
# exit status is not looked at (under Wine it was 1 once in a series of runs), only what
# is left after it.
wine(status "C:\\Program Files\\Vesk Update\\Uninstall.exe" /S)
foreach(second RANGE 60)
  set(left "")
  foreach(file IN LISTS installed folder)
    if(EXISTS "${file}")
      list(APPEND left "${file}")
    endif()
  endforeach()
  if(NOT left)
    wine(status reg query "${entry}")
    if(NOT status EQUAL 0)
      break()
    endif()
    set(left "the uninstall entry")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 1)
endforeach()
if(left)
  message(FATAL_ERROR "the uninstall leaves ${left}")
endif()
message(STATUS "1 passed, 0 failed")
