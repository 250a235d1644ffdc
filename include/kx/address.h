/* Host addresses and URL parameters: strict dotted-quad IPv4 text, its CIDR form,
 * query-string splitting and HTTP URL splitting.
 *
 * Every parser works on a pointer plus an explicit length and never reads past it;
 * no terminating NUL is needed inside the counted range. No parser logs, and none
 * calls a name resolver.
 *
 * IPv4 addresses are 32-bit values in network byte order: the first octet is the
 * first byte in memory (the lowest byte on little-endian hosts), exactly what
 * struct in_addr.s_addr holds. Ports are 16-bit values in host order. */
#ifndef KX_ADDRESS_H
#define KX_ADDRESS_H

#include "kx/base.h"

KX_EXTERN_C_BEGIN

/* "Not an address". It equals 255.255.255.255, so the broadcast text cannot be told
 * apart from a failure by the value alone. */
#define KX_IPV4_INVALID 0xFFFFFFFFu

/* Address and prefix length of a text such as 10.1.0.0/16. */
typedef struct kx_ipv4Network {
    uint32_t ipv4;
    uint8_t prefix; /* 0..32 */
} kx_ipv4Network;

/* Strict dotted quad: four groups of 1-3 decimal digits (leading zeros allowed, each
 * at most 255) separated by single dots, ending exactly at `length`. Returns the
 * address, or KX_IPV4_INVALID when the length is outside 7..15 or the text is not a
 * dotted quad. */
KX_API uint32_t kx_ipv4_network_get(size_t length, const char *text);

/* Dotted quad with an optional "/prefix" (one or two digits, at most 32).
 * Without '/': result = {address, 32}; returns the address (KX_IPV4_INVALID when
 * the text is not a dotted quad).
 * With '/': the zero address gives {0, 32} and returns 0; otherwise an empty suffix
 * means 32 and the call returns the prefix, with result = {address, prefix}.
 * A bad address before '/' gives {KX_IPV4_INVALID, 32}, a bad suffix {0, 32}; both
 * return KX_IPV4_INVALID. `result` may be null. */
KX_API uint32_t kx_ipv4_get_from_string(kx_ipv4Network *result, size_t length, const char *text);

/* One query parameter: name=value. A segment without '=' has a null value, one
 * starting with '=' a null name, one ending with '=' a null value. */
typedef struct kx_UrlParameterPair {
    char *name;
    char *value;
} kx_UrlParameterPair;

/* Split request URL, one heap block: the record, the pair array and every
 * NUL-terminated text follow each other; release it with kx_UrlParameter_delete__OI
 * (or free). */
typedef struct kx_UrlParameter {
    char *path;                      /* everything before the first '?' */
    uint32_t count;                  /* number of pairs */
    kx_UrlParameterPair *parameters; /* count pairs, in text order */
} kx_UrlParameter;

/* Splits `text` at the first '?' into path and parameters; parameters are cut at
 * '&' and at the first '=' of each segment; empty segments are skipped. Names and
 * values are copied as they are (no percent or '+' decoding, no trimming).
 * Returns null only when memory is exhausted, or for a null text with a non-zero
 * length. */
KX_API kx_UrlParameter *kx_UrlParameter_new_IO(const char *text, size_t length);
KX_API void kx_UrlParameter_delete__OI(kx_UrlParameter *parameter);
/* Index of the first pair whose name equals `name`, or -1. */
KX_API long kx_UrlParameter_indexOf(const kx_UrlParameter *parameter, const char *name);

enum { KX_URL_PROTOCOL_HTTP = 1 };

/* Split HTTP URL. Exactly one of ipv4 != KX_IPV4_INVALID and hostName != null holds,
 * except for the literal 255.255.255.255 (ipv4 all ones, hostName null). */
typedef struct kx_Url {
    uint32_t protocol; /* KX_URL_PROTOCOL_HTTP */
    uint32_t ipv4;     /* host as dotted quad, or KX_IPV4_INVALID */
    uint16_t port;     /* 80 unless given */
    char *path;        /* from the first '/' to the end, query included; at least "/" */
    char *hostName;    /* host when it is a name rather than a dotted quad, else null */
    char *username;    /* from "user[:password]@" before the host, else null */
    char *password;    /* null when the user part has no ':' */
} kx_Url;

/* Splits [http://][user[:password]@]host[:port][/path] (scheme case-insensitive).
 * Returns null for another scheme, an empty host, a host that is neither a dotted
 * quad nor a valid name (letters, digits, '-', '_', dot-separated labels of at most
 * 63, at most 253 in all, last label not all digits), or a port that is not 1-65535
 * in decimal digits (an empty port means 80). The text is not modified. */
KX_API kx_Url *kx_Url_new_buffer__IO(const char *text, size_t length);
/* The same for a NUL-terminated text. */
KX_API kx_Url *kx_Url_new__IO(const char *text);
KX_API void kx_Url_delete__OI(kx_Url *url);

KX_EXTERN_C_END

#endif
