// One plain HTTP/1.1 request over loopback and the whole answer, read until
// the server closes: enough to see exactly what the server writes.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace orvex::test {

struct HttpAnswer {
    int status = 0;                              // 0: no answer (refused, time-out, garbage)
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

// host "" sends no Host header at all. headers: more "Name: value" lines;
// a body goes with its Content-Length.
HttpAnswer HttpRequestOnce(uint16_t port, const std::string& method, const std::string& target, const std::string& host,
                           const std::vector<std::string>& headers = {}, const std::string& body = "");

}  // namespace orvex::test
