// The files of console/, built into the binary (the generated
// console_files.cpp), so that the page needs nothing from disk or network.
#pragma once

#include <cstddef>

namespace orvex {

struct EmbeddedFile {
    const char* name;          // file name inside console/, "index.html"
    const char* content_type;  // from its extension
    const unsigned char* data;
    size_t size;
};

extern const EmbeddedFile kConsoleFiles[];
extern const size_t kConsoleFileCount;

}  // namespace orvex
