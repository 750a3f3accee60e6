// Modbus TCP replies on arbitrary input: a byte stream cut into replies as it arrives in pieces
// of every size, each reply turned into the RTU frame it stands for and checked against a
// request. Beyond "no crash, no undefined behaviour", the stream holds to what mbap.h promises:
// pieces cut the same replies as the whole, the buffer never holds more than one longest reply,
// and every reply it lets through has a sound header and a frame whose CRC matches.

#include "client/mbap.h"
#include "modbus/crc16.h"
#include "modbus/protocol.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_mbap: %s\n", what);
        std::abort();
    }
}

struct Cuts {
    std::vector<std::vector<std::uint8_t>> replies;
    bool broken = false;
};

// The stream taken whole: reply after reply until it ends or breaks.
Cuts cutWhole(const std::uint8_t* data, std::size_t size) {
    Cuts cuts;
    std::size_t at = 0;
    for (;;) {
        const mbap::Cut cut = mbap::cut(data + at, size - at);
        if (cut.state == mbap::Cut::State::Broken) {
            cuts.broken = true;
            return cuts;
        }
        if (cut.state == mbap::Cut::State::NeedMore)
            return cuts;
        check(cut.consumed == 6 + std::size_t(cut.length), "a reply's size is not 6 + length");
        check(cut.length >= mbap::kShortestLength && cut.length <= mbap::kLongestLength,
              "a reply's length is outside 2-254");
        check(cut.protocolId == 0, "a reply with a protocol id other than 0");
        cuts.replies.emplace_back(data + at, data + at + cut.consumed);
        at += cut.consumed;
    }
}

// The stream as it arrives: pieces of the sizes the steering bytes give, never more than the
// reassembly has room for.
Cuts cutInPieces(const std::uint8_t* data, std::size_t size, const std::uint8_t* steer,
                 std::size_t steerSize) {
    Cuts cuts;
    mbap::Reassembly stream;
    std::size_t at = 0;
    std::size_t turn = 0;
    for (;;) {
        const mbap::Cut front = stream.front();
        if (front.state == mbap::Cut::State::Broken) {
            cuts.broken = true;
            return cuts;
        }
        if (front.state == mbap::Cut::State::Whole) {
            const std::vector<std::uint8_t> reply = stream.take();
            check(reply.size() == front.consumed, "take() gave another size than the cut");
            cuts.replies.push_back(reply);
            continue;
        }
        const std::size_t room = stream.room();
        check(room > 0 && room <= mbap::kLongestAdu, "no room, or room beyond a longest reply");
        if (at == size)
            return cuts;
        std::size_t piece = steerSize ? std::size_t(steer[turn++ % steerSize]) % room + 1 : room;
        piece = std::min(piece, size - at);
        stream.append(data + at, piece);
        at += piece;
        check(stream.size() <= mbap::kLongestAdu, "the stream holds more than a longest reply");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    // The first byte says how many steering bytes follow; the rest is the stream.
    const std::size_t steerSize = std::min<std::size_t>(data[0] % 8, size - 1);
    const std::uint8_t* steer = data + 1;
    const std::uint8_t* stream = data + 1 + steerSize;
    const std::size_t streamSize = size - 1 - steerSize;

    const Cuts whole = cutWhole(stream, streamSize);
    const Cuts pieces = cutInPieces(stream, streamSize, steer, steerSize);
    check(whole.replies == pieces.replies, "pieces cut other replies than the whole stream");
    check(whole.broken == pieces.broken, "pieces break where the whole does not");

    for (const std::vector<std::uint8_t>& reply : whole.replies) {
        const std::vector<std::uint8_t> frame = mbap::rtuFrame(reply.data(), reply.size());
        check(frame.size() == reply.size() - 6 + 2, "the RTU frame is not unit, PDU and CRC");
        const std::uint16_t crc = modbus::crc16(frame.data(), frame.size() - 2);
        check(frame[frame.size() - 2] == modbus::crcLowByte(crc) &&
                  frame.back() == modbus::crcHighByte(crc),
              "the RTU frame's CRC does not match");

        // Checked against a request to its unit for its function, of each kind.
        protocol::Frame request =
            protocol::readRequest(frame[0], frame[1] & 0x7F, 0, std::uint8_t(steerSize + 1));
        protocol::sealCrc(request);
        for (const protocol::ReplyKind kind :
             {protocol::ReplyKind::Registers, protocol::ReplyKind::WriteEcho,
              protocol::ReplyKind::Address}) {
            const protocol::ReplyCheck verdict =
                protocol::checkReply(request, kind, frame.data(), frame.size());
            if (verdict.verdict == protocol::ReplyCheck::Verdict::Ok)
                check(frame.size() ==
                          protocol::expectedReplyLength(request, kind, frame.data(), frame.size()),
                      "a reply of another length passed");
            check(verdict.failed != "CRC", "a converted reply failed its CRC");
        }
    }

    // A request of the stream's first bytes comes back whole, with its id and as its frame.
    if (streamSize >= 8) {
        protocol::Frame request{};
        std::copy(stream, stream + 6, request.begin());
        protocol::sealCrc(request);
        const std::uint16_t id = std::uint16_t(stream[6] << 8 | stream[7]);
        const mbap::Request adu = mbap::encodeRequest(request, id);
        const mbap::Cut cut = mbap::cut(adu.data(), adu.size());
        check(cut.state == mbap::Cut::State::Whole && cut.transactionId == id &&
                  cut.consumed == adu.size(),
              "an encoded request does not cut whole");
        const std::vector<std::uint8_t> frame = mbap::rtuFrame(adu.data(), adu.size());
        check(std::equal(frame.begin(), frame.end(), request.begin(), request.end()),
              "an encoded request does not stand for its frame");
    }
    return 0;
}
