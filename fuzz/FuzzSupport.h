#pragma once

// What the harnesses share: the input format (little-endian values from its
// front, zeros past its end, so every input is a complete program); real
// media made once per process, so inputs reach the copy and transcode paths;
// the scratch directory; and the exceptions the library documents.

#include "support/TestMedia.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <vector>

namespace Fuzz
{
using Bytes = std::vector<std::uint8_t>;

// Host clock at which the harnesses start their streams (100-ns units).
constexpr std::uint64_t kClockBase = 130'000'000'000'000'000;
constexpr std::uint64_t kSecond = 10'000'000;

class Reader
{
public:
    Reader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool Empty() const { return m_position >= m_size; }
    std::uint8_t U8() { return Empty() ? 0 : m_data[m_position++]; }
    std::uint16_t U16() { return static_cast<std::uint16_t>(U8() | U8() << 8); }
    std::uint32_t U32() { return U16() | static_cast<std::uint32_t>(U16()) << 16; }
    std::uint64_t U64() { return U32() | static_cast<std::uint64_t>(U32()) << 32; }
    std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
    bool Bool() { return (U8() & 1) != 0; }
    // Up to `count` bytes, fewer when the input ends first.
    Bytes Take(std::size_t count)
    {
        count = std::min(count, m_size - std::min(m_position, m_size));
        m_position += count;
        return Bytes(m_data + m_position - count, m_data + m_position);
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_position = 0;
};

template <typename Codec>
struct Item
{
    Codec codec;
    TestMedia::EncodedStream media;
    std::uint64_t step; // host ticks between packets
};
using VideoItem = Item<Mpeg::CodecIdVideo>;
using AudioItem = Item<Mpeg::CodecIdAudio>;

// A few pictures or half a second of each codec a host can declare.
const std::vector<VideoItem>& VideoBank();
const std::vector<AudioItem>& AudioBank();

// The first bytes of a packet, as hosts fill firstPacketHeader.
inline Bytes Head(const Bytes& packet, std::size_t count = 8)
{
    return Bytes(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(std::min(count, packet.size())));
}

// This process's directory under TMPDIR, removed at exit; emptied after every input.
const TestMedia::TempDir& Scratch();
void ClearScratch();

// With MPEGEXPORTER_FUZZ_TRACE set, calls and refusals go to stderr.
void Trace(const std::string& what);

// Runs one library call. The exceptions the library documents are its
// answers to bad input and are swallowed (false); anything else propagates
// and ends the run as a finding.
template <typename Call>
bool Tolerate(Call&& call)
{
    try { call(); return true; }
    catch (const Mpeg::MpegExporterException& error) { Trace(error.what()); }
    catch (const std::invalid_argument& error) { Trace(error.what()); }
    catch (const std::out_of_range& error) { Trace(error.what()); }
    catch (const std::range_error& error) { Trace(error.what()); }
    return false;
}

// Silences FFmpeg's log and builds the media banks; with
// MPEGEXPORTER_FUZZ_SEEDS=<dir> set, writes the seeds there and exits.
void Initialize(const std::function<std::vector<Bytes>()>& makeSeeds);

} // namespace Fuzz
