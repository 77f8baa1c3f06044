#include "app/Options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <boost/asio/ip/address.hpp>
#include <cstdio>
#include <iostream>

#include "platform/Log.h"
#include "platform/OriginText.h"

namespace orvex {

const char* const kVersion = ORVEX_VERSION;

namespace {

constexpr size_t kMinPageBuffer = 64 << 10;
constexpr size_t kMaxPageBuffer = size_t(1) << 30;

// BYTES as digits, optionally followed by K or M (KiB, MiB); false when it is
// none of these or outside 64 KiB to 1 GiB.
bool parse_page_buffer(const std::string& text, size_t* bytes) {
    size_t i = 0;
    unsigned long long value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
        if (value > kMaxPageBuffer) return false;
        ++i;
    }
    if (i == 0) return false;
    const std::string unit = text.substr(i);
    if (unit == "K" || unit == "k" || unit == "KiB")
        value <<= 10;
    else if (unit == "M" || unit == "m" || unit == "MiB")
        value <<= 20;
    else if (!unit.empty())
        return false;
    if (value < kMinPageBuffer || value > kMaxPageBuffer) return false;
    *bytes = static_cast<size_t>(value);
    return true;
}

}  // namespace

ParseOutcome ParseOptions(int argc, char** argv, Options* options) {
    CLI::App app{
        "orvex-bridge: the background bridge between the device configuration page\n"
        "(ws://localhost:10086) and Orvex USB HID and Bluetooth LE devices.",
        "orvex-bridge"};
    app.set_version_flag("--version", std::string("orvex-bridge ") + kVersion);

    int port = options->server.port;
    std::string verbose;
    app.add_option("--port", port, "TCP port of the WebSocket endpoint (default 10086; 0 picks a free one)")
        ->check(CLI::Range(0, 65535));
    std::vector<std::string> listen;
    app.add_option("--listen", listen,
                   "address to listen on; repeatable (default 127.0.0.1 and ::1, or 127.0.0.1 alone where IPv6 is "
                   "off; 0.0.0.0 for every IPv4 interface)")
        ->take_all()
        ->allow_extra_args(false);
    app.add_flag("--wait-for-port", options->wait_for_port,
                 "when another program holds the port, say who and try again (after 1 s, doubling to 30 s) instead "
                 "of exiting with status 1");
    app.add_option("--allow-origin", options->server.allowed_origins,
                   "trust pages from this origin (scheme://host[:port], or null); repeatable. Alone, without "
                   "--origins, no other web page may connect (local programs that send no Origin still may)")
        ->take_all()
        ->allow_extra_args(false);
    std::string origins;
    auto* originsOption =
        app.add_option("--origins", origins,
                       "which pages may use the devices: ask (default; the user answers once per origin), listed "
                       "(trusted origins only) or any")
            ->check(CLI::IsMember({"ask", "listed", "any"}));
    auto* trustOption =
        app.add_option("--trust", options->trust, "add ORIGIN to the trusted origins of this user, then exit");
    auto* untrustOption =
        app.add_option("--untrust", options->untrust, "remove ORIGIN from the trusted origins, then exit");
    app.add_flag("--list-trusted", options->list_trusted, "print the trusted origins of this user, then exit");
    trustOption->excludes(untrustOption);
    app.add_option("--simulate", options->simulate, "run against the simulated devices of this scenario file");
    app.add_option("--sim-control", options->sim_control,
                   "Unix socket, or tcp:PORT on 127.0.0.1, for driving the simulator (with --simulate)");
    auto* verboseOption =
        app.add_option("--verbose", verbose, "more detail on stderr; --verbose=raw also logs every WebSocket frame")
            ->expected(0, 1);
    app.add_flag("--quiet", options->quiet, "no log lines or traces; errors only");
    std::string pageBuffer;
    auto* pageBufferOption = app.add_option(
        "--max-page-buffer", pageBuffer,
        "close a page (1008) whose unsent texts pass BYTES (default 1M; at least 64K; K and M suffixes)");
    int maxPages = static_cast<int>(options->server.max_pages);
    app.add_option("--max-pages", maxPages, "refuse handshakes (HTTP 503) beyond N open pages (default 64)")
        ->check(CLI::Range(1, 4096));
    bool noConsole = false;
    app.add_flag("--no-console", noConsole, "serve neither the console page (/) nor /status on the port");
    app.add_flag("--check", options->check,
                 "report what the bridge can see and open (devices, permissions, BlueZ, a running bridge), then exit: "
                 "0 when everything needed works, 1 otherwise");
    app.add_flag("--json", options->json, "with --check: the report as one JSON object");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return ParseOutcome::ExitSuccess;
    } catch (const CLI::CallForVersion&) {
        std::cout << "orvex-bridge " << kVersion << "\n";
        return ParseOutcome::ExitSuccess;
    } catch (const CLI::ParseError& e) {
        diag_error(e.what());
        std::cerr << "Try 'orvex-bridge --help'.\n";
        return ParseOutcome::UsageError;
    }

    auto usage = [](const std::string& message) {
        diag_error(message);
        std::cerr << "Try 'orvex-bridge --help'.\n";
        return ParseOutcome::UsageError;
    };
    if (verboseOption->count() > 0) {
        if (!verbose.empty() && verbose != "raw")
            return usage("--verbose takes no value or 'raw', not '" + verbose + "'");
        options->verbose = true;
        options->raw = verbose == "raw";
    }
    if (options->quiet && options->verbose) return usage("--quiet and --verbose exclude each other");
    for (const std::string& address : listen) {
        boost::system::error_code ec;
        boost::asio::ip::make_address(address, ec);
        if (ec) return usage("--listen: '" + address + "' is not an IP address");
    }
    if (!listen.empty()) {
        options->server.address = listen.front();
        auto& more = options->server.more_addresses;
        more.clear();
        // An address given twice is listened on once, not refused as taken.
        for (const std::string& address : listen)
            if (address != listen.front() && std::find(more.begin(), more.end(), address) == more.end())
                more.push_back(address);
    }
    for (std::string& origin : options->server.allowed_origins) {
        if (origin == "null") continue;
        const std::optional<std::string> normal = NormaliseOrigin(origin);
        if (!normal) return usage("--allow-origin: " + NotAnOrigin(origin));
        origin = *normal;
    }
    if (!options->sim_control.empty() && options->simulate.empty()) return usage("--sim-control needs --simulate");
    if (options->json && !options->check) return usage("--json needs --check");
    if (pageBufferOption->count() > 0 && !parse_page_buffer(pageBuffer, &options->server.max_page_buffer))
        return usage("--max-page-buffer: '" + pageBuffer + "' is not a size from 64K to 1024M");
    options->server.max_pages = static_cast<size_t>(maxPages);
    options->server.port = static_cast<uint16_t>(port);
    options->server.raw_frames = options->raw;
    options->server.quiet = options->quiet;
    options->console = !noConsole;
    // compat: an environment file that lists origins meant "only these"
    // before there was a question to ask.
    if (originsOption->count() > 0)
        options->origins = origins == "any"      ? OriginPolicy::Any
                           : origins == "listed" ? OriginPolicy::Listed
                                                 : OriginPolicy::Ask;
    else if (!options->server.allowed_origins.empty())
        options->origins = OriginPolicy::Listed;
    if ((trustOption->count() > 0 || untrustOption->count() > 0) && options->list_trusted)
        return usage("--list-trusted excludes --trust and --untrust");
    return ParseOutcome::Run;
}

}  // namespace orvex
