/*
 * zelvo_stitch.h - the one public header of libzelvo_stitch.
 *
 * The library computes, for every overlap between two neighbouring camera
 * images of a side-by-side rig, a horizontal shift of the overlap's warp table
 * (the shift path, driven by zelvo_stitch_process) and a seam mask with a
 * full-resolution blend map (the seam path, driven by DynStitcher::process).
 *
 * Threading: the library starts no thread and takes no lock; which calls may
 * overlap is told under "Threads and failures" below.
 *
 * Ownership: the host owns the frame record, the strip buffer, the motion
 * bitmaps, the LUTs and the fusion-map buffers; the library wraps them in
 * matrix headers and never copies or frees them. The library owns each
 * stitcher (create_dynstitcher .. destroy_dynstitcher), the decoded motion maps
 * (first zelvo_stitch_process .. zelvo_stitch_uninit) and the grid-row table
 * (init_lib .. release_lib).
 *
 * Errors: entry points return 0; allocation failures and OpenCV errors pass
 * to the caller as C++ exceptions.
 */

/*
 * Threads and failures
 * ====================
 *
 * Calls that may run at the same time, on different stitchers: the per-overlap
 * calls of the seam path, DynStitcher::process, copyTo_dre_fusion_map,
 * getMaskCrossX, getDefaultMask, getMotionBitsHistoryAvg and saveCurrMask
 * (different paths). They read the library-wide tables, switches and
 * dbg_enable and write nothing outside their own stitcher and its fusion-map
 * buffer, so their results are byte for byte those of running them one after
 * another. The one exception is the random reset: with enableResetMask set,
 * process draws from the C library's process-wide rand(). The draw itself is
 * safe on several threads (glibc locks it), but which overlap gets which
 * number then follows the order the threads reach it; a host that needs
 * reproducible fusion maps with the reset on runs process sequentially.
 *
 * Calls that must run alone, while no other call of the library runs:
 * zelvo_stitch_init, zelvo_stitch_uninit and the static DynStitcher methods
 * (they rebuild the shared tables and re-seed rand()); zelvo_stitch_set_dbg_out
 * and writes of the exported globals; zelvo_stitch_process (it writes the
 * shared frame counters, the decoded motion maps that process reads, dbg_enable
 * and the images of every stitcher); the shift-path methods preProcess, ST_TRKE
 * and decideShifting (their frame counters are shared by all stitchers);
 * create_dynstitcher, setup_dynstitcher, destroy_dynstitcher and copies of a
 * stitcher. Two calls on one stitcher never overlap. The intended pattern:
 * the frame call on one thread, then process + copyTo_dre_fusion_map of each
 * overlap on any thread, all joined before the next frame call.
 *
 * Exceptions: std::bad_alloc when memory runs out; cv::Exception from OpenCV
 * (also a strip outside the strip buffer, or copyTo_dre_fusion_map before the
 * first complete process); std::invalid_argument from setup for a geometry
 * it refuses; std::bad_array_new_length for img_num 0 or a negative lutRows;
 * std::logic_error from saveCurrMask(nullptr). None leaks memory. After one,
 * a host may rely on this:
 *  - create_dynstitcher: nothing remains allocated.
 *  - setup_dynstitcher: after std::invalid_argument the stitcher is as it was;
 *    after any other exception it is half set up (set-up appends to its lists,
 *    so a second call does not repair it) and only fit for
 *    destroy_dynstitcher; create a new one.
 *  - zelvo_stitch_process: the overlaps before the failing one were
 *    pre-processed (and tracked), the others keep the previous frame's images;
 *    the frame counter has not moved; the decoded maps are complete or absent.
 *    The next frame call runs normally.
 *  - process: the stitcher stays usable, with this frame's block scores and
 *    histories possibly updated and currMask possibly empty (then
 *    copyTo_dre_fusion_map raises cv::Exception until a process completes).
 *  - copyTo_dre_fusion_map: the fusion-map buffer may be partly written.
 *
 * What the host guarantees (the library cannot see the size of a host buffer
 * and checks none of these):
 *  - img_num is at most ZELVO_STITCH_MAX_IMAGES, and stitchers holds img_num - 1
 *    set-up stitchers;
 *  - with img_num 2 or more, strip_buf_addr points to strip_buf_width x
 *    strip_height[0] readable bytes; strips outside that area are refused
 *    with cv::Exception, but a smaller buffer than the record states is not
 *    seen;
 *  - md_addr[k], k < img_num, points to blocksY x rowBytes readable bytes
 *    (see the record's md fields); entries from img_num on, the strip buffer
 *    address with one image and the reserved bytes are never read;
 *  - the motion maps passed to process are null or hold mdGridHeight x
 *    mdGridWidth bytes (decoded maps of a frame whose md_width and md_height
 *    cover the stitcher's motion grid), and the stitcher has been
 *    pre-processed by at least one frame call;
 *  - the fusion-map buffer holds imgHeight x overlapWidth writable bytes for
 *    the stitcher's life; the LUTs hold every vertex the anchor walk visits;
 *    the two per-level arrays of the constructor hold numDiffLevels floats.
 */
#ifndef ZELVO_STITCH_H
#define ZELVO_STITCH_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include <opencv2/core.hpp>

#define ZELVO_STITCH_VERSION_MAJOR 1
#define ZELVO_STITCH_VERSION_MINOR 0
#define ZELVO_STITCH_VERSION_PATCH 0

#if defined(ZELVO_STITCH_BUILDING)
#define ZELVO_API __attribute__((visibility("default")))
#else
#define ZELVO_API
#endif

/* Number of camera images the frame record has room for (four overlaps). */
#define ZELVO_STITCH_MAX_IMAGES 5

/*
 * Frame information record. Filled by the host before every
 * zelvo_stitch_process call; the library reads the named fields and writes
 * only overlap_shift_value. Integers are little-endian; reserved bytes are
 * never read.
 */
typedef struct _ZELVO_STITCH_INFO {
    uint32_t img_num;             /* 0x0000 number of camera images N (N-1 overlaps) */
    uint8_t reserved0[4];         /* 0x0004 */
    uint64_t strip_buf_addr;      /* 0x0008 address of the 8-bit strip buffer */
    uint8_t reserved1[8];         /* 0x0010 */
    uint32_t strip_buf_width;     /* 0x0018 width and row stride of the strip buffer, bytes */
    uint8_t reserved2[4];         /* 0x001C */
    uint32_t strip_width[4];      /* 0x0020 per overlap: width of each of its two strips */
    uint32_t strip_height[4];     /* 0x0030 per overlap: strip height; [0] = buffer rows */
    uint8_t reserved3[32];        /* 0x0040 */
    uint32_t md_width;            /* 0x0060 pixels covered by each motion bitmap, across */
    uint8_t reserved4[12];        /* 0x0064 */
    uint32_t md_height;           /* 0x0070 pixels covered by each motion bitmap, down */
    uint8_t reserved5[12];        /* 0x0074 */
    uint64_t md_addr[ZELVO_STITCH_MAX_IMAGES];   /* 0x0080 per image: packed motion bitmap */
    uint8_t reserved6[0x20D8 - 0x80 - 8 * ZELVO_STITCH_MAX_IMAGES];
    int32_t overlap_shift_value[ZELVO_STITCH_MAX_IMAGES]; /* 0x20D8 out: slot i+1 = overlap i, pixels */
} ZELVO_STITCH_INFO;

static_assert(offsetof(_ZELVO_STITCH_INFO, img_num) == 0x0000, "record layout");
static_assert(offsetof(_ZELVO_STITCH_INFO, strip_buf_addr) == 0x0008, "record layout");
static_assert(offsetof(_ZELVO_STITCH_INFO, strip_buf_width) == 0x0018, "record layout");
static_assert(offsetof(_ZELVO_STITCH_INFO, strip_width) == 0x0020, "record layout");
static_assert(offsetof(_ZELVO_STITCH_INFO, strip_height) == 0x0030, "record layout");
static_assert(offsetof(_ZELVO_STITCH_INFO, md_width) == 0x0060, "record layout");
static_assert(offsetof(_ZELVO_STITCH_INFO, md_height) == 0x0070, "record layout");
static_assert(offsetof(_ZELVO_STITCH_INFO, md_addr) == 0x0080, "record layout");
static_assert(offsetof(_ZELVO_STITCH_INFO, overlap_shift_value) == 0x20D8, "record layout");
static_assert(sizeof(((_ZELVO_STITCH_INFO*)0)->strip_width) == 16, "record layout");
static_assert(sizeof(((_ZELVO_STITCH_INFO*)0)->strip_height) == 16, "record layout");
static_assert(sizeof(_ZELVO_STITCH_INFO) >= 0x20D8 + 4 * ZELVO_STITCH_MAX_IMAGES, "record layout");

/* Opaque record of zelvo_ecs_process; the library never reads it. */
struct _ZELVO_ECS_INFO;
typedef struct _ZELVO_ECS_INFO ZELVO_ECS_INFO;

/* ---------------------------------------------------------------------------
 * Records of the seam path
 * ------------------------------------------------------------------------- */

/* Per mask block statistics of the seam path. Copied member by member. */
struct _MaskBlockStat {
    int32_t area = 0;            /* cells in the block: maskCols x block rows */
    int32_t labelOneCount = 0;   /* cells the last flood labelled 1 (left side) */
    float labelOneRatio = 0.0f;  /* labelOneCount / (area + 1) */
    cv::Rect rect;               /* the block, in mask cells */
    std::vector<cv::Point> mdCellsL; /* motion-map cells (x col, y row) of the left camera */
    std::vector<cv::Point> mdCellsR; /* the same for the right camera */
};

/* One queued cell of the watershed flood; node 0 is the "none" link. */
struct _WSNode {
    int32_t next;          /* next node in its queue or in the free list */
    int32_t markerOffset;  /* cell offset in the marker image, int32 elements */
    int32_t imageOffset;   /* cell offset in the cost image, bytes */
};

/* Head and tail node indices of one grey-level queue (0 = empty). */
struct _WSQueue {
    int32_t first;
    int32_t last;
};

static_assert(sizeof(_WSNode) == 12, "node layout");
static_assert(offsetof(_WSNode, next) == 0 && offsetof(_WSNode, markerOffset) == 4 &&
                  offsetof(_WSNode, imageOffset) == 8, "node layout");
static_assert(sizeof(_WSQueue) == 8 && offsetof(_WSQueue, last) == 4, "queue layout");

/* ---------------------------------------------------------------------------
 * Sigmoid blend curve: len bytes falling from about maxVal to about 0, read
 * out shifted so that the midpoint lands on a given column.
 * ------------------------------------------------------------------------- */
class ZELVO_API SigmoidCurve {
public:
    /* Builds the curve. An odd window_length prints a message and leaves an
     * empty curve (len, halfLen, k and maxVal all 0). */
    SigmoidCurve(int window_length, float k, int maxVal);

    /* Returns len values: the curve with its midpoint at column `center`,
     * end values extended beyond the curve's ends. */
    std::vector<unsigned char> getArr(int center);
    /* Writes the same len values to dst (caller provides len bytes). */
    void getArrToAddr(int center, unsigned char* dst);
    float getK();
    int getLen();

    std::vector<uint8_t> arr;
    int32_t maxVal = 0;
    float k = 0.0f;
    int32_t len = 0;
    int32_t halfLen = 0;
};

/* ---------------------------------------------------------------------------
 * DynStitcher: one per overlap.
 * ------------------------------------------------------------------------- */
class ZELVO_API DynStitcher {
public:
    /* The 23 construction parameters, in the order create_dynstitcher takes
     * them. blockDiffThresholds/blockDiffScoreIncs are read during
     * construction only; lutLeft/lutRight stay host-owned and are read by
     * setup. Prints the four build-switch lines. */
    DynStitcher(int reservedParam1, int reservedParam2, int imgWidth, int imgHeight,
                int overlapWidth, int numMaskBlocks, float blockScoreMax, float blockScoreMin,
                float reservedParamF, int numDiffLevels, float* blockDiffThresholds,
                float* blockDiffScoreIncs, int blockScoreStep, int resetQuietFrames,
                int lutGridSize, int lutStride, uint32_t* lutLeft, uint32_t* lutRight,
                int overlapId, unsigned mdGridWidth, unsigned mdGridHeight, int cellWidth,
                int cellHeight);
    DynStitcher();
    DynStitcher(DynStitcher const& other);
    ~DynStitcher();

    /* Library-wide tables and switches. */
    static void init_lib(int lutRows, int numMaskBlocks, bool enableResetMask, bool useMaskBlocks,
                         bool useWeightedMotionBitHist, int debug);
    static void release_lib();
    static void setMotionBitsHistoryWeight(bool weighted);

    /* Shift path. */
    void preProcess(int overlapIdx, unsigned int* stripX, unsigned int* zeroOffsets,
                    unsigned int img_num, unsigned long strip_buf_addr,
                    unsigned int strip_buf_width, unsigned int* strip_width,
                    unsigned int* strip_height, int* overlap_shift_value);
    int ST_TRKE();
    int determineLutTranslationX(float flow, int minX, int maxX);
    int decideShifting(int overlapIdx, int* overlap_shift_value, int dbg);
    int computeXStep(int a, int b);
    int temporalWeightedAvg();

    /* Set-up. */
    void setup(int reserved, unsigned long dreFusionMapAddr);
    int determineLUTanchors(cv::Point leftTopLeft, cv::Point leftBottomRight,
                            cv::Point rightTopLeft, cv::Point rightBottomRight);

    /* Seam path. */
    void watershed_diff(int numBlocks, int blockHeight, cv::InputArray src,
                        cv::InputOutputArray markers, std::vector<_MaskBlockStat>& stats);
    void process(unsigned char* mdLeft, unsigned char* mdRight);
    std::vector<int> getMaskCrossX();
    int getMotionBitsHistoryAvg(std::deque<int>& history);
    cv::Mat getDefaultMask();
    void copyTo_dre_fusion_map();
    void saveCurrMask(char* path);

    /* Members, in declaration order. */
    uint64_t dreFusionMapAddr = 0;
    int32_t overlapId = 0;
    int32_t imgWidth = 0;
    int32_t imgHeight = 0;
    int32_t overlapWidth = 0;
    int32_t cellWidth = 0;
    int32_t cellHeight = 0;
    int32_t maskCols = 0;
    int32_t maskRows = 0;
    int32_t numMaskBlocks = 0;
    float blockScoreMax = 0.0f;
    float blockScoreMin = 0.0f;
    int32_t maskBlockHeight = 0;
    int32_t lastMaskBlockRow = 0;
    int32_t blockScoreStep = 0;
    int32_t resetQuietFrames = 0;
    std::vector<float> blockDiffThresholds;
    std::vector<float> blockDiffScoreIncs;
    int32_t lutGridSize = 0;
    int32_t lutStride = 0;
    uint32_t* lutLeft = nullptr;
    uint32_t* lutRight = nullptr;
    std::vector<std::vector<cv::Point>> blockMdCellsL;
    std::vector<std::vector<cv::Point>> blockMdCellsR;
    uint8_t mdGridWidth = 0;
    uint8_t mdGridHeight = 0;
    std::vector<int32_t> blockMdCellCount;
    std::vector<int32_t> blockSeamUpdate;
    cv::Mat leftImage;
    cv::Mat rightImage;
    std::vector<std::deque<int32_t>> blockMotionHistory;
    cv::Mat diffImage;
    cv::Mat currMask;
    std::vector<_MaskBlockStat> prevMaskBlockStats;
    std::vector<_MaskBlockStat> maskBlockStats;
    std::vector<float> blockScore;
    std::vector<int32_t> blockMotionSumL;
    std::vector<int32_t> blockMotionSumR;
    cv::Mat lastMask;
    cv::Mat defaultMask;
    cv::Mat wsMarkers;
    cv::Mat fusionMask;
    std::vector<int32_t> rowCrossX;
    int32_t quietFrameCount = 0;
    int32_t labelMaskValue[2] = {0, 0};
    cv::Mat dreFusionMap;
    _WSQueue wsQueue[256] = {};
    std::vector<SigmoidCurve> sigmoidCurves;
    std::vector<cv::Point_<float>> ST_TRKE_prevPts;
    std::vector<cv::Point_<float>> ST_TRKE_nextPts;
    int32_t ST_TRKE_maxCorners = 120;
    std::vector<uint8_t> ST_TRKE_status;
    std::vector<float> ST_TRKE_err;
    cv::TermCriteria ST_TRKE_lkTermCriteria{0, 0, 0.0};
    cv::Size ST_TRKE_lkWinSize{0, 0};
    cv::TermCriteria ST_TRKE_kmeansTermCriteria{0, 0, 0.0};
    int32_t ST_TRKE_clusterCount = 3;
    std::vector<int32_t> ST_TRKE_clusterMembersS;
    std::vector<int32_t> ST_TRKE_clusterMembersM;
    std::vector<int32_t> ST_TRKE_clusterMembersL;
    float ST_TRKE_SUCCESSFUL_TRACKED_POINT_RATIO = 0.3f;
    int32_t MIN_TRACKED_POINT = 9;
    float ST_TRKE_REPEAT_FEATURE_RATIO = 0.33f;
    float ST_TRKE_LR_CHECK_RATIO = 0.66f;
    int32_t ST_TRKE_MIN_CLUSTER_POINT = 3;
    bool ST_TRKE_closeRangeOnly = false;
    int32_t ST_TRKE_maxLutTranslationX = 16;
    int32_t ST_TRKE_minLutTranslationX = -16;
    int32_t ST_TRKE_tgtLutTranslationX = 0;
    bool ST_TRKE_convergingLutTranslationX = false;
    int32_t ST_TRKE_curLutTranslationX = 0;
    float ST_TRKE_tgtLutTranslationScale = 0.0f;
    float ST_TRKE_appliedShiftX = 0.0f;
    int32_t ST_TRKE_convergeThresholdX = 0;
    int32_t ST_TRKE_minDistance = 0;
    bool ST_TRKE_clusterFound = false;
    float ST_TRKE_MaxFlowX = 0.0f;
    bool ST_TRKE_repeatPattern = false;
    int32_t ST_TRKE_repeatPatternCount = 0;
    int32_t ST_TRKE_repeatPatternLimit = 5;
    std::deque<int32_t> ST_TRKE_lutTranslationXHistory;
    int32_t ST_TRKE_historyLength = 5;
    float ST_TRKE_repeatRatioFactor = 0.5f;

    /* Library-wide tables and switches (shared by all stitchers). */
    static int MotionLevelBits;                 /* 2; exported, not read */
    static bool my_useMaskBlocks;               /* hold seams in blocks without motion */
    static int motionBitsHistoryWeight[32];     /* weight of history position k, 0 oldest */
    static int motionBitsHistoryWeightSum;      /* divisor of the weighted history sum */
    static bool my_useWeightedMotionBitHist;
    static float ks[7];                         /* steepness of the seven blend curves */
    static bool my_enableResetMask;             /* allow the random reset of the fusion map */
    static int* lut_vsegment_maskblock_idx;     /* LUT grid row -> mask block */
    static int subs_tab[513];                   /* max(j - 256, 0): branch-free min of two levels */
};

/* ---------------------------------------------------------------------------
 * Exported globals
 * ------------------------------------------------------------------------- */
/* Tracking period in frames (0: every frame; -k behaves like k). Zeroed by
 * zelvo_stitch_init, then written by the host. */
extern ZELVO_API int Zelvo_Stitch_Shift_Every_N_Frames;
/* Seam-line period; zeroed by zelvo_stitch_init, read by nothing. */
extern ZELVO_API int Zelvo_Stitch_Seamline_Every_N_Frames;
/* Decoded motion maps, one byte per 16x16 block (1 = motion), one per image;
 * owned by the library, null before the first frame and after uninit. */
extern ZELVO_API uint8_t** decoded_md_buffer;
extern ZELVO_API int num_decoded_md_buffer;
/* Stitcher print switch: methods print when it equals 1. */
extern ZELVO_API int dbg_enable;
/* Debug image dumps of the tracker: overlap to dump (99 = all, -1 = none),
 * overlap whose runs count dump frames, number of frames to dump. */
extern ZELVO_API int dump_overlap_id;
extern ZELVO_API int last_overlap_id;
extern ZELVO_API int limit_dump_frames;

/* ---------------------------------------------------------------------------
 * Entry points
 * ------------------------------------------------------------------------- */
extern "C" {

/* Zeroes both period globals and initialises the library-wide tables with
 * lutRows LUT grid rows spread over numMaskBlocks mask blocks. The three
 * switches are non-zero for true; reservedArg is ignored. Returns 0. */
ZELVO_API int zelvo_stitch_init(int lutRows, int numMaskBlocks, int reservedArg,
                                int enableResetMask, int useMaskBlocks,
                                int useWeightedMotionBitHist);

/* Frees the decoded motion maps and the grid-row table. Returns 0. */
ZELVO_API int zelvo_stitch_uninit(void);

/* Allocates and constructs one stitcher with the 23 constructor arguments.
 * The caller owns the result and releases it with destroy_dynstitcher. */
ZELVO_API DynStitcher* create_dynstitcher(
    int reservedParam1, int reservedParam2, int imgWidth, int imgHeight, int overlapWidth,
    int numMaskBlocks, float blockScoreMax, float blockScoreMin, float reservedParamF,
    int numDiffLevels, float* blockDiffThresholds, float* blockDiffScoreIncs, int blockScoreStep,
    int resetQuietFrames, int lutGridSize, int lutStride, uint32_t* lutLeft, uint32_t* lutRight,
    int overlapId, unsigned mdGridWidth, unsigned mdGridHeight, int cellWidth, int cellHeight);

/* Sets the stitcher up over the host's fusion-map buffer at dreFusionMapAddr
 * (imgHeight rows of overlapWidth bytes, host-owned). reserved is not read.
 * Throws std::invalid_argument for a geometry that breaks the limits, leaving
 * the stitcher unchanged. Returns 0. */
ZELVO_API int setup_dynstitcher(DynStitcher* stitcher, int reserved,
                                unsigned long dreFusionMapAddr);

/* Destroys *handle if it is not null, and sets *handle to null. */
ZELVO_API void destroy_dynstitcher(DynStitcher** handle);

/* The frame driver: decodes the motion bitmaps, pre-processes every overlap
 * and, on tracking frames, tracks and steps the shifts, writing
 * info->overlap_shift_value[i + 1] for overlap i. stitchers holds
 * img_num - 1 pointers. Returns 0. */
ZELVO_API int zelvo_stitch_process(DynStitcher** stitchers, _ZELVO_STITCH_INFO* info);

/* Sets the frame driver's print switch (it prints when the value is 1). */
ZELVO_API void zelvo_stitch_set_dbg_out(int value);

} /* extern "C" */

/* Does nothing and returns 0; the record is not read. C++ linkage. */
ZELVO_API int zelvo_ecs_process(_ZELVO_ECS_INFO* info);

#endif /* ZELVO_STITCH_H */
