// PLACEHOLDER: replaced by the real implementation (work in progress).
#include <stdexcept>
#include "zelvo_internal.h"
static void pending() { throw std::logic_error("not implemented yet"); }
void DynStitcher::watershed_diff(int, int, cv::InputArray, cv::InputOutputArray, std::vector<_MaskBlockStat>&) { pending(); }
