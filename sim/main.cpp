// rtmk48sim: the simulated unit on a pseudo-terminal. Prints the terminal's path and answers
// until interrupted.
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>

#include <json/json.h>
#include <unistd.h>

#include "core/json_check.h"
#include "sim/simulator.h"

namespace {

volatile std::sig_atomic_t stop = 0;
void OnSignal(int) {
    stop = 1;
}

int Usage() {
    std::cerr
        << "usage: rtmk48sim [--version] [--link PATH] [--scenario FILE.json] [--baud N] [--pace]\n"
           "                 [--fault NAME[@STEP][xTIMES]]...\n"
           "faults: silence bad_chksum bad_lchksum rtn_error short_info long_info garbage\n"
           "        split late noise trickle duplicate\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    rtmk48sim::SimOptions options;
    std::string scenarioPath;
    std::vector<rtmk48sim::FaultTrigger> faults;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--version") {
            std::cout << "rtmk48sim " SMD_VERSION "\n";
            return 0;
        } else if (a == "--link" && hasValue) {
            options.link = argv[++i];
        } else if (a == "--scenario" && hasValue) {
            scenarioPath = argv[++i];
        } else if (a == "--baud" && hasValue) {
            options.baud = std::atoi(argv[++i]);
        } else if (a == "--pace") {
            options.pace = true;
        } else if (a == "--fault" && hasValue) {
            rtmk48sim::FaultTrigger t;
            if (!rtmk48sim::ParseTrigger(argv[++i], t)) {
                std::cerr << "rtmk48sim: bad fault " << argv[i] << "\n";
                return Usage();
            }
            faults.push_back(t);
        } else {
            return Usage();
        }
    }

    rtmk48sim::Simulator sim(options);
    if (!scenarioPath.empty()) {
        // Read as the host reads its files: a FIFO or device there is refused, not waited on.
        Json::Value scenario;
        try {
            scenario = JsonFile::Load(scenarioPath);
        } catch (const ConfigError& e) {
            std::cerr << "rtmk48sim: " << e.what() << "\n";
            return 1;
        }
        std::string error;
        bool ok = true;
        sim.WithUnit([&](rtmk48sim::UnitModel& u) { ok = u.LoadScenario(scenario, &error); });
        if (!ok) {
            std::cerr << "rtmk48sim: " << scenarioPath << ": " << error << "\n";
            return 1;
        }
    }
    for (const auto& f : faults) sim.Inject(f);

    std::string error;
    if (!sim.Open(&error)) {
        std::cerr << "rtmk48sim: " << error << "\n";
        return 1;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::cout << sim.SlavePath() << std::endl;
    sim.Start();
    while (!stop) ::pause();
    sim.Close();
    std::cerr << "rtmk48sim: " << sim.Commands() << " commands, " << sim.Replies() << " replies\n";
    return 0;
}
