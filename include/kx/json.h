/*
 * kx_Json: the library's fast JSON engine for configuration exchange and EBML
 * conversions.
 *
 * A loaded document keeps its text raw until kx_Json_analyzeAll_fast (or a lookup that
 * reaches it) parses it. The data model is narrower than JSON: a document is a tree of
 * named members, every leaf value is text, and an array is a run of sibling members
 * with the same name. Numbers, true, false and null are read as members without value.
 * Strings have no escape sequences: a key is the text between its two quotes, a value
 * runs from its opening quote to the last quote before the next ',' or '}' (',' or ']'
 * inside an array), and values are written back without escaping.
 *
 * Malformed text never fails a document: it is logged ("Error data:\"...\".") and kept
 * raw in the tree, and serialising writes it back in place:
 *  - a member whose object could not be read from some point on keeps the members
 *    read before it and, as raw value, "{" followed by the rest of that object;
 *  - an array that could not be read from some point on ends in a member whose raw
 *    value is "[" followed by the rest of that array;
 *  - objects nested deeper than KX_JSON_NESTING_LIMIT stay raw in their member;
 *  - objects and arrays that the text leaves open are marked and written open;
 *  - a text that does not start with '{' is not parsed at all.
 * Nothing in the engine recurses, so no input can exhaust the stack.
 *
 * Records:
 *  - Every operation that takes a parent node also accepts the document, cast to a
 *    node ((kx_JsonNode *)doc); a null node means the document.
 *  - The fields are for reading; change the tree only through these functions.
 *    `value` is NUL-terminated and points into a reference-counted block
 *    (valueBlock) that several nodes may share; valueLength is authoritative.
 *  - Texts handed over with an __OI_3 function and texts returned by the __IO
 *    functions that return char * are plain heap blocks (malloc / free).
 *  - No operation takes the document's mutex; it is there for callers that share a
 *    document between threads.
 */
#ifndef KX_JSON_H
#define KX_JSON_H

#include "kx/base.h"

KX_EXTERN_C_BEGIN

/* Values of the kind field. */
#define KX_JSON_KIND_NODE 1u
#define KX_JSON_KIND_DOCUMENT 2u

/* Bits of the flags field. */
#define KX_JSON_FLAG_RAW 1u         /* value is unparsed text ("{...", "[..." or the whole document) */
#define KX_JSON_FLAG_OPEN_OBJECT 2u /* the text ended inside this object: no closing brace is written */
#define KX_JSON_FLAG_OPEN_ARRAY 4u  /* the text ended inside the array this member ends: no ']' is written */
#define KX_JSON_FLAG_RAW_JOINED 8u  /* the raw rest of an array follows the element before it without ',' */

/* Depth (the document's members are depth 1) from which objects stay raw. */
#define KX_JSON_NESTING_LIMIT 256u

typedef struct kx_JsonNode kx_JsonNode;

/* Member: one heap block holding the record followed by its name. */
struct kx_JsonNode {
    char *name;              /* NUL-terminated key, stored right behind the record */
    char *value;             /* text value, or raw text (flags & KX_JSON_FLAG_RAW), or null */
    uint32_t childCount;
    uint32_t kind;           /* KX_JSON_KIND_NODE */
    kx_JsonNode **children;  /* childCount members in document order */
    kx_JsonNode *parent;     /* the member holding this one, or the document cast to a node */
    char *valueBlock;        /* shared, reference-counted block that value points into */
    size_t valueLength;      /* bytes of text at value */
    uint32_t depth;          /* 1 for a member of the document, parent's depth + 1 below */
    uint32_t flags;          /* KX_JSON_FLAG_* (the high bits are the engine's) */
};

/* Document. Its fields up to flags line up with a member's. */
typedef struct kx_Json {
    char *text;              /* a caller's heap text released with the document, or null */
    char *value;             /* the unparsed text until it is analysed, then any raw remainder */
    uint32_t childCount;     /* top-level members */
    uint32_t kind;           /* KX_JSON_KIND_DOCUMENT */
    kx_JsonNode **children;
    kx_JsonNode *parent;     /* always null */
    char *valueBlock;
    size_t valueLength;
    uint32_t depth;          /* always 0 */
    uint32_t flags;
    pthread_mutex_t mutex;
    void *nodeStore;         /* the engine's storage for parsed members */
} kx_Json;

/* Values of kx_Json_node_get_allData__IO: one heap block (free it) holding the count,
 * the text pointers and the texts; a member without value gives an empty text. */
typedef struct kx_JsonData {
    uint32_t count;
    uint32_t reserved;
    char *texts[];
} kx_JsonData;

/* ---- Documents ---- */

/* Empty document. */
KX_API kx_Json *kx_Json_new__IO(void);
/* Document whose raw value is a copy of length bytes, up to the first NUL byte; nothing
 * is checked or parsed yet. */
KX_API kx_Json *kx_Json_new_from_string_buffer__IO(size_t length, const char *buffer);
KX_API kx_Json *kx_Json_new_from_string__IO(const char *text);
/* The whole file, read without translation; null when it cannot be opened or read. */
KX_API kx_Json *kx_Json_new_from_file__IO(const char *path);
KX_API void kx_Json_delete__OI(kx_Json *doc);

/* Parses everything below node (null: the whole document). 0 when all of it was well
 * formed; -1 malformed text was met (logged, kept raw); -2 objects deeper than
 * KX_JSON_NESTING_LIMIT stay raw; -3 bad arguments or out of memory. */
KX_API int kx_Json_analyzeAll_fast(kx_Json *doc, kx_JsonNode *node);

/* ---- Building and editing ---- */

/* Appends a new member to parent (null: the document); null on error. */
KX_API kx_JsonNode *kx_Json_node_addChild(kx_Json *doc, kx_JsonNode *parent, const char *name);
/* name is nameLength bytes (it ends early at a NUL byte). */
KX_API kx_JsonNode *kx_Json_node_addChild1(kx_Json *doc, kx_JsonNode *parent, uint32_t nameLength,
                                           const char *name);
/* Deletes all children of node and stores a copy of text as its value (null or "" clears).
 * 1 done, -1 bad arguments or out of memory. The __OI_3 form takes ownership of text. */
KX_API int kx_Json_node_set_value(kx_Json *doc, kx_JsonNode *node, const char *text);
KX_API int kx_Json_node_set_value__OI_3(kx_Json *doc, kx_JsonNode *node, char *text);
/* Unlinks node from its parent and frees its subtree: 1, or -1 when node is not a member of doc. */
KX_API int kx_Json_node_delete(kx_Json *doc, kx_JsonNode *node);

/* ---- Finding ----
 * A path is member names separated by blanks, resolved downward from node (null: the
 * document). Raw objects met on the way are parsed first. */
/* New list (kx_ObjectList_delete__OI it; the members stay in the document) of every match
 * in document order, or null when nothing matches. */
KX_API kx_ObjectList *kx_Json_node_get_all__IO(kx_Json *doc, kx_JsonNode *node, const char *path);
/* The values of every match in document order, or null when nothing matches. */
KX_API kx_JsonData *kx_Json_node_get_allData__IO(kx_Json *doc, kx_JsonNode *node, const char *path);
/* The first match in document order, or null. */
KX_API kx_JsonNode *kx_Json_node_get_first(kx_Json *doc, kx_JsonNode *node, const char *path);

/* ---- Serialising ----
 * lineStart is written before every member line and closing brace, lineEnd after every
 * opening brace and member (null: nothing); members are indented by indentStep blanks
 * per level. Adjacent members with the same name are written as one array. */
/* Into a new string: reserveBefore zero bytes, the text, reserveAfter zero bytes; lenth
 * counts all three (null when that exceeds UINT32_MAX). Release with kx_String_delete__OI. */
KX_API kx_String *kx_Json_to_String__IO(kx_Json *doc, uint32_t reserveBefore, uint32_t reserveAfter,
                                        const char *lineStart, const char *lineEnd, uint32_t indentStep);
/* New NUL-terminated text (free it), or null. */
KX_API char *kx_Json_to_string__IO(kx_Json *doc, const char *lineStart, const char *lineEnd, uint32_t indentStep);
/* Writes the text with the string builder's file writer and returns its result: 1 written,
 * -1 the file cannot be opened (or bad arguments), -2 a write failed, -3 serialisation failed. */
KX_API int kx_Json_save_to_file(kx_Json *doc, const char *path, const char *lineStart, const char *lineEnd,
                                uint32_t indentStep);

KX_EXTERN_C_END

#endif
