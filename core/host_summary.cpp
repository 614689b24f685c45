// The closing summary of a run: what every device did, and what every sink says of itself.
#include <sstream>

#include "core/host.h"

std::vector<DeviceSummary> Host::Summary() const {
    std::vector<DeviceSummary> out;
    for (const auto& s : sessions_) {
        DeviceSummary d;
        d.dataId = s->config.dataId;
        d.started = s->running;
        d.rounds = s->rounds;
        d.published = s->published;
        const StoreCount stored = recall_ ? recall_->Stored(s->config.dataId) : StoreCount{};
        d.stored = stored.records;
        d.raised = s->raised;
        d.cleared = s->cleared;
        d.errors = s->Errors();
        if (stored.notStored) d.errors["not stored"] = stored.notStored;
        out.push_back(std::move(d));
    }
    return out;
}

void Host::PrintSummary() const {
    DeviceSummary all;
    const auto per = Summary();
    for (const auto& d : per) {
        all.rounds += d.rounds;
        all.published += d.published;
        all.stored += d.stored;
        all.raised += d.raised;
        all.cleared += d.cleared;
        for (const auto& [k, n] : d.errors) all.errors[k] += n;
    }
    auto errors = [](const std::map<std::string, uint64_t>& e) {
        if (e.empty()) return std::string("none");
        std::string s;
        for (const auto& [k, n] : e) s += (s.empty() ? "" : ", ") + k + " " + std::to_string(n);
        return s;
    };
    Say("summary: " + std::to_string(all.rounds) + " rounds, " + std::to_string(all.published) +
        " records published, " + std::to_string(all.stored) + " records stored, " +
        std::to_string(all.raised) + " alarms raised, " + std::to_string(all.cleared) +
        " cleared; errors: " + errors(all.errors));
    if (per.size() > 1)
        for (const auto& d : per)
            Say("  device " + std::to_string(d.dataId) + (d.started ? "" : " (not started)") +
                ": " + std::to_string(d.rounds) + " rounds, " + std::to_string(d.stored) +
                " stored, " + std::to_string(d.raised) + " raised, " + std::to_string(d.cleared) +
                " cleared; errors: " + errors(d.errors));
    for (const Sink* sink : sinks_) {
        std::string figures;
        for (const auto& f : sink->Figures())
            figures += (figures.empty() ? "" : ", ") + f.name + " " + LogNumber(f.value);
        if (!figures.empty()) Say("  " + std::string(sink->Name()) + ": " + figures);
    }
}
