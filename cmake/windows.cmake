# The win32 build: the portable unit tests cross-built to run under Wine, and the program.
add_library(tolvarin_wininet STATIC src/files/download_wininet.cpp)
target_link_libraries(tolvarin_wininet PUBLIC wininet winmm)
tolvarin_core(tolvarin_core "${TOLVARIN_UPDATE_HOST}" tolvarin_wininet)

set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
add_subdirectory(tests)
