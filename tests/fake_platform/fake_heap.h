// The heap as the code under test sees it: malloc, free and strdup wrapped at
// link time (the fake_heap library's link options), so that only the calls of
// the linked objects count, not the C library's own, and each can be made to fail.
#pragma once

// Blocks handed out by malloc and strdup since the last fake_heap_reset().
extern int fake_heap_allocations;
// Blocks given back with free since the last fake_heap_reset().
extern int fake_heap_releases;
// While set, malloc and strdup fail with ENOMEM.
extern bool fake_heap_exhausted;

void fake_heap_reset();
