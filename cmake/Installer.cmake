# The NSIS installer: cmake --build BUILD --target installer makes
# orvex-bridge-setup-<version>.exe next to the bridge. It ships the bridge
# without its symbol table: a fifth of the size, and compressed that much
# sooner.
find_program(ORVEX_MAKENSIS makensis)
if(ORVEX_MAKENSIS)
  set(ORVEX_SETUP ${CMAKE_BINARY_DIR}/orvex-bridge-setup-${PROJECT_VERSION}.exe)
  set(ORVEX_SHIPPED ${CMAKE_BINARY_DIR}/installer/orvex-bridge.exe)
  set(ORVEX_SHIPPED_TWIN ${CMAKE_BINARY_DIR}/installer/orvex-bridge.com)
  add_custom_command(OUTPUT ${ORVEX_SETUP}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/installer
    COMMAND ${CMAKE_STRIP} -o ${ORVEX_SHIPPED} $<TARGET_FILE:orvex-bridge>
    COMMAND ${CMAKE_STRIP} -o ${ORVEX_SHIPPED_TWIN} $<TARGET_FILE:orvex-bridge-twin>
    COMMAND ${ORVEX_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DBRIDGE=${ORVEX_SHIPPED} -DTWIN=${ORVEX_SHIPPED_TWIN}
            -DOUTFILE=${ORVEX_SETUP} ${CMAKE_CURRENT_SOURCE_DIR}/packaging/windows/orvex-bridge.nsi
    DEPENDS orvex-bridge orvex-bridge-twin packaging/windows/orvex-bridge.nsi
    COMMENT "Building the installer"
    VERBATIM)
  add_custom_target(installer DEPENDS ${ORVEX_SETUP})
endif()
