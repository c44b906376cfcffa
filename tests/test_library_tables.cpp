// Library-wide tables and switches: init_lib / release_lib through the entry
// points and directly, the grid-row table, the watershed table and the debug
// switch. (The one-way history-weight switch has its own executable.)
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include <gtest/gtest.h>

#include "zelvo_internal.h"
#include "zelvo_stitch.h"

namespace {

// What the library holds when it is loaded, captured before any test runs.
struct LoadState {
    int* lut;
    bool subsAllZero;
    bool useMaskBlocks, useWeighted, enableResetMask;
    int dbgEnable, dumpOverlap, lastOverlap, limitDump, motionLevelBits, weightSum;
    int shiftPeriod, seamPeriod;
    LoadState() {
        lut = DynStitcher::lut_vsegment_maskblock_idx;
        subsAllZero = std::all_of(std::begin(DynStitcher::subs_tab), std::end(DynStitcher::subs_tab),
                                  [](int v) { return v == 0; });
        useMaskBlocks = DynStitcher::my_useMaskBlocks;
        useWeighted = DynStitcher::my_useWeightedMotionBitHist;
        enableResetMask = DynStitcher::my_enableResetMask;
        dbgEnable = dbg_enable;
        dumpOverlap = dump_overlap_id;
        lastOverlap = last_overlap_id;
        limitDump = limit_dump_frames;
        motionLevelBits = DynStitcher::MotionLevelBits;
        weightSum = DynStitcher::motionBitsHistoryWeightSum;
        shiftPeriod = Zelvo_Stitch_Shift_Every_N_Frames;
        seamPeriod = Zelvo_Stitch_Seamline_Every_N_Frames;
    }
};
const LoadState at_load;

TEST(LibraryState, ValuesAtLoad) {
    EXPECT_EQ(at_load.lut, nullptr);
    EXPECT_TRUE(at_load.subsAllZero);
    EXPECT_TRUE(at_load.useMaskBlocks);
    EXPECT_TRUE(at_load.useWeighted);
    EXPECT_FALSE(at_load.enableResetMask);
    EXPECT_EQ(at_load.dbgEnable, 0);
    EXPECT_EQ(at_load.dumpOverlap, -1);
    EXPECT_EQ(at_load.lastOverlap, 1);
    EXPECT_EQ(at_load.limitDump, 1);
    EXPECT_EQ(at_load.motionLevelBits, 2);
    EXPECT_EQ(at_load.weightSum, 62);
    EXPECT_EQ(at_load.shiftPeriod, 0);
    EXPECT_EQ(at_load.seamPeriod, 0);
    const float ks[7] = {0.0f, 0.0625f, 0.125f, 0.25f, 0.5f, 2.0f, 4.0f};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(DynStitcher::ks[i], ks[i]) << i;
}

std::vector<int> grid_row_table() {
    const int* t = DynStitcher::lut_vsegment_maskblock_idx;
    if (t == nullptr) return {};
    return std::vector<int>(t, t + zelvo::lut_vsegment_rows);
}

// ---------------------------------------------------------------------------
// Grid-row table
// ---------------------------------------------------------------------------

TEST(GridRowTable, SpreadsRowsEvenlyOverBlocks) {
    struct Case {
        int lutRows, numMaskBlocks;
        std::vector<int> table;
    };
    const std::vector<Case> cases = {
        {8, 3, {0, 0, 0, 1, 1, 1, 2, 2}},
        {17, 4, {0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3}},
        {5, 5, {0, 1, 2, 3, 4}},
        {33, 4, {0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1,
                 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3}},
        {10, 3, {0, 0, 0, 0, 1, 1, 1, 2, 2, 2}},
        {1, 1, {0}},
        {3, 8, {0, 2, 5}},  // fewer rows than blocks
        // Single precision: 3/21 rounds so that 1/step and 2/step fall just
        // short of 7 and 14.
        {3, 21, {0, 6, 13}},
        {0, 3, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.lutRows << " rows, " << c.numMaskBlocks << " blocks");
        EXPECT_EQ(zelvo_stitch_init(c.lutRows, c.numMaskBlocks, 0, 0, 1, 1), 0);
        EXPECT_EQ(zelvo::lut_vsegment_rows, c.lutRows);
        if (c.lutRows > 0) ASSERT_NE(DynStitcher::lut_vsegment_maskblock_idx, nullptr);
        EXPECT_EQ(grid_row_table(), c.table);
    }
    DynStitcher::release_lib();
}

TEST(GridRowTable, ReleaseThenInitAllocatesAFreshTable) {
    DynStitcher::init_lib(8, 3, false, true, true, 0);
    ASSERT_NE(DynStitcher::lut_vsegment_maskblock_idx, nullptr);
    EXPECT_EQ(zelvo_stitch_uninit(), 0);
    EXPECT_EQ(DynStitcher::lut_vsegment_maskblock_idx, nullptr);
    EXPECT_EQ(zelvo::lut_vsegment_rows, 0);
    DynStitcher::release_lib();  // nothing left to free
    EXPECT_EQ(DynStitcher::lut_vsegment_maskblock_idx, nullptr);

    DynStitcher::init_lib(17, 4, false, true, true, 0);
    ASSERT_NE(DynStitcher::lut_vsegment_maskblock_idx, nullptr);
    EXPECT_EQ(grid_row_table(),
              (std::vector<int>{0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3}));
    // A second init without release replaces the table (the sanitizer build
    // reports the old one if it leaks).
    DynStitcher::init_lib(4, 2, false, true, true, 0);
    EXPECT_EQ(grid_row_table(), (std::vector<int>{0, 0, 1, 1}));
    DynStitcher::release_lib();
    EXPECT_EQ(DynStitcher::lut_vsegment_maskblock_idx, nullptr);
}

TEST(GridRowTable, NegativeRowCountThrowsAndLeavesNoTable) {
    DynStitcher::init_lib(8, 3, true, false, true, 4);
    ASSERT_NE(DynStitcher::lut_vsegment_maskblock_idx, nullptr);

    EXPECT_THROW(DynStitcher::init_lib(-1, 3, false, true, true, 6), std::bad_array_new_length);
    EXPECT_EQ(DynStitcher::lut_vsegment_maskblock_idx, nullptr);
    EXPECT_EQ(zelvo::lut_vsegment_rows, 0);
    // The debug value is taken before the table; the switches come after it.
    EXPECT_EQ(dbg_enable, 6);
    EXPECT_TRUE(DynStitcher::my_enableResetMask);
    EXPECT_FALSE(DynStitcher::my_useMaskBlocks);
    EXPECT_EQ(DynStitcher::subs_tab[300], 44);

    EXPECT_THROW(zelvo_stitch_init(-5, 3, 0, 0, 1, 1), std::bad_array_new_length);
    EXPECT_EQ(DynStitcher::lut_vsegment_maskblock_idx, nullptr);

    // Initialising again recovers.
    EXPECT_EQ(zelvo_stitch_init(8, 3, 0, 0, 1, 1), 0);
    EXPECT_EQ(grid_row_table(), (std::vector<int>{0, 0, 0, 1, 1, 1, 2, 2}));
    EXPECT_EQ(zelvo_stitch_uninit(), 0);
}

// ---------------------------------------------------------------------------
// Watershed table
// ---------------------------------------------------------------------------

TEST(SubsTable, EntriesAndMinMaxIdentity) {
    DynStitcher::init_lib(8, 3, false, true, true, 0);
    struct Case {
        int j, value;
    };
    for (const Case c : {Case{0, 0}, Case{1, 0}, Case{255, 0}, Case{256, 0}, Case{257, 1},
                         Case{300, 44}, Case{511, 255}, Case{512, 256}})
        EXPECT_EQ(DynStitcher::subs_tab[c.j], c.value) << "entry " << c.j;

    // The watershed takes min and max of two grey levels through the table.
    int bad = 0;
    for (int a = 0; a <= 255; ++a)
        for (int b = 0; b <= 255; ++b) {
            const int t = DynStitcher::subs_tab[a - b + 256];
            if (a - t != std::min(a, b) || b + t != std::max(a, b)) ++bad;
        }
    EXPECT_EQ(bad, 0);
    DynStitcher::release_lib();
}

// ---------------------------------------------------------------------------
// Switches, periods and the debug value
// ---------------------------------------------------------------------------

TEST(InitSwitches, NonZeroArgumentsAreTrue) {
    struct Case {
        int enableResetMask, useMaskBlocks;
        bool resetOn, blocksOn;
    };
    const Case cases[] = {{0, 0, false, false}, {1, 1, true, true}, {2, 0, true, false},
                          {0, -1, false, true}, {-7, 255, true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.enableResetMask << ", " << c.useMaskBlocks);
        EXPECT_EQ(zelvo_stitch_init(8, 3, 12345, c.enableResetMask, c.useMaskBlocks, 1), 0);
        EXPECT_EQ(DynStitcher::my_enableResetMask, c.resetOn);
        EXPECT_EQ(DynStitcher::my_useMaskBlocks, c.blocksOn);
        EXPECT_TRUE(DynStitcher::my_useWeightedMotionBitHist);
        EXPECT_EQ(DynStitcher::motionBitsHistoryWeightSum, 62);
    }
    EXPECT_EQ(zelvo_stitch_uninit(), 0);
}

TEST(InitSwitches, InitZeroesBothPeriods) {
    Zelvo_Stitch_Shift_Every_N_Frames = 7;
    Zelvo_Stitch_Seamline_Every_N_Frames = -3;
    EXPECT_EQ(zelvo_stitch_init(8, 3, 0, 0, 1, 1), 0);
    EXPECT_EQ(Zelvo_Stitch_Shift_Every_N_Frames, 0);
    EXPECT_EQ(Zelvo_Stitch_Seamline_Every_N_Frames, 0);
    // A second init without uninit does it again.
    Zelvo_Stitch_Shift_Every_N_Frames = 5;
    EXPECT_EQ(zelvo_stitch_init(8, 3, 0, 0, 1, 1), 0);
    EXPECT_EQ(Zelvo_Stitch_Shift_Every_N_Frames, 0);
    EXPECT_EQ(zelvo_stitch_uninit(), 0);
}

TEST(InitSwitches, DebugValueComesFromTheDriverSwitch) {
    for (const int v : {2, 0, -1, 1}) {
        zelvo_stitch_set_dbg_out(v);
        dbg_enable = 1234;
        EXPECT_EQ(zelvo_stitch_init(8, 3, 0, 0, 1, 1), 0);
        EXPECT_EQ(dbg_enable, v) << "dbg_print " << v;
    }
    // init_lib takes its last argument as is.
    DynStitcher::init_lib(8, 3, false, true, true, 9);
    EXPECT_EQ(dbg_enable, 9);
    zelvo_stitch_set_dbg_out(1);
    EXPECT_EQ(zelvo_stitch_uninit(), 0);
}

}  // namespace
