#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <stdexcept>

#include "ModelTestSupport.h"
#include "Neural/Tensor.h"

using namespace murel;
using namespace murel::test;

TEST(Tensor, ElementCountsAndStorage)
{
    const Tensor<float> none(std::vector<int>{});
    EXPECT_EQ(none.getNumOfElements(), 0);
    ASSERT_TRUE(none.hasStorage());
    EXPECT_EQ(none.data->size, 0);
    EXPECT_EQ(Tensor<float>({2, 0, 3}).getNumOfElements(), 0);
    EXPECT_EQ(Tensor<float>({2, 5, 3}).getNumOfElements(), 30);
    EXPECT_FALSE(Tensor<float>().hasStorage());
    EXPECT_THROW(Tensor<float>::countElements({-1, 2}), std::length_error);
    EXPECT_THROW(Tensor<float>::countElements({1 << 15, 1 << 15}), std::length_error);
    EXPECT_EQ(Tensor<float>::countElements({1 << 15, 1 << 15, 0}), 0);

    const Tensor<float> aligned({3, 7});
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(aligned.getReadPointer()) % 64, 0u);
}

TEST(Tensor, CopiesShareUntilMadeUnique)
{
    const Tensor<float> first = makeTensor({2, 2}, {0, 1, 2, 3});
    Tensor<float> second = first;
    EXPECT_EQ(second.data, first.data);
    second.ensureUnique();
    second.data->data[0] = 42.0f;
    EXPECT_EQ(toVector(first), (std::vector<float>{0, 1, 2, 3}));
    EXPECT_EQ(toVector(second), (std::vector<float>{42, 1, 2, 3}));
}

TEST(Tensor, EnsureShapeReusesLargeEnoughStorage)
{
    std::vector<float> values(40);
    std::iota(values.begin(), values.end(), 0.0f);
    Tensor<float> tensor = makeTensor({1, 10, 4}, values);
    const auto block = tensor.data;
    tensor.ensureShape({1, 5, 4});
    EXPECT_EQ(tensor.data, block);
    EXPECT_EQ(tensor.data->size, 40);
    EXPECT_EQ(tensor.data->data[19], 19.0f);
    tensor.ensureShape({1, 10, 4});
    EXPECT_EQ(tensor.data, block);
    tensor.ensureShape({1, 11, 4});
    EXPECT_NE(tensor.data, block);
    EXPECT_EQ(tensor.data->size, 44);

    Tensor<float> empty;
    empty.ensureShape({});
    ASSERT_TRUE(empty.hasStorage());
    EXPECT_EQ(empty.data->size, 0);
}

TEST(Tensor, SetToZeroLeavesOtherHoldersAndSpareCapacity)
{
    Tensor<float> tensor = makeTensor({8}, {1, 2, 3, 4, 5, 6, 7, 8});
    tensor.ensureShape({4});
    const Tensor<float> other = tensor;
    tensor.setToZero();
    EXPECT_EQ(toVector(tensor), std::vector<float>(4, 0.0f));
    EXPECT_EQ(tensor.data->data[5], 6.0f);
    EXPECT_EQ(toVector(other), (std::vector<float>{1, 2, 3, 4}));
}
