// The LV2 plug-in: a mono and a stereo variant of one processor driven by a model file.
//
// The model is a file property (patch:writable murel:model) kept in the plug-in's state. A new
// model is loaded by the host's worker, off the audio thread, and handed to the ModelHandOver,
// which fades it in. A model that fails to load is reported through the log and the old one
// keeps running.

#include "ModelHandOver.h"
#include "PluginCallbacks.h"
#include "SeparatorPlugin.h"

#include "Interface/MurelEngine.h"

#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/core/lv2_util.h>
#include <lv2/log/log.h>
#include <lv2/log/logger.h>
#include <lv2/patch/patch.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace murel::lv2
{
namespace
{

constexpr const char* monoUri = "urn:murel:lv2:mono";
constexpr const char* stereoUri = "urn:murel:lv2:stereo";
constexpr const char* modelUri = "urn:murel:lv2:model";
/** Replaces the installed default model, for hosts that cannot set the model property. */
constexpr const char* defaultModelVariable = "MUREL_LV2_DEFAULT_MODEL";

/** Control ports, in index order after the audio inputs and outputs. */
enum ControlPort
{
    enabledPort,
    firstGainPort,
    residualGainPort = firstGainPort + BusControls::numOfComponentPorts,
    firstSensitivityPort,
    residualSensitivityPort = firstSensitivityPort + BusControls::numOfComponentPorts,
    latencyPort,
    controlPort,
    notifyPort,
    numOfControlPorts
};

constexpr std::size_t maxPathLength = 2048;

enum class MessageType : std::uint32_t
{
    load,
    free
};

struct LoadMessage
{
    MessageType type;
    char path[maxPathLength];
};

struct FreeMessage
{
    MessageType type;
    ModelSlot* slot;
};

struct Uris
{
    LV2_URID atomPath, atomUrid, atomSequence, patchSet, patchGet, patchProperty, patchValue, model;

    void map(LV2_URID_Map* m)
    {
        atomPath = m->map(m->handle, LV2_ATOM__Path);
        atomUrid = m->map(m->handle, LV2_ATOM__URID);
        atomSequence = m->map(m->handle, LV2_ATOM__Sequence);
        patchSet = m->map(m->handle, LV2_PATCH__Set);
        patchGet = m->map(m->handle, LV2_PATCH__Get);
        patchProperty = m->map(m->handle, LV2_PATCH__property);
        patchValue = m->map(m->handle, LV2_PATCH__value);
        model = m->map(m->handle, modelUri);
    }
};

class Plugin
{
public:
    Plugin(int channels, double rate) : numOfChannels(channels), sampleRate(rate), models(channels, rate) {}

    void initialise(const LV2_Feature* const* features);
    void connect(std::uint32_t index, void* data);
    void activate();
    void run(std::uint32_t numOfFrames);

    LV2_Worker_Status work(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle, std::uint32_t size,
                           const void* data);
    LV2_Worker_Status workResponse(std::uint32_t size, const void* data);
    LV2_State_Status save(LV2_State_Store_Function store, LV2_State_Handle handle, const LV2_Feature* const* features);
    LV2_State_Status restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle,
                             const LV2_Feature* const* features);

private:
    ModelSlot* loadSlot(const std::string& path);
    bool scheduleLoad(const LV2_Worker_Schedule* worker, const char* path, std::size_t length);
    /** Hands a slot that run() no longer uses to the worker, which frees it. */
    static bool retire(void* plugin, ModelSlot* slot);
    void readControlEvents();
    void writeNotifications();
    float getControl(int port, float fallback) const { return controls[port] != nullptr ? *controls[port] : fallback; }

    const int numOfChannels;
    const double sampleRate;
    std::string defaultModelPath;

    const float* audioInputs[maxNumOfChannels] = {};
    float* audioOutputs[maxNumOfChannels] = {};
    float* controls[numOfControlPorts] = {};

    LV2_URID_Map* map = nullptr;
    LV2_Worker_Schedule* schedule = nullptr;
    LV2_Log_Logger logger = {};
    LV2_Atom_Forge forge = {};
    Uris uris = {};

    bool notifyPending = false;
    LoadMessage loadMessage = {};
    ModelHandOver models;
};

void Plugin::initialise(const LV2_Feature* const* features)
{
    LV2_Log_Log* log = nullptr;
    lv2_features_query(features, LV2_LOG__log, &log, false, LV2_URID__map, &map, false, LV2_WORKER__schedule, &schedule,
                       false, nullptr);
    lv2_log_logger_init(&logger, map, log);
    if (map != nullptr)
    {
        uris.map(map);
        lv2_atom_forge_init(&forge, map);
    }
    else
        schedule = nullptr; // Without URIDs no model can be chosen, so no work is ever scheduled.

    const char* fromEnvironment = std::getenv(defaultModelVariable);
    char installed[4096];
    if (fromEnvironment != nullptr && *fromEnvironment != 0)
        defaultModelPath = fromEnvironment;
    else if (murelGetDefaultModelPath(sampleRate, installed, int(sizeof installed)))
        defaultModelPath = installed;
    models.setRetireFunction(retire, this);
    ModelSlot* slot = defaultModelPath.empty() ? nullptr : loadSlot(defaultModelPath);
    if (slot == nullptr)
        lv2_log_warning(&logger, "murel: no model: audio passes through until one is chosen\n");
    models.start(slot);
}

ModelSlot* Plugin::loadSlot(const std::string& path)
{
    std::string error;
    ModelSlot* slot = ModelSlot::load(path, numOfChannels, sampleRate, error);
    if (slot == nullptr)
        lv2_log_error(&logger, "murel: cannot load the model %s: %s\n", path.c_str(), error.c_str());
    else
        lv2_log_note(&logger, "murel: model %s, latency %d samples, buses %s\n", path.c_str(), slot->getLatency(),
                     slot->describeBusses().c_str());
    return slot;
}

void Plugin::connect(std::uint32_t index, void* data)
{
    const std::uint32_t numOfAudioPorts = std::uint32_t(2 * numOfChannels);
    if (index < std::uint32_t(numOfChannels))
        audioInputs[index] = static_cast<const float*>(data);
    else if (index < numOfAudioPorts)
        audioOutputs[index - std::uint32_t(numOfChannels)] = static_cast<float*>(data);
    else if (index - numOfAudioPorts < numOfControlPorts)
        controls[index - numOfAudioPorts] = static_cast<float*>(data);
}

void Plugin::activate()
{
    models.activate(getControl(enabledPort, 1.0f) > 0.5f);
}

void Plugin::run(std::uint32_t numOfFrames)
{
    readControlEvents();
    models.retryRetired();

    BusControls busControls;
    for (int b = 0; b < BusControls::numOfComponentPorts; ++b)
    {
        busControls.componentGainDb[b] = getControl(firstGainPort + b, 0.0f);
        busControls.componentSensitivity[b] = getControl(firstSensitivityPort + b, 0.0f);
    }
    busControls.residualGainDb = getControl(residualGainPort, BusControls::silentGainDb);
    busControls.residualSensitivity = getControl(residualSensitivityPort, 0.0f);
    models.applyControls(busControls);
    const bool enabled = getControl(enabledPort, 1.0f) > 0.5f;

    for (std::uint32_t offset = 0; offset < numOfFrames; offset += chunkSize)
    {
        const int count = int(std::min<std::uint32_t>(chunkSize, numOfFrames - offset));
        const float* input[maxNumOfChannels];
        float* output[maxNumOfChannels];
        for (int c = 0; c < numOfChannels; ++c)
        {
            input[c] = audioInputs[c] + offset;
            output[c] = audioOutputs[c] + offset;
        }
        models.renderChunk(input, output, count, enabled);
    }

    if (controls[latencyPort] != nullptr)
        *controls[latencyPort] = float(models.getLatency());
    writeNotifications();
}

bool Plugin::retire(void* plugin, ModelSlot* slot)
{
    const LV2_Worker_Schedule* worker = static_cast<Plugin*>(plugin)->schedule;
    const FreeMessage message = {MessageType::free, slot};
    return worker != nullptr && worker->schedule_work(worker->handle, sizeof message, &message) == LV2_WORKER_SUCCESS;
}

bool Plugin::scheduleLoad(const LV2_Worker_Schedule* worker, const char* path, std::size_t length)
{
    if (worker == nullptr || length == 0 || length >= maxPathLength)
        return false;
    loadMessage.type = MessageType::load;
    std::memcpy(loadMessage.path, path, length);
    loadMessage.path[length] = 0;
    const std::uint32_t size = std::uint32_t(offsetof(LoadMessage, path) + length + 1);
    return worker->schedule_work(worker->handle, size, &loadMessage) == LV2_WORKER_SUCCESS;
}

void Plugin::readControlEvents()
{
    const auto* sequence = reinterpret_cast<const LV2_Atom_Sequence*>(controls[controlPort]);
    if (map == nullptr || sequence == nullptr || sequence->atom.type != uris.atomSequence)
        return;
    LV2_ATOM_SEQUENCE_FOREACH(sequence, event)
    {
        if (!lv2_atom_forge_is_object_type(&forge, event->body.type))
            continue;
        const auto* object = reinterpret_cast<const LV2_Atom_Object*>(&event->body);
        if (object->body.otype == uris.patchGet)
        {
            notifyPending = true;
            continue;
        }
        if (object->body.otype != uris.patchSet)
            continue;
        const LV2_Atom* property = nullptr;
        const LV2_Atom* value = nullptr;
        lv2_atom_object_get(object, uris.patchProperty, &property, uris.patchValue, &value, 0);
        if (property == nullptr || property->type != uris.atomUrid ||
            reinterpret_cast<const LV2_Atom_URID*>(property)->body != uris.model || value == nullptr ||
            value->type != uris.atomPath)
            continue;
        const char* path = static_cast<const char*>(LV2_ATOM_BODY_CONST(value));
        scheduleLoad(schedule, path, strnlen(path, value->size));
    }
}

void Plugin::writeNotifications()
{
    auto* sequence = reinterpret_cast<LV2_Atom_Sequence*>(controls[notifyPort]);
    if (map == nullptr || sequence == nullptr)
        return;
    lv2_atom_forge_set_buffer(&forge, reinterpret_cast<std::uint8_t*>(sequence), sequence->atom.size);
    LV2_Atom_Forge_Frame sequenceFrame;
    lv2_atom_forge_sequence_head(&forge, &sequenceFrame, 0);
    const ModelSlot* current = models.getCurrent();
    if (notifyPending && current != nullptr)
    {
        LV2_Atom_Forge_Frame objectFrame;
        lv2_atom_forge_frame_time(&forge, 0);
        lv2_atom_forge_object(&forge, &objectFrame, 0, uris.patchSet);
        lv2_atom_forge_key(&forge, uris.patchProperty);
        lv2_atom_forge_urid(&forge, uris.model);
        lv2_atom_forge_key(&forge, uris.patchValue);
        lv2_atom_forge_path(&forge, current->getPath().c_str(), std::uint32_t(current->getPath().size() + 1));
        lv2_atom_forge_pop(&forge, &objectFrame);
    }
    notifyPending = false;
    lv2_atom_forge_pop(&forge, &sequenceFrame);
}

LV2_Worker_Status Plugin::work(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle,
                               std::uint32_t size, const void* data)
{
    if (size < sizeof(MessageType))
        return LV2_WORKER_ERR_UNKNOWN;
    MessageType type;
    std::memcpy(&type, data, sizeof type);
    if (type == MessageType::free && size == sizeof(FreeMessage))
    {
        FreeMessage message;
        std::memcpy(&message, data, sizeof message);
        models.free(message.slot);
        return LV2_WORKER_SUCCESS;
    }
    if (type != MessageType::load || size <= offsetof(LoadMessage, path))
        return LV2_WORKER_ERR_UNKNOWN;
    const char* path = static_cast<const char*>(data) + offsetof(LoadMessage, path);
    ModelSlot* slot = loadSlot(std::string(path, strnlen(path, size - offsetof(LoadMessage, path))));
    if (slot == nullptr)
    {
        std::string current;
        if (models.getChosenPath(current))
            lv2_log_note(&logger, "murel: keeping the model %s\n", current.c_str());
        return LV2_WORKER_SUCCESS;
    }
    if (respond(handle, sizeof slot, &slot) != LV2_WORKER_SUCCESS)
    {
        delete slot;
        return LV2_WORKER_ERR_NO_SPACE;
    }
    return LV2_WORKER_SUCCESS;
}

LV2_Worker_Status Plugin::workResponse(std::uint32_t size, const void* data)
{
    ModelSlot* slot = nullptr;
    if (size != sizeof slot)
        return LV2_WORKER_ERR_UNKNOWN;
    std::memcpy(&slot, data, sizeof slot);
    models.offer(slot);
    notifyPending = true;
    return LV2_WORKER_SUCCESS;
}

LV2_State_Status Plugin::save(LV2_State_Store_Function store, LV2_State_Handle handle,
                              const LV2_Feature* const* features)
{
    if (map == nullptr)
        return LV2_STATE_ERR_NO_FEATURE;
    std::string path;
    if (!models.getChosenPath(path))
        return LV2_STATE_SUCCESS;
    LV2_State_Map_Path* mapPath = nullptr;
    LV2_State_Free_Path* freePath = nullptr;
    lv2_features_query(features, LV2_STATE__mapPath, &mapPath, false, LV2_STATE__freePath, &freePath, false, nullptr);
    char* abstractPath = mapPath != nullptr ? mapPath->abstract_path(mapPath->handle, path.c_str()) : nullptr;
    const char* stored = abstractPath != nullptr ? abstractPath : path.c_str();
    const LV2_State_Status status = store(handle, uris.model, stored, std::strlen(stored) + 1, uris.atomPath,
                                          LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
    if (abstractPath != nullptr)
    {
        if (freePath != nullptr)
            freePath->free_path(freePath->handle, abstractPath);
        else
            std::free(abstractPath);
    }
    return status;
}

LV2_State_Status Plugin::restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle,
                                 const LV2_Feature* const* features)
{
    if (map == nullptr)
        return LV2_STATE_ERR_NO_FEATURE;
    LV2_State_Map_Path* mapPath = nullptr;
    LV2_State_Free_Path* freePath = nullptr;
    LV2_Worker_Schedule* worker = nullptr;
    lv2_features_query(features, LV2_STATE__mapPath, &mapPath, false, LV2_STATE__freePath, &freePath, false,
                       LV2_WORKER__schedule, &worker, false, nullptr);

    // A state without a model (a reset to defaults) goes back to the default model.
    std::string path = defaultModelPath;
    std::size_t size = 0;
    std::uint32_t type = 0;
    std::uint32_t flags = 0;
    const void* value = retrieve(handle, uris.model, &size, &type, &flags);
    if (value != nullptr && type == uris.atomPath && size > 0)
    {
        const std::string stored(static_cast<const char*>(value), strnlen(static_cast<const char*>(value), size));
        char* absolutePath = mapPath != nullptr ? mapPath->absolute_path(mapPath->handle, stored.c_str()) : nullptr;
        path = absolutePath != nullptr ? absolutePath : stored;
        if (absolutePath != nullptr)
        {
            if (freePath != nullptr)
                freePath->free_path(freePath->handle, absolutePath);
            else
                std::free(absolutePath);
        }
    }
    std::string current;
    if (models.getChosenPath(current) && current == path)
        return LV2_STATE_SUCCESS;

    // A host that may restore while audio runs passes its worker; otherwise nothing runs
    // meanwhile and the model is swapped here.
    if (worker != nullptr)
        return scheduleLoad(worker, path.c_str(), path.size()) ? LV2_STATE_SUCCESS : LV2_STATE_ERR_UNKNOWN;
    ModelSlot* slot = loadSlot(path);
    if (slot == nullptr)
        return LV2_STATE_ERR_UNKNOWN;
    models.replace(slot);
    notifyPending = true;
    return LV2_STATE_SUCCESS;
}

using Callbacks = PluginCallbacks<Plugin>;

Plugin* self(LV2_Handle instance)
{
    return Callbacks::self(instance);
}

LV2_Worker_Status work(LV2_Handle instance, LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle,
                       std::uint32_t size, const void* data)
{
    try
    {
        return self(instance)->work(respond, handle, size, data);
    }
    catch (...)
    {
        return LV2_WORKER_ERR_UNKNOWN;
    }
}

LV2_Worker_Status workResponse(LV2_Handle instance, std::uint32_t size, const void* data)
{
    return self(instance)->workResponse(size, data);
}

LV2_State_Status save(LV2_Handle instance, LV2_State_Store_Function store, LV2_State_Handle handle, std::uint32_t,
                      const LV2_Feature* const* features)
{
    try
    {
        return self(instance)->save(store, handle, features);
    }
    catch (...)
    {
        return LV2_STATE_ERR_UNKNOWN;
    }
}

LV2_State_Status restore(LV2_Handle instance, LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle,
                         std::uint32_t, const LV2_Feature* const* features)
{
    try
    {
        return self(instance)->restore(retrieve, handle, features);
    }
    catch (...)
    {
        return LV2_STATE_ERR_UNKNOWN;
    }
}

const void* extensionData(const char* uri)
{
    static const LV2_Worker_Interface worker = {work, workResponse, nullptr};
    static const LV2_State_Interface state = {save, restore};
    if (std::strcmp(uri, LV2_WORKER__interface) == 0)
        return &worker;
    if (std::strcmp(uri, LV2_STATE__interface) == 0)
        return &state;
    return nullptr;
}

const LV2_Descriptor descriptors[] = {
    Callbacks::describe<1>(monoUri, extensionData),
    Callbacks::describe<2>(stereoUri, extensionData),
};

} // namespace
} // namespace murel::lv2

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(std::uint32_t index)
{
    return index < 2 ? &murel::lv2::descriptors[index] : murel::lv2::getSeparatorDescriptor(index - 2);
}
