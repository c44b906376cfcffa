// PLACEHOLDER: replaced by the real implementation (work in progress).
#include <stdexcept>
#include "zelvo_internal.h"
static void pending() { throw std::logic_error("not implemented yet"); }
void DynStitcher::setup(int, unsigned long) { pending(); }
int DynStitcher::determineLUTanchors(cv::Point, cv::Point, cv::Point, cv::Point) { pending(); return 0; }
