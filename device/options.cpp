/*
 * options.cpp - the device's command line, parsed with getopt_long.
 */
#include "options.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

enum OptionId {
    OPT_BASE_PORT = 256,
    OPT_CHANNELS,
    OPT_SERIAL_PORTS,
    OPT_ADDRESS,
    OPT_STATE,
    OPT_FAIL,
    OPT_MODULE,
    OPT_DISKS,
    OPT_FORMAT_SECONDS,
    OPT_FLASH_SIZE,
    OPT_FLASH_SPEED,
    OPT_HELP,
    OPT_VIDEO,
    OPT_SUB_VIDEO,
    OPT_SOURCE,
    OPT_FRAME_SIZE,
    OPT_FPS,
    OPT_CLIP_FPS,
    OPT_MULTICAST_BASE,
    OPT_OPEN,
    OPT_MAX_SESSIONS,
    OPT_MEDIA_DIR,
};

const option kLongOptions[] = {
    {"base-port", required_argument, nullptr, OPT_BASE_PORT},
    {"channels", required_argument, nullptr, OPT_CHANNELS},
    {"serial-ports", required_argument, nullptr, OPT_SERIAL_PORTS},
    {"address", required_argument, nullptr, OPT_ADDRESS},
    {"state", required_argument, nullptr, OPT_STATE},
    {"fail", required_argument, nullptr, OPT_FAIL},
    {"module", required_argument, nullptr, OPT_MODULE},
    {"disks", required_argument, nullptr, OPT_DISKS},
    {"format-seconds", required_argument, nullptr, OPT_FORMAT_SECONDS},
    {"flash-size", required_argument, nullptr, OPT_FLASH_SIZE},
    {"flash-speed", required_argument, nullptr, OPT_FLASH_SPEED},
    {"help", no_argument, nullptr, OPT_HELP},
    {"video", required_argument, nullptr, OPT_VIDEO},
    {"sub-video", required_argument, nullptr, OPT_SUB_VIDEO},
    {"source", required_argument, nullptr, OPT_SOURCE},
    {"frame-size", required_argument, nullptr, OPT_FRAME_SIZE},
    {"fps", required_argument, nullptr, OPT_FPS},
    {"clip-fps", required_argument, nullptr, OPT_CLIP_FPS},
    {"multicast-base", required_argument, nullptr, OPT_MULTICAST_BASE},
    {"open", no_argument, nullptr, OPT_OPEN},
    {"max-sessions", required_argument, nullptr, OPT_MAX_SESSIONS},
    {"media-dir", required_argument, nullptr, OPT_MEDIA_DIR},
    {nullptr, 0, nullptr, 0},
};

// The highest base port whose UDP responder port (base + 4) still exists.
constexpr long kMaxBasePort = 65535 - 4;
// Synthetic frames up to 4 MiB (the module sends frames of up to 1 MiB with
// their 32-byte header and skips larger ones) and up to 1000 frames a second.
constexpr long kMaxFrameSize = 4L << 20;
// The flash size is an i32 on the wire, and an image is held in memory whole.
constexpr long kMaxFlashSize = 1L << 30;
constexpr long kMaxFps = 1000;
// Each session holds a socket and threads; more than this is no recorder's load.
constexpr long kMaxSessions = 65535;

// Parses a decimal number in [min, max]; the whole text must be the number.
bool parseNumber(const char* flag, const char* text, long min, long max, long& out,
                 std::string& error) {
    errno = 0;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (text[0] == '\0' || errno != 0 || *end != '\0' || value < min || value > max) {
        error = std::string(flag) + " expects a number from " + std::to_string(min) + " to " +
                std::to_string(max) + ", got '" + text + "'";
        return false;
    }
    out = value;
    return true;
}

// Accepts a dotted-decimal IPv4 address and keeps it in both forms.
bool parseAddress(const char* text, DeviceState& device, std::string& error) {
    in_addr addr{};
    if (inet_pton(AF_INET, text, &addr) != 1) {
        error = std::string("--address expects an IPv4 address like 192.168.1.10, got '") +
                text + "'";
        return false;
    }
    // s_addr holds the octets in network order, i.e. in written order in memory.
    static_assert(sizeof addr.s_addr == 4);
    std::memcpy(device.address.data(), &addr.s_addr, 4);
    char canonical[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &addr, canonical, sizeof canonical);
    device.addressText = canonical;
    return true;
}

// The video options: sources, rates, sizes and the multicast group base.
bool handleVideoOption(int id, const char* arg, Options& options, std::string& error) {
    VideoConfig& video = options.video;
    long number = 0;
    switch (id) {
    case OPT_VIDEO:
    case OPT_SUB_VIDEO:
        if (arg[0] == '\0') {
            error = std::string(id == OPT_VIDEO ? "--video" : "--sub-video") + " expects a file";
            return false;
        }
        (id == OPT_VIDEO ? video.mainClip : video.subClip) = arg;
        return true;
    case OPT_MEDIA_DIR:
        if (arg[0] == '\0') {
            error = "--media-dir expects a directory";
            return false;
        }
        video.mediaDir = arg;
        return true;
    case OPT_SOURCE:
        if (std::strcmp(arg, "clip") == 0) {
            video.source = VideoConfig::Source::Clip;
        } else if (std::strcmp(arg, "synthetic") == 0) {
            video.source = VideoConfig::Source::Synthetic;
        } else {
            error = std::string("--source expects clip or synthetic, got '") + arg + "'";
            return false;
        }
        return true;
    case OPT_FRAME_SIZE:
        if (!parseNumber("--frame-size", arg, 0, kMaxFrameSize, number, error)) return false;
        video.frameSize = static_cast<size_t>(number);
        return true;
    case OPT_FPS:
        if (!parseNumber("--fps", arg, 0, kMaxFps, number, error)) return false;
        video.fps = static_cast<unsigned>(number);
        return true;
    case OPT_CLIP_FPS:
        if (!parseNumber("--clip-fps", arg, 1, kMaxFps, number, error)) return false;
        video.clipFps = static_cast<unsigned>(number);
        return true;
    case OPT_MULTICAST_BASE: {
        in_addr addr{};
        const bool parsed = inet_pton(AF_INET, arg, &addr) == 1;
        if (!parsed || !IN_MULTICAST(ntohl(addr.s_addr))) {
            error = std::string("--multicast-base expects an IPv4 multicast address like "
                                "239.255.0.0, got '") + arg + "'";
            return false;
        }
        char canonical[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &addr, canonical, sizeof canonical);
        options.device.multicastBase = canonical;
        return true;
    }
    }
    return false;
}

bool handleOption(int id, const char* arg, Options& options, std::string& error) {
    long number = 0;
    switch (id) {
    case OPT_BASE_PORT:
        if (!parseNumber("--base-port", arg, 1, kMaxBasePort, number, error)) return false;
        options.device.basePort = static_cast<uint16_t>(number);
        return true;
    case OPT_CHANNELS:
        if (!parseNumber("--channels", arg, 0, 255, number, error)) return false;
        options.device.channels = static_cast<uint8_t>(number);
        return true;
    case OPT_SERIAL_PORTS:
        if (!parseNumber("--serial-ports", arg, 0, 255, number, error)) return false;
        options.device.serialPorts = static_cast<uint8_t>(number);
        return true;
    case OPT_DISKS:
        if (!parseNumber("--disks", arg, 1, 8, number, error)) return false;
        options.device.disks = static_cast<uint8_t>(number);
        return true;
    case OPT_FORMAT_SECONDS:
        if (!parseNumber("--format-seconds", arg, 0, 3600, number, error)) return false;
        options.device.formatSeconds = static_cast<unsigned>(number);
        return true;
    case OPT_FLASH_SIZE:
        if (!parseNumber("--flash-size", arg, 1, kMaxFlashSize, number, error)) return false;
        options.device.flashSize = static_cast<uint32_t>(number);
        return true;
    case OPT_FLASH_SPEED:
        if (!parseNumber("--flash-speed", arg, 1, kMaxFlashSize, number, error)) return false;
        options.device.flashSpeed = static_cast<uint32_t>(number);
        return true;
    case OPT_ADDRESS:
        return parseAddress(arg, options.device, error);
    case OPT_STATE:
        if (arg[0] == '\0') {
            error = "--state expects a directory";
            return false;
        }
        options.device.stateDir = arg;
        return true;
    case OPT_FAIL: {
        FailureEntry entry{};
        if (!parseFailure(arg, entry, error)) return false;
        options.failures.push_back(entry);
        return true;
    }
    case OPT_MODULE:
        if (arg[0] == '\0') {
            error = "--module expects a path";
            return false;
        }
        options.modulePath = arg;
        return true;
    case OPT_OPEN:
        options.loginRequired = false;
        return true;
    case OPT_MAX_SESSIONS:
        if (!parseNumber("--max-sessions", arg, 0, kMaxSessions, number, error)) return false;
        options.maxSessions = static_cast<int>(number);
        return true;
    }
    return handleVideoOption(id, arg, options, error);
}

// Breaks a space-separated list into indented lines of at most `width` columns.
std::string wrapWords(const std::string& words, size_t width) {
    const std::string indent = "  ";
    std::string out;
    std::string line = indent;
    size_t start = 0;
    while (start < words.size()) {
        size_t end = words.find(' ', start);
        if (end == std::string::npos) end = words.size();
        const std::string word = words.substr(start, end - start);
        if (line.size() > indent.size() && line.size() + 1 + word.size() > width) {
            out += line + "\n";
            line = indent;
        }
        if (line.size() > indent.size()) line += ' ';
        line += word;
        start = end + 1;
    }
    if (line.size() > indent.size()) out += line + "\n";
    return out;
}

}  // namespace

ParseOutcome parseOptions(int argc, char** argv, Options& options, std::string& error) {
    // Our own messages instead of getopt's, so that every error is one line
    // that starts with the program name whatever path it was started by.
    opterr = 0;
    optind = 1;
    for (;;) {
        const int id = getopt_long(argc, argv, ":", kLongOptions, nullptr);
        if (id == -1) break;
        if (id == OPT_HELP) return ParseOutcome::Help;
        if (id == '?') {
            error = std::string("unknown option '") + argv[optind - 1] + "' (see --help)";
            return ParseOutcome::Error;
        }
        if (id == ':') {
            error = std::string("option '") + argv[optind - 1] + "' needs a value";
            return ParseOutcome::Error;
        }
        if (!handleOption(id, optarg, options, error)) return ParseOutcome::Error;
    }
    if (optind < argc) {
        error = std::string("unexpected argument '") + argv[optind] + "' (see --help)";
        return ParseOutcome::Error;
    }
    return ParseOutcome::Run;
}

void printUsage(std::FILE* out) {
    std::fprintf(out,
        "Usage: recnet-device [OPTION]...\n"
        "Reference host for libnetserver.so: loads the module, provides its host\n"
        "functions and runs the network server until SIGINT or SIGTERM.\n"
        "\n"
        "  --base-port N       command port N, data port N+1, UDP port N+4 (default 5500)\n"
        "  --channels N        video channels, 0..255 (default 4)\n"
        "  --serial-ports N    serial ports, 0..255 (default 2); each is a pseudo-terminal\n"
        "  --disks N           simulated hard disks, 1..8 (default 1)\n"
        "  --format-seconds S  how long a format runs, 0..3600 (default 5)\n"
        "  --flash-size BYTES  size of the firmware flash (the file flash.bin in the\n"
        "                      state directory), 1..1073741824 (default 16777216)\n"
        "  --flash-speed BYTES_PER_S  how fast an image is written to the flash\n"
        "                      (default 2097152)\n"
        "  --address A         the device's own IPv4 address (default 127.0.0.1)\n"
        "  --state DIR         state directory, created if missing (default ./device-state)\n"
        "  --fail NAME=RESULT  host function NAME returns RESULT instead of doing its\n"
        "                      work; repeatable; for my_malloc any RESULT means null\n"
        "  --module PATH       module to load (default: libnetserver.so beside this\n"
        "                      executable, else the installed libnetserver.so.1)\n"
        "  --video FILE        H.264 Annex B file of the main streams (default: the\n"
        "                      sample clip main.h264 of the media directory)\n"
        "  --sub-video FILE    H.264 Annex B file of the sub streams (default: the\n"
        "                      sample clip sub.h264 of the media directory)\n"
        "  --media-dir DIR     directory of the sample clips (default: share/recnet/media\n"
        "                      of the installation, else media/ beside this executable)\n"
        "  --clip-fps N        frames per second of the clips, 1..1000 (default 25)\n"
        "  --source S          clip (default) or synthetic\n"
        "  --frame-size BYTES  synthetic frame size, 0..4194304 (default 16384)\n"
        "  --fps N             synthetic frames per second, 0..1000 (default 25);\n"
        "                      0 makes a frame whenever a reader has taken the last\n"
        "  --multicast-base A  multicast group base (default 239.255.0.0)\n"
        "  --max-sessions N    at most N command sessions at once, 0..65535; a\n"
        "                      connection beyond them is closed (default 256, 0: no cap)\n"
        "  --open              UNSAFE: serve commands without a login first, so any\n"
        "                      TCP client that reaches the device can command it; only\n"
        "                      for peers that never log in, on a network of your own\n"
        "  --help              show this help and exit\n"
        "\n"
        "NAME is one of:\n%s"
        "\n"
        "For each serial port the device first prints\n"
        "  serial N: PATH\n"
        "(the pseudo-terminal to attach a terminal program to). Once the server\n"
        "accepts connections it prints\n"
        "  ready base-port=N channels=N\n"
        "on standard output. Startup errors go to standard error, one line each;\n"
        "the exit status is 2 for a bad command line and 1 for other failures.\n",
        wrapWords(failableFunctionNames(), 78).c_str());
}
