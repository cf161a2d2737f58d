// In-process tests of the installer window: building it as start-up does, and building it again in
// child processes under other environments.
#ifndef SONARIS_TESTS_WINDOW_SUPPORT_H
#define SONARIS_TESTS_WINDOW_SUPPORT_H

#include "tests/fixtures.h"

#include <X11/Intrinsic.h>

#include <functional>
#include <string>
#include <vector>

namespace windowtest {

// Builds the window from this command line, as start-up does (argv[0] names the installer file), and
// makes its application context the one xtoolkit pumps.
void Build(std::vector<std::string> args);

// Runs `report` in a child process (optionally as nobody, after `mounts` are made for it) and
// returns what it said. The child opens a display of its own; the parent's connection is never
// touched there.
std::string InChild(const std::function<std::string()> &report, bool unprivileged = false,
                    const std::vector<fixtures::Mount> &mounts = {});

// A label's text.
std::string Label(Widget w);
// The error dialog's message, or "" while it is hidden.
std::string ShownError();
// The destination field.
Widget DestinationField();
// From page 1: Finish pressed on page 2 with `destination` in the field, and the window's events
// handled after it.
void InstallInto(const std::string &destination);

}  // namespace windowtest

#endif
