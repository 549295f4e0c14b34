// The media back end behind the replay player (GStreamer, and PulseAudio for its
// audio device list) keeps process-lifetime allocations that it never frees;
// the leak checker would blame the tests for them. Only leaks whose allocation
// happens inside those libraries are ignored; errors are still reported.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libpulse.so\n"
           "leak:libglib-2.0.so\n"
           "leak:libgstreamer-1.0.so\n";
}
