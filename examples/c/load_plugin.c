/* A program that links nothing of the library and loads a plugin that logs:
 *   cc load_plugin.c -ldl -o load_plugin && ./load_plugin ./plugin.so */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char* argv[]) {
    void* plugin;
    void* symbol;
    int (*plugin_run)(int);
    if (argc != 2) {
        fputs("usage: load_plugin PLUGIN\n", stderr);
        return 2;
    }
    plugin = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    symbol = plugin != NULL ? dlsym(plugin, "plugin_run") : NULL;
    if (symbol == NULL) {
        fprintf(stderr, "load_plugin: %s\n", dlerror());
        return 1;
    }
    /* ISO C has no conversion from an object pointer to a function pointer. */
    memcpy(&plugin_run, &symbol, sizeof plugin_run);
    return plugin_run(1);
}
