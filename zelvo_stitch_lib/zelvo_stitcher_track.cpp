// PLACEHOLDER: replaced by the real implementation (work in progress).
#include <stdexcept>
#include "zelvo_internal.h"
static void pending() { throw std::logic_error("not implemented yet"); }
void DynStitcher::preProcess(int, unsigned int*, unsigned int*, unsigned int, unsigned long, unsigned int, unsigned int*, unsigned int*, int*) { pending(); }
int DynStitcher::ST_TRKE() { pending(); return 0; }
int DynStitcher::determineLutTranslationX(float, int, int) { pending(); return 0; }
int DynStitcher::decideShifting(int, int*, int) { pending(); return 0; }
int DynStitcher::computeXStep(int, int) { pending(); return 0; }
int DynStitcher::temporalWeightedAvg() { pending(); return 0; }
namespace zelvo { int& tracker_dump_counter() { static int FrameNo = 0; return FrameNo; } int& shifting_counter() { static int frameNo = 0; return frameNo; } }
