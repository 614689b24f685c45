// Framing throughput: encoding and decoding one reply frame, against a bare loop that only
// hex-decodes the same characters and sums them.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench_support.h"
#include "runtime/frame.h"

namespace {

const bench::CannedReplies& Replies() {
    static const bench::CannedReplies replies;
    return replies;
}

// The reply of polling step `step` (1..19); step 8 carries the largest INFO, 532 bytes.
const std::vector<uint8_t>& ReplyFrame(int step) {
    return Replies().frames[static_cast<std::size_t>(step - 1)];
}

void SetRates(benchmark::State& state, std::size_t frameBytes) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * frameBytes));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));  // frames
}

void BM_FrameEncode(benchmark::State& state) {
    const int step = static_cast<int>(state.range(0));
    const std::vector<uint8_t> info = rtmk48sim::UnitModel().Block(step);
    const auto& cmd = rtmk48sim::UnitModel::StepAt(step);
    std::vector<uint8_t> out(frame::kMaxFrame);
    std::size_t n = 0;
    for (auto _ : state) {
        n = frame::Encode(0x20, 0x01, cmd.cid1, 0x00, info.data(), info.size(), out.data(),
                          out.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    if (n != ReplyFrame(step).size()) state.SkipWithError("encoded frame has the wrong size");
    SetRates(state, n);
}
BENCHMARK(BM_FrameEncode)->Arg(8)->Arg(1)->ArgName("step");

void BM_FrameDecode(benchmark::State& state) {
    const std::vector<uint8_t>& f = ReplyFrame(static_cast<int>(state.range(0)));
    frame::Decoder decoder;
    frame::Decoder::Event event = frame::Decoder::Event::kNone;
    for (auto _ : state) {
        decoder.Feed(f.data(), f.size(), event);
        benchmark::DoNotOptimize(decoder.LastFrame().info.data());
        benchmark::ClobberMemory();
    }
    if (event != frame::Decoder::Event::kFrame) state.SkipWithError("frame not decoded");
    SetRates(state, f.size());
}
BENCHMARK(BM_FrameDecode)->Arg(8)->Arg(1)->ArgName("step");

// The floor of decoding: every character between SOI and EOI summed, INFO pairs turned into
// bytes, with no validation and no state.
void BM_HexDecodeSumBaseline(benchmark::State& state) {
    const std::vector<uint8_t>& f = ReplyFrame(static_cast<int>(state.range(0)));
    uint8_t out[frame::kMaxInfoBytes];
    const std::size_t infoChars = f.size() - frame::kMinFrame;
    uint16_t sum = 0;
    for (auto _ : state) {
        sum = 0;
        const uint8_t* p = f.data() + 1;
        for (std::size_t i = 0; i < f.size() - 6; ++i) sum = static_cast<uint16_t>(sum + p[i]);
        const uint8_t* info = f.data() + 1 + frame::kHeaderChars;
        for (std::size_t i = 0; i < infoChars / 2; ++i) {
            const uint8_t hi = info[2 * i], lo = info[2 * i + 1];
            out[i] = static_cast<uint8_t>((hi <= '9' ? hi - '0' : hi - 'A' + 10) << 4 |
                                          (lo <= '9' ? lo - '0' : lo - 'A' + 10));
        }
        benchmark::DoNotOptimize(out);
        benchmark::DoNotOptimize(sum);
        benchmark::ClobberMemory();
    }
    if (static_cast<uint16_t>(sum + frame::Checksum(f.data() + 1, f.size() - 6)) != 0)
        state.SkipWithError("baseline sum disagrees with the frame's checksum");
    SetRates(state, f.size());
}
BENCHMARK(BM_HexDecodeSumBaseline)->Arg(8)->Arg(1)->ArgName("step");

}  // namespace
