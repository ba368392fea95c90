/*
 * transfer_commands.cpp - `upgrade`, `make-image`, `snapshot` and
 * `serial attach`.
 *
 * Each command parses its words completely before it connects. Results go to
 * stdout (one JSON object with --json), errors to stderr; files are written
 * to a temporary name and renamed, so that a failure never leaves half a file
 * under the name asked for.
 */
#include "transfer_commands.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>

// The library's commands.h; a plain "commands.h" would be this folder's.
#include "../lib/commands.h"
#include "cli_support.h"
#include "commands.h"  // this folder's: the exit statuses
#include "device_commands.h"  // EXIT_BUSY
#include "errors.h"
#include "hex.h"
#include "keepalive.h"
#include "netserver/records.h"
#include "netserver/wire.h"
#include "transfers.h"

namespace recnet::cli {

namespace {

using Clock = std::chrono::steady_clock;

const char USAGE[] =
    "\n"
    "transfers (see docs/cli.md):\n"
    "  upgrade IMAGE [--no-check]      upload a firmware image and follow the flash write\n"
    "  make-image --version TEXT PAYLOAD -o IMAGE\n"
    "                                  build a firmware image (offline)\n"
    "  snapshot [--channel N] -o FILE.jpg\n"
    "                                  save one JPEG picture of a channel (from 0)\n"
    "  snapshot --stream [--channel N] [--quality Q] [--rate R] [--count K] --out-dir DIR\n"
    "                                  save pictures as DIR/snapshot-0001.jpg ...\n"
    "  serial attach [--linger S]      stdin to the serial port, the port's bytes to stdout\n";

/* ---- the command line -------------------------------------------------------------- */

// Every word that starts with '-' (but "-" itself) is an option, "-o" is
// short for "--out", and a valued option may be given once.
const WordRules WORDS{.negativeNumbers = false,
                      .shortInlineValues = false,
                      .shortNames = {{"-o", "--out"}},
                      .refuseRepeats = true};

// The value of a required option that names a file or folder.
std::string pathOption(const Words& w, const std::string& name, const std::string& what) {
    auto v = w.get(name);
    if (!v) throw UsageError(what + " needs " + name);
    if (v->empty()) throw UsageError(name + " needs a non-empty value");
    return *v;
}

/* ---- files --------------------------------------------------------------------------- */

// Writes `data` to a temporary file beside `path` and renames it to `path`,
// so that readers only ever see a complete file.
void writeFileReplacing(const std::string& path, const std::vector<uint8_t>& data) {
    const std::string temp = path + ".tmp-" + std::to_string(::getpid());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (out) out.write(reinterpret_cast<const char*>(data.data()),
                           static_cast<std::streamsize>(data.size()));
        if (out) out.close();
        if (!out) {
            const int err = errno;
            std::remove(temp.c_str());
            throw std::runtime_error("cannot write '" + path + "': " + std::strerror(err));
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        std::remove(temp.c_str());
        throw std::runtime_error("cannot write '" + path + "': " + std::strerror(err));
    }
}

/* ---- make-image ---------------------------------------------------------------------- */

// make-image --version TEXT PAYLOAD -o IMAGE: builds the image, no connection.
int cmdMakeImage(const GlobalOptions& g, const std::vector<std::string>& args) {
    Words w = splitWords("make-image", args, {"--version", "--out"}, {}, WORDS);
    if (w.operands.size() != 1)
        throw UsageError("make-image needs --version TEXT PAYLOAD -o IMAGE");
    auto version = w.get("--version");
    if (!version) throw UsageError("make-image needs --version TEXT");
    if (version->size() > IMAGE_VERSION_TEXT_MAX) {
        throw UsageError("version text is longer than " + std::to_string(IMAGE_VERSION_TEXT_MAX) +
                         " characters");
    }
    const std::string out = pathOption(w, "--out", "make-image");
    // The upgrade request states the image size as a signed 32-bit number.
    const uint64_t maxPayload = 0x7fffffffu - records::IMAGE_HEADER_SIZE;
    std::vector<uint8_t> payload = readFile(w.operands[0], maxPayload, /*regularOnly=*/true);
    std::vector<uint8_t> image = buildFirmwareImage(*version, payload);
    writeFileReplacing(out, image);
    const uint32_t crc = wire::getU32(image.data(), records::IMAGE_CRC);
    if (g.json) {
        std::cout << "{\"result\":\"ok\",\"image\":" << jsonString(out)
                  << ",\"version\":" << jsonString(*version) << ",\"payload_bytes\":"
                  << payload.size() << ",\"size\":" << image.size() << ",\"crc32\":"
                  << jsonString(hexWord(crc)) << "}\n";
    } else {
        std::cout << "image " << out << ": version " << *version << ", " << payload.size()
                  << " payload bytes, CRC-32 " << hexWord(crc) << ", " << image.size()
                  << " bytes in all\n";
    }
    return EXIT_OK;
}

/* ---- upgrade ------------------------------------------------------------------------- */

enum class RefusalCause { Busy, Image, Unknown };

// After a refusal, asks on a fresh session (the refused one may be in any
// state) whether the device is busy: the hard-disk record is refused with
// 0x11 while a partitioning, a format or an upload runs.
RefusalCause diagnoseRefusal(const GlobalOptions& g) {
    try {
        Link link(g, Link::Login::WithoutKeepAlive);
        RefusalCause cause = RefusalCause::Unknown;
        try {
            getHardDisk(link.conn(), g.timeout);
            cause = RefusalCause::Image;
        } catch (const CommandRefused& e) {
            if (e.status() == wire::STATUS_DISK_BUSY || e.status() == wire::STATUS_FDISK_BUSY) {
                cause = RefusalCause::Busy;
            }
        }
        return cause;
    } catch (const Error&) {
        return RefusalCause::Unknown;
    }
}

// upgrade IMAGE [--no-check]: checks the image, uploads it on a session of
// its own (no keep-alive) and follows the flash write. Reports the device's
// refusals and failures itself (exit 1, or EXIT_BUSY when it is busy).
int cmdUpgrade(const GlobalOptions& g, const std::vector<std::string>& args) {
    Words w = splitWords("upgrade", args, {}, {"--no-check"}, WORDS);
    if (w.operands.size() != 1) throw UsageError("upgrade needs IMAGE");
    const std::string path = w.operands[0];
    std::vector<uint8_t> image = readFile(path, 0x7fffffffu, /*regularOnly=*/true);
    std::optional<std::string> version;
    if (!w.has("--no-check")) {
        // The device checks the image only after the whole upload; checking
        // here first saves the transfer of a file that it would refuse.
        try {
            version = checkFirmwareImage(image).version;
        } catch (const std::invalid_argument& e) {
            throw UsageError("'" + path + "' is not a valid firmware image: " + e.what() +
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
        std::cout << "image " << path << ": " << size << " bytes"
                  << (version ? ", version " + *version : "") << std::endl;
    }

    Link link(g, Link::Login::WithoutKeepAlive);
    Progress upload("upload", 10), write("flash write");
    UpgradeCallbacks callbacks;
    if (!g.json) {
        callbacks.uploaded = [&](uint64_t sent, uint64_t total) {
            upload.show(total ? static_cast<int>(sent * 100 / total) : 100);
        };
        callbacks.written = [&](uint32_t percent) {
            upload.finish();
            write.show(static_cast<int>(percent));
        };
    }
    try {
        upgradeFirmware(link.conn(), image, callbacks, g.timeout);
    } catch (const UpgradeFailed& e) {
        upload.finish();
        write.finish();
        link.drop();
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
                return fail("upgrade failed: the device could not write the image (bad image: "
                            "its header or CRC check failed); the old firmware is kept",
                            EXIT_FAILED);
            case UpgradeFailure::Failed:
                break;
        }
        return fail(e.what(), EXIT_FAILED);
    } catch (...) {
        upload.finish();
        write.finish();
        throw;
    }
    upload.finish();
    write.finish();
    // The device restarts its server now, which ends this session.
    link.drop();
    if (g.json) {
        std::cout << "{\"result\":\"ok\",\"image\":" << jsonString(path) << ",\"bytes\":" << size
                  << ",\"version\":" << (version ? jsonString(*version) : "null")
                  << ",\"restarting\":true}\n";
    } else {
        std::cout << "firmware " << (version ? *version + " " : "") << "written; the device "
                  << "restarts its server now, and the new firmware is active once it is back\n";
    }
    return EXIT_OK;
}

/* ---- snapshot ------------------------------------------------------------------------ */

// The file name of a stream's picture `number` (from 1).
std::string pictureName(uint64_t number) {
    char b[32];
    std::snprintf(b, sizeof b, "snapshot-%04llu.jpg", static_cast<unsigned long long>(number));
    return b;
}

// snapshot --stream: saves pictures into --out-dir until --count or a signal,
// then closes the connection, which is what ends the device's stream.
int cmdSnapshotStream(const GlobalOptions& g, const Words& w) {
    if (!w.operands.empty()) throw UsageError("snapshot takes no operands");
    if (w.has("--out")) throw UsageError("snapshot --stream writes to --out-dir DIR, not -o");
    const std::string dir = pathOption(w, "--out-dir", "snapshot --stream");
    SnapshotStreamSettings s;
    if (auto v = w.get("--channel"))
        s.channel = static_cast<uint8_t>(number("--channel", *v, 0, 255));
    if (auto v = w.get("--quality"))
        s.quality = static_cast<uint8_t>(number("--quality", *v, 1, 100));
    if (auto v = w.get("--rate")) s.rate = static_cast<uint8_t>(number("--rate", *v, 1, 10));
    std::optional<uint64_t> count;
    if (auto v = w.get("--count")) count = number("--count", *v, 1, 1000000000);

    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) throw std::runtime_error("cannot create folder '" + dir + "': " + ec.message());

    InterruptGuard guard;
    Link link(g);
    uint64_t bytes = 0;
    std::vector<std::string> files;
    // A picture may take up to 1/rate s beyond the answer time-out.
    const Duration wait = g.timeout + Duration(1000);
    uint64_t pictures = 0;
    try {
        pictures = snapshotStream(
            link.conn(), s,
            [&](const StreamPicture& p) {
                const std::string name = pictureName(p.number);
                const std::string path = (std::filesystem::path(dir) / name).string();
                writeFileReplacing(path, *p.jpeg);
                bytes += p.jpeg->size();
                files.push_back(name);
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
    if (g.json) {
        std::cout << "{\"result\":\"ok\",\"channel\":" << unsigned(s.channel)
                  << ",\"pictures\":" << pictures << ",\"bytes\":" << bytes
                  << ",\"dir\":" << jsonString(dir) << ",\"files\":[";
        for (size_t i = 0; i < files.size(); ++i)
            std::cout << (i ? "," : "") << jsonString(files[i]);
        std::cout << "]}\n";
    } else {
        std::cout << pictures << " picture" << (pictures == 1 ? "" : "s") << " of channel "
                  << unsigned(s.channel) << " saved in " << dir << " (" << bytes << " bytes)\n";
    }
    if (count && pictures < *count) {
        return fail("interrupted after " + std::to_string(pictures) + " of " +
                        std::to_string(*count) + " pictures",
                    EXIT_FAILED);
    }
    return EXIT_OK;
}

// snapshot [--channel N] -o FILE.jpg, or the --stream form.
int cmdSnapshot(const GlobalOptions& g, const std::vector<std::string>& args) {
    Words w = splitWords("snapshot", args,
                         {"--channel", "--out", "--out-dir", "--quality", "--rate", "--count"},
                         {"--stream"}, WORDS);
    if (w.has("--stream")) return cmdSnapshotStream(g, w);
    for (const char* o : {"--out-dir", "--quality", "--rate", "--count"}) {
        if (w.has(o)) throw UsageError(std::string(o) + " goes with snapshot --stream");
    }
    if (!w.operands.empty())
        throw UsageError("snapshot takes no operands (the file goes after -o)");
    if (!w.has("--out")) throw UsageError("snapshot needs -o FILE.jpg (or --stream)");
    const std::string out = pathOption(w, "--out", "snapshot");
    uint32_t channel = 0;
    if (auto v = w.get("--channel"))
        channel = static_cast<uint32_t>(number("--channel", *v, 0, 255));

    std::vector<uint8_t> jpeg;
    {
        Link link(g);
        jpeg = takeSnapshot(link.conn(), channel, g.timeout);
    }
    if (jpeg.empty()) {
        throw CommandRefused(wire::STATUS_FAILED, "the device sent an empty picture of channel " +
                                                      std::to_string(channel));
    }
    writeFileReplacing(out, jpeg);
    if (g.json) {
        std::cout << "{\"result\":\"ok\",\"channel\":" << channel << ",\"file\":" << jsonString(out)
                  << ",\"bytes\":" << jpeg.size() << "}\n";
    } else {
        std::cout << "picture of channel " << channel << " saved to " << out << " (" << jpeg.size()
                  << " bytes)\n";
    }
    return EXIT_OK;
}

}  // namespace

/* ---- serial attach ------------------------------------------------------------------- */

namespace {

// Writes all bytes to stdout at once: the port's bytes are passed on as they
// come, unbuffered.
void writeStdout(const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(STDOUT_FILENO, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error(std::string("cannot write to stdout: ") +
                                             std::strerror(errno));
        data += n;
        size -= static_cast<size_t>(n);
    }
}

}  // namespace

int runSerialAttach(const GlobalOptions& g, const std::vector<std::string>& args) {
    Words w = splitWords("serial attach", args, {"--linger"}, {}, WORDS);
    if (!w.operands.empty()) throw UsageError("serial attach takes no operands");
    const Duration linger =
        w.get("--linger") ? seconds("--linger", *w.get("--linger"), /*zeroAllowed=*/true)
                          : Duration(0);
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

bool isTransferCommand(const std::string& command) {
    return command == "upgrade" || command == "make-image" || command == "snapshot";
}

int runTransferCommand(const Invocation& inv) {
    if (inv.command == "upgrade") return cmdUpgrade(inv.global, inv.commandArgs);
    if (inv.command == "make-image") return cmdMakeImage(inv.global, inv.commandArgs);
    return cmdSnapshot(inv.global, inv.commandArgs);
}

const char* transferCommandsUsage() { return USAGE; }

}  // namespace recnet::cli
