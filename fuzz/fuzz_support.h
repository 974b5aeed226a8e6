// The system-log messages the fake platform recorded, each checked on the way
// out as the logger would read it.
#pragma once

#include "fake_platform.h"
#include "fuzz_check.h"

#include <string>
#include <vector>

// Every message sent since the last fake_reset(), in order. Each one has its
// 16-byte header as the first part, the type that matches its connection, a
// byte count equal to the bytes behind the header, and a whole record header.
std::vector<sent_message> checked_messages();

// The text of a text record: the severity word carries the text flag, and the
// text ends in its only zero within SLOG_TEXT_MAX bytes.
std::string checked_text(const sent_message& message);
