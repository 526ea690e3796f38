// GRU and LSTM layers against a plain recurrence in double precision.
#include "Format/ModelFile.h"
#include "LayerTestSupport.h"

namespace murel::test
{
namespace
{

double sigmoid(double x)
{
    return 1.0 / (1.0 + std::exp(-x));
}

/** The recurrence written out gate by gate, over frames [T, rows, channels] flattened per frame;
    emits [T, hidden, 1]. */
Frames referenceRecurrent(const mw::RecurrentLayerRecord& r, const Frames& in)
{
    const int hidden = r.recurrentWeights.values.shape[1];
    const int inputs = in.rows * in.channels;
    const bool lstm = r.type == LayerType::lstm;
    const int gates = lstm ? 4 : 3;
    std::vector<double> hState(static_cast<std::size_t>(hidden)), cState(hState.size());
    double* h = hState.data();
    double* c = cState.data();
    Frames out(hidden, 1, in.count());
    const auto bias = [](const mw::TensorRecord& b, int j) { return b.values.isEmpty() ? 0.0 : element(b, {j}); };
    for (int t = 0; t < in.count(); ++t)
    {
        std::vector<double> gxValues(static_cast<std::size_t>(gates * hidden)), ghValues(gxValues.size());
        double* gx = gxValues.data();
        double* gh = ghValues.data();
        for (int j = 0; j < gates * hidden; ++j)
        {
            gx[j] = bias(r.inputBias, j);
            for (int i = 0; i < inputs; ++i)
                gx[j] += element(r.inputWeights, {j, i}) * in.at(t, i / in.channels, i % in.channels);
            gh[j] = bias(r.recurrentBias, j);
            for (int k = 0; k < hidden; ++k)
                gh[j] += element(r.recurrentWeights, {j, k}) * h[k];
        }
        for (int j = 0; j < hidden; ++j)
        {
            if (lstm)
            {
                const auto gate = [&](int g) { return gx[g * hidden + j] + gh[g * hidden + j]; };
                c[j] = sigmoid(gate(1)) * c[j] + sigmoid(gate(0)) * std::tanh(gate(2));
                h[j] = sigmoid(gate(3)) * std::tanh(c[j]);
            }
            else
            {
                const double reset = sigmoid(gx[j] + gh[j]);
                const double update = sigmoid(gx[hidden + j] + gh[hidden + j]);
                const double candidate = std::tanh(gx[2 * hidden + j] + reset * gh[2 * hidden + j]);
                h[j] = (1.0 - update) * candidate + update * h[j];
            }
            // Values stay within 1: a tolerance of that size covers any summation order.
            out.cell(t, j, 0) = {h[j], 1.0};
        }
    }
    return out;
}

mw::RecurrentLayerRecord recurrentRecord(LayerType type, int inputs, int hidden, bool biases, std::uint32_t seed)
{
    const int gates = type == LayerType::lstm ? 4 : 3;
    return {type,
            "input",
            randomRecord({gates * hidden, inputs}, seed, 0.8f),
            randomRecord({gates * hidden, hidden}, seed + 1, 0.8f),
            biases ? randomRecord({gates * hidden}, seed + 2) : mw::TensorRecord(),
            biases ? randomRecord({gates * hidden}, seed + 3) : mw::TensorRecord()};
}

TEST(RecurrentLayers, GruAndLstmFollowTheRecurrenceAcrossPushesAndResets)
{
    constexpr int rows = 3, channels = 2, frames = 25;
    const std::vector<float> x = randomValues(static_cast<std::size_t>(frames * rows * channels), 11, 2.0f);
    for (const LayerType type : {LayerType::gru, LayerType::lstm})
        for (const int hidden : {5, 8, 13})
            for (const bool biases : {true, false})
            {
                SCOPED_TRACE(modelfile::getLayerTypeName(type) + " hidden " + std::to_string(hidden) +
                             (biases ? "" : " no biases"));
                const mw::RecurrentLayerRecord record = recurrentRecord(type, rows * channels, hidden, biases, 3);
                expectStreamMatches(record, rows, channels, x, referenceRecurrent(record, Frames(rows, channels, x)));
            }
}

TEST(RecurrentLayers, WeightsThatDoNotFitTheFramesAreRefused)
{
    using Record = mw::RecurrentLayerRecord;
    const Record good = recurrentRecord(LayerType::lstm, 6, 4, true, 1);
    expectEachRejected<Record>(
        3, 2, good,
        {
            {"input weights for other frames",
             [](Record& r) {
                 r.inputWeights = randomRecord({16, 5}, 1);
             }},
            {"recurrent weights of another size",
             [](Record& r) {
                 r.recurrentWeights = randomRecord({16, 5}, 1);
             }},
            {"GRU gates in LSTM weights", [](Record& r) { r.type = LayerType::gru; }},
            {"a bias of the wrong length", [](Record& r) { r.recurrentBias = randomRecord({15}, 1); }},
            {"flat weights", [](Record& r) { r.inputWeights = randomRecord({96}, 1); }},
        });
}

TEST(RecurrentLayers, StacksAndStaysSilentAfterResetOnSilence)
{
    // Two stacked records: the second reads the first's column of hidden values.
    mw::RecurrentLayerRecord first = recurrentRecord(LayerType::gru, 4, 6, false, 5);
    mw::RecurrentLayerRecord second = recurrentRecord(LayerType::gru, 6, 3, false, 9);
    second.source = "first";
    NeuralModel<float> model;
    ASSERT_TRUE(loadDescription(model, frameGraph(2, 2, {layer("first", first), layer("second", second)}, "second")));
    EXPECT_EQ(model.pushTensor(makeTensor({2, 2, 2}, std::vector<float>(8, 0.0f))).shape, (std::vector<int>{2, 3, 1}));
    // Without biases silence keeps the state at zero: nothing leaks from the weights alone.
    EXPECT_EQ(toVector(model.pushTensor(makeTensor({1, 2, 2}, std::vector<float>(4, 0.0f)))),
              std::vector<float>(3, 0.0f));
}

} // namespace
} // namespace murel::test
