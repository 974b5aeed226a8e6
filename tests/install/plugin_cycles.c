/* Loads a plugin that logs, runs it and unloads it, COUNT times over, and
 * prints how many descriptors the process had open before and after. */
#include <dirent.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int open_descriptors(void) {
    int count = 0;
    DIR* fds = opendir("/proc/self/fd");
    if (fds == NULL)
        return -1;
    while (readdir(fds) != NULL)
        ++count;
    closedir(fds);
    return count - 3; /* ".", ".." and the directory's own */
}

int main(int argc, char* argv[]) {
    int before, round, rounds;
    if (argc != 3) {
        fputs("usage: plugin_cycles PLUGIN COUNT\n", stderr);
        return 2;
    }
    rounds = atoi(argv[2]);
    before = open_descriptors();
    for (round = 1; round <= rounds; ++round) {
        void* plugin = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
        void* symbol = plugin != NULL ? dlsym(plugin, "plugin_run") : NULL;
        int (*plugin_run)(int);
        if (symbol == NULL) {
            fprintf(stderr, "plugin_cycles: %s\n", dlerror());
            return 1;
        }
        memcpy(&plugin_run, &symbol, sizeof plugin_run);
        if (plugin_run(round) != 0 || dlclose(plugin) != 0)
            return 1;
    }
    printf("descriptors before %d after %d\n", before, open_descriptors());
    return 0;
}
