# The native (Linux) build: the portable core, libcurl downloads, the tool and the unit tests.
find_package(GTest REQUIRED)
find_package(CURL REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)

# The tests' and the simulated programs' power state is the test's (power_sim.cpp); the programs
# for real devices bring the system's ahead of it.
add_library(tolvarin_native STATIC src/files/download_curl.cpp src/device/device_platform_none.cpp
            src/platform/power_sim.cpp src/platform/linux/clock_linux.cpp
            src/files/crypto_openssl.cpp)
target_link_libraries(tolvarin_native PUBLIC CURL::libcurl OpenSSL::Crypto)
tolvarin_core(tolvarin_core "${TOLVARIN_UPDATE_URL}" tolvarin_native)


# The Linux program: the terminal front end on the SG_IO / libudev back end, and the same program
# on the simulated device and the local update server. Each exe brings its own device back end
# ahead of the core's archives, so the back end that finds nothing is never linked in.
find_package(PkgConfig REQUIRED)
pkg_check_modules(UDEV REQUIRED IMPORTED_TARGET libudev)
find_package(CLI11 CONFIG REQUIRED)
find_package(Threads REQUIRED)
tolvarin_core(tolvarin_core_sim "${TOLVARIN_SIM_UPDATE_URL}" tolvarin_native)
# The release program carries the keys of the release's build setting (none by default); the
# signed twin of the simulated program carries the build's test key. Everything else is keyless.
tolvarin_core(tolvarin_core_release "${TOLVARIN_UPDATE_URL}" tolvarin_native
              KEYS ${TOLVARIN_PUBLIC_KEYS})
tolvarin_core(tolvarin_core_sim_signed "${TOLVARIN_SIM_UPDATE_URL}" tolvarin_native
              KEYS ${TOLVARIN_TEST_PUBLIC_KEY})

# The terminal programs, the simulated ones too, hold logind's sleep lock during a run (sd-bus).
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
set(TERM_SOURCES src/ui/term/main_term.cpp src/ui/term/term_loop_linux.cpp src/ui/term/term_ui.cpp
    src/ui/term/term_text.cpp src/ui/term/privileges_linux.cpp src/ui/term/sleep_lock_linux.cpp)

# The front end is compiled once for the four programs: nothing in it depends on the program.
add_library(tolvarin_term_objects OBJECT ${TERM_SOURCES})
target_link_libraries(tolvarin_term_objects PUBLIC CLI11::CLI11 Threads::Threads PkgConfig::SYSTEMD)
# Every program, without the tests.
add_custom_target(tolvarin-programs)
function(tolvarin_term_program name core)
  add_executable(${name} ${ARGN})
  add_dependencies(tolvarin-programs ${name})
  target_link_libraries(${name} PRIVATE tolvarin_term_objects ${core})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endfunction()

# For real devices.
tolvarin_term_program(tolvarin tolvarin_core_release
    src/device/device_platform_linux.cpp src/ui/term/device_watch_linux.cpp
    src/platform/linux/power_linux.cpp)
target_link_libraries(tolvarin PRIVATE PkgConfig::UDEV)
# The program for real devices again, with the simulated programs' update URL (127.0.0.1): what
# the tests run on a real kernel, with the update server beside it.
tolvarin_term_program(tolvarin-local tolvarin_core_sim
    src/device/device_platform_linux.cpp src/ui/term/device_watch_linux.cpp
    src/platform/linux/power_linux.cpp)
target_link_libraries(tolvarin-local PRIVATE PkgConfig::UDEV)
# The same program on the simulated device (a state file) and the local update server.
tolvarin_term_program(tolvarin-sim tolvarin_core_sim
    src/device/device_platform_sim.cpp src/ui/term/device_watch_sim.cpp)
# The simulated program that verifies publications: tolvarin-sim and the test key.
tolvarin_term_program(tolvarin-sim-signed tolvarin_core_sim_signed
    src/device/device_platform_sim.cpp src/ui/term/device_watch_sim.cpp)
include(cmake/deb.cmake)

add_subdirectory(tools)
add_subdirectory(tests)
add_subdirectory(bench)
