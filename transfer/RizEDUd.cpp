#include "transfer/RizEDUd.h"

#include <dlfcn.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

#include "transfer/RizEDUdApi.h"

namespace qf580 {

namespace {

// The loaded library; the last copy of the table that captured it unloads it.
using Library = std::shared_ptr<void>;

Library OpenLibrary(const std::string& pathOrName) {
    void* handle = ::dlopen(pathOrName.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        return nullptr;
    }
    return Library(handle, [](void* h) { ::dlclose(h); });
}

template <typename Fn>
Fn Symbol(const Library& library, const char* name) {
    return reinterpret_cast<Fn>(::dlsym(library.get(), name));
}

// The full table, or nothing when the library lacks one of the four calls: half a driver
// would fail later and less clearly.
std::optional<UsbDriver> Bind(const Library& library) {
    if (!library) {
        return std::nullopt;
    }
    const auto open = Symbol<RizEDUd_OpenDevice_fn>(library, "RizEDUd_OpenDevice");
    const auto close = Symbol<RizEDUd_CloseDevice_fn>(library, "RizEDUd_CloseDevice");
    const auto read = Symbol<RizEDUd_ReadDevice_fn>(library, "RizEDUd_ReadDevice");
    const auto write = Symbol<RizEDUd_WriteDevice_fn>(library, "RizEDUd_WriteDevice");
    if (open == nullptr || close == nullptr || read == nullptr || write == nullptr) {
        return std::nullopt;
    }
    UsbDriver driver;
    driver.OpenDevice = [library, open]() { return open(); };
    driver.CloseDevice = [library, close](std::int32_t handle) { return close(handle); };
    driver.ReadDevice = [library, read](std::int32_t handle, void* buf, std::int32_t wanted,
                                        std::int32_t* count, std::int32_t timeoutMs) {
        return read(handle, buf, wanted, count, timeoutMs);
    };
    driver.WriteDevice = [library, write](std::int32_t handle, const void* data, std::int32_t len,
                                          std::int32_t* count, std::int32_t timeoutMs) {
        return write(handle, data, len, count, timeoutMs);
    };
    return driver;
}

// The folder of the running program, empty when it cannot be told.
std::filesystem::path ProgramDir() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : program.parent_path();
}

}  // namespace

UsbDriver LoadUsbDriver() {
    try {
        const std::filesystem::path dir = ProgramDir();
        if (!dir.empty()) {
            const std::filesystem::path beside = dir / kUsbDriverFileName;
            std::error_code error;
            if (std::filesystem::exists(beside, error)) {
                if (auto driver = Bind(OpenLibrary(beside.string()))) {
                    return std::move(*driver);
                }
            }
        }
        // A bare name: the system's loader searches its own folders.
        if (auto driver = Bind(OpenLibrary(kUsbDriverFileName))) {
            return std::move(*driver);
        }
    } catch (...) {
    }
    return AbsentUsbDriver();
}

UsbDriver LoadUsbDriverFrom(const std::string& path) {
    if (path.empty()) {
        return LoadUsbDriver();
    }
    try {
        if (auto driver = Bind(OpenLibrary(path))) {
            return std::move(*driver);
        }
    } catch (...) {
    }
    return AbsentUsbDriver();
}

UsbDriver AbsentUsbDriver() {
    UsbDriver driver;
    driver.OpenDevice = []() -> std::int32_t { return 0; };
    driver.CloseDevice = [](std::int32_t) -> std::int32_t { return 0; };
    driver.ReadDevice = [](std::int32_t, void*, std::int32_t, std::int32_t* count,
                           std::int32_t) -> std::int32_t {
        if (count != nullptr) {
            *count = 0;
        }
        return 0;
    };
    driver.WriteDevice = [](std::int32_t, const void*, std::int32_t, std::int32_t* count,
                            std::int32_t) -> std::int32_t {
        if (count != nullptr) {
            *count = 0;
        }
        return 0;
    };
    return driver;
}

}  // namespace qf580
