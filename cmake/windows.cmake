# The win32 build: the portable unit tests cross-built to run under Wine, and the program.
add_library(tolvarin_wininet STATIC src/files/download_wininet.cpp)
target_link_libraries(tolvarin_wininet PUBLIC wininet winmm)
tolvarin_core(tolvarin_core "${TOLVARIN_UPDATE_URL}" tolvarin_wininet)
# The simulated programs talk to the local test server, over http and over https.
tolvarin_core(tolvarin_core_sim "${TOLVARIN_SIM_UPDATE_URL}" tolvarin_wininet)
tolvarin_core(tolvarin_core_sim_tls "${TOLVARIN_SIM_TLS_UPDATE_URL}" tolvarin_wininet)

# The shell shared by both programs; each adds its device back end and device watch.
set(SHELL_SOURCES
    src/app/main_win32.cpp
    src/app/window_win32.cpp
    src/app/ui_port_win32.cpp
    resources/tolvarin.rc)
# windres does not see the files the script pulls in.
set_source_files_properties(resources/tolvarin.rc PROPERTIES OBJECT_DEPENDS
    "${CMAKE_SOURCE_DIR}/resources/tolvarin.manifest;${CMAKE_SOURCE_DIR}/resources/tolvarin.ico;${CMAKE_SOURCE_DIR}/resources/strings.def")

function(tolvarin_program name core)
  add_executable(${name} WIN32 ${SHELL_SOURCES} ${ARGN})
  target_link_libraries(${name} PRIVATE ${core} setupapi)
  # Stripped: the symbols only make the user's download bigger.
  target_link_options(${name} PRIVATE -municode -s)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endfunction()

# The program for real devices.
tolvarin_program(tolvarin tolvarin_core
    src/device/device_platform_win32.cpp src/app/device_watch_system_win32.cpp)
# The same program on the simulated device (a state file) and the local update server.
tolvarin_program(tolvarin-sim tolvarin_core_sim
    src/device/device_platform_sim.cpp src/app/sim_watch_win32.cpp)
# The same again with an https URL: the URL is built into the program, and the https tests should
# run the very code path a release runs, not a URL read at run time.
tolvarin_program(tolvarin-sim-tls tolvarin_core_sim_tls
    src/device/device_platform_sim.cpp src/app/sim_watch_win32.cpp)

set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
add_subdirectory(tests)
add_subdirectory(tools/wine_driver)
add_subdirectory(tests/wine)
