#pragma once
// The serve loop: one request per input line, one result per request, normal
// requests run in arrival order on a bounded pool, urgent ones at once.

#include <functional>
#include <istream>

#include "engine/protocol/records.h"

namespace Protocol {

using Handler = std::function<Result(const Request&)>;
using Emitter = std::function<void(const Result&)>;

// max(2, cores): the number of normal requests that run at once.
int concurrencyLimit(unsigned cores);

// Processor cores this process may run on.
unsigned activeProcessorCount();

// Reads request lines from `input` until it ends and answers every decoded
// request with `handler`, passing each result to `emit` as soon as it is
// ready. At most `slots` normal requests run at once, started in arrival
// order; urgent requests start at once on their own threads. Empty lines are
// ignored, lines that do not decode are dropped. Returns when every decoded
// request has been answered. `handler` and `emit` are called from several
// threads at once.
void serve(std::istream& input, const Handler& handler, const Emitter& emit, int slots);

// serve() on standard input with the engine's handler and output channel.
void runServe();

}  // namespace Protocol
