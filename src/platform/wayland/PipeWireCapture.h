#pragma once

// A capture stream of the CaptureService interface on top of the PipeWire core:
// every received image is scaled into a pooled image of the configured size with
// opaque alpha and handed to the output. Shared by the GNOME and portal backends.

#include <memory>

#include "platform/CaptureService.h"
#include "platform/wayland/PipeWireStream.h"

namespace marlinax::platform::wayland {

// The frame rate a configuration allows (1 to 240; 60 for a missing interval).
int framesPerSecond(const CaptureConfiguration& configuration);

// Throws CaptureError for a size outside 1 to 16384.
void checkCaptureSize(const CaptureConfiguration& configuration);

// `owner` is kept alive as long as the stream receives (the compositor's or the
// portal's session that produces the node) and released after the PipeWire
// stream is gone. Throws CaptureError when PipeWire cannot be reached.
std::unique_ptr<CaptureStream> makePipeWireCaptureStream(PipeWireStream::Options options,
                                                         const CaptureConfiguration& configuration,
                                                         CaptureService::Output output, std::shared_ptr<void> owner);

// Starts `start` (a stream making function) and returns its first frame, or
// throws CaptureError when none arrives within the timeout.
SampleBuffer firstFrame(const std::function<std::unique_ptr<CaptureStream>(CaptureService::Output)>& start,
                        std::chrono::milliseconds timeout);

}  // namespace marlinax::platform::wayland
