// Plain HTTP requests on the pages' port: what the server hands to whoever
// answers them, and what it writes back. The server itself knows nothing of
// what is served; it only frames the answer (and leaves out the body of a
// HEAD answer).
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace orvex {

struct HttpRequest {
    std::string method;          // as sent: "GET", "HEAD", ...
    std::string target;          // path and query, "/status?x=1"
    std::string host;            // the Host header, "" when absent
    std::string origin{};        // the Origin header, "" when absent
    std::string content_type{};  // the Content-Type header, "" when absent
    std::string body{};
};

struct HttpResponse {
    int status = 200;
    std::string content_type = "text/plain; charset=utf-8";
    std::string body{};
    std::vector<std::pair<std::string, std::string>> headers;  // added to the server's own
};

// Called on the server thread, one request at a time; must not block.
using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

}  // namespace orvex
