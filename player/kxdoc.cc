// kxdoc: shows, converts and checks the library's EBML documents and configuration files.
//
//   kxdoc show [--json] FILE        the document as indented XML (or JSON)
//   kxdoc ebml IN.xml|IN.json OUT   converts an XML or JSON text to an EBML document
//   kxdoc check FILE                parses everything; exit code and the first error
//
// Results go to standard output; the library's log records and kxdoc's own messages go
// to standard error. Exit codes: 0 done, 1 usage, 2 the input cannot be read or is not a
// document, 3 the document holds bytes that are not nodes (or nests too deep).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/bytereader.hpp"
#include "kx/config.h"
#include "kx/ebml.h"
#include "kx/json.h"
#include "kx/string.h"
#include "kx/xml.h"

namespace {

enum Exit { kOk = 0, kUsage = 1, kUnreadable = 2, kMalformed = 3 };

FILE *out = stdout;  // results; stdout itself carries the log records to stderr

const char kUsageText[] =
    "usage: kxdoc show [--json] FILE\n"
    "       kxdoc ebml IN.xml|IN.json OUT.ebml\n"
    "       kxdoc check FILE\n"
    "       kxdoc --help\n"
    "  show      print an EBML document or configuration file as indented XML\n"
    "  --json    (with show) print it as JSON instead\n"
    "  ebml      convert an XML or JSON text into an EBML document\n"
    "  check     parse everything; exit code and the first error\n"
    "  --help    this text\n"
    "exit codes: 0 done, 1 usage, 2 unreadable or not a document, 3 malformed document\n";

int usage() {
    fputs(kUsageText, stderr);
    return kUsage;
}

bool readFile(const char *path, std::string *bytes) {
    kx_String *s = kx_String_new_form_file__IO(path);
    if (s == nullptr) return false;
    bytes->assign(s->buffer ? s->buffer : "", s->lenth);
    kx_String_delete__OI(s);
    return true;
}

// The documentTag of a document, read from its check word and T.
bool tagOf(const std::string &bytes, uint32_t *tag) {
    kx::ByteReader r(bytes.data(), bytes.size());
    uint32_t word;
    uint64_t t;
    if (!r.le32(&word) || !r.lowVint(&t)) return false;
    *tag = static_cast<uint32_t>(t) * 381719109u ^ word;
    return true;
}

// An EBML document or configuration file (configurations are scrambled with their key).
kx_Ebml *load(const char *path, bool *isConfig) {
    std::string bytes;
    if (!readFile(path, &bytes)) {
        fprintf(stderr, "kxdoc: %s: cannot be read\n", path);
        return nullptr;
    }
    uint32_t tag = 0;
    *isConfig = tagOf(bytes, &tag) && tag == KX_CONFIG_ROOT;
    kx_Ebml *doc = *isConfig ? kx_Config_new_from_string__IO(bytes.size(), bytes.data()) : nullptr;
    if (doc == nullptr) {
        *isConfig = false;
        doc = kx_Ebml_new_from_String__IO(bytes.size(), bytes.data(), nullptr);
    }
    if (doc == nullptr) fprintf(stderr, "kxdoc: %s: not an EBML document or configuration file\n", path);
    return doc;
}

int show(const char *path, bool json) {
    bool isConfig;
    kx_Ebml *doc = load(path, &isConfig);
    if (doc == nullptr) return kUnreadable;
    char *text = nullptr;
    if (json) {
        kx_Json *j = kx_Ebml_convert_to_Json__IO(doc);
        if (j) text = kx_Json_to_string__IO(j, nullptr, "\n", 4);
        kx_Json_delete__OI(j);
    } else {
        kx_Xml *x = kx_Ebml_convert_to_Xml__IO(doc);
        if (x) text = kx_Xml_to_string__IO(x, "\n", nullptr, 4);
        kx_Xml_delete__OI(x);
    }
    kx_Ebml_delete__OI(doc);
    if (text == nullptr) {
        fprintf(stderr, "kxdoc: %s: conversion failed\n", path);
        return kUnreadable;
    }
    fprintf(out, "%s\n", text);
    free(text);
    return kOk;
}

bool looksLikeJson(const std::string &text) {
    size_t p = text.find_first_not_of(" \t\r\n");
    return p != std::string::npos && text[p] == '{';
}

int convert(const char *in, const char *outPath) {
    std::string text;
    if (!readFile(in, &text)) {
        fprintf(stderr, "kxdoc: %s: cannot be read\n", in);
        return kUnreadable;
    }
    kx_Ebml *doc = nullptr;
    if (looksLikeJson(text)) {
        kx_Json *j = kx_Json_new_from_string_buffer__IO(text.size(), text.data());
        doc = kx_Ebml_new_from_Json__IO(j);
        kx_Json_delete__OI(j);
    } else {
        kx_Xml *x = kx_Xml_new_from_string_buffer__IO(text.size(), text.data());
        doc = kx_Ebml_new_from_Xml__IO(x);
        kx_Xml_delete__OI(x);
    }
    if (doc == nullptr) {
        fprintf(stderr, "kxdoc: %s: not an XML or JSON text\n", in);
        return kUnreadable;
    }
    int rc = kx_Ebml_save_to_file(doc, outPath, nullptr);
    kx_Ebml_delete__OI(doc);
    if (rc != 1) {
        fprintf(stderr, "kxdoc: %s: cannot be written\n", outPath);
        return kUnreadable;
    }
    return kOk;
}

std::string pathOf(const kx_EbmlNode *n) {
    std::string p;
    for (; n && n->parent; n = n->parent) p = std::string(n->name) + (p.empty() ? "" : " ") + p;
    return p.empty() ? "(root)" : p;
}

int check(const char *path) {
    bool isConfig;
    kx_Ebml *doc = load(path, &isConfig);
    if (doc == nullptr) return kUnreadable;
    int rc = kx_Ebml_analyzeAll_check(doc, nullptr);
    // Walk everything: count the nodes, find the first container with bytes left over.
    size_t nodes = 0;
    uint32_t depth = 0;
    const kx_EbmlNode *leftover = nullptr, *nested = nullptr;
    std::vector<const kx_EbmlNode *> stack{reinterpret_cast<kx_EbmlNode *>(doc)};
    while (!stack.empty()) {
        const kx_EbmlNode *n = stack.back();
        stack.pop_back();
        if (n->parent) ++nodes;
        if (n->depth > depth) depth = n->depth;
        if (KX_EBML_KIND(n->type) == KX_EBML_TYPE_CONTAINER) {
            if (n->lenth && leftover == nullptr) leftover = n;
            if (n->rawLength && nested == nullptr) nested = n;
        }
        for (uint32_t i = n->childCount; i-- > 0;) stack.push_back(n->children[i]);
    }
    int result = kOk;
    if (rc == -3) {
        fprintf(stderr, "kxdoc: %s: the document could not be parsed\n", path);
        result = kUnreadable;
    } else if (leftover) {
        fprintf(stderr, "kxdoc: %s: %u bytes that are not nodes in \"%s\"\n", path, leftover->lenth,
                pathOf(leftover).c_str());
        result = kMalformed;
    } else if (nested) {
        fprintf(stderr, "kxdoc: %s: contents nested deeper than %u levels in \"%s\"\n", path, KX_EBML_NESTING_LIMIT,
                pathOf(nested).c_str());
        result = kMalformed;
    } else {
        fprintf(out, "%s: ok, %s, %zu nodes, depth %u, documentTag %#x\n", path,
                isConfig ? "configuration" : "EBML document", nodes, depth, doc->documentTag);
    }
    kx_Ebml_delete__OI(doc);
    return result;
}

}  // namespace

int main(int argc, char **argv) {
    // Results on the real standard output; log records, printed to stdout by the
    // library, go to standard error with kxdoc's own messages.
    int resultFd = dup(STDOUT_FILENO);
    if (resultFd < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0 || (out = fdopen(resultFd, "w")) == nullptr) {
        perror("kxdoc");
        return kUnreadable;
    }
    int rc;
    if (argc == 2 && strcmp(argv[1], "--help") == 0)
        rc = fputs(kUsageText, out) < 0 ? kUnreadable : kOk;
    else if (argc == 3 && strcmp(argv[1], "show") == 0)
        rc = show(argv[2], false);
    else if (argc == 4 && strcmp(argv[1], "show") == 0 && strcmp(argv[2], "--json") == 0)
        rc = show(argv[3], true);
    else if (argc == 4 && strcmp(argv[1], "ebml") == 0)
        rc = convert(argv[2], argv[3]);
    else if (argc == 3 && strcmp(argv[1], "check") == 0)
        rc = check(argv[2]);
    else
        rc = usage();
    fflush(stdout);
    if (fclose(out) != 0 && rc == kOk) rc = kUnreadable;
    return rc;
}
