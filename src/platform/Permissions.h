#pragma once

// Whether the window system lets this program do its two jobs: see the screen
// (list displays and capture them) and post input. The application's
// permissions sheet shows the answers; the X11 answers come from x11/.

namespace marlinax::platform {

class PermissionProbe {
 public:
  virtual ~PermissionProbe() = default;
  // Displays can be listed and captured.
  virtual bool screenRecordingGranted() = 0;
  // Input events can be posted.
  virtual bool inputGranted() = 0;
  // Start the window system's own dialog that asks the user for the grant.
  // False when the window system has no such dialog (X11 grants nothing per
  // program); the caller then shows the user how to fix it instead.
  virtual bool requestScreenRecording() { return false; }
  virtual bool requestInput() { return false; }
};

}  // namespace marlinax::platform
