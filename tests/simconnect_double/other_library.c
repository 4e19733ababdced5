/* A library that is not SimConnect. Built as is, it is a SimConnect.dll
 * without any of the five entry points; built with NEEDS_OTHER_LIBRARY, it
 * imports the plain build, which the tests leave out, so that it cannot load
 * for want of a library it needs. */
#ifdef _WIN32
#define EXPORT __declspec(dllexport)
#else
#define EXPORT __attribute__((visibility("default")))
#endif

#ifdef NEEDS_OTHER_LIBRARY
int tavrik_other_library(void);
EXPORT int tavrik_needs_other_library(void) { return tavrik_other_library() + 1; }
#else
EXPORT int tavrik_other_library(void) { return 1; }
#endif
