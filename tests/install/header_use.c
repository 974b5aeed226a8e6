/* One installed header, named by SLOG_HEADER, as a program in any C or C++
 * dialect uses it: every constant in an expression, and an assert of the
 * program's own that the header must leave alone. Exits 0 when both hold. */
static int failed_checks = 0;
#define assert(condition) ((void)(failed_checks += !(condition)))

#include SLOG_HEADER
#include <string.h>

static int constants_as_callers_use_them(const char* text) {
    slog_msg_header header;
    slog_record_header record;
    int ok = strlen(text) < SLOG_TEXT_MAX && sizeof header == 16 && sizeof record == 12;
    ok = ok && SLOG_SIDE_CHANNEL == 0x40000000 && SLOG_MSG_WRITE == 0x102 && SLOG_MSG_SIDE == 2;
    ok = ok && (SLOG_TEXT_FLAG & 8) != 0 && SLOG_INTS_MAX == 32;
    ok = ok && SLOG_STACK_PLENTY > SLOG_TEXT_MAX + SLOG_STACK_HEADROOM;
#ifdef SLOG_LOG_H
    ok = ok && LOG_CODE_TEXT == 20001 && LOG_CODE_STARTED == 0x00104E21;
    ok = ok && LOG_CODE_TERMINATED == 0x00204E21 && LOG_SEVERITY_ERROR < LOG_SEVERITY_WARNING;
    ok = ok && LOG_SEVERITY_INFO < LOG_SEVERITY_DEBUG;
#endif
    return ok;
}

int main(void) {
    assert(0); /* counted here, never an abort */
    return failed_checks == 1 && constants_as_callers_use_them(SLOG_DEVICE) ? 0 : 1;
}
