#!/usr/bin/env python3
"""Applies a fixed list of hand-written faults to the product code, one at a time, and reports
which ones the unit tests catch.

Each mutant is a real fault: an off-by-one, a swapped byte order, a check dropped. The script
works on a snapshot of a commit (git archive) under build-mutation/, never on the worktree, so
edits in progress are not disturbed and the tree is never left mutated. Per mutant it rebuilds
the unit tests that exercise the mutated code (ccache keeps the unchanged objects), runs them
(the X11 input test starts its own Xvfb) and restores the file.

  scripts/mutation-test.py [--ref REF] [--only SUBSTRING]... [--tests EXECUTABLE]... [--summary FILE] [--workdir DIR]

Exit status: 0 when every mutant is killed, 1 when some survive, 2 on a setup error (a pattern
that no longer matches exactly once is a setup error: the table must follow the code).
"""

import argparse
import os
import pathlib
import shutil
import subprocess
import sys

# The tests run per mutant: the ones exercising the mutated code (ctest names, which are also the
# target names). Fewer executables to relink keeps a run within minutes on a loaded machine.
CODEC = ["codec-tests", "messaging_tests"]
FRAMING = ["transport_framing_test", "transport_pipe_test", "transport_tls_test"]
FILTER = ["transport_address_filter_test", "server_options_tests"]
MESSAGING = ["messaging_tests", "server_tests", "server_headset_server_tests"]
MEDIA = ["media-tests", "server_casting_tests"]
INPUT = ["input_dispatcher_test", "server_tests"]
KEYCODE = ["input_keycode_test"]
PEER = ["peer_fragment_tests"]
OPTIONS = ["server_options_tests"]
X11INPUT = ["input_x11_translation_test", "input_x11_test"]  # input_x11_test starts its own Xvfb
DISPLAYS = ["virtual_display_test"]
APP = ["app_window_test"]
CAPTURE = ["capture_test"]
CAPTUREX11 = ["capture_x11_test"]  # starts its own Xvfb
CAPTUREIMAGE = ["capture_image_test"]
DISPLAYSX11 = ["cvt_timings_test", "virtual_display_x11_test"]  # Xvfb, and Xorg with the dummy driver
WAYLAND = ["wayland_logic_test"]
ASYNC = ["async_tests"]

# (file, original text, mutated text, fault, tests). The original text must occur exactly once in
# the file.
MUTANTS = [
    # codec
    ("src/codec/Varint.cpp", "while (value >= 0x80) {", "while (value > 0x80) {",
     "varint writer: 0x80 fits one byte (off by one)", CODEC),
    ("src/codec/Varint.cpp", "for (unsigned i = 0; i < 9; ++i) {", "for (unsigned i = 0; i < 10; ++i) {",
     "varint reader: accepts a tenth byte", CODEC),
    ("src/codec/Varint.cpp", "if (length > data.size() - offset) throw",
     "if (length > data.size() - offset + 1) throw", "string reader: length one past the end", CODEC),
    ("src/codec/Varint.cpp", "(c & 0xC0) == 0x80", "(c & 0x80) == 0x80",
     "UTF-8: continuation byte check too loose", CODEC),
    ("src/codec/BitVector.h", "return (bitmap[i / 8] >> (i % 8)) & 1U;",
     "return (bitmap[i / 8] >> (7 - i % 8)) & 1U;", "nil bitmap read in the wrong bit order", CODEC),
    ("src/codec/Encoder.cpp", "if (values_[i].element.kind == Kind::nil) nils.set(i);",
     "if (values_[i].element.kind == Kind::nil) (void)i;", "record writer skips a nil bit", CODEC),
    ("src/codec/Encoder.cpp", "return shapeCounter_++;", "return ++shapeCounter_;",
     "shape numbers start at one", CODEC),
    ("src/codec/Decoder.cpp", "if (metadata >= 2) throw ProducerError(Kind::invalidMetadata, at(base, offset));",
     "if (metadata >= 2) throw ProducerError(Kind::invalidMetadata, at(base, offset + 1));",
     "error offset off by one", CODEC),
    ("src/codec/Decoder.cpp", "if (metadata >= 2)", "if (metadata > 2)",
     "metadata byte 2 accepted", CODEC),
    ("src/codec/Varint.cpp", "if (length > data.size() - offset) throw",
     "if (length + 1 > data.size() - offset) throw", "string reader: refuses a string ending at the last byte",
     CODEC),
    # transport
    ("src/transport/Framing.cpp", "order == HeaderOrder::littleEndian ? i : kFrameHeaderSize - 1 - i;",
     "order == HeaderOrder::bigEndian ? i : kFrameHeaderSize - 1 - i;", "frame header written in the other byte order",
     FRAMING),
    ("src/transport/Framing.cpp", "length > maximumMessageSize_)", "length > maximumMessageSize_ + 1)",
     "frame one byte over the maximum accepted", FRAMING),
    ("src/transport/AddressFilter.cpp", "const auto mask = static_cast<std::uint8_t>(0xFF00u >> take);",
     "const auto mask = static_cast<std::uint8_t>(0xFF00u >> (take - (take == 8 ? 0 : 1)));",
     "address range compares one bit too few", FILTER),
    ("src/transport/AddressFilter.cpp", "if (range.prefixLength > width)", "if (range.prefixLength > width + 1)",
     "prefix longer than the address accepted", FILTER),
    ("src/transport/Framing.cpp", "order == HeaderOrder::bigEndian ? i : kFrameHeaderSize - 1 - i;",
     "order == HeaderOrder::littleEndian ? i : kFrameHeaderSize - 1 - i;", "frame header read in the other byte order",
     FRAMING),
    ("src/transport/Tls.cpp", "parameters->identity != identity ||", "",
     "TLS: the PSK identity is not checked", ["transport_tls_test"]),
    ("src/transport/Tls.cpp", 'constexpr char kIdentity[] = "Marlinax";', 'constexpr char kIdentity[] = "marlinax";',
     "TLS: wrong PSK identity sent", ["transport_tls_test"]),
    ("src/transport/TlsConnection.cpp", "    if (writing_) {", "    if (false) {",
     "TLS: concurrent sends write at the same time", ["transport_tls_test"]),
    ("src/transport/TlsConnection.cpp", "      if (turn->small)", "      if (false)",
     "TLS: a small reply waits behind large messages", ["transport_tls_test"]),
    ("src/transport/TlsConnection.cpp", "        std::erase(writeQueue_, turn);", "",
     "TLS: a cancelled send keeps its turn and stalls the sends after it", ["transport_tls_test"]),
    ("src/transport/TlsConnection.cpp", "if (self->waiting_ < kMaxWaitingMessages) {",
     "if (false && self->waiting_ < kMaxWaitingMessages) {", "TLS: reading never resumes once a slow consumer fell behind",
     ["transport_tls_test"]),
    ("src/transport/ServiceAdvertiser.cpp", "if (result == AVAHI_ERR_COLLISION) {", "if (false) {",
     "DNS-SD: a service under a name already taken is never renamed", ["transport_dnssd_test"]),
    ("src/transport/AvahiClientKeeper.cpp",
     "self->scheduleRetry(error == AVAHI_ERR_DISCONNECTED ? 0 : kRetryMilliseconds);", "(void)error;",
     "DNS-SD: never registered again after the daemon restarts", ["transport_dnssd_test"]),
    ("src/transport/IncomingConnections.cpp", "advertiser = std::move(advertiser_);", "",
     "DNS-SD: a terminated listener stays advertised", ["transport_dnssd_test"]),
    # messaging
    ("src/server/HeadsetServer.cpp", "endedAlready = link->endedUnserved;", "endedAlready = false;",
     "a headset leaving right after the handshake stays connected", ["server_headset_server_tests"]),
    ("src/messaging/Multiplexer.cpp", "auto found = continuations_.find(token);",
     "auto found = token != 0 ? continuations_.begin() : continuations_.end();",
     "reply resumes a waiter without checking its token", MESSAGING),
    ("src/messaging/Multiplexer.cpp",
     "return inProgress < limits.requestsInProgress && queuedReplyBytes < limits.queuedReplyBytes;",
     "return true;", "unbounded queue of requests in progress", MESSAGING),
    ("src/messaging/Multiplexer.cpp", "  if (reply) {\n    inProgress->queue(reply->size());",
     "  if (reply && false) {\n    inProgress->queue(reply->size());", "requests served locally never answered",
     MESSAGING),
    ("src/messaging/SessionLoop.cpp", "if (reply.version != options.version)", "if (false)",
     "protocol version mismatch ignored", MESSAGING),
    ("src/messaging/Multiplexer.cpp", "std::int64_t token = token_++;", "std::int64_t token = ++token_;",
     "request tokens start at two", MESSAGING),
    ("src/messaging/SessionLoop.cpp", "deadline(co_await asio::this_coro::executor, timeout);",
     "deadline(co_await asio::this_coro::executor, timeout * 600);",
     "a client that never starts TLS is given up far too late", MESSAGING),
    ("src/server/HeadsetServer.cpp", "    if (replaced) {", "    if (replaced && false) {",
     "a replaced headset connection stays open", MESSAGING),
    ("src/server/ProtocolImplementation.cpp", "return codec::toValidUtf8(name);", "return name;",
     "computer name sent without UTF-8 repair", MESSAGING),
    ("src/server/ProtocolImplementation.cpp", "    if (!name.empty()) return", "    if (true) return",
     "empty computer name sent", MESSAGING),
    ("src/server/ProtocolImplementation.cpp", "  if (!broadcaster_ || ended_) co_return SerializableVoid{};\n  capture::Broadcaster& recorder = *broadcaster_;\n  if (!recorder.display",
     "  if (!broadcaster_ || ended_) throw std::runtime_error(\"no capture service\");\n  capture::Broadcaster& recorder = *broadcaster_;\n  if (!recorder.display",
     "child-window watching without a capture service left unanswered", MESSAGING),
    ("tools/server/Options.cpp", "|| value > 65535)", "|| value > 65536)", "server option: port 65536 accepted", OPTIONS),
    ("tools/server/Options.cpp", "constexpr std::size_t kMaxNameBytes = 63;", "constexpr std::size_t kMaxNameBytes = 64;",
     "server option: a 64-byte name accepted", OPTIONS),
    ("tools/server/Options.cpp", "return digits(display) && digits(screen);",
     "return digits(display) && (screen.empty() || digits(screen));",
     "server option: display name with a bad screen number accepted", OPTIONS),
    ("tools/server/Options.cpp", "if (verbose && quiet)", "if (false)",
     "server option: --verbose with --quiet accepted", OPTIONS),
    # media (the mutant is applied to the snapshot only)
    ("src/media/Masks.cpp", "entry.acknowledged = true;", "entry.acknowledged = false;",
     "mask confirmation missed", MEDIA),
    ("src/media/Fragment.cpp", "codec::appendVarint(pieces.head, head.size() + frame.data.size());",
     "codec::appendVarint(pieces.head, head.size() + frame.data.size() + 1);",
     "fragment: sample buffer length off by one", MEDIA + PEER),
    ("src/media/Fragment.cpp", "pieces.head.push_back(0x01);", "pieces.head.push_back(0x02);", "fragment: has-mask byte written as 2",
     MEDIA + PEER),
    ("tools/peer/FragmentReader.cpp", "if (hasMask > 1)", "if (hasMask > 2)",
     "fragment reader: has-mask byte 2 accepted", PEER),
    ("src/media/AppleLz4.cpp", "const std::size_t history = std::min(start, kLz4Window);",
     "const std::size_t history = 0;", "LZ4 decoder ignores earlier blocks as dictionary", MEDIA),
    ("src/media/AppleLz4.cpp", "if (encoded > 0 && static_cast<std::size_t>(encoded) < size) {", "if (encoded > 0) {",
     "LZ4 encoder compresses blocks that do not shrink", MEDIA),
    ("src/media/AppleLz4.cpp", "if (pos != size) throw", "if (false) throw", "LZ4 decoder accepts bytes after the end",
     MEDIA),
    ("src/media/MaskPlane.cpp", "static_cast<std::size_t>(height), 0);", "static_cast<std::size_t>(height), 0xFF);",
     "opaque mask plane padded with 0xFF instead of zero", MEDIA),
    ("src/media/Masks.cpp", "(found->second.mask != fragment.storage.mask &&", "(found->second.mask == fragment.storage.mask ||",
     "a different mask plane taken for the confirmed one unseen", MEDIA),
    ("src/media/MaskPlane.cpp", "return (width + 63) / 64 * 64;", "return (width + 64) / 64 * 64;",
     "mask stride rounded up one row too far", MEDIA),
    ("src/media/SegmentedJpeg.cpp", "static_cast<std::uint8_t>(kRestart0 + (i - 1) % 8)",
     "static_cast<std::uint8_t>(kRestart0 + i % 8)", "segmented JPEG: restart markers numbered from one", MEDIA),
    ("src/media/SampleBufferData.cpp", "codec::appendVarint(out, static_cast<std::uint64_t>(time.value));",
     "codec::appendVarint(out, static_cast<std::uint64_t>(time.timescale));", "time written without its value",
     MEDIA),
    ("src/media/Masks.cpp", "if (entry.hash && hash.size() == entry.hash->size() &&", "if (entry.hash &&",
     "a digest prefix confirms a mask", MEDIA),
    ("src/media/Masks.cpp", "&& !sameOverShorter(planeBytes(", "&& sameOverShorter(planeBytes(",
     "a changed mask keeps its confirmation", MEDIA),
    ("src/media/VEncode.cpp", "TJSAMP_444, kQuality", "TJSAMP_420, kQuality",
     "JPEG frames with subsampled chroma", MEDIA),
    ("src/media/VEncode.cpp", "constexpr int kQuality = 100;", "constexpr int kQuality = 92;",
     "JPEG frames below full quality", MEDIA),
    # input
    ("src/input/EventDispatcher.cpp", "++clickCount_;", "clickCount_ = 2;", "triple click counted as double",
     INPUT),
    ("src/input/EventDispatcher.cpp", "if (elapsed < interval) {", "if (elapsed > interval) {",
     "double-click interval inverted", INPUT),
    ("src/platform/x11/InputPosterX11.cpp", "steps.vertical > 0 ? kWheelUp : kWheelDown",
     "steps.vertical > 0 ? kWheelDown : kWheelUp", "vertical wheel direction reversed", X11INPUT),
    ("src/platform/x11/InputPosterX11.cpp", "steps.horizontal > 0 ? kWheelLeft : kWheelRight",
     "steps.horizontal > 0 ? kWheelRight : kWheelLeft", "horizontal wheel direction reversed", X11INPUT),
    ("src/input/KeyCode.h", "case KeyCode::key_5: return 0x17;", "case KeyCode::key_5: return 0x16;",
     "key-code table: key 5 sends the code of key 6", KEYCODE),
    ("src/input/KeyCode.h", "if (raw < 0 || raw >= keyCodeCount)", "if (raw < 0 || raw > keyCodeCount)",
     "key code 113 accepted", KEYCODE),
    ("src/input/EventDispatcher.cpp", "if (!std::isfinite(x) || !std::isfinite(y)) return std::nullopt;",
     "if (!std::isfinite(x)) return std::nullopt;", "non-finite vertical scroll accepted", INPUT),
    # displays
    ("src/displays/VirtualDisplay.cpp", "return std::find(prior.begin(), prior.end(), identifier) == prior.end();",
     "return std::find(prior.begin(), prior.end(), identifier) != prior.end();",
     "discovery picks a display that was already there", DISPLAYS),
    ("src/displays/VirtualDisplay.cpp", "applied = created && created->applySettings(settings);",
     "applied = created && (created->applySettings(settings), true);", "settings refused yet reported as created",
     DISPLAYS),
    # app
    ("src/app/Preferences.cpp", "return parseBoolean(stored.toString()).value_or(defaultValue_);",
     "return parseBoolean(stored.toString()).value_or(!defaultValue_);",
     "unreadable preference flips the default", APP),
    ("src/app/Preferences.cpp", 'word == QLatin1String("1")', 'word == QLatin1String("yes")',
     "preference \"1\" not read as true", APP),
    # capture x11
    ("src/platform/x11/CaptureSource.cpp", "rect = rect.intersected(root);", "(void)root;",
     "a monitor reaching past the screen is listed unclipped", CAPTUREX11),
    ("src/platform/x11/CaptureSource.cpp", "if (!shm_->grab(area.x, area.y))", "if (!shm_->grab(0, area.y))",
     "grab ignores the monitor's left edge", CAPTUREX11),
    ("src/platform/x11/CaptureSource.cpp", "scaleInto(shm_->data(), shm_->stride(), shm_->width(), shm_->height(),",
     "scaleInto(shm_->data(), shm_->stride(), shm_->width() / 2, shm_->height(),",
     "scaled from half the grabbed width", CAPTUREX11),
    ("src/platform/x11/CaptureSource.cpp",
     "  makeOpaque(output->pixels.data(), output->stride, output->width, output->height);", "",
     "scaled frame not made opaque", CAPTUREX11),
    ("src/platform/x11/CaptureSource.cpp", "  shmctl(segment_.shmid, IPC_RMID, nullptr);\n  if (failed) {",
     "  if (failed) {", "shared-memory segment never marked for removal", CAPTUREX11),
    ("src/platform/x11/CaptureImage.cpp", "std::uint32_t inverse = 255 - alpha;", "std::uint32_t inverse = alpha;",
     "cursor blended with the wrong weight", CAPTUREIMAGE),
    ("src/platform/x11/CaptureImage.cpp", "PixelRect visible = placed.intersected(area);", "PixelRect visible = placed;",
     "cursor not clipped to the captured area", CAPTUREIMAGE),
    ("src/platform/x11/CaptureX11.cpp", "if (onDisplay.empty()) continue;",
     "if (false && onDisplay.empty()) continue;", "damage on another display starts a frame", CAPTUREX11),
    ("src/platform/x11/CaptureX11.cpp", "if (cursorTouches(pointer_) || cursorTouches(position)) changed = true;",
     "if (cursorTouches(pointer_) && cursorTouches(position)) changed = true;",
     "pointer moving onto the display brings no frame", CAPTUREX11),
    ("src/platform/x11/CaptureX11.cpp", "if (area == area_) return false;", "if (true) return false;",
     "stream keeps its monitor's old rectangle", CAPTUREX11),
    ("src/platform/x11/CaptureX11.cpp", "* 1'000'000'000 /", "* 250'000'000 /",
     "frame rate capped four times too high", CAPTUREX11),
    # capture
    ("src/capture/Broadcaster.cpp", "clock_() - lastDisplayFetch_ <= fetchInterval", "clock_() - lastDisplayFetch_ < fetchInterval",
     "display table exactly one second old counted as stale", CAPTURE),
    ("src/capture/Broadcaster.cpp", "if (seen.insert(display.displayID).second) table.push_back",
     "if (seen.insert(display.displayID).second || true) table.push_back",
     "display table keeps duplicate identifiers", CAPTURE),
    ("src/capture/Broadcaster.cpp", "  if (auto hit = find()) return hit;\n  fetchLocked();",
     "  if (auto hit = find()) return hit;", "a lookup miss does not fetch the displays again", CAPTURE),
    ("src/server/DisplayCast.cpp", "  if (replaced) replaced->stop();", "  (void)replaced;",
     "a replaced cast keeps capturing", ["server_casting_tests"]),
    ("src/server/DisplayCast.cpp", "  shared_->masks->forget(identifier);\n  cast->start", "  cast->start",
     "a restarted cast's first frame goes without its mask", ["server_casting_tests"]),
    # displays x11
    ("src/platform/x11/VirtualDisplayX11.cpp", "if (changes.formerSize)\n      attempt(", "if (false)\n      attempt(",
     "released virtual display leaves the screen grown", DISPLAYSX11),
    ("src/platform/x11/VirtualDisplayX11.cpp", "if (changes.monitorSet) attempt(", "if (false) attempt(",
     "released virtual display leaves its monitor", DISPLAYSX11),
    ("src/platform/x11/VirtualDisplayX11.cpp", "right = std::max(right, monitor.rect.x + monitor.rect.width);",
     "right = std::max(right, monitor.rect.x);", "virtual display placed over the last monitor", DISPLAYSX11),
    ("src/platform/x11/VirtualDisplayX11.cpp", "if (monitor.name == name_) leftover = std::move(monitor);",
     "if (false) leftover = std::move(monitor);", "display left by a crashed run not taken over", DISPLAYSX11),
    ("src/platform/x11/VirtualDisplayX11.cpp", "    vSync = 4;", "    vSync = 5;",
     "4:3 modes get the 16:9 sync width", DISPLAYSX11),
    ("src/displays/VirtualDisplay.cpp", "    display = std::move(virtualDisplay_);", "    display = nullptr;",
     "release keeps the platform display", DISPLAYS),
    ("src/displays/VirtualDisplay.cpp", "  previous.reset();", "  (void)previous;",
     "old display still alive while its successor is made", DISPLAYS),
    # wayland logic
    ("src/platform/wayland/DisplayConfig.cpp", "return hash == 0 ? 1 : hash;", "return hash;",
     "display identifier zero handed out", WAYLAND),
    ("src/platform/wayland/DisplayConfig.cpp", "if (logical.transform % 2 == 1)", "if (logical.transform == 1)",
     "rotation by 270 degrees keeps width and height", WAYLAND),
    ("src/platform/wayland/DisplayConfig.cpp", "if (mode == LayoutMode::logical) {", "if (mode == LayoutMode::physical) {",
     "monitor scale applied in the wrong layout mode", WAYLAND),
    ("src/platform/wayland/DisplayConfig.cpp", "x < f.x + f.width &&", "x <= f.x + f.width &&",
     "a point on a monitor's right edge belongs to it", WAYLAND),
    ("src/platform/Backend.cpp", "if (facts.mutterOnBus && !facts.sandboxed) {", "if (facts.mutterOnBus) {",
     "sandboxed GNOME uses mutter directly", WAYLAND),
    ("src/platform/wayland/ScreenCastPortal.cpp", "if (text.size() != 36) return false;",
     "if (text.size() < 36) return false;", "restore token longer than a UUID accepted", WAYLAND),
    # x11 input
    ("src/platform/x11/InputSettingsX11.cpp", "const std::size_t index = bigEndian_ ? i : width - 1 - i;",
     "const std::size_t index = i;", "desktop settings read in one byte order only", X11INPUT),
    ("src/platform/x11/InputSettingsX11.cpp", "const std::uint64_t padded = (count + 3) & ~std::uint64_t{3};",
     "const std::uint64_t padded = count;", "desktop setting names read without their padding", X11INPUT),
    ("src/platform/x11/InputPosterX11.cpp", "remainder -= steps * kPixelsPerWheelStep;", "remainder = 0;",
     "wheel remainder not carried", X11INPUT),
    ("src/platform/x11/InputPosterX11.cpp", "return static_cast<int>(std::lround(std::clamp(v, -32768.0, 32767.0)));",
     "return static_cast<int>(std::clamp(v, -32768.0, 32767.0));", "pointer position truncated, not rounded",
     X11INPUT),
    ("src/platform/x11/InputSettingsX11.cpp", "if (!milliseconds || *milliseconds <= 0)", "if (!milliseconds)",
     "a double-click time of zero accepted", X11INPUT),
    ("src/platform/x11/InputPosterX11.cpp", "if (connection && !connection->lost()) return;",
     "if (connection) return;", "input never connects again after the X server went away", X11INPUT),
    # async
    ("src/async/Queue.h", "if (state_->capacity != 0 && state_->items.size() >= state_->capacity) {", "if (false) {",
     "a bounded queue grows without limit", ASYNC),
    ("src/async/Semaphore.h", "if (!next) ++free;", "++free;",
     "a permit handed to a waiter is also counted free", ASYNC),
    ("src/async/Waiter.h", "        Waiter<Signature> waiter = std::move(it->second);\n        entries_.erase(it);",
     "        Waiter<Signature> waiter = std::move(it->second);", "a cancelled waiter keeps its place in line", ASYNC),
    ("src/async/Waiter.h", "cancelled = alive->waiters.remove(id);", "cancelled = alive->waiters.popFront();",
     "cancelling resumes the oldest waiter instead of the cancelled one", ASYNC),
    ("src/async/Queue.h", "      waiter = state_->waiters.popFront();\n      if (!waiter) {",
     "      waiter = state_->waiters.popFront();\n      if (waiter) waiter(asio::error::operation_aborted, {});\n      {",
     "a value pushed while a reader waits is lost to it", ASYNC),
    ("src/async/RunOn.h", "          result = work();\n        } catch (...) {\n          error = std::current_exception();",
     "          result = work();\n        } catch (...) {", "an exception from work run elsewhere is swallowed", ASYNC),
    ("src/async/Semaphore.h", "state_(std::make_shared<State>(capacity == 0 ? 1 : capacity))",
     "state_(std::make_shared<State>(capacity))", "a semaphore of capacity 0 never grants a permit", ASYNC),
    # app view-model
    ("src/app/ContentViewState.cpp", "--servedHeadsets_ == 0)", "--servedHeadsets_ >= 0)",
     "a replaced headset's late end shows the window waiting", APP),
    ("src/app/ContentViewState.cpp", "askForPermissions_ = bothGranted() ? false : !",
     "askForPermissions_ = !", "permission sheet shown although both are granted", APP),
    ("src/app/ContentViewState.cpp", "  if (!askForPermissions_ && environment_.refreshTimer) environment_.refreshTimer->stop();",
     "", "permission refresh keeps running once the sheet closed", APP),
    ("src/app/ContentViewState.cpp", "  button1Disabled_ = true;", "  button1Disabled_ = false;",
     "create button stays enabled", APP),
    ("src/app/ContentViewViewModel.cpp", "  release(pending_);", "  (void)pending_;",
     "quitting during the discovery leaves the virtual display", APP),
    ("src/app/HeadsetSessionRunner.cpp", "    server_->start();\n", "",
     "the window's session never starts serving headsets", ["app_session_test"]),
    ("tools/app/main.cpp", "if (!ok || port > 65535)", "if (!ok || port > 65536)",
     "app option: port 65536 accepted", ["app_session_test"]),
]


def run(command, cwd, log):
    with open(log, "a") as out:
        out.write("$ " + " ".join(command) + "\n")
        out.flush()
        return subprocess.run(command, cwd=cwd, stdout=out, stderr=subprocess.STDOUT).returncode == 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ref", default="HEAD", help="commit to mutate (default HEAD)")
    parser.add_argument("--only", action="append", default=[],
                        help="run only mutants whose fault or file contains this (may be repeated)")
    parser.add_argument("--tests", action="append", default=[],
                        help="run only mutants whose test list names this executable (may be repeated)")
    parser.add_argument("--workdir", default="build-mutation", help="scratch folder inside the worktree")
    parser.add_argument("--summary", help="also write the summary table to this file")
    args = parser.parse_args()

    repo = pathlib.Path(subprocess.check_output(["git", "rev-parse", "--show-toplevel"], text=True).strip())
    # Inside the worktree (ignored by git) so ccache's base directory maps the paths like the
    # worktree's own build: unchanged objects are cache hits.
    work = repo / args.workdir
    tree = work / "tree"
    log = work / "log.txt"
    if tree.exists():
        shutil.rmtree(tree)
    tree.mkdir(parents=True)
    log.write_text("")
    archive = subprocess.Popen(["git", "archive", args.ref], cwd=repo, stdout=subprocess.PIPE)
    subprocess.check_call(["tar", "-x", "-C", str(tree)], stdin=archive.stdout)
    if archive.wait() != 0:
        sys.exit(2)
    commit = subprocess.check_output(["git", "rev-parse", "--short", args.ref], cwd=repo, text=True).strip()

    selected = [m for m in MUTANTS if (not args.only or any(o in m[0] or o in m[3] for o in args.only))
                and (not args.tests or any(name in m[4] for name in args.tests))]
    for path, original, _, fault, _ in selected:
        occurrences = (tree / path).read_text().count(original)
        if occurrences != 1:
            print(f"setup error: {path}: '{original}' occurs {occurrences} times ({fault})", file=sys.stderr)
            sys.exit(2)

    def build(tests):
        return ["cmake", "--build", "build", "--target", *tests]

    def check(tests, *extra):
        return run(["ctest", "--test-dir", "build", "-R", "^(" + "|".join(tests) + ")$", *extra], tree, log)

    everything = sorted({name for mutant in selected for name in mutant[4]})
    if not run(["cmake", "--preset", "default"], tree, log) or not run(build(everything), tree, log):
        print(f"setup error: the unmutated tree does not build; see {log}", file=sys.stderr)
        sys.exit(2)
    if not check(everything, "--output-on-failure"):
        print(f"setup error: the unmutated tree fails its tests; see {log}", file=sys.stderr)
        sys.exit(2)

    results = []
    for index, (path, original, mutated, fault, tests) in enumerate(selected, 1):
        source = tree / path
        text = source.read_text()
        source.write_text(text.replace(original, mutated))
        try:
            if not run(build(tests), tree, log):
                verdict = "no-build"
            else:
                verdict = "survived" if check(tests, "--stop-on-failure") else "killed"
        finally:
            source.write_text(text)
        print(f"[{index}/{len(selected)}] {verdict:8} {path}: {fault}", flush=True)
        results.append((verdict, path, fault))

    lines = [f"mutation run on {commit}", f"{'verdict':8}  {'file':38}  fault"]
    lines += [f"{verdict:8}  {path:38}  {fault}" for verdict, path, fault in results]
    killed = sum(1 for r in results if r[0] == "killed")
    survived = [r for r in results if r[0] != "killed"]
    lines.append(f"killed {killed} of {len(results)}; survived or did not build: {len(survived)}")
    summary = "\n".join(lines)
    print(summary)
    if args.summary:
        pathlib.Path(args.summary).write_text(summary + "\n")
    # Leave the snapshot's build in its unmutated state for the next run.
    run(build(everything), tree, log)
    return 1 if survived else 0


if __name__ == "__main__":
    sys.exit(main())
