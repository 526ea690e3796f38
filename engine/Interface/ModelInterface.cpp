// The model and tensor functions of the C interface. This file also defines the C++ overload of
// murelGetProcessorInfo for model handles, so it must not see the C declaration of that name.
#define MUREL_DEFINES_MODEL_INFO_OVERLOAD
#include "Interface/MurelEngine.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "DspCore/Files.h"
#include "DspCore/LastError.h"
#include "Interface/CallGuard.h"
#include "Interface/ProcessorState.h"
#include "Neural/NeuralModel.h"
#include "Neural/Tensor.h"

namespace
{

struct ModelHandle
{
    murel::NeuralModel<float> model;
    /** The output of the last murelAddTensor. */
    murel::Tensor<float> result;
    /** The caller's tensor, copied into storage kept from call to call. */
    murel::Tensor<float> input;
};

ModelHandle* toHandle(void* model)
{
    return static_cast<ModelHandle*>(model);
}

} // namespace

extern "C"
{

    MUREL_API void* murelCreateModel(const char* modelFilePath)
    {
        return murel::guardCreate(
            modelFilePath, "the model cannot be read",
            [&]() -> void*
            {
                if (modelFilePath == nullptr)
                {
                    murel::setLastErrorMessage("no model file given");
                    return nullptr;
                }
                if (!murel::isReadableModelFile(modelFilePath))
                    return nullptr;
                const std::string path = modelFilePath;
                auto handle = std::make_unique<ModelHandle>();
                auto stream = std::make_shared<murel::FileStream>();
                if (!stream->open(murel::File(path), murel::FileStream::readAccess, murel::FileStream::openExisting))
                {
                    murel::setLastErrorMessage("cannot open model '" + path + "': " + std::strerror(errno));
                    return nullptr;
                }
                const std::string reason = handle->model.load(stream);
                if (!reason.empty())
                {
                    murel::setLastErrorMessage("model '" + path + "': " + reason);
                    return nullptr;
                }
                return handle.release();
            });
    }

    MUREL_API void murelAddTensor(void* model, const float* data, int numOfAxes, const int* shape)
    {
        ModelHandle* handle = toHandle(model);
        if (handle == nullptr)
            return;
        handle->result.shape.clear();
        if (numOfAxes != 3 || shape == nullptr)
            return;
        // Checked before the caller's data is touched.
        if (shape[0] < 0 || shape[1] != handle->model.tensorRows ||
            shape[2] != handle->model.getNumOfInputTensorChannels())
            return;
        const std::int64_t count = static_cast<std::int64_t>(shape[0]) * shape[1] * shape[2];
        if (count > murel::maxNumOfTensorElements || (count > 0 && data == nullptr))
            return;
        const bool pushed = murel::guardCall(
            false,
            [&]
            {
                handle->input.assign(murel::TensorView<const float>(data, shape[0], shape[1], shape[2]));
                handle->model.pushTensorInto(handle->input, handle->result);
                return true;
            });
        if (!pushed)
            handle->result.shape.clear();
    }

    MUREL_API bool murelGetResultTensorShape(void* model, int numOfAxes, int* shape)
    {
        const ModelHandle* handle = toHandle(model);
        if (handle == nullptr)
            return false;
        const std::vector<int>& axes = handle->result.shape;
        if (numOfAxes != static_cast<int>(axes.size()))
            return false;
        if (numOfAxes == 0)
            return true;
        if (shape == nullptr)
            return false;
        std::memcpy(shape, axes.data(), axes.size() * sizeof(int));
        return true;
    }

    MUREL_API bool murelGetTensor(void* model, float* data)
    {
        const ModelHandle* handle = toHandle(model);
        if (handle == nullptr || data == nullptr)
            return false;
        return murel::guardCall(
            false,
            [&]
            {
                const murel::Tensor<float>& result = handle->result;
                const int count = result.getNumOfElements();
                if (result.shape.empty() || count == 0 || result.data == nullptr || result.data->size < count)
                    return false;
                std::memcpy(data, result.getReadPointer(), static_cast<std::size_t>(count) * sizeof(float));
                return true;
            });
    }

    MUREL_API void murelResetModelState(void* model)
    {
        murel::guardCall(
            [&]
            {
                if (ModelHandle* handle = toHandle(model))
                    handle->model.reset();
            });
    }

    MUREL_API void murelDeleteModel(void* model)
    {
        murel::guardCall([&] { delete toHandle(model); });
    }

    MUREL_API void murelGetModelInfo(void* model, MurelModelInfo* info)
    {
        const ModelHandle* handle = toHandle(model);
        if (handle == nullptr || info == nullptr)
            return;
        std::memset(info, 0, sizeof(MurelModelInfo));
        info->sampleRate = handle->model.getHeader().sampleRate;
        info->numOfChannels = handle->model.getHeader().numInputChannels;
        info->latency = handle->model.getHeader().fftSize;
        info->windowSize = handle->model.getHeader().windowSize;
        info->hopSize = handle->model.getHeader().hopSize;
        info->modelLatency = handle->model.latency;
    }

} // extern "C"

// Kept for binary compatibility: the model-handle form of the info function, exported under its
// C++ (type-mangled) name.
MUREL_API void murelGetProcessorInfo(void* model, MurelModelInfo* info);

void murelGetProcessorInfo(void* model, MurelModelInfo* info)
{
    murelGetModelInfo(model, info);
}
