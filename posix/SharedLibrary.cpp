#include "posix/SharedLibrary.h"

#include <dlfcn.h>

namespace qf580::posix {

SharedLibrary SharedLibrary::Open(const std::string& nameOrPath) {
    SharedLibrary library;
    void* handle = ::dlopen(nameOrPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = ::dlerror();
        library.error_ = why != nullptr ? why : nameOrPath + ": cannot be loaded";
        return library;
    }
    library.handle_ = std::shared_ptr<void>(handle, [](void* h) { ::dlclose(h); });
    return library;
}

void* SharedLibrary::Address(const char* name) const {
    return handle_ ? ::dlsym(handle_.get(), name) : nullptr;
}

}  // namespace qf580::posix
