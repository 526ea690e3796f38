/* The public C interface of libMurelEngine. Compiles as C (C99 or later) and as C++.
   Handles are opaque pointers; success is a non-null handle or a true result. No function lets
   an exception or a crash out for bad input: null handles and pointers are ignored. */
#ifndef MUREL_ENGINE_H
#define MUREL_ENGINE_H

/* clang-format off */

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#if defined(MUREL_BUILDING_ENGINE)
#define MUREL_API __declspec(dllexport)
#else
#define MUREL_API __declspec(dllimport)
#endif
#else
#define MUREL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Model or processor description, filled by murelGetModelInfo (model handles) and
   murelGetProcessorInfo (processor handles). */
typedef struct MurelModelInfo
{
    double sampleRate;     /* Hz */
    int32_t numOfChannels; /* input channels */
    int32_t latency;       /* model handle: the FFT size; processor handle: latency in samples */
    int32_t windowSize;    /* samples at the model rate */
    int32_t hopSize;       /* samples at the model rate */
    int32_t modelLatency;  /* frames; written from model handles only */
} MurelModelInfo;

#if defined(__cplusplus)
static_assert(sizeof(MurelModelInfo) == 32, "MurelModelInfo must be 32 bytes");
static_assert(offsetof(MurelModelInfo, sampleRate) == 0, "MurelModelInfo layout");
static_assert(offsetof(MurelModelInfo, numOfChannels) == 8, "MurelModelInfo layout");
static_assert(offsetof(MurelModelInfo, latency) == 12, "MurelModelInfo layout");
static_assert(offsetof(MurelModelInfo, windowSize) == 16, "MurelModelInfo layout");
static_assert(offsetof(MurelModelInfo, hopSize) == 20, "MurelModelInfo layout");
static_assert(offsetof(MurelModelInfo, modelLatency) == 24, "MurelModelInfo layout");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(MurelModelInfo) == 32, "MurelModelInfo must be 32 bytes");
_Static_assert(offsetof(MurelModelInfo, sampleRate) == 0, "MurelModelInfo layout");
_Static_assert(offsetof(MurelModelInfo, numOfChannels) == 8, "MurelModelInfo layout");
_Static_assert(offsetof(MurelModelInfo, latency) == 12, "MurelModelInfo layout");
_Static_assert(offsetof(MurelModelInfo, windowSize) == 16, "MurelModelInfo layout");
_Static_assert(offsetof(MurelModelInfo, hopSize) == 20, "MurelModelInfo layout");
_Static_assert(offsetof(MurelModelInfo, modelLatency) == 24, "MurelModelInfo layout");
#endif

/* ---- Processor functions ----
   (audio processors and stem separators, their parameters and output buses)

   murelGetProcessorInfo(void*, MurelModelInfo*) must be declared here inside
   #if !defined(MUREL_DEFINES_MODEL_INFO_OVERLOAD) ... #endif: the library also exports a C++
   overload of that name and those parameters for model handles, and no C++ translation unit can
   declare both. */

/* ---- Model and tensor functions ----
   Run tensors [frames, rows, channels] through a model directly, without spectral
   processing. */

/* Loads a model file. Null when the file cannot be opened or is not a model the engine can run
   safely. */
MUREL_API void* murelCreateModel(const char* modelFilePath);

/* Pushes one row-major float tensor into the model and keeps everything the network finished
   for it as the result. The shape must be [frames >= 0, rows, channels] with the rows and
   channels of the model's input; any other shape leaves an empty result. */
MUREL_API void murelAddTensor(void* model, const float* data, int numOfAxes, const int* shape);

/* Writes the result's axes when numOfAxes is its number of axes (0 for an empty result). */
MUREL_API bool murelGetResultTensorShape(void* model, int numOfAxes, int* shape);

/* Copies the result's elements; false when there are none. The result stays until the next
   murelAddTensor. */
MUREL_API bool murelGetTensor(void* model, float* data);

/* Returns the network to its state right after loading; the result stays. */
MUREL_API void murelResetModelState(void* model);

/* Frees the model; null is ignored. */
MUREL_API void murelDeleteModel(void* model);

/* Clears info and fills it from a model handle; latency receives the FFT size and
   modelLatency the model's latency in frames. */
MUREL_API void murelGetModelInfo(void* model, MurelModelInfo* info);

#ifdef __cplusplus
}
#endif

/* clang-format on */

#endif /* MUREL_ENGINE_H */
