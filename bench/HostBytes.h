#pragma once

// Counts the bytes of host packets from allocation to free, whichever thread
// frees them: linking HostBytes.cpp replaces the global operator new and
// delete of the program, so the library's frees are seen too. Used to tell
// how much of a process's memory is input queued for the worker.

#include <cstdint>

namespace Bench
{

// Bytes allocated in a CountHostBytes scope, on any thread, not yet freed.
std::int64_t HostBytesLive();
// Bytes this thread allocated in CountHostBytes scopes, frees aside.
std::int64_t HostBytesMadeHere();

// Allocations made on this thread while it exists are counted.
class CountHostBytes
{
public:
    CountHostBytes();
    ~CountHostBytes();
    CountHostBytes(const CountHostBytes&) = delete;
    CountHostBytes& operator=(const CountHostBytes&) = delete;
};

} // namespace Bench
