// Run-time plug-in loading shared by every plug-in kind of the library.
#include "media/plugin_loader.hpp"

#include <dlfcn.h>
#include <unistd.h>

#include <new>
#include <vector>

#include "core/log.hpp"

namespace kx::plugin {
namespace {

// Folder that replaces libkxlib's own as last candidate; guarded by globalParameterMutex.
std::string g_folder;
bool g_folderSet = false;

void log_open_failed(const Kind &kind, const std::string &path, const char *err) {
    if (err == nullptr) err = "";
    if (kind.messages == Messages::Jpeg)
        KX_LOG_ERROR_AT(5, __LINE__, kind.label, "Open jpeg lib failed:\"%s\".", err);
    else
        KX_LOG_ERROR_AT(5, __LINE__, kind.label, "Open lib:\"%s\" error:\"%s\".", path.c_str(), err);
}

void log_not_found(const Kind &kind) {
    if (kind.messages == Messages::Jpeg)
        KX_LOG_ERROR_AT(5, __LINE__, kind.label, "Open jpeg lib failed:\"%s\".", "no plug-in file");
    else
        KX_LOG_ERROR_AT(5, __LINE__, kind.label, "Can not find %s.", kind.name);
}

void log_missing_symbol(const Kind &kind, const char *symbol, const char *err) {
    if (err == nullptr) err = "";
    if (kind.messages == Messages::Jpeg)
        KX_LOG_ERROR_AT(5, __LINE__, kind.label, "Open jpeg lib failed:\"%s\".", err);
    else
        KX_LOG_ERROR_AT(5, __LINE__, kind.label, "Get the function:\"%s\"error:\"%s\".", symbol, err);
}

// Folder of the running program; empty when unknown.
std::string program_folder() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    path[n] = 0;
    std::string p(path);
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

// Opens the first candidate that exists and opens. Caller holds globalParameterMutex.
void *open_first(const Kind &kind) {
    std::vector<std::string> paths;
    const std::string program = kind.programRelative ? program_folder() : std::string();
    for (const char *const *c = kind.candidates; c != nullptr && *c != nullptr; ++c)
        paths.push_back(**c != '/' && !program.empty() ? program + "/" + *c : std::string(*c));
    std::string own = own_folder();
    if (!own.empty())
        for (const char *const *n = kind.folderNames; n != nullptr && *n != nullptr; ++n)
            paths.push_back(own + "/" + *n);
    // RTLD_NOW: a missing dependency shows here, not at the first call. RTLD_LOCAL: the
    // plug-in's own dependencies stay out of the global namespace.
    const int flags = RTLD_NOW | RTLD_LOCAL | (kind.keepMapped ? RTLD_NODELETE : 0);
    for (const std::string &path : paths) {
        if (access(path.c_str(), F_OK) != 0) continue;
        void *library = dlopen(path.c_str(), flags);
        if (library != nullptr) return library;
        log_open_failed(kind, path, dlerror());
    }
    return nullptr;
}

// Opens and binds the plug-in; null on failure (nothing stays open). Caller holds globalParameterMutex.
Binding *open_and_bind(const Kind &kind) {
    void *library = open_first(kind);
    if (library == nullptr) {
        log_not_found(kind);
        return nullptr;
    }
    auto *b = new (std::nothrow) Binding;
    if (b == nullptr) {
        dlclose(library);
        return nullptr;
    }
    b->library = library;
    int k = 0;
    for (const char *const *s = kind.symbols; *s != nullptr && k < kMaxSymbols; ++s, ++k) {
        dlerror();
        b->fn[k] = dlsym(library, *s);
        if (b->fn[k] == nullptr) {
            log_missing_symbol(kind, *s, dlerror());
            dlclose(library);
            delete b;
            return nullptr;
        }
    }
    for (const char *const *s = kind.optional; s != nullptr && *s != nullptr && k < kMaxSymbols; ++s, ++k)
        b->fn[k] = dlsym(library, *s);
    dlerror();
    return b;
}

}  // namespace

Binding *Slot::get() {
    Binding *b = binding_.load(std::memory_order_acquire);
    if (b != nullptr) return b;
    pthread_mutex_lock(&globalParameterMutex);
    b = binding_.load(std::memory_order_acquire);
    if (b == nullptr) {
        b = open_and_bind(kind_);
        if (b != nullptr) {
            binding_.store(b, std::memory_order_release);
            globalParameter_append__OI(globalParameter_new_callback__IO(kind_.hookName, kind_.hook, nullptr));
        }
    }
    pthread_mutex_unlock(&globalParameterMutex);
    return b;
}

void Slot::release() {
    Binding *b = binding_.exchange(nullptr, std::memory_order_acq_rel);
    if (b == nullptr) return;
    dlclose(b->library);
    delete b;
}

void set_folder(const char *folder) {
    pthread_mutex_lock(&globalParameterMutex);
    g_folderSet = folder != nullptr;
    g_folder = folder ? folder : "";
    pthread_mutex_unlock(&globalParameterMutex);
}

std::string own_folder() {
    if (g_folderSet) return g_folder;
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&set_folder), &info) == 0 || info.dli_fname == nullptr) return {};
    std::string path = info.dli_fname;
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

}  // namespace kx::plugin
