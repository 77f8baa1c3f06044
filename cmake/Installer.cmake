# The NSIS installer: cmake --build BUILD --target installer makes
# orvex-bridge-setup-<version>.exe next to the bridge.
find_program(ORVEX_MAKENSIS makensis)
if(ORVEX_MAKENSIS)
  set(ORVEX_SETUP ${CMAKE_BINARY_DIR}/orvex-bridge-setup-${PROJECT_VERSION}.exe)
  add_custom_command(OUTPUT ${ORVEX_SETUP}
    COMMAND ${ORVEX_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DBRIDGE=$<TARGET_FILE:orvex-bridge>
            -DOUTFILE=${ORVEX_SETUP} ${CMAKE_CURRENT_SOURCE_DIR}/packaging/windows/orvex-bridge.nsi
    DEPENDS orvex-bridge packaging/windows/orvex-bridge.nsi
    COMMENT "Building the installer"
    VERBATIM)
  add_custom_target(installer DEPENDS ${ORVEX_SETUP})
endif()
