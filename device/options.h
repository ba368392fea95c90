/*
 * options.h - the device's command line.
 */
#ifndef RECNET_DEVICE_OPTIONS_H
#define RECNET_DEVICE_OPTIONS_H

#include <cstdio>
#include <string>
#include <vector>

#include "device_state.h"
#include "failures.h"
#include "stream_producer.h"

struct Options {
    DeviceState device;
    std::string modulePath;  // empty: libnetserver.so beside the executable
    std::vector<FailureEntry> failures;
    VideoConfig video;       // --video, --sub-video, --source, --frame-size, --fps, --clip-fps
    bool loginRequired = true;  // false with --open: commands without a login (unsafe)
    int maxSessions = 256;      // --max-sessions; 0: no cap
    uint16_t metricsPort = 0;   // --metrics-port: HTTP port of /metrics; 0: none
};

enum class ParseOutcome { Run, Help, Error };

// Parses argv into `options`. Returns Help for --help, Error with a one-line
// reason in `error` for anything it cannot accept, Run otherwise.
ParseOutcome parseOptions(int argc, char** argv, Options& options, std::string& error);

// Writes the --help text to `out`.
void printUsage(std::FILE* out);

#endif
