#include "transfer/RizEDUd.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

#include "posix/SharedLibrary.h"
#include "transfer/RizEDUdApi.h"

namespace qf580 {

namespace {

// The full table, or nothing when the library lacks one of the four calls: half a driver
// would fail later and less clearly.
std::optional<UsbDriver> Bind(const posix::SharedLibrary& library) {
    if (!library) {
        return std::nullopt;
    }
    const auto open = library.Function<RizEDUd_OpenDevice_fn>("RizEDUd_OpenDevice");
    const auto close = library.Function<RizEDUd_CloseDevice_fn>("RizEDUd_CloseDevice");
    const auto read = library.Function<RizEDUd_ReadDevice_fn>("RizEDUd_ReadDevice");
    const auto write = library.Function<RizEDUd_WriteDevice_fn>("RizEDUd_WriteDevice");
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
                if (auto driver = Bind(posix::SharedLibrary::Open(beside.string()))) {
                    return std::move(*driver);
                }
            }
        }
        // A bare name: the system's loader searches its own folders.
        if (auto driver = Bind(posix::SharedLibrary::Open(kUsbDriverFileName))) {
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
        if (auto driver = Bind(posix::SharedLibrary::Open(path))) {
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
