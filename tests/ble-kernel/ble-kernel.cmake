# The real-BlueZ suite: the bridge binary its central guest runs (as the
# kernel suite's, ORVEX_KERNEL_BRIDGE), the guests' two programs and the
# kernel suite's guest builder, which it shares.
if(ORVEX_KERNEL_BRIDGE)
  set(orvex_ble_bridge ${ORVEX_KERNEL_BRIDGE})
else()
  set(orvex_ble_bridge $<TARGET_FILE:orvex-bridge>)
endif()

# Built with the system compilers whatever compiler and sanitizer the rest
# of the build uses: they run as they are in the guests.
find_program(ORVEX_BLE_CXX NAMES g++ c++ REQUIRED)
pkg_check_modules(ORVEX_BLE_SDBUS REQUIRED sdbus-c++)
set(orvex_ble_dir ${CMAKE_CURRENT_BINARY_DIR}/ble-kernel)
set(orvex_ble_peripheral ${orvex_ble_dir}/orvex-ble-peripheral)
set(orvex_ble_central ${orvex_ble_dir}/orvex-ble-central)
add_custom_command(OUTPUT ${orvex_ble_peripheral}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${orvex_ble_dir}
  COMMAND ${ORVEX_KERNEL_CC} -std=gnu11 -O2 -Wall -Wextra -static -o ${orvex_ble_peripheral}
    ${CMAKE_CURRENT_SOURCE_DIR}/ble-kernel/ble_peripheral.c
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/ble-kernel/ble_peripheral.c
  COMMENT "Building the BLE suite's peripheral")
add_custom_command(OUTPUT ${orvex_ble_central}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${orvex_ble_dir}
  COMMAND ${ORVEX_BLE_CXX} -std=c++17 -O1 -Wall -Wextra ${ORVEX_BLE_SDBUS_CFLAGS}
    -DORVEX_SDBUS_MAJOR=${ORVEX_SDBUS_MAJOR} -I${PROJECT_SOURCE_DIR} -o ${orvex_ble_central}
    ${CMAKE_CURRENT_SOURCE_DIR}/ble-kernel/ble_central.cpp ${ORVEX_BLE_SDBUS_LDFLAGS}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/ble-kernel/ble_central.cpp ${PROJECT_SOURCE_DIR}/platform/linux/DBus.h
  COMMENT "Building the BLE suite's pairing agent")
add_custom_target(orvex-ble-guest-programs DEPENDS ${orvex_ble_peripheral} ${orvex_ble_central})
add_dependencies(ble-kernel_tests orvex-ble-guest-programs)

target_compile_definitions(ble-kernel_tests PRIVATE
  ORVEX_KERNEL_BRIDGE="${orvex_ble_bridge}"
  ORVEX_BLE_PERIPHERAL="${orvex_ble_peripheral}"
  ORVEX_BLE_CENTRAL="${orvex_ble_central}"
  ORVEX_BLE_BUILD_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/kernel/build-initramfs.sh"
  ORVEX_BLE_WORK_DIR="${orvex_ble_dir}/guest")
