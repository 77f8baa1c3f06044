/* orvex-uhid-emulator: devices of every HID family on /dev/uhid, and the agent
 * through which the kernel suite drives its guest.
 *
 * The devices keep the contract the simulator keeps (sim/README.md): the
 * simulator's models, descriptors and query answers (sim/DeviceContract.h)
 * are the reference this file follows and takes its tables from. But the
 * bridge reaches them through hidraw and the kernel's HID core. So every
 * report a device sends carries an id that its report descriptor declares, and
 * goes out at its declared length: the kernel drops input reports with
 * undeclared ids, and shorter ones, before hidraw sees them.
 *
 * Control: a TCP port (forwarded by QEMU from the host's loopback). One
 * request line in; any number of "- ..." data lines and one last line
 * "ok ..." or "err ..." out. Requests:
 *
 *   ping                      devices                   poweroff
 *   plug NAME                 unplug NAME               report NAME HEX
 *   stream NAME HEX PERIOD_MS stream NAME off           stream off
 *   log NAME                  clear NAME
 *   start PROC [VAR=VALUE]... [ARG]...   PROC: bridge, nobody (the bridge as
 *                             uid 65534) or settle (udevadm settle)
 *   wait PROC SECONDS         stop PROC                 output PROC out|err
 *
 * Log lines: "- T_MS KIND HEX" (HEX "-" when empty); KIND is start, stop,
 * open, close (the kernel's uhid events), feature (a feature report set),
 * get_feature (what a feature read was answered with), output, or refused
 * (a report the device does not take, answered with an error).
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/uhid.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "sim/DeviceContract.h"
#include "sim/ReportDescriptors.h"

#ifndef BUS_USB
#define BUS_USB 0x03
#endif

#define VENDOR_ID 0x1D57
#define NOBODY 65534
#define MAX_CLIENTS 4
#define MAX_LINE 65536
#define MAX_LOG 20000
#define MAX_OUTPUT (8 << 20)
#define MAX_STREAMS 8
#define MAX_ACKS 64
#define ACK_DELAY_MS 20
#define DATA_REPORT_SIZE 64
#define ANSWER_BYTES_PER_REPORT 59

/* ---------------------------------------------------------------------- */
/* Devices as data */

#define COUNT(a) ((int)(sizeof(a) / sizeof((a)[0])))
#define DESCRIPTOR(a) a, sizeof(a)

struct log_entry {
    int64_t t_ms;
    char kind[16];
    uint16_t len;
    uint8_t *data;
};

struct device {
    const char *name;
    uint16_t product_id;
    uint8_t device_id;  /* byte 1 of its acknowledgements */
    int feature_device; /* families 0x80/0x81; else an output-report device */
    int attached_at_start;
    const unsigned char *descriptor;
    size_t descriptor_size;

    int fd; /* its /dev/uhid; -1 while unplugged */
    unsigned generation;
    int ready; /* a feature query request has arrived */
    struct log_entry *log;
    int nlog;
};

static struct device devices[] = {
    {"fa60", 0xFA60, 1, 1, 1, DESCRIPTOR(orvex_feature_device_descriptor), -1, 0, 0, NULL, 0},
    {"fa60b", 0xFA60, 7, 1, 0, DESCRIPTOR(orvex_feature_device_descriptor), -1, 0, 0, NULL, 0},
    {"fa65", 0xFA65, 2, 0, 1, DESCRIPTOR(orvex_receiver_descriptor), -1, 0, 0, NULL, 0},
    {"fa70", 0xFA70, 3, 1, 1, DESCRIPTOR(orvex_feature_device_descriptor), -1, 0, 0, NULL, 0},
    {"fa71", 0xFA71, 4, 0, 1, DESCRIPTOR(orvex_output_device_descriptor), -1, 0, 0, NULL, 0},
};

/* ---------------------------------------------------------------------- */
/* Small helpers */

static struct timespec g_start;

static int64_t now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)(t.tv_sec - g_start.tv_sec) * 1000 + (t.tv_nsec - g_start.tv_nsec) / 1000000;
}

static void diag(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    fputs("orvex-uhid-emulator: ", stderr);
    vfprintf(stderr, fmt, args);
    fputc('\n', stderr);
    va_end(args);
}

static int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* -1 for text that is not whole bytes of hex or longer than max. */
static int parse_hex(const char *text, uint8_t *out, size_t max) {
    size_t n = strlen(text);
    if (n % 2 != 0 || n / 2 > max) return -1;
    for (size_t i = 0; i < n / 2; ++i) {
        int hi = hex_value(text[2 * i]), lo = hex_value(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return -1;
        out[i] = (uint8_t)(hi << 4 | lo);
    }
    return (int)(n / 2);
}

static struct device *find_device(const char *name) {
    for (int i = 0; i < COUNT(devices); ++i)
        if (strcmp(devices[i].name, name) == 0) return &devices[i];
    return NULL;
}

static void record(struct device *d, const char *kind, const uint8_t *data, size_t len) {
    if (d->log == NULL) d->log = calloc(MAX_LOG, sizeof *d->log);
    if (d->log == NULL) return;
    if (d->nlog == MAX_LOG) {
        /* Long runs keep the newest half. */
        for (int i = 0; i < MAX_LOG / 2; ++i) free(d->log[i].data);
        memmove(d->log, d->log + MAX_LOG / 2, (MAX_LOG - MAX_LOG / 2) * sizeof *d->log);
        d->nlog -= MAX_LOG / 2;
    }
    struct log_entry *e = &d->log[d->nlog];
    e->t_ms = now_ms();
    snprintf(e->kind, sizeof e->kind, "%s", kind);
    e->len = (uint16_t)len;
    e->data = NULL;
    if (len > 0) {
        e->data = malloc(len);
        if (e->data == NULL) return;
        memcpy(e->data, data, len);
    }
    ++d->nlog;
}

static void clear_log(struct device *d) {
    for (int i = 0; i < d->nlog; ++i) free(d->log[i].data);
    d->nlog = 0;
}

/* ---------------------------------------------------------------------- */
/* uhid */

static int write_event(struct device *d, const struct uhid_event *ev) {
    if (d->fd < 0) return -1;
    if (write(d->fd, ev, sizeof *ev) != (ssize_t)sizeof *ev) return -1;
    return 0;
}

static int plug(struct device *d) {
    if (d->fd >= 0) return 0;
    int fd = open("/dev/uhid", O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    static struct uhid_event ev;
    memset(&ev, 0, sizeof ev);
    ev.type = UHID_CREATE2;
    snprintf((char *)ev.u.create2.name, sizeof ev.u.create2.name, "Orvex %s", d->name);
    snprintf((char *)ev.u.create2.phys, sizeof ev.u.create2.phys, "orvex-uhid-emulator/%s", d->name);
    /* The name in HID_UNIQ tells the devices' nodes apart in sysfs. */
    snprintf((char *)ev.u.create2.uniq, sizeof ev.u.create2.uniq, "%s", d->name);
    memcpy(ev.u.create2.rd_data, d->descriptor, d->descriptor_size);
    ev.u.create2.rd_size = (uint16_t)d->descriptor_size;
    ev.u.create2.bus = BUS_USB;
    ev.u.create2.vendor = VENDOR_ID;
    ev.u.create2.product = d->product_id;
    ev.u.create2.version = 0x0100;
    d->fd = fd;
    if (write_event(d, &ev) != 0) {
        int saved = errno;
        close(fd);
        d->fd = -1;
        errno = saved;
        return -1;
    }
    d->ready = 0;
    return 0;
}

static void unplug(struct device *d) {
    if (d->fd < 0) return;
    static struct uhid_event ev;
    memset(&ev, 0, sizeof ev);
    ev.type = UHID_DESTROY;
    write_event(d, &ev);
    close(d->fd);
    d->fd = -1;
    /* Acknowledgements still pending belong to the device that went away. */
    ++d->generation;
}

/* The whole length of the input report with this id, id included, from the
 * device's report descriptor; 0 when it declares no such report. */
static size_t declared_input_length(const struct device *d, uint8_t id) {
    return orvex_declared_report_length(d->descriptor, d->descriptor_size, ORVEX_HID_INPUT, id);
}

/* A real device always sends its reports whole, and the kernel drops shorter
 * ones: the rest is zeros. */
static int send_input(struct device *d, const uint8_t *data, size_t len) {
    static struct uhid_event ev;
    memset(&ev, 0, sizeof ev);
    ev.type = UHID_INPUT2;
    const size_t whole = declared_input_length(d, data[0]);
    ev.u.input2.size = (uint16_t)(len > whole ? len : whole);
    memcpy(ev.u.input2.data, data, len);
    return write_event(d, &ev);
}

struct pending_ack {
    int active;
    struct device *device;
    unsigned generation;
    int64_t due;
};
static struct pending_ack acks[MAX_ACKS];

struct stream {
    int active;
    struct device *device;
    uint8_t data[DATA_REPORT_SIZE];
    size_t len;
    int period_ms;
    int64_t next;
};
static struct stream streams[MAX_STREAMS];

static void schedule_ack(struct device *d) {
    for (int i = 0; i < MAX_ACKS; ++i) {
        if (acks[i].active) continue;
        acks[i] = (struct pending_ack){1, d, d->generation, now_ms() + ACK_DELAY_MS};
        return;
    }
    diag("too many acknowledgements pending on %s; one is lost", d->name);
}

/* A 12-byte checksummed query request of families 0x83 and 0x85. */
static int is_query_request(const uint8_t *data, size_t len) {
    if (len < 12 || data[0] != 0x04 || data[1] != 0x0C || data[2] != 0xA0) return 0;
    unsigned sum = 0;
    for (int i = 0; i < 10; ++i) sum += data[i];
    return (sum & 0xFFFF) == ((unsigned)data[10] << 8 | data[11]);
}

static uint8_t answer_byte(uint8_t code, size_t i) {
    return i == 0 ? code : (uint8_t)i;
}

/* The device's other collections keep reporting while it answers: one report
 * of each of its streams goes before each answer report. */
static void send_stream_reports(struct device *d) {
    for (int i = 0; i < MAX_STREAMS; ++i)
        if (streams[i].active && streams[i].device == d) send_input(d, streams[i].data, streams[i].len);
}

static void answer_output_query(struct device *d, uint8_t code) {
    uint8_t report[DATA_REPORT_SIZE] = {0x04, 0x06, 0xC0, 0x01};
    send_stream_reports(d);
    send_input(d, report, sizeof report);
    const struct orvex_query_code *q = orvex_find_query_code(code);
    const int count = q ? q->answer_reports : 1;
    for (int k = 0; k < count; ++k) {
        memset(report, 0, sizeof report);
        report[0] = 0x04;
        report[1] = DATA_REPORT_SIZE;
        report[2] = (uint8_t)k;
        for (int i = 0; i < ANSWER_BYTES_PER_REPORT; ++i)
            report[3 + i] = answer_byte(code, (size_t)(k * ANSWER_BYTES_PER_REPORT + i));
        send_stream_reports(d);
        send_input(d, report, sizeof report);
    }
}

static void on_set_report(struct device *d, const struct uhid_set_report_req *req) {
    static struct uhid_event reply;
    memset(&reply, 0, sizeof reply);
    reply.type = UHID_SET_REPORT_REPLY;
    reply.u.set_report_reply.id = req->id;
    const size_t len = req->size < UHID_DATA_MAX ? req->size : UHID_DATA_MAX;
    if (req->rtype != UHID_FEATURE_REPORT || !d->feature_device) {
        record(d, "refused", req->data, len);
        reply.u.set_report_reply.err = EIO;
    } else {
        record(d, "feature", req->data, len);
        if (req->rnum == 0xA0) {
            d->ready = 1;
        } else if (req->rnum != 0x0C) {
            schedule_ack(d);
        }
    }
    write_event(d, &reply);
}

static void on_get_report(struct device *d, const struct uhid_get_report_req *req) {
    static struct uhid_event reply;
    memset(&reply, 0, sizeof reply);
    reply.type = UHID_GET_REPORT_REPLY;
    reply.u.get_report_reply.id = req->id;
    /* The query status (0xA0) and every answer at its declared length. */
    const int len = (int)orvex_declared_report_length(d->descriptor, d->descriptor_size, ORVEX_HID_FEATURE, req->rnum);
    if (req->rtype != UHID_FEATURE_REPORT || !d->feature_device || len == 0) {
        uint8_t id = req->rnum;
        record(d, "refused", &id, 1);
        reply.u.get_report_reply.err = EIO;
    } else {
        uint8_t *data = reply.u.get_report_reply.data;
        if (req->rnum == 0xA0) {
            data[0] = 0xA0;
            data[1] = (uint8_t)(d->ready ? 1 : 0);
        } else {
            for (int i = 0; i < len; ++i) data[i] = answer_byte(req->rnum, (size_t)i);
        }
        reply.u.get_report_reply.size = (uint16_t)len;
        record(d, "get_feature", data, (size_t)len);
    }
    write_event(d, &reply);
}

static void on_uhid_readable(struct device *d) {
    static struct uhid_event ev;
    const ssize_t n = read(d->fd, &ev, sizeof ev);
    if (n < 0) {
        if (errno != EAGAIN && errno != EINTR) diag("reading %s: %s", d->name, strerror(errno));
        return;
    }
    if (n < (ssize_t)sizeof ev.type) return;
    switch (ev.type) {
        case UHID_START:
            record(d, "start", NULL, 0);
            break;
        case UHID_STOP:
            record(d, "stop", NULL, 0);
            break;
        case UHID_OPEN:
            record(d, "open", NULL, 0);
            break;
        case UHID_CLOSE:
            record(d, "close", NULL, 0);
            break;
        case UHID_OUTPUT: {
            const size_t len = ev.u.output.size < UHID_DATA_MAX ? ev.u.output.size : UHID_DATA_MAX;
            record(d, "output", ev.u.output.data, len);
            if (!d->feature_device && is_query_request(ev.u.output.data, len))
                answer_output_query(d, ev.u.output.data[3]);
            break;
        }
        case UHID_GET_REPORT:
            on_get_report(d, &ev.u.get_report);
            break;
        case UHID_SET_REPORT:
            on_set_report(d, &ev.u.set_report);
            break;
        default:
            break;
    }
}

/* The device's hidraw node ("hidraw3"), found by its HID_UNIQ; "-" when none. */
static void find_node(const struct device *d, char *out, size_t size) {
    snprintf(out, size, "-");
    if (d->fd < 0) return;
    DIR *dir = opendir("/sys/class/hidraw");
    if (dir == NULL) return;
    char want[96];
    snprintf(want, sizeof want, "HID_UNIQ=%s\n", d->name);
    struct dirent *e;
    while ((e = readdir(dir)) != NULL) {
        if (strncmp(e->d_name, "hidraw", 6) != 0) continue;
        char path[300], text[4096];
        snprintf(path, sizeof path, "/sys/class/hidraw/%s/device/uevent", e->d_name);
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        const ssize_t n = read(fd, text, sizeof text - 1);
        close(fd);
        if (n <= 0) continue;
        text[n] = '\0';
        if (strstr(text, want) != NULL) {
            snprintf(out, size, "%s", e->d_name);
            break;
        }
    }
    closedir(dir);
}

/* ---------------------------------------------------------------------- */
/* Processes the suite starts in the guest */

struct buffer {
    char *data;
    size_t len;
};

struct proc {
    const char *name;
    pid_t pid;
    int running;
    int status;
    int fds[2]; /* its stdout and stderr, our ends */
    struct buffer output[2];
};

static struct proc procs[] = {
    {"bridge", -1, 0, -1, {-1, -1}, {{NULL, 0}, {NULL, 0}}},
    {"nobody", -1, 0, -1, {-1, -1}, {{NULL, 0}, {NULL, 0}}},
    {"settle", -1, 0, -1, {-1, -1}, {{NULL, 0}, {NULL, 0}}},
};

static const char *g_bridge = "/opt/orvex/orvex-bridge";
static const char *g_udevadm = "/bin/udevadm";

static struct proc *find_proc(const char *name) {
    for (int i = 0; i < COUNT(procs); ++i)
        if (strcmp(procs[i].name, name) == 0) return &procs[i];
    return NULL;
}

static void append(struct buffer *b, const char *data, size_t len) {
    if (b->len + len > MAX_OUTPUT) return;
    char *grown = realloc(b->data, b->len + len + 1);
    if (grown == NULL) return;
    b->data = grown;
    memcpy(b->data + b->len, data, len);
    b->len += len;
    b->data[b->len] = '\0';
}

static void drain(struct proc *p, int which) {
    char chunk[65536];
    while (p->fds[which] >= 0) {
        const ssize_t n = read(p->fds[which], chunk, sizeof chunk);
        if (n > 0) {
            append(&p->output[which], chunk, (size_t)n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        close(p->fds[which]);
        p->fds[which] = -1;
    }
}

static int start_proc(struct proc *p, char **tokens, int ntokens, char *error, size_t error_size) {
    if (p->running) {
        snprintf(error, error_size, "%s is running", p->name);
        return -1;
    }
    const int unprivileged = strcmp(p->name, "nobody") == 0;
    const char *runtime_dir = unprivileged ? "/tmp/orvex-nobody" : "/run/user/0";
    mkdir("/run/user", 0755);
    mkdir(runtime_dir, 0700);
    if (unprivileged && chown(runtime_dir, NOBODY, NOBODY) != 0) {
        snprintf(error, error_size, "chown %s: %s", runtime_dir, strerror(errno));
        return -1;
    }

    char *env[40], *argv[72];
    int nenv = 0, nargv = 0;
    static char runtime_var[64];
    snprintf(runtime_var, sizeof runtime_var, "XDG_RUNTIME_DIR=%s", runtime_dir);
    env[nenv++] = "PATH=/bin:/usr/bin";
    env[nenv++] = unprivileged ? "HOME=/nonexistent" : "HOME=/root";
    env[nenv++] = runtime_var;
    if (strcmp(p->name, "settle") == 0) {
        argv[nargv++] = "udevadm";
        argv[nargv++] = "settle";
    } else {
        argv[nargv++] = (char *)g_bridge;
    }
    int i = 0;
    for (; i < ntokens && tokens[i][0] != '-' && strchr(tokens[i], '=') != NULL && nenv < COUNT(env) - 1; ++i)
        env[nenv++] = tokens[i];
    for (; i < ntokens && nargv < COUNT(argv) - 1; ++i) argv[nargv++] = tokens[i];
    env[nenv] = NULL;
    argv[nargv] = NULL;

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        snprintf(error, error_size, "pipe: %s", strerror(errno));
        return -1;
    }
    if (pipe2(err, O_CLOEXEC) != 0) {
        snprintf(error, error_size, "pipe: %s", strerror(errno));
        close(out[0]);
        close(out[1]);
        return -1;
    }
    const char *program = strcmp(p->name, "settle") == 0 ? g_udevadm : g_bridge;
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        if (null > 2) close(null);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (unprivileged && (setgroups(0, NULL) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0)) {
            fprintf(stderr, "orvex-uhid-emulator: cannot become uid %d: %s\n", NOBODY, strerror(errno));
            _exit(126);
        }
        signal(SIGPIPE, SIG_DFL);
        execve(program, argv, env);
        fprintf(stderr, "orvex-uhid-emulator: cannot run %s: %s\n", program, strerror(errno));
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        snprintf(error, error_size, "fork: %s", strerror(errno));
        close(out[0]);
        close(err[0]);
        return -1;
    }
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    fcntl(err[0], F_SETFL, O_NONBLOCK);
    for (int w = 0; w < 2; ++w) {
        free(p->output[w].data);
        p->output[w] = (struct buffer){NULL, 0};
    }
    p->fds[0] = out[0];
    p->fds[1] = err[0];
    p->pid = pid;
    p->running = 1;
    p->status = -1;
    return 0;
}

static void reap(void) {
    for (int i = 0; i < COUNT(procs); ++i) {
        struct proc *p = &procs[i];
        if (!p->running) continue;
        int status = 0;
        if (waitpid(p->pid, &status, WNOHANG) != p->pid) continue;
        /* What it wrote last is still in the pipes. */
        drain(p, 0);
        drain(p, 1);
        p->running = 0;
        p->status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
}

/* ---------------------------------------------------------------------- */
/* Control connections */

enum wait_kind { NOT_WAITING, WAIT_EXIT, WAIT_STOP };

struct client {
    int fd;
    char in[MAX_LINE];
    size_t len;
    enum wait_kind waiting;
    struct proc *proc;
    int64_t deadline;
    int killed;
};
static struct client clients[MAX_CLIENTS];

static struct buffer g_reply;
static int g_poweroff;

static void reply(const char *fmt, ...) {
    static char line[2 * UHID_DATA_MAX + 256];
    va_list args;
    va_start(args, fmt);
    const int n = vsnprintf(line, sizeof line - 1, fmt, args);
    va_end(args);
    const size_t len = n < 0 ? 0 : (size_t)n < sizeof line - 1 ? (size_t)n : sizeof line - 2;
    line[len] = '\n';
    append(&g_reply, line, len + 1);
}

static void reply_hex(const char *prefix, const uint8_t *data, size_t len) {
    static char text[2 * UHID_DATA_MAX + 1];
    for (size_t i = 0; i < len && i < UHID_DATA_MAX; ++i) snprintf(text + 2 * i, 3, "%02x", data[i]);
    reply("%s %s", prefix, len == 0 ? "-" : text);
}

static void flush_reply(struct client *c) {
    size_t sent = 0;
    while (c->fd >= 0 && sent < g_reply.len) {
        const ssize_t n = send(c->fd, g_reply.data + sent, g_reply.len - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close(c->fd);
            c->fd = -1;
            break;
        }
        sent += (size_t)n;
    }
    g_reply.len = 0;
}

/* Lines of a process's output; control bytes as \xNN so that a line stays a
 * line. */
static void reply_output(const struct buffer *b) {
    static char line[16384];
    size_t at = 0;
    while (at < b->len) {
        size_t n = 0;
        while (at < b->len && b->data[at] != '\n') {
            const unsigned char ch = (unsigned char)b->data[at++];
            if (n + 5 >= sizeof line) continue;
            if (ch < 0x20 || ch >= 0x7F)
                n += (size_t)snprintf(line + n, 5, "\\x%02x", ch);
            else
                line[n++] = (char)ch;
        }
        ++at;
        line[n] = '\0';
        reply("- %s", line);
    }
}

static void cmd_devices(void) {
    for (int i = 0; i < COUNT(devices); ++i) {
        char node[sizeof(((struct dirent *)0)->d_name)];
        find_node(&devices[i], node, sizeof node);
        reply("- %s %d %s", devices[i].name, devices[i].fd >= 0, node);
    }
    reply("ok");
}

static void cmd_stream(char **t, int n) {
    if (n == 2 && strcmp(t[1], "off") == 0) {
        memset(streams, 0, sizeof streams);
        reply("ok");
        return;
    }
    struct device *d = n >= 3 ? find_device(t[1]) : NULL;
    if (d == NULL) {
        reply("err usage: stream NAME HEX PERIOD_MS | stream NAME off | stream off");
        return;
    }
    if (strcmp(t[2], "off") == 0) {
        for (int i = 0; i < MAX_STREAMS; ++i)
            if (streams[i].device == d) streams[i].active = 0;
        reply("ok");
        return;
    }
    uint8_t data[DATA_REPORT_SIZE];
    const int len = parse_hex(t[2], data, sizeof data);
    const int period = n >= 4 ? atoi(t[3]) : 0;
    if (len <= 0 || period <= 0) {
        reply("err stream needs a report of 1 to %d bytes and a period", DATA_REPORT_SIZE);
        return;
    }
    for (int i = 0; i < MAX_STREAMS; ++i) {
        if (streams[i].active) continue;
        streams[i] = (struct stream){1, d, {0}, (size_t)len, period, now_ms()};
        memcpy(streams[i].data, data, (size_t)len);
        reply("ok");
        return;
    }
    reply("err too many streams");
}

static void handle_line(struct client *c, char *line) {
    char *t[72];
    int n = 0;
    for (char *save = NULL, *tok = strtok_r(line, " \t\r", &save); tok && n < COUNT(t);
         tok = strtok_r(NULL, " \t\r", &save))
        t[n++] = tok;
    if (n == 0) {
        reply("err empty request");
        return;
    }
    const char *cmd = t[0];
    struct device *d = n >= 2 ? find_device(t[1]) : NULL;
    struct proc *p = n >= 2 ? find_proc(t[1]) : NULL;

    if (strcmp(cmd, "ping") == 0) {
        reply("ok pong");
    } else if (strcmp(cmd, "devices") == 0) {
        cmd_devices();
    } else if (strcmp(cmd, "plug") == 0 && d) {
        if (d->fd >= 0)
            reply("err %s is plugged", d->name);
        else if (plug(d) != 0)
            reply("err plug %s: %s", d->name, strerror(errno));
        else
            reply("ok");
    } else if (strcmp(cmd, "unplug") == 0 && d) {
        unplug(d);
        reply("ok");
    } else if (strcmp(cmd, "report") == 0 && d && n == 3) {
        uint8_t data[UHID_DATA_MAX];
        const int len = parse_hex(t[2], data, sizeof data);
        if (len <= 0)
            reply("err report needs hex bytes");
        else if (send_input(d, data, (size_t)len) != 0)
            reply("err report to %s: %s", d->name, d->fd < 0 ? "unplugged" : strerror(errno));
        else
            reply("ok");
    } else if (strcmp(cmd, "stream") == 0) {
        cmd_stream(t, n);
    } else if (strcmp(cmd, "log") == 0 && d) {
        for (int i = 0; i < d->nlog; ++i) {
            char prefix[48];
            snprintf(prefix, sizeof prefix, "- %lld %s", (long long)d->log[i].t_ms, d->log[i].kind);
            reply_hex(prefix, d->log[i].data, d->log[i].len);
        }
        reply("ok");
    } else if (strcmp(cmd, "clear") == 0 && d) {
        clear_log(d);
        reply("ok");
    } else if (strcmp(cmd, "start") == 0 && p) {
        char error[256];
        if (start_proc(p, t + 2, n - 2, error, sizeof error) != 0)
            reply("err %s", error);
        else
            reply("ok %d", (int)p->pid);
    } else if (strcmp(cmd, "output") == 0 && p && n == 3 && (strcmp(t[2], "out") == 0 || strcmp(t[2], "err") == 0)) {
        drain(p, 0);
        drain(p, 1);
        reply_output(&p->output[strcmp(t[2], "out") == 0 ? 0 : 1]);
        reply("ok");
    } else if ((strcmp(cmd, "wait") == 0 && p && n == 3) || (strcmp(cmd, "stop") == 0 && p)) {
        const int stop = strcmp(cmd, "stop") == 0;
        if (!p->running) {
            if (p->status < 0)
                reply("err %s was not started", p->name);
            else
                reply("ok %d", p->status);
            return;
        }
        if (stop) kill(p->pid, SIGTERM);
        c->waiting = stop ? WAIT_STOP : WAIT_EXIT;
        c->proc = p;
        c->killed = 0;
        c->deadline = now_ms() + (stop ? 30000 : 1000LL * atoi(t[2]));
    } else if (strcmp(cmd, "poweroff") == 0) {
        reply("ok");
        g_poweroff = 1;
    } else {
        reply("err unknown or malformed request: %s", cmd);
    }
}

/* A wait ends when its process has ended; a stop that is not heeded within
 * its time becomes a kill. */
static void resolve_wait(struct client *c) {
    if (c->waiting == NOT_WAITING) return;
    struct proc *p = c->proc;
    if (!p->running) {
        reply("ok %d", p->status);
    } else if (now_ms() < c->deadline) {
        return;
    } else if (c->waiting == WAIT_EXIT) {
        reply("err %s is still running", p->name);
    } else if (!c->killed) {
        kill(p->pid, SIGKILL);
        c->killed = 1;
        c->deadline = now_ms() + 10000;
        return;
    } else {
        reply("err %s does not end", p->name);
    }
    c->waiting = NOT_WAITING;
    flush_reply(c);
}

static void process_lines(struct client *c) {
    while (c->fd >= 0 && c->waiting == NOT_WAITING && !g_poweroff) {
        char *end = memchr(c->in, '\n', c->len);
        if (end == NULL) {
            if (c->len == sizeof c->in) {
                reply("err request longer than %d bytes", MAX_LINE);
                c->len = 0;
                flush_reply(c);
            }
            return;
        }
        *end = '\0';
        handle_line(c, c->in);
        const size_t used = (size_t)(end - c->in) + 1;
        memmove(c->in, c->in + used, c->len - used);
        c->len -= used;
        flush_reply(c);
    }
}

static void on_client_readable(struct client *c) {
    const ssize_t n = recv(c->fd, c->in + c->len, sizeof c->in - c->len, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
        close(c->fd);
        c->fd = -1;
        c->waiting = NOT_WAITING;
        return;
    }
    c->len += (size_t)n;
    process_lines(c);
}

static int listen_on(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in addr = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, (struct sockaddr *)&addr, sizeof addr) != 0 || listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

/* ---------------------------------------------------------------------- */

static void run_timers(void) {
    const int64_t now = now_ms();
    for (int i = 0; i < MAX_ACKS; ++i) {
        struct pending_ack *a = &acks[i];
        if (!a->active || a->due > now) continue;
        a->active = 0;
        if (a->device->fd < 0 || a->device->generation != a->generation) continue;
        const uint8_t ack[5] = {0x05, a->device->device_id, 0x50, 0x00, 0x00};
        send_input(a->device, ack, sizeof ack);
    }
    for (int i = 0; i < MAX_STREAMS; ++i) {
        struct stream *s = &streams[i];
        if (!s->active || s->next > now) continue;
        if (s->device->fd >= 0) send_input(s->device, s->data, s->len);
        /* A late turn does not make up for the reports it missed. */
        s->next = s->next + s->period_ms > now ? s->next + s->period_ms : now + s->period_ms;
    }
}

static int poll_timeout(void) {
    int64_t next = now_ms() + 1000;
    for (int i = 0; i < MAX_ACKS; ++i)
        if (acks[i].active && acks[i].due < next) next = acks[i].due;
    for (int i = 0; i < MAX_STREAMS; ++i)
        if (streams[i].active && streams[i].next < next) next = streams[i].next;
    int64_t timeout = next - now_ms();
    /* Children are reaped by looking; waits and stops resolve at that pace. */
    for (int i = 0; i < COUNT(procs); ++i)
        if (procs[i].running && timeout > 50) timeout = 50;
    for (int i = 0; i < MAX_CLIENTS; ++i)
        if (clients[i].fd >= 0 && clients[i].waiting != NOT_WAITING && timeout > 50) timeout = 50;
    return timeout < 0 ? 0 : (int)timeout;
}

static void shut_down(void) {
    for (int i = 0; i < COUNT(procs); ++i)
        if (procs[i].running) kill(procs[i].pid, SIGTERM);
    for (int waited = 0; waited < 200; ++waited) {
        reap();
        int running = 0;
        for (int i = 0; i < COUNT(procs); ++i) running |= procs[i].running;
        if (!running) break;
        usleep(50000);
    }
    for (int i = 0; i < COUNT(procs); ++i)
        if (procs[i].running) kill(procs[i].pid, SIGKILL);
    reap();
    for (int i = 0; i < COUNT(devices); ++i) unplug(&devices[i]);
}

int main(int argc, char **argv) {
    int port = 7000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--control-port") == 0)
            port = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--bridge") == 0)
            g_bridge = argv[i + 1];
        else if (strcmp(argv[i], "--udevadm") == 0)
            g_udevadm = argv[i + 1];
        else {
            diag("unknown option %s", argv[i]);
            return 2;
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &g_start);
    signal(SIGPIPE, SIG_IGN);
    for (int i = 0; i < MAX_CLIENTS; ++i) clients[i].fd = -1;

    for (int i = 0; i < COUNT(devices); ++i)
        if (devices[i].attached_at_start && plug(&devices[i]) != 0) {
            diag("cannot create %s on /dev/uhid: %s", devices[i].name, strerror(errno));
            return 1;
        }
    const int listener = listen_on(port);
    if (listener < 0) {
        diag("cannot listen on port %d: %s", port, strerror(errno));
        return 1;
    }
    diag("listening on port %d", port);

    while (!g_poweroff) {
        struct pollfd fds[1 + MAX_CLIENTS + COUNT(devices) + 2 * COUNT(procs)];
        void *owners[COUNT(fds)];
        int kinds[COUNT(fds)];
        int nfds = 0;
#define WATCH(fd_, kind_, owner_) \
    (fds[nfds] = (struct pollfd){(fd_), POLLIN, 0}, kinds[nfds] = (kind_), owners[nfds] = (owner_), ++nfds)
        WATCH(listener, 0, NULL);
        for (int i = 0; i < MAX_CLIENTS; ++i)
            if (clients[i].fd >= 0) WATCH(clients[i].fd, 1, &clients[i]);
        for (int i = 0; i < COUNT(devices); ++i)
            if (devices[i].fd >= 0) WATCH(devices[i].fd, 2, &devices[i]);
        for (int i = 0; i < COUNT(procs); ++i)
            for (int w = 0; w < 2; ++w)
                if (procs[i].fds[w] >= 0) WATCH(procs[i].fds[w], 3 + w, &procs[i]);
#undef WATCH

        const int ready = poll(fds, (nfds_t)nfds, poll_timeout());
        if (ready < 0 && errno != EINTR) {
            diag("poll: %s", strerror(errno));
            break;
        }
        for (int i = 0; ready > 0 && i < nfds; ++i) {
            if (fds[i].revents == 0) continue;
            switch (kinds[i]) {
                case 0: {
                    const int fd = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
                    if (fd < 0) break;
                    struct client *free_slot = NULL;
                    for (int k = 0; k < MAX_CLIENTS && !free_slot; ++k)
                        if (clients[k].fd < 0) free_slot = &clients[k];
                    if (free_slot == NULL) {
                        close(fd);
                        break;
                    }
                    free_slot->fd = fd;
                    free_slot->len = 0;
                    free_slot->waiting = NOT_WAITING;
                    break;
                }
                case 1:
                    on_client_readable(owners[i]);
                    break;
                case 2: {
                    struct device *d = owners[i];
                    if (d->fd >= 0) on_uhid_readable(d);
                    break;
                }
                default:
                    drain(owners[i], kinds[i] - 3);
                    break;
            }
        }
        run_timers();
        reap();
        for (int i = 0; i < MAX_CLIENTS; ++i) {
            if (clients[i].fd < 0) continue;
            resolve_wait(&clients[i]);
            process_lines(&clients[i]);
        }
    }

    shut_down();
    for (int i = 0; i < MAX_CLIENTS; ++i)
        if (clients[i].fd >= 0) close(clients[i].fd);
    close(listener);
    return 0;
}
