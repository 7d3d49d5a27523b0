#pragma once

// The peer's casting commands: receive a display's frames as a headset does
// (answer each frame, confirm each received mask with its SHA-256) and report
// rates, sizes and delays; and the input round-trip benchmark.

#include <cstdint>
#include <memory>
#include <vector>

#include <asio/awaitable.hpp>

#include "peer/Arguments.h"
#include "peer/Headset.h"

namespace marlinax::peer {

// The value at fraction p (0..1) of the sorted samples (nearest rank); 0 when empty.
double percentile(std::vector<double> samples, double p);

// cast [--id N] [--seconds S] [--no-ack] [--json]
// Casts the display (default: the first listed) for S seconds (default 5).
// Returns 0 when at least one frame arrived.
asio::awaitable<int> runCast(std::shared_ptr<HeadsetSession> session, const Arguments& args);

// bench cast [--id N] [--seconds S] [--painter-rect X,Y,W,H] [--json]
// Casting while marlinax-screen-painter (next to this program, on $DISPLAY)
// repaints the rectangle (default: the whole display) every frame, with a
// mouseMoved request every ~10 ms.
asio::awaitable<int> runBenchCast(std::shared_ptr<HeadsetSession> session, const Arguments& args);

// bench input [--id N] [--count N] [--json]: mouseMoved round trips.
asio::awaitable<int> runBenchInput(std::shared_ptr<HeadsetSession> session, const Arguments& args);

}  // namespace marlinax::peer
