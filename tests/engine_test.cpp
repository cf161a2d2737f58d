// The extraction engine in process, with no toolkit linked: a payload read once from the installer
// file and installed whole by the real gunzip and tar, and a refused one reported with its reason.
#include <gtest/gtest.h>

#include "installer/engine.h"
#include "tests/fixtures.h"
#include "tests/tar_support.h"

#include <unistd.h>

#include <fstream>
#include <string>

using namespace fixtures;
using namespace tarfile;

namespace {

// Returns the bytes this thread has read through read(2) and its kin so far.
std::uint64_t BytesRead() {
    std::ifstream io("/proc/thread-self/io");  // not the reaped pipeline's
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value)
        if (key == "rchar:") return value;
    return 0;
}

// Runs the extraction of `payload` into `dest`, from a directory it returns to; the turns' last
// count in `taken`.
bool RunExtraction(Extraction &extraction, const TempDir &tmp, const std::string &payload, const std::string &dest,
                   std::uint64_t &taken, std::uint64_t &read) {
    WriteFile(tmp / "installer", InstallerBytes(payload), 0755);
    char here[4096];
    EXPECT_NE(getcwd(here, sizeof here), nullptr);
    CopyWindow window;
    window.context = &taken;
    window.turn = [](void *context, std::uint64_t t) { *static_cast<std::uint64_t *>(context) = t; };
    bool ok = extraction.Open((tmp / "installer").c_str());
    EXPECT_TRUE(ok);
    EXPECT_EQ(extraction.length(), payload.size());
    const std::uint64_t before = BytesRead();
    ok = ok && extraction.Run(dest.c_str(), window);
    read = BytesRead() - before;
    EXPECT_EQ(chdir(here), 0);
    return ok;
}

TEST(Engine, InstallsAPayloadReadOnceAndReportsARefusedOne) {
    TempDir tmp;
    const std::string noise = RandomBytes(5 << 20, 3);
    {
        SCOPED_TRACE("sound");
        const std::string payload =
            Gzip(TarArchive({Dir("./"), Dir("./lib/"), tarfile::File("./noise", noise), Launcher("#!/bin/sh\n")}));
        Extraction extraction;
        std::uint64_t taken = 0, read = 0;
        EXPECT_TRUE(RunExtraction(extraction, tmp, payload, tmp / "sound", taken, read));
        EXPECT_EQ(extraction.fault(), Extraction::Fault::Nothing);
        EXPECT_EQ(taken, payload.size());
        EXPECT_TRUE(ReadFile(tmp / "sound/noise") == noise);
        // Each payload byte once; what else is read (the destination's listing) is small.
        EXPECT_GE(read, payload.size());
        EXPECT_LT(read, payload.size() + (64 << 10));
    }
    {
        SCOPED_TRACE("refused");
        const std::string payload =
            Gzip(TarArchive({Dir("./"), tarfile::File("./noise", noise), Symlink("./link", "/etc"), Launcher("#!/bin/sh\n")}));
        Extraction extraction;
        std::uint64_t taken = 0, read = 0;
        EXPECT_FALSE(RunExtraction(extraction, tmp, payload, tmp / "refused", taken, read));
        EXPECT_EQ(extraction.fault(), Extraction::Fault::Damaged);
        EXPECT_NE(extraction.reason().find("./link"), std::string::npos) << extraction.reason();
        EXPECT_FALSE(Exists(tmp / "refused/link"));
        EXPECT_FALSE(Exists(tmp / "refused/sonaris"));
    }
}

}  // namespace
