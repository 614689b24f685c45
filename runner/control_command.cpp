// The control subcommand: one request to a running host over its control socket, and the wait
// for the unit's answer.
#include "runner/control_command.h"

#include <chrono>
#include <ostream>
#include <string>
#include <thread>

#include <json/reader.h>
#include <json/writer.h>

#include "runner/control_channel.h"
#include "runner/site_config.h"

namespace po = boost::program_options;

const char* const kControlCodes = R"(Control codes (smdhost control --code N):
  100   remote command D41001 to the unit (no input)
  102   remote command D41101 to the unit (no input)
  106   set parameter D48001: --value N, 0..65535
  310   set a parameter by JSON: --request '{"signal_id":"D48001","SetValue":"5"}'
        ("D48001" or "D48101"); a value that is no number is refused (result -1)
  320   remote command by signal id: --request D41001 (settings mode 1) or
        --request '{"signal_id":"D41001"}' (other modes)
  801   the signal-value document as JSON text (answered at once, even mid-round)
  0     (or any code not listed) the result of the last command: 1 the unit answered,
        -1 outstanding or refused
  803 hands out a memory address and is not served over the channel.
A command (100, 102, 106, 310, 320) waits for the polling round in progress, goes out, and
is answered once the unit's reply or its time-out settled it; "sent" says whether it went
out. --wait also waits (default 10 s) until the unit's result is 1. Exit status: 0 carried
out, 1 refused, not sent, not answered in time or the host unreachable, 2 bad arguments.
)";

int ControlCommand(const po::variables_map& vm, std::ostream& out, std::ostream& err) {
    std::string socket;
    if (vm.count("socket")) {
        socket = vm["socket"].as<std::string>();
    } else if (vm.count("site")) {
        socket = LoadControlSocket(vm["site"].as<std::string>());
        if (socket.empty()) {
            err << "smdhost control: the site file names no controlSocket\n";
            return 2;
        }
    } else {
        err << "smdhost control: give --site FILE or --socket PATH\n";
        return 2;
    }
    if (!vm.count("device") || !vm.count("code")) {
        err << "smdhost control: give --device ID and --code N\n";
        return 2;
    }
    if (vm.count("request") && vm.count("value")) {
        err << "smdhost control: give --request or --value, not both\n";
        return 2;
    }
    Json::Value req;
    req["device"] = vm["device"].as<unsigned int>();
    req["code"] = vm["code"].as<int>();
    if (vm.count("request")) req["request"] = vm["request"].as<std::string>();
    if (vm.count("value")) req["value"] = vm["value"].as<int>();
    req["outLen"] = vm["out-len"].as<int>();
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    w["emitUTF8"] = true;
    auto call = [&](const Json::Value& request) {
        Json::Value v;
        Json::Reader().parse(ControlCall(socket, Json::writeString(w, request), 60000), v);
        return v;
    };
    Json::Value v = call(req);
    if (v.isMember("error")) {
        err << "smdhost control: " << v["error"].asString() << "\n";
        return 1;
    }
    // The unit's answer to a command: its result (code 0 reads it) turns 1 when the reply came.
    const bool command = v.isMember("sent");
    if (command && v["sent"].asBool() && vm.count("wait")) {
        const int seconds = vm["wait"].as<int>();
        Json::Value ask;
        ask["device"] = req["device"];
        ask["code"] = 0;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        // The command went out: its answer is printed even when the host is gone meanwhile.
        try {
            Json::Value result = call(ask);
            while (result["value"].asInt() != 1 && !result.isMember("error") &&
                   std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                result = call(ask);
            }
            v["unitResult"] =
                result.isMember("error") ? Json::Value(result["error"]) : result["value"];
        } catch (const ControlError& e) {
            v["unitResult"] = e.what();
        }
    }
    w["indentation"] = "  ";
    out << Json::writeString(w, v) << "\n";
    if (v["result"].asInt() != 0) {
        err << "smdhost control: the device refused the request (result " << v["result"].asInt()
            << ")\n";
        return 1;
    }
    if (command && !v["sent"].asBool()) {
        err << "smdhost control: nothing was sent to the unit (unknown signal id or bad "
               "value)\n";
        return 1;
    }
    if (v.isMember("unitResult") && v["unitResult"] != Json::Value(1)) {
        err << "smdhost control: the unit did not answer the command within "
            << vm["wait"].as<int>() << " s\n";
        return 1;
    }
    return 0;
}
