#include "runner/cli.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <json/reader.h>
#include <json/writer.h>
#include <boost/program_options.hpp>

#include "core/host.h"
#include "core/json_check.h"
#include "core/logger.h"
#include "core/signal_map.h"
#include "history/history_sink.h"
#include "history/views.h"
#include "mqtt/forwarder.h"
#include "runner/control_channel.h"
#include "runner/control_command.h"
#include "runner/demo.h"
#include "runner/install_dirs.h"
#include "runner/service_notify.h"
#include "runner/signals.h"
#include "runner/simulated_line.h"
#include "runner/site_config.h"
#include "snmp/snmp_sink.h"
#include "tsdb/tsdb_forwarder.h"
#include "web/web_view.h"

namespace po = boost::program_options;

namespace {

const char* const kUsage = R"(usage:
  smdhost --site FILE [--rounds N]      run the devices of a site until SIGINT or SIGTERM;
                                        SIGHUP reads FILE again
  smdhost --site FILE --check           read the site file and exit (status 2 when it fails)
  smdhost --demo [--rounds N]           run the built-in demonstration
  smdhost history (--site FILE | --db FILE) --device ID [--signal NAME] [--since T]
                  [--until T] [--limit N] [--format table|json|csv] [--record ROW]
                                        a device's records decoded, its alarm events and
                                        analog reports (history --help for more)
  smdhost alarms (--site FILE | --db FILE) [--device ID] [--active] [--format ...]
                                        alarm events, or the alarms standing now
  smdhost control (--site FILE | --socket PATH) --device ID --code N
                  [--request TEXT | --value N] [--out-len N] [--wait [SECONDS]]
                                        send one control request to a running host; exits
                                        0 only when it was carried out
)";

// The demo takes the plug-in from the plug-in directory and the model file and signal map from
// the data directory (SMDHOST_DATA_DIR in a source tree), else from the working directory.
SiteConfig Demo() {
    std::string data = DataDir();
    if (!std::filesystem::exists(data + "/ini/rtmk48_pv05.ini")) data = ".";
    return DemoSite(PluginDir() + "/rtmk48_pv05.so", data);
}

// The journal reads a "<3>" at the start of a line on its stream as priority err.
const char* ErrorPrefix(const std::ostream& err) {
    return &err == &std::cerr && IsJournalStream(STDERR_FILENO) ? "<3>" : "";
}

// The journal takes each line of the stream as an entry of its own: the reason after a line
// break (e.g. a JSON parser's) would lose the err priority.
std::string OneLine(std::string text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\n') {
            out += text[i];
            continue;
        }
        while (i + 1 < text.size() && (text[i + 1] == ' ' || text[i + 1] == '\n')) ++i;
        if (i + 1 < text.size()) out += ' ';
    }
    return out;
}

// Errors leave to RunSmdhost, which turns them into messages and exit statuses.
int RunSite(SiteConfig site, std::ostream& out, bool demo = false) {
    const std::string file = site.file;
    // Declared before the page, which reads its figures until it stops.
    std::unique_ptr<MqttForwarder> forwarder;
    std::unique_ptr<TsdbForwarder> tsdb;
    std::unique_ptr<SnmpSink> snmp;
    std::unique_ptr<WebView> web;
    // The page's files: the package's, else those under SMDHOST_DATA_DIR (a source tree).
    if (site.web.enabled)
        web = std::make_unique<WebView>(site.web, site.file, site.database, ExeDir(), DataDir());
    const std::optional<MqttConfig> mqtt = site.mqtt;
    const std::optional<SnmpConfig> snmpConfig = site.snmp;
    const std::optional<TsdbConfig> tsdbConfig = site.tsdb;
    const std::string database = site.database;
    const HistoryOptions historyOptions = HistoryOptionsFrom(site.history);
    std::set<unsigned int> siteDevices;
    for (const auto& d : site.devices) siteDevices.insert(d.dataId);
    const std::string controlSocket = site.controlSocket;
    ControlServer::Options controlOptions;
    controlOptions.group = site.controlGroup;
    Host host(std::move(site), out);
    host.SetSimulator(SimulatorLines());
    // Under systemd the host's lines go to the journal with their priorities and fields.
    if (&out == &std::cout && IsJournalStream(STDOUT_FILENO))
        host.Log().SetBackend([&out](Priority p, const std::string& text, const LogFields& f) {
            if (!SendToJournal(p, text, f)) out << text << std::endl;
        });
    // The loop turns at least once a second: tell the watchdog at half its interval.
    if (const auto interval = service::WatchdogInterval(); interval.count() > 0)
        host.SetTurnHook([interval, next = std::chrono::steady_clock::time_point()]() mutable {
            const auto now = std::chrono::steady_clock::now();
            if (now < next) return;
            service::Alive();
            next = now + interval / 2;
        });
    // The host opens it at start, after its control socket and before any device.
    HistorySink history(database, historyOptions, host.Log());
    history.SiteDevices(siteDevices);
    history.OnStoreFault([file](const std::string& fault) {
        service::Status("running " + file +
                        (fault.empty() ? "" : "; history not stored: " + fault));
    });
    host.AddSink(history);
    host.SetRecall(history);
    if (mqtt) {
        forwarder = std::make_unique<MqttForwarder>(*mqtt, database, host.Log());
        host.AddSink(*forwarder);
        history.AddCompanion(forwarder->Companion());
    }
    if (tsdbConfig) {
        tsdb = std::make_unique<TsdbForwarder>(*tsdbConfig, database, host.Log());
        host.AddSink(*tsdb);
        history.AddCompanion(tsdb->Companion());
    }
    if (snmpConfig) {
        snmp = std::make_unique<SnmpSink>(*snmpConfig, host.Log());
        host.AddSink(*snmp);
    }
    // Should the run end in an error, the senders and the SNMP subagent, whose threads log, stop
    // while the host's logger still exists.
    struct StopThreads {
        std::vector<Sink*> sinks;
        ~StopThreads() {
            for (Sink* s : sinks)
                if (s) s->Drain(std::chrono::milliseconds(0));
        }
    } stopThreads{{forwarder.get(), tsdb.get(), snmp.get()}};
    // Signals blocked before any host thread exists, so only the waiter takes them.
    Signals signals(host, demo ? std::string() : file, mqtt, [&history] { history.StopWaiting(); });
    if (web) host.AddSink(web->Live());
    // The socket first: a second host on a running site is turned away here, before it has
    // touched the store or any device (a device's start may store its cached record). It goes
    // before the host does, so no client waits on a host that is gone.
    std::unique_ptr<ControlServer> control;
    if (!controlSocket.empty()) {
        // What the operator must fix in the site file, before a socket is tried.
        const std::string problem = ControlSocketProblem(controlSocket);
        if (!problem.empty()) throw ConfigError(file + ": controlSocket: " + problem);
        try {
            control = std::make_unique<ControlServer>(
                controlSocket, [&host](const ControlRequest& r) { return host.Control(r); },
                controlOptions);
        } catch (const ControlError& e) {
            throw HostError(e.what());
        }
        host.Log().Write(Priority::kInfo, "control channel on " + controlSocket);
    }
    if (web) {
        // Before any device starts: a port in use is the site file's to fix. The demo's page
        // takes any free port when its usual one is taken.
        try {
            web->Serve(host.Sinks(), demo);
        } catch (const WebError& e) {
            throw ConfigError(file + ": web.port: " + e.what());
        }
        host.Log().Write(Priority::kNotice, "status page on " + web->Url());
    }
    host.Start();
    signals.Started();
    // A stop during start-up: nothing more is set up, and Run returns at once.
    if (!signals.Stopping()) {
        if (forwarder) forwarder->Start();
        if (tsdb) tsdb->Start();
        if (snmp) snmp->Start();
    }
    service::Ready("running " + file);
    host.Run();
    control.reset();
    service::Stopping();
    if (web) web->Stop();
    if (forwarder) forwarder->Drain(std::chrono::seconds(2));
    if (tsdb) tsdb->Drain(std::chrono::seconds(2));
    if (snmp) snmp->Drain(std::chrono::seconds(0));
    host.PrintSummary();
    // A plug-in's load or the SNMP library's wait still runs, cut short by the stop: an orderly
    // exit would wait for it (or free what it uses). All is stored and said by now.
    if (host.LoadLeftRunning() || (snmp && snmp->LeftRunning())) {
        out.flush();
        std::cerr.flush();
        std::fflush(nullptr);
        std::_Exit(0);
    }
    return 0;
}

}  // namespace

int RunSmdhost(int argc, char** argv, std::ostream& out, std::ostream& err) {
    // The history views read only and parse their own options.
    if (argc > 1 && (std::strcmp(argv[1], "history") == 0 || std::strcmp(argv[1], "alarms") == 0)) {
        const std::vector<std::string> args(argv + 2, argv + argc);
        return std::strcmp(argv[1], "history") == 0 ? HistoryCommand(args, out, err)
                                                    : AlarmsCommand(args, out, err);
    }
    std::string command;
    if (argc > 1 && std::strcmp(argv[1], "control") == 0) command = argv[1];

    po::options_description run("Running a site");
    run.add_options()("help,h", "this text")("version", "print the version and exit")(
        "site", po::value<std::string>(), "site file (JSON)")("demo",
                                                              "run the built-in demonstration")(
        "check", "read the site file and exit: status 0 when it loads, 2 when not")(
        "rounds", po::value<int>(), "polling rounds per device, overriding the site file");
    po::options_description ctl("control");
    ctl.add_options()("socket", po::value<std::string>(), "control socket (instead of --site)")(
        "code", po::value<int>(), "control code")("request", po::value<std::string>(),
                                                  "request text, e.g. a JSON request or D41001")(
        "value", po::value<int>(), "16-bit value (code 106), sent in host byte order")(
        "out-len", po::value<int>()->default_value(4096), "size of the answer buffer")(
        "wait", po::value<int>()->implicit_value(10),
        "after a command, wait up to SECONDS for the unit's answer; fail unless its result is 1");
    po::options_description shared("control");
    shared.add_options()("device", po::value<unsigned int>(), "data id of the device");

    po::options_description all;
    all.add(run).add(shared).add(ctl);
    po::variables_map vm;
    try {
        const int skip = command.empty() ? 0 : 1;
        po::store(po::parse_command_line(argc - skip, argv + skip, all), vm);
        po::notify(vm);
    } catch (const po::error& e) {
        err << "smdhost: " << e.what() << "\n" << kUsage;
        return 2;
    }
    if (vm.count("help")) {
        out << kUsage << "\n"
            << run << "\n"
            << shared << "\n"
            << ctl << "\n"
            << kControlCodes << "\n"
            << SiteFileHelp() << MqttFileHelp() << TsdbFileHelp() << SnmpFileHelp()
            << "\nIn settings mode 1 the host checks analog values against limits by alarm id:\n"
               "each \"thresholdSetting\" rule gives its \"ID\" the limits \"LowValue\" and\n"
               "\"UpValue\"; the device's \"limits\" member adds to and overrides them.\n";
        return 0;
    }
    if (vm.count("version")) {
        out << VersionLine("smdhost") << "\n";
        return 0;
    }
    try {
        if (command == "control") return ControlCommand(vm, out, err);

        if (vm.count("site") == vm.count("demo")) {
            err << "smdhost: give --site FILE or --demo\n" << kUsage;
            return 2;
        }
        SiteConfig site = vm.count("demo") ? Demo() : LoadSiteConfig(vm["site"].as<std::string>());
        // The unit's ExecReload runs this first, so that a reload of a broken file fails: what
        // a reload reads is the site file and the signal maps.
        if (vm.count("check")) {
            for (const DeviceConfig& d : site.devices)
                if (!d.signalMap.empty()) SignalMap::Load(d.signalMap);
            return 0;
        }
        if (vm.count("rounds")) {
            if (vm["rounds"].as<int>() < 0) {
                err << "smdhost: --rounds must not be negative\n";
                return 2;
            }
            site.rounds = vm["rounds"].as<int>();
        }
        return RunSite(std::move(site), out, vm.count("demo") > 0);
    } catch (const ConfigError& e) {
        err << ErrorPrefix(err) << "smdhost: " << OneLine(e.what()) << std::endl;
        return 2;
    } catch (const std::exception& e) {
        err << ErrorPrefix(err) << "smdhost: " << OneLine(e.what()) << std::endl;
        return 1;
    }
}
