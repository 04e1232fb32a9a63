// A system library the store loads only when a backend is chosen that needs it (the Secret
// Service's libsecret with GLib under it, the TPM's tpm2-tss). Linked in, they were mapped and
// relocated at every start of every process using the library, which is most of what a one-shot
// program spends before its first request (GLib and libsecret alone bound some 3,300 symbols and
// ran their type registrations), whether or not it ever opened a store.
#pragma once

#include <dlfcn.h>

#include <memory>
#include <string>

namespace tavi::detail {

struct LibraryClose {
    void operator()(void* library) const { ::dlclose(library); }
};
/// A library opened with dlopen; never unmapped (RTLD_NODELETE): GLib keeps threads of its own
/// running that must not find their code gone at exit.
using LibraryHandle = std::unique_ptr<void, LibraryClose>;

/// The library `soname`, all its symbols bound now and kept out of the process's global scope;
/// null (with dlerror's text in `problem`) when it is not installed.
inline LibraryHandle openLibrary(const char* soname, std::string& problem) {
    LibraryHandle library(::dlopen(soname, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE));
    if (!library) {
        const char* why = ::dlerror();
        problem = why != nullptr ? why : std::string(soname) + " cannot be loaded";
    }
    return library;
}

/// Sets `function` to the symbol `name` of `library` (or of a library it depends on); false,
/// with the missing name in `problem`, when there is none.
template <class Function>
bool bindSymbol(void* library, const char* name, Function& function, std::string& problem) {
    function = reinterpret_cast<Function>(::dlsym(library, name));
    if (function == nullptr) problem = std::string("no symbol ") + name;
    return function != nullptr;
}

}  // namespace tavi::detail
