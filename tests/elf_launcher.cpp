// A launcher that is a program, not a script, for the installer to execute by its descriptor: each
// run appends a record to $LAUNCHER_MARKER as fixtures::MarkerLauncher's do ("argv0", "args"), and
// exits with fixtures::kLauncherStatus.
#include "tests/fixtures.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv) {
    const char *marker = std::getenv("LAUNCHER_MARKER");
    std::FILE *out = marker ? std::fopen(marker, "a") : nullptr;
    if (out == nullptr) return 1;
    std::fprintf(out, "argv0=%s\nargs=", argv[0]);
    for (int i = 1; i < argc; ++i) std::fprintf(out, "%s%s", i > 1 ? " " : "", argv[i]);
    std::fprintf(out, "\nend\n");
    return std::fclose(out) == 0 ? fixtures::kLauncherStatus : 1;
}
