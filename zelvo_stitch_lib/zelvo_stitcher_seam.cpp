// PLACEHOLDER: replaced by the real implementation (work in progress).
#include <stdexcept>
#include "zelvo_internal.h"
static void pending() { throw std::logic_error("not implemented yet"); }
void DynStitcher::process(unsigned char*, unsigned char*) { pending(); }
std::vector<int> DynStitcher::getMaskCrossX() { pending(); return {}; }
int DynStitcher::getMotionBitsHistoryAvg(std::deque<int>&) { pending(); return 0; }
cv::Mat DynStitcher::getDefaultMask() { pending(); return {}; }
void DynStitcher::copyTo_dre_fusion_map() { pending(); }
void DynStitcher::saveCurrMask(char*) { pending(); }
