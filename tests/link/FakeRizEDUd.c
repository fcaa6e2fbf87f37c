/* A driver for the binding tests: one device, handle 42, that gives back what was written. */
#include <string.h>

#include "transfer/RizEDUdApi.h"

enum { kHandle = 42, kRoom = 4096 };

static unsigned char echo[kRoom];
static int32_t filled;
static int32_t taken;

int32_t RizEDUd_OpenDevice(void) {
    filled = 0;
    taken = 0;
    return kHandle;
}

#ifndef FAKE_RIZEDUD_WITHOUT_CLOSE
int32_t RizEDUd_CloseDevice(int32_t handle) {
    return handle == kHandle ? 1 : 0;
}
#endif

int32_t RizEDUd_ReadDevice(int32_t handle, void* buf, int32_t wanted, int32_t* count,
                           int32_t timeoutMs) {
    int32_t n = filled - taken;
    (void)timeoutMs;
    *count = 0;
    if (handle != kHandle || n == 0) {
        return 0;
    }
    if (n > wanted) {
        n = wanted;
    }
    memcpy(buf, echo + taken, (size_t)n);
    taken += n;
    *count = n;
    return 1;
}

int32_t RizEDUd_WriteDevice(int32_t handle, const void* data, int32_t len, int32_t* count,
                            int32_t timeoutMs) {
    (void)timeoutMs;
    if (handle != kHandle || len < 0 || len > kRoom - filled) {
        *count = 0;
        return 0;
    }
    memcpy(echo + filled, data, (size_t)len);
    filled += len;
    *count = len;
    return 1;
}
