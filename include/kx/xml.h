/*
 * kx_Xml: the library's small XML engine.
 *
 * A loaded document keeps element contents as raw text and parses them only when
 * asked (lazy parsing): by kx_Xml_analyzeAll, by the path lookups, or one element
 * at a time by kx_Xml_node_resolve_next_childNode. The tree can be edited and
 * written back with configurable line breaks and indentation.
 *
 * Not a validating or namespace-aware parser: entities are neither decoded nor
 * encoded, there is no CDATA, attribute values are double-quoted (or bare), and an
 * element holds either text or child elements. Text between two sibling elements is
 * dropped; a malformed element is never lost but stays as raw text in its parent's
 * value. Markup that could not be written back the same way is not taken as an
 * element or attribute: element names with '"' or '<', starting with '!' or '?' or
 * ending in '/'; attribute names with '"', '<' or '>'; bare values with '"'.
 *
 * Records:
 *  - Every operation that takes a parent node also accepts the document, cast to a
 *    node ((kx_XmlNode *)doc): the first fields of both records line up. Passing a
 *    null node means the document wherever an operation also takes the document.
 *  - Element contents nested deeper than KX_XML_NESTING_LIMIT levels are never
 *    parsed; they stay as raw text in the value of the element at that depth and
 *    are written back unchanged.
 *  - The fields are for reading. Change the tree only through these functions:
 *    `value` points into a reference-counted block (valueBlock) that several nodes
 *    may share (a loaded document keeps one copy of its text and nodes view into
 *    it); the value is NUL-terminated and valueLength is authoritative; arrays grow
 *    in steps the engine tracks.
 *  - Texts handed over with an __OI_2 / __IO_3 function, and texts returned by the
 *    __IO functions that return char *, are plain heap blocks (malloc / free).
 *  - No operation takes the document's mutex; it is there for callers that share a
 *    document between threads.
 */
#ifndef KX_XML_H
#define KX_XML_H

#include "kx/base.h"

KX_EXTERN_C_BEGIN

/* Values of the kind field. */
#define KX_XML_KIND_NODE 1u
#define KX_XML_KIND_DOCUMENT 2u

/* Depth (root elements are depth 1) from which element contents stay raw. */
#define KX_XML_NESTING_LIMIT 256u

/* One attribute. name and value live in one heap block "name\0value\0" that starts
 * at name; value points into it. Freeing name releases the pair. */
typedef struct kx_XmlProperty {
    char *name;
    char *value;
} kx_XmlProperty;

typedef struct kx_XmlNode kx_XmlNode;

/* Element node: one heap block holding the record followed by its name. */
struct kx_XmlNode {
    char *name;              /* NUL-terminated, stored right behind the record */
    char *value;             /* text content, or raw unparsed content beginning with '<', or null */
    uint32_t childCount;
    uint32_t kind;           /* KX_XML_KIND_NODE */
    kx_XmlNode **children;   /* childCount pointers in document order */
    uint32_t propertyCount;
    uint32_t depth;          /* 1 for a root element, parent's depth + 1 below */
    kx_XmlProperty *properties;
    kx_XmlNode *parent;      /* the element holding this one, or the document cast to a node */
    char *valueBlock;        /* shared, reference-counted block that value points into */
    size_t valueLength;      /* bytes of text at value */
};

/* Document. Its fields up to valueLength line up with a node's. */
typedef struct kx_Xml {
    char *comment;           /* comment before the root element, or null */
    char *value;             /* unparsed body (after the declaration and leading comment), or null */
    uint32_t childCount;     /* top-level elements */
    uint32_t kind;           /* KX_XML_KIND_DOCUMENT */
    kx_XmlNode **children;
    uint32_t propertyCount;  /* always 0 */
    uint32_t depth;          /* always 0 */
    kx_XmlProperty *properties; /* always null */
    kx_XmlNode *parent;      /* always null */
    char *valueBlock;
    size_t valueLength;
    char *version;           /* from the declaration (lower-cased), heap text or null; "1.0" is written when null */
    char *encoding;          /* from the declaration (lower-cased), heap text or null; "UTF-8" is written when null */
    pthread_mutex_t mutex;
} kx_Xml;

/* ---- Documents ---- */

/* Empty document. */
KX_API kx_Xml *kx_Xml_new__IO(void);
/* Loads length bytes (not NUL-terminated; trailing NUL bytes are ignored, any other
 * NUL byte is invalid). Reads the declaration and the leading comment, cuts the
 * other comments out and keeps the body unparsed. Null on invalid data or an
 * unterminated comment (logged). */
KX_API kx_Xml *kx_Xml_new_from_string_buffer__IO(size_t length, const char *buffer);
KX_API kx_Xml *kx_Xml_new_from_string__IO(const char *text);
/* The whole file, read without translation; null when it cannot be opened or read. */
KX_API kx_Xml *kx_Xml_new_from_file__IO(const char *path);
KX_API void kx_Xml_delete__OI(kx_Xml *doc);

/* Parses everything below node (null: the whole document). Returns null when there
 * was nothing left to parse, else node (the document cast to a node for null). */
KX_API kx_XmlNode *kx_Xml_analyzeAll(kx_Xml *doc, kx_XmlNode *node);
/* Same parse, reporting whether the text below node was well formed:
 * 1 everything below node is parsed into elements (or was already),
 * -1 malformed or dropped text was met (logged; malformed text stays raw),
 * -2 contents deeper than KX_XML_NESTING_LIMIT stay raw,
 * -3 bad arguments or out of memory. */
KX_API int kx_Xml_analyzeAll_check(kx_Xml *doc, kx_XmlNode *node);

/* Serialisation. lineStart is written before every element line, lineEnd after
 * every closing tag (null: nothing); child elements are indented by indentStep
 * blanks per level. The unparsed body of the document follows the elements. */
/* Into a new string: reserveBefore zero bytes, the text, reserveAfter zero bytes;
 * lenth counts all three. Release with kx_String_delete__OI. */
KX_API kx_String *kx_Xml_to_String__IO(kx_Xml *doc, uint32_t reserveBefore, uint32_t reserveAfter,
                                       const char *lineStart, const char *lineEnd, uint32_t indentStep);
/* New NUL-terminated text (free it), or null. */
KX_API char *kx_Xml_to_string__IO(kx_Xml *doc, const char *lineStart, const char *lineEnd, uint32_t indentStep);
/* The same without attributes. */
KX_API char *kx_Xml_to_string_noProperty__IO(kx_Xml *doc, const char *lineStart, const char *lineEnd,
                                             uint32_t indentStep);
/* 1 written, -1 the file cannot be opened, -2 write failed, -3 serialisation failed. */
KX_API signed char kx_Xml_save_to_file(kx_Xml *doc, const char *path, const char *lineStart, const char *lineEnd,
                                       uint32_t indentStep);

/* ---- Building and editing ---- */

/* Create an element, append it as the last child of parent (null: the document), return it; null on error. */
KX_API kx_XmlNode *kx_Xml_node_addChild(kx_Xml *doc, kx_XmlNode *parent, const char *name);
/* name is nameLength bytes (it ends early at a NUL byte). */
KX_API kx_XmlNode *kx_Xml_node_addChild1(kx_Xml *doc, kx_XmlNode *parent, uint32_t nameLength, const char *name);
KX_API kx_XmlNode *kx_Xml_node_addChild_with_data(kx_Xml *doc, kx_XmlNode *parent, const char *name,
                                                  const char *value);
/* A null propertyValue gives an empty value. */
KX_API kx_XmlNode *kx_Xml_node_addChild_with_data_and_a_property(kx_Xml *doc, kx_XmlNode *parent, const char *name,
                                                                 const char *value, const char *propertyName,
                                                                 const char *propertyValue);

/* Appends text to the node's value. Raw element text appended this way (for
 * instance "<item><id>7</id></item>") is parsed by the next lookup or analyzeAll.
 * 1 done, -1 bad arguments. The __OI_2 form takes ownership of text. */
KX_API int kx_Xml_node_add_value(kx_XmlNode *node, const char *text);
KX_API int kx_Xml_node_add_value__OI_2(kx_XmlNode *node, char *text);
/* Deletes all children of node and replaces its value by text (null or "" clears
 * it). 1 done, -1 bad arguments. The __IO_3 form takes ownership of text. */
KX_API int kx_Xml_node_set_value(kx_Xml *doc, kx_XmlNode *node, const char *text);
KX_API int kx_Xml_node_set_value__IO_3(kx_Xml *doc, kx_XmlNode *node, char *text);

/* Attributes (elements only, not the document). add appends (1); set replaces the
 * value of the last attribute with that name (2) or appends (1); -1 bad arguments.
 * The __OI_2 forms take a heap block "name\0value\0" starting at name, value pointing
 * into it (null value: empty). */
KX_API int kx_Xml_node_property_add(kx_XmlNode *node, const char *name, const char *value);
KX_API int kx_Xml_node_property_add__OI_2(kx_XmlNode *node, char *name, char *value);
KX_API int kx_Xml_node_property_set(kx_XmlNode *node, const char *name, const char *value);
KX_API int kx_Xml_node_property_set__OI_2(kx_XmlNode *node, char *name, char *value);
/* Removes the last attribute with that name: 1, or -1 when there is none. */
KX_API int kx_Xml_node_property_delete(kx_XmlNode *node, const char *name);
/* Value of the last attribute with that name, or null. */
KX_API const char *kx_Xml_node_property_get(const kx_XmlNode *node, const char *name);

/* Removes node from its parent and frees its subtree: 1, or -1 when node is not an element of doc. */
KX_API int kx_Xml_node_delete(kx_Xml *doc, kx_XmlNode *node);
/* Frees all children of node (null: the document): 1, or -1 on bad arguments. */
KX_API int kx_Xml_node_delete_child(kx_Xml *doc, kx_XmlNode *node);
/* Delete every parsed element with that name, with its subtree, in one pass over
 * the tree; elements still held as raw text are not reached (kx_Xml_analyzeAll
 * first). Return the number of elements removed (nested matches inside a removed
 * element are not counted). */
KX_API uint32_t kx_Xml_node_delete_by_name(kx_Xml *doc, const char *name);
KX_API uint32_t kx_Xml_node_delete_by_leafName(kx_Xml *doc, const char *name);
/* Deletes the first parsed element with that name in document order: 1, or 0 when there is none. */
KX_API int kx_Xml_node_delete_by_leafName_first(kx_Xml *doc, const char *name);

/* ---- Finding ----
 * A path is element names separated by blanks, resolved downward from node (null:
 * the document). Already parsed children are searched from the last to the first;
 * then the raw text of the node is parsed element by element, stopping at the first
 * element that completes the path (the rest stays raw). */
KX_API kx_XmlNode *kx_Xml_node_get_first(kx_Xml *doc, kx_XmlNode *node, const char *path);
/* As above; the last element must carry the attribute propertyName with exactly propertyValue. */
KX_API kx_XmlNode *kx_Xml_node_get_first_with_a_lastProperty(kx_Xml *doc, kx_XmlNode *node, const char *path,
                                                             const char *propertyName, const char *propertyValue);
/* As above; the last element's text value must equal value exactly. */
KX_API kx_XmlNode *kx_Xml_node_get_first_with_a_value(kx_Xml *doc, kx_XmlNode *node, const char *path,
                                                      const char *value);
/* New list (kx_ObjectList_delete__OI it; the nodes stay in the document) of every
 * match in document order, or null when nothing matches. */
KX_API kx_ObjectList *kx_Xml_node_get_all__IO(kx_Xml *doc, kx_XmlNode *node, const char *path);
/* New text: the first match's inner XML, compact and without attributes, then its
 * text value; null when nothing matches. */
KX_API char *kx_Xml_node_get_value_string_first__IO(kx_Xml *doc, kx_XmlNode *node, const char *path);
/* When the first match's value is decimal digits only, stores it in *result.
 * Returns *result (unchanged when there is no match, the value is not all digits or
 * does not fit a long; 0 for a null result). */
KX_API long kx_Xml_node_get_value_number_first(kx_Xml *doc, kx_XmlNode *node, const char *path, long *result);
/* Parses one more child element out of node's raw value: the new element, or null
 * when no complete element remains. */
KX_API kx_XmlNode *kx_Xml_node_resolve_next_childNode(kx_Xml *doc, kx_XmlNode *node);

/* ---- Serialising single nodes (new NUL-terminated texts, free them) ---- */

/* Outer XML of node, written at indentation indent. */
KX_API char *kx_Xml_node_to_string__IO(const kx_XmlNode *node, const char *lineStart, const char *lineEnd,
                                       uint32_t indent, uint32_t indentStep);
/* Inner XML: the children, each written at indentation indent, then the value. */
KX_API char *kx_Xml_node_get_value__IO(const kx_XmlNode *node, const char *lineStart, const char *lineEnd,
                                       uint32_t indent, uint32_t indentStep);

KX_EXTERN_C_END

#endif
