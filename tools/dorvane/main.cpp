// dorvane: sends one debug request to the audio-management service.
#include "dorvane.h"
#include "log.h"

namespace {
// The unit's images carry no build labels; every key reads "?".
const char* build_label(const char* /*key*/) {
    return "?";
}

void log_build_labels() {
    const char* plabel = build_label("PLABEL");
    const char* qnx_label = build_label("QNX_LABEL");
    const char* date = build_label("DATE");
    log_info("Label: %s QNX: %s Built: %s", plabel, qnx_label, date);
}
} // namespace

int main(int argc, char* argv[]) {
    log_started();
    log_build_labels();
    set_tool_name();
    open_debug_device();
    handle_options(argc, argv); // a refused or failed request still ends with 0
    close_devices();
    return 0;
}
