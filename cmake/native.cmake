# The native (Linux) build: the portable core, libcurl downloads, the tool and the unit tests.
find_package(GTest REQUIRED)
find_package(CURL REQUIRED)
find_package(nlohmann_json 3 REQUIRED)

add_library(tolvarin_native STATIC src/files/download_curl.cpp src/device/device_platform_none.cpp)
target_link_libraries(tolvarin_native PUBLIC CURL::libcurl)
tolvarin_core(tolvarin_core "${TOLVARIN_UPDATE_URL}" tolvarin_native)

add_subdirectory(tools)
add_subdirectory(tests)
add_subdirectory(bench)
