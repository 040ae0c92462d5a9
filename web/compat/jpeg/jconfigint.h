/* libjpeg-turbo's internal configuration for the browser build. */
#define BUILD "velmora-web"
#define INLINE inline __attribute__((always_inline))
#define PACKAGE_NAME "libjpeg-turbo"
#define VERSION "1.4.80"
#define SIZEOF_SIZE_T 4
