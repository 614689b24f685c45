// Every seed and every kept fuzz input through the fuzz targets' own bodies, in the ordinary
// suite (and so on every build, sanitized or cross-compiled). A broken invariant aborts the
// program, which fails the test.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fuzz/fuzz_targets.h"

namespace {

namespace fs = std::filesystem;

// The files of fuzz/corpus/<target>/ and fuzz/regressions/<target>/, in name order.
std::vector<fs::path> Inputs(const std::string& target) {
    std::vector<fs::path> out;
    for (const char* kind : {"corpus", "regressions"}) {
        const fs::path dir = fs::path(SMD_SOURCE_DIR) / "fuzz" / kind / target;
        if (!fs::is_directory(dir)) continue;
        for (const auto& e : fs::directory_iterator(dir))
            if (e.is_regular_file()) out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<uint8_t> Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

using Target = int (*)(const uint8_t*, std::size_t);

void Replay(const std::string& target, Target fn, std::size_t minSeeds) {
    smdfuzz::QuietStdout();
    const auto inputs = Inputs(target);
    // The seeds are part of the repository: an empty list means the files went missing.
    ASSERT_GE(inputs.size(), minSeeds) << target;
    for (const auto& p : inputs) {
        SCOPED_TRACE(p.string());
        const auto bytes = Read(p);
        EXPECT_EQ(fn(bytes.data(), bytes.size()), 0);
    }
}

TEST(FuzzRegressions, Decoder) {
    Replay("decoder", smdfuzz::Decoder, 7);
}
TEST(FuzzRegressions, DeviceReplies) {
    Replay("device_replies", smdfuzz::DeviceReplies, 9);
}
TEST(FuzzRegressions, IoControl) {
    Replay("io_control", smdfuzz::IoControl, 7);
}
TEST(FuzzRegressions, InitSetting) {
    Replay("init_setting", smdfuzz::InitSetting, 7);
}

}  // namespace
