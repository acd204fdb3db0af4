#include "platform/LargeMemory.h"

#include <cstdint>
#include <new>

#include <sys/mman.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace platform {
namespace {

constexpr std::size_t kLargePage = std::size_t(2) << 20;

std::size_t roundUp(std::size_t size) { return (size + kLargePage - 1) & ~(kLargePage - 1); }

class LargeBlocks : public std::pmr::memory_resource {
    void* do_allocate(std::size_t bytes, std::size_t alignment) override {
        if (alignment > kLargePage)
            throw std::bad_alloc();
        return allocateLarge(bytes);
    }
    void do_deallocate(void* address, std::size_t bytes, std::size_t) override { releaseLarge(address, bytes); }
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }
};

} // namespace

std::size_t largePageSize() { return kLargePage; }

void* allocateLarge(std::size_t size) {
    const std::size_t length = roundUp(size == 0 ? 1 : size);
    // Over-allocate by one large page and trim, so the block starts on a large
    // page boundary: only aligned ranges can be backed by large pages.
    void* raw = ::mmap(nullptr, length + kLargePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        throw std::bad_alloc();
    const auto begin = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t start = (begin + kLargePage - 1) & ~static_cast<std::uintptr_t>(kLargePage - 1);
    const std::size_t head = start - begin;
    if (head > 0)
        ::munmap(raw, head);
    if (kLargePage - head > 0)
        ::munmap(reinterpret_cast<void*>(start + length), kLargePage - head);
    // Advice only: without transparent large pages the block is ordinary memory.
    ::madvise(reinterpret_cast<void*>(start), length, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(start);
}

void releaseLarge(void* address, std::size_t size) noexcept {
    if (address)
        ::munmap(address, roundUp(size == 0 ? 1 : size));
}

std::pmr::memory_resource* largeBlocks() {
    // Never destroyed: arenas over it may outlive static destruction.
    static LargeBlocks* resource = new LargeBlocks;
    return resource;
}

void returnLargeFreesToSystem() {
#ifdef __GLIBC__
    // A fixed threshold also stops the allocator from raising it after the
    // first large free, which is what would keep the copies in the heap.
    ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    // Fixing it also fixes the trim threshold at 128 KiB, and the threads' heaps
    // would then be shrunk and faulted in again for every few files.
    ::mallopt(M_TRIM_THRESHOLD, 1024 * 1024);
#endif
}

} // namespace platform
