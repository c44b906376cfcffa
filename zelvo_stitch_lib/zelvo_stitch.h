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
 * std::length_error for img_num above ZELVO_STITCH_MAX_IMAGES (the record's
 * room); std::logic_error from saveCurrMask(nullptr), from process on a
 * stitcher that was never set up or whose block records or images no longer
 * fit its geometry after an assignment from a stitcher of another geometry,
 * and from copyTo_dre_fusion_map when a mask is there but the fusion-map
 * header no longer fits (the message names what disagrees; nothing has
 * changed). None leaks memory. After one,
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
 *  - stitchers holds img_num - 1 set-up stitchers (img_num itself is checked
 *    against the record's room);
 *  - with img_num 2 or more, strip_buf_addr points to strip_buf_width x
 *    strip_height[0] readable bytes; strips outside that area are refused
 *    with cv::Exception, but a smaller buffer than the record states is not
 *    seen;
 *  - md_addr[k], k < img_num, points to blocksY x rowBytes readable bytes
 *    (see "Buffer formats" below); entries from img_num on, the strip buffer
 *    address with one image and the reserved bytes are never read;
 *  - the motion maps passed to process are null or hold mdGridHeight x
 *    mdGridWidth bytes laid out with rows of exactly mdGridWidth bytes: the
 *    decoded maps of a frame whose (md_width + 15) / 16 equals mdGridWidth
 *    and whose (md_height + 15) / 16 is at least mdGridHeight; and the
 *    stitcher has been pre-processed by at least one frame call;
 *  - the fusion-map buffer holds imgHeight x overlapWidth writable bytes for
 *    the stitcher's life; the LUTs hold every vertex the anchor walk visits;
 *    the two per-level arrays of the constructor hold numDiffLevels floats.
 */

/*
 * Buffer formats (zelvo_stitch_host.h computes each of them)
 * ==============
 *
 * LUT word: 32 bits; bits 22-31 a motion-map row, bits 6-15 a motion-map
 * column (10 bits each); bits 0-5 and 16-21 are the host's and never read.
 *
 * Packed motion bitmap (md_addr[k]): one bit per 16 x 16 pixel block of
 * camera image k, blocksX = (md_width + 15) / 16 blocks a row, blocksY =
 * (md_height + 15) / 16 rows. A row is rowBytes = ((md_width + 511) / 512) x 4
 * bytes: whole little-endian 32-bit words of 32 blocks each; block x is bit
 * x % 32 (bit 0 the least significant) of word x / 32, which is bit x % 8 of
 * byte x / 8. Bits past blocksX are never read. Rows follow one another
 * without gaps.
 *
 * Decoded motion map (decoded_md_buffer[k]): one byte per block, 1 = moved,
 * 0 = still; blocksY rows of exactly blocksX bytes, back to back. A stitcher
 * reads cell (x, y) at y x mdGridWidth + x, so the maps it is given must come
 * from frames whose blocksX equals its mdGridWidth.
 *
 * Strip buffer (strip_buf_addr): strip_height[0] rows of strip_buf_width
 * bytes, rows packed. Overlap i's left strip (the last columns of image i)
 * starts at column 2 x (strip_width[0] + ... + strip_width[i - 1]), its right
 * strip (the first columns of image i + 1) strip_width[i] columns further;
 * each is strip_width[i] columns by strip_height[i] rows from row 0.
 *
 * Fusion-map buffer: imgHeight rows of overlapWidth bytes, rows packed; byte
 * = the left image's weight (255 left only, 0 right only).
 */
#ifndef ZELVO_STITCH_H
#define ZELVO_STITCH_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include <opencv2/core.hpp>

#define ZELVO_STITCH_VERSION_MAJOR 1
#define ZELVO_STITCH_VERSION_MINOR 1
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
    uint32_t img_num;         /* 0x0000 number of camera images N (N-1 overlaps) */
    uint8_t reserved0[4];     /* 0x0004 */
    uint64_t strip_buf_addr;  /* 0x0008 address of the 8-bit strip buffer */
    uint8_t reserved1[8];     /* 0x0010 */
    uint32_t strip_buf_width; /* 0x0018 width and row stride of the strip buffer, bytes */
    uint8_t reserved2[4];     /* 0x001C */
    uint32_t strip_width[4];  /* 0x0020 per overlap: width of each of its two strips */
    uint32_t strip_height[4]; /* 0x0030 per overlap: strip height; [0] = buffer rows */
    uint8_t reserved3[32];    /* 0x0040 */
    uint32_t md_width;        /* 0x0060 pixels covered by each motion bitmap, across */
    uint8_t reserved4[12];    /* 0x0064 */
    uint32_t md_height;       /* 0x0070 pixels covered by each motion bitmap, down */
    uint8_t reserved5[12];    /* 0x0074 */
    uint64_t md_addr[ZELVO_STITCH_MAX_IMAGES]; /* 0x0080 per image: packed motion bitmap */
    uint8_t reserved6[0x20D8 - 0x80 - 8 * ZELVO_STITCH_MAX_IMAGES];
    int32_t
        overlap_shift_value[ZELVO_STITCH_MAX_IMAGES]; /* 0x20D8 out: slot i+1 = overlap i, pixels */
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

/* Per mask block statistics of the seam path, one per mask block in block
 * order. Copied member by member (the cell lists deeply). */
struct _MaskBlockStat {
    int32_t area = 0;          /* cells in the block: maskCols x the block's rows; set by setup */
    int32_t labelOneCount = 0; /* cells the last flood labelled 1 (left side); seeds never count */
    float labelOneRatio =
        0.0f;      /* labelOneCount / (area + 1), written by process; 0 after a flood */
    cv::Rect rect; /* the block in mask cells (x 0, width maskCols); not read */
    std::vector<cv::Point>
        mdCellsL; /* left camera's motion-map cells (x column, y row) of the block */
    std::vector<cv::Point> mdCellsR; /* the same for the right camera */
};

/* A queued cell of a linked-node watershed flood. Kept for the ABI: the
 * library's flood (watershed_diff) queues cells in scratch storage of each
 * call and uses no _WSNode. */
struct _WSNode {
    int32_t next;         /* next node of its queue or of the free list; 0 = none */
    int32_t markerOffset; /* cell offset in the marker image, in int32 elements */
    int32_t imageOffset;  /* cell offset in the cost image, in bytes */
};

/* First-in first-out queue of one grey level (cost 0..255) as _WSNode
 * indices; 0 = none, both 0 = empty. Kept for the ABI: the flood leaves the
 * stitcher's wsQueue empty (all zero) and untouched. */
struct _WSQueue {
    int32_t first; /* node popped next */
    int32_t last;  /* node pushed last */
};

static_assert(sizeof(_WSNode) == 12, "node layout");
static_assert(offsetof(_WSNode, next) == 0 && offsetof(_WSNode, markerOffset) == 4 &&
                  offsetof(_WSNode, imageOffset) == 8,
              "node layout");
static_assert(sizeof(_WSQueue) == 8 && offsetof(_WSQueue, last) == 4, "queue layout");

/* ---------------------------------------------------------------------------
 * Sigmoid blend curve: len bytes falling from about maxVal to about 0, read
 * out shifted so that the midpoint lands on a given column. Copied and moved
 * member by member (a copy owns its own values); never changed after
 * construction. Nothing here throws except allocation failures.
 * ------------------------------------------------------------------------- */
class ZELVO_API SigmoidCurve {
public:
    /* Builds len = window_length values, value i = low byte of
     * (unsigned)(maxVal / (expf((i - halfLen) * k) + 1)) in single precision
     * (negative quotients give 0). An odd window_length prints "window_length
     * for Sigmoid Curve generation must be even.\n" whatever the print
     * switches and leaves an empty curve (len, halfLen, k and maxVal all 0);
     * a length of 0 or less gives an empty curve. */
    SigmoidCurve(int window_length, float k, int maxVal);

    /* Returns len values: output j is arr[halfLen - center + j] (32-bit
     * wrapping arithmetic), arr[0] left of the curve and arr[len - 1] right of
     * it, so arr[halfLen] lands on column `center`. Any center is accepted;
     * an empty curve gives an empty vector. */
    std::vector<unsigned char> getArr(int center);
    /* Writes the same len values to dst, which the caller provides with at
     * least len bytes (not checked); allocates nothing, writes nothing for an
     * empty curve. */
    void getArrToAddr(int center, unsigned char* dst);
    float getK(); /* the steepness k */
    int getLen(); /* len, the number of values (0 for an empty curve) */

    std::vector<uint8_t> arr; /* the len curve values, owned by the curve */
    int32_t maxVal = 0;       /* numerator of the curve: 255 for blend weights */
    float k = 0.0f;           /* steepness; 0 gives a flat curve of maxVal / 2 */
    int32_t len = 0;          /* number of values, the window length */
    int32_t halfLen = 0;      /* len >> 1: index of the midpoint */
};

/* ---------------------------------------------------------------------------
 * DynStitcher: one per overlap, between camera image i (left) and image i+1
 * (right).
 *
 * Units used below. Full-resolution pixels: the cameras' images (imgWidth x
 * imgHeight); the overlap is the last overlapWidth columns of the left image
 * and the first overlapWidth columns of the right one. Mask cells: the
 * working grid of maskCols x maskRows cells, each cellWidth x cellHeight
 * pixels, on which the strips, the flood, every 8-bit mask and the curves
 * work. Mask blocks: numMaskBlocks full-width bands of maskBlockHeight rows
 * cut from the top, the last one taking the rest. Motion cells: one byte per
 * 16 x 16 pixel block of a decoded motion map (mdGridWidth x mdGridHeight).
 * Grey levels: 0..255. Frames: calls of the frame driver (shift path) or of
 * process (seam path). Mask bytes: 255 is the left image's side, 0 the right
 * image's side, values between the left image's blend weight.
 *
 * Lifecycle: construct (create_dynstitcher) -> setup once -> per frame the
 * frame driver (preProcess, and on tracking frames ST_TRKE and
 * decideShifting) and the host's process / copyTo_dre_fusion_map -> destroy.
 * preProcess and ST_TRKE must not run before setup (nothing checks it);
 * process refuses with std::logic_error. All members are public; what the
 * tables below call "state" is written by the library, the rest is
 * configuration.
 * ------------------------------------------------------------------------- */
class ZELVO_API DynStitcher {
public:
    /* The 23 construction parameters, in the order create_dynstitcher takes
     * them. Reserved parameters are not read. Stores the geometry, scores and
     * LUT pointers; copies numDiffLevels entries of blockDiffThresholds and
     * blockDiffScoreIncs (read during construction only; none for a count of
     * 0 or less); keeps the low 8 bits of mdGridWidth/mdGridHeight; sets the
     * tracker constants and bounds of +-32 / cellWidth cells (integer
     * division). lutLeft/lutRight stay host-owned and are read by setup.
     * cellWidth must be positive (not checked). Prints "WTD = 1\r\n",
     * "MAJORITY_ZERO = 0\r\n", "CLOSE = 1\r\n" and "\r\n" whatever the print
     * switches. Throws only on allocation failure. */
    DynStitcher(int reservedParam1, int reservedParam2, int imgWidth, int imgHeight,
                int overlapWidth, int numMaskBlocks, float blockScoreMax, float blockScoreMin,
                float reservedParamF, int numDiffLevels, float* blockDiffThresholds,
                float* blockDiffScoreIncs, int blockScoreStep, int resetQuietFrames,
                int lutGridSize, int lutStride, uint32_t* lutLeft, uint32_t* lutRight,
                int overlapId, unsigned mdGridWidth, unsigned mdGridHeight, int cellWidth,
                int cellHeight);
    /* Every member at its initial value below; prints nothing. Tracker
     * criteria, window, scale, threshold and minimum distance stay 0: such a
     * stitcher is for assignment, not for tracking. */
    DynStitcher();
    /* Starts from the default constructor's values and takes what operator=
     * takes. The copy has no mask grid, curves, images, seeds, fusion-map
     * header or tracking state of its own: it needs setup before use. Prints
     * nothing. */
    DynStitcher(DynStitcher const& other);
    /* Copies, in this order: overlapId, mdGridWidth, mdGridHeight, imgWidth,
     * imgHeight, overlapWidth, cellWidth, cellHeight, the two translation
     * bounds, numMaskBlocks, blockScoreMax, blockScoreMin, blockScoreStep,
     * resetQuietFrames, blockDiffThresholds, blockDiffScoreIncs, lutGridSize,
     * lutStride, lutLeft, lutRight (the pointers: the LUTs stay the host's),
     * blockMdCellsL, blockMdCellsR, prevMaskBlockStats, maskBlockStats,
     * blockScore, and deep copies (own pixels) of lastMask, diffImage and
     * currMask. Every other member of the target keeps its value. Self-
     * assignment changes nothing. An allocation failure throws and leaves the
     * target partly assigned. Defined here, inline, so that the library
     * exports no symbol for it (the copy constructor, which is exported,
     * uses it). */
    DynStitcher& operator=(DynStitcher const& o) {
        if (this == &o) return *this;
        overlapId = o.overlapId;
        mdGridWidth = o.mdGridWidth;
        mdGridHeight = o.mdGridHeight;
        imgWidth = o.imgWidth;
        imgHeight = o.imgHeight;
        overlapWidth = o.overlapWidth;
        cellWidth = o.cellWidth;
        cellHeight = o.cellHeight;
        ST_TRKE_maxLutTranslationX = o.ST_TRKE_maxLutTranslationX;
        ST_TRKE_minLutTranslationX = o.ST_TRKE_minLutTranslationX;
        numMaskBlocks = o.numMaskBlocks;
        blockScoreMax = o.blockScoreMax;
        blockScoreMin = o.blockScoreMin;
        blockScoreStep = o.blockScoreStep;
        resetQuietFrames = o.resetQuietFrames;
        blockDiffThresholds = o.blockDiffThresholds;
        blockDiffScoreIncs = o.blockDiffScoreIncs;
        lutGridSize = o.lutGridSize;
        lutStride = o.lutStride;
        lutLeft = o.lutLeft;
        lutRight = o.lutRight;
        blockMdCellsL = o.blockMdCellsL;
        blockMdCellsR = o.blockMdCellsR;
        prevMaskBlockStats = o.prevMaskBlockStats;
        maskBlockStats = o.maskBlockStats;
        blockScore = o.blockScore;
        lastMask = o.lastMask.clone();
        diffImage = o.diffImage.clone();
        currMask = o.currMask.clone();
        return *this;
    }
    /* Frees what the stitcher owns; the host's LUTs and fusion-map buffer are
     * left alone. */
    ~DynStitcher();

    /* ---- Library-wide tables and switches ---- */

    /* Called by zelvo_stitch_init. Seeds rand() with time(); dbg_enable =
     * debug; rebuilds lut_vsegment_maskblock_idx with lutRows entries (entry i
     * = floor(i / (lutRows / numMaskBlocks)) in single precision) and
     * subs_tab; stores the three switches; calls
     * setMotionBitsHistoryWeight(useWeightedMotionBitHist). numMaskBlocks must
     * be positive (not checked). A negative lutRows throws
     * std::bad_array_new_length after the old table is freed: the library has
     * no grid-row table until the next init_lib. */
    static void init_lib(int lutRows, int numMaskBlocks, bool enableResetMask, bool useMaskBlocks,
                         bool useWeightedMotionBitHist, int debug);
    /* Frees the grid-row table (null afterwards); safe to call twice. */
    static void release_lib();
    /* false makes all 32 history weights 1 (sum 32) for the rest of the
     * process; true changes nothing, so there is no way back. */
    static void setMotionBitsHistoryWeight(bool weighted);

    /* ---- Shift path, driven by zelvo_stitch_process ---- */

    /* Cuts overlap overlapIdx's two strips out of the host's strip buffer
     * (strip_height[0] rows of strip_buf_width bytes at strip_buf_addr): the
     * left strip at column stripX[overlapIdx], the right one strip_width
     * columns further, each strip_width[overlapIdx] x strip_height[overlapIdx]
     * pixels. Scales both to maskCols x maskRows (nearest neighbour) into
     * leftImage and rightImage and sets diffImage = 255 - |left - right|.
     * zeroOffsets, img_num and overlap_shift_value are not read. Requires
     * setup; a strip outside the buffer raises cv::Exception. */
    void preProcess(int overlapIdx, unsigned int* stripX, unsigned int* zeroOffsets,
                    unsigned int img_num, unsigned long strip_buf_addr,
                    unsigned int strip_buf_width, unsigned int* strip_width,
                    unsigned int* strip_height, int* overlap_shift_value);
    /* Tracks corners of leftImage into rightImage and back, clusters the
     * horizontal flow (mask cells, plus ST_TRKE_appliedShiftX) into three
     * clusters and may set ST_TRKE_tgtLutTranslationX. Returns:
     *    0  clusters evaluated; the target was replaced unless converging
     *   -1  fewer than MIN_TRACKED_POINT points survived the round trip
     *   -2  survivors below the required share of the forward-tracked points
     *   -3  no corner in leftImage (nothing else changed)
     *   -4  no eligible cluster; target unchanged, ST_TRKE_MaxFlowX -999
     * A repeat-pattern run (many forward-tracked points, few round trips) may
     * replace the target before returning -1 or -2. Prints only when
     * dbg_enable is 1. When dump_overlap_id selects this overlap (or is 99)
     * and the shared dump frame count is below limit_dump_frames, writes
     * leftImage and rightImage to "/var/run/<frame>_<overlapId>_L.png" and
     * "_R.png" (a failed write is ignored). Requires preProcess; OpenCV
     * errors pass to the caller. */
    int ST_TRKE();
    /* Target translation for a measured flow, in mask cells: round(flow)
     * bounded to [minX, maxX]. After more than ST_TRKE_repeatPatternLimit
     * repeat-pattern runs in a row it falls back to about a quarter of the
     * flow (at most a quarter of the bounds), resets the count and overwrites
     * every entry of ST_TRKE_lutTranslationXHistory with the result. */
    int determineLutTranslationX(float flow, int minX, int maxX);
    /* Once per tracking frame and overlap: dbg_enable = dbg; appends the
     * bounded, scaled target to the history (dropping the oldest past
     * ST_TRKE_historyLength), smooths it (temporalWeightedAvg) and steps
     * ST_TRKE_curLutTranslationX toward the result by computeXStep cells.
     * When it steps, writes ST_TRKE_curLutTranslationX x cellWidth
     * (full-resolution pixels) into overlap_shift_value[overlapIdx + 1]; when
     * converged it writes nothing. overlap_shift_value is the record's array.
     * Returns 0. */
    int decideShifting(int overlapIdx, int* overlap_shift_value, int dbg);
    /* Step size in mask cells for |a - b|: 0 -> 0, 1..3 -> 1, 4..6 -> 2,
     * 7..10 -> 3, 11 or more -> 4; never more than |a - b|. */
    int computeXStep(int a, int b);
    /* Smoothed translation, in mask cells: the newest history entry while
     * fewer than ST_TRKE_historyLength are held, otherwise the first
     * ST_TRKE_historyLength entries weighted 1, 1, 2, 2, 3 (oldest first),
     * divided by 9 and truncated toward zero. Guards: an empty history gives
     * 0; a non-positive length gives 0; a length above 5 (there are five
     * weights) weighs only the last five of those entries. Prints "last_v /
     * ret_v" whenever dbg_enable is non-zero and the history is not empty. */
    int temporalWeightedAvg();

    /* ---- Set-up, once per stitcher (setup_dynstitcher) ---- */

    /* Builds the mask grid (maskCols = overlapWidth / cellWidth, maskRows =
     * imgHeight / cellHeight), the mask blocks, the seven blend curves, the
     * LUT anchors, the seeds, the default mask, the per-block records and a
     * header over the host's fusion-map buffer at dreFusionMapAddr (imgHeight
     * rows of overlapWidth bytes, host-owned, neither cleared nor freed).
     * reserved is not read. Throws std::invalid_argument, before any member
     * changes, for a geometry that breaks the limits (cells below 1 pixel,
     * fewer than 2 mask columns, a block without rows, an overlap wider than
     * the image, null LUTs or buffer, no or too short grid-row table, an
     * anchor outside the motion map). An odd maskCols only prints the
     * curve's message and leaves the curves empty. Call it once: a second
     * call appends a second set of per-block state. */
    void setup(int reserved, unsigned long dreFusionMapAddr);
    /* Walks the LUT vertices inside the two overlap rectangles (corners in
     * full-resolution pixels, left image then right image) in lockstep and
     * fills blockMdCellsL/blockMdCellsR (replaced) with the motion cell each
     * vertex's LUT word names (bits 6-15 column, 22-31 row), grouped by the
     * block of the vertex's grid row (lut_vsegment_maskblock_idx). Appends
     * one count per block to blockMdCellCount. Reads the host's LUTs without
     * bounds checks (setup checks them first). Returns 0. */
    int determineLUTanchors(cv::Point leftTopLeft, cv::Point leftBottomRight,
                            cv::Point rightTopLeft, cv::Point rightBottomRight);

    /* ---- Seam path, called by the host ---- */

    /* Floods the cost image src (CV_8UC1, grey levels) from the positive
     * labels of markers (CV_32SC1, same size, changed in place), cheapest
     * cells first: afterwards 1 = left region, 2 = right region, -1 =
     * boundary and the one-cell frame, 0 = a pocket no flood reached. Zeroes
     * labelOneCount/labelOneRatio of every record of stats, then counts each
     * flooded label-1 cell into the record of its block (numBlocks blocks of
     * blockHeight rows; rows past lastMaskBlockRow count for the last). Types
     * and sizes are not checked. Throws only on allocation failure. */
    void watershed_diff(int numBlocks, int blockHeight, cv::InputArray src,
                        cv::InputOutputArray markers, std::vector<_MaskBlockStat>& stats);
    /* The per-frame seam update. mdLeft and mdRight are the decoded motion
     * maps of the overlap's left and right images (decoded_md_buffer[i] and
     * [i + 1]): mdGridHeight rows of mdGridWidth bytes, row-major, non-zero =
     * motion. Floods diffImage from wsMarkers, turns the labels into
     * fusionMask, scores each block's change, and with both maps updates the
     * motion sums, scores (clamped to [blockScoreMin, blockScoreMax]), the
     * 32-frame histories and the seam-update flags. Then writes into every
     * mask row a blend curve centred on the row's seam column (k = 4 holding
     * the column of blocks without enough motion when my_useMaskBlocks is
     * set, else k = 0.25 on the new column) and leaves the result in
     * currMask and a copy in lastMask. A null map (either one) skips every
     * motion update and counts the frame as motion-free. With
     * my_enableResetMask, after resetQuietFrames motion-free frames, a rand()
     * draw above 50 (of 0..99) replaces the result with defaultMask. The
     * frame driver re-allocates the decoded maps when img_num or the map size
     * grows, so pointers taken before such a frame must be fetched again.
     * Requires a preProcess'ed diffImage; the maps must cover the block's
     * motion cells (not checked). Throws std::logic_error, before changing
     * anything, on a stitcher never set up, or whose mask-sized members,
     * difference image or per-block lists disagree with its geometry (after
     * an assignment from a stitcher of another geometry). With the
     * motion-aware mode on, see the end of this header. */
    void process(unsigned char* mdLeft, unsigned char* mdRight);
    /* Per row of fusionMask: the last column of the row's leading run of
     * equal bytes (the seam column), cols - 1 when the row never changes, 0
     * for a mask under two columns. */
    std::vector<int> getMaskCrossX();
    /* Weighted mean of a motion history (index 0 the oldest):
     * sum(history[i] x motionBitsHistoryWeight[i]) / motionBitsHistoryWeightSum,
     * truncated toward zero; 0 for an empty history. At most 32 entries
     * count (the weight table's length). */
    int getMotionBitsHistoryAvg(std::deque<int>& history);
    /* defaultMask itself: a header sharing its pixels, not a copy. Writing
     * through it changes what a reset of process produces. Empty before
     * setup. */
    cv::Mat getDefaultMask();
    /* Scales currMask (mask cells) bilinearly to overlapWidth x imgHeight
     * full-resolution pixels into the host's fusion-map buffer, in place.
     * Before the first process currMask is empty and OpenCV raises
     * cv::Exception, the buffer untouched. A fusion-map header whose size is
     * not overlapWidth x imgHeight (assigned from another geometry) throws
     * std::logic_error, the buffer untouched. */
    void copyTo_dre_fusion_map();
    /* Writes currMask to the image file `path` (format from its extension);
     * a failed write is silent. A null path throws std::logic_error. */
    void saveCurrMask(char* path);

    /* ---- Members, in declaration order. Initial values are the default
     * constructor's; "setup" and "process" name their writers. ---- */

    /* Geometry and configuration (constructor unless noted). */
    uint64_t dreFusionMapAddr = 0; /* setup: address of the host's fusion-map buffer */
    int32_t overlapId = 0;         /* overlap number; names the debug dumps */
    int32_t imgWidth = 0;          /* camera image width, full-resolution pixels */
    int32_t imgHeight = 0;         /* camera image height, full-resolution pixels */
    int32_t overlapWidth = 0;      /* overlap width, full-resolution pixels */
    int32_t cellWidth = 0;         /* pixels per mask cell, across (> 0) */
    int32_t cellHeight = 0;        /* pixels per mask cell, down (> 0) */
    int32_t maskCols = 0;          /* setup: overlapWidth / cellWidth, mask cells (even) */
    int32_t maskRows = 0;          /* setup: imgHeight / cellHeight, mask cells */
    int32_t numMaskBlocks = 0;     /* number of mask blocks */
    float blockScoreMax = 0.0f;    /* upper clamp of blockScore */
    float blockScoreMin = 0.0f;    /* lower clamp of blockScore */
    int32_t maskBlockHeight = 0;   /* setup: rows per block but the last, ceil(maskRows / blocks) */
    int32_t lastMaskBlockRow = 0;  /* setup: first mask row of the last block */
    int32_t blockScoreStep = 0;    /* score change per frame from motion */
    int32_t resetQuietFrames = 0;  /* motion-free frames before a random reset may happen */
    std::vector<float>
        blockDiffThresholds; /* ascending bands on the change of a block's label-1 share */
    std::vector<float> blockDiffScoreIncs; /* score added per band; same length */
    int32_t lutGridSize = 0;               /* LUT vertices per row and per column */
    int32_t lutStride = 0;                 /* LUT words per LUT row */
    uint32_t* lutLeft = nullptr;           /* host-owned LUT of the left image; not freed */
    uint32_t* lutRight = nullptr;          /* host-owned LUT of the right image; not freed */
    std::vector<std::vector<cv::Point>>
        blockMdCellsL; /* setup: per block, left motion cells (x, y) */
    std::vector<std::vector<cv::Point>> blockMdCellsR; /* setup: per block, right motion cells */
    uint8_t mdGridWidth = 0;  /* motion cells per decoded-map row (argument mod 256) */
    uint8_t mdGridHeight = 0; /* motion-cell rows of a decoded map (argument mod 256) */

    /* Seam-path state. */
    std::vector<int32_t> blockMdCellCount; /* setup: per block, number of left motion cells */
    std::vector<int32_t>
        blockSeamUpdate; /* process: per block, 1 = rows may take a new seam column */
    cv::Mat leftImage;   /* preProcess: left strip, CV_8UC1, maskRows x maskCols */
    cv::Mat rightImage;  /* preProcess: right strip, same size */
    std::vector<std::deque<int32_t>>
        blockMotionHistory; /* per block, last 32 motion values, oldest first */
    cv::Mat diffImage;      /* preProcess: 255 - |left - right|, the flood's cost */
    cv::Mat currMask;       /* process: the seam mask, CV_8UC1; empty until the first process */
    std::vector<_MaskBlockStat> prevMaskBlockStats; /* block records of the previous process */
    std::vector<_MaskBlockStat> maskBlockStats;     /* block records of this process */
    std::vector<float>
        blockScore; /* per block score, in [blockScoreMin, blockScoreMax] with motion */
    std::vector<int32_t>
        blockMotionSumL; /* per block, this frame's sum over the left motion cells */
    std::vector<int32_t> blockMotionSumR; /* the same for the right motion cells */
    cv::Mat lastMask;    /* deep copy of currMask after each process (defaultMask after setup) */
    cv::Mat defaultMask; /* setup: 255 left of maskCols / 2, 0 elsewhere */
    cv::Mat wsMarkers;   /* setup: seeds, CV_32SC1: 1 in columns 0-1, 2 in the last two */
    cv::Mat fusionMask;  /* process's work mask, CV_8UC1, mask size */
    std::vector<int32_t>
        rowCrossX; /* per mask row, the held seam column (maskCols >> 1 after setup) */
    int32_t quietFrameCount = 0;        /* consecutive motion-free process calls */
    int32_t labelMaskValue[2] = {0, 0}; /* setup: mask byte of label 1 (255) and label 2 (0) */
    cv::Mat dreFusionMap; /* setup: header over the host's buffer, imgHeight x overlapWidth */
    _WSQueue wsQueue[256] =
        {}; /* kept for the layout; always empty (the flood's queues are per-call scratch) */
    std::vector<SigmoidCurve> sigmoidCurves; /* setup: seven curves of maskCols values, k = ks[i] */

    /* Shift-path state and tuning (mask-grid pixels = mask cells). */
    std::vector<cv::Point_<float>>
        ST_TRKE_prevPts; /* corners in leftImage; after tracking, the forward-tracked ones */
    std::vector<cv::Point_<float>>
        ST_TRKE_nextPts;                 /* their positions in rightImage, index-aligned */
    int32_t ST_TRKE_maxCorners = 120;    /* corners detected at most */
    std::vector<uint8_t> ST_TRKE_status; /* per point, non-zero = passed the round trip */
    std::vector<float> ST_TRKE_err;      /* error output of the optical flow; never read */
    cv::TermCriteria ST_TRKE_lkTermCriteria{0, 0,
                                            0.0}; /* optical-flow stop rule (COUNT+EPS, 20, 0.03) */
    cv::Size ST_TRKE_lkWinSize{0, 0};             /* optical-flow window (18 x 18) */
    cv::TermCriteria ST_TRKE_kmeansTermCriteria{0, 0,
                                                0.0}; /* k-means stop rule (COUNT+EPS, 10, 1.0) */
    int32_t ST_TRKE_clusterCount = 3;                 /* flow clusters (S, M, L) */
    std::vector<int32_t>
        ST_TRKE_clusterMembersS; /* flow-sample indices of the smallest-flow cluster */
    std::vector<int32_t> ST_TRKE_clusterMembersM;        /* ... of the middle cluster */
    std::vector<int32_t> ST_TRKE_clusterMembersL;        /* ... of the largest-flow cluster */
    float ST_TRKE_SUCCESSFUL_TRACKED_POINT_RATIO = 0.3f; /* minimum share of tracked points */
    int32_t MIN_TRACKED_POINT = 9; /* minimum tracked points (>= ST_TRKE_clusterCount) */
    float ST_TRKE_REPEAT_FEATURE_RATIO =
        0.33f;                               /* repeat-pattern test: share of ST_TRKE_maxCorners */
    float ST_TRKE_LR_CHECK_RATIO = 0.66f;    /* repeat-pattern test: share passing the round trip */
    int32_t ST_TRKE_MIN_CLUSTER_POINT = 3;   /* smaller clusters are not eligible */
    bool ST_TRKE_closeRangeOnly = false;     /* only clusters with mean flow <= 0 are eligible */
    int32_t ST_TRKE_maxLutTranslationX = 16; /* upper translation bound, cells (32 / cellWidth) */
    int32_t ST_TRKE_minLutTranslationX = -16; /* lower translation bound, cells (-32 / cellWidth) */
    int32_t ST_TRKE_tgtLutTranslationX = 0;   /* target translation, cells */
    bool ST_TRKE_convergingLutTranslationX =
        false; /* stepping toward the smoothed target; the target is held */
    int32_t ST_TRKE_curLutTranslationX = 0; /* translation in force, cells */
    float ST_TRKE_tgtLutTranslationScale =
        0.0f;                               /* factor on the target (1.0 from the constructor) */
    float ST_TRKE_appliedShiftX = 0.0f;     /* signed sum of all steps taken, cells; unbounded */
    int32_t ST_TRKE_convergeThresholdX = 0; /* distance that starts stepping, cells (1) */
    int32_t ST_TRKE_minDistance = 0;        /* minimum corner distance, pixels (1) */
    bool ST_TRKE_clusterFound = false;      /* the last clustering found an eligible cluster */
    float ST_TRKE_MaxFlowX = 0.0f;          /* flow of the chosen cluster, cells; -999 = none */
    bool ST_TRKE_repeatPattern = false;     /* the last run saw a repeat pattern */
    int32_t ST_TRKE_repeatPatternCount = 0; /* consecutive repeat-pattern runs */
    int32_t ST_TRKE_repeatPatternLimit = 5; /* runs tolerated before the fallback target */
    std::deque<int32_t>
        ST_TRKE_lutTranslationXHistory; /* recent bounded targets, cells, oldest first */
    int32_t ST_TRKE_historyLength = 5;  /* history length; at most the 5 smoothing weights */
    float ST_TRKE_repeatRatioFactor =
        0.5f; /* factor on the minimum share in a repeat-pattern run */

    /* Library-wide tables and switches (shared by all stitchers). */
    static int MotionLevelBits;              /* 2; exported, not read */
    static bool my_useMaskBlocks;            /* hold seams in blocks without motion (init_lib) */
    static int motionBitsHistoryWeight[32];  /* weight of history position k, 0 oldest */
    static int motionBitsHistoryWeightSum;   /* divisor of the weighted history sum (62, or 32) */
    static bool my_useWeightedMotionBitHist; /* recorded by init_lib; acts through the weights */
    static float ks[7];                      /* steepness of the seven blend curves */
    static bool my_enableResetMask;          /* allow the random reset of the fusion map */
    static int* lut_vsegment_maskblock_idx;  /* LUT grid row -> mask block; library-owned,
                                                init_lib..release_lib */
    static int subs_tab[513]; /* max(j - 256, 0), built by init_lib; the flood does not read it */
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
 * owned by the library, null before the first frame and after uninit. A
 * frame whose img_num or map size is larger than the maps' re-allocates them
 * (every earlier map pointer is then invalid); smaller frames reuse them. */
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
 * img_num - 1 pointers. Throws std::bad_array_new_length for img_num 0 and
 * std::length_error for img_num above ZELVO_STITCH_MAX_IMAGES, before
 * anything is touched. Returns 0. */
ZELVO_API int zelvo_stitch_process(DynStitcher** stitchers, _ZELVO_STITCH_INFO* info);

/* Sets the frame driver's print switch (it prints when the value is 1). */
ZELVO_API void zelvo_stitch_set_dbg_out(int value);

} /* extern "C" */

/* Does nothing and returns 0; the record is not read. C++ linkage. */
ZELVO_API int zelvo_ecs_process(_ZELVO_ECS_INFO* info);

/* ---------------------------------------------------------------------------
 * Motion-aware mode (since 1.1; symbols in the linker script's ZELVO_STITCH_1.1
 * node). Off by default; while it is off every output, message and exception
 * of the library is exactly that of 1.0.
 *
 * The mode uses the cameras' decoded motion maps, which 1.0 reads only to
 * hold the seam, for both paths of every overlap. A mask cell's motion is
 * read through the LUT vertex nearest its centre (among those set-up
 * checked); a cell moved when either camera's motion byte there is non-zero.
 *  - Tracking (the frame driver's tracking frames, instead of ST_TRKE):
 *    corners within trackMarginPx of a moving cell are not tracked, so the
 *    shift follows the static background, not the people passing nearer the
 *    cameras; and since every corner left is background, the median flow of
 *    the trusted corners is taken, not a cluster's (1.0 takes the largest
 *    cluster flow, which would only pick the noisiest edge of the
 *    background, and k-means's random start would decide it). With fewer than
 *    minStaticCorners such corners it retries with a margin of 0, then
 *    falls back to every corner and the 1.0 choice, which is the 1.0
 *    tracker. Stepping, record writes and the prints of the round trip, the
 *    evidence tests and the clustering are 1.0's; the median replaces the
 *    cluster choice, so ST_TRKE_closeRangeOnly and ST_TRKE_MIN_CLUSTER_POINT
 *    do not apply and the run never ends with -4 ("no obvious cluster").
 *  - Seam (DynStitcher::process, instead of the 1.0 update): the flood's
 *    cost is 0 on cells within one cell of motion, with a ridge of 255 round
 *    them, and 0 in two-cell bands along the overlap's edges, so the seam
 *    keeps off people and inside the overlap; elsewhere it is diffImage,
 *    lowered by seamStickGrey except within a cell of last frame's seam.
 *    Hysteresis:
 *    where the new flood seam parts from the held one (rowCrossX), that
 *    stretch of rows takes it only if it is cheaper by more than
 *    seamSwitchGrey grey levels per cell on average, and a row whose held
 *    seam a mover has come near takes it at once. Each row is 255 up to its
 *    seam column and 0 after it: a hard step, which copyTo_dre_fusion_map's
 *    bilinear scaling turns into a ramp one cell wide (enough for a few per
 *    cent of exposure step; any wider band doubles people). The seam column
 *    stays in [2, maskCols - 3] (at maskCols >> 1 below 5 columns).
 *    currMask and lastMask keep their pixels and are rewritten in place
 *    (1.0 gives them new pixels every call), so a header held on them sees
 *    each frame's mask. my_useMaskBlocks, the curves and the random
 *    reset do not apply; block scores, histories and flags are still updated
 *    as in 1.0. Without both motion maps nothing counts as moving.
 *    process and the mode's tracker throw std::logic_error on a stitcher
 *    whose mask-sized members do not match its geometry (never set up, or
 *    assigned from a stitcher of another geometry, or not pre-processed).
 * LUTs: the mode maps mask cells to motion cells through the LUT words when
 * it first runs on a stitcher, and again when the stitcher's geometry or LUT
 * pointers change (not when the words change in place), so with the mode on
 * the host keeps its LUTs valid for the stitcher's life, not only for setup.
 * The mode's per-stitcher state is kept by the library outside the
 * stitcher, whose layout is 1.0's, and freed by its destructor.
 * Costs: the seam path allocates nothing per frame once the stitcher's mode
 * state exists (made by the first call in the mode, or after the geometry
 * or LUT pointers change: a few mask-sized buffers); per frame it adds the motion
 * marking, a box dilation, the cost image and the row test, all on the mask
 * grid, and saves 1.0's copies. A tracking frame may detect corners up to
 * three times.
 * Threads: as in 1.0 (per-overlap process calls on different stitchers may
 * run at once); set the switch and the parameters only while no other call
 * of the library runs. Exceptions: as in 1.0; an allocation failure while
 * the state is made leaves the stitcher as it was.
 * ------------------------------------------------------------------------- */

/* Parameters of the motion-aware mode, read on every call of the mode;
 * negative values count as 0. */
typedef struct _ZELVO_MOTION_AWARE_PARAMS {
    int32_t trackMarginPx;    /* 24: corners this close to a moving cell (full-
                                 resolution pixels, rounded up to cells) are
                                 not tracked */
    int32_t minStaticCorners; /* 18: fewer corners left by the margin: retry
                                 with margin 0, then with every corner */
    int32_t seamSwitchGrey;   /* 6: grey levels per cell by which a new seam
                                 stretch must be cheaper than the held one */
    int32_t seamStickGrey;    /* 16: grey levels by which the flood sees last
                                 frame's seam better than elsewhere */
} ZELVO_MOTION_AWARE_PARAMS;

static_assert(sizeof(ZELVO_MOTION_AWARE_PARAMS) == 16, "parameter layout");
static_assert(offsetof(ZELVO_MOTION_AWARE_PARAMS, trackMarginPx) == 0 &&
                  offsetof(ZELVO_MOTION_AWARE_PARAMS, minStaticCorners) == 4 &&
                  offsetof(ZELVO_MOTION_AWARE_PARAMS, seamSwitchGrey) == 8 &&
                  offsetof(ZELVO_MOTION_AWARE_PARAMS, seamStickGrey) == 12,
              "parameter layout");

/* The mode's parameters, library-wide, initially {24, 18, 6, 16}; the host
 * may write them between frames. Not reset by zelvo_stitch_init. */
extern ZELVO_API ZELVO_MOTION_AWARE_PARAMS zelvo_stitch_motion_aware_params;

extern "C" {
/* Turns the motion-aware mode on (non-zero) or off (0) for every stitcher,
 * from the next call on. A stitcher keeps its mode state while the mode is
 * off, so turning it on again resumes from its held seam. Returns 0. Not
 * reset by zelvo_stitch_init. */
ZELVO_API int zelvo_stitch_set_motion_aware(int on);
}

#endif /* ZELVO_STITCH_H */
