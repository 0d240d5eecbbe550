/* A host program that loads libveltra.so at run time, as a point-of-sale
 * program would, and calls it. Usage: load_host LIBRARY [HOST]
 * Prints the version, the name of ERR_TIMEOUT and the ping result. */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>

typedef char* (*get_ver_fn)(char*);
typedef char* (*get_err_fn)(int32_t, char*);
typedef int32_t (*ping_fn)(const char*, int32_t);

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (lib == NULL) {
        fprintf(stderr, "%s\n", dlerror());
        return 3;
    }
    get_ver_fn get_ver = (get_ver_fn)dlsym(lib, "ecr_get_ver");
    get_err_fn get_err = (get_err_fn)dlsym(lib, "ecr_get_err");
    ping_fn ping = (ping_fn)dlsym(lib, "ecr_ping");
    if (get_ver == NULL || get_err == NULL || ping == NULL) return 4;

    char ver[27];
    char err[32];
    printf("%s\n", get_ver(ver));
    printf("%s\n", get_err(-6, err));
    if (argc > 2) printf("%d\n", (int)ping(argv[2], 1));
    dlclose(lib);
    return 0;
}
