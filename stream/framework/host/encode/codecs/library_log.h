#pragma once

#include <cstdarg>

// What libx264 and libavformat log goes through the framework's logger, at
// its levels and in its format, one record a line; a line that repeats is
// counted, not repeated.

// Routes libavformat's log; once for the process, at the first muxer.
void RouteLibavLog();

// libx264's log callback (x264_param_t::pf_log).
void X264Log(void* context, int level, const char* format, va_list args);
// The x264 log level that lets through what the logger shows.
int X264LogLevel();
