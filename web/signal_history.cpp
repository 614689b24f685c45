#include "web/signal_history.h"

#include <algorithm>

#include "history/history_reader.h"

std::vector<HistoryPoint> Downsample(const std::vector<HistoryPoint>& in, std::size_t points) {
    if (points == 0) return {};
    if (in.size() <= points) return in;
    std::vector<HistoryPoint> out;
    out.reserve(points);
    for (std::size_t k = 0; k < points; ++k) {
        // Run k covers [k*n/points, (k+1)*n/points): lengths differ by at most one.
        const std::size_t begin = k * in.size() / points;
        const std::size_t end = (k + 1) * in.size() / points;
        HistoryPoint p;
        p.min = in[begin].value;
        p.max = in[begin].value;
        double sum = 0;
        double at = 0;
        for (std::size_t i = begin; i < end; ++i) {
            sum += in[i].value;
            at += static_cast<double>(in[i].atMs - in[begin].atMs);
            p.min = std::min(p.min, in[i].value);
            p.max = std::max(p.max, in[i].value);
        }
        p.samples = end - begin;
        p.value = sum / static_cast<double>(p.samples);
        p.atMs = in[begin].atMs + static_cast<int64_t>(at / static_cast<double>(p.samples) + 0.5);
        out.push_back(p);
    }
    return out;
}

SignalHistory::SignalHistory(std::string databasePath) : path_(std::move(databasePath)) {}

SignalHistory::~SignalHistory() = default;

std::vector<HistoryPoint> SignalHistory::Query(unsigned int dataId, const SignalField& signal,
                                               WallTime from, WallTime to, std::size_t points) {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<StoredRecord> rows;
    try {
        // Opened for each query: a long-lived read-only connection beside the writer came back
        // empty-handed after the writer moved on (seen under TSan's timing).
        const HistoryReader reader(path_);
        rows = reader.Records(dataId, TimeRange{history::ToMs(from), history::ToMs(to)},
                              HistoryReader::kAll);
    } catch (const StoreError& e) {
        throw HistoryQueryError(e.what());
    }
    std::vector<HistoryPoint> samples;
    samples.reserve(rows.size());
    for (const StoredRecord& r : rows) {
        if (signal.offset + static_cast<std::size_t>(signal.width) > r.bytes.size()) continue;
        const double v = SignalMap::Decode(signal, r.bytes.data());
        samples.push_back(HistoryPoint{history::ToMs(r.storedAt), v, v, v, 1});
    }
    return Downsample(samples, points);
}
