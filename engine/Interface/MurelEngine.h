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

/* The library's version; murelGetVersionString gives the version of the library actually loaded. */
#define MUREL_VERSION_MAJOR 0
#define MUREL_VERSION_MINOR 1
#define MUREL_VERSION_PATCH 0
#define MUREL_VERSION_STRING "0.1.0"

/* Parameter ids of murelGetParameterValue, murelSetParameterValue and murelGetParameterRange. */
#define MUREL_PARAMETER_BUS1_LEVEL 1              /* dB, -96 to 0, with bus 0 at unity */
#define MUREL_PARAMETER_BUS0_SENSITIVITY 2        /* -100 to 100 */
#define MUREL_PARAMETER_EXTRAPOLATION_OFF 3       /* read only: 1 when mask extrapolation is off */
#define MUREL_PARAMETER_BUS_GAIN(bus) (256 + (bus))        /* linear, 0 to 100 */
#define MUREL_PARAMETER_BUS_SENSITIVITY(bus) (512 + (bus)) /* -100 to 100 */
/* Buses whose gain and sensitivity are stored; later buses always mix at unity. */
#define MUREL_MAX_NUM_OF_CONTROLLED_BUSSES 16

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

/* Why the last failing create call (murelCreateProcessor, murelCreateStemSeparator,
   murelCreateModel) on the calling thread failed, in one line: the file that could not be opened
   and why, a file that is not a model, an unsupported version, the layer record and what in it did
   not fit, models that cannot run together, a sample rate the processor cannot run. Every create
   call clears it first, so after a success it is "". The text stays valid until the next create
   call on the same thread. Never null. */
MUREL_API const char* murelGetLastErrorMessage(void);

/* The version of the loaded library, e.g. "0.1.0" (MUREL_VERSION_STRING of its build). */
MUREL_API const char* murelGetVersionString(void);

/* ---- Processor functions ----
   A processor cleans or separates float audio with one or more models. Audio is pushed in
   blocks of any size and taken back from the handle's output queue, delayed by the latency
   that murelGetProcessorInfo reports. Calls that touch audio (add, get, process, pending count,
   reset, info, delete) must come from one thread at a time per handle; the parameter
   functions may be called from any thread at any time. After murelPrepareProcessor (or once the
   first frames have passed at a block size), adding, getting and processing audio and resetting
   neither allocate memory nor wait on a lock.

   Non-finite audio: a NaN or infinite input sample counts as silence (0) for the models and
   the mix, and finite input never gives non-finite output, whatever its magnitude (values
   that overflow on the way are set to 0). */

/* Creates a processor from one model file for audio of numOfChannels channels (1 to 1024)
   at sampleRate Hz. Null when the file cannot be loaded or run, or for bad arguments, and
   for a sampleRate more than 32 times the model's or one that needs a transform of more
   than 65536 points; murelGetLastErrorMessage then says why. */
MUREL_API void* murelCreateProcessor(const char* modelFilePath, int numOfChannels, double sampleRate);

/* Creates a stem separator from numOfModelFiles model files that agree in blocking, rates,
   channel counts and processing mode. Its output buses are each model's own buses in model
   order, then one residual bus named by the first model. Null on any failure (see
   murelGetLastErrorMessage). */
MUREL_API void* murelCreateStemSeparator(int numOfModelFiles, const char** modelFilePaths, int numOfChannels,
                                         double sampleRate);

/* Stops the processor's worker threads and frees it; null is ignored. */
MUREL_API void murelDeleteProcessor(void* processor);

/* Processes numOfSamples samples of every channel (one pointer per channel). Does nothing
   for a null handle or buffer or a sample count below 1. */
MUREL_API void murelAddAudio(void* processor, float** channels, int numOfSamples);

/* As murelAddAudio, for interleaved frames (channel 0 first). */
MUREL_API void murelAddAudioInterleaved(void* processor, float* samples, int numOfFrames);

/* Takes exactly numOfSamples processed samples per channel. False, with nothing written
   and nothing taken, when fewer are pending or for bad arguments. 0 samples: true. */
MUREL_API bool murelGetAudio(void* processor, float** channels, int numOfSamples);

/* As murelGetAudio, writing interleaved frames. */
MUREL_API bool murelGetAudioInterleaved(void* processor, float* samples, int numOfFrames);

/* Processed samples per channel waiting to be taken; 0 for a null handle. */
MUREL_API int murelGetNumOfPendingSamples(void* processor);

/* The call for audio callbacks: processes numOfSamples samples of every channel and writes
   exactly numOfSamples to output, which is the input delayed by exactly the latency that
   murelGetProcessorInfo reports, whatever the block sizes, and silence before the first
   processed sample. input and output may be the same buffers. Like adding and getting audio,
   it neither allocates memory nor waits on a lock once the first frames have passed at a block
   size (or after murelPrepareProcessor). Use either this call or murelAddAudio and murelGetAudio
   on a handle, not both (murelResetProcessorState starts over). False, writing nothing, for a
   null handle or buffer or a sample count below 1. In C a float** does not convert to
   const float* const* by itself: declare the callback's input so, or cast. A callback:
       void process(void* p, const float* const* input, float** output, int n)
       {
           murelProcessAudio(p, input, output, n);
       } */
MUREL_API bool murelProcessAudio(void* processor, const float* const* input, float** output, int numOfSamples);

/* As murelProcessAudio, for interleaved frames (channel 0 first). */
MUREL_API bool murelProcessAudioInterleaved(void* processor, const float* input, float* output, int numOfFrames);

/* Drops queued audio and the models' streaming state: the handle then behaves as a new one
   with the same parameters. Allocates nothing, so an audio callback may call it (on a transport
   jump, for example). */
MUREL_API void murelResetProcessorState(void* processor);

/* Sizes every buffer for blocks of up to maximumBlockSize samples, so that audio calls with such
   blocks allocate nothing from the first frame on; call it before audio starts (it allocates, and
   resets the handle as murelResetProcessorState does). Without it the buffers grow during the
   first frames. False for a null handle, a size below 1 or when memory runs out. */
MUREL_API bool murelPrepareProcessor(void* processor, int maximumBlockSize);

#if !defined(MUREL_DEFINES_MODEL_INFO_OVERLOAD)
/* Fills sampleRate, numOfChannels, windowSize and hopSize from the first model (as stored in
   its file) and latency with the processor's latency in samples at the handle's rate: how much
   input must follow a sample before murelGetAudio can return it, and the delay of
   murelProcessAudio. modelLatency is left as it is. */
MUREL_API void murelGetProcessorInfo(void* processor, MurelModelInfo* info);
#endif

/* Parameters (the MUREL_PARAMETER_ macros above). Id 1: level of bus 1 in dB (-96 to 0) with
   bus 0 at unity; id 2: sensitivity of bus 0 (-100 to 100); id 3 (read only): 1 when mask
   extrapolation is off; 256 + b: linear gain of bus b (0 to 100); 512 + b: sensitivity of bus b
   (-100 to 100). Only buses 0 to 15 hold values; other ids read 0 and ignore writes. Values that
   are not finite (NaN, infinities) are ignored.
   One rule for every parameter: a value outside the range murelGetParameterRange reports is
   clamped to it (a gain of 1000 stores 100, a sensitivity of 500 stores 100). The one exception
   is below the floor of id 1: a level under -96 dB stores its own, smaller gain (and reads back
   as -96), so that a host can still silence bus 1 through it. */
MUREL_API float murelGetParameterValue(void* processor, int parameterId);
MUREL_API void murelSetParameterValue(void* processor, int parameterId, float value);

/* Writes the range of parameterId; ids without a range leave both untouched. */
MUREL_API void murelGetParameterRange(void* processor, int parameterId, float* minimum, float* maximum);

/* Output buses, the residual (last) included; 0 for a null handle. */
MUREL_API int murelGetNumOfOutputBusses(void* processor);

/* Zero-fills the buffer and copies as much of the bus name as fits: the name is terminated
   only when it is shorter than the buffer. An unknown bus gives the empty name. */
MUREL_API void murelGetOutputBusName(void* processor, int busIndex, char* name, int bufferSize);

/* The vector arithmetic back end, "ARM NEON", copied as murelGetOutputBusName does. */
MUREL_API void murelGetVectorArithmeticWrapperName(char* name, int bufferSize);

/* ---- Host policy ----
   What every shipped host (the murel tool, the batch command, the plug-in, the Python binding)
   does by default and how it reads bus settings, in one place, so that another host can behave
   the same way. */

/* The default model for a host running at sampleRate Hz (0: any rate): the path of the model file
   the shipped hosts use when none is given, looked for beside the loaded library
   (<prefix>/share/MurelEngine/models), then in the prefix the library was built for. Copies like
   murelGetOutputBusName (zero-filled, terminated when shorter than the buffer). False, with the
   buffer zero-filled, when no default model is installed or found, or when the path and its
   terminator do not fit. */
MUREL_API bool murelGetDefaultModelPath(double sampleRate, char* path, int bufferSize);

/* The model files of a named set, as every shipped host finds them: "denoiser" (one file, the
   default model) and "separator" (the dialogue model, then the music model: buses "Dialogue",
   "Music" and the residual "Effects" when loaded together in this order with
   murelCreateStemSeparator). A set is looked for where the default model is, and comes whole from
   one folder. Copies the path of model modelIndex (0 up to the count - 1) like
   murelGetDefaultModelPath and returns the number of files in the set; 0, with the buffer
   zero-filled, for an unknown name, a set not installed in full, an index out of range or a path
   that does not fit. */
MUREL_API int murelGetModelSetPath(const char* setName, int modelIndex, double sampleRate, char* path,
                                   int bufferSize);

/* Parses a gain as every host writes it: a factor ("0.5", 0 to 100), a level ("-12dB", "-6 dB",
   up to +40 dB, "-inf dB"), or "off" (0); case and surrounding blanks do not matter. False, with
   gain untouched, for anything else. */
MUREL_API bool murelParseGain(const char* text, float* gain);

/* A bus by exact name, else by a unique case-insensitive name, else by index ("1"); -1 if none
   (or the name is ambiguous). */
MUREL_API int murelFindOutputBus(void* processor, const char* bus);

/* Applies the hosts' mix policy to a processor. settings holds numOfSettings option texts:
   "gain=BUS=VALUE" (VALUE as murelParseGain takes it), "sensitivity=BUS=VALUE" (-100 to 100),
   "solo=BUS" (every other bus silent), "residual=GAIN" (the residual, last, bus; it holds with a
   solo too) and "stems" (the host writes every bus apart: nothing is removed by default). BUS as
   murelFindOutputBus takes it. Every controlled bus is set: those not named get gain 1 and
   sensitivity 0. With none of gain, solo, residual and stems the residual bus is removed (gain 0)
   and message receives the one-line note the hosts print ("" otherwise). False on a bad setting,
   with the reason (naming the option, the value, and the buses) in message and the processor
   unchanged. message (may be null) is copied as murelGetOutputBusName copies; 512 bytes hold
   any reason for a few buses. */
MUREL_API bool murelApplyHostMix(void* processor, const char* const* settings, int numOfSettings, char* message,
                                 int messageSize);

/* ---- Model and tensor functions ----
   Run tensors [frames, rows, channels] through a model directly, without spectral
   processing. */

/* Loads a model file. Null when the file cannot be opened or is not a model the engine can run
   safely; murelGetLastErrorMessage then says why. */
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

/* Clears info and fills it from a model handle; latency receives the FFT size (not a delay)
   and modelLatency the model's latency in frames. */
MUREL_API void murelGetModelInfo(void* model, MurelModelInfo* info);

#ifdef __cplusplus
}
#endif

/* clang-format on */

#endif /* MUREL_ENGINE_H */
