/* Visibility of the board channel's public symbols: exported from the library, plain elsewhere. */
#ifndef OSTRANE_OSTRANEEXPORT_H
#define OSTRANE_OSTRANEEXPORT_H

#if defined(OSTRANE_BUILDING_LIBRARY)
#define OSTRANE_API __attribute__((visibility("default")))
#else
#define OSTRANE_API
#endif

#endif /* OSTRANE_OSTRANEEXPORT_H */
