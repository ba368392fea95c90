/*
 * transfer_commands.cpp - `make-image` (offline), `upgrade` (firmware upload
 * and flash write), `snapshot` (one JPEG picture, or a stream of them) and
 * `serial attach` (the transparent serial channel on stdin and stdout).
 *
 * Files are written to a temporary name and renamed, so that a failure never
 * leaves half a file under the name asked for.
 */
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <stdexcept>

// The library's commands.h; a plain "commands.h" is this folder's.
#include "../lib/commands.h"
#include "commands.h"
#include "errors.h"
#include "hex.h"
#include "keepalive.h"
#include "link.h"
#include "netserver/records.h"
#include "netserver/wire.h"
#include "output.h"
#include "transfers.h"
#include "values.h"

namespace recnet::cli {

namespace {

using Clock = std::chrono::steady_clock;

// A path option or operand that may not be empty.
CLI::Option* addPath(CLI::App& c, const std::string& name, std::string& target,
                     const std::string& help) {
    return c.add_option(name, target, help)
        ->type_name("FILE")
        ->check(CLI::Validator(
            [](std::string& s) { return s.empty() ? std::string("needs a non-empty value") : ""; },
            "", ""));
}

// A transfer command: each of its options may be given once, since a
// second path or count is more likely a slip than an override.
CLI::App* givenOnce(CLI::App* c) {
    c->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    return c;
}

/* ---- make-image ---------------------------------------------------------------------- */

struct MakeImageArgs {
    std::string version, payload, out;
};

int makeImageCommand(const GlobalOptions& g, const MakeImageArgs& a) {
    // The upgrade request states the image size as a signed 32-bit number.
    const uint64_t maxPayload = 0x7fffffffu - records::IMAGE_HEADER_SIZE;
    std::vector<uint8_t> payload = readFile(a.payload, maxPayload, /*regularOnly=*/true);
    std::vector<uint8_t> image = buildFirmwareImage(a.version, payload);
    writeFileReplacing(a.out, image);
    const std::string crc = hexWord(wire::getU32(image.data(), records::IMAGE_CRC));
    return emit(g, {{{"result", "ok"},
                     {"image", a.out},
                     {"version", a.version},
                     {"payload_bytes", payload.size()},
                     {"size", image.size()},
                     {"crc32", crc}},
                    "image " + a.out + ": version " + a.version + ", " +
                        std::to_string(payload.size()) + " payload bytes, CRC-32 " + crc + ", " +
                        std::to_string(image.size()) + " bytes in all\n"});
}

/* ---- upgrade ------------------------------------------------------------------------- */

enum class RefusalCause { Busy, Image, Unknown };

// After a refusal, asks on a fresh session (the refused one may be in any
// state) whether the device is busy: the hard-disk record is refused with
// 0x11 while a partitioning, a format or an upload runs.
RefusalCause diagnoseRefusal(const GlobalOptions& g) {
    try {
        Link link(g, Link::Login::WithoutKeepAlive);
        try {
            getHardDisk(link.conn(), g.timeout);
            return RefusalCause::Image;
        } catch (const CommandRefused& e) {
            const bool busy =
                e.status() == wire::STATUS_DISK_BUSY || e.status() == wire::STATUS_FDISK_BUSY;
            return busy ? RefusalCause::Busy : RefusalCause::Unknown;
        }
    } catch (const Error&) {
        return RefusalCause::Unknown;
    }
}

// The line and exit status for an upgrade that failed as `e` says.
int upgradeFailure(const GlobalOptions& g, const UpgradeFailed& e, const std::string& size) {
    switch (e.failure()) {
        case UpgradeFailure::Refused:
            switch (diagnoseRefusal(g)) {
                case RefusalCause::Busy:
                    return fail("upgrade refused: device busy (a disk operation or another "
                                "upgrade runs)",
                                EXIT_BUSY);
                case RefusalCause::Image:
                    return fail("upgrade refused: the image (" + size +
                                    " bytes) is empty or larger than the device's flash",
                                EXIT_FAILED);
                case RefusalCause::Unknown:
                    return fail("upgrade refused: the device is busy, or the image (" + size +
                                    " bytes) is empty or larger than its flash",
                                EXIT_FAILED);
            }
            break;
        case UpgradeFailure::TransferFailed:
            return fail("upgrade failed: the device did not receive the image (" + size +
                            " bytes); the old firmware is kept",
                        EXIT_FAILED);
        case UpgradeFailure::WriteFailed:
            return fail("upgrade failed: the device could not write the image (bad image: its "
                        "header or CRC check failed); the old firmware is kept",
                        EXIT_FAILED);
        case UpgradeFailure::Failed:
            break;
    }
    return fail(e.what(), EXIT_FAILED);
}

struct UpgradeArgs {
    std::string image;
    bool noCheck = false;
};

// Checks the image, uploads it on a session of its own (no keep-alive: the
// conversation allows no other message) and follows the flash write.
int upgradeCommand(const GlobalOptions& g, const UpgradeArgs& a) {
    std::vector<uint8_t> image = readFile(a.image, 0x7fffffffu, /*regularOnly=*/true);
    std::optional<std::string> version;
    if (!a.noCheck) {
        // The device checks the image only after the whole upload; checking
        // here first saves the transfer of a file that it would refuse.
        try {
            version = checkFirmwareImage(image).version;
        } catch (const std::invalid_argument& e) {
            throw UsageError("'" + a.image + "' is not a valid firmware image: " + e.what() +
                             " (--no-check sends it anyway)");
        }
    } else {
        try {
            version = parseFirmwareImageHeader(image.data(), image.size()).version;
        } catch (const std::invalid_argument&) {
        }
    }
    const std::string size = std::to_string(image.size());
    if (!g.json) {
        std::cout << "image " << a.image << ": " << size << " bytes"
                  << (version ? ", version " + *version : "") << std::endl;
    }

    Link link(g, Link::Login::WithoutKeepAlive);
    {
        Progress upload("upload", g.json, 10), write("flash write", g.json);
        UpgradeCallbacks callbacks;
        callbacks.uploaded = [&](uint64_t sent, uint64_t total) {
            upload.show(total ? static_cast<int>(sent * 100 / total) : 100);
        };
        callbacks.written = [&](uint32_t percent) {
            upload.finish();
            write.show(static_cast<int>(percent));
        };
        try {
            upgradeFirmware(link.conn(), image, callbacks, g.timeout);
        } catch (const UpgradeFailed& e) {
            upload.finish();
            write.finish();
            link.drop();
            return upgradeFailure(g, e, size);
        }
    }
    // The device restarts its server now, which ends this session.
    link.drop();
    return emit(g, {{{"result", "ok"},
                     {"image", a.image},
                     {"bytes", image.size()},
                     {"version", version ? Json(*version) : Json(nullptr)},
                     {"restarting", true}},
                    "firmware " + (version ? *version + " " : "") +
                        "written; the device restarts its server now, and the new firmware is "
                        "active once it is back\n"});
}

/* ---- snapshot ------------------------------------------------------------------------ */

struct SnapshotArgs {
    SnapshotStreamSettings stream;
    bool streamed = false;
    std::string out, dir;
    uint64_t count = 0;
    CLI::Option *outGiven = nullptr, *countGiven = nullptr;
    std::vector<CLI::Option*> streamOnly;
};

// The file name of a stream's picture `number` (from 1).
std::string pictureName(uint64_t number) {
    char b[32];
    std::snprintf(b, sizeof b, "snapshot-%04llu.jpg", static_cast<unsigned long long>(number));
    return b;
}

// snapshot --stream: saves pictures into --out-dir until --count or a signal,
// then closes the connection, which is what ends the device's stream.
int snapshotStreamCommand(const GlobalOptions& g, const SnapshotArgs& a) {
    if (a.outGiven->count() > 0) {
        throw UsageError("snapshot --stream writes to --out-dir DIR, not -o");
    }
    if (a.dir.empty()) throw UsageError("snapshot --stream needs --out-dir");
    const std::optional<uint64_t> count =
        a.countGiven->count() > 0 ? std::optional<uint64_t>(a.count) : std::nullopt;
    std::error_code ec;
    std::filesystem::create_directories(a.dir, ec);
    if (ec) throw std::runtime_error("cannot create folder '" + a.dir + "': " + ec.message());

    InterruptGuard guard;
    Link link(g);
    uint64_t bytes = 0;
    Result r;
    r.json["files"] = Json::array();
    // A picture may take up to 1/rate s beyond the answer time-out.
    const Duration wait = g.timeout + Duration(1000);
    uint64_t pictures = 0;
    try {
        pictures = snapshotStream(
            link.conn(), a.stream,
            [&](const StreamPicture& p) {
                const std::string name = pictureName(p.number);
                const std::string path = (std::filesystem::path(a.dir) / name).string();
                writeFileReplacing(path, *p.jpeg);
                bytes += p.jpeg->size();
                r.json["files"].push_back(name);
                if (!g.json) {
                    std::cout << path << " " << p.jpeg->size() << " bytes" << std::endl;
                }
                return !count || p.number < *count;
            },
            [&guard] { return guard.interrupted(); }, wait);
    } catch (...) {
        // Only closing ends the stream.
        link.drop();
        throw;
    }
    link.drop();
    const unsigned channel = a.stream.channel;
    Json files = std::move(r.json["files"]);
    r.json = {{"result", "ok"}, {"channel", channel}, {"pictures", pictures}, {"bytes", bytes},
              {"dir", a.dir},   {"files", files}};
    r.text = std::to_string(pictures) + " picture" + (pictures == 1 ? "" : "s") + " of channel " +
             std::to_string(channel) + " saved in " + a.dir + " (" + std::to_string(bytes) +
             " bytes)\n";
    emit(g, r);
    if (count && pictures < *count) {
        return fail("interrupted after " + std::to_string(pictures) + " of " +
                        std::to_string(*count) + " pictures",
                    EXIT_FAILED);
    }
    return EXIT_OK;
}

int snapshotCommand(const GlobalOptions& g, const SnapshotArgs& a) {
    if (a.streamed) return snapshotStreamCommand(g, a);
    for (const CLI::Option* o : a.streamOnly) {
        if (o->count() > 0) throw UsageError(o->get_name() + " goes with snapshot --stream");
    }
    if (a.out.empty()) throw UsageError("snapshot needs -o FILE.jpg (or --stream)");
    const unsigned channel = a.stream.channel;
    std::vector<uint8_t> jpeg;
    {
        Link link(g);
        jpeg = takeSnapshot(link.conn(), channel, g.timeout);
    }
    if (jpeg.empty()) {
        throw CommandRefused(wire::STATUS_FAILED, "the device sent an empty picture of channel " +
                                                      std::to_string(channel));
    }
    writeFileReplacing(a.out, jpeg);
    return emit(g, {{{"result", "ok"}, {"channel", channel}, {"file", a.out}, {"bytes", jpeg.size()}},
                    "picture of channel " + std::to_string(channel) + " saved to " + a.out + " (" +
                        std::to_string(jpeg.size()) + " bytes)\n"});
}

void registerSnapshot(CLI::App& app, Context& ctx) {
    const GlobalOptions& g = ctx.global;
    auto a = args<SnapshotArgs>();
    CLI::App* c = givenOnce(command(app, ctx, "snapshot",
                                    "save one JPEG picture of a channel, or a stream of them "
                                    "(--stream)",
                                    [&g, a] { return snapshotCommand(g, *a); }));
    addNumber(*c, "--channel", a->stream.channel, 0, 255, "channel, from 0");
    a->outGiven = addPath(*c, "-o,--out", a->out, "the picture's file");
    c->add_flag("--stream", a->streamed, "save pictures until --count or SIGINT/SIGTERM");
    a->streamOnly = {
        addPath(*c, "--out-dir", a->dir, "--stream: folder for the pictures (created if missing)")
            ->type_name("DIR"),
        addNumber(*c, "--quality", a->stream.quality, 1, 100, "--stream: JPEG quality"),
        addNumber(*c, "--rate", a->stream.rate, 1, 10, "--stream: pictures a second"),
        addNumber(*c, "--count", a->count, 1, 1000000000, "--stream: stop after K pictures")
            ->default_str("until SIGINT/SIGTERM")};
    a->countGiven = a->streamOnly.back();
}

/* ---- serial attach ------------------------------------------------------------------- */

// Writes all bytes to stdout at once: the port's bytes are passed on as they
// come, unbuffered.
void writeStdout(const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(STDOUT_FILENO, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            throw std::runtime_error(std::string("cannot write to stdout: ") +
                                     std::strerror(errno));
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// stdin goes to the device's serial port, the port's bytes come out on
// stdout, until stdin ends (and `linger` more) or SIGINT/SIGTERM.
int serialAttachCommand(const GlobalOptions& g, Duration linger) {
    const bool interactive = ::isatty(STDIN_FILENO) == 1;
    InterruptGuard guard;
    Link link(g, Link::Login::WithoutKeepAlive);
    SerialChannel channel(link.conn(), writeStdout, g.timeout);
    channel.start();
    // The device ends sessions that stay silent for 15 s; an attached
    // terminal may well be quiet for longer.
    KeepAlive keepAlive(link.conn());
    if (interactive) std::cerr << "recnet: serial channel attached; Ctrl-D or Ctrl-C ends it\n";

    std::exception_ptr refused;
    bool inputOpen = true;
    Clock::time_point endAt{};
    std::vector<uint8_t> buf(4096);
    try {
        while (!guard.interrupted()) {
            if (!inputOpen && channel.unacknowledged() == 0 && Clock::now() >= endAt) break;
            pollfd fds[2] = {{link.conn().nativeHandle(), POLLIN, 0},
                             {inputOpen ? STDIN_FILENO : -1, POLLIN, 0}};
            // Short slices: a signal that lands just before poll starts is
            // still seen soon.
            int n = ::poll(fds, 2, 200);
            if (n < 0) {
                if (errno == EINTR) continue;
                throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
            }
            if (fds[0].revents != 0) channel.pump(g.timeout);
            if (inputOpen && fds[1].revents != 0) {
                ssize_t got =
                    (fds[1].revents & POLLNVAL) ? 0 : ::read(STDIN_FILENO, buf.data(), buf.size());
                if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
                if (got <= 0) {
                    inputOpen = false;
                    endAt = Clock::now() + linger;
                } else {
                    channel.send(buf.data(), static_cast<size_t>(got));
                }
            }
        }
    } catch (const CommandRefused&) {
        // A refused send: still stop the channel and leave politely.
        refused = std::current_exception();
    }
    keepAlive.stop();
    channel.stop();
    if (interactive) {
        std::cerr << "recnet: serial channel detached (" << channel.bytesSent() << " bytes sent, "
                  << channel.bytesReceived() << " received)\n";
    }
    if (refused) std::rethrow_exception(refused);
    if (channel.refusedSends() > 0) {
        throw CommandRefused(wire::STATUS_FAILED,
                             "serial send: " + std::to_string(channel.refusedSends()) +
                                 " piece(s) refused by the device");
    }
    return EXIT_OK;
}

}  // namespace

void addTransferCommands(CLI::App& app, Context& ctx) {
    const GlobalOptions& g = ctx.global;
    auto image = args<MakeImageArgs>();
    CLI::App* c =
        givenOnce(command(app, ctx, "make-image", "build a firmware image from a file (offline)",
                          [&g, image] { return makeImageCommand(g, *image); }));
    c->add_option("--version", image->version, "the version text (at most 31 characters)")
        ->required()
        ->type_name("TEXT")
        ->check(CLI::Validator(
            [](std::string& s) -> std::string {
                if (s.size() <= IMAGE_VERSION_TEXT_MAX) return "";
                return "version text is longer than " + std::to_string(IMAGE_VERSION_TEXT_MAX) +
                       " characters";
            },
            "", ""));
    addPath(*c, "PAYLOAD", image->payload, "the payload file")->required();
    addPath(*c, "-o,--out", image->out, "the image file to write")->required();

    auto up = args<UpgradeArgs>();
    c = givenOnce(command(app, ctx, "upgrade", "upload a firmware image and follow the flash write",
                          [&g, up] { return upgradeCommand(g, *up); }));
    addPath(*c, "IMAGE", up->image, "the firmware image")->required();
    c->add_flag("--no-check", up->noCheck, "send the file without checking it first");

    registerSnapshot(app, ctx);

    auto linger = std::make_shared<Duration>(0);
    c = givenOnce(command(*group(app, "serial", "the serial port: send, attach"), ctx, "attach",
                          "stdin to the serial port, the port's bytes to stdout",
                          [&g, linger] { return serialAttachCommand(g, *linger); }));
    addSeconds(*c, "--linger", *linger, true, "seconds to go on receiving after stdin ends")
        ->default_str("0");
}

}  // namespace recnet::cli
