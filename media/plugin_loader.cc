// Run-time plug-in loading shared by every plug-in kind of the library.
#include "media/plugin_loader.hpp"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <new>
#include <vector>

#include "core/log.hpp"

namespace kx::plugin {
namespace {

// Where the installed plug-ins are, seen from the installed programs' folder (bin/../lib/kxlib).
#ifndef KX_PLUGINDIR_FROM_BINDIR
#define KX_PLUGINDIR_FROM_BINDIR "../lib/kxlib"
#endif
// Subfolder of libkxlib's own folder that holds the installed plug-ins (lib/kxlib).
constexpr const char *kPluginSubfolder = "kxlib";

// Folder that replaces libkxlib's own folders as last candidates; guarded by globalParameterMutex.
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

// True when addr lies in the running program itself (the library's objects linked in).
bool in_main_program(const void *addr) {
    struct Query {
        uintptr_t addr;
        bool found = false;
    } q{reinterpret_cast<uintptr_t>(addr)};
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *data) -> int {
            auto *q = static_cast<Query *>(data);
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr) &ph = info->dlpi_phdr[i];
                if (ph.p_type != PT_LOAD) continue;
                uintptr_t start = info->dlpi_addr + ph.p_vaddr;
                if (q->addr >= start && q->addr < start + ph.p_memsz) q->found = true;
            }
            return 1;  // the first object reported is the program
        },
        &q);
    return q.found;
}

// Folders searched after the fixed candidates: the one set by set_folder, or libkxlib's
// own folder (the build tree keeps the plug-ins there), its kxlib/ subfolder (the
// installed layout), and the installed plug-in folder seen from the program's folder
// (programs that carry the library's objects). Caller holds globalParameterMutex.
std::vector<std::string> plugin_folders() {
    if (g_folderSet) return {g_folder};
    std::vector<std::string> folders;
    std::string own = own_folder();
    if (!own.empty()) {
        folders.push_back(own);
        folders.push_back(own + "/" + kPluginSubfolder);
    }
    std::string program = program_folder();
    if (!program.empty()) {
        std::string installed = program + "/" + KX_PLUGINDIR_FROM_BINDIR;
        if (installed != own + "/" + kPluginSubfolder) folders.push_back(installed);
    }
    return folders;
}

// Opens the first candidate that exists and opens. Caller holds globalParameterMutex.
void *open_first(const Kind &kind) {
    std::vector<std::string> paths;
    const std::string program = kind.programRelative ? program_folder() : std::string();
    for (const char *const *c = kind.candidates; c != nullptr && *c != nullptr; ++c)
        paths.push_back(**c != '/' && !program.empty() ? program + "/" + *c : std::string(*c));
    for (const std::string &folder : plugin_folders())
        for (const char *const *n = kind.folderNames; n != nullptr && *n != nullptr; ++n)
            paths.push_back(folder + "/" + *n);
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
    // In a program the module's name is the program's argv[0], which may be a bare name.
    if (in_main_program(reinterpret_cast<void *>(&set_folder))) return program_folder();
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&set_folder), &info) == 0 || info.dli_fname == nullptr) return {};
    std::string path = info.dli_fname;
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

}  // namespace kx::plugin
