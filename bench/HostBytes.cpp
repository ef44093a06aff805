#include "HostBytes.h"

#include <atomic>
#include <cstdlib>
#include <new>

// Every allocation carries a 16-byte header (keeping malloc's alignment)
// that says whether it was counted and how large it is, so that the free
// takes counted bytes off again. Over-aligned new keeps its own allocator.

namespace
{
constexpr std::size_t kHeader = 16;
constexpr std::uint64_t kCounted = 0x486F73745061636Bu; // "HostPack"
constexpr std::uint64_t kOther = 0x4F74686572416C6Cu;

std::atomic<std::int64_t> g_live{0};
thread_local bool t_counting = false;
thread_local std::int64_t t_made = 0;

void* Allocate(std::size_t size)
{
    auto* header = static_cast<std::uint64_t*>(std::malloc(size + kHeader));
    if (!header)
        throw std::bad_alloc();
    header[0] = t_counting ? kCounted : kOther;
    header[1] = size;
    if (t_counting)
    {
        g_live.fetch_add(static_cast<std::int64_t>(size), std::memory_order_relaxed);
        t_made += static_cast<std::int64_t>(size);
    }
    return reinterpret_cast<char*>(header) + kHeader;
}

void* AllocateNoThrow(std::size_t size) noexcept
{
    try
    {
        return Allocate(size);
    }
    catch (...)
    {
        return nullptr;
    }
}

void Release(void* pointer) noexcept
{
    if (!pointer)
        return;
    auto* header = reinterpret_cast<std::uint64_t*>(static_cast<char*>(pointer) - kHeader);
    if (header[0] == kCounted)
        g_live.fetch_sub(static_cast<std::int64_t>(header[1]), std::memory_order_relaxed);
    std::free(header);
}
} // namespace

namespace Bench
{

std::int64_t HostBytesLive()
{
    return g_live.load(std::memory_order_relaxed);
}

std::int64_t HostBytesMadeHere()
{
    return t_made;
}

CountHostBytes::CountHostBytes()
{
    t_counting = true;
}

CountHostBytes::~CountHostBytes()
{
    t_counting = false;
}

} // namespace Bench

void* operator new(std::size_t size)
{
    return Allocate(size);
}
void* operator new[](std::size_t size)
{
    return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return AllocateNoThrow(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return AllocateNoThrow(size);
}
void operator delete(void* pointer) noexcept
{
    Release(pointer);
}
void operator delete[](void* pointer) noexcept
{
    Release(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept
{
    Release(pointer);
}
void operator delete[](void* pointer, std::size_t) noexcept
{
    Release(pointer);
}
void operator delete(void* pointer, const std::nothrow_t&) noexcept
{
    Release(pointer);
}
void operator delete[](void* pointer, const std::nothrow_t&) noexcept
{
    Release(pointer);
}
