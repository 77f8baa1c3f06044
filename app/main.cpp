#include <exception>
#include <iostream>

#include "app/COrvexApp.h"

int main(int argc, char** argv) {
    orvex::Options options;
    switch (orvex::ParseOptions(argc, argv, &options)) {
    case orvex::ParseOutcome::ExitSuccess: return 0;
    case orvex::ParseOutcome::UsageError: return 2;
    case orvex::ParseOutcome::Run: break;
    }
    try {
        orvex::COrvexApp app;
        return app.InitInstance(options);
    } catch (const std::exception& e) {
        std::cerr << "orvex-bridge: " << e.what() << "\n";
        return 1;
    }
}
