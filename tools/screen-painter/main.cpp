// marlinax-screen-painter --display :N --rect X,Y,W,H [--fps 60] [--seconds S]
//
// Covers a rectangle of the root window with an override-redirect window and
// repaints it continuously: lines of text-like stripes and text under a moving
// pattern, so that every frame differs and looks roughly like a desktop.
// Runs until S seconds have passed (forever without --seconds) or until
// SIGTERM / SIGINT.

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

volatile std::sig_atomic_t stopRequested = 0;
void requestStop(int) { stopRequested = 1; }

struct Options {
  std::string display;
  int x = 0, y = 0, width = 0, height = 0;
  double fps = 60;
  std::optional<double> seconds;
};

[[noreturn]] void usage(const char* problem) {
  std::fprintf(stderr,
               "marlinax-screen-painter: %s\n"
               "usage: marlinax-screen-painter --display :N --rect X,Y,W,H [--fps 60] [--seconds S]\n",
               problem);
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options options;
  bool haveRect = false;
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    if (i + 1 >= argc) usage(("missing value for " + flag).c_str());
    const char* value = argv[++i];
    if (flag == "--display") {
      options.display = value;
    } else if (flag == "--rect") {
      if (std::sscanf(value, "%d,%d,%d,%d", &options.x, &options.y, &options.width, &options.height) != 4 ||
          options.width <= 0 || options.height <= 0) {
        usage("--rect wants X,Y,W,H with a positive size");
      }
      haveRect = true;
    } else if (flag == "--fps") {
      options.fps = std::atof(value);
      if (!(options.fps > 0 && options.fps <= 1000)) usage("--fps wants a rate in (0, 1000]");
    } else if (flag == "--seconds") {
      options.seconds = std::atof(value);
      if (!(*options.seconds >= 0)) usage("--seconds wants a non-negative duration");
    } else {
      usage(("unknown option " + flag).c_str());
    }
  }
  if (options.display.empty()) usage("--display is required");
  if (!haveRect) usage("--rect is required");
  return options;
}

unsigned long rgb(int r, int g, int b) {
  return (static_cast<unsigned long>(r) << 16) | (static_cast<unsigned long>(g) << 8) | static_cast<unsigned long>(b);
}

// The still part: a light page with paragraphs of word-like stripes, a
// header bar and real text lines.
void paintPage(Display* display, Drawable target, GC gc, int width, int height) {
  std::mt19937 random(12345);
  XSetForeground(display, gc, rgb(246, 246, 242));
  XFillRectangle(display, target, gc, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height));
  XSetForeground(display, gc, rgb(44, 62, 80));
  XFillRectangle(display, target, gc, 0, 0, static_cast<unsigned>(width), 36);
  XSetForeground(display, gc, rgb(236, 240, 241));
  const char* title = "Marlinax screen painter - casting test pattern";
  XDrawString(display, target, gc, 12, 23, title, static_cast<int>(std::strlen(title)));

  for (int line = 0, top = 56; top + 12 < height; ++line, top += 22) {
    if (line % 9 == 8) continue;  // paragraph break
    int left = 24 + (line % 9 == 0 ? 40 : 0);
    int right = width - 24 - static_cast<int>(random() % 200);
    if (line % 3 == 0) {
      XSetForeground(display, gc, rgb(30, 30, 30));
      char text[160];
      std::snprintf(text, sizeof text, "Line %d: the quick brown fox jumps over the lazy dog 0123456789 (%d, %d)", line,
                    left, top);
      XDrawString(display, target, gc, left, top + 10, text, static_cast<int>(std::strlen(text)));
      continue;
    }
    for (int x = left; x < right;) {
      int word = 12 + static_cast<int>(random() % 70);
      int shade = 40 + static_cast<int>(random() % 60);
      XSetForeground(display, gc, rgb(shade, shade, shade + 10));
      XFillRectangle(display, target, gc, x, top, static_cast<unsigned>(std::min(word, right - x)), 10);
      x += word + 7;
    }
  }
}

// The moving part for frame `n`: a bouncing coloured block, a sweeping bar and
// a frame counter.
void paintMotion(Display* display, Drawable target, GC gc, int width, int height, long n) {
  int size = std::max(20, std::min(width, height) / 5);
  int spanX = std::max(1, width - size), spanY = std::max(1, height - size);
  int bx = static_cast<int>((n * 7) % (2 * spanX)), by = static_cast<int>((n * 5) % (2 * spanY));
  if (bx > spanX) bx = 2 * spanX - bx;
  if (by > spanY) by = 2 * spanY - by;
  XSetForeground(display, gc, rgb(static_cast<int>((n * 3) % 256), 120, 255 - static_cast<int>((n * 3) % 256)));
  XFillRectangle(display, target, gc, bx, by, static_cast<unsigned>(size), static_cast<unsigned>(size));

  int barX = static_cast<int>((n * 11) % std::max(1, width));
  XSetForeground(display, gc, rgb(231, 76, 60));
  XFillRectangle(display, target, gc, barX, 40, 6, static_cast<unsigned>(std::max(0, height - 40)));

  char counter[48];
  std::snprintf(counter, sizeof counter, "frame %ld", n);
  XSetForeground(display, gc, rgb(255, 255, 255));
  XDrawString(display, target, gc, std::max(0, width - 140), 23, counter, static_cast<int>(std::strlen(counter)));
}

}  // namespace

int main(int argc, char** argv) {
  Options options = parse(argc, argv);
  struct sigaction action {};
  action.sa_handler = requestStop;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  Display* display = XOpenDisplay(options.display.c_str());
  if (!display) {
    std::fprintf(stderr, "marlinax-screen-painter: cannot open display %s\n", options.display.c_str());
    return 1;
  }
  int screen = DefaultScreen(display);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixel = BlackPixel(display, screen);
  Window window =
      XCreateWindow(display, RootWindow(display, screen), options.x, options.y, static_cast<unsigned>(options.width),
                    static_cast<unsigned>(options.height), 0, CopyFromParent, InputOutput, CopyFromParent,
                    CWOverrideRedirect | CWBackPixel, &attributes);
  XStoreName(display, window, "marlinax-screen-painter");
  XMapRaised(display, window);

  unsigned depth = static_cast<unsigned>(DefaultDepth(display, screen));
  auto w = static_cast<unsigned>(options.width), h = static_cast<unsigned>(options.height);
  Pixmap page = XCreatePixmap(display, window, w, h, depth);
  Pixmap back = XCreatePixmap(display, window, w, h, depth);
  GC gc = XCreateGC(display, window, 0, nullptr);
  paintPage(display, page, gc, options.width, options.height);
  XSync(display, False);

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / options.fps));
  auto next = start;
  long frame = 0;
  while (!stopRequested) {
    if (options.seconds && Clock::now() - start >= std::chrono::duration<double>(*options.seconds)) break;
    // Each frame is composed off screen and shown with one copy.
    XCopyArea(display, page, back, gc, 0, 0, w, h, 0, 0);
    paintMotion(display, back, gc, options.width, options.height, frame++);
    XCopyArea(display, back, window, gc, 0, 0, w, h, 0, 0);
    XSync(display, False);
    next += period;
    auto now = Clock::now();
    if (next < now) next = now;  // running late: do not try to catch up
    std::this_thread::sleep_until(next);
  }

  XFreeGC(display, gc);
  XFreePixmap(display, back);
  XFreePixmap(display, page);
  XDestroyWindow(display, window);
  XCloseDisplay(display);
  std::printf("painted %ld frames\n", frame);
  return 0;
}
