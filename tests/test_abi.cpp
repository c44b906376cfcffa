// The shared library's exported symbols. References no
// library symbol: the dlopen'ed .so is the only copy of the library here.
#include <cstdio>
#include <cxxabi.h>
#include <dlfcn.h>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "zelvo_stitch.h"

// Every name the library exports apart from member functions: the ECS entry
// point only under its C++ name, the integer globals with their load values.
const char kMangledEcs[] = "_Z17zelvo_ecs_processP15_ZELVO_ECS_INFO";
const char* const kNames[] = {"zelvo_stitch_init",
                              "zelvo_stitch_uninit",
                              "create_dynstitcher",
                              "setup_dynstitcher",
                              "destroy_dynstitcher",
                              "zelvo_stitch_process",
                              "zelvo_stitch_set_dbg_out",
                              "decoded_md_buffer",
                              kMangledEcs,
                              "_ZN11DynStitcher2ksE",
                              "_ZN11DynStitcher8subs_tabE",
                              "_ZN11DynStitcher26lut_vsegment_maskblock_idxE",
                              "_ZN11DynStitcher23motionBitsHistoryWeightE",
                              "_ZN11DynStitcher16my_useMaskBlocksE",
                              "_ZN11DynStitcher27my_useWeightedMotionBitHistE",
                              "_ZN11DynStitcher18my_enableResetMaskE"};
const struct {
    const char* name;
    int value;
} kInts[] = {{"Zelvo_Stitch_Shift_Every_N_Frames", 0},
             {"Zelvo_Stitch_Seamline_Every_N_Frames", 0},
             {"num_decoded_md_buffer", 0},
             {"dbg_enable", 0},
             {"dump_overlap_id", -1},
             {"last_overlap_id", 1},
             {"limit_dump_frames", 1},
             {"_ZN11DynStitcher15MotionLevelBitsE", 2},
             {"_ZN11DynStitcher26motionBitsHistoryWeightSumE", 62}};

TEST(SharedLib, NamesResolveThroughDlsym) {
    void* h = dlopen(ZELVO_SHARED_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(h, nullptr) << dlerror();
    for (const char* name : kNames) EXPECT_NE(dlsym(h, name), nullptr) << name;
    for (const auto& g : kInts) {
        const int* p = static_cast<const int*>(dlsym(h, g.name));
        EXPECT_TRUE(p && *p == g.value) << g.name;
    }
    EXPECT_EQ(dlsym(h, "zelvo_ecs_process"), nullptr);
    auto ecs = reinterpret_cast<int (*)(_ZELVO_ECS_INFO*)>(dlsym(h, kMangledEcs));
    EXPECT_EQ(ecs(nullptr), 0);  // the record is never read
    dlclose(h);
}

// The dynamic symbol table holds the interface's names and nothing else.
TEST(SharedLib, DynamicSymbolTableIsExactlyTheInterface) {
    std::set<std::string> plain(std::begin(kNames), std::end(kNames)), seen, members, ctors;
    for (const auto& g : kInts) plain.insert(g.name);
    FILE* p = popen(
        (std::string("nm -D --defined-only -P '") + ZELVO_SHARED_LIB_PATH + "'").c_str(), "r");
    ASSERT_NE(p, nullptr);
    char name[1024], type;
    while (std::fscanf(p, "%1023s %c%*[^\n]", name, &type) == 2) {
        const std::string n = std::string(name).substr(0, std::string(name).find('@'));  // version
        if (type == 'A' || !seen.insert(n).second || plain.count(n)) continue;  // 'A': version node
        int st = 0;
        char* d = abi::__cxa_demangle(n.c_str(), nullptr, nullptr, &st);
        const std::string dem = (st == 0 && d) ? d : n;
        std::free(d);
        if (dem.rfind("DynStitcher::", 0) != 0 && dem.rfind("SigmoidCurve::", 0) != 0)
            ADD_FAILURE() << "unexpected exported symbol " << n << " (" << dem << ")";
        members.insert(dem.substr(0, dem.find('(')));
        if (dem.rfind("DynStitcher::DynStitcher(", 0) == 0) ctors.insert(dem);
    }
    pclose(p);
    for (const auto& n : plain) EXPECT_TRUE(seen.count(n)) << "missing " << n;
    EXPECT_FALSE(seen.count("zelvo_ecs_process"));
    for (std::string m : {"~DynStitcher",
                          "init_lib",
                          "release_lib",
                          "setMotionBitsHistoryWeight",
                          "preProcess",
                          "ST_TRKE",
                          "determineLutTranslationX",
                          "decideShifting",
                          "computeXStep",
                          "temporalWeightedAvg",
                          "setup",
                          "determineLUTanchors",
                          "watershed_diff",
                          "process",
                          "getMaskCrossX",
                          "getMotionBitsHistoryAvg",
                          "getDefaultMask",
                          "copyTo_dre_fusion_map",
                          "saveCurrMask",
                          "operator=",
                          "@SigmoidCurve",
                          "@getArr",
                          "@getArrToAddr",
                          "@getK",
                          "@getLen"})
        EXPECT_TRUE(
            members.count(m[0] == '@' ? "SigmoidCurve::" + m.substr(1) : "DynStitcher::" + m))
            << m;
    EXPECT_EQ(ctors.size(), 3u);  // parameterised, default and copy
}
