#pragma once

#include <cstddef>
#include <memory_resource>

namespace platform {

// Memory for large arenas that are filled once and kept: whole blocks from the
// system, on large pages where it offers them. Filling a table of a few hundred
// thousand entries then costs one page fault per large page instead of one per
// small page, which on virtual machines is most of the loading time.
// Sizes are rounded up to largePageSize(); throws std::bad_alloc.
std::size_t largePageSize();
void* allocateLarge(std::size_t size);
// size: as passed to allocateLarge.
void releaseLarge(void* address, std::size_t size) noexcept;

// A memory resource over allocateLarge, for std::pmr arenas (process-wide).
std::pmr::memory_resource* largeBlocks();

// Gives every large heap block a mapping of its own, returned to the system
// when freed. Tables of a million entries grow by copying; kept in the heap,
// their earlier copies would stay resident to the end of the run. Call once
// at start, before any thread.
void returnLargeFreesToSystem();

} // namespace platform
