#pragma once

// Symbols are hidden by default; MUREL_EXPORT marks the library's public surface.
#if defined(_WIN32)
#if defined(MUREL_BUILDING_ENGINE)
#define MUREL_EXPORT __declspec(dllexport)
#else
#define MUREL_EXPORT __declspec(dllimport)
#endif
#else
#define MUREL_EXPORT __attribute__((visibility("default")))
#endif
