/*
 * fuzz_fragments - the client's frame reassembly (FrameAssembler) and the
 * H.264 file writer behind it, fed with hostile fragments.
 *
 * Input: u8 mode, then
 *   mode even: a data-connection byte stream, cut into fragments the way
 *              the stream client cuts it (16-byte header, payload length at
 *              8, 1..1400; anything else ends the stream as a protocol error);
 *   mode odd:  datagrams, each a u16 length (mod 1500) and that many bytes.
 * Each fragment is handed over in a buffer of exactly its size. A complete
 * frame is read whole (so that a view past the frame shows) and written to
 * /dev/null by the recorder. The assembler's own figures are checked after
 * every fragment.
 */
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "stream.h"

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_fragments: %s\n", what);
        std::abort();
    }
}

struct Run {
    recnet::AnnexBRecorder recorder{"/dev/null"};
    uint32_t lastDataLength = 0;
    uint64_t checksum = 0;
    recnet::FrameAssembler assembler{[this](const recnet::FrameView& v) { frame(v); }};

    void frame(const recnet::FrameView& v) {
        check(v.header != nullptr && v.data == v.header + wire::FRAME_HEADER_SIZE,
              "frame view layout");
        check(v.dataLength == lastDataLength, "frame length differs from its fragments'");
        check(static_cast<uint64_t>(v.dataLength) + wire::FRAME_HEADER_SIZE <=
                  wire::FRAME_TOTAL_MAX,
              "frame above the limit");
        for (size_t i = 0; i < wire::FRAME_HEADER_SIZE; ++i) checksum += v.header[i];
        for (uint32_t i = 0; i < v.dataLength; ++i) checksum += v.data[i];
        recorder.write(v);
    }

    void feed(const uint8_t* p, size_t size) {
        auto copy = std::make_unique<uint8_t[]>(size ? size : 1);
        if (size) std::memcpy(copy.get(), p, size);
        if (size >= wire::FRAGMENT_HEADER_SIZE) lastDataLength = wire::getU32(p, 4);
        const recnet::AssemblerStats before = assembler.stats();
        const bool accepted = assembler.feed(copy.get(), size);
        const recnet::AssemblerStats& after = assembler.stats();
        check(after.fragments + after.badFragments == before.fragments + before.badFragments + 1,
              "every fragment counted once");
        check(accepted == (after.fragments == before.fragments + 1), "accepted as counted");
        check(after.frames >= before.frames && after.frames <= before.frames + 1, "frames");
        const size_t toComplete = assembler.bytesToComplete();
        check(toComplete <= wire::FRAME_TOTAL_MAX + 256 * wire::FRAGMENT_HEADER_SIZE,
              "bytes to complete out of range");
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint8_t mode = in.u8();
    Run run;
    if ((mode & 1) == 0) {
        const uint8_t* p = in.rest();
        size_t left = in.left();
        while (left >= wire::FRAGMENT_HEADER_SIZE) {
            const uint32_t payload = wire::getU32(p, 8);
            if (payload == 0 || payload > wire::FRAGMENT_PAYLOAD_MAX) break;
            const size_t n = wire::FRAGMENT_HEADER_SIZE + payload;
            if (n > left) break;
            run.feed(p, n);
            p += n;
            left -= n;
        }
    } else {
        while (in.left() > 0) {
            const size_t n = in.u16() % 1500;
            std::vector<uint8_t> d = in.take(n);
            run.feed(d.data(), d.size());
        }
    }
    run.recorder.close();
    return 0;
}
