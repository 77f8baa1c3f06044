# Writes OUTPUT, a C++ file holding every file of SOURCE_DIR (not its
# subfolders) as a byte array with its content type, as app/ConsoleFiles.h
# declares. Run as: cmake -DSOURCE_DIR=... -DOUTPUT=... -P EmbedFiles.cmake
file(GLOB files LIST_DIRECTORIES false RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*)
list(SORT files)

# Content types by extension (a CMake list cannot hold their semicolons).
function(content_type extension out)
  set(type "application/octet-stream")
  if(extension STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(extension STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  elseif(extension STREQUAL ".js")
    set(type "text/javascript; charset=utf-8")
  elseif(extension STREQUAL ".json")
    set(type "application/json")
  elseif(extension STREQUAL ".svg")
    set(type "image/svg+xml")
  elseif(extension STREQUAL ".png")
    set(type "image/png")
  elseif(extension STREQUAL ".txt")
    set(type "text/plain; charset=utf-8")
  endif()
  set(${out} "${type}" PARENT_SCOPE)
endfunction()

set(arrays "")
set(entries "")
set(index 0)
foreach(name ${files})
  if(name MATCHES "^\\.")
    continue()
  endif()
  get_filename_component(extension ${name} LAST_EXT)
  string(TOLOWER "${extension}" extension)
  content_type("${extension}" type)
  file(READ ${SOURCE_DIR}/${name} hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # An empty file still needs one element; its size stays 0.
  if(size EQUAL 0)
    set(bytes "0")
  endif()
  string(APPEND arrays "const unsigned char kFile${index}[] = {${bytes}};\n")
  string(APPEND entries "    {\"${name}\", \"${type}\", kFile${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()

if(index EQUAL 0)
  message(FATAL_ERROR "no console files in ${SOURCE_DIR}")
endif()

file(WRITE ${OUTPUT} "// Generated from console/ by cmake/EmbedFiles.cmake; do not edit.
#include \"app/ConsoleFiles.h\"

namespace orvex {

namespace {
${arrays}}  // namespace

const EmbeddedFile kConsoleFiles[] = {
${entries}};
const size_t kConsoleFileCount = ${index};

}  // namespace orvex
")
