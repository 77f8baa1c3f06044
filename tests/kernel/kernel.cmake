# The real-kernel suite: the bridge binary it runs in its guest, the guest's
# uhid emulator and where its scripts live.
set(ORVEX_KERNEL_BRIDGE "" CACHE FILEPATH
  "Bridge binary the kernel suite runs in its guest (default: this build's orvex-bridge)")
if(ORVEX_KERNEL_BRIDGE)
  set(orvex_kernel_bridge ${ORVEX_KERNEL_BRIDGE})
else()
  set(orvex_kernel_bridge $<TARGET_FILE:orvex-bridge>)
endif()

# Static, and built with the system C compiler whatever compiler and
# sanitizer the rest of the build uses: it runs as it is in the guest.
find_program(ORVEX_KERNEL_CC NAMES gcc cc REQUIRED)
set(orvex_emulator ${CMAKE_CURRENT_BINARY_DIR}/kernel/orvex-uhid-emulator)
add_custom_command(OUTPUT ${orvex_emulator}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/kernel
  COMMAND ${ORVEX_KERNEL_CC} -std=gnu11 -O2 -Wall -Wextra -static -I${PROJECT_SOURCE_DIR}
    -o ${orvex_emulator} ${CMAKE_CURRENT_SOURCE_DIR}/kernel/uhid_emulator.c
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/kernel/uhid_emulator.c ${PROJECT_SOURCE_DIR}/sim/ReportDescriptors.h
    ${PROJECT_SOURCE_DIR}/sim/DeviceContract.h
  COMMENT "Building the uhid emulator of the kernel suite")
add_custom_target(orvex-uhid-emulator DEPENDS ${orvex_emulator})
add_dependencies(kernel_tests orvex-uhid-emulator)

target_compile_definitions(kernel_tests PRIVATE
  ORVEX_KERNEL_BRIDGE="${orvex_kernel_bridge}"
  ORVEX_KERNEL_EMULATOR="${orvex_emulator}"
  ORVEX_KERNEL_SCRIPTS="${CMAKE_CURRENT_SOURCE_DIR}/kernel"
  ORVEX_KERNEL_WORK_DIR="${CMAKE_CURRENT_BINARY_DIR}/kernel/guest")
