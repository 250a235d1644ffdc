// The one loader of run-time plug-ins (codecs, glyphs, JPEG): finds a plug-in file from a
// candidate list, opens it, binds its symbols, publishes the binding once and registers the
// release hook in globalParameterList.
//
//   const char *const kCandidates[] = {"./libX.so", nullptr};
//   const char *const kFolderNames[] = {"libX.so", nullptr};   // tried in libkxlib's folder
//   const char *const kSymbols[] = {"x_new", "x_delete", nullptr};
//   void release_x(void *);
//   const kx::plugin::Kind kX = {"libX", "x_load", kCandidates, kFolderNames, kSymbols, nullptr,
//                                "x_private_unload_lib", release_x, kx::plugin::Messages::Standard, false, false};
//   kx::plugin::Slot g_x(kX);
//   void release_x(void *) { g_x.release(); }
//   ... if (const kx::plugin::Binding *b = g_x.get()) call(b->fn[0]) ...
#pragma once

#include <atomic>
#include <string>

#include "kx/global.h"

namespace kx::plugin {

// Which records a failed load writes.
enum class Messages {
    Standard,  // "Open lib:..." per file that does not open, "Can not find <name>.", "Get the function:..."
    Jpeg,      // "Open jpeg lib failed:\"<dlerror>\"." for every failure
};

struct Kind {
    const char *name;                      // "libGlyphor": the "Can not find" record
    const char *label;                     // label of the load's log records
    const char *const *candidates;         // paths tried first, in order; null-terminated
    const char *const *folderNames;        // file names tried afterwards in libkxlib's folder, its kxlib/
                                           // subfolder and the installed plug-in folder of the program
    const char *const *symbols;            // required, bound in order; null-terminated
    const char *const *optional;           // bound when present (null entries when absent), or null
    const char *hookName;                  // release record in globalParameterList
    kx_globalParameter_release_cb hook;    // calls Slot::release of this kind's slot
    Messages messages;
    bool keepMapped;  // RTLD_NODELETE: the code stays mapped after release (libraries with
                      // process-wide state such as libavcodec)
    bool programRelative;  // relative candidates are taken from the program's folder, not
                           // from the working directory
};

constexpr int kMaxSymbols = 8;

struct Binding {
    void *library = nullptr;
    void *fn[kMaxSymbols] = {};  // required symbols, then optional ones, in list order
};

// One process-wide binding of one plug-in kind.
class Slot {
public:
    explicit Slot(const Kind &kind) : kind_(kind) {}
    Slot(const Slot &) = delete;
    Slot &operator=(const Slot &) = delete;

    // The binding, loaded on first use under globalParameterMutex; null when the plug-in
    // cannot be found or bound (nothing stays loaded then, the next call tries again).
    Binding *get();
    // The binding when loaded, without loading.
    Binding *peek() const { return binding_.load(std::memory_order_acquire); }
    // Closes the library and drops the binding (the release hook).
    void release();

private:
    const Kind &kind_;
    std::atomic<Binding *> binding_{nullptr};
};

// Replaces the last candidate folders (libkxlib's own, its kxlib/ subfolder and the
// program's installed plug-in folder) by one folder for every kind; null restores them.
void set_folder(const char *folder);

// Folder of libkxlib (or of the program it is linked into); empty when unknown.
std::string own_folder();

}  // namespace kx::plugin
