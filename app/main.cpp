#include <exception>

#include "app/COrvexApp.h"
#include "app/Check.h"
#include "app/Trust.h"
#include "platform/Log.h"
#include "platform/Native.h"

int main(int argc, char** argv) {
    orvex::PrepareProcess();
    orvex::Options options;
    switch (orvex::ParseOptions(argc, argv, &options)) {
        case orvex::ParseOutcome::ExitSuccess:
            return 0;
        case orvex::ParseOutcome::UsageError:
            return 2;
        case orvex::ParseOutcome::Run:
            break;
    }
    try {
        if (orvex::IsTrustCommand(options)) return orvex::RunTrustCommand(options);
        if (options.check) return orvex::RunCheck(options);
        orvex::COrvexApp app;
        return app.InitInstance(options);
    } catch (const std::exception& e) {
        orvex::diag_error(e.what());
        return 1;
    }
}
