// A shared library loaded while the program runs, for what only some runs use (the journal)
// or a machine may lack (the maker's USB driver): a run that does not need it never maps it.
#pragma once

#include <memory>
#include <string>

namespace qf580::posix {

class SharedLibrary {
  public:
    // Nothing loaded.
    SharedLibrary() = default;
    // Loads `nameOrPath` (a bare name is searched where the system's loader searches), with
    // every symbol bound now and none shared with other libraries; an empty library when it
    // cannot be loaded, with the loader's reason in Error().
    static SharedLibrary Open(const std::string& nameOrPath);

    explicit operator bool() const noexcept { return handle_ != nullptr; }
    const std::string& Error() const noexcept { return error_; }

    // The address of `name` as a function of type `Fn`, or null. A copy of the library
    // (copies share one load) must outlive every call through it.
    template <typename Fn>
    Fn Function(const char* name) const {
        return reinterpret_cast<Fn>(Address(name));
    }

  private:
    void* Address(const char* name) const;

    // The last copy unloads the library.
    std::shared_ptr<void> handle_;
    std::string error_;
};

}  // namespace qf580::posix
