// The four calls of the USB driver as a table, so production binds them to the maker's
// library at run time and tests bind them to fakes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace qf580 {

struct UsbDriver {
    std::function<std::int32_t()> OpenDevice;
    std::function<std::int32_t(std::int32_t handle)> CloseDevice;
    std::function<std::int32_t(std::int32_t handle, void* buf, std::int32_t wanted,
                               std::int32_t* count, std::int32_t timeoutMs)>
        ReadDevice;
    std::function<std::int32_t(std::int32_t handle, const void* data, std::int32_t len,
                               std::int32_t* count, std::int32_t timeoutMs)>
        WriteDevice;
};

inline constexpr const char* kUsbDriverFileName = "librizedud.so";

// Binds the maker's library: first beside the running program, then through the system's
// loader. The table keeps the library loaded for as long as any copy of it lives. Without a
// loadable library (or with one that lacks a call) every call fails harmlessly: open gives
// handle 0, close does nothing.
UsbDriver LoadUsbDriver();

// The same from an explicit path (empty: the search above). Used by tests.
UsbDriver LoadUsbDriverFrom(const std::string& path);

// A table whose calls all fail: open gives 0, read and write give 0, close does nothing.
UsbDriver AbsentUsbDriver();

}  // namespace qf580
