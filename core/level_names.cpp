#include "core/level_names.h"

std::map<int, std::string> ParseLevelNames(const JsonFile& file, const Json::Value& object,
                                           const std::string& parent) {
    std::map<int, std::string> out;
    const Json::Value& levels = file.Object(object, parent, "levelNames");
    for (const auto& k : levels.isNull() ? Json::Value::Members{} : levels.getMemberNames()) {
        const std::string where = JsonFile::Join(JsonFile::Join(parent, "levelNames"), k);
        if (k.empty() || k.size() > 3 || k.find_first_not_of("0123456789") != std::string::npos)
            file.Fail(where, "expected an alarm level (a whole number) as the name");
        if (!levels[k].isString())
            file.Fail(where, "expected a level's name, found " + JsonFile::TypeName(levels[k]));
        out[std::stoi(k)] = levels[k].asString();
    }
    return out;
}
