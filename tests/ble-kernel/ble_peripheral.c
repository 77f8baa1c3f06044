/* orvex-ble-peripheral: the BLE suite's device, and the agent through which
 * the host drives each of its two guests.
 *
 * With --att, it is a BLE HID device of vendor 0x045E as the bridge meets one:
 * a GATT server of its own on the kernel's ATT socket (one bearer, plain
 * handle value notifications, which bluetoothd's HID-over-GATT client takes)
 * with GAP, GATT, Device Information (PnP ID, USB source 045E:0B13), HID
 * (report map, two input reports, control point, protocol mode) and the
 * vendor service 0xFEE0 (0xFEE3 write, 0xFEE4 notify). It accepts just-works
 * pairing confirmations over mgmt, as the device's side runs no bluetoothd.
 *
 * Control: a TCP port, one request line in; "- ..." data lines and a last
 * "ok ..." or "err ..." out. Requests:
 *
 *   ping                  log                   clear
 *   now                   this guest's CLOCK_MONOTONIC, in microseconds
 *   notify HEX            report ID HEX         (--att only)
 *   advertise             (--att only) connectable, HID in the data
 *   disconnect            (--att only) stops advertising, ends the link
 *   sh COMMAND...         runs it with /bin/sh, its output as data lines
 *   poweroff
 *
 * --relay TTY SOCKET instead joins the central guest's serial port (the
 * peripheral's controller, H:4) to btvirt's server socket, so that both
 * controllers share btvirt's simulated air.
 *
 * Log lines: "- T_US KIND HEX" (HEX "-" when empty), T_US on CLOCK_MONOTONIC:
 * connect, disconnect, ccc (handle, then the value written), write (0xFEE3),
 * notify (what went out on 0xFEE4).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/reboot.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

/* The kernel's Bluetooth socket interface, as BlueZ's headers would give it. */
#ifndef AF_BLUETOOTH
#define AF_BLUETOOTH 31
#endif
#define BTPROTO_L2CAP 0
#define BTPROTO_HCI 1
#define HCI_DEV_NONE 0xffff
#define HCI_CHANNEL_CONTROL 3
#define BDADDR_LE_PUBLIC 1
#define ATT_CID 4
struct sockaddr_l2 {
    sa_family_t l2_family;
    uint16_t l2_psm;
    uint8_t l2_bdaddr[6];
    uint16_t l2_cid;
    uint8_t l2_bdaddr_type;
};
struct sockaddr_hci {
    sa_family_t hci_family;
    uint16_t hci_dev;
    uint16_t hci_channel;
};
#define MGMT_EV_USER_CONFIRM_REQUEST 0x000F
#define MGMT_OP_USER_CONFIRM_REPLY 0x001C
#define MGMT_OP_DISCONNECT 0x0014
#define MGMT_OP_ADD_ADVERTISING 0x003E
#define MGMT_OP_REMOVE_ADVERTISING 0x003F
#define MGMT_ADV_CONNECTABLE 0x01
#define MGMT_ADV_DISCOVERABLE 0x02
#define MGMT_ADV_MANAGED_FLAGS 0x08

#define MAX_CLIENTS 4
#define MAX_LINE 4096
#define MAX_LOG 4000
#define MTU 185

/* ---------------------------------------------------------------------- */
/* The log */

struct log_entry {
    int64_t t_us;
    char kind[12];
    uint16_t len;
    uint8_t data[MTU];
};
static struct log_entry journal[MAX_LOG];
static int journal_used;

static int64_t now_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

static void record(const char *kind, const uint8_t *data, size_t len) {
    if (journal_used == MAX_LOG) return;
    struct log_entry *e = &journal[journal_used++];
    e->t_us = now_us();
    snprintf(e->kind, sizeof e->kind, "%s", kind);
    e->len = (uint16_t)(len > MTU ? MTU : len);
    if (len) memcpy(e->data, data, e->len);
}

/* ---------------------------------------------------------------------- */
/* The GATT database: one attribute per handle, 16-bit types only. */

enum { READ = 0x02, WRITE_CMD = 0x04, WRITE = 0x08, NOTIFY = 0x10, INDICATE = 0x20 };
struct attribute {
    uint16_t type;
    uint8_t value[256];
    uint16_t len;
    uint8_t props; /* of a characteristic value: what a client may do */
};
#define MAX_HANDLES 40
static struct attribute db[MAX_HANDLES + 1];
static uint16_t db_last;
static uint16_t h_fee3, h_fee4, h_report1, h_report2;

static const uint8_t report_map[] = {
    0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x85, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19, 0x01,
    0x29, 0x03, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02, 0x95, 0x01, 0x75, 0x05,
    0x81, 0x03, 0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x02,
    0x81, 0x06, 0xC0, 0xC0, 0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x02, 0x15, 0x00, 0x26, 0xFF,
    0x03, 0x19, 0x00, 0x2A, 0xFF, 0x03, 0x75, 0x10, 0x95, 0x01, 0x81, 0x00, 0xC0,
};

static uint16_t add(uint16_t type, const void *value, size_t len) {
    struct attribute *a = &db[++db_last];
    a->type = type;
    a->len = (uint16_t)len;
    if (len) memcpy(a->value, value, len);
    return db_last;
}

static void service(uint16_t uuid) {
    const uint8_t v[2] = {uuid & 0xFF, uuid >> 8};
    add(0x2800, v, 2);
}

/* A characteristic: its declaration, its value, and a CCC when it notifies. */
static uint16_t characteristic(uint16_t uuid, uint8_t props, const void *value, size_t len) {
    const uint16_t value_handle = (uint16_t)(db_last + 2);
    const uint8_t decl[5] = {props, value_handle & 0xFF, value_handle >> 8, uuid & 0xFF, uuid >> 8};
    add(0x2803, decl, 5);
    add(uuid, value, len);
    db[value_handle].props = props;
    if (props & (NOTIFY | INDICATE)) {
        const uint8_t off[2] = {0, 0};
        add(0x2902, off, 2);
        db[db_last].props = READ | WRITE;
    }
    return value_handle;
}

static void populate(uint16_t vendor, uint16_t product) {
    service(0x1800);
    characteristic(0x2A00, READ, "orvex ble", 9);
    characteristic(0x2A01, READ, "\xC2\x03", 2); /* a mouse */
    service(0x1801);
    characteristic(0x2A05, INDICATE, "\x01\x00\xFF\xFF", 4);
    service(0x180A);
    const uint8_t pnp[7] = {0x02, vendor & 0xFF, vendor >> 8, product & 0xFF, product >> 8, 0x01, 0x00};
    characteristic(0x2A50, READ, pnp, sizeof pnp);
    service(0x1812);
    characteristic(0x2A4A, READ, "\x11\x01\x00\x02", 4);
    characteristic(0x2A4B, READ, report_map, sizeof report_map);
    h_report1 = characteristic(0x2A4D, READ | NOTIFY, "\0\0\0", 3);
    add(0x2908, "\x01\x01", 2);
    h_report2 = characteristic(0x2A4D, READ | NOTIFY, "\0\0", 2);
    add(0x2908, "\x02\x01", 2);
    characteristic(0x2A4C, WRITE_CMD, "\0", 1);
    characteristic(0x2A4E, READ | WRITE_CMD, "\x01", 1);
    service(0xFEE0);
    h_fee3 = characteristic(0xFEE3, READ | WRITE, "", 0);
    h_fee4 = characteristic(0xFEE4, NOTIFY, "", 0);
}

/* The group a service declaration opens ends before the next one. */
static uint16_t group_end(uint16_t h) {
    uint16_t e = h;
    while (e < db_last && db[e + 1].type != 0x2800) ++e;
    return e;
}

/* ---------------------------------------------------------------------- */
/* ATT */

static int att_fd = -1;
static uint16_t att_mtu = 23;
static int mgmt_fd = -1;
static uint8_t peer[7]; /* the client's address and its type */

static void att_send(const uint8_t *pdu, size_t len) {
    if (att_fd >= 0 && send(att_fd, pdu, len, MSG_NOSIGNAL) < 0) fprintf(stderr, "ATT send: %s\n", strerror(errno));
}

static void att_error(uint8_t opcode, uint16_t handle, uint8_t code) {
    const uint8_t pdu[5] = {0x01, opcode, handle & 0xFF, handle >> 8, code};
    att_send(pdu, 5);
}

static uint16_t le16(const uint8_t *p) {
    return (uint16_t)(p[0] | p[1] << 8);
}

static int notify(uint16_t handle, const uint8_t *data, size_t len) {
    uint8_t pdu[MTU];
    if (att_fd < 0 || len + 3 > att_mtu) return -1;
    if (!(db[handle + 1].value[0] & 1)) return -2; /* the client did not subscribe */
    pdu[0] = 0x1B;
    pdu[1] = handle & 0xFF;
    pdu[2] = handle >> 8;
    memcpy(pdu + 3, data, len);
    att_send(pdu, len + 3);
    return 0;
}

static void att_request(const uint8_t *in, size_t n) {
    uint8_t out[MTU];
    size_t len = 0;
    const uint8_t op = in[0];
    if (n < 1) return;
    uint16_t start = n >= 5 ? le16(in + 1) : 0, end = n >= 5 ? le16(in + 3) : 0;
    switch (op) {
        case 0x02: /* exchange MTU */
            if (n < 3) break;
            att_mtu = le16(in + 1) < MTU ? le16(in + 1) : MTU;
            if (att_mtu < 23) att_mtu = 23;
            out[0] = 0x03;
            out[1] = MTU & 0xFF;
            out[2] = MTU >> 8;
            att_send(out, 3);
            return;
        case 0x04: /* find information */
            if (n < 5 || start == 0 || start > end) break;
            out[len++] = 0x05;
            out[len++] = 0x01;
            for (uint16_t h = start; h <= end && h <= db_last && len + 4 <= att_mtu; ++h) {
                out[len++] = h & 0xFF;
                out[len++] = h >> 8;
                out[len++] = db[h].type & 0xFF;
                out[len++] = db[h].type >> 8;
            }
            if (len > 2) return att_send(out, len);
            return att_error(op, start, 0x0A);
        case 0x06: /* find by type value: primary services by UUID */
            if (n < 7 || start == 0 || start > end) break;
            out[len++] = 0x07;
            for (uint16_t h = start; h <= end && h <= db_last && len + 4 <= att_mtu; ++h) {
                if (db[h].type != le16(in + 5) || db[h].len != n - 7 || memcmp(db[h].value, in + 7, n - 7)) continue;
                const uint16_t e = db[h].type == 0x2800 ? group_end(h) : h;
                out[len++] = h & 0xFF;
                out[len++] = h >> 8;
                out[len++] = e & 0xFF;
                out[len++] = e >> 8;
            }
            if (len > 1) return att_send(out, len);
            return att_error(op, start, 0x0A);
        case 0x08: /* read by type */
        case 0x10: /* read by group type */
            if (n != 7 || start == 0 || start > end) {
                if (n == 21) return att_error(op, start, 0x0A); /* no 128-bit types here */
                break;
            }
            out[len++] = op + 1;
            out[len++] = 0;
            for (uint16_t h = start; h <= end && h <= db_last; ++h) {
                if (db[h].type != le16(in + 5)) continue;
                const size_t item = (op == 0x10 ? 4 : 2) + (db[h].len > att_mtu - 6 ? att_mtu - 6 : db[h].len);
                if (out[1] && out[1] != item) break;
                if (len + item > att_mtu) break;
                out[1] = (uint8_t)item;
                out[len++] = h & 0xFF;
                out[len++] = h >> 8;
                if (op == 0x10) {
                    const uint16_t e = group_end(h);
                    out[len++] = e & 0xFF;
                    out[len++] = e >> 8;
                }
                memcpy(out + len, db[h].value, item - (op == 0x10 ? 4 : 2));
                len += item - (op == 0x10 ? 4 : 2);
                if (op == 0x10) h = group_end(h);
            }
            if (len > 2) return att_send(out, len);
            return att_error(op, start, 0x0A);
        case 0x0A: /* read */
        case 0x0C: /* read blob */ {
            const uint16_t h = n >= 3 ? le16(in + 1) : 0;
            const uint16_t offset = op == 0x0C && n >= 5 ? le16(in + 3) : 0;
            if (h == 0 || h > db_last) return att_error(op, h, 0x01);
            if (offset > db[h].len) return att_error(op, h, 0x07);
            size_t part = db[h].len - offset;
            if (part > att_mtu - 1u) part = att_mtu - 1u;
            out[0] = op + 1;
            memcpy(out + 1, db[h].value + offset, part);
            return att_send(out, part + 1);
        }
        case 0x12: /* write */
        case 0x52: /* write command */ {
            const uint16_t h = n >= 3 ? le16(in + 1) : 0;
            if (h == 0 || h > db_last || !(db[h].props & (WRITE | WRITE_CMD)) || n - 3 > sizeof db[h].value) {
                if (op == 0x12) att_error(op, h, 0x03);
                return;
            }
            memcpy(db[h].value, in + 3, n - 3);
            db[h].len = (uint16_t)(n - 3);
            if (db[h].type == 0x2902) {
                uint8_t entry[4] = {h & 0xFF, h >> 8, in[3], n > 4 ? in[4] : 0};
                record("ccc", entry, 4);
            } else if (h == h_fee3) {
                record("write", in + 3, n - 3);
            }
            if (op == 0x12) {
                out[0] = 0x13;
                att_send(out, 1);
            }
            return;
        }
        default:
            break;
    }
    /* Confirmations and answers to requests we never make need no answer. */
    if (op == 0x1E || (op & 0x01)) return;
    att_error(op, start, op == 0x12 || op == 0x0A ? 0x01 : 0x06);
}

/* ---------------------------------------------------------------------- */
/* Control */

struct client {
    int fd;
    char line[MAX_LINE];
    size_t used;
};
static struct client clients[MAX_CLIENTS];

static void reply(int fd, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static void reply(int fd, const char *fmt, ...) {
    char text[MAX_LINE + 64];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(text, sizeof text - 1, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    if ((size_t)n > sizeof text - 2) n = sizeof text - 2;
    text[n++] = '\n';
    for (int off = 0; off < n;) {
        const ssize_t w = send(fd, text + off, n - off, MSG_NOSIGNAL);
        if (w <= 0) return;
        off += w;
    }
}

static size_t parse_hex(const char *hex, uint8_t *out, size_t max) {
    size_t n = 0;
    while (hex[0] && hex[1] && n < max && sscanf(hex, "%2hhx", &out[n]) == 1) {
        ++n;
        hex += 2;
    }
    return n;
}

static int mgmt_send(uint16_t opcode, const uint8_t *param, uint16_t len) {
    uint8_t cmd[6 + 64] = {opcode & 0xFF, opcode >> 8, 0, 0, len & 0xFF, len >> 8};
    memcpy(cmd + 6, param, len);
    return write(mgmt_fd, cmd, 6u + len) == 6 + len ? 0 : -1;
}

/* Two instances: the controller keeps re-enabling advertising, and a scan
 * that misses one sees the other. */
static int advertise(void) {
    for (uint8_t instance = 1; instance <= 2; ++instance) {
        const uint8_t cp[15] = {instance, MGMT_ADV_CONNECTABLE | MGMT_ADV_DISCOVERABLE | MGMT_ADV_MANAGED_FLAGS,
                                0,        0,
                                0,        0,
                                0,        0,
                                0,        4,
                                0,        0x03,
                                0x03,     0x12,
                                0x18};
        if (mgmt_send(MGMT_OP_ADD_ADVERTISING, cp, sizeof cp) < 0) return -1;
    }
    return 0;
}

static void handle(int fd, char *line) {
    uint8_t data[MTU];
    char hex[2 * MTU + 2];
    if (strcmp(line, "ping") == 0) return reply(fd, "ok pong");
    if (strcmp(line, "now") == 0) return reply(fd, "ok %lld", (long long)now_us());
    if (strcmp(line, "clear") == 0) {
        journal_used = 0;
        return reply(fd, "ok");
    }
    if (strcmp(line, "log") == 0) {
        for (int i = 0; i < journal_used; ++i) {
            const struct log_entry *e = &journal[i];
            for (int j = 0; j < e->len; ++j) sprintf(hex + 2 * j, "%02x", e->data[j]);
            reply(fd, "- %lld %s %s", (long long)e->t_us, e->kind, e->len ? hex : "-");
        }
        return reply(fd, "ok %d", journal_used);
    }
    if (strncmp(line, "notify ", 7) == 0 || strncmp(line, "report ", 7) == 0) {
        const int report = line[0] == 'r';
        const char *text = line + 7;
        uint16_t h = h_fee4;
        if (report) {
            h = atoi(text) == 2 ? h_report2 : h_report1;
            text = strchr(text, ' ') ? strchr(text, ' ') + 1 : "";
        }
        const size_t n = parse_hex(text, data, sizeof data);
        if (h == 0) return reply(fd, "err no GATT server here");
        const int sent = notify(h, data, n);
        if (sent == -1) return reply(fd, "err not connected");
        if (sent == -2) return reply(fd, "err not subscribed");
        if (!report) record("notify", data, n);
        return reply(fd, "ok %lld", (long long)now_us());
    }
    if (strcmp(line, "advertise") == 0 && mgmt_fd >= 0)
        return advertise() == 0 ? reply(fd, "ok") : reply(fd, "err %s", strerror(errno));
    if (strcmp(line, "disconnect") == 0 && mgmt_fd >= 0) {
        const uint8_t all = 0;
        if (att_fd < 0) return reply(fd, "err not connected");
        if (mgmt_send(MGMT_OP_REMOVE_ADVERTISING, &all, 1) < 0 || mgmt_send(MGMT_OP_DISCONNECT, peer, 7) < 0)
            return reply(fd, "err %s", strerror(errno));
        return reply(fd, "ok");
    }
    if (strncmp(line, "sh ", 3) == 0) {
        FILE *out = popen(line + 3, "r");
        if (!out) return reply(fd, "err %s", strerror(errno));
        char text[MAX_LINE];
        while (fgets(text, sizeof text, out)) {
            text[strcspn(text, "\n")] = '\0';
            reply(fd, "- %s", text);
        }
        const int status = pclose(out);
        return reply(fd, "ok %d", WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    if (strcmp(line, "poweroff") == 0) {
        reply(fd, "ok");
        sync();
        reboot(RB_POWER_OFF);
        return;
    }
    reply(fd, "err unknown request");
}

static int listen_tcp(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    struct sockaddr_in addr = {.sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {htonl(INADDR_ANY)}};
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0 ||
        bind(fd, (struct sockaddr *)&addr, sizeof addr) < 0 || listen(fd, 4) < 0)
        return -1;
    return fd;
}

/* The ATT socket of the controller's public address, any client. */
static int listen_att(void) {
    const int fd = socket(AF_BLUETOOTH, SOCK_SEQPACKET | SOCK_CLOEXEC, BTPROTO_L2CAP);
    struct sockaddr_l2 addr = {.l2_family = AF_BLUETOOTH, .l2_cid = ATT_CID, .l2_bdaddr_type = BDADDR_LE_PUBLIC};
    if (fd < 0 || bind(fd, (struct sockaddr *)&addr, sizeof addr) < 0 || listen(fd, 1) < 0) return -1;
    return fd;
}

static int open_mgmt(void) {
    const int fd = socket(AF_BLUETOOTH, SOCK_RAW | SOCK_CLOEXEC, BTPROTO_HCI);
    struct sockaddr_hci addr = {
        .hci_family = AF_BLUETOOTH, .hci_dev = HCI_DEV_NONE, .hci_channel = HCI_CHANNEL_CONTROL};
    if (fd < 0 || bind(fd, (struct sockaddr *)&addr, sizeof addr) < 0) return -1;
    return fd;
}

/* The device's "user" accepts every just-works confirmation the kernel asks
 * for: it asks even the responding side. */
static void on_mgmt(int fd) {
    uint8_t ev[512];
    const ssize_t n = read(fd, ev, sizeof ev);
    if (n < 6 + 7 || le16(ev) != MGMT_EV_USER_CONFIRM_REQUEST) return;
    uint8_t cmd[6 + 7] = {MGMT_OP_USER_CONFIRM_REPLY, 0, ev[2], ev[3], 7, 0};
    memcpy(cmd + 6, ev + 6, 7); /* address and its type */
    if (write(fd, cmd, sizeof cmd) < 0) fprintf(stderr, "mgmt: %s\n", strerror(errno));
    record("confirm", ev + 6, 7);
}

/* ---------------------------------------------------------------------- */
/* Relay */

static int write_all(int fd, const uint8_t *data, size_t len) {
    for (size_t off = 0; off < len;) {
        const ssize_t w = write(fd, data + off, len - off);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return -1;
        off += (size_t)w;
    }
    return 0;
}

/* btvirt reads an H:4 packet's header in one go and mis-frames one split
 * over two reads, which the serial line does at random: only whole packets
 * go on. */
static int forward_packets(int from, int to) {
    static uint8_t pending[70000];
    static size_t used;
    const ssize_t n = read(from, pending + used, sizeof pending - used);
    if (n <= 0) return n < 0 && errno == EINTR ? 0 : -1;
    used += (size_t)n;
    for (;;) {
        size_t header;
        if (used < 1) return 0;
        switch (pending[0]) {
            case 0x01:
                header = 4;
                break; /* command: type, opcode, length */
            case 0x02:
                header = 5;
                break; /* ACL: type, handle, 16-bit length */
            case 0x03:
                header = 4;
                break; /* SCO */
            case 0x04:
                header = 3;
                break; /* event: type, code, length */
            case 0x05:
                header = 5;
                break; /* ISO: 14-bit length */
            default:
                fprintf(stderr, "relay: bad H:4 packet type 0x%02x\n", pending[0]);
                return -1;
        }
        if (used < header) return 0;
        size_t length = header + pending[header - 1];
        if (pending[0] == 0x02) length = header + le16(pending + 3);
        if (pending[0] == 0x05) length = header + (le16(pending + 3) & 0x3FFF);
        if (used < length) return 0;
        if (write_all(to, pending, length) < 0) return -1;
        memmove(pending, pending + length, used - length);
        used -= length;
    }
}

static int relay(const char *tty_path, const char *socket_path) {
    const int tty = open(tty_path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios t;
    if (tty < 0 || tcgetattr(tty, &t) < 0) {
        perror(tty_path);
        return 1;
    }
    cfmakeraw(&t);
    t.c_cflag &= ~CRTSCTS;
    cfsetspeed(&t, B115200);
    tcsetattr(tty, TCSANOW, &t);
    const int sk = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {.sun_family = AF_UNIX};
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_path);
    if (sk < 0 || connect(sk, (struct sockaddr *)&addr, sizeof addr) < 0) {
        perror(socket_path);
        return 1;
    }
    struct pollfd fds[2] = {{tty, POLLIN, 0}, {sk, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        if ((fds[0].revents & POLLIN) && forward_packets(tty, sk) < 0) return 1;
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            uint8_t buf[4096];
            const ssize_t n = read(sk, buf, sizeof buf);
            if (n <= 0 || write_all(tty, buf, (size_t)n) < 0) return 1;
        }
    }
}

int main(int argc, char **argv) {
    int port = 7000, att = 0;
    if (argc == 4 && strcmp(argv[1], "--relay") == 0) return relay(argv[2], argv[3]);
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--control-port") == 0 && i + 1 < argc)
            port = atoi(argv[++i]);
        else if (strcmp(argv[i], "--att") == 0)
            att = 1;
        else {
            fprintf(stderr, "usage: %s [--control-port PORT] [--att] | --relay TTY SOCKET\n", argv[0]);
            return 2;
        }
    }
    const int control = listen_tcp(port);
    if (control < 0) {
        perror("control port");
        return 1;
    }
    int listener = -1;
    if (att) {
        populate(0x045E, 0x0B13);
        listener = listen_att();
        mgmt_fd = open_mgmt();
        if (listener < 0 || mgmt_fd < 0) {
            perror("ATT or mgmt socket");
            return 1;
        }
    }
    for (int i = 0; i < MAX_CLIENTS; ++i) clients[i].fd = -1;
    printf("orvex-ble-peripheral: ready\n");
    fflush(stdout);
    for (;;) {
        struct pollfd fds[4 + MAX_CLIENTS];
        int count = 0;
        fds[count++] = (struct pollfd){control, POLLIN, 0};
        fds[count++] = (struct pollfd){listener, POLLIN, 0};
        fds[count++] = (struct pollfd){mgmt_fd, POLLIN, 0};
        fds[count++] = (struct pollfd){att_fd, POLLIN, 0};
        for (int i = 0; i < MAX_CLIENTS; ++i) fds[count++] = (struct pollfd){clients[i].fd, POLLIN, 0};
        if (poll(fds, count, -1) < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        if (fds[0].revents & POLLIN) {
            const int fd = accept4(control, NULL, NULL, SOCK_CLOEXEC);
            int placed = 0;
            for (int i = 0; i < MAX_CLIENTS && fd >= 0 && !placed; ++i)
                if (clients[i].fd < 0) {
                    clients[i].fd = fd;
                    clients[i].used = 0;
                    placed = 1;
                }
            if (fd >= 0 && !placed) close(fd);
        }
        if (fds[1].revents & POLLIN) {
            struct sockaddr_l2 from;
            socklen_t len = sizeof from;
            const int fd = accept4(listener, (struct sockaddr *)&from, &len, SOCK_CLOEXEC);
            if (fd >= 0 && att_fd >= 0) {
                close(fd); /* one client at a time */
            } else if (fd >= 0) {
                att_fd = fd;
                att_mtu = 23;
                for (uint16_t h = 1; h <= db_last; ++h)
                    if (db[h].type == 0x2902) memset(db[h].value, 0, 2);
                memcpy(peer, from.l2_bdaddr, 6);
                peer[6] = from.l2_bdaddr_type;
                record("connect", peer, 7);
            }
        }
        if (fds[2].revents & POLLIN) on_mgmt(mgmt_fd);
        if (fds[3].revents & (POLLIN | POLLHUP | POLLERR)) {
            uint8_t pdu[1024];
            const ssize_t n = recv(att_fd, pdu, sizeof pdu, 0);
            if (n <= 0) {
                close(att_fd);
                att_fd = -1;
                record("disconnect", NULL, 0);
            } else {
                att_request(pdu, (size_t)n);
            }
        }
        for (int i = 0; i < MAX_CLIENTS; ++i) {
            struct client *c = &clients[i];
            if (c->fd < 0 || !(fds[4 + i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t n = read(c->fd, c->line + c->used, sizeof c->line - 1 - c->used);
            if (n <= 0) {
                close(c->fd);
                c->fd = -1;
                continue;
            }
            c->used += (size_t)n;
            c->line[c->used] = '\0';
            char *end;
            while ((end = strchr(c->line, '\n'))) {
                *end = '\0';
                if (end > c->line && end[-1] == '\r') end[-1] = '\0';
                handle(c->fd, c->line);
                c->used -= (size_t)(end + 1 - c->line);
                memmove(c->line, end + 1, c->used + 1);
            }
            if (c->used == sizeof c->line - 1) c->used = 0; /* an endless line */
        }
    }
}
