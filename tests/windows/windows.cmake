# The tests of the Windows build, run under Wine by ctest (the toolchain's
# emulator). googletest is built from Debian's sources with the same compiler.
set(ORVEX_GTEST_SOURCE /usr/src/googletest CACHE PATH "googletest sources to build for Windows")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${ORVEX_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# The shared fakes that need no sockets or child processes.
add_library(orvex_test_support STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/tests/support/Fakes.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/tests/support/Pages.cpp)
target_include_directories(orvex_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/tests)
target_compile_options(orvex_test_support PRIVATE ${ORVEX_WARNINGS})
target_link_libraries(orvex_test_support PUBLIC orvex_app orvex_sim orvex_platform gtest gmock)

# The core's tests that run the same on both systems, in process: protocol,
# device manager and readers, BLE slots and notifications, start-up. Left out
# for build time: the simulator's own tests (the same code as on Linux; the
# Windows binary runs it under Wine in app_tests), and ble_device_test, whose
# suite name command_test shares (the GATT backend's test covers the device
# object on Windows).
set(ORVEX_PORTABLE_TESTS
  bridge/hex_test.cpp
  protocol/packets_test.cpp
  protocol/command_queue_test.cpp
  protocol/command_test.cpp
  protocol/query_test.cpp
  hid/device_manager_test.cpp
  hid/reader_stop_test.cpp
  hid/shared_node_test.cpp
  ble/ble_notification_test.cpp
  ble/ble_slots_test.cpp
  app/startup_test.cpp)
list(TRANSFORM ORVEX_PORTABLE_TESTS PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/tests/)
file(GLOB ORVEX_WINDOWS_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/windows/*_wintest.cpp)

add_executable(windows_tests ${ORVEX_WINDOWS_TESTS} ${ORVEX_PORTABLE_TESTS})
target_compile_options(windows_tests PRIVATE ${ORVEX_WARNINGS})
target_link_libraries(windows_tests PRIVATE orvex_test_support gtest_main)
# Parsed once for every test file.
target_precompile_headers(windows_tests PRIVATE <gtest/gtest.h> <gmock/gmock.h> <nlohmann/json.hpp>)
add_test(NAME windows_tests COMMAND windows_tests --gtest_brief=1)
set_tests_properties(windows_tests PROPERTIES TIMEOUT 300)
