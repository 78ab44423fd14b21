# The fuzz build: the portable core and the libFuzzer targets, all under ASan and UBSan.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "the fuzz build needs clang (libFuzzer): use the fuzz preset")
endif()

# Coverage for libFuzzer in every object; any sanitizer report ends the run so it counts as a find.
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                    -fno-omit-frame-pointer)
add_link_options(-fsanitize=address,undefined)

# No network in a fuzz run: downloads always fail as if offline.
# The publication record's checks hash and verify with libcrypto, as natively.
find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
add_library(tolvarin_fuzz_platform STATIC tests/fuzz/offline_download.cpp
            src/device/device_platform_none.cpp src/platform/power_sim.cpp
            src/platform/linux/clock_linux.cpp
            src/files/crypto_openssl.cpp)
target_link_libraries(tolvarin_fuzz_platform PUBLIC OpenSSL::Crypto)
tolvarin_core(tolvarin_core "${TOLVARIN_UPDATE_URL}" tolvarin_fuzz_platform)

add_subdirectory(tests/fuzz)
