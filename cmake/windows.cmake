# The win32 build: the portable unit tests cross-built to run under Wine, and the program.
# Hardened images: ASLR with relocations kept, DEP, no writable code, and a stack protector that
# links statically (libssp.a), so no runtime DLL comes with it.
add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:-fstack-protector-strong>)
add_link_options(-fstack-protector-strong -Wl,--dynamicbase -Wl,--nxcompat)

# nlohmann-json is header-only, but /usr/include must not reach the cross compiler: its folder
# alone, through a link in the build tree.
set(NLOHMANN_INCLUDE_DIR ${CMAKE_BINARY_DIR}/nlohmann-include)
if(NOT EXISTS /usr/include/nlohmann/json.hpp)
  message(FATAL_ERROR "nlohmann-json is missing: apt-get install nlohmann-json3-dev")
endif()
file(MAKE_DIRECTORY ${NLOHMANN_INCLUDE_DIR})
file(CREATE_LINK /usr/include/nlohmann ${NLOHMANN_INCLUDE_DIR}/nlohmann SYMBOLIC)
include_directories(SYSTEM ${NLOHMANN_INCLUDE_DIR})

# WinINet, WINMM, SetupAPI and CNG's bcrypt are loaded from the system folder at run time, never
# imported. The power state is the test's (power_sim.cpp) unless a program brings the system's
# ahead of it.
add_library(tolvarin_wininet STATIC src/files/download_wininet.cpp src/files/crypto_cng.cpp
            src/platform/win32/system_library_win32.cpp src/platform/win32/clock_win32.cpp
            src/platform/power_sim.cpp)
tolvarin_core(tolvarin_core "${TOLVARIN_UPDATE_URL}" tolvarin_wininet)
# The simulated programs talk to the local test server, over http and over https.
tolvarin_core(tolvarin_core_sim "${TOLVARIN_SIM_UPDATE_URL}" tolvarin_wininet)
tolvarin_core(tolvarin_core_sim_tls "${TOLVARIN_SIM_TLS_UPDATE_URL}" tolvarin_wininet)
# The release program carries the keys of the release's build setting (none by default); the
# signed twin of the simulated program carries the build's test key. Everything else is keyless.
tolvarin_core(tolvarin_core_release "${TOLVARIN_UPDATE_URL}" tolvarin_wininet
              KEYS ${TOLVARIN_PUBLIC_KEYS})
tolvarin_core(tolvarin_core_sim_signed "${TOLVARIN_SIM_UPDATE_URL}" tolvarin_wininet
              KEYS ${TOLVARIN_TEST_PUBLIC_KEY})

# The shell shared by both programs; each adds its device back end and device watch.
set(SHELL_SOURCES
    src/ui/win32/main_win32.cpp
    src/ui/win32/window_win32.cpp
    src/ui/win32/dpi_win32.cpp
    src/ui/win32/ui_port_win32.cpp
    resources/tolvarin.rc
    resources/version.rc)
# The manifest and the version header carry the build's version; windres finds them on the
# include path. The manifest names the architecture of the image it is in.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(MANIFEST_ARCHITECTURE amd64)
else()
  set(MANIFEST_ARCHITECTURE x86)
endif()
configure_file(resources/tolvarin.manifest.in ${CMAKE_BINARY_DIR}/generated/tolvarin.manifest @ONLY)
configure_file(resources/version.h.in ${CMAKE_BINARY_DIR}/generated/tolvarin_version.h @ONLY)
include_directories(${CMAKE_BINARY_DIR}/generated)
# windres does not see the files the script pulls in.
set_source_files_properties(resources/version.rc PROPERTIES OBJECT_DEPENDS
    "${CMAKE_BINARY_DIR}/generated/tolvarin_version.h")
set_source_files_properties(resources/tolvarin.rc PROPERTIES OBJECT_DEPENDS
    "${CMAKE_BINARY_DIR}/generated/tolvarin.manifest;${CMAKE_SOURCE_DIR}/resources/tolvarin.ico;${CMAKE_SOURCE_DIR}/resources/strings.def")

# The shell is compiled once for the five programs: nothing in it depends on the program.
add_library(tolvarin_shell_objects OBJECT ${SHELL_SOURCES})
# Every program, without the tests: what a build that only checks and signs them needs.
add_custom_target(tolvarin-programs)
function(tolvarin_program name core)
  add_executable(${name} WIN32 ${ARGN})
  target_link_libraries(${name} PRIVATE tolvarin_shell_objects)
  add_dependencies(tolvarin-programs ${name})
  target_link_libraries(${name} PRIVATE ${core})
  # Stripped: the symbols only make the user's download bigger.
  target_link_options(${name} PRIVATE -municode -s)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endfunction()

# The program for real devices.
tolvarin_program(tolvarin tolvarin_core_release
    src/device/device_platform_win32.cpp src/ui/win32/device_watch_system_win32.cpp
    src/platform/win32/power_win32.cpp)
# The same program on the simulated device (a state file) and the local update server.
tolvarin_program(tolvarin-sim tolvarin_core_sim
    src/device/device_platform_sim.cpp src/ui/win32/sim_watch_win32.cpp)
# The simulated program that verifies publications: tolvarin-sim.exe and the test key.
tolvarin_program(tolvarin-sim-signed tolvarin_core_sim_signed
    src/device/device_platform_sim.cpp src/ui/win32/sim_watch_win32.cpp)
# The same again with an https URL: the URL is built into the program, and the https tests should
# run the very code path a release runs, not a URL read at run time.
tolvarin_program(tolvarin-sim-tls tolvarin_core_sim_tls
    src/device/device_platform_sim.cpp src/ui/win32/sim_watch_win32.cpp)
# The release program with the local test server's URL, that one setting apart: the tests run it
# on the test bus driver (tests/wine/bus), so the device code users run meets a device stack.
tolvarin_program(tolvarin-local tolvarin_core_sim
    src/device/device_platform_win32.cpp src/ui/win32/device_watch_system_win32.cpp
    src/platform/win32/power_win32.cpp)

set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
add_subdirectory(tests)
add_subdirectory(tools/wine_driver)
add_subdirectory(tests/wine)
add_subdirectory(tests/release)
