#pragma once

// The byte format shared by the harnesses: a reader that takes fixed-width
// little-endian values from the front of the fuzzer's input, and a writer that
// produces the same format for the seed corpora. Past the end every read
// gives zeros, so each input, however short, is a complete program.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace Fuzz
{
using Bytes = std::vector<std::uint8_t>;

class Reader
{
public:
    Reader(const std::uint8_t* data, std::size_t size)
        : m_data(data), m_size(size)
    {
    }

    bool Empty() const { return m_position >= m_size; }

    std::uint8_t U8() { return Empty() ? 0 : m_data[m_position++]; }
    std::uint16_t U16() { return static_cast<std::uint16_t>(Unsigned(2)); }
    std::uint32_t U32() { return static_cast<std::uint32_t>(Unsigned(4)); }
    std::uint64_t U64() { return Unsigned(8); }
    std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
    std::int64_t I64() { return static_cast<std::int64_t>(U64()); }
    bool Bool() { return (U8() & 1) != 0; }

    // Up to `count` bytes, fewer when the input ends first.
    Bytes Take(std::size_t count)
    {
        count = std::min(count, m_size - std::min(m_position, m_size));
        Bytes bytes(m_data + m_position, m_data + m_position + count);
        m_position += count;
        return bytes;
    }

    template <typename T, std::size_t N>
    const T& Pick(const T (&values)[N])
    {
        return values[U8() % N];
    }

private:
    std::uint64_t Unsigned(int bytes)
    {
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i)
            value |= static_cast<std::uint64_t>(U8()) << (8 * i);
        return value;
    }

    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_position = 0;
};

class Writer
{
public:
    Writer& U8(std::uint8_t value)
    {
        m_bytes.push_back(value);
        return *this;
    }
    Writer& U16(std::uint16_t value) { return Unsigned(value, 2); }
    Writer& U32(std::uint32_t value) { return Unsigned(value, 4); }
    Writer& U64(std::uint64_t value) { return Unsigned(value, 8); }
    Writer& Put(const Bytes& bytes)
    {
        m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
        return *this;
    }

    const Bytes& Data() const { return m_bytes; }

private:
    Writer& Unsigned(std::uint64_t value, int bytes)
    {
        for (int i = 0; i < bytes; ++i)
            m_bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        return *this;
    }

    Bytes m_bytes;
};

} // namespace Fuzz
