#include <slog/log.h>

#include <string>

int main(int argc, char* argv[]) {
    const std::string who = argc > 1 ? argv[1] : "world";
    log_info("hello, %s", who.c_str());
    log_error("%zu characters in the name", who.size());
    return 0;
}
