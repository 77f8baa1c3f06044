#include "platform/TrustFile.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/Log.h"
#include "platform/OriginText.h"

namespace orvex {

namespace {

// Paths are UTF-8 on both systems; Windows' narrow calls would take them in
// the ANSI code page.
std::filesystem::path FilePath(const std::string& path) {
    return std::filesystem::u8path(path);
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

TrustFileContents ReadTrustFile(const std::string& path) {
    TrustFileContents contents;
    std::ifstream in(FilePath(path));
    if (!in) {
        if (errno != ENOENT) contents.error = path + ": " + std::strerror(errno);
        return contents;
    }
    contents.exists = true;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string text = Trim(line);
        if (text.empty() || text.front() == '#') continue;
        if (const auto origin = NormaliseOrigin(text))
            contents.origins.push_back(*origin);
        else
            contents.malformed.emplace_back(number, text);
    }
    if (in.bad()) contents.error = path + ": " + std::strerror(errno);
    return contents;
}

bool EditTrustFile(const std::string& path, const std::string& origin, bool trusted, std::string* error) {
    std::string text;
    {
        std::ifstream in(FilePath(path));
        if (!in && errno != ENOENT) {
            *error = "cannot read " + path + ": " + std::strerror(errno);
            return false;
        }
        std::string line;
        bool present = false;
        while (std::getline(in, line)) {
            // A line typed by hand ("https://Config.example/") names the
            // same origin.
            if (NormaliseOrigin(Trim(line)).value_or("") == origin) {
                if (!trusted || present) continue;
                present = true;
            }
            text += line + "\n";
        }
        if (trusted && present) return true;
        if (trusted) {
            if (text.empty()) text = "# Web page origins that may use the Orvex devices, one a line.\n";
            text += origin + "\n";
        }
    }
    return WriteFileAtomically(path, text, error);
}

std::vector<std::string> TrustFileStore::Load() {
    const TrustFileContents contents = ReadTrustFile(m_path);
    if (!contents.error.empty()) diag_error("cannot read the trusted origins: " + contents.error);
    for (const auto& [number, text] : contents.malformed)
        diag_warning(m_path + ":" + std::to_string(number) + ": not an origin, ignored: " + escape_for_log(text));
    return contents.origins;
}

bool TrustFileStore::Save(const std::string& origin, bool trusted, std::string* error) {
    return EditTrustFile(m_path, origin, trusted, error);
}

}  // namespace orvex
