/* A Windows host program that loads VELTRA.dll with LoadLibraryA, as a
 * point-of-sale program would, finds every declared export by its plain name
 * and checks what loading, calling and unloading do. It runs from its own
 * directory, so the trace log beside it is its own.
 * Usage: load_host PATH-TO-VELTRA.dll     Exit code 0 when every check holds. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "veltra.h"
#include "veltra_exports.h" /* VELTRA_EXPORT_NAMES, generated from veltra.h */

typedef char*(ECR_CALL* get_ver_fn)(char*);
typedef char*(ECR_CALL* get_err_fn)(int32_t, char*);
typedef int32_t(ECR_CALL* ping_fn)(const char*, int32_t);

static int failures = 0;
static int passed = 0;

static void check(int ok, const char* what) {
    if (ok) {
        ++passed;
    } else {
        ++failures;
        printf("FAIL %s\n", what);
    }
}

static void beside_me(char* path, const char* name) {
    DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH);
    char* sep = path + n;
    while (sep > path && *sep != '\\') --sep;
    strcpy(sep + 1, name);
}

static int file_contains(const char* path, const char* text) {
    static char buf[65536];
    FILE* f = fopen(path, "rb");
    size_t n;
    if (f == NULL) return 0;
    n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    return strstr(buf, text) != NULL;
}

int main(int argc, char** argv) {
    static const char* const names[] = {VELTRA_EXPORT_NAMES};
    char log[MAX_PATH + 16];
    char ver[ECR_VER_BUFSIZE];
    char err[ECR_ERR_BUFSIZE];
    HMODULE lib;
    size_t i;
    FILE* stale;

    if (argc < 2) return 2;
    beside_me(log, "ecrlog.txt");
    stale = fopen(log, "w");
    if (stale != NULL) {
        fputs("left by an earlier run\n", stale);
        fclose(stale);
    }
    SetEnvironmentVariableA("ECR_TRACE", "1");

    lib = LoadLibraryA(argv[1]);
    check(lib != NULL, "LoadLibraryA");
    if (lib == NULL) return 1;
    check(!file_contains(log, "earlier run"), "load deletes the old ecrlog.txt");
    check(file_contains(log, "DllMain -- versione='VELTRA V1.8 del 16/12/2014'\r\n"),
          "version line, ended CR LF");
    check(file_contains(log, "DllMain -- PROCESS_ATTACH: hInst='0x"), "attach line");
    check(file_contains(log, "esito_sock='0'"), "the socket library started");

    for (i = 0; i < sizeof names / sizeof names[0]; ++i) {
        int found = GetProcAddress(lib, names[i]) != NULL;
        if (!found) printf("missing export %s\n", names[i]);
        check(found, "every declared export found by plain name");
    }

    {
        get_ver_fn get_ver = (get_ver_fn)(void (*)(void))GetProcAddress(lib, "ecr_get_ver");
        get_err_fn get_err = (get_err_fn)(void (*)(void))GetProcAddress(lib, "ecr_get_err");
        ping_fn ping = (ping_fn)(void (*)(void))GetProcAddress(lib, "ecr_ping");
        if (get_ver != NULL && get_err != NULL && ping != NULL) {
            check(get_ver(ver) == ver && strcmp(ver, "VELTRA V1.8 del 16/12/2014") == 0,
                  "ecr_get_ver");
            check(strcmp(get_err(-26, err), "ECR_ERR_DATI_CASSA_NOT_SUPP") == 0, "ecr_get_err");
            check(ping("0.0.0.0", 1) == ERR_INVALID_IP_ADDRESS, "ecr_ping 0.0.0.0");
            check(ping("127.0.0.1", 1) == 0, "ecr_ping 127.0.0.1");
        }
    }
    check(file_contains(log, "ecr_ping -- end  : esito='0'\r\n"), "ping's end line");

    check(FreeLibrary(lib) != 0, "FreeLibrary");
    check(file_contains(log, "DllMain -- PROCESS_DETACH: hInst='0x"), "detach line");
    check(file_contains(log, "esito_sock='-1'"), "the socket library released");

    printf("%d passed, %d failed\n", passed, failures);
    return failures == 0 ? 0 : 1;
}
