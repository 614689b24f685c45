#include "runner/simulated_line.h"

#include "core/host_error.h"
#include "sim/simulator.h"

namespace {

class SimulatorLine : public SimulatedLine {
  public:
    explicit SimulatorLine(const DeviceConfig& c) {
        rtmk48sim::SimOptions options;
        options.keepLog = false;  // the host runs for months; nothing reads the log here
        sim_ = std::make_unique<rtmk48sim::Simulator>(options);
        std::string error;
        if (!sim_->Open(&error)) throw HostError("simulator: " + error);
        if (!c.simulation.isNull()) {
            bool ok = true;
            sim_->WithUnit(
                [&](rtmk48sim::UnitModel& unit) { ok = unit.LoadScenario(c.simulation, &error); });
            if (!ok) throw HostError("simulation scenario: " + error);
        }
        sim_->Start();
    }
    ~SimulatorLine() override { sim_->Close(); }
    std::string Path() const override { return sim_->SlavePath(); }

  private:
    std::unique_ptr<rtmk48sim::Simulator> sim_;
};

}  // namespace

SimulatedLineFactory SimulatorLines() {
    return [](const DeviceConfig& c) -> std::unique_ptr<SimulatedLine> {
        return std::make_unique<SimulatorLine>(c);
    };
}
