#pragma once

// Marks what the shared library exports; everything else is hidden.
#if defined(TAVI_STATIC_INTERNAL)
#define TAVI_API
#elif defined(TAVI_BUILDING_LIBRARY)
#define TAVI_API __attribute__((visibility("default")))
#else
#define TAVI_API __attribute__((visibility("default")))
#endif

#define TAVI_EXTERN_C extern "C" TAVI_API
