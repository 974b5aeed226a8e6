/* A shared object (a plugin, or a shared library of a program) writing to the
 * system log through the installed library:
 *   cc -shared -fPIC plugin.c $(pkg-config --cflags --libs slog) -o plugin.so
 * load_plugin.c loads it and calls plugin_run. */
#include <slog/log.h>
#include <slog/slog.h>

int plugin_run(int round);

int plugin_run(int round) {
    log_info("plugin round %d", round);
    return slogf(20005, LOG_SEVERITY_INFO, "sent from a shared object") == -1;
}
