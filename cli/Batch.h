#pragma once

#include "cli/Cli.h"

namespace quirna {

// The whole quirna-ocr-batch process: options, inputs, one output file per input and the index,
// progress on standard error. Returns the exit status: 0 when every input of the run has a good
// result output, 1 otherwise (an error object, no output, another run holding the folder, or a run
// stopped by a failed write, with a message on standard error), 2 for bad usage.
int runBatch(int argc, const char* const* argv, const DispatchTable& table);

}  // namespace quirna
