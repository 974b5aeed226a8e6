// A recording, scriptable devctl for unit tests of the product code.
// Every call is recorded in order; an unscripted call succeeds (EOK, errno
// untouched), a scripted one returns its result and sets errno.
#pragma once

#include <cstdint>
#include <vector>

struct fake_devctl_call {
    int fd;
    std::uint32_t code;
    std::vector<unsigned char> bytes; // the record as passed
    bool info_given;
};

// Every devctl since the last fake_devctl_reset(), in order.
const std::vector<fake_devctl_call>& fake_devctl_calls();
// The next devctl returns result and sets errno to error.
void fake_script_devctl(int result, int error);
// Forgets calls and scripts.
void fake_devctl_reset();
