#include "app/Trust.h"

#include <iostream>
#include <optional>

#include "platform/Log.h"
#include "platform/OriginText.h"
#ifndef _WIN32
#include "platform/linux/NotificationAsker.h"
#endif

namespace orvex {

bool IsTrustCommand(const Options& options) {
    return !options.trust.empty() || !options.untrust.empty() || options.list_trusted;
}

std::string ConsoleUrl(const std::string& listenAddress, uint16_t port) {
    std::string host = listenAddress;
    if (host == "0.0.0.0" || host == "::") host = "127.0.0.1";
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return "http://" + host + ":" + std::to_string(port) + "/";
}

int RunTrustCommand(const Options& options) {
    const std::string path = TrustFilePath();
    if (path.empty()) {
        diag_error("no place for the trusted origins: neither XDG_CONFIG_HOME nor HOME is set");
        return 1;
    }
    if (options.list_trusted) {
        const TrustFileContents contents = ReadTrustFile(path);
        if (!contents.error.empty()) {
            diag_error("cannot read " + contents.error);
            return 1;
        }
        for (const auto& [number, text] : contents.malformed)
            diag_warning(path + ":" + std::to_string(number) + ": not an origin: " + escape_for_log(text));
        for (const std::string& origin : contents.origins) std::cout << origin << "\n";
        return 0;
    }
    const bool trusted = !options.trust.empty();
    const std::string& typed = trusted ? options.trust : options.untrust;
    const std::optional<std::string> origin = NormaliseOrigin(typed);
    if (!origin) {
        diag_error(NotAnOrigin(typed));
        return 2;
    }
    std::string error;
    if (!EditTrustFile(path, *origin, trusted, &error)) {
        diag_error(error);
        return 1;
    }
    return 0;
}

AppTrust::AppTrust(const Options& options, OriginTrust& trust) : m_trust(trust) {
    const std::string path = TrustFilePath();
    if (path.empty()) {
        diag_warning("neither XDG_CONFIG_HOME nor HOME is set: answers are not remembered");
    } else {
        m_store = std::make_unique<TrustFileStore>(path);
        trust.SetStore(m_store.get());
        std::string error;
        if (options.origins != OriginPolicy::Any && !m_watcher.Start(
                                                        path, [&trust] { trust.Reload(); }, &error))
            diag_warning(error + ": edits of the trusted origins need a restart");
    }
#ifndef _WIN32
    if (options.origins == OriginPolicy::Ask) {
        m_asker = std::make_shared<NotificationAsker>(
            "", [&trust](const std::string& origin, OriginDecision decision) { trust.Decide(origin, decision); });
        trust.SetAsker(m_asker);
    }
#endif
}

void AppTrust::Stop() {
    m_watcher.Stop();
    m_trust.SetAsker(nullptr);
#ifndef _WIN32
    // Joined here: an answer on its way still finishes with the trust.
    if (m_asker) m_asker->Stop();
    m_asker.reset();
#endif
    m_trust.SetStore(nullptr);
}

}  // namespace orvex
