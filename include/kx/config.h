/*
 * kx_Config: typed configuration templates over EBML documents (kx/ebml.h).
 *
 * A configuration is an EBML document whose documentTag is KX_CONFIG_ROOT. It carries
 * both the schema and the values of a program's settings: every setting is a container
 * named by the setting, whose children with names beginning "$$" describe it and hold
 * its values:
 *   "$$type"            text: "template", "node" (a group), "string" or "int"
 *   "$$viewName"        text: display name
 *   "$$comment"         text: description
 *   "$$distributed"     text (templates only, optional): name of a string setting inside
 *                       each instance whose value is the IPv4 address (optionally
 *                       ":port") of the host that runs that instance
 *   "$$authority"       integer: two unsigned 32-bit words (first in the low word)
 *   "$$write"           integer: write right
 *   "$$min", "$$max"    integer: "string": value length in bytes; "int": the value
 *   "$$valueCountMax"   integer: maximum number of values, or of instances of a template
 *   "$$value"           text ("string") or integer ("int"); repeated for several values
 *   "$$staticData"      container, repeated: one predefined choice ("$$value", optional
 *                       "$$shortcut" text and "$$comment")
 *   "$$defaultValue"    container holding the default as a "$$staticData" choice
 * A template is stored as "$" + name; its instances are containers named name, each
 * holding copies of the template's children.
 *
 * The serial form is the EBML document scrambled with the configuration key; files
 * hold the same bytes.
 */
#ifndef KX_CONFIG_H
#define KX_CONFIG_H

#include "kx/base.h"
#include "kx/ebml.h"

KX_EXTERN_C_BEGIN

#define KX_CONFIG_ROOT 0x0AD70A45u

/* kx_Config_node_template__IO modes: keep the instances whose host is one of the
 * addresses, or the ones whose host is none of them. */
#define KX_CONFIG_KEEP_LOCAL 1
#define KX_CONFIG_KEEP_REMOTE 0

/* Values of a setting: one malloc block (release with free) holding count, the
 * pointers and the values they point to (NUL-terminated texts / 64-bit numbers). */
typedef struct kx_ConfigStrings {
    uint32_t count;
    char *values[];
} kx_ConfigStrings;

typedef struct kx_ConfigIntegers {
    uint32_t count;
    int64_t *values[];
} kx_ConfigIntegers;

/* ---- Documents ---- */

KX_API kx_Ebml *kx_Config_new__IO(void);
/* The serial form; null for anything else (another documentTag: info record). */
KX_API kx_Ebml *kx_Config_new_from_string__IO(size_t lenth, const void *bytes);
KX_API kx_Ebml *kx_Config_new_from_file__IO(const char *path);
KX_API kx_Ebml *kx_Config_new_from_Config__IO(kx_Ebml *config);
KX_API void kx_Config_delete__OI(kx_Ebml *config);
/* The serial form with headRoom and tailRoom zero bytes around it, or null. */
KX_API kx_String *kx_Config_to_String__IO(kx_Ebml *config, uint32_t headRoom, uint32_t tailRoom);
/* As kx_Ebml_save_to_file: 1, -1 cannot open, -2 write failed, -3 serialisation failed. */
KX_API int kx_Config_save_to_file(kx_Ebml *config, const char *path);

/* ---- Template builders: the new setting element, or null. parent null: the root. ---- */

KX_API kx_EbmlNode *kx_Config_node_template_add(kx_Ebml *config, kx_EbmlNode *parent, const char *name,
                                                const char *viewName, const char *comment, const char *distributed,
                                                uint32_t authority1, uint32_t authority2, uint32_t write,
                                                uint32_t valueCountMax);
KX_API kx_EbmlNode *kx_Config_node_node_add(kx_Ebml *config, kx_EbmlNode *parent, const char *name,
                                            const char *viewName, const char *comment, uint32_t authority1,
                                            uint32_t authority2, uint32_t write);
KX_API kx_EbmlNode *kx_Config_node_string_add(kx_Ebml *config, kx_EbmlNode *parent, const char *name,
                                              const char *viewName, const char *comment, uint32_t authority1,
                                              uint32_t authority2, uint32_t write, uint32_t minLength,
                                              uint32_t maxLength, uint32_t valueCountMax);
KX_API kx_EbmlNode *kx_Config_node_integer_add(kx_Ebml *config, kx_EbmlNode *parent, const char *name,
                                               const char *viewName, const char *comment, uint64_t authority,
                                               uint32_t write, int64_t min, int64_t max, uint32_t valueCountMax);
/* Appends a "$$staticData" choice under the setting named settingName below parent
 * (created as a plain container when absent; settingName "$$defaultValue" under a
 * setting sets its default). 1, or -1. */
KX_API int kx_Config_node_string_add_value(kx_Ebml *config, kx_EbmlNode *parent, const char *settingName,
                                           const char *value, const char *shortcut, const char *comment);
KX_API int kx_Config_node_integer_add_value(kx_Ebml *config, kx_EbmlNode *parent, const char *settingName,
                                            int64_t value, const char *shortcut, const char *comment);
/* Appends a current value ("$$value") to a setting: 1, or -1 (wrong type). */
KX_API int kx_Config_node_string_set_value(kx_Ebml *config, kx_EbmlNode *setting, const char *value);
KX_API int kx_Config_node_integer_set_value(kx_Ebml *config, kx_EbmlNode *setting, int64_t value);

/* ---- Reading ---- */

/* First element at the path below parent, or null. */
KX_API kx_EbmlNode *kx_Config_node_get(kx_Ebml *config, kx_EbmlNode *parent, const char *path);
/* The current values of the setting at the path below parent (null path: parent is the
 * setting), or its default when it has none; null when the setting is missing (error
 * record), of another type (error record) or has neither values nor a default. */
KX_API kx_ConfigStrings *kx_Config_node_string_get__IO(kx_Ebml *config, kx_EbmlNode *parent, const char *path);
KX_API kx_ConfigIntegers *kx_Config_node_integer_get__IO(kx_Ebml *config, kx_EbmlNode *parent, const char *path);
/* The first value (a malloc copy), or null / defaultValue. */
KX_API char *kx_Config_node_string_get_first__IO(kx_Ebml *config, kx_EbmlNode *parent, const char *path);
KX_API int64_t kx_Config_node_int_get_first(kx_Ebml *config, kx_EbmlNode *parent, const char *path,
                                            int64_t defaultValue);
/* Instances of the template at the path below parent ("name" or "... name"; the
 * template itself is "$name"). With addresses (network byte order), the instances of a
 * distributed template are kept by mode; an instance whose host setting has no value
 * stays in the list (error record). A new list (delete the list, not the nodes), or
 * null when there are none. */
KX_API kx_ObjectList *kx_Config_node_template__IO(kx_Ebml *config, kx_EbmlNode *parent, const uint32_t *addresses,
                                                  uint32_t addressCount, int mode, const char *path);
/* The host values (text as stored) of every instance of every distributed template
 * below parent, in document order, each once; null when there are none. */
KX_API kx_StringList *kx_Config_distributed_host_get__IO(kx_Ebml *config, kx_EbmlNode *parent);

/* ---- Import and export ---- */

/* Fills the values and instances of the settings below parent from the elements below
 * sourceParent (source may be any EBML document, such as an export or a converted XML
 * or JSON text). The template bounds what is taken: at most "$$valueCountMax" values
 * within "$$min".."$$max" (others skipped with an info record) and at most
 * "$$valueCountMax" instances. 1, or -1 on bad arguments. */
KX_API int kx_Config_import(kx_Ebml *config, kx_EbmlNode *parent, kx_Ebml *source, kx_EbmlNode *sourceParent);
/* A value document of the settings below parent: groups and instances as containers,
 * each setting as a container of its "$$value" elements. The commented form gives every
 * element a property "comment". Null on failure. */
KX_API kx_Ebml *kx_Config_export__IO(kx_Ebml *config, kx_EbmlNode *parent);
KX_API kx_Ebml *kx_Config_export_with_comment__IO(kx_Ebml *config, kx_EbmlNode *parent);

/* Writes the values separated by separator (null: none): 1, -1 bad arguments, -2 write failed. */
KX_API int kx_Config_result_string_out(const kx_ConfigStrings *values, FILE *stream, const char *separator);

/* Self-test: 1 passed, -1 failed (records for every check). */
KX_API int kx_Config_test(void);

KX_EXTERN_C_END

#endif
