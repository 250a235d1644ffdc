// Fuzzes the JSON engine: load, lazy lookups, full parse, edits, serialise, reload.
// A text that reads back well formed writes back exactly as it was written.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "kx/json.h"
#include "kx/objectlist.h"

namespace {

std::string write(kx_Json *doc, const char *lineEnd, uint32_t step) {
    char *t = kx_Json_to_string__IO(doc, nullptr, lineEnd, step);
    if (t == nullptr) abort();
    std::string s(t);
    free(t);
    return s;
}

// Loads text, parses it and writes it again the same way. *check: the parse result.
std::string cycle(const std::string &text, const char *lineEnd, uint32_t step, int *check) {
    kx_Json *doc = kx_Json_new_from_string_buffer__IO(text.size(), text.data());
    if (doc == nullptr) abort();
    *check = kx_Json_analyzeAll_fast(doc, nullptr);
    std::string out = write(doc, lineEnd, step);
    kx_Json_delete__OI(doc);
    return out;
}

// Every member is linked to its parent and stays within the nesting limit.
void walk(const kx_JsonNode *root) {
    const kx_JsonNode *n = root;
    uint32_t i = 0;
    // Iterative pre-order walk over parent pointers: no stack that input could grow.
    for (;;) {
        if (i < n->childCount) {
            const kx_JsonNode *c = n->children[i];
            if (c->parent != n || c->depth != n->depth + 1 || c->depth > KX_JSON_NESTING_LIMIT) abort();
            if (c->value != nullptr && c->value[c->valueLength] != '\0') abort();
            n = c;
            i = 0;
            continue;
        }
        if (n == root) return;
        const kx_JsonNode *p = n->parent;
        for (i = 0; p->children[i] != n; ++i) {
        }
        ++i;
        n = p;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = [] { return freopen("/dev/null", "w", stdout) != nullptr; }();
    (void)quiet;

    // Exactly size bytes on the heap: reading past them is an ASan error.
    char *copy = static_cast<char *>(malloc(size ? size : 1));
    if (size) memcpy(copy, data, size);
    kx_Json *doc = kx_Json_new_from_string_buffer__IO(size, copy);
    free(copy);
    if (doc == nullptr) abort();

    // Lookups parse what they reach.
    static const char *const paths[] = {"a", "a b", " a  a ", "b c d"};
    for (const char *p : paths) {
        if (kx_ObjectList *all = kx_Json_node_get_all__IO(doc, nullptr, p)) kx_ObjectList_delete__OI(all);
        if (kx_JsonData *values = kx_Json_node_get_allData__IO(doc, nullptr, p)) {
            for (uint32_t i = 0; i < values->count; ++i) (void)strlen(values->texts[i]);
            free(values);
        }
    }
    kx_Json_analyzeAll_fast(doc, nullptr);
    walk(reinterpret_cast<kx_JsonNode *>(doc));
    std::string compact = write(doc, nullptr, 0);
    std::string indented = write(doc, "\n", 2);

    // A few edits, then the output must still read.
    if (doc->childCount > 0) {
        kx_JsonNode *first = doc->children[0];
        kx_Json_node_set_value(doc, kx_Json_node_addChild(doc, first, "added"), "1");
        if (first->childCount > 1) kx_Json_node_delete(doc, first->children[0]);
        kx_Json_node_set_value(doc, doc->children[doc->childCount - 1], "v");
    }
    write(doc, "\n", 4);
    kx_Json_delete__OI(doc);

    // What reads back well formed writes back exactly as it was written.
    const struct {
        const std::string *text;
        const char *lineEnd;
        uint32_t step;
    } forms[] = {{&compact, nullptr, 0}, {&indented, "\n", 2}};
    for (const auto &f : forms) {
        int check = 0;
        std::string again = cycle(*f.text, f.lineEnd, f.step, &check);
        if (check == 0 && again != *f.text) abort();
    }
    return 0;
}
