/* Compiled as C: the public header must be usable from C code. */
#include "Interface/MurelEngine.h"

#include <stddef.h>

int murelRunModelFromC(const char* path, int rows, int channels);

/* Loads the model, pushes one zero frame [1, rows, channels] and checks the result's shape.
   Returns 0 on success, or the number of the step that failed. */
int murelRunModelFromC(const char* path, int rows, int channels)
{
    float input[64] = {0};
    float output[64];
    int shape[3];
    int resultShape[3] = {0, 0, 0};
    MurelModelInfo info;
    void* model = murelCreateModel(path);
    int status = 0;
    if (model == NULL)
        return 1;
    shape[0] = 1;
    shape[1] = rows;
    shape[2] = channels;
    murelAddTensor(model, input, 3, shape);
    if (!murelGetResultTensorShape(model, 3, resultShape))
        status = 2;
    else if (resultShape[0] != 1 || resultShape[1] != rows || resultShape[2] != channels)
        status = 3;
    else if (!murelGetTensor(model, output))
        status = 4;
    murelGetModelInfo(model, &info);
    if (status == 0 && info.numOfChannels != 1)
        status = 5;
    murelResetModelState(model);
    murelDeleteModel(model);
    return status;
}
