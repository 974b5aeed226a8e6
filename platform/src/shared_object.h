// Whether a copy of the host layer lives in a shared object, which may be
// unloaded while the process goes on, or in the program itself, whose state
// the end of the process takes along. Each file that uses it gets its own
// copy: no name of it leaves the library.
#pragma once

#include <dlfcn.h>
#include <sys/auxv.h>

// own: the address of any object of the calling copy. A static program,
// where nothing tells, counts as the program.
static inline bool in_shared_object(const void* own) {
    Dl_info owner{};
    Dl_info program{};
    // The auxiliary vector holds the address of the program's headers as a number.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    const auto* program_headers = reinterpret_cast<const void*>(getauxval(AT_PHDR));
    return dladdr(own, &owner) != 0 && dladdr(program_headers, &program) != 0 &&
           owner.dli_fbase != program.dli_fbase;
}
