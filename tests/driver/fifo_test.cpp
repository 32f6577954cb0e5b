// The byte FIFO: wrap-around, full and empty cases as one table, a random
// comparison with a model, and creation under low resources.
#include "../support/kernel_test.h"

#include "zyrva_driver.h"

#include <deque>
#include <random>

using namespace testing_support;

namespace {

// One step: 'W' write n, 'R' read n, 'P' put one, 'G' get one, 'F' flush.
struct Step {
    char op;
    ULONG n;
    ULONG result;  // bytes moved, or the truth value
    ULONG countAfter;
};

struct FifoCase {
    const char *name;
    ULONG size;
    std::vector<Step> steps;
    bool headAtStart = false;  // after the last step
    bool tailAtStart = false;
};
void PrintTo(const FifoCase &c, std::ostream *out) { *out << c.name; }


class FifoTable : public KernelTest, public ::testing::WithParamInterface<FifoCase> {};

// Runs a step against the FIFO, checking bytes come out in the order they went in.
ULONG Apply(PFIFO fifo, const Step &step, UCHAR &nextIn, UCHAR &nextOut)
{
    std::vector<UCHAR> buffer(step.n + 1);
    ULONG moved = 0;
    switch (step.op) {
    case 'W':
        for (ULONG i = 0; i < step.n; ++i) buffer[i] = UCHAR(nextIn + i);
        moved = FIFOWrite(fifo, buffer.data(), step.n);
        nextIn = UCHAR(nextIn + moved);
        return moved;
    case 'R':
        moved = FIFORead(fifo, buffer.data(), step.n);
        for (ULONG i = 0; i < moved; ++i) EXPECT_EQ(buffer[i], UCHAR(nextOut++)) << "byte " << i;
        return moved;
    case 'P': {
        ULONG stored = FIFOPutCh(fifo, 0x100u | nextIn);  // only the low 8 bits are kept
        if (stored) ++nextIn;
        return stored;
    }
    case 'G': {
        UCHAR byte = 0xEE;
        ULONG got = FIFOGetCh(fifo, &byte);
        if (got) {
            EXPECT_EQ(byte, UCHAR(nextOut++));
        } else {
            EXPECT_EQ(byte, 0xEE);  // untouched when empty
        }
        return got;
    }
    case 'F':
        EXPECT_EQ(FIFOFlush(fifo), fifo);
        nextOut = nextIn;
        return 0;
    }
    return ~0u;
}

TEST_P(FifoTable, StepsMoveTheExpectedBytes)
{
    const FifoCase &c = GetParam();
    PFIFO fifo = FIFOCreate(c.size);
    ASSERT_NE(fifo, nullptr);
    EXPECT_EQ(FIFOGetFree(fifo), c.size);
    UCHAR nextIn = 0, nextOut = 0;
    for (size_t i = 0; i < c.steps.size(); ++i) {
        const Step &step = c.steps[i];
        EXPECT_EQ(Apply(fifo, step, nextIn, nextOut), step.result) << "step " << i << " '" << step.op << "'";
        EXPECT_EQ(FIFOGetCount(fifo), step.countAfter) << "step " << i;
        EXPECT_EQ(FIFOGetFree(fifo), c.size - step.countAfter);
        EXPECT_TRUE(fifo->Head >= fifo->Start && fifo->Head < fifo->End);
        EXPECT_TRUE(fifo->Tail >= fifo->Start && fifo->Tail < fifo->End);
    }
    if (c.headAtStart) {
        EXPECT_EQ(fifo->Head, fifo->Start);
    }
    if (c.tailAtStart) {
        EXPECT_EQ(fifo->Tail, fifo->Start);
    }
    FIFODelete(fifo);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FifoTable,
    ::testing::Values(
        FifoCase{"full_refuses_more", 8, {{'W', 8, 8, 8}, {'P', 0, 0, 8}, {'W', 1, 0, 8}}, false, true},
        FifoCase{"write_wraps_into_two_runs", 8, {{'W', 6, 6, 6}, {'R', 4, 4, 2}, {'W', 6, 6, 8}, {'R', 10, 8, 0}}},
        FifoCase{"full_with_head_inside_reads_in_order", 8,
                 {{'W', 8, 8, 8}, {'R', 3, 3, 5}, {'W', 3, 3, 8}, {'R', 8, 8, 0}}},
        FifoCase{"ending_exactly_at_end_moves_to_start", 8, {{'W', 8, 8, 8}, {'R', 8, 8, 0}}, true, true},
        FifoCase{"flush_of_full_empties", 8, {{'W', 8, 8, 8}, {'F', 0, 0, 0}, {'R', 1, 0, 0}}, true, true},
        FifoCase{"zero_length_read_changes_nothing", 8, {{'W', 3, 3, 3}, {'R', 0, 0, 3}, {'R', 3, 3, 0}}},
        FifoCase{"empty_read_and_get", 4, {{'R', 5, 0, 0}, {'G', 0, 0, 0}}, true, true},
        FifoCase{"single_bytes_wrap", 4,
                 {{'P', 0, 1, 1},
                  {'P', 0, 1, 2},
                  {'P', 0, 1, 3},
                  {'P', 0, 1, 4},
                  {'P', 0, 0, 4},
                  {'G', 0, 1, 3},
                  {'G', 0, 1, 2},
                  {'P', 0, 1, 3},
                  {'P', 0, 1, 4},
                  {'R', 4, 4, 0},
                  {'G', 0, 0, 0}}},
        FifoCase{"read_wraps_into_two_runs", 8, {{'W', 7, 7, 7}, {'R', 5, 5, 2}, {'W', 5, 5, 7}, {'R', 4, 4, 3},
                                                 {'R', 3, 3, 0}}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(KernelTest, FifoMatchesAModelOverRandomOperations)
{
    std::mt19937 random(1234);
    for (ULONG size : {1u, 7u, 128u}) {
        PFIFO fifo = FIFOCreate(size);
        ASSERT_NE(fifo, nullptr);
        std::deque<UCHAR> model;
        UCHAR next = 0;
        for (int i = 0; i < 5000; ++i) {
            ULONG n = random() % (2 * size + 2);
            std::vector<UCHAR> buffer(n + 1);
            switch (random() % 5) {
            case 0: {
                for (ULONG k = 0; k < n; ++k) buffer[k] = next++;
                ULONG taken = FIFOWrite(fifo, buffer.data(), n);
                ASSERT_EQ(taken, std::min<ULONG>(n, size - ULONG(model.size())));
                model.insert(model.end(), buffer.begin(), buffer.begin() + taken);
                next = UCHAR(next - (n - taken));
                break;
            }
            case 1: {
                ULONG got = FIFORead(fifo, buffer.data(), n);
                ASSERT_EQ(got, std::min<ULONG>(n, ULONG(model.size())));
                for (ULONG k = 0; k < got; ++k, model.pop_front()) ASSERT_EQ(buffer[k], model.front());
                break;
            }
            case 2:
                if (FIFOPutCh(fifo, next)) model.push_back(next++);
                else ASSERT_EQ(model.size(), size);
                break;
            case 3: {
                UCHAR byte;
                if (FIFOGetCh(fifo, &byte)) {
                    ASSERT_EQ(byte, model.front());
                    model.pop_front();
                } else {
                    ASSERT_TRUE(model.empty());
                }
                break;
            }
            default:
                if (random() % 20 == 0) {
                    FIFOFlush(fifo);
                    model.clear();
                }
            }
            ASSERT_EQ(FIFOGetCount(fifo), model.size());
        }
        FIFODelete(fifo);
    }
}

TEST(FifoLowResources, EachFailedAllocationLeavesNothing)
{
    ForEachFailingAllocation([](uint64_t failing) {
        PFIFO fifo = FIFOCreate(16);
        EXPECT_EQ(fifo == nullptr, failing != 0) << "failing allocation " << failing;
        if (fifo) {
            EXPECT_EQ(host::PoolByTag(ZYR_POOL_TAG).allocations, 2u);
            FIFODelete(fifo);
        }
    });
    EXPECT_EQ(host::AllocationsSinceArmed(), 0u);
}

TEST_F(KernelTest, FifoMemoryIsNonPagedPoolWithTheDriversTag)
{
    PFIFO fifo = FIFOCreate(8192);
    host::PoolUsage usage = host::PoolByTag(host::Tag("vRYZ"));
    EXPECT_EQ(usage.allocations, 2u);
    EXPECT_EQ(usage.bytes, 8192u + sizeof(FIFO));
    {
        host::IrqlScope dispatch(DISPATCH_LEVEL);  // usable from DPCs and completion routines
        UCHAR byte = 0;
        EXPECT_EQ(FIFOPutCh(fifo, 0x41), 1u);
        EXPECT_EQ(FIFOGetCh(fifo, &byte), 1u);
        EXPECT_EQ(byte, 0x41);
    }
    FIFODelete(fifo);
    EXPECT_EQ(host::PoolByTag(ZYR_POOL_TAG).allocations, 0u);
}

}  // namespace
