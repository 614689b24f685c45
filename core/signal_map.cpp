#include "core/signal_map.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

#include "core/json_check.h"
#include "core/record_layout.h"

SignalMap SignalMap::Load(const std::string& path) {
    return FromJson(JsonFile::Load(path), path);
}

std::shared_ptr<const SignalMap> SignalMaps::Get(const std::string& path) {
    std::shared_ptr<const SignalMap>& map = loaded_[path];
    if (!map)
        map = path.empty() ? std::make_shared<const SignalMap>()
                           : std::make_shared<const SignalMap>(SignalMap::Load(path));
    return map;
}

SignalMap SignalMap::FromJson(const Json::Value& root, const std::string& name) {
    const JsonFile file(name);
    file.OnlyKnown(root, "", {"signals"});
    const Json::Value& signals = file.Object(root, "", "signals");
    if (signals.isNull()) file.Fail("signals", "missing (an object of signals is required)");
    SignalMap map;
    for (const auto& signal : signals.getMemberNames()) {
        const std::string path = JsonFile::Join("signals", signal);
        const Json::Value& s = signals[signal];
        if (!s.isObject()) file.Fail(path, "expected an object, found " + JsonFile::TypeName(s));
        file.OnlyKnown(s, path,
                       {"block", "offset", "width", "order", "signed", "scale", "unit", "id", "en",
                        "signalId"});
        SignalField f;
        f.name = signal;
        const std::string blockName = file.RequiredString(s, path, "block");
        const RecordField* block = FindRecordField(blockName);
        if (block == nullptr)
            file.Fail(JsonFile::Join(path, "block"), "no record field " + blockName);
        f.width = static_cast<int>(file.Integer(s, path, "width", 2, 1, 4));
        if (f.width == 3) file.Fail(JsonFile::Join(path, "width"), "must be 1, 2 or 4");
        const auto offset = static_cast<std::size_t>(
            file.RequiredInteger(s, path, "offset", 0, static_cast<int64_t>(block->size) - 1));
        if (offset + static_cast<std::size_t>(f.width) > block->size)
            file.Fail(path, "offset " + std::to_string(offset) + " and width " +
                                std::to_string(f.width) + " run past the end of " + blockName +
                                " (" + std::to_string(block->size) + " bytes)");
        f.offset = block->offset + offset;
        const std::string order = file.String(s, path, "order", "big");
        if (order != "big" && order != "little")
            file.Fail(JsonFile::Join(path, "order"),
                      "must be \"big\" or \"little\", found \"" + order + "\"");
        f.bigEndian = order == "big";
        f.isSigned = file.Bool(s, path, "signed", false);
        f.scale = file.Number(s, path, "scale", 1.0, -1e300);
        f.unit = file.String(s, path, "unit", "");
        f.id = file.String(s, path, "id", "");
        if (!std::all_of(f.id.begin(), f.id.end(), [](char c) {
                return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
            }))
            file.Fail(JsonFile::Join(path, "id"), "must hold only ASCII letters, digits and '_'");
        f.en = file.String(s, path, "en", "");
        f.deviceId = file.String(s, path, "signalId", "");
        map.fields_.push_back(std::move(f));
    }
    return map;
}

double SignalMap::Decode(const SignalField& f, const unsigned char* record) {
    uint32_t raw = 0;
    for (int i = 0; i < f.width; ++i) {
        const unsigned char b = record[f.offset + (f.bigEndian ? i : f.width - 1 - i)];
        raw = (raw << 8) | b;
    }
    double v;
    if (f.isSigned) {
        const int shift = 32 - 8 * f.width;
        v = static_cast<double>(static_cast<int32_t>(raw << shift) >> shift);
    } else {
        v = static_cast<double>(raw);
    }
    return v * f.scale;
}

void SignalMap::Apply(const unsigned char* record, std::size_t len, Json::Value& doc) const {
    for (const auto& f : fields_) {
        if (f.offset + static_cast<std::size_t>(f.width) > len) continue;
        doc[f.name] = Decode(f, record);
    }
}
