// The four request operations: each builds its record from the option set,
// sends at most one devctl request and returns 0 or the nonzero devctl result.
#pragma once

#include "tool_options.h"

int send_enable_disable(const tool_options& options);
int send_browser_select(const tool_options& options);
int send_direct_connect(const tool_options& options);
int send_source_request(const tool_options& options);
