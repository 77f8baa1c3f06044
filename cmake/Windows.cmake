# The Windows build (mingw-w64 cross-build, see cmake/mingw-w64-x86_64.cmake):
# the same core, simulator and app over the backends of platform/windows/,
# linked statically so that the binary needs no DLL of the toolchain.
find_package(Threads REQUIRED)

# The header-only libraries, reached through a folder of their own: putting
# /usr/include on the path would let Linux system headers leak in.
set(ORVEX_HEADER_ONLY_ROOT /usr/include CACHE PATH "Where Boost, websocketpp, nlohmann-json and CLI11 are")
set(ORVEX_HEADER_ONLY ${CMAKE_BINARY_DIR}/header-only)
file(MAKE_DIRECTORY ${ORVEX_HEADER_ONLY})
foreach(name boost websocketpp nlohmann CLI)
  if(NOT EXISTS ${ORVEX_HEADER_ONLY}/${name})
    file(CREATE_LINK ${ORVEX_HEADER_ONLY_ROOT}/${name} ${ORVEX_HEADER_ONLY}/${name} SYMBOLIC)
  endif()
endforeach()

set(ORVEX_WARNINGS -Wall -Wextra -Wnon-virtual-dtor)
option(ORVEX_WERROR "Treat warnings in our code as errors (CI)" OFF)
if(ORVEX_WERROR)
  list(APPEND ORVEX_WARNINGS -Werror)
endif()
# A unity build includes each source into another, where GCC takes the types
# of a source's anonymous namespace for a header's and warns of their use.
if(CMAKE_UNITY_BUILD AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  list(APPEND ORVEX_WARNINGS -Wno-subobject-linkage)
endif()

add_link_options(-static)
# GCC's driver for this target always runs GNU ld, which spends tens of
# seconds on each program's template-heavy objects. Where clang and lld are
# installed, clang's MinGW driver links the same objects against GCC's own
# runtime libraries (the -posix ones: std::thread over winpthreads) with lld,
# in about a second.
find_program(ORVEX_CLANG_LINKER clang++)
find_program(ORVEX_LLD ld.lld)
if(ORVEX_CLANG_LINKER AND ORVEX_LLD)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-libgcc-file-name
                  OUTPUT_VARIABLE ORVEX_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE)
  get_filename_component(ORVEX_GCC_LIBRARIES ${ORVEX_LIBGCC} DIRECTORY)
  set(CMAKE_CXX_LINK_EXECUTABLE
      "${ORVEX_CLANG_LINKER} --target=x86_64-w64-mingw32 -fuse-ld=lld -L${ORVEX_GCC_LIBRARIES} <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES> -lpthread")
endif()
# Windows 10 API; the lean headers keep winsock.h and service macros out.
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 WIN32_LEAN_AND_MEAN NOMINMAX NOSERVICE)

file(GLOB ORVEX_CORE_SOURCES CONFIGURE_DEPENDS
  platform/*.cpp bridge/*.cpp hid/*.cpp protocol/*.cpp ble/*.cpp app/COrvexDlg.cpp)
file(GLOB ORVEX_PLATFORM_SOURCES CONFIGURE_DEPENDS platform/windows/*.cpp)
file(GLOB ORVEX_SIM_SOURCES CONFIGURE_DEPENDS sim/*.cpp)

add_library(orvex_core STATIC ${ORVEX_CORE_SOURCES})
target_include_directories(orvex_core PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_include_directories(orvex_core SYSTEM PUBLIC ${ORVEX_HEADER_ONLY})
target_compile_options(orvex_core PRIVATE ${ORVEX_WARNINGS})
target_compile_definitions(orvex_core PUBLIC _WEBSOCKETPP_CPP11_STL_)
# AcceptEx is in mswsock.
target_link_libraries(orvex_core PUBLIC Threads::Threads ws2_32 mswsock)

add_library(orvex_platform STATIC ${ORVEX_PLATFORM_SOURCES})
target_compile_options(orvex_platform PRIVATE ${ORVEX_WARNINGS})
target_link_libraries(orvex_platform PUBLIC orvex_core hid setupapi bluetoothapis iphlpapi wtsapi32)

add_library(orvex_sim STATIC ${ORVEX_SIM_SOURCES})
target_compile_options(orvex_sim PRIVATE ${ORVEX_WARNINGS})
target_link_libraries(orvex_sim PUBLIC orvex_core)

file(GLOB ORVEX_CONSOLE_FILES CONFIGURE_DEPENDS console/*)
set(ORVEX_CONSOLE_CPP ${CMAKE_CURRENT_BINARY_DIR}/console_files.cpp)
add_custom_command(OUTPUT ${ORVEX_CONSOLE_CPP}
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_CURRENT_SOURCE_DIR}/console -DOUTPUT=${ORVEX_CONSOLE_CPP}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/EmbedFiles.cmake
  DEPENDS ${ORVEX_CONSOLE_FILES} cmake/EmbedFiles.cmake
  COMMENT "Embedding the console page"
  VERBATIM)

# --check on Windows lists what SetupAPI shows (app/CheckWindows.cpp).
add_library(orvex_app STATIC app/Options.cpp app/COrvexApp.cpp app/BridgeRun.cpp app/Console.cpp app/PortWait.cpp app/Trust.cpp
  app/CheckWindows.cpp ${ORVEX_CONSOLE_CPP})
target_compile_options(orvex_app PRIVATE ${ORVEX_WARNINGS})
target_compile_definitions(orvex_app PRIVATE ORVEX_VERSION="${PROJECT_VERSION}")
target_link_libraries(orvex_app PUBLIC orvex_core orvex_platform orvex_sim)

# A GUI program: nothing shows when it starts at log-on. Its console twin
# orvex-bridge.com, which a shell finds first, runs it from a console and
# hands its exit status back.
add_executable(orvex-bridge app/main.cpp)
target_compile_options(orvex-bridge PRIVATE ${ORVEX_WARNINGS})
target_link_libraries(orvex-bridge PRIVATE orvex_app)
target_link_options(orvex-bridge PRIVATE -mwindows)
add_executable(orvex-bridge-twin app/ConsoleTwin.cpp)
target_compile_options(orvex-bridge-twin PRIVATE ${ORVEX_WARNINGS})
target_include_directories(orvex-bridge-twin PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
set_target_properties(orvex-bridge-twin PROPERTIES OUTPUT_NAME orvex-bridge SUFFIX .com)

include(cmake/Installer.cmake OPTIONAL)

if(ORVEX_BUILD_TESTS)
  enable_testing()
  include(tests/windows/windows.cmake)
endif()
