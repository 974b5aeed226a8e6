// Counting, failing allocator for the heap tests (see fake_heap.h).
#include "fake_heap.h"

#include <cerrno>
#include <cstddef>

int fake_heap_allocations = 0;
int fake_heap_releases = 0;
bool fake_heap_exhausted = false;

void fake_heap_reset() {
    fake_heap_allocations = 0;
    fake_heap_releases = 0;
    fake_heap_exhausted = false;
}

namespace {

// Counts one allocation; false, with errno set, when it is to fail.
bool allocation_allowed() {
    ++fake_heap_allocations;
    if (fake_heap_exhausted) {
        errno = ENOMEM;
        return false;
    }
    return true;
}

} // namespace

extern "C" {
void* __real_malloc(std::size_t size);
char* __real_strdup(const char* text);
void __real_free(void* block);
void* __wrap_malloc(std::size_t size);
char* __wrap_strdup(const char* text);
void __wrap_free(void* block);

void* __wrap_malloc(std::size_t size) {
    return allocation_allowed() ? __real_malloc(size) : nullptr;
}

char* __wrap_strdup(const char* text) {
    return allocation_allowed() ? __real_strdup(text) : nullptr;
}

void __wrap_free(void* block) {
    if (block != nullptr)
        ++fake_heap_releases;
    __real_free(block);
}
}
