/* libjpeg-turbo's configuration for the browser build: the libjpeg 6b
 * interface (as Debian's libjpeg62-turbo), 8-bit samples, the in-memory
 * source and destination, no SIMD. */
#define JPEG_LIB_VERSION 62
#define LIBJPEG_TURBO_VERSION 1.4.80
#define BITS_IN_JSAMPLE 8
#define HAVE_LOCALE_H 1
#define HAVE_STDDEF_H 1
#define HAVE_STDLIB_H 1
#define HAVE_UNSIGNED_CHAR 1
#define HAVE_UNSIGNED_SHORT 1
#define MEM_SRCDST_SUPPORTED 1
