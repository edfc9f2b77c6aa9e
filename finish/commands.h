#pragma once
// The finisher's commands: one step of a delivery save per process.

#include "finish/channel.h"
#include "finish/request.h"

namespace Finish {

// Checks and runs one decoded request, writing its replies to `channel` and
// reading continuation lines from it. Returns the exit status (0); throws
// FinishFailure, JPEGColourProfile::Failure or a system error otherwise.
int perform(const FinishRequest& request, Channel& channel);

}  // namespace Finish
