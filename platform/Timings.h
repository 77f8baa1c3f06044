// Every fixed pause and delay of the bridge in one value. The defaults are the
// pacing the devices and pages were built against; tests pass shorter ones and
// check orders and ratios instead of waiting seconds.
#pragma once

#include <chrono>

namespace orvex {

using Milliseconds = std::chrono::milliseconds;

// After a feature report, a simple output report, a block packet of the
// feature-report families and a BLE write.
constexpr Milliseconds kPacketPause{500};
// After each packet of an output-report block.
constexpr Milliseconds kBlockPacketPause{200};
// After the second packet of an output-report block, for the device to store it.
constexpr Milliseconds kBlockSettlePause{1000};
// Feature queries: before the request and after the status read; output
// queries: after the request.
constexpr Milliseconds kQueryPause{100};
// Output queries: after the acknowledgement and between data reports.
constexpr Milliseconds kQueryReadPause{30};
// A read on a control handle gives up after this long, so a device that never
// answers costs one failed attempt instead of the command thread.
constexpr Milliseconds kControlReadTimeout{1000};
// After the initial feature report of a new control handle.
constexpr Milliseconds kInitialFeaturePause{200};
// From the last arrival of a burst to the open step of its family.
constexpr Milliseconds kArrivalDelay{1000};
// From the BLE open step to connecting its slots.
constexpr Milliseconds kBleConnectDelay{2000};
// A page of an untrusted origin waits this long for the user's answer.
constexpr Milliseconds kOriginAnswerTimeout{120000};

// A port held by another program: the first pause before listening is tried
// again, doubled after every attempt up to the last.
constexpr Milliseconds kPortRetryFirst{1000};
constexpr Milliseconds kPortRetryLast{30000};
// The same after a session switch, when the other session's bridge is just
// letting go of the port.
constexpr Milliseconds kPortRetryAfterSwitch{100};

// BlueZ: a call gives up after this long (a write with response waits for
// the device over the air, far less than this); its caller waits the grace
// longer, for the bus thread to finish what it was doing (a connection's
// set-up at most); a missing bus or a failed listing is asked again no sooner
// than the retry interval.
constexpr Milliseconds kBusCallTimeout{10000};
constexpr Milliseconds kBusCallerGrace{5000};
constexpr Milliseconds kBusRetryInterval{5000};
// A stop or a session switch waits this long at most for the BLE worker. The
// stack fails its calls at once when asked to stop, so only a call it cannot
// interrupt (a system GATT call on Windows) lasts longer, and the bridge does
// not wait for that one.
constexpr Milliseconds kBleStopWait{1000};

// A failed accept (no descriptor left): the first pause before accepting
// again, doubled after every failure up to the last.
constexpr Milliseconds kAcceptPauseFirst{100};
constexpr Milliseconds kAcceptPauseLast{1000};
// Events that can repeat thousands of times a second are logged once per
// this at most.
constexpr Milliseconds kDiagThrottle{1000};

struct Timings {
    Milliseconds packetPause = kPacketPause;
    Milliseconds blockPacketPause = kBlockPacketPause;
    Milliseconds blockSettlePause = kBlockSettlePause;
    Milliseconds queryPause = kQueryPause;
    Milliseconds queryReadPause = kQueryReadPause;
    Milliseconds controlReadTimeout = kControlReadTimeout;
    Milliseconds initialFeaturePause = kInitialFeaturePause;
    Milliseconds originAnswerTimeout = kOriginAnswerTimeout;
    Milliseconds arrivalDelay = kArrivalDelay;
    Milliseconds bleConnectDelay = kBleConnectDelay;
    Milliseconds portRetryFirst = kPortRetryFirst;
    Milliseconds portRetryLast = kPortRetryLast;
    Milliseconds portRetryAfterSwitch = kPortRetryAfterSwitch;
    Milliseconds busCallTimeout = kBusCallTimeout;
    Milliseconds busCallerGrace = kBusCallerGrace;
    Milliseconds busRetryInterval = kBusRetryInterval;
    Milliseconds bleStopWait = kBleStopWait;
    Milliseconds acceptPauseFirst = kAcceptPauseFirst;
    Milliseconds acceptPauseLast = kAcceptPauseLast;
    Milliseconds diagThrottle = kDiagThrottle;
};

}  // namespace orvex
