// kx_Config: typed configuration templates over EBML documents.
//
// Settings are containers whose "$$" children describe them. Everything that reads a
// limit accepts the library's 8-byte integers and decimal texts (documents converted
// from XML or JSON carry texts). Import never trusts the source: the template's
// "$$valueCountMax", "$$min" and "$$max" bound what is taken. Walks use work lists.
#include "kx/config.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "container/ebml_internal.hpp"
#include "core/log.hpp"
#include "core/selftest.hpp"
#include "kx/address.h"
#include "kx/objectlist.h"
#include "kx/string.h"
#include "kx/stringlist.h"

using kx::ebml::Node;
using std::string_view;

namespace {

// The serial form's scrambling key (both directions of every build use it).
constexpr const char *kKey = "kxlib.config.v1!";
static_assert(std::char_traits<char>::length("kxlib.config.v1!") == 16);

constexpr const char *kType = "$$type";
constexpr const char *kValue = "$$value";
constexpr const char *kDefaultPath = "$$defaultValue $$staticData $$value";

using Doc = std::unique_ptr<kx_Ebml, void (*)(kx_Ebml *)>;

bool isMeta(string_view name) { return name.size() >= 2 && name[0] == '$' && name[1] == '$'; }
bool isTemplate(string_view name) { return !name.empty() && name[0] == '$' && !isMeta(name); }

// Direct children of n with that name, n's level parsed first.
std::vector<Node *> children(Node *n, string_view name) {
    std::vector<Node *> out;
    if (n == nullptr || !kx::ebml::isContainer(n)) return out;
    kx::ebml::ensureParsed(n);
    for (uint32_t i = 0; i < n->childCount; ++i)
        if (name == n->children[i]->name) out.push_back(n->children[i]);
    return out;
}

Node *child(Node *n, string_view name) {
    if (n == nullptr || !kx::ebml::isContainer(n)) return nullptr;
    kx::ebml::ensureParsed(n);
    for (uint32_t i = 0; i < n->childCount; ++i)
        if (name == n->children[i]->name) return n->children[i];
    return nullptr;
}

// The text of a text node (up to its NUL), or false for any other node.
bool textOf(const Node *n, string_view *out) {
    if (n == nullptr || KX_EBML_KIND(n->type) != KX_EBML_TYPE_TEXT) return false;
    const char *p = reinterpret_cast<const char *>(n->data);
    *out = n->lenth ? string_view(p, strnlen(p, n->lenth)) : string_view();
    return true;
}

// An integer node, or a decimal text (optional '-', digits only, in range).
bool integerOf(const Node *n, int64_t *out) {
    if (n == nullptr) return false;
    if (KX_EBML_KIND(n->type) == KX_EBML_TYPE_INTEGER) {
        *out = kx::ebml::integerOf(n);
        return true;
    }
    string_view t;
    if (!textOf(n, &t) || t.empty() || t.size() > 20) return false;
    std::string s(t);
    size_t digits = s[0] == '-' ? 1 : 0;
    if (digits == s.size()) return false;
    for (size_t i = digits; i < s.size(); ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    errno = 0;
    long long v = strtoll(s.c_str(), nullptr, 10);
    if (errno == ERANGE) return false;
    *out = v;
    return true;
}

std::string typeOf(Node *setting, bool *present) {
    string_view t;
    *present = textOf(child(setting, kType), &t);
    return std::string(t);
}

// A limit of the setting, or fallback when it has none.
int64_t limit(Node *setting, const char *name, int64_t fallback) {
    int64_t v;
    return integerOf(child(setting, name), &v) ? v : fallback;
}

Node *addText(kx_Ebml *doc, Node *parent, const char *name, const char *text) {
    Node *n = kx_Ebml_node_addChild(doc, parent, name, KX_EBML_TYPE_TEXT);
    if (n == nullptr) throw std::bad_alloc();
    if (text && text[0] && kx_Ebml_node_data_set_string(n, text) < 0) throw std::bad_alloc();
    return n;
}

Node *addInteger(kx_Ebml *doc, Node *parent, const char *name, int64_t v) {
    Node *n = kx_Ebml_node_addChild(doc, parent, name, KX_EBML_TYPE_INTEGER);
    if (n == nullptr) throw std::bad_alloc();
    kx_Ebml_node_data_set_integer(n, v);
    return n;
}

Node *settingAdd(kx_Ebml *doc, Node *parent, const std::string &name, const char *type, const char *viewName,
                 const char *comment) {
    Node *n = kx_Ebml_node_addChild(doc, parent, name.c_str(), KX_EBML_TYPE_CONTAINER);
    if (n == nullptr) return nullptr;
    addText(doc, n, kType, type);
    addText(doc, n, "$$viewName", viewName);
    addText(doc, n, "$$comment", comment);
    return n;
}

void deleteAll(kx_Ebml *doc, const std::vector<Node *> &nodes) {
    for (Node *n : nodes) kx_Ebml_node_delete(doc, n);
}

// ---------------------------------------------------------------- values

struct Found {
    Node *setting = nullptr;
    std::vector<Node *> values;
    bool any = false;  // values or a default were there
};

// The setting at path (null: parent itself), checked to be of type want, and its
// values or default. Logs what is wrong.
bool settingValues(kx_Ebml *doc, kx_EbmlNode *parent, const char *path, const char *want, const char *label,
                   Found &f) {
    Node *p = kx::ebml::target(doc, parent);
    f.setting = path ? kx_Ebml_node_get_first(doc, p, path) : p;
    unsigned long long pc = reinterpret_cast<uintptr_t>(doc), pn = reinterpret_cast<uintptr_t>(parent);
    if (f.setting == nullptr) {
        KX_LOG_ERROR_AT(5, __LINE__, label, "Find the node:\"%s\" failed,pConfig=%#llx,parentNode=%#llx.",
                        path ? path : "", pc, pn);
        return false;
    }
    bool present;
    std::string type = typeOf(f.setting, &present);
    if (!present) {
        KX_LOG_ERROR_AT(5, __LINE__, label, "The parameter:\"%s\" of the node:\"%s\" error,pConfig=%#llx,parentNode=%#llx.",
                        kType, f.setting->name, pc, pn);
        return false;
    }
    if (type != want) {
        KX_LOG_ERROR_AT(5, __LINE__, label,
                        "The parameter:\"%s\" of the node:\"%s\" error(\"%s\"),pConfig=%#llx,parentNode=%#llx.", kType,
                        f.setting->name, type.c_str(), pc, pn);
        return false;
    }
    f.values = children(f.setting, kValue);
    if (!f.values.empty()) {
        f.any = true;
        return true;
    }
    std::vector<std::string_view> steps = kx::ebml::splitPath(kDefaultPath);
    kx::ebml::walkPath(f.setting, steps, 0, false, nullptr, f.values);
    f.any = !f.values.empty();
    return true;
}

kx_ConfigStrings *stringsBlock(const std::vector<std::string> &texts) {
    size_t size = offsetof(kx_ConfigStrings, values) + texts.size() * sizeof(char *);
    for (const std::string &t : texts) size += t.size() + 1;
    auto *block = static_cast<kx_ConfigStrings *>(malloc(size));
    if (block == nullptr) throw std::bad_alloc();
    block->count = static_cast<uint32_t>(texts.size());
    char *at = reinterpret_cast<char *>(block->values + texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        memcpy(at, texts[i].c_str(), texts[i].size() + 1);
        block->values[i] = at;
        at += texts[i].size() + 1;
    }
    return block;
}

kx_ConfigIntegers *integersBlock(const std::vector<int64_t> &numbers) {
    size_t size = offsetof(kx_ConfigIntegers, values) + numbers.size() * (sizeof(int64_t *) + sizeof(int64_t));
    auto *block = static_cast<kx_ConfigIntegers *>(malloc(size));
    if (block == nullptr) throw std::bad_alloc();
    block->count = static_cast<uint32_t>(numbers.size());
    auto *at = reinterpret_cast<int64_t *>(block->values + numbers.size());
    for (size_t i = 0; i < numbers.size(); ++i) {
        at[i] = numbers[i];
        block->values[i] = at + i;
    }
    return block;
}

std::vector<std::string> textsOf(const std::vector<Node *> &nodes) {
    std::vector<std::string> out;
    for (Node *n : nodes) {
        bool has;
        std::string t = kx::ebml::textForm(n, has);
        if (has || KX_EBML_KIND(n->type) == KX_EBML_TYPE_TEXT) out.push_back(t);
    }
    return out;
}

std::vector<int64_t> numbersOf(const std::vector<Node *> &nodes) {
    std::vector<int64_t> out;
    int64_t v;
    for (Node *n : nodes)
        if (integerOf(n, &v)) out.push_back(v);
    return out;
}

// The first value of a string setting (its values, else its default), quietly.
bool firstText(Node *setting, std::string *out) {
    std::vector<Node *> values = children(setting, kValue);
    if (values.empty()) kx::ebml::walkPath(setting, kx::ebml::splitPath(kDefaultPath), 0, true, nullptr, values);
    std::vector<std::string> texts = textsOf(values);
    if (texts.empty()) return false;
    *out = texts[0];
    return true;
}

// ---------------------------------------------------------------- import

// The instances of a template under parent: elements of its name that are not settings
// themselves.
std::vector<Node *> instancesOf(Node *parent, const std::string &name) {
    std::vector<Node *> out;
    for (Node *n : children(parent, name))
        if (child(n, kType) == nullptr) out.push_back(n);
    return out;
}

void importValues(kx_Ebml *doc, Node *setting, Node *source, bool numeric) {
    deleteAll(doc, children(setting, kValue));
    std::vector<Node *> offered = children(source, kValue);
    int64_t countMax = limit(setting, "$$valueCountMax", INT64_MAX);
    if (countMax < 0) countMax = 0;
    if (offered.size() > static_cast<uint64_t>(countMax)) offered.resize(static_cast<size_t>(countMax));
    if (!numeric) {
        int64_t lo = limit(setting, "$$min", 0), hi = limit(setting, "$$max", UINT32_MAX);
        uint32_t min = static_cast<uint32_t>(lo < 0 ? 0 : lo > UINT32_MAX ? UINT32_MAX : lo);
        uint32_t max = static_cast<uint32_t>(hi < 0 ? 0 : hi > UINT32_MAX ? UINT32_MAX : hi);
        for (Node *v : offered) {
            bool has;
            std::string text = kx::ebml::textForm(v, has);
            if (text.size() < min || text.size() > max) {
                KX_LOG_INFO_AT(5, __LINE__, "kx_Config_import",
                               "Invalid value:\"%s\" of the node(type=%#lx):\"%s\" len(=%lu/%u-%u).", text.c_str(),
                               static_cast<unsigned long>(v->type), setting->name,
                               static_cast<unsigned long>(text.size()), min, max);
                continue;
            }
            addText(doc, setting, kValue, text.c_str());
        }
        return;
    }
    int64_t min = limit(setting, "$$min", INT64_MIN), max = limit(setting, "$$max", INT64_MAX);
    for (Node *v : offered) {
        int64_t x;
        if (!integerOf(v, &x) || x < min || x > max) {
            bool has;
            std::string text = kx::ebml::textForm(v, has);
            KX_LOG_INFO_AT(5, __LINE__, "kx_Config_import",
                           "Invalid value:\"%s\" of the node(type=%#lx):\"%s\" range(%lld-%lld).", text.c_str(),
                           static_cast<unsigned long>(v->type), setting->name, static_cast<long long>(min),
                           static_cast<long long>(max));
            continue;
        }
        addInteger(doc, setting, kValue, x);
    }
}

void importTree(kx_Ebml *doc, Node *parent, Node *sourceParent) {
    std::vector<std::pair<Node *, Node *>> work{{parent, sourceParent}};
    while (!work.empty()) {
        auto [into, from] = work.back();
        work.pop_back();
        if (!kx::ebml::isContainer(into)) continue;
        kx::ebml::ensureParsed(into);
        std::vector<Node *> items(into->children, into->children + into->childCount);
        std::unordered_set<Node *> removed;  // surplus instances deleted on the way
        std::unordered_set<std::string_view> templates;  // each template name is handled once
        for (Node *c : items) {
            if (removed.count(c)) continue;
            string_view name = c->name;
            if (isMeta(name)) continue;
            if (isTemplate(name)) {
                if (!templates.insert(name).second) continue;
                std::string instanceName(name.substr(1));
                std::vector<Node *> offered = children(from, instanceName);
                std::vector<Node *> existing = instancesOf(into, instanceName);
                int64_t countMax = limit(c, "$$valueCountMax", INT64_MAX);
                size_t keep = offered.size();
                if (countMax < 0) countMax = 0;
                if (keep > static_cast<uint64_t>(countMax)) keep = static_cast<size_t>(countMax);
                for (size_t i = 0; i < keep; ++i) {
                    Node *inst = i < existing.size() ? existing[i] : nullptr;
                    if (inst == nullptr) {
                        inst = kx_Ebml_node_addChild(doc, into, instanceName.c_str(), KX_EBML_TYPE_CONTAINER);
                        if (inst == nullptr || kx_Ebml_node_addChild_from_node_child(doc, inst, c) < 0)
                            throw std::bad_alloc();
                        // The instance holds the settings, not the template's description.
                        std::vector<Node *> meta;
                        for (uint32_t k = 0; k < inst->childCount; ++k)
                            if (isMeta(inst->children[k]->name)) meta.push_back(inst->children[k]);
                        deleteAll(doc, meta);
                    }
                    work.push_back({inst, offered[i]});
                }
                for (size_t i = keep; i < existing.size(); ++i) {
                    removed.insert(existing[i]);
                    kx_Ebml_node_delete(doc, existing[i]);
                }
                continue;
            }
            bool present;
            std::string type = typeOf(c, &present);
            if (!present) continue;  // an instance or a plain element: not a setting
            Node *src = child(from, name);
            if (src == nullptr) continue;
            if (type == "string") {
                importValues(doc, c, src, false);
            } else if (type == "int") {
                importValues(doc, c, src, true);
            } else if (type == "node") {
                work.push_back({c, src});
            } else {
                KX_LOG_ERROR_AT(5, __LINE__, "kx_Config_import", "Invalid type:\"%s\".", type.c_str());
            }
        }
    }
}

// ---------------------------------------------------------------- export

std::string commentOf(Node *setting) {
    string_view t;
    textOf(child(setting, "$$comment"), &t);
    return std::string(t);
}

void comment(Node *n, const std::string &text) {
    if (kx_Ebml_node_property_add(n, "comment", text.c_str()) < 0) throw std::bad_alloc();
}

kx_Ebml *exportTree(kx_Ebml *doc, Node *parent, bool comments) {
    Doc out(kx_Ebml_new__IO(doc->encodeMethod, 0), kx_Ebml_delete__OI);
    if (!out) throw std::bad_alloc();
    std::vector<std::pair<Node *, Node *>> work{{parent, kx::ebml::asNode(out.get())}};
    char buf[64];
    while (!work.empty()) {
        auto [from, into] = work.back();
        work.pop_back();
        if (!kx::ebml::isContainer(from)) continue;
        kx::ebml::ensureParsed(from);
        for (uint32_t i = 0; i < from->childCount; ++i) {
            Node *c = from->children[i];
            string_view name = c->name;
            if (isMeta(name) || isTemplate(name)) continue;
            bool present;
            std::string type = typeOf(c, &present);
            if (!present) {
                // An instance: a sibling "$" + name describes it.
                Node *tmpl = child(from, "$" + std::string(name));
                if (tmpl == nullptr) continue;
                Node *inst = kx_Ebml_node_addChild(out.get(), into, c->name, KX_EBML_TYPE_CONTAINER);
                if (inst == nullptr) throw std::bad_alloc();
                if (comments) {
                    snprintf(buf, sizeof buf, "%lld", static_cast<long long>(limit(tmpl, "$$valueCountMax", 0)));
                    comment(inst, commentOf(tmpl) + ",最大实例数:" + buf);
                }
                work.push_back({c, inst});
                continue;
            }
            if (type != "string" && type != "int" && type != "node") {
                KX_LOG_ERROR_AT(5, __LINE__, "kx_Config_export", "Invalid type:\"%s\".", type.c_str());
                continue;
            }
            Node *e = kx_Ebml_node_addChild(out.get(), into, c->name, KX_EBML_TYPE_CONTAINER);
            if (e == nullptr) throw std::bad_alloc();
            if (type == "node") {
                if (comments) comment(e, commentOf(c));
                work.push_back({c, e});
                continue;
            }
            if (comments) {
                if (type == "string") {
                    snprintf(buf, sizeof buf, ",有效长度:%u-%u字节", static_cast<unsigned>(limit(c, "$$min", 0)),
                             static_cast<unsigned>(limit(c, "$$max", 0)));
                } else {
                    snprintf(buf, sizeof buf, ",有效范围:%lld-%lld", static_cast<long long>(limit(c, "$$min", 0)),
                             static_cast<long long>(limit(c, "$$max", 0)));
                }
                comment(e, commentOf(c) + buf);
            }
            for (Node *v : children(c, kValue))
                if (kx_Ebml_node_addChild_from_node(out.get(), e, v) == nullptr) throw std::bad_alloc();
        }
    }
    return out.release();
}

// ---------------------------------------------------------------- distributed templates

// The host value of an instance: cut at ':' and read as an IPv4 address.
bool hostOf(Node *instance, const std::string &setting, std::string *text) {
    Node *s = child(instance, setting);
    return s != nullptr && firstText(s, text) && !text->empty();
}

kx_ObjectList *instances(kx_Ebml *doc, kx_EbmlNode *parent, const uint32_t *addresses, uint32_t count, int mode,
                         const char *path) {
    Node *start = kx::ebml::target(doc, parent);
    std::vector<std::string_view> steps = kx::ebml::splitPath(path);
    if (steps.empty()) return nullptr;
    std::vector<Node *> found;
    kx::ebml::walkPath(start, steps, 0, false, nullptr, found);
    std::vector<Node *> kept;
    for (Node *inst : found) {
        if (child(inst, kType) != nullptr) continue;  // a setting of that name, not an instance
        Node *tmpl = child(inst->parent, "$" + std::string(inst->name));
        string_view distributed;
        if (addresses == nullptr || tmpl == nullptr || !textOf(child(tmpl, "$$distributed"), &distributed) ||
            distributed.empty()) {
            kept.push_back(inst);
            continue;
        }
        std::string host;
        if (!hostOf(inst, std::string(distributed), &host)) {
            KX_LOG_ERROR_AT(5, __LINE__, "kx_Config_node_template__IO",
                            "Get distributed(node:\"%s\") failed on the node:\"%s\".", std::string(distributed).c_str(),
                            inst->name);
            kept.push_back(inst);
            continue;
        }
        size_t colon = host.find(':');
        if (colon != std::string::npos) host.resize(colon);
        uint32_t ip = kx_ipv4_network_get(host.size(), host.c_str());
        bool local = false;
        for (uint32_t i = 0; ip != KX_IPV4_INVALID && i < count; ++i)
            if (addresses[i] == ip) local = true;
        if (local == (mode == KX_CONFIG_KEEP_LOCAL)) kept.push_back(inst);
    }
    return kept.empty() ? nullptr : kx::lazy::toObjectList(kept);
}

kx_StringList *distributedHosts(Node *start) {
    std::unique_ptr<kx_StringList, void (*)(kx_StringList *)> hosts(kx_StringList_new__IO(), kx_StringList_delete__OI);
    if (!hosts) throw std::bad_alloc();
    std::vector<Node *> work{start};
    while (!work.empty()) {
        Node *n = work.back();
        work.pop_back();
        if (!kx::ebml::isContainer(n)) continue;
        kx::ebml::ensureParsed(n);
        for (uint32_t i = 0; i < n->childCount; ++i) {
            Node *c = n->children[i];
            string_view distributed;
            if (!isTemplate(c->name) || !textOf(child(c, "$$distributed"), &distributed) || distributed.empty())
                continue;
            for (Node *inst : instancesOf(n, c->name + 1)) {
                std::string host;
                if (hostOf(inst, std::string(distributed), &host) && kx_StringList_check_has(hosts.get(), host.c_str()) < 0 &&
                    kx_StringList_insert_tail(hosts.get(), host.c_str()) < 0)
                    throw std::bad_alloc();
            }
        }
        for (uint32_t i = n->childCount; i-- > 0;)
            if (!isMeta(n->children[i]->name)) work.push_back(n->children[i]);
    }
    if (hosts->list.count == 0) return nullptr;
    return hosts.release();
}

kx_Ebml *load(kx_Ebml *doc, const char *path) {
    if (doc == nullptr) return nullptr;
    if (doc->documentTag != KX_CONFIG_ROOT) {
        if (path)
            KX_LOG_INFO_AT(5, __LINE__, "kx_Config_new_from_file__IO", "The file:\"%s\" not a config file,tag=%#x.", path,
                           doc->documentTag);
        else
            KX_LOG_INFO_AT(5, __LINE__, "kx_Config_new_from_string__IO", "Invalid config data,tag=%#x.", doc->documentTag);
        kx_Ebml_delete__OI(doc);
        return nullptr;
    }
    return doc;
}

int addChoice(kx_Ebml *config, kx_EbmlNode *parent, const char *settingName, const char *shortcut,
                     const char *comment, const char *label, const std::function<void(Node *)> &value) {
    if (config == nullptr || settingName == nullptr || settingName[0] == '\0') return -1;
    return kx::ebml::guarded<int>(label, -1, [&] {
        Node *p = kx::ebml::target(config, parent);
        if (!kx::ebml::belongsTo(config, p)) return -1;
        Node *setting = child(p, settingName);
        if (setting == nullptr) setting = kx_Ebml_node_addChild(config, p, settingName, KX_EBML_TYPE_CONTAINER);
        if (setting == nullptr) return -1;
        Node *choice = kx_Ebml_node_addChild(config, setting, "$$staticData", KX_EBML_TYPE_CONTAINER);
        if (choice == nullptr) return -1;
        value(choice);
        if (shortcut) addText(config, choice, "$$shortcut", shortcut);
        if (comment) addText(config, choice, "$$comment", comment);
        return 1;
    });
}

int setValue(kx_Ebml *config, kx_EbmlNode *setting, const char *want, const char *label,
                    const std::function<void()> &add) {
    if (config == nullptr || setting == nullptr || !kx::ebml::isElementOf(config, setting)) return -1;
    return kx::ebml::guarded<int>(label, -1, [&] {
        bool present;
        if (typeOf(setting, &present) != want) return -1;
        add();
        return 1;
    });
}

}  // namespace

extern "C" {

// ---------------------------------------------------------------- documents

KX_API kx_Ebml *kx_Config_new__IO(void) { return kx_Ebml_new__IO(KX_EBML_UTF8, KX_CONFIG_ROOT); }

KX_API kx_Ebml *kx_Config_new_from_string__IO(size_t lenth, const void *bytes) {
    return load(kx_Ebml_new_from_String__IO(lenth, bytes, kKey), nullptr);
}

KX_API kx_Ebml *kx_Config_new_from_file__IO(const char *path) {
    return load(kx_Ebml_new_from_file__IO(path, kKey), path);
}

KX_API kx_Ebml *kx_Config_new_from_Config__IO(kx_Ebml *config) { return kx_Ebml_new_from_Ebml__IO(config); }

KX_API void kx_Config_delete__OI(kx_Ebml *config) { kx_Ebml_delete__OI(config); }

KX_API kx_String *kx_Config_to_String__IO(kx_Ebml *config, uint32_t headRoom, uint32_t tailRoom) {
    return kx_Ebml_to_String__IO(config, headRoom, tailRoom, kKey);
}

KX_API int kx_Config_save_to_file(kx_Ebml *config, const char *path) { return kx_Ebml_save_to_file(config, path, kKey); }

// ---------------------------------------------------------------- builders

KX_API kx_EbmlNode *kx_Config_node_template_add(kx_Ebml *config, kx_EbmlNode *parent, const char *name,
                                                const char *viewName, const char *comment, const char *distributed,
                                                uint32_t authority1, uint32_t authority2, uint32_t write,
                                                uint32_t valueCountMax) {
    if (config == nullptr || name == nullptr || name[0] == '\0' || name[0] == '$') return nullptr;
    return kx::ebml::guarded<Node *>(__func__, nullptr, [&]() -> Node * {
        Node *n = settingAdd(config, parent, std::string("$") + name, "template", viewName, comment);
        if (n == nullptr) return nullptr;
        if (distributed) addText(config, n, "$$distributed", distributed);
        addInteger(config, n, "$$authority", static_cast<int64_t>((uint64_t(authority2) << 32) | authority1));
        addInteger(config, n, "$$write", write);
        addInteger(config, n, "$$valueCountMax", valueCountMax);
        return n;
    });
}

KX_API kx_EbmlNode *kx_Config_node_node_add(kx_Ebml *config, kx_EbmlNode *parent, const char *name,
                                            const char *viewName, const char *comment, uint32_t authority1,
                                            uint32_t authority2, uint32_t write) {
    if (config == nullptr || name == nullptr || name[0] == '\0' || name[0] == '$') return nullptr;
    return kx::ebml::guarded<Node *>(__func__, nullptr, [&]() -> Node * {
        Node *n = settingAdd(config, parent, name, "node", viewName, comment);
        if (n == nullptr) return nullptr;
        addInteger(config, n, "$$authority", static_cast<int64_t>((uint64_t(authority2) << 32) | authority1));
        addInteger(config, n, "$$write", write);
        return n;
    });
}

KX_API kx_EbmlNode *kx_Config_node_string_add(kx_Ebml *config, kx_EbmlNode *parent, const char *name,
                                              const char *viewName, const char *comment, uint32_t authority1,
                                              uint32_t authority2, uint32_t write, uint32_t minLength,
                                              uint32_t maxLength, uint32_t valueCountMax) {
    if (config == nullptr || name == nullptr || name[0] == '\0' || name[0] == '$') return nullptr;
    return kx::ebml::guarded<Node *>(__func__, nullptr, [&]() -> Node * {
        Node *n = settingAdd(config, parent, name, "string", viewName, comment);
        if (n == nullptr) return nullptr;
        addInteger(config, n, "$$authority", static_cast<int64_t>((uint64_t(authority2) << 32) | authority1));
        addInteger(config, n, "$$write", write);
        addInteger(config, n, "$$min", minLength);
        addInteger(config, n, "$$max", maxLength);
        addInteger(config, n, "$$valueCountMax", valueCountMax);
        return n;
    });
}

KX_API kx_EbmlNode *kx_Config_node_integer_add(kx_Ebml *config, kx_EbmlNode *parent, const char *name,
                                               const char *viewName, const char *comment, uint64_t authority,
                                               uint32_t write, int64_t min, int64_t max, uint32_t valueCountMax) {
    if (config == nullptr || name == nullptr || name[0] == '\0' || name[0] == '$') return nullptr;
    return kx::ebml::guarded<Node *>(__func__, nullptr, [&]() -> Node * {
        Node *n = settingAdd(config, parent, name, "int", viewName, comment);
        if (n == nullptr) return nullptr;
        addInteger(config, n, "$$authority", static_cast<int64_t>(authority));
        addInteger(config, n, "$$write", write);
        addInteger(config, n, "$$min", min);
        addInteger(config, n, "$$max", max);
        addInteger(config, n, "$$valueCountMax", valueCountMax);
        return n;
    });
}

KX_API int kx_Config_node_string_add_value(kx_Ebml *config, kx_EbmlNode *parent, const char *settingName,
                                           const char *value, const char *shortcut, const char *comment) {
    if (value == nullptr) return -1;
    return addChoice(config, parent, settingName, shortcut, comment, __func__,
                     [&](Node *choice) { addText(config, choice, kValue, value); });
}

KX_API int kx_Config_node_integer_add_value(kx_Ebml *config, kx_EbmlNode *parent, const char *settingName,
                                            int64_t value, const char *shortcut, const char *comment) {
    return addChoice(config, parent, settingName, shortcut, comment, __func__,
                     [&](Node *choice) { addInteger(config, choice, kValue, value); });
}

KX_API int kx_Config_node_string_set_value(kx_Ebml *config, kx_EbmlNode *setting, const char *value) {
    if (value == nullptr) return -1;
    return setValue(config, setting, "string", __func__, [&] { addText(config, setting, kValue, value); });
}

KX_API int kx_Config_node_integer_set_value(kx_Ebml *config, kx_EbmlNode *setting, int64_t value) {
    return setValue(config, setting, "int", __func__, [&] { addInteger(config, setting, kValue, value); });
}

// ---------------------------------------------------------------- reading

KX_API kx_EbmlNode *kx_Config_node_get(kx_Ebml *config, kx_EbmlNode *parent, const char *path) {
    return kx_Ebml_node_get_first(config, parent, path);
}

KX_API kx_ConfigStrings *kx_Config_node_string_get__IO(kx_Ebml *config, kx_EbmlNode *parent, const char *path) {
    if (config == nullptr || !kx::ebml::belongsTo(config, kx::ebml::target(config, parent))) return nullptr;
    return kx::ebml::guarded<kx_ConfigStrings *>(__func__, nullptr, [&]() -> kx_ConfigStrings * {
        Found f;
        if (!settingValues(config, parent, path, "string", "kx_Config_node_string_get__IO", f) || !f.any) return nullptr;
        return stringsBlock(textsOf(f.values));
    });
}

KX_API kx_ConfigIntegers *kx_Config_node_integer_get__IO(kx_Ebml *config, kx_EbmlNode *parent, const char *path) {
    if (config == nullptr || !kx::ebml::belongsTo(config, kx::ebml::target(config, parent))) return nullptr;
    return kx::ebml::guarded<kx_ConfigIntegers *>(__func__, nullptr, [&]() -> kx_ConfigIntegers * {
        Found f;
        if (!settingValues(config, parent, path, "int", "kx_Config_node_integer_get__IO", f) || !f.any) return nullptr;
        return integersBlock(numbersOf(f.values));
    });
}

KX_API char *kx_Config_node_string_get_first__IO(kx_Ebml *config, kx_EbmlNode *parent, const char *path) {
    kx_ConfigStrings *values = kx_Config_node_string_get__IO(config, parent, path);
    if (values == nullptr) return nullptr;
    char *first = values->count ? strdup(values->values[0]) : nullptr;
    free(values);
    return first;
}

KX_API int64_t kx_Config_node_int_get_first(kx_Ebml *config, kx_EbmlNode *parent, const char *path,
                                            int64_t defaultValue) {
    kx_ConfigIntegers *values = kx_Config_node_integer_get__IO(config, parent, path);
    if (values == nullptr) return defaultValue;
    int64_t first = values->count ? *values->values[0] : defaultValue;
    free(values);
    return first;
}

KX_API kx_ObjectList *kx_Config_node_template__IO(kx_Ebml *config, kx_EbmlNode *parent, const uint32_t *addresses,
                                                  uint32_t addressCount, int mode, const char *path) {
    if (config == nullptr || path == nullptr || !kx::ebml::belongsTo(config, kx::ebml::target(config, parent)))
        return nullptr;
    return kx::ebml::guarded<kx_ObjectList *>(
        __func__, nullptr, [&] { return instances(config, parent, addresses, addressCount, mode, path); });
}

KX_API kx_StringList *kx_Config_distributed_host_get__IO(kx_Ebml *config, kx_EbmlNode *parent) {
    Node *start = kx::ebml::target(config, parent);
    if (start == nullptr || !kx::ebml::belongsTo(config, start)) return nullptr;
    return kx::ebml::guarded<kx_StringList *>(__func__, nullptr, [&] { return distributedHosts(start); });
}

// ---------------------------------------------------------------- import and export

KX_API int kx_Config_import(kx_Ebml *config, kx_EbmlNode *parent, kx_Ebml *source, kx_EbmlNode *sourceParent) {
    Node *into = kx::ebml::target(config, parent), *from = kx::ebml::target(source, sourceParent);
    if (into == nullptr || from == nullptr || !kx::ebml::belongsTo(config, into) || !kx::ebml::belongsTo(source, from))
        return -1;
    if (config == source) {
        // Values and instances are replaced while the source is read: it must be another document.
        KX_LOGE("Invalid source: the configuration itself.");
        return -1;
    }
    return kx::ebml::guarded<int>(__func__, -1, [&] {
        importTree(config, into, from);
        return 1;
    });
}

KX_API kx_Ebml *kx_Config_export__IO(kx_Ebml *config, kx_EbmlNode *parent) {
    Node *from = kx::ebml::target(config, parent);
    if (from == nullptr || !kx::ebml::belongsTo(config, from)) return nullptr;
    return kx::ebml::guarded<kx_Ebml *>(__func__, nullptr, [&] { return exportTree(config, from, false); });
}

KX_API kx_Ebml *kx_Config_export_with_comment__IO(kx_Ebml *config, kx_EbmlNode *parent) {
    Node *from = kx::ebml::target(config, parent);
    if (from == nullptr || !kx::ebml::belongsTo(config, from)) return nullptr;
    return kx::ebml::guarded<kx_Ebml *>(__func__, nullptr, [&] { return exportTree(config, from, true); });
}

KX_API int kx_Config_result_string_out(const kx_ConfigStrings *values, FILE *stream, const char *separator) {
    if (values == nullptr || stream == nullptr) return -1;
    for (uint32_t i = 0; i < values->count; ++i) {
        if (i && separator && fputs(separator, stream) < 0) return -2;
        if (fputs(values->values[i], stream) < 0) return -2;
    }
    return 1;
}

}  // extern "C"
