/* Preloaded into the installer by bench/extract: at exit, appends the process's peak resident set
 * size (VmHWM, in kB) to the file named by SONARIS_HWM_FILE. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char hwm_file[4096];

__attribute__((constructor)) static void hwm_start(void) {
    const char *file = getenv("SONARIS_HWM_FILE");
    if (file) snprintf(hwm_file, sizeof hwm_file, "%s", file);
    /* Measure this process only, not the shell, gunzip and tar it starts. */
    unsetenv("LD_PRELOAD");
}

__attribute__((destructor)) static void hwm_report(void) {
    if (!hwm_file[0]) return;
    FILE *status = fopen("/proc/self/status", "r");
    if (!status) return;
    char line[256];
    while (fgets(line, sizeof line, status)) {
        if (strncmp(line, "VmHWM:", 6) == 0) {
            FILE *out = fopen(hwm_file, "a");
            if (out) {
                fprintf(out, "%ld\n", strtol(line + 6, NULL, 10));
                fclose(out);
            }
            break;
        }
    }
    fclose(status);
}
