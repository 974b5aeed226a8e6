#include "requests.h"

#include "log.h"
#include "process_state.h"

#include <devctl.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

namespace {

int send_request(int fd, dorvane_command command, void* record, size_t size) {
    const devctl_command& cmd = DEVCTL_COMMANDS[command];
    const int result = devctl(fd, static_cast<int>(cmd.code), record, size, nullptr);
    if (result != EOK) {
        log_error("%s:  devctl( %s ) failed: %s", tool_name, cmd.name, strerror(errno));
    }
    return result;
}

// After a refused -f, path_text holds an earlier or empty text: a request
// carrying it would name another path than the one asked for, as a cut one
// would. Says so and tells the caller not to send.
bool path_was_refused(const tool_options& options, dorvane_command command) {
    if (options.path_refused) {
        log_error("%s:  %s not sent: a -f path was refused \n", tool_name,
                  DEVCTL_COMMANDS[command].name);
    }
    return options.path_refused;
}

} // namespace

int send_enable_disable(const tool_options& options) {
    if (path_was_refused(options, CMD_ENABLE_DISABLE)) {
        return 0;
    }
    enable_disable_record record{
        options.opt_a, options.opt_b, options.opt_c, options.opt_d, {}, {}};
    // All 100 bytes as they stand, tail of an earlier longer -f included.
    memcpy(record.text, options.path_text, sizeof options.path_text);
    return send_request(debug_fd, CMD_ENABLE_DISABLE, &record, sizeof record);
}

int send_browser_select(const tool_options& options) {
    if (options.opt_x == 0) {
        if (path_was_refused(options, CMD_PATH_NAME)) {
            return 0;
        }
        path_name_record record{};
        // path_text always ends within its 100 bytes (a longer -f is refused)
        // and the record's text holds 264.
        // NOLINTNEXTLINE(clang-analyzer-security.insecureAPI.strcpy)
        strcpy(record.text, options.path_text);
        return send_request(debug_fd, CMD_PATH_NAME, &record, sizeof record);
    }
    if (options.opt_x == 1) {
        path_id_record record{options.opt_y, {}};
        return send_request(debug_fd, CMD_PATH_ID, &record, sizeof record);
    }
    log_error("%s:  invalid parameter x:%d \n", tool_name,
              static_cast<std::int32_t>(options.opt_x));
    return 0;
}

int send_direct_connect(const tool_options& options) {
    log_error("%s:  direct connect called: %s", tool_name, strerror(errno));
    direct_connect_record record{options.opt_z, options.opt_S, options.opt_s, options.source};
    return send_request(debug_fd, CMD_DIRECT_CONNECT, &record, sizeof record);
}

int send_source_request(const tool_options& options) {
    if (options.source > 3) {
        printf("%s:  Incorrect source parameter! \n", tool_name);
        return 0;
    }
    if (options.source <= 1) {
        connect_and_fade_record record{options.opt_z, options.source, options.opt_S, options.opt_s};
        return send_request(debug_fd, CMD_CONNECT_AND_FADE, &record, sizeof record);
    }
    if (a2i_path == nullptr) {
        // Without -p, a2i_fd's 0 is standard input, not the second service.
        // With standard input closed a -p device may itself be descriptor 0.
        log_error("%s:  no -p device given for source %u \n", tool_name,
                  static_cast<unsigned>(options.source));
        return 0;
    }
    pause_resume_record record{options.source == 3 ? 1u : 0u};
    return send_request(a2i_fd, CMD_PAUSE_RESUME, &record, sizeof record);
}
