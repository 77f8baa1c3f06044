/* How the devices answer queries. Together with the report descriptors
 * (sim/ReportDescriptors.h) and the simulator's device models (sim/Devices.cpp,
 * sim/SimHid.cpp, sim/SimBle.cpp) this is the reference copy of the device
 * contract: the kernel suite's uhid emulator includes it, and
 * tests/sim/device_contract_test.cpp checks the bridge's own tables
 * (protocol/Packets.cpp) and the console's decoder (console/protocol.js)
 * against it. Change a device here first. Plain C, like the descriptors. */
#ifndef ORVEX_SIM_DEVICE_CONTRACT_H
#define ORVEX_SIM_DEVICE_CONTRACT_H

#include <stddef.h>

struct orvex_query_code {
    unsigned char code;
    /* Output devices (0x83, 0x85): the 64-byte input reports that carry the
     * answer after the acknowledgement, 59 answer bytes each. Feature devices
     * (0x80, 0x81) answer in the feature report of the code's id, at the
     * length their descriptor declares. */
    unsigned char answer_reports;
    /* BLE devices: the first byte of the request and of its answer (0: they
     * do not answer the code), and the answer's length. */
    unsigned char ble_request;
    unsigned char ble_answer_length;
};

/* clang-format off */
static const struct orvex_query_code orvex_query_codes[] = {
    {0x04, 1, 0x00, 0},
    {0x05, 1, 0x00, 0},
    {0x06, 1, 0x00, 0},
    {0x08, 1, 0x00, 0},
    {0x09, 2, 0xA9, 130},
    {0x0A, 3, 0xA0, 126},
    {0x0B, 1, 0xA1, 3},
    {0x0C, 1, 0xA2, 5},
};
/* clang-format on */

/* Null for a code no device answers. */
static inline const struct orvex_query_code *orvex_find_query_code(unsigned char code) {
    for (size_t i = 0; i < sizeof orvex_query_codes / sizeof orvex_query_codes[0]; ++i)
        if (orvex_query_codes[i].code == code) return &orvex_query_codes[i];
    return NULL;
}

/* Null for a first byte that is no BLE request. */
static inline const struct orvex_query_code *orvex_find_ble_request(unsigned char request) {
    for (size_t i = 0; i < sizeof orvex_query_codes / sizeof orvex_query_codes[0]; ++i)
        if (request != 0 && orvex_query_codes[i].ble_request == request) return &orvex_query_codes[i];
    return NULL;
}

/* Main items of a report descriptor. */
#define ORVEX_HID_INPUT 0x80
#define ORVEX_HID_OUTPUT 0x90
#define ORVEX_HID_FEATURE 0xB0

/* The whole length of the report of this kind (ORVEX_HID_*) and id, id
 * included, as the descriptor declares it; 0 when it declares no such report. */
static inline size_t orvex_declared_report_length(const unsigned char *descriptor, size_t size, unsigned kind,
                                                  unsigned id) {
    static const int data_bytes[] = {0, 1, 2, 4};
    const unsigned char *item = descriptor, *end = descriptor + size;
    unsigned report_id = 0, report_size = 0, report_count = 0, bits = 0;
    while (item < end) {
        const int n = data_bytes[*item & 0x03];
        if (item + 1 + n > end) break;
        unsigned value = 0;
        for (int i = 0; i < n; ++i) value |= (unsigned)item[1 + i] << (8 * i);
        switch (*item & 0xFC) {
            case 0x84:
                report_id = value;
                break;
            case 0x74:
                report_size = value;
                break;
            case 0x94:
                report_count = value;
                break;
            default:
                if ((*item & 0xFC) == kind && report_id == id) bits += report_size * report_count;
                break;
        }
        item += 1 + n;
    }
    return bits ? 1u + bits / 8 : 0;
}

#endif
