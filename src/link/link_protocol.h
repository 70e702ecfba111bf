#pragma once
// The link protocol's wire format: the 6-byte frame header, the command
// letters, the payload limits and the receive-audio byte encoding.

#include <cmath>
#include <cstdint>

namespace marvane::link {

inline constexpr int kDefaultPort = 3020;

// LinkFrame: mark bytes 0x01 0x02 0x03, command letter, 16-bit big-endian argument.
inline constexpr int kFrameSize = 6;
inline constexpr uint8_t kMark1 = 0x01;
inline constexpr uint8_t kMark2 = 0x02;
inline constexpr uint8_t kMark3 = 0x03;

inline constexpr uint8_t kCmdPing = 'P';
inline constexpr uint8_t kCmdVersion = 'V';
inline constexpr uint8_t kCmdRates = 'F';
inline constexpr uint8_t kCmdInfo = 'I';
inline constexpr uint8_t kCmdTransmit = 'T';
inline constexpr uint8_t kCmdSamples = 'S';
inline constexpr uint8_t kCmdLastSamples = 'R';
inline constexpr uint8_t kCmdFill = 'N';

// payloadBuffer holds 10240 bytes; a payload is read at most 10239 at a time.
inline constexpr int kPayloadBufferSize = 10240;
inline constexpr int kMaxPayload = 10239;
// Bytes read and thrown away after a short header or an unknown command.
inline constexpr int kDiscardLength = 1024;
inline constexpr int kRxBlockBytes = 1024;
inline constexpr int kMaxReportedFill = 65535;
inline constexpr int kInfoWordLength = 19;

// A receive sample as a link byte: truncate toward zero, keep the low 16 bits
// as a signed sample, take its high byte (arithmetic shift) and add 128.
inline uint8_t encodeRxSample(double sample) {
    int64_t whole;
    if (std::fabs(sample) < 2147483648.0)
        whole = static_cast<int64_t>(sample);
    else if (std::isfinite(sample))
        whole = static_cast<int64_t>(std::fmod(std::trunc(sample), 65536.0));
    else
        whole = 0;
    auto s = static_cast<int16_t>(static_cast<uint16_t>(whole & 0xFFFF));
    return static_cast<uint8_t>(((s >> 8) + 128) & 0xFF);
}

} // namespace marvane::link
