// Library-wide tables and switches: init_lib / release_lib, the grid-row
// table, the watershed table and the debug value.
#include <new>
#include <vector>

#include <gtest/gtest.h>

#include "zelvo_internal.h"
#include "zelvo_stitch.h"

// Taken when the library is loaded, before any test runs.
const int* const kLutAtLoad = DynStitcher::lut_vsegment_maskblock_idx;
const int kSubs300AtLoad = DynStitcher::subs_tab[300];

std::vector<int> grid_row_table() {
    const int* t = DynStitcher::lut_vsegment_maskblock_idx;
    return t ? std::vector<int>(t, t + zelvo::lut_vsegment_rows) : std::vector<int>{};
}

TEST(GridRowTable, SpreadsRowsEvenlyOverBlocks) {
    EXPECT_EQ(kLutAtLoad, nullptr);
    const struct { int rows, blocks; std::vector<int> table; } cases[] = {
        {8, 3, {0, 0, 0, 1, 1, 1, 2, 2}},
        {17, 4, {0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3}},
        {5, 5, {0, 1, 2, 3, 4}},
        // Single precision: 3/21 rounds so that 1/step and 2/step fall just short of 7 and 14.
        {3, 21, {0, 6, 13}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(zelvo_stitch_init(c.rows, c.blocks, 0, 0, 1, 1), 0);
        EXPECT_EQ(grid_row_table(), c.table) << c.rows << " rows, " << c.blocks << " blocks";
    }
    DynStitcher::release_lib();
}

// Re-init replaces the table and a second release frees nothing (the
// sanitizer build reports a leak or double free); a negative row count throws
// after dbg_enable is taken and before the switches.
TEST(GridRowTable, ReleaseReinitAndNegativeRowCount) {
    DynStitcher::init_lib(17, 4, false, true, true, 0);
    DynStitcher::init_lib(8, 3, true, false, true, 4);
    EXPECT_EQ(zelvo_stitch_uninit(), 0);
    EXPECT_EQ(DynStitcher::lut_vsegment_maskblock_idx, nullptr);
    EXPECT_EQ(zelvo::lut_vsegment_rows, 0);
    DynStitcher::release_lib();
    DynStitcher::init_lib(8, 3, true, false, true, 4);
    EXPECT_THROW(DynStitcher::init_lib(-1, 3, false, true, true, 6), std::bad_array_new_length);
    EXPECT_EQ(DynStitcher::lut_vsegment_maskblock_idx, nullptr);
    EXPECT_EQ(dbg_enable, 6);
    EXPECT_TRUE(DynStitcher::my_enableResetMask);
    EXPECT_FALSE(DynStitcher::my_useMaskBlocks);
    EXPECT_EQ(zelvo_stitch_init(4, 2, 0, 0, 1, 1), 0);  // recovers
    EXPECT_EQ(grid_row_table(), (std::vector<int>{0, 0, 1, 1}));
    EXPECT_EQ(zelvo_stitch_uninit(), 0);
}

TEST(SubsTable, EntriesAreThePositivePartOfTheDifference) {
    EXPECT_EQ(kSubs300AtLoad, 0);  // filled by init
    DynStitcher::init_lib(8, 3, false, true, true, 0);
    const int entries[][2] = {{0, 0}, {256, 0}, {257, 1}, {300, 44}, {511, 255}, {512, 256}};
    for (const auto& e : entries) EXPECT_EQ(DynStitcher::subs_tab[e[0]], e[1]) << e[0];
    DynStitcher::release_lib();
}

// zelvo_stitch_init: dbg_enable from the driver's dbg_print, non-zero
// switches are true, both periods zeroed; init_lib takes its value as is.
TEST(InitSwitches, DebugValueSwitchesAndPeriods) {
    for (int v : {2, 0, -7}) {
        zelvo_stitch_set_dbg_out(v);
        dbg_enable = 1234, Zelvo_Stitch_Shift_Every_N_Frames = 7, Zelvo_Stitch_Seamline_Every_N_Frames = -3;
        EXPECT_EQ(zelvo_stitch_init(8, 3, 12345, v, -v, 1), 0);
        EXPECT_EQ(dbg_enable, v);
        EXPECT_EQ(DynStitcher::my_enableResetMask, v != 0) << v;
        EXPECT_EQ(DynStitcher::my_useMaskBlocks, v != 0) << v;
        EXPECT_EQ(Zelvo_Stitch_Shift_Every_N_Frames, 0);
        EXPECT_EQ(Zelvo_Stitch_Seamline_Every_N_Frames, 0);
    }
    zelvo_stitch_set_dbg_out(1);
    DynStitcher::init_lib(8, 3, false, true, true, 9);
    EXPECT_EQ(dbg_enable, 9);
    EXPECT_EQ(zelvo_stitch_uninit(), 0);
}
