/* A small LV2 host on lilv that checks the murel plug-ins the way real hosts use them.

   Lv2HostTest suite BUNDLE IDENTITY HALF OTHER_LATENCY BAD NETWORK
       For the mono and the stereo plug-in: the identity model's output is the input delayed by
       the reported latency over odd block sizes; a model with the same latency is crossfaded in
       without a jump; bypass; a bad model file is logged and the old model kept; a model with
       another latency; the chosen model survives a state save and restore (with and without a
       worker). IDENTITY and HALF (a constant mask of 0.5) share their blocking. A live graph's
       changes: NETWORK (a real network) gives the same output whether the block size changes
       mid-stream or stays fixed, and instances made again at other rates keep an exact latency.
   Lv2HostTest render BUNDLE URI MODEL IN OUT [SYMBOL=VALUE...]
       Processes a file through the plug-in with MODEL as its default model (for a separator
       plug-in, its models separated by ':'), in odd block sizes, with the given control values,
       and writes it aligned with the input (the latency removed, the tail flushed).
   Lv2HostTest compare REFERENCE OUT DELAY TOLERANCE [-N]
       OUT must be REFERENCE delayed by DELAY samples, within TOLERANCE; -N leaves out OUT's last N
       samples (a host that does not flush the latency at the end). */

#include <lilv/lilv.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/log/log.h>
#include <lv2/patch/patch.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>
#include <sndfile.h>

#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_URIS 64
#define MAX_MESSAGES 16
#define MAX_MESSAGE_SIZE 4096
#define ATOM_BUFFER_SIZE 8192
#define MAX_BLOCK 4099
#define RATE 48000.0

/* The rate the next instance is made at. */
static double hostRate = RATE;

static int failures = 0;

#define CHECK(condition, ...)                                                                                          \
    do                                                                                                                 \
    {                                                                                                                  \
        if (!(condition))                                                                                              \
        {                                                                                                              \
            fprintf(stderr, "%s:%d: ", __FILE__, __LINE__);                                                            \
            fprintf(stderr, __VA_ARGS__);                                                                              \
            fprintf(stderr, "\n");                                                                                     \
            ++failures;                                                                                                \
        }                                                                                                              \
    } while (0)

/* ---- Host features: URIDs, log, worker ---- */

static char* uris[MAX_URIS];
static uint32_t numOfUris = 0;

static LV2_URID mapUri(LV2_URID_Map_Handle handle, const char* uri)
{
    (void)handle;
    for (uint32_t i = 0; i < numOfUris; ++i)
        if (strcmp(uris[i], uri) == 0)
            return i + 1;
    if (numOfUris == MAX_URIS)
        return 0;
    uris[numOfUris] = strdup(uri);
    return ++numOfUris;
}

static const char* unmapUri(LV2_URID_Unmap_Handle handle, LV2_URID urid)
{
    (void)handle;
    return urid >= 1 && urid <= numOfUris ? uris[urid - 1] : NULL;
}

static int numOfLoggedErrors = 0;

static int logPrintf(LV2_Log_Handle handle, LV2_URID type, const char* format, va_list arguments)
{
    (void)handle;
    if (type == mapUri(NULL, LV2_LOG__Error))
        ++numOfLoggedErrors;
    return vfprintf(stderr, format, arguments);
}

static int logPrintfVariadic(LV2_Log_Handle handle, LV2_URID type, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const int result = logPrintf(handle, type, format, arguments);
    va_end(arguments);
    return result;
}

typedef struct
{
    uint32_t size;
    char data[MAX_MESSAGE_SIZE];
} Message;

typedef struct
{
    Message messages[MAX_MESSAGES];
    int numOfMessages;
} MessageQueue;

static LV2_Worker_Status queueMessage(void* handle, uint32_t size, const void* data)
{
    MessageQueue* queue = handle;
    if (queue->numOfMessages == MAX_MESSAGES || size > MAX_MESSAGE_SIZE)
        return LV2_WORKER_ERR_NO_SPACE;
    queue->messages[queue->numOfMessages].size = size;
    memcpy(queue->messages[queue->numOfMessages].data, data, size);
    ++queue->numOfMessages;
    return LV2_WORKER_SUCCESS;
}

static LV2_URID_Map map = {NULL, mapUri};
static LV2_URID_Unmap unmap = {NULL, unmapUri};
static LV2_Log_Log logFeatureData = {NULL, logPrintfVariadic, logPrintf};

/* ---- One plug-in instance with its ports ---- */

typedef struct
{
    const LilvPlugin* plugin;
    LilvInstance* instance;
    const LV2_Worker_Interface* worker;
    MessageQueue requests;
    MessageQueue responses;
    LV2_Worker_Schedule schedule;
    LV2_Feature features[4];
    const LV2_Feature* featureList[5];
    int numOfChannels;
    float inputs[2][MAX_BLOCK];
    float outputs[2][MAX_BLOCK];
    float controls[32];
    uint64_t control[ATOM_BUFFER_SIZE / 8];
    uint64_t notify[ATOM_BUFFER_SIZE / 8];
    LV2_Atom_Forge forge;
    LV2_Atom_Forge_Frame sequenceFrame;
    char lastNotifiedPath[1024];
} Host;

static uint32_t portIndex(const Host* host, LilvWorld* world, const char* symbol)
{
    LilvNode* node = lilv_new_string(world, symbol);
    const LilvPort* port = lilv_plugin_get_port_by_symbol(host->plugin, node);
    lilv_node_free(node);
    if (port == NULL)
    {
        fprintf(stderr, "no port %s\n", symbol);
        exit(1);
    }
    return lilv_port_get_index(host->plugin, port);
}

static int hasPort(const Host* host, LilvWorld* world, const char* symbol)
{
    LilvNode* node = lilv_new_string(world, symbol);
    const LilvPort* port = lilv_plugin_get_port_by_symbol(host->plugin, node);
    lilv_node_free(node);
    return port != NULL;
}

static float* control(Host* host, LilvWorld* world, const char* symbol)
{
    return &host->controls[portIndex(host, world, symbol)];
}

static void startControlSequence(Host* host)
{
    lv2_atom_forge_set_buffer(&host->forge, (uint8_t*)host->control, sizeof host->control);
    lv2_atom_forge_sequence_head(&host->forge, &host->sequenceFrame, 0);
}

/* Makes an instance with every control at its default; withWorker 0 leaves the worker out. */
static Host* makeHost(LilvWorld* world, const LilvPlugin* plugin, int withWorker)
{
    Host* host = calloc(1, sizeof(Host));
    host->plugin = plugin;
    host->schedule.handle = &host->requests;
    host->schedule.schedule_work = queueMessage;
    host->features[0] = (LV2_Feature){LV2_URID__map, &map};
    host->features[1] = (LV2_Feature){LV2_URID__unmap, &unmap};
    host->features[2] = (LV2_Feature){LV2_LOG__log, &logFeatureData};
    host->features[3] = (LV2_Feature){LV2_WORKER__schedule, &host->schedule};
    for (int i = 0; i < 4; ++i)
        host->featureList[i] = &host->features[i];
    host->featureList[withWorker ? 4 : 3] = NULL;
    host->instance = lilv_plugin_instantiate(plugin, hostRate, host->featureList);
    if (host->instance == NULL)
    {
        fprintf(stderr, "cannot instantiate %s\n", lilv_node_as_uri(lilv_plugin_get_uri(plugin)));
        exit(1);
    }
    host->worker = lilv_instance_get_extension_data(host->instance, LV2_WORKER__interface);
    lv2_atom_forge_init(&host->forge, &map);

    LilvNode* audioClass = lilv_new_uri(world, LV2_CORE__AudioPort);
    LilvNode* inputClass = lilv_new_uri(world, LV2_CORE__InputPort);
    LilvNode* controlClass = lilv_new_uri(world, LV2_CORE__ControlPort);
    int numOfInputs = 0;
    int numOfOutputs = 0;
    for (uint32_t p = 0; p < lilv_plugin_get_num_ports(plugin); ++p)
    {
        const LilvPort* port = lilv_plugin_get_port_by_index(plugin, p);
        if (lilv_port_is_a(plugin, port, audioClass))
        {
            if (lilv_port_is_a(plugin, port, inputClass))
                lilv_instance_connect_port(host->instance, p, host->inputs[numOfInputs++]);
            else
                lilv_instance_connect_port(host->instance, p, host->outputs[numOfOutputs++]);
        }
        else if (lilv_port_is_a(plugin, port, controlClass))
        {
            LilvNode* value = NULL;
            lilv_port_get_range(plugin, port, &value, NULL, NULL);
            host->controls[p] = value != NULL ? lilv_node_as_float(value) : 0.0f;
            lilv_node_free(value);
            lilv_instance_connect_port(host->instance, p, &host->controls[p]);
        }
    }
    lilv_node_free(audioClass);
    lilv_node_free(inputClass);
    lilv_node_free(controlClass);
    host->numOfChannels = numOfInputs;
    /* The separator plug-ins have no model property. */
    if (hasPort(host, world, "control"))
        lilv_instance_connect_port(host->instance, portIndex(host, world, "control"), host->control);
    if (hasPort(host, world, "notify"))
        lilv_instance_connect_port(host->instance, portIndex(host, world, "notify"), host->notify);
    startControlSequence(host);
    lilv_instance_activate(host->instance);
    return host;
}

static void freeHost(Host* host)
{
    lilv_instance_deactivate(host->instance);
    lilv_instance_free(host->instance);
    free(host);
}

/* Runs the worker's queue as a host's worker thread would, between two cycles. */
static void runWorker(Host* host)
{
    for (int i = 0; i < host->requests.numOfMessages; ++i)
        host->worker->work(lilv_instance_get_handle(host->instance), queueMessage, &host->responses,
                           host->requests.messages[i].size, host->requests.messages[i].data);
    host->requests.numOfMessages = 0;
    for (int i = 0; i < host->responses.numOfMessages; ++i)
        host->worker->work_response(lilv_instance_get_handle(host->instance), host->responses.messages[i].size,
                                    host->responses.messages[i].data);
    host->responses.numOfMessages = 0;
}

static void readNotifications(Host* host)
{
    const LV2_Atom_Sequence* sequence = (const LV2_Atom_Sequence*)host->notify;
    LV2_ATOM_SEQUENCE_FOREACH(sequence, event)
    {
        const LV2_Atom_Object* object = (const LV2_Atom_Object*)&event->body;
        const LV2_Atom* value = NULL;
        if (object->body.otype != mapUri(NULL, LV2_PATCH__Set))
            continue;
        lv2_atom_object_get(object, mapUri(NULL, LV2_PATCH__value), &value, 0);
        if (value != NULL && value->type == mapUri(NULL, LV2_ATOM__Path))
            snprintf(host->lastNotifiedPath, sizeof host->lastNotifiedPath, "%s",
                     (const char*)LV2_ATOM_BODY_CONST(value));
    }
}

/* One cycle: the input block in, the output block out, then the worker. */
static void runCycle(Host* host, uint32_t numOfFrames)
{
    lv2_atom_forge_pop(&host->forge, &host->sequenceFrame);
    LV2_Atom_Sequence* notify = (LV2_Atom_Sequence*)host->notify;
    notify->atom.type = 0;
    notify->atom.size = sizeof host->notify - sizeof(LV2_Atom);
    lilv_instance_run(host->instance, numOfFrames);
    readNotifications(host);
    startControlSequence(host);
    runWorker(host);
}

static void sendModel(Host* host, const char* path)
{
    LV2_Atom_Forge* forge = &host->forge;
    LV2_Atom_Forge_Frame frame;
    lv2_atom_forge_frame_time(forge, 0);
    lv2_atom_forge_object(forge, &frame, 0, mapUri(NULL, LV2_PATCH__Set));
    lv2_atom_forge_key(forge, mapUri(NULL, LV2_PATCH__property));
    lv2_atom_forge_urid(forge, mapUri(NULL, "urn:murel:lv2:model"));
    lv2_atom_forge_key(forge, mapUri(NULL, LV2_PATCH__value));
    lv2_atom_forge_path(forge, path, (uint32_t)strlen(path) + 1);
    lv2_atom_forge_pop(forge, &frame);
}

/* ---- Streaming a test signal through an instance ---- */

static const int blockSizes[] = {1, 7, 255, 256, 257, 1000, 4099, 3, 64};
#define NUM_OF_BLOCK_SIZES ((int)(sizeof blockSizes / sizeof blockSizes[0]))

/* Deterministic noise of unit-ish level; each channel differs. */
static float signalAt(int64_t t, int channel)
{
    uint32_t x = (uint32_t)(t * 2654435761u) ^ ((uint32_t)channel * 40503u + 12345u);
    x ^= x >> 15;
    x *= 2246822519u;
    x ^= x >> 13;
    return ((float)(x & 0xffffu) / 32768.0f - 1.0f) * 0.8f;
}

typedef struct
{
    Host* host;
    float* latencyPort;
    int64_t position;
    int nextBlock;
    float* out[2]; /* the whole output so far */
    int64_t capacity;
} Stream;

static Stream* makeStream(Host* host, LilvWorld* world, int64_t capacity)
{
    Stream* stream = calloc(1, sizeof(Stream));
    stream->host = host;
    stream->latencyPort = control(host, world, "latency");
    stream->capacity = capacity;
    for (int c = 0; c < 2; ++c)
        stream->out[c] = calloc((size_t)capacity, sizeof(float));
    return stream;
}

static void freeStream(Stream* stream)
{
    free(stream->out[0]);
    free(stream->out[1]);
    free(stream);
}

/* Runs cycles of the odd block sizes until `until` samples have been processed. */
static void streamUntil(Stream* stream, int64_t until)
{
    Host* host = stream->host;
    while (stream->position < until && stream->position < stream->capacity)
    {
        int64_t count = blockSizes[stream->nextBlock++ % NUM_OF_BLOCK_SIZES];
        if (count > until - stream->position)
            count = until - stream->position;
        for (int c = 0; c < host->numOfChannels; ++c)
            for (int64_t i = 0; i < count; ++i)
                host->inputs[c][i] = signalAt(stream->position + i, c);
        runCycle(host, (uint32_t)count);
        for (int c = 0; c < host->numOfChannels; ++c)
            memcpy(stream->out[c] + stream->position, host->outputs[c], (size_t)count * sizeof(float));
        stream->position += count;
    }
}

static int latencyOf(const Stream* stream)
{
    return (int)*stream->latencyPort;
}

/* Largest |out[t] - gain * in[t - delay]| over [from, to) and every channel. */
static float maxDeviation(const Stream* stream, int64_t from, int64_t to, int delay, float gain)
{
    float worst = 0.0f;
    for (int c = 0; c < stream->host->numOfChannels; ++c)
        for (int64_t t = from; t < to; ++t)
        {
            const float expected = t >= delay ? gain * signalAt(t - delay, c) : 0.0f;
            const float deviation = fabsf(stream->out[c][t] - expected);
            if (deviation > worst)
                worst = deviation;
        }
    return worst;
}

/* Between from and to, out / delayed input must fall from 1 to 0.5 without going back up or
   changing faster than the 20 ms fade allows. */
static void checkCrossfade(const Stream* stream, int64_t from, int64_t to, int delay, const char* name)
{
    const float maxStepPerSample = 0.5f / (0.02f * (float)RATE) + 1e-6f;
    float previous = 1.0f;
    int64_t previousTime = from;
    for (int64_t t = from; t < to; ++t)
    {
        const float in = signalAt(t - delay, 0);
        if (fabsf(in) < 0.1f)
            continue;
        const float ratio = stream->out[0][t] / in;
        const float allowedStep = (float)(t - previousTime) * maxStepPerSample + 1e-4f;
        if (ratio > previous + 1e-4f || ratio < 0.5f - 1e-4f || previous - ratio > allowedStep)
        {
            CHECK(0, "%s: crossfade jumps at %lld: gain %f after %f", name, (long long)t, (double)ratio,
                  (double)previous);
            return;
        }
        previous = ratio;
        previousTime = t;
    }
    CHECK(fabsf(previous - 0.5f) < 1e-4f, "%s: crossfade ends at gain %f", name, (double)previous);
}

/* ---- State ---- */

typedef struct
{
    Host* host;
    LilvWorld* world;
} PortAccess;

static const void* getPortValue(const char* symbol, void* userData, uint32_t* size, uint32_t* type)
{
    PortAccess* access = userData;
    *size = sizeof(float);
    *type = mapUri(NULL, LV2_ATOM__Float);
    return control(access->host, access->world, symbol);
}

static void setPortValue(const char* symbol, void* userData, const void* value, uint32_t size, uint32_t type)
{
    PortAccess* access = userData;
    if (size == sizeof(float) && type == mapUri(NULL, LV2_ATOM__Float))
        memcpy(control(access->host, access->world, symbol), value, sizeof(float));
}

/* ---- The suite ---- */

static void runSuite(LilvWorld* world, const LilvPlugin* plugin, const char* identity, const char* half,
                     const char* otherLatency, const char* bad)
{
    const char* name = lilv_node_as_uri(lilv_plugin_get_uri(plugin));
    setenv("MUREL_LV2_DEFAULT_MODEL", identity, 1);
    Host* host = makeHost(world, plugin, 1);
    const int64_t second = (int64_t)RATE;
    Stream* stream = makeStream(host, world, 8 * second);

    /* The identity model: the input delayed by exactly the reported latency. */
    streamUntil(stream, second);
    const int latency = latencyOf(stream);
    CHECK(latency == 512, "%s: latency %d, expected 512 for the identity model", name, latency);
    CHECK(maxDeviation(stream, 0, second, latency, 1.0f) < 1e-5f, "%s: identity output is not the delayed input", name);

    /* A model with the same latency is crossfaded in. */
    const int64_t swapAt = stream->position;
    sendModel(host, half);
    streamUntil(stream, 2 * second);
    CHECK(latencyOf(stream) == latency, "%s: latency changed to %d on a swap", name, latencyOf(stream));
    CHECK(strcmp(host->lastNotifiedPath, half) == 0, "%s: the new model was not notified (%s)", name,
          host->lastNotifiedPath);
    checkCrossfade(stream, swapAt, 2 * second, latency, name);
    CHECK(maxDeviation(stream, swapAt + second / 2, 2 * second, latency, 0.5f) < 1e-5f,
          "%s: the half model is not applied after the crossfade", name);

    /* Bypass: the delayed input, after a short fade. */
    *control(host, world, "enabled") = 0.0f;
    streamUntil(stream, 3 * second);
    CHECK(maxDeviation(stream, 2 * second + second / 10, 3 * second, latency, 1.0f) < 1e-5f,
          "%s: bypass is not the delayed input", name);
    *control(host, world, "enabled") = 1.0f;

    /* A bad file is logged and changes nothing. */
    const int numOfErrorsBefore = numOfLoggedErrors;
    sendModel(host, bad);
    streamUntil(stream, 4 * second);
    CHECK(numOfLoggedErrors == numOfErrorsBefore + 1, "%s: a bad model file logged %d errors", name,
          numOfLoggedErrors - numOfErrorsBefore);
    CHECK(maxDeviation(stream, 3 * second + second / 10, 4 * second, latency, 0.5f) < 1e-5f,
          "%s: a bad model file changed the output", name);

    /* A model with another latency: the port follows and the output is delayed by the new value. */
    sendModel(host, otherLatency);
    streamUntil(stream, 5 * second);
    const int newLatency = latencyOf(stream);
    CHECK(newLatency == 384, "%s: latency %d after the swap, expected 384", name, newLatency);
    CHECK(maxDeviation(stream, 4 * second + second / 2, 5 * second, newLatency, 1.0f) < 1e-5f,
          "%s: output after a swap of latency is not the input delayed by %d", name, newLatency);

    /* The chosen model is saved and restored, by a host with a worker and by one without. */
    PortAccess access = {host, world};
    LilvState* state = lilv_state_new_from_instance(plugin, host->instance, &map, NULL, NULL, NULL, NULL, getPortValue,
                                                    &access, LV2_STATE_IS_POD, host->featureList);
    char* text = lilv_state_to_string(world, &map, &unmap, state, "urn:murel:test:state", NULL);
    CHECK(text != NULL && strstr(text, otherLatency) != NULL, "%s: the saved state lacks the model:\n%s", name,
          text != NULL ? text : "(none)");
    LilvState* parsed = lilv_state_new_from_string(world, &map, text);
    for (int withWorker = 0; withWorker <= 1; ++withWorker)
    {
        Host* restored = makeHost(world, plugin, withWorker);
        Stream* restoredStream = makeStream(restored, world, 2 * second);
        access.host = restored;
        lilv_state_restore(parsed, restored->instance, setPortValue, &access, 0, restored->featureList);
        streamUntil(restoredStream, second);
        CHECK(latencyOf(restoredStream) == 384, "%s: restored %s a worker: latency %d, expected 384", name,
              withWorker ? "with" : "without", latencyOf(restoredStream));
        freeStream(restoredStream);
        freeHost(restored);
    }
    lilv_state_free(parsed);
    lilv_free(text);
    lilv_state_free(state);
    freeStream(stream);
    freeHost(host);
}

/* ---- A live graph: block-size and rate changes ---- */

/* Streams [position, until) in blocks of `size` and returns the latency port's value, or -1 when
   it changed on the way. */
static int streamFixed(Stream* stream, int64_t until, int size)
{
    Host* host = stream->host;
    int latency = stream->position > 0 ? latencyOf(stream) : -1;
    int constant = 1;
    while (stream->position < until)
    {
        const int64_t count = size < until - stream->position ? size : until - stream->position;
        for (int c = 0; c < host->numOfChannels; ++c)
            for (int64_t i = 0; i < count; ++i)
                host->inputs[c][i] = signalAt(stream->position + i, c);
        runCycle(host, (uint32_t)count);
        for (int c = 0; c < host->numOfChannels; ++c)
            memcpy(stream->out[c] + stream->position, host->outputs[c], (size_t)count * sizeof(float));
        stream->position += count;
        if (latency < 0)
            latency = latencyOf(stream);
        else if (latencyOf(stream) != latency)
            constant = 0;
    }
    return constant ? latencyOf(stream) : -1;
}

static void checkLiveGraph(LilvWorld* world, const LilvPlugin* plugin, const char* network, const char* identity)
{
    const char* name = lilv_node_as_uri(lilv_plugin_get_uri(plugin));
    const int64_t second = (int64_t)RATE;

    /* A sound server's quantum changes at run time: the output must be the one of a fixed block
       size, sample for sample, so the latency stays and nothing clicks. */
    setenv("MUREL_LV2_DEFAULT_MODEL", network, 1);
    Host* fixedHost = makeHost(world, plugin, 1);
    Stream* fixed = makeStream(fixedHost, world, 2 * second);
    const int latency = streamFixed(fixed, 2 * second, 1024);
    Host* changingHost = makeHost(world, plugin, 1);
    Stream* changing = makeStream(changingHost, world, 2 * second);
    static const int quanta[] = {1024, 256, 4096, 32, 1000, 2048, 1};
    int changingLatency = latency;
    for (int i = 0; i < (int)(sizeof quanta / sizeof quanta[0]); ++i)
    {
        const int reported = streamFixed(changing, (i + 1) * 2 * second / 7, quanta[i]);
        if (reported != latency)
            changingLatency = reported;
    }
    CHECK(latency > 0 && changingLatency == latency, "%s: latency %d with a fixed quantum, %d with changing ones", name,
          latency, changingLatency);
    float worst = 0.0f;
    for (int c = 0; c < fixedHost->numOfChannels; ++c)
        for (int64_t t = 0; t < 2 * second; ++t)
            worst = fmaxf(worst, fabsf(changing->out[c][t] - fixed->out[c][t]));
    CHECK(worst < 1e-6f, "%s: changing the block size changes the output by %g", name, (double)worst);
    freeStream(changing);
    freeHost(changingHost);
    freeStream(fixed);
    freeHost(fixedHost);

    /* The graph made again at another rate: a new instance whose output is the input delayed by
       exactly the latency it reports (the identity model's blocking doubles at twice its rate). */
    static const double rates[] = {44100.0, 96000.0, 48000.0};
    static const int expectedLatencies[] = {512, 1024, 512};
    setenv("MUREL_LV2_DEFAULT_MODEL", identity, 1);
    for (int i = 0; i < 3; ++i)
    {
        hostRate = rates[i];
        Host* host = makeHost(world, plugin, 1);
        Stream* stream = makeStream(host, world, second);
        const int reported = streamFixed(stream, second, 512 + 300 * i);
        CHECK(reported == expectedLatencies[i], "%s at %g Hz: latency %d, expected %d", name, rates[i], reported,
              expectedLatencies[i]);
        /* Past the model's band (96 kHz) the frame grows and the output is no longer the whole
           input; it must still line up with it. */
        int bestLag = -1;
        double best = 0.0;
        for (int lag = 0; lag <= 2 * expectedLatencies[i]; ++lag)
        {
            double sum = 0.0;
            for (int64_t t = second / 2; t < second; ++t)
                sum += (double)stream->out[0][t] * (double)signalAt(t - lag, 0);
            if (sum > best)
            {
                best = sum;
                bestLag = lag;
            }
        }
        CHECK(bestLag == reported, "%s at %g Hz: the output lags the input by %d, reported %d", name, rates[i], bestLag,
              reported);
        CHECK(rates[i] > 48000.0 || maxDeviation(stream, 0, second, reported, 1.0f) < 1e-5f,
              "%s at %g Hz: the output is not the input delayed by %d", name, rates[i], reported);
        freeStream(stream);
        freeHost(host);
    }
    hostRate = RATE;
}

/* ---- Files ---- */

static float* readFile(const char* path, SF_INFO* info)
{
    memset(info, 0, sizeof *info);
    SNDFILE* file = sf_open(path, SFM_READ, info);
    if (file == NULL)
    {
        fprintf(stderr, "cannot read %s\n", path);
        exit(1);
    }
    float* samples = calloc((size_t)(info->frames * info->channels), sizeof(float));
    sf_readf_float(file, samples, info->frames);
    sf_close(file);
    return samples;
}

static int render(LilvWorld* world, const LilvPlugin* plugin, const char* model, const char* inPath,
                  const char* outPath, int numOfSettings, char** settings)
{
    setenv("MUREL_LV2_DEFAULT_MODEL", model, 1);
    setenv("MUREL_LV2_SEPARATOR_MODELS", model, 1);
    SF_INFO info;
    float* in = readFile(inPath, &info);
    Host* host = makeHost(world, plugin, 1);
    for (int i = 0; i < numOfSettings; ++i)
    {
        char* equals = strchr(settings[i], '=');
        if (equals == NULL)
        {
            fprintf(stderr, "a control setting is SYMBOL=VALUE, not %s\n", settings[i]);
            return 1;
        }
        *equals = 0;
        *control(host, world, settings[i]) = (float)atof(equals + 1);
    }
    const float* latencyPort = control(host, world, "latency");
    if (host->numOfChannels != info.channels)
    {
        fprintf(stderr, "%s has %d channels, the plug-in %d\n", inPath, info.channels, host->numOfChannels);
        return 1;
    }
    float* out = calloc((size_t)(info.frames * info.channels), sizeof(float));
    int64_t inPosition = 0;
    int64_t outPosition = 0;
    for (int block = 0; outPosition < info.frames; ++block)
    {
        const int64_t count = blockSizes[block % NUM_OF_BLOCK_SIZES];
        for (int64_t i = 0; i < count; ++i, ++inPosition)
            for (int c = 0; c < info.channels; ++c)
                host->inputs[c][i] = inPosition < info.frames ? in[inPosition * info.channels + c] : 0.0f;
        runCycle(host, (uint32_t)count);
        if (block == 0)
            outPosition = -(int64_t)*latencyPort;
        for (int64_t i = 0; i < count; ++i, ++outPosition)
            if (outPosition >= 0 && outPosition < info.frames)
                for (int c = 0; c < info.channels; ++c)
                    out[outPosition * info.channels + c] = host->outputs[c][i];
    }
    SF_INFO outInfo = info;
    outInfo.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(outPath, SFM_WRITE, &outInfo);
    if (file == NULL || sf_writef_float(file, out, info.frames) != info.frames)
    {
        fprintf(stderr, "cannot write %s\n", outPath);
        return 1;
    }
    sf_close(file);
    free(in);
    free(out);
    freeHost(host);
    return 0;
}

static int compare(const char* referencePath, const char* outPath, int delay, double tolerance, int64_t unflushed)
{
    SF_INFO referenceInfo;
    SF_INFO outInfo;
    float* reference = readFile(referencePath, &referenceInfo);
    float* out = readFile(outPath, &outInfo);
    const int channels = referenceInfo.channels;
    if (outInfo.channels != channels || outInfo.frames < referenceInfo.frames / 2 + delay)
    {
        fprintf(stderr, "%s: %d channels and %lld frames, against %d and %lld\n", outPath, outInfo.channels,
                (long long)outInfo.frames, channels, (long long)referenceInfo.frames);
        return 1;
    }
    double worst = 0.0;
    double level = 0.0;
    for (int64_t t = 0; t + delay < outInfo.frames - unflushed && t < referenceInfo.frames; ++t)
        for (int c = 0; c < channels; ++c)
        {
            const double expected = reference[t * channels + c];
            worst = fmax(worst, fabs(out[(t + delay) * channels + c] - expected));
            level = fmax(level, fabs(expected));
        }
    printf("largest difference %g (reference peak %g)\n", worst, level);
    free(reference);
    free(out);
    return worst <= tolerance && level > 0.0 ? 0 : 1;
}

static const LilvPlugin* findPlugin(LilvWorld* world, const char* uri)
{
    LilvNode* node = lilv_new_uri(world, uri);
    const LilvPlugin* plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), node);
    lilv_node_free(node);
    if (plugin == NULL)
    {
        fprintf(stderr, "plug-in %s not found\n", uri);
        exit(1);
    }
    return plugin;
}

static LilvWorld* loadWorld(const char* bundle)
{
    LilvWorld* world = lilv_world_new();
    char path[4096];
    snprintf(path, sizeof path, "%s/", bundle);
    LilvNode* bundleUri = lilv_new_file_uri(world, NULL, path);
    lilv_world_load_bundle(world, bundleUri);
    lilv_node_free(bundleUri);
    return world;
}

static void freeUris(void)
{
    for (uint32_t i = 0; i < numOfUris; ++i)
        free(uris[i]);
}

int main(int argc, char** argv)
{
    atexit(freeUris);
    if (argc == 8 && strcmp(argv[1], "suite") == 0)
    {
        LilvWorld* world = loadWorld(argv[2]);
        const char* pluginUris[] = {"urn:murel:lv2:mono", "urn:murel:lv2:stereo"};
        for (int i = 0; i < 2; ++i)
        {
            runSuite(world, findPlugin(world, pluginUris[i]), argv[3], argv[4], argv[5], argv[6]);
            checkLiveGraph(world, findPlugin(world, pluginUris[i]), argv[7], argv[3]);
        }
        lilv_world_free(world);
        if (failures > 0)
            fprintf(stderr, "%d checks failed\n", failures);
        return failures == 0 ? 0 : 1;
    }
    if (argc >= 7 && strcmp(argv[1], "render") == 0)
    {
        LilvWorld* world = loadWorld(argv[2]);
        const int result = render(world, findPlugin(world, argv[3]), argv[4], argv[5], argv[6], argc - 7, argv + 7);
        lilv_world_free(world);
        return result;
    }
    if ((argc == 6 || argc == 7) && strcmp(argv[1], "compare") == 0)
        return compare(argv[2], argv[3], atoi(argv[4]), atof(argv[5]), argc == 7 ? -atoll(argv[6]) : 0);
    fprintf(stderr, "usage: see the top of Lv2HostTest.c\n");
    return 2;
}
