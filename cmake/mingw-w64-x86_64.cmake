# Cross build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64).
# The programs are linked statically so that they run on a machine with nothing installed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VESK_MINGW_PREFIX x86_64-w64-mingw32)
# The posix flavour: GCC 12's win32 flavour has no std::thread or std::mutex.
set(CMAKE_C_COMPILER ${VESK_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VESK_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VESK_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VESK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# CLI11 is header only and the same for every target, but the host's include folder cannot
# be searched for it: it holds the host's C library headers. Offer just CLI11's folder.
if(EXISTS /usr/include/CLI/CLI.hpp AND NOT DEFINED CACHE{VESK_CLI11_INCLUDE})
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/host-headers)
  if(NOT EXISTS ${CMAKE_BINARY_DIR}/host-headers/CLI)
    file(CREATE_LINK /usr/include/CLI ${CMAKE_BINARY_DIR}/host-headers/CLI SYMBOLIC)
  endif()
  set(VESK_CLI11_INCLUDE ${CMAKE_BINARY_DIR}/host-headers CACHE PATH "CLI11 headers (CLI/CLI.hpp)")
endif()
# nlohmann-json the same way.
if(EXISTS /usr/include/nlohmann/json.hpp AND NOT DEFINED CACHE{VESK_JSON_INCLUDE})
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/host-headers)
  if(NOT EXISTS ${CMAKE_BINARY_DIR}/host-headers/nlohmann)
    file(CREATE_LINK /usr/include/nlohmann ${CMAKE_BINARY_DIR}/host-headers/nlohmann SYMBOLIC)
  endif()
  set(VESK_JSON_INCLUDE ${CMAKE_BINARY_DIR}/host-headers CACHE PATH "nlohmann-json headers")
endif()
