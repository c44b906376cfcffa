// Binary interface of libzelvo_stitch: the frame record's byte layout and the
// set of symbols the shared library exports.
//
// This file deliberately references no library symbol, so the static archive
// contributes nothing to this executable and the dlopen'ed .so is the only
// copy of the library in the process (its globals start at their load values).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "zelvo_stitch.h"

namespace {

// ---------------------------------------------------------------------------
// Frame record layout
// ---------------------------------------------------------------------------

struct FieldOffset {
    const char* name;
    size_t actual;
    size_t expected;
};

TEST(RecordLayout, FieldOffsets) {
    const FieldOffset table[] = {
        {"img_num", offsetof(_ZELVO_STITCH_INFO, img_num), 0x0000},
        {"strip_buf_addr", offsetof(_ZELVO_STITCH_INFO, strip_buf_addr), 0x0008},
        {"strip_buf_width", offsetof(_ZELVO_STITCH_INFO, strip_buf_width), 0x0018},
        {"strip_width", offsetof(_ZELVO_STITCH_INFO, strip_width), 0x0020},
        {"strip_height", offsetof(_ZELVO_STITCH_INFO, strip_height), 0x0030},
        {"md_width", offsetof(_ZELVO_STITCH_INFO, md_width), 0x0060},
        {"md_height", offsetof(_ZELVO_STITCH_INFO, md_height), 0x0070},
        {"md_addr", offsetof(_ZELVO_STITCH_INFO, md_addr), 0x0080},
        {"overlap_shift_value", offsetof(_ZELVO_STITCH_INFO, overlap_shift_value), 0x20D8},
    };
    for (const auto& f : table) EXPECT_EQ(f.actual, f.expected) << f.name;
    EXPECT_GE(sizeof(_ZELVO_STITCH_INFO), size_t(0x20D8 + 4 * 5));
}

// Little-endian bytes of v at byte offset `at` of buf.
void put_le(std::vector<uint8_t>& buf, size_t at, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) buf[at + i] = uint8_t(v >> (8 * i));
}

uint64_t get_le(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= uint64_t(p[i]) << (8 * i);
    return v;
}

// A host that fills a raw byte buffer at the documented offsets must see
// every value in the matching field, and the reverse.
struct RawField {
    size_t offset;
    int bytes;
    uint64_t value;
    uint64_t (*read)(const _ZELVO_STITCH_INFO&);
    void (*write)(_ZELVO_STITCH_INFO&, uint64_t);
};

TEST(RecordLayout, RawBytesMatchFields) {
    const RawField table[] = {
        {0x0000, 4, 0x04030201u, [](const _ZELVO_STITCH_INFO& r) -> uint64_t { return r.img_num; },
         [](_ZELVO_STITCH_INFO& r, uint64_t v) { r.img_num = uint32_t(v); }},
        {0x0008, 8, 0x1122334455667788ull,
         [](const _ZELVO_STITCH_INFO& r) -> uint64_t { return r.strip_buf_addr; },
         [](_ZELVO_STITCH_INFO& r, uint64_t v) { r.strip_buf_addr = v; }},
        {0x0018, 4, 0xA1B2C3D4u,
         [](const _ZELVO_STITCH_INFO& r) -> uint64_t { return r.strip_buf_width; },
         [](_ZELVO_STITCH_INFO& r, uint64_t v) { r.strip_buf_width = uint32_t(v); }},
        {0x0020, 4, 101, [](const _ZELVO_STITCH_INFO& r) -> uint64_t { return r.strip_width[0]; },
         [](_ZELVO_STITCH_INFO& r, uint64_t v) { r.strip_width[0] = uint32_t(v); }},
        {0x002C, 4, 104, [](const _ZELVO_STITCH_INFO& r) -> uint64_t { return r.strip_width[3]; },
         [](_ZELVO_STITCH_INFO& r, uint64_t v) { r.strip_width[3] = uint32_t(v); }},
        {0x0030, 4, 201, [](const _ZELVO_STITCH_INFO& r) -> uint64_t { return r.strip_height[0]; },
         [](_ZELVO_STITCH_INFO& r, uint64_t v) { r.strip_height[0] = uint32_t(v); }},
        {0x003C, 4, 204, [](const _ZELVO_STITCH_INFO& r) -> uint64_t { return r.strip_height[3]; },
         [](_ZELVO_STITCH_INFO& r, uint64_t v) { r.strip_height[3] = uint32_t(v); }},
        {0x0060, 4, 640, [](const _ZELVO_STITCH_INFO& r) -> uint64_t { return r.md_width; },
         [](_ZELVO_STITCH_INFO& r, uint64_t v) { r.md_width = uint32_t(v); }},
        {0x0070, 4, 480, [](const _ZELVO_STITCH_INFO& r) -> uint64_t { return r.md_height; },
         [](_ZELVO_STITCH_INFO& r, uint64_t v) { r.md_height = uint32_t(v); }},
        {0x0080, 8, 0xCAFEBABE00000001ull,
         [](const _ZELVO_STITCH_INFO& r) -> uint64_t { return r.md_addr[0]; },
         [](_ZELVO_STITCH_INFO& r, uint64_t v) { r.md_addr[0] = v; }},
        {0x00A0, 8, 0xCAFEBABE00000005ull,
         [](const _ZELVO_STITCH_INFO& r) -> uint64_t { return r.md_addr[4]; },
         [](_ZELVO_STITCH_INFO& r, uint64_t v) { r.md_addr[4] = v; }},
        {0x20D8, 4, 0xFFFFFFF6u,  // -10
         [](const _ZELVO_STITCH_INFO& r) -> uint64_t { return uint32_t(r.overlap_shift_value[0]); },
         [](_ZELVO_STITCH_INFO& r, uint64_t v) { r.overlap_shift_value[0] = int32_t(uint32_t(v)); }},
        {0x20DC, 4, 24,
         [](const _ZELVO_STITCH_INFO& r) -> uint64_t { return uint32_t(r.overlap_shift_value[1]); },
         [](_ZELVO_STITCH_INFO& r, uint64_t v) { r.overlap_shift_value[1] = int32_t(uint32_t(v)); }},
        {0x20E8, 4, 0xFFFFFFE0u,  // -32, last overlap of a five-image rig
         [](const _ZELVO_STITCH_INFO& r) -> uint64_t { return uint32_t(r.overlap_shift_value[4]); },
         [](_ZELVO_STITCH_INFO& r, uint64_t v) { r.overlap_shift_value[4] = int32_t(uint32_t(v)); }},
    };

    for (const auto& f : table) {
        SCOPED_TRACE(testing::Message() << "offset 0x" << std::hex << f.offset);
        // Bytes -> field.
        std::vector<uint8_t> raw(sizeof(_ZELVO_STITCH_INFO), 0);
        put_le(raw, f.offset, f.value, f.bytes);
        auto rec = std::make_unique<_ZELVO_STITCH_INFO>();
        std::memcpy(rec.get(), raw.data(), raw.size());
        EXPECT_EQ(f.read(*rec), f.value);

        // Field -> bytes, touching nothing else.
        auto out = std::make_unique<_ZELVO_STITCH_INFO>();
        std::memset(out.get(), 0, sizeof *out);
        f.write(*out, f.value);
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(out.get());
        EXPECT_EQ(get_le(bytes + f.offset, f.bytes), f.value);
        size_t stray = 0;
        for (size_t i = 0; i < sizeof *out; ++i)
            if ((i < f.offset || i >= f.offset + size_t(f.bytes)) && bytes[i] != 0) ++stray;
        EXPECT_EQ(stray, 0u);
    }
}

// ---------------------------------------------------------------------------
// Exported symbols of the shared library
// ---------------------------------------------------------------------------

class SharedLib : public testing::Test {
protected:
    void SetUp() override {
        handle_ = dlopen(ZELVO_SHARED_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
    }
    void TearDown() override {
        if (handle_) dlclose(handle_);
    }
    void* sym(const char* name) { return dlsym(handle_, name); }
    void* handle_ = nullptr;
};

const char* const kEntryPoints[] = {
    "zelvo_stitch_init",  "zelvo_stitch_uninit",  "create_dynstitcher",       "setup_dynstitcher",
    "destroy_dynstitcher", "zelvo_stitch_process", "zelvo_stitch_set_dbg_out",
};

const char* const kMangledEcs = "_Z17zelvo_ecs_processP15_ZELVO_ECS_INFO";

TEST_F(SharedLib, CEntryPointsAreUnmangled) {
    for (const char* name : kEntryPoints) EXPECT_NE(sym(name), nullptr) << name;
}

TEST_F(SharedLib, EcsEntryPointOnlyUnderItsMangledName) {
    EXPECT_EQ(sym("zelvo_ecs_process"), nullptr);
    void* p = sym(kMangledEcs);
    ASSERT_NE(p, nullptr);
    auto fn = reinterpret_cast<int (*)(_ZELVO_ECS_INFO*)>(p);
    EXPECT_EQ(fn(nullptr), 0);  // the record is never read
    unsigned char junk[64];
    std::memset(junk, 0xA5, sizeof junk);
    EXPECT_EQ(fn(reinterpret_cast<_ZELVO_ECS_INFO*>(junk)), 0);
}

// The exported globals, with the value each holds when the library is loaded.
TEST_F(SharedLib, GlobalsExportedWithLoadValues) {
    struct IntGlobal {
        const char* name;
        int load_value;
    };
    const IntGlobal ints[] = {
        {"Zelvo_Stitch_Shift_Every_N_Frames", 0},
        {"Zelvo_Stitch_Seamline_Every_N_Frames", 0},
        {"num_decoded_md_buffer", 0},
        {"dbg_enable", 0},
        {"dump_overlap_id", -1},
        {"last_overlap_id", 1},
        {"limit_dump_frames", 1},
        {"_ZN11DynStitcher15MotionLevelBitsE", 2},
        {"_ZN11DynStitcher26motionBitsHistoryWeightSumE", 62},
    };
    for (const auto& g : ints) {
        void* p = sym(g.name);
        ASSERT_NE(p, nullptr) << g.name;
        EXPECT_EQ(*static_cast<int*>(p), g.load_value) << g.name;
    }

    void* md = sym("decoded_md_buffer");
    ASSERT_NE(md, nullptr);
    EXPECT_EQ(*static_cast<uint8_t***>(md), nullptr);

    struct BoolGlobal {
        const char* name;
        bool load_value;
    };
    const BoolGlobal bools[] = {
        {"_ZN11DynStitcher16my_useMaskBlocksE", true},
        {"_ZN11DynStitcher27my_useWeightedMotionBitHistE", true},
        {"_ZN11DynStitcher18my_enableResetMaskE", false},
    };
    for (const auto& g : bools) {
        void* p = sym(g.name);
        ASSERT_NE(p, nullptr) << g.name;
        EXPECT_EQ(*static_cast<bool*>(p), g.load_value) << g.name;
    }

    void* lut = sym("_ZN11DynStitcher26lut_vsegment_maskblock_idxE");
    ASSERT_NE(lut, nullptr);
    EXPECT_EQ(*static_cast<int**>(lut), nullptr);

    void* ks = sym("_ZN11DynStitcher2ksE");
    ASSERT_NE(ks, nullptr);
    const float expected_ks[7] = {0.0f, 0.0625f, 0.125f, 0.25f, 0.5f, 2.0f, 4.0f};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(static_cast<float*>(ks)[i], expected_ks[i]) << i;

    void* weights = sym("_ZN11DynStitcher23motionBitsHistoryWeightE");
    ASSERT_NE(weights, nullptr);
    for (int i = 0; i < 32; ++i)
        EXPECT_EQ(static_cast<int*>(weights)[i], i < 12 ? 1 : (i < 22 ? 2 : 3)) << i;

    void* subs = sym("_ZN11DynStitcher8subs_tabE");
    ASSERT_NE(subs, nullptr);
    for (int j = 0; j <= 512; ++j) ASSERT_EQ(static_cast<int*>(subs)[j], 0) << j;
}

// The exported entry points drive the exported tables of the same library.
TEST_F(SharedLib, InitThroughExportedNamesFillsExportedTables) {
    auto init = reinterpret_cast<int (*)(int, int, int, int, int, int)>(sym("zelvo_stitch_init"));
    auto uninit = reinterpret_cast<int (*)()>(sym("zelvo_stitch_uninit"));
    ASSERT_NE(init, nullptr);
    ASSERT_NE(uninit, nullptr);
    int** lut = static_cast<int**>(sym("_ZN11DynStitcher26lut_vsegment_maskblock_idxE"));
    int* subs = static_cast<int*>(sym("_ZN11DynStitcher8subs_tabE"));
    ASSERT_NE(lut, nullptr);
    ASSERT_NE(subs, nullptr);

    EXPECT_EQ(init(8, 3, 0, 0, 1, 1), 0);
    ASSERT_NE(*lut, nullptr);
    const int expected[8] = {0, 0, 0, 1, 1, 1, 2, 2};
    for (int i = 0; i < 8; ++i) EXPECT_EQ((*lut)[i], expected[i]) << i;
    EXPECT_EQ(subs[300], 44);
    EXPECT_EQ(uninit(), 0);
    EXPECT_EQ(*lut, nullptr);
}

// ---------------------------------------------------------------------------
// Nothing else is exported: inspect the dynamic symbol table itself.
// ---------------------------------------------------------------------------

std::string run_command(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

std::string demangle(const std::string& mangled) {
    int status = 0;
    char* d = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
    if (status != 0 || d == nullptr) return mangled;
    std::string s(d);
    std::free(d);
    return s;
}

// Defined dynamic symbols of the .so: mangled name -> nm type letter.
std::map<std::string, char> defined_dynamic_symbols() {
    std::map<std::string, char> syms;
    const std::string out =
        run_command(std::string("nm -D --defined-only -P '") + ZELVO_SHARED_LIB_PATH + "' 2>/dev/null");
    size_t pos = 0;
    while (pos < out.size()) {
        size_t eol = out.find('\n', pos);
        if (eol == std::string::npos) eol = out.size();
        const std::string line = out.substr(pos, eol - pos);
        pos = eol + 1;
        const size_t sp = line.find(' ');
        if (sp == std::string::npos || sp + 1 >= line.size()) continue;
        std::string name = line.substr(0, sp);
        const char type = line[sp + 1];
        const size_t at = name.find('@');  // symbol version suffix
        if (at != std::string::npos) name.resize(at);
        syms[name] = type;
    }
    return syms;
}

// "DynStitcher::init_lib(int, ...)" -> "DynStitcher::init_lib"
std::string without_parameters(const std::string& demangled) {
    const size_t paren = demangled.find('(');
    return paren == std::string::npos ? demangled : demangled.substr(0, paren);
}

TEST(ExportedSymbolTable, ExactlyTheSpecifiedNames) {
    const auto syms = defined_dynamic_symbols();
    ASSERT_FALSE(syms.empty()) << "nm -D produced nothing for " << ZELVO_SHARED_LIB_PATH;

    const std::set<std::string> plain = {
        "zelvo_stitch_init", "zelvo_stitch_uninit", "create_dynstitcher", "setup_dynstitcher",
        "destroy_dynstitcher", "zelvo_stitch_process", "zelvo_stitch_set_dbg_out",
        "Zelvo_Stitch_Shift_Every_N_Frames", "Zelvo_Stitch_Seamline_Every_N_Frames",
        "decoded_md_buffer", "num_decoded_md_buffer", "dbg_enable", "dump_overlap_id",
        "last_overlap_id", "limit_dump_frames",
    };

    std::set<std::string> members;
    std::set<std::string> stitcher_ctors;
    for (const auto& [name, type] : syms) {
        if (type == 'A') continue;  // the version node itself, not code or data
        if (plain.count(name)) continue;
        const std::string d = demangle(name);
        if (d == "zelvo_ecs_process(_ZELVO_ECS_INFO*)") continue;
        if (d.rfind("DynStitcher::", 0) == 0 || d.rfind("SigmoidCurve::", 0) == 0) {
            members.insert(without_parameters(d));
            if (d.rfind("DynStitcher::DynStitcher(", 0) == 0) stitcher_ctors.insert(d);
            continue;
        }
        ADD_FAILURE() << "unexpected exported symbol " << name << " (" << d << ")";
    }

    for (const auto& name : plain) EXPECT_TRUE(syms.count(name)) << "missing " << name;
    EXPECT_TRUE(syms.count(kMangledEcs)) << "missing " << kMangledEcs;
    EXPECT_FALSE(syms.count("zelvo_ecs_process"));

    const char* const required_members[] = {
        "DynStitcher::DynStitcher", "DynStitcher::~DynStitcher", "DynStitcher::init_lib",
        "DynStitcher::release_lib", "DynStitcher::setMotionBitsHistoryWeight",
        "DynStitcher::preProcess", "DynStitcher::ST_TRKE", "DynStitcher::determineLutTranslationX",
        "DynStitcher::decideShifting", "DynStitcher::computeXStep",
        "DynStitcher::temporalWeightedAvg", "DynStitcher::setup", "DynStitcher::determineLUTanchors",
        "DynStitcher::watershed_diff", "DynStitcher::process", "DynStitcher::getMaskCrossX",
        "DynStitcher::getMotionBitsHistoryAvg", "DynStitcher::getDefaultMask",
        "DynStitcher::copyTo_dre_fusion_map", "DynStitcher::saveCurrMask",
        "DynStitcher::MotionLevelBits", "DynStitcher::my_useMaskBlocks",
        "DynStitcher::motionBitsHistoryWeight", "DynStitcher::motionBitsHistoryWeightSum",
        "DynStitcher::my_useWeightedMotionBitHist", "DynStitcher::ks",
        "DynStitcher::my_enableResetMask", "DynStitcher::lut_vsegment_maskblock_idx",
        "DynStitcher::subs_tab", "SigmoidCurve::SigmoidCurve", "SigmoidCurve::getArr",
        "SigmoidCurve::getArrToAddr", "SigmoidCurve::getK", "SigmoidCurve::getLen",
    };
    for (const char* m : required_members) EXPECT_TRUE(members.count(m)) << "missing " << m;
    // Parameterised, default and copy constructor.
    EXPECT_EQ(stitcher_ctors.size(), 3u);
}

TEST(ExportedSymbolTable, VersionedSoname) {
    const std::string out =
        run_command(std::string("objdump -p '") + ZELVO_SHARED_LIB_PATH + "' 2>/dev/null");
    const size_t at = out.find("SONAME");
    ASSERT_NE(at, std::string::npos) << "no SONAME in " << ZELVO_SHARED_LIB_PATH;
    const size_t eol = out.find('\n', at);
    const std::string line = out.substr(at, eol - at);
    EXPECT_NE(line.find("libzelvo_stitch.so." + std::to_string(ZELVO_STITCH_VERSION_MAJOR)),
              std::string::npos)
        << line;
}

}  // namespace
