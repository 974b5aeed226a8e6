#include "fake_devctl.h"

#include <devctl.h>

#include <cerrno>
#include <deque>

namespace {

struct scripted_result {
    int result;
    int error;
};

std::vector<fake_devctl_call> recorded_calls;
std::deque<scripted_result> scripted_results;

} // namespace

const std::vector<fake_devctl_call>& fake_devctl_calls() {
    return recorded_calls;
}

void fake_script_devctl(int result, int error) {
    scripted_results.push_back({result, error});
}

void fake_devctl_reset() {
    recorded_calls.clear();
    scripted_results.clear();
}

extern "C" int devctl(int fd, int dcmd, void* dev_data_ptr, size_t n_bytes, int* dev_info_ptr) {
    const auto* bytes = static_cast<const unsigned char*>(dev_data_ptr);
    recorded_calls.push_back({fd, static_cast<std::uint32_t>(dcmd),
                              std::vector<unsigned char>(bytes, bytes + n_bytes),
                              dev_info_ptr != nullptr});
    if (dev_info_ptr != nullptr)
        *dev_info_ptr = 0;
    if (scripted_results.empty())
        return EOK;
    const scripted_result next = scripted_results.front();
    scripted_results.pop_front();
    errno = next.error;
    return next.result;
}
