# What the Windows build (mingw-w64 cross-build, see
# cmake/mingw-w64-x86_64.cmake) needs beside the targets of CMakeLists.txt:
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

set(ORVEX_CORE_INCLUDES ${ORVEX_HEADER_ONLY})
# AcceptEx is in mswsock.
set(ORVEX_CORE_LIBRARIES ws2_32 mswsock)
set(ORVEX_PLATFORM_LIBRARIES hid setupapi bluetoothapis iphlpapi wtsapi32)
