// The simulator's own failure to write a result file, told apart from the
// library's (exit status 3 against 1).
#ifndef ZELVO_SIM_OUTPUT_ERROR_H
#define ZELVO_SIM_OUTPUT_ERROR_H

#include <stdexcept>

namespace zsim {

// A result file that cannot be written (folder gone, disk full).
struct OutputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace zsim

#endif
