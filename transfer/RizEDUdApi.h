/* The C interface of the maker's USB driver library, librizedud.so. The library finds the
   device by itself; handles, counts, time limits and results are 32-bit integers. */
#ifndef QF580_RIZEDUD_API_H
#define QF580_RIZEDUD_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Handle of the device; 0 = failure. */
int32_t RizEDUd_OpenDevice(void);
/* Result not looked at; a zero handle must be harmless. */
int32_t RizEDUd_CloseDevice(int32_t handle);
/* Non-zero = success; *count receives the number of bytes placed in buf. */
int32_t RizEDUd_ReadDevice(int32_t handle, void* buf, int32_t wanted, int32_t* count,
                           int32_t timeoutMs);
/* Non-zero = success; *count is preset to `len` and receives the number written. */
int32_t RizEDUd_WriteDevice(int32_t handle, const void* data, int32_t len, int32_t* count,
                            int32_t timeoutMs);

typedef int32_t (*RizEDUd_OpenDevice_fn)(void);
typedef int32_t (*RizEDUd_CloseDevice_fn)(int32_t);
typedef int32_t (*RizEDUd_ReadDevice_fn)(int32_t, void*, int32_t, int32_t*, int32_t);
typedef int32_t (*RizEDUd_WriteDevice_fn)(int32_t, const void*, int32_t, int32_t*, int32_t);

#ifdef __cplusplus
}
#endif

#endif
