// The shared library's exported symbols. References no library symbol: the dlopen'ed
// .so is the only copy of the library here.
#include <cstdio>
#include <cxxabi.h>
#include <dlfcn.h>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "zelvo_stitch.h"

namespace {

std::set<std::string> words(const char* text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// Every name exported apart from member functions (the ECS entry point only under its
// C++ name), the integer globals with their load values, and the members.
const char kMangledEcs[] = "_Z17zelvo_ecs_processP15_ZELVO_ECS_INFO";
const std::set<std::string> kNames = words(
    "zelvo_stitch_init zelvo_stitch_uninit create_dynstitcher setup_dynstitcher "
    "destroy_dynstitcher zelvo_stitch_process zelvo_stitch_set_dbg_out decoded_md_buffer "
    "_Z17zelvo_ecs_processP15_ZELVO_ECS_INFO _ZN11DynStitcher2ksE _ZN11DynStitcher8subs_tabE "
    "_ZN11DynStitcher26lut_vsegment_maskblock_idxE _ZN11DynStitcher23motionBitsHistoryWeightE "
    "_ZN11DynStitcher16my_useMaskBlocksE _ZN11DynStitcher27my_useWeightedMotionBitHistE "
    "_ZN11DynStitcher18my_enableResetMaskE");
// The opt-in modes' names, in their own version node; every other name is in the first.
const auto kNames11 = words("zelvo_stitch_set_motion_aware zelvo_stitch_motion_aware_params");
// clang-format off
const std::pair<const char*, int> kInts[] = {
    {"Zelvo_Stitch_Shift_Every_N_Frames", 0}, {"Zelvo_Stitch_Seamline_Every_N_Frames", 0},
    {"num_decoded_md_buffer", 0}, {"dbg_enable", 0}, {"dump_overlap_id", -1},
    {"last_overlap_id", 1}, {"limit_dump_frames", 1}, {"_ZN11DynStitcher15MotionLevelBitsE", 2},
    {"_ZN11DynStitcher26motionBitsHistoryWeightSumE", 62}};
// clang-format on
const std::set<std::string> kMembers = words(
    "DynStitcher::~DynStitcher DynStitcher::init_lib DynStitcher::release_lib "
    "DynStitcher::setMotionBitsHistoryWeight DynStitcher::preProcess DynStitcher::ST_TRKE "
    "DynStitcher::determineLutTranslationX DynStitcher::decideShifting DynStitcher::computeXStep "
    "DynStitcher::temporalWeightedAvg DynStitcher::setup DynStitcher::determineLUTanchors "
    "DynStitcher::watershed_diff DynStitcher::process DynStitcher::getMaskCrossX "
    "DynStitcher::getMotionBitsHistoryAvg DynStitcher::getDefaultMask "
    "DynStitcher::copyTo_dre_fusion_map DynStitcher::saveCurrMask "
    "DynStitcher::DynStitcher SigmoidCurve::SigmoidCurve SigmoidCurve::getArr "
    "SigmoidCurve::getArrToAddr SigmoidCurve::getK SigmoidCurve::getLen");

}  // namespace

// The dynamic symbol table holds the interface's names and members and nothing else
// (three constructors: parameterised, default, copy); dlsym finds each name, the
// integers hold their load values, the ECS entry point answers 0 without reading.
TEST(SharedLib, ExportsExactlyTheInterface) {
    void* h = dlopen(ZELVO_SHARED_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(h, nullptr) << dlerror();
    std::set<std::string> plain = kNames, seen, members, ctors;
    plain.insert(kNames11.begin(), kNames11.end());
    for (const auto& g : kInts) {
        plain.insert(g.first);
        const int* p = static_cast<const int*>(dlsym(h, g.first));
        EXPECT_TRUE(p && *p == g.second) << g.first;
    }
    EXPECT_EQ(reinterpret_cast<int (*)(_ZELVO_ECS_INFO*)>(dlsym(h, kMangledEcs))(nullptr), 0);
    FILE* p = popen(
        (std::string("nm -D --defined-only -P '") + ZELVO_SHARED_LIB_PATH + "'").c_str(), "r");
    ASSERT_NE(p, nullptr);
    char name[1024], type;
    while (std::fscanf(p, "%1023s %c%*[^\n]", name, &type) == 2) {
        const std::string full = name, n = full.substr(0, full.find('@'));
        if (type == 'A' || !seen.insert(n).second) continue;  // 'A': version node
        const std::string node = kNames11.count(n) ? "ZELVO_STITCH_1.1" : "ZELVO_STITCH_1.0";
        EXPECT_EQ(full.substr(full.rfind('@') + 1), node) << n;
        EXPECT_NE(dlsym(h, n.c_str()), nullptr) << n;
        if (plain.count(n)) continue;
        int st = 0;
        char* d = abi::__cxa_demangle(n.c_str(), nullptr, nullptr, &st);
        const std::string dem = (st == 0 && d) ? d : n;
        std::free(d);
        members.insert(dem.substr(0, dem.find('(')));
        if (dem.rfind("DynStitcher::DynStitcher(", 0) == 0) ctors.insert(dem);
    }
    pclose(p);
    dlclose(h);
    for (const auto& n : plain) EXPECT_TRUE(seen.count(n)) << "missing " << n;
    EXPECT_EQ(members, kMembers);
    EXPECT_EQ(ctors.size(), 3u);
}
