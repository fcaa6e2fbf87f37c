/* qf580-baseline: the least program that speaks the update protocol, as the yardstick of the
 * benchmark. It reads the whole set into memory first, then sends exactly the bytes the
 * worker sends, written in the same groups as with fast transfer on, waits for the same
 * acknowledgements, yields after the START record's and sleeps 1 ms after every other one.
 * It checks nothing it need not: no checksums, no disk change (one-disk sets only).
 *
 * Usage: qf580-baseline --port N [--times FILE] SET
 * It connects to 127.0.0.1 only. With --times it writes "WALL CPU" in seconds, from its
 * start to the END byte of the last pass, for comparison with a host that reports the same.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { kHeaderSize = 56, kRomLineSize = 32, kAckInterval = 64 };

static const char* const kRomLines[] = {
    "QUILLMAR QF580 MAIN ROM       \r\n",
    "QUILLMAR QF580 SUB ROM        \r\n",
    "QUILLMAR QF580 IRIG ROM       \r\n",
};

static int Fail(const char* what) {
    fprintf(stderr, "qf580-baseline: %s\n", what);
    return 1;
}

static double Seconds(struct timespec t) {
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static double CpuSeconds(void) {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return (double)usage.ru_utime.tv_sec + (double)usage.ru_utime.tv_usec / 1e6 +
           (double)usage.ru_stime.tv_sec + (double)usage.ru_stime.tv_usec / 1e6;
}

static int SendAll(int fd, const void* data, size_t len) {
    const unsigned char* p = data;
    while (len > 0) {
        const ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
        if (n <= 0) {
            return 0;
        }
        p += n;
        len -= (size_t)n;
    }
    return 1;
}

static int RecvAll(int fd, unsigned char* buf, size_t len) {
    while (len > 0) {
        const ssize_t n = recv(fd, buf, len, 0);
        if (n <= 0) {
            return 0;
        }
        buf += n;
        len -= (size_t)n;
    }
    return 1;
}

static int RecvByte(int fd, unsigned char expected) {
    unsigned char byte = 0;
    return RecvAll(fd, &byte, 1) && byte == expected;
}

static unsigned char* ReadWhole(const char* path, size_t* size) {
    FILE* f = fopen(path, "rb");
    if (f == NULL) {
        return NULL;
    }
    unsigned char* data = NULL;
    if (fseek(f, 0, SEEK_END) == 0) {
        const long end = ftell(f);
        if (end > 0 && fseek(f, 0, SEEK_SET) == 0) {
            data = malloc((size_t)end);
            if (data != NULL && fread(data, 1, (size_t)end, f) != (size_t)end) {
                free(data);
                data = NULL;
            }
            *size = (size_t)end;
        }
    }
    fclose(f);
    return data;
}

/* Sends the handshake, the header and every pass; 0 when the device answered as it should. */
static int Transfer(int fd, const unsigned char* set, size_t size, int passes) {
    static const unsigned char kHeaderSizeByte = kHeaderSize;
    static const unsigned char kEnd = 0;
    unsigned char ident[10];
    if (!SendAll(fd, ":UP:EXEC\r\n", 10) || !SendAll(fd, "U", 1) || !RecvByte(fd, 0xAA) ||
        !SendAll(fd, "QUILLMAR\r\n", 10) || !RecvAll(fd, ident, sizeof ident) ||
        memcmp(ident, "QUILLMAR\r\n", sizeof ident) != 0 || !SendAll(fd, &kHeaderSizeByte, 1) ||
        !RecvByte(fd, kHeaderSize) || !SendAll(fd, set, kHeaderSize) || !RecvByte(fd, 'Y')) {
        return Fail("handshake or header refused");
    }
    const struct timespec oneMs = {0, 1000000};
    size_t at = kHeaderSize;
    for (int pass = 0; pass < passes; ++pass) {
        /* The records lie back to back in memory, so a batch is a span of the set. */
        size_t batchStart = at;
        for (int index = 0;; ++index) {
            if (at >= size) {
                return Fail("the set ends before its last END record");
            }
            const size_t len = 2 * (size_t)set[at] + 2;
            if (set[at] == 0) {
                if (at > batchStart && !SendAll(fd, set + batchStart, at - batchStart)) {
                    return Fail("send failed");
                }
                if (!SendAll(fd, &kEnd, 1)) {
                    return Fail("send failed");
                }
                ++at;
                break;
            }
            if (len > size - at) {
                return Fail("the set ends inside a record");
            }
            at += len;
            if (index == 0) {
                if (!SendAll(fd, set + batchStart, len) || !RecvByte(fd, 'Y')) {
                    return Fail("START record not acknowledged");
                }
                batchStart = at;
                sched_yield();
            } else if (index % kAckInterval == 1) {
                if (!SendAll(fd, set + batchStart, at - batchStart) || !RecvByte(fd, 'Y')) {
                    return Fail("record not acknowledged");
                }
                batchStart = at;
                nanosleep(&oneMs, NULL);
            }
        }
    }
    return 0;
}

int main(int argc, char** argv) {
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const double cpuStart = CpuSeconds();

    int port = 0;
    const char* times = NULL;
    const char* path = NULL;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
            port = atoi(argv[++i]);
        } else if (strcmp(argv[i], "--times") == 0 && i + 1 < argc) {
            times = argv[++i];
        } else if (path == NULL && argv[i][0] != '-') {
            path = argv[i];
        } else {
            path = NULL;
            break;
        }
    }
    if (path == NULL || port <= 0 || port > 65535) {
        fprintf(stderr, "usage: qf580-baseline --port N [--times FILE] SET\n");
        return 2;
    }

    size_t size = 0;
    unsigned char* set = ReadWhole(path, &size);
    if (set == NULL) {
        return Fail("cannot read the set");
    }
    int passes = 0;
    for (int i = 0; i < 3 && size >= kHeaderSize; ++i) {
        if (memcmp(set, kRomLines[i], kRomLineSize) == 0) {
            passes = i == 0 ? 1 : 2;
        }
    }
    if (passes == 0) {
        free(set);
        return Fail("not an update set");
    }

    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in device;
    memset(&device, 0, sizeof device);
    device.sin_family = AF_INET;
    device.sin_port = htons((uint16_t)port);
    device.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int result = 1;
    if (fd < 0 || connect(fd, (const struct sockaddr*)&device, sizeof device) != 0) {
        Fail("cannot connect to 127.0.0.1");
    } else {
        result = Transfer(fd, set, size, passes);
    }
    if (fd >= 0) {
        close(fd);
    }
    free(set);

    if (times != NULL && result == 0) {
        struct timespec end;
        clock_gettime(CLOCK_MONOTONIC, &end);
        FILE* f = fopen(times, "w");
        if (f != NULL) {
            fprintf(f, "%.6f %.6f\n", Seconds(end) - Seconds(start), CpuSeconds() - cpuStart);
            fclose(f);
        }
    }
    return result;
}
