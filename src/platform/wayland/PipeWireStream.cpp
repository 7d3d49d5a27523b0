#include "platform/wayland/PipeWireStream.h"

#include <condition_variable>
#include <mutex>

#include <fcntl.h>
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>

#include "log/Log.h"
#include "platform/CaptureService.h"

namespace marlinax::platform::wayland {

namespace {

void initialisePipeWire() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

}  // namespace

struct PipeWireStream::Impl {
  Options options;
  Handler handler;
  pw_thread_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  pw_stream* stream = nullptr;
  spa_hook streamListener{};
  spa_hook coreListener{};
  spa_video_info_raw format{};

  mutable std::mutex mutex;
  std::condition_variable changed;
  bool streaming = false;
  std::string error;

  void fail(const std::string& message) {
    std::lock_guard lock(mutex);
    if (error.empty()) error = message;
    changed.notify_all();
  }

  static void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* message) {
    auto* self = static_cast<Impl*>(data);
    if (state == PW_STREAM_STATE_ERROR) {
      self->fail(std::string("the PipeWire stream failed: ") + (message != nullptr ? message : "unknown error"));
    } else if (state == PW_STREAM_STATE_UNCONNECTED) {
      self->fail("the PipeWire stream was disconnected");
    } else if (state == PW_STREAM_STATE_STREAMING) {
      std::lock_guard lock(self->mutex);
      self->streaming = true;
      self->changed.notify_all();
    }
  }

  static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
    auto* self = static_cast<Impl*>(data);
    if (param == nullptr || id != SPA_PARAM_Format) return;
    std::uint32_t mediaType = 0, mediaSubtype = 0;
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
        mediaSubtype != SPA_MEDIA_SUBTYPE_raw) {
      return;
    }
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0) return;
    self->format = info;

    std::uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[2];
    params[0] = static_cast<const spa_pod*>(
        spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
                                   SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_dataType,
                                   SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
        SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    pw_stream_update_params(self->stream, params, 2);
  }

  static void onProcess(void* data) {
    auto* self = static_cast<Impl*>(data);
    // Newest wins: hand back every older buffer at once.
    pw_buffer* newest = nullptr;
    while (pw_buffer* next = pw_stream_dequeue_buffer(self->stream)) {
      if (newest != nullptr) pw_stream_queue_buffer(self->stream, newest);
      newest = next;
    }
    if (newest == nullptr) return;
    self->deliver(newest->buffer);
    pw_stream_queue_buffer(self->stream, newest);
  }

  void deliver(spa_buffer* buffer) {
    auto* header =
        static_cast<spa_meta_header*>(spa_buffer_find_meta_data(buffer, SPA_META_Header, sizeof(spa_meta_header)));
    if (header != nullptr && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED) != 0) return;
    if (buffer->n_datas < 1) return;
    const spa_data& plane = buffer->datas[0];
    // An empty chunk carries no image (a cursor-only or format update).
    if (plane.data == nullptr || plane.chunk == nullptr || plane.chunk->size == 0) return;
    if ((plane.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) != 0) return;
    RawFrame frame;
    frame.width = static_cast<int>(format.size.width);
    frame.height = static_cast<int>(format.size.height);
    frame.stride = plane.chunk->stride > 0 ? plane.chunk->stride : frame.width * 4;
    if (frame.width <= 0 || frame.height <= 0 || frame.stride < frame.width * 4) return;
    std::size_t needed = static_cast<std::size_t>(frame.stride) * (frame.height - 1) + frame.width * 4;
    if (plane.chunk->offset > plane.maxsize || plane.maxsize - plane.chunk->offset < needed) return;
    frame.pixels = static_cast<const std::uint8_t*>(plane.data) + plane.chunk->offset;
    handler(frame);
  }

  void teardown() {
    pw_thread_loop_lock(loop);
    if (stream != nullptr) {
      pw_stream_disconnect(stream);
      pw_stream_destroy(stream);
      stream = nullptr;
    }
    if (core != nullptr) pw_core_disconnect(core);
    core = nullptr;
    pw_thread_loop_unlock(loop);
    pw_thread_loop_stop(loop);
    pw_context_destroy(context);
    pw_thread_loop_destroy(loop);
  }

  static void onCoreError(void* data, std::uint32_t id, int, int result, const char* message) {
    if (id != PW_ID_CORE) return;
    static_cast<Impl*>(data)->fail(std::string("PipeWire: ") + (message != nullptr ? message : spa_strerror(result)));
  }
};

namespace {
const pw_stream_events streamEvents = [] {
  pw_stream_events events{};
  events.version = PW_VERSION_STREAM_EVENTS;
  events.state_changed = PipeWireStream::Impl::onStateChanged;
  events.param_changed = PipeWireStream::Impl::onParamChanged;
  events.process = PipeWireStream::Impl::onProcess;
  return events;
}();

const pw_core_events coreEvents = [] {
  pw_core_events events{};
  events.version = PW_VERSION_CORE_EVENTS;
  events.error = PipeWireStream::Impl::onCoreError;
  return events;
}();
}  // namespace

PipeWireStream::PipeWireStream(const Options& options, Handler handler) : impl_(std::make_unique<Impl>()) {
  initialisePipeWire();
  Impl& s = *impl_;
  s.options = options;
  s.handler = std::move(handler);
  s.loop = pw_thread_loop_new(options.name.c_str(), nullptr);
  if (s.loop == nullptr) throw CaptureError("cannot create a PipeWire loop");
  s.context = pw_context_new(pw_thread_loop_get_loop(s.loop), nullptr, 0);
  if (s.context == nullptr) {
    pw_thread_loop_destroy(s.loop);
    throw CaptureError("cannot create a PipeWire context");
  }
  if (pw_thread_loop_start(s.loop) < 0) {
    pw_context_destroy(s.context);
    pw_thread_loop_destroy(s.loop);
    throw CaptureError("cannot start the PipeWire loop");
  }
  pw_thread_loop_lock(s.loop);
  if (options.remoteFd >= 0) {
    int fd = fcntl(options.remoteFd, F_DUPFD_CLOEXEC, 3);
    s.core = fd >= 0 ? pw_context_connect_fd(s.context, fd, nullptr, 0) : nullptr;
  } else {
    s.core = pw_context_connect(s.context, nullptr, 0);
  }
  if (s.core == nullptr) {
    pw_thread_loop_unlock(s.loop);
    pw_thread_loop_stop(s.loop);
    pw_context_destroy(s.context);
    pw_thread_loop_destroy(s.loop);
    throw CaptureError("cannot connect to PipeWire (is it running in this session?)");
  }
  pw_core_add_listener(s.core, &s.coreListener, &coreEvents, &s);
  s.stream = pw_stream_new(s.core, options.name.c_str(),
                           pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                             PW_KEY_MEDIA_ROLE, "Screen", nullptr));
  pw_stream_add_listener(s.stream, &s.streamListener, &streamEvents, &s);

  std::uint8_t buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  spa_rectangle defaultSize = options.fixedSize ? SPA_RECTANGLE(static_cast<std::uint32_t>(options.fixedSize->first),
                                                                static_cast<std::uint32_t>(options.fixedSize->second))
                                                : SPA_RECTANGLE(1920, 1080);
  spa_rectangle minSize = options.fixedSize ? defaultSize : SPA_RECTANGLE(1, 1);
  spa_rectangle maxSize = options.fixedSize ? defaultSize : SPA_RECTANGLE(16384, 16384);
  spa_fraction noRate = SPA_FRACTION(0, 1);
  spa_fraction maxRate = SPA_FRACTION(static_cast<std::uint32_t>(std::max(1, options.maxFramesPerSecond)), 1);
  spa_fraction minRate = SPA_FRACTION(1, 1);
  const spa_pod* params[1];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &minSize, &maxSize),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&noRate), SPA_FORMAT_VIDEO_maxFramerate,
      SPA_POD_CHOICE_RANGE_Fraction(&maxRate, &minRate, &maxRate)));
  int result = pw_stream_connect(s.stream, PW_DIRECTION_INPUT, options.node,
                                 static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
                                 params, 1);
  pw_thread_loop_unlock(s.loop);
  if (result < 0) {
    std::string message = std::string("cannot connect to the PipeWire node: ") + spa_strerror(result);
    impl_->teardown();  // the destructor does not run for a failed constructor
    throw CaptureError(message);
  }
}

PipeWireStream::~PipeWireStream() { impl_->teardown(); }

bool PipeWireStream::waitUntilStreaming(std::chrono::milliseconds timeout) {
  std::unique_lock lock(impl_->mutex);
  impl_->changed.wait_for(lock, timeout, [&] { return impl_->streaming || !impl_->error.empty(); });
  return impl_->streaming && impl_->error.empty();
}

bool PipeWireStream::inStreamThread() const { return pw_thread_loop_in_thread(impl_->loop); }

std::string PipeWireStream::error() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->error;
}

}  // namespace marlinax::platform::wayland
