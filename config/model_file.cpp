// Model-file selection and the INI reader of sections "AI" and "ALARM".
#include "config/model_file.h"

#include <unistd.h>

#include <locale>

#include <boost/lexical_cast.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

namespace {

struct Candidate {
    const char* dir;
    bool byId;  // named after the data id, else after the device type
    const char* ext;
};

constexpr Candidate kCandidates[] = {
    {"./ini/", true, ".yaml"},         {"./ini/", true, ".ini"},
    {"./ini/", false, ".yaml"},        {"./ini/", false, ".ini"},
    {"./ini/zariza/", true, ".yaml"},  {"./ini/zariza/", true, ".ini"},
    {"./ini/zariza/", false, ".yaml"}, {"./ini/zariza/", false, ".ini"},
};

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::string FindModelFile(unsigned int dataId, const std::string& deviceType) {
    const std::string id = boost::lexical_cast<std::string>(dataId);
    for (const Candidate& c : kCandidates) {
        std::string path = std::string(c.dir) + (c.byId ? id : deviceType) + c.ext;
        if (access(path.c_str(), F_OK) == 0) return path;
    }
    return std::string();
}

std::pair<std::string, std::string> SplitAiValue(const std::string& value) {
    const std::size_t comma = value.find(',');
    if (comma == std::string::npos) return {value, value};
    return {value.substr(0, comma), value.substr(comma + 1)};
}

std::string AlarmIdOf(const std::string& value) {
    return value.substr(0, value.find(','));
}

void ReadIniModelFile(const std::string& path, AiSignalMap& ai, AlarmSignalIdMap& alarms,
                      std::ostream& log) {
    boost::property_tree::ptree tree;
    boost::property_tree::ini_parser::read_ini(path, tree, std::locale());
    for (const auto& [key, node] : tree.get_child("AI")) ai[key] = SplitAiValue(node.data());
    for (const auto& [key, node] : tree.get_child("ALARM")) {
        const std::string& id = alarms[key] = AlarmIdOf(node.data());
        log << "alarmSignalIdMap_ " << key << " : " << id << std::endl;
    }
}

void LoadModelFile(unsigned int dataId, const std::string& deviceType, AiSignalMap& ai,
                   AlarmSignalIdMap& alarms, std::ostream& log) {
    const std::string path = FindModelFile(dataId, deviceType);
    if (path.empty()) {
        log << "data_id:" << dataId << " model:" << deviceType << " b ini not found" << std::endl;
    }
    log << "parse ini/yaml filename:" << path << std::endl;
    if (path.empty()) return;
    // No reader for ".yaml" yet: such a file supplies nothing and the maps stay as they were.
    if (EndsWith(path, ".ini")) ReadIniModelFile(path, ai, alarms, log);
    log << "AI " << dataId << std::endl;
    for (const auto& [key, signal] : ai) {
        log << "first:" << key << " second:" << signal.first << " name:" << signal.second
            << std::endl;
    }
}
