/*
 * kx_Ebml: the library's compact binary documents and their in-memory trees.
 *
 * A document holds named nodes; each node has a type, an optional value, named text
 * properties and child nodes. Documents are serialised to bytes (optionally scrambled
 * with a password, always closed by a check byte), parsed back lazily (a container's
 * bytes stay raw until a search or a walk reaches it), converted to and from XML and
 * JSON, searched by space-separated name paths and saved to files. This is not
 * Matroska's EBML: numbers and field order are the library's own.
 *
 * Byte form (all numbers are "vints": little-endian, the length n = 1 + the trailing
 * zero bits of the first byte, the value = the n-byte number >> n; written with 1-4
 * bytes, so values of 2^28 or more cannot be written):
 *   document: check word (4 bytes LE: T * 381719109 ^ documentTag), T (vint: bytes up
 *             to the check byte), version vint (1 ^ (N & 127)), encodeMethod vint
 *             (encodeMethod ^ (N & 127)), content (N bytes: the root's children, then
 *             its own data), check byte ((T + (T>>8) + (T>>16) + (T>>24)) & 0xFF, XORed
 *             with the XOR of all plain content bytes when a password scrambles the content).
 *   node:     name, NUL, type vint (not 0), propertyCount vint, contentLength vint,
 *             properties (most recently added first: name NUL value NUL), children,
 *             own data.
 *
 * Records:
 *  - The document starts with its root node: (kx_EbmlNode *)doc is the root, and a null
 *    node means the root wherever an operation also takes the document.
 *  - The fields are for reading; change the tree only through these functions. data may
 *    point into bytes shared with other nodes of the same document; lenth is
 *    authoritative.
 *  - Integer (4) and floating (5) nodes always hold exactly 8 bytes (little-endian
 *    int64 / IEEE double), kept in the node itself; text nodes (2) always end with a NUL
 *    that lenth counts.
 *  - A container with rawLength > 0 still holds unparsed content at raw: its children
 *    so far are parsed, the rest follows. Bytes at the end of a container that do not
 *    parse as nodes become its own data. Containers nested deeper than
 *    KX_EBML_NESTING_LIMIT are never parsed and keep their content raw.
 *  - Nothing here recurses on input: parsing, searching, copying, serialising and
 *    freeing use explicit work lists.
 *  - No operation takes the document's mutex; it is there for callers that share a
 *    document between threads.
 */
#ifndef KX_EBML_H
#define KX_EBML_H

#include "kx/base.h"

KX_EXTERN_C_BEGIN

/* Node types: bits 0-2; higher bits are flags kept with the node. */
#define KX_EBML_TYPE_CONTAINER 1u
#define KX_EBML_TYPE_TEXT 2u
#define KX_EBML_TYPE_BYTES 3u
#define KX_EBML_TYPE_INTEGER 4u
#define KX_EBML_TYPE_FLOAT 5u
/* Type 5 with flag 8: a wall-clock time in seconds since the epoch. */
#define KX_EBML_TYPE_TIME 13u
#define KX_EBML_KIND(type) ((type) & 7u)

/* encodeMethod values. */
#define KX_EBML_UTF8 1u
#define KX_EBML_OTHER_ENCODING 2u

/* Depth (top-level nodes are depth 1) from which container contents stay raw. */
#define KX_EBML_NESTING_LIMIT 256u
/* Every vint written is below this; larger lengths are refused by the writer. */
#define KX_EBML_VINT_LIMIT (1u << 28)

/* One property: name and value live in one heap block "name\0value\0" starting at name;
 * value points into it, or is null for a property without value. */
typedef struct kx_EbmlProperty {
    char *name;
    char *value;
} kx_EbmlProperty;

typedef struct kx_EbmlNode kx_EbmlNode;

struct kx_EbmlNode {
    unsigned char *data;       /* own value bytes, or null */
    uint32_t lenth;            /* bytes at data */
    uint32_t childCount;
    kx_EbmlNode **children;    /* childCount pointers in document order */
    uint32_t type;             /* KX_EBML_TYPE_* plus flags; the root is a container */
    uint32_t propertyCount;
    kx_EbmlProperty *properties; /* in the order they were added */
    char *name;                /* NUL-terminated, stored with the node ("" for the root) */
    kx_EbmlNode *parent;       /* null for the root */
    uint32_t depth;            /* 0 for the root, 1 for top-level nodes */
    uint32_t reserved;
    char *dataBlock;           /* internal: the shared block data points into */
    char *raw;                 /* containers: content not parsed into children yet, or null */
    size_t rawLength;          /* bytes at raw */
    char *rawBlock;            /* internal: the shared block raw points into */
    uint64_t scalar;           /* the 8 bytes of integer and floating nodes (data points here) */
};

typedef struct kx_Ebml {
    kx_EbmlNode root;
    uint32_t version;          /* 1 */
    uint32_t encodeMethod;     /* KX_EBML_UTF8 or KX_EBML_OTHER_ENCODING */
    uint32_t documentTag;      /* carried in the check word */
    pthread_mutex_t mutex;
} kx_Ebml;

/* ---- Creation, copy, deletion ---- */

KX_API kx_Ebml *kx_Ebml_new__IO(uint32_t encodeMethod, uint32_t documentTag);
KX_API void kx_Ebml_delete__OI(kx_Ebml *doc);
/* Deep copy (raw contents are copied raw). */
KX_API kx_Ebml *kx_Ebml_new_from_Ebml__IO(kx_Ebml *doc);
/* Copies source (name, type, properties, data, children; source may belong to another
 * document) as the last child of parent: the copy, or null. */
KX_API kx_EbmlNode *kx_Ebml_node_addChild_from_node(kx_Ebml *doc, kx_EbmlNode *parent, kx_EbmlNode *source);
/* Copies every child of source under parent: 1, or -1. */
KX_API int kx_Ebml_node_addChild_from_node_child(kx_Ebml *doc, kx_EbmlNode *parent, kx_EbmlNode *source);

/* New last child of parent (a container; null: the root), or null. */
KX_API kx_EbmlNode *kx_Ebml_node_addChild(kx_Ebml *doc, kx_EbmlNode *parent, const char *name, uint32_t type);
/* Named prefix + name + suffix (null parts are left out). */
KX_API kx_EbmlNode *kx_Ebml_node_addChild_extern(kx_Ebml *doc, kx_EbmlNode *parent, const char *prefix,
                                                 const char *name, const char *suffix, uint32_t type);
KX_API kx_EbmlNode *kx_Ebml_node_addChild_with_a_property(kx_Ebml *doc, kx_EbmlNode *parent, const char *name,
                                                          uint32_t type, const char *propertyName,
                                                          const char *propertyValue);
/* Detaches node from its parent and frees its subtree: 1, or -1 when node is not a node
 * of doc (the root cannot be deleted). */
KX_API int kx_Ebml_node_delete(kx_Ebml *doc, kx_EbmlNode *node);
/* Delete every node kx_Ebml_node_get__IO / kx_Ebml_node_get_child__IO finds: the number
 * deleted (a match inside an already deleted match is not counted). */
KX_API uint32_t kx_Ebml_node_delete_byString(kx_Ebml *doc, kx_EbmlNode *node, const char *path);
KX_API uint32_t kx_Ebml_node_delete_child_byString(kx_Ebml *doc, kx_EbmlNode *node, const char *path);

/* ---- Values and properties: 1 done, -1 refused (logged where the data is at fault) ----
 * Integer and floating nodes take exactly 8 bytes (length 0 sets 0); text nodes get a
 * terminating NUL when the bytes have none. A raw container's level is parsed first,
 * so its children stay. */
KX_API int kx_Ebml_node_data_set(kx_EbmlNode *node, uint32_t length, const void *bytes);
/* Takes the string (null clears). */
KX_API int kx_Ebml_node_data_set__OI_2(kx_EbmlNode *node, kx_String *string);
/* Takes a malloc'd buffer of length bytes. */
KX_API int kx_Ebml_node_data_set__OI_3(kx_EbmlNode *node, uint32_t length, void *buffer);
/* Copies the text with its NUL (null or empty clears). */
KX_API int kx_Ebml_node_data_set_string(kx_EbmlNode *node, const char *text);
KX_API int kx_Ebml_node_data_set_integer(kx_EbmlNode *node, int64_t value);
KX_API int kx_Ebml_node_data_set_double(kx_EbmlNode *node, double value);
/* The 8-byte value of an integer / floating node (0 for other nodes). */
KX_API int64_t kx_Ebml_node_integer_get(const kx_EbmlNode *node);
KX_API double kx_Ebml_node_double_get(const kx_EbmlNode *node);

/* Appends a property (value may be null). */
KX_API int kx_Ebml_node_property_add(kx_EbmlNode *node, const char *name, const char *value);
/* Appends a property whose block "name\0value\0" (from malloc) the node takes over;
 * value points into it or is null. */
KX_API int kx_Ebml_node_property_add__OI_2(kx_EbmlNode *node, char *nameBlock, char *value);
/* Value of the last property with that name ("" for one without value), or null. */
KX_API const char *kx_Ebml_node_property_get(const kx_EbmlNode *node, const char *name);

/* In document order, the data of every non-container node below node joined into one
 * string, or null when there is none. */
KX_API kx_String *kx_Ebml_value_all_get__IO(kx_Ebml *doc, kx_EbmlNode *node);

/* ---- Parsing ---- */

/* Size of the whole document that starts at bytes (4 + size of T + T + 1), or -1 when T
 * cannot be read in the bytes available (logged). */
KX_API long kx_Ebml_get_lenth(size_t length, const void *bytes);
/* Document whose root holds the whole content raw, or null (logged). Bytes after the
 * document are ignored. password null or "" for none. */
KX_API kx_Ebml *kx_Ebml_new_from_String__IO(size_t length, const void *bytes, const char *password);
KX_API kx_Ebml *kx_Ebml_new_from_file__IO(const char *path, const char *password);
/* Parses every raw container content below node (null: the whole document). */
KX_API void kx_Ebml_analyzeAll(kx_Ebml *doc, kx_EbmlNode *node);
/* The same, reporting: 1 every content below node parsed into nodes, -1 some bytes
 * did not parse as nodes and stay as a container's own data, -2 contents deeper than
 * KX_EBML_NESTING_LIMIT stay raw, -3 bad arguments or out of memory. */
KX_API int kx_Ebml_analyzeAll_check(kx_Ebml *doc, kx_EbmlNode *node);
/* Parses one more child out of a raw container: the child, or null when none is left
 * (the rest, if any, stays the container's own data). */
KX_API kx_EbmlNode *kx_Ebml_node_resolve_next_childNode(kx_Ebml *doc, kx_EbmlNode *node);

/* ---- Serialising (a node length, property count or T of 2^28 or more is refused with a
 * record: null / negative result) ---- */

/* Builder whose pieces, read in reverse order, are the document (no password). */
KX_API kx_StringBuilder *kx_Ebml_to_StringBuilder__IO(kx_Ebml *doc);
/* One string: headRoom zero bytes, the document, tailRoom zero bytes (lenth counts all). */
KX_API kx_String *kx_Ebml_to_String__IO(kx_Ebml *doc, uint32_t headRoom, uint32_t tailRoom, const char *password);
/* 1 written, -1 serialisation failed, -2 write failed. */
KX_API int kx_Ebml_out(kx_Ebml *doc, FILE *stream, const char *password);
/* 1 written, -1 the file cannot be opened, -2 write failed, -3 serialisation failed. */
KX_API int kx_Ebml_save_to_file(kx_Ebml *doc, const char *path, const char *password);

/* ---- Searching ----
 * A path is node names separated by one or more blanks; each name matches a child name
 * exactly. Raw containers met on the way are parsed. Lists are new kx_ObjectList
 * records (delete the list, not the nodes), null when nothing matches. */
/* Every node at the end of the path below node, in document order. */
KX_API kx_ObjectList *kx_Ebml_node_get__IO(kx_Ebml *doc, kx_EbmlNode *node, const char *path);
/* The first name may match at any depth below node (non-matching containers are searched
 * through, a match is not searched for the same name again); the rest of the path then
 * goes downward from each match. */
KX_API kx_ObjectList *kx_Ebml_node_get_child__IO(kx_Ebml *doc, kx_EbmlNode *node, const char *path);
KX_API kx_EbmlNode *kx_Ebml_node_get_first(kx_Ebml *doc, kx_EbmlNode *node, const char *path);
/* First node at the end of the path whose last property has exactly that name and value
 * (a null propertyValue matches a property without value or with an empty one). */
KX_API kx_EbmlNode *kx_Ebml_node_get_first_with_a_lastProperty(kx_Ebml *doc, kx_EbmlNode *node, const char *path,
                                                               const char *propertyName, const char *propertyValue);

/* ---- Conversions (the whole document is parsed first) ---- */

/* struct kx_Xml is in kx/xml.h, struct kx_Json in kx/json.h. */
struct kx_Xml;
struct kx_Json;

/* Containers become elements with child elements, properties attributes, other nodes
 * with data their text: text as is, bytes in base64, integers in decimal (all 64 bits),
 * floating values "%lf" (times as local "YYYY-MM-DD hh:mm:ss.uuuuuu"). The encoding is
 * "UTF-8" for encodeMethod 1, "GBK" otherwise. */
KX_API struct kx_Xml *kx_Ebml_convert_to_Xml__IO(kx_Ebml *doc);
/* JSON has no properties or types: a node with properties becomes an object whose first
 * members are "@name":"value", a leaf among them keeps its text in "#text", and a
 * container without children or properties holds "#container":"". Otherwise a container
 * is an object of its children and a leaf its text form. */
KX_API struct kx_Json *kx_Ebml_convert_to_Json__IO(kx_Ebml *doc);
/* Parses everything and prints the XML form to stream: 1, or -1. */
KX_API int kx_Ebml_out_debug(kx_Ebml *doc, FILE *stream);
/* Elements with children become containers, leaves text nodes, attributes properties;
 * encodeMethod 1 for a UTF-8 (or absent) encoding, else 2; documentTag 0. */
KX_API kx_Ebml *kx_Ebml_new_from_Xml__IO(struct kx_Xml *xml);
KX_API kx_Ebml *kx_Ebml_new_from_Xml_noProperty__IO(struct kx_Xml *xml);
/* The same mapping back; members read as raw objects become containers. encodeMethod 1,
 * documentTag 0. */
KX_API kx_Ebml *kx_Ebml_new_from_Json__IO(struct kx_Json *json);

KX_EXTERN_C_END

#endif
