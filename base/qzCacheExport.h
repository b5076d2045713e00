// Export macro for the public classes of qzCacheShared.
#pragma once

#if defined(QZCACHE_STATIC)
#define QZCACHE_API
#elif defined(_WIN32) || defined(__CYGWIN__)
#if defined(QZCACHE_BUILDING)
#define QZCACHE_API __declspec(dllexport)
#else
#define QZCACHE_API __declspec(dllimport)
#endif
#else
#define QZCACHE_API __attribute__((visibility("default")))
#endif
