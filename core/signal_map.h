#pragma once
// Signal values from a published record. A signal map file names, per signal, where its raw
// value sits in the record and how to read it:
//
//   { "signals": { "直流输出电压": { "block": "analog_40", "offset": 2, "width": 2,
//                                   "order": "big", "signed": false, "scale": 0.01 } } }
//
// "block" is a record field name, "offset" counts from the block's start; "order" defaults to
// "big" (the unit sends high byte first), "signed" to false, "scale" to 1; "unit" (optional)
// is what the history views print after the value; "id" (optional, ASCII letters, digits and
// '_') names the signal for programs and "en" is its English name; "signalId" (optional) is
// the device's own id of the signal ("0411004001"), by which its analog reports name it.
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

struct SignalField {
    std::string name;
    std::string id;          // ASCII, for programs; may be empty
    std::string en;          // English name; may be empty
    std::string deviceId;    // the device's own id, as its reports give it; may be empty
    std::size_t offset = 0;  // from the record's start
    int width = 2;           // 1, 2 or 4 bytes
    bool bigEndian = true;
    bool isSigned = false;
    double scale = 1.0;
    std::string unit;  // for people: "V", "A", ...; may be empty
};

class SignalMap {
  public:
    // Throws ConfigError naming the file, the member and what is wrong.
    static SignalMap Load(const std::string& path);
    static SignalMap FromJson(const Json::Value& root, const std::string& name);

    const std::vector<SignalField>& Fields() const { return fields_; }
    bool Empty() const { return fields_.empty(); }

    static double Decode(const SignalField& f, const unsigned char* record);
    // Writes every signal's value into the document as a JSON number. A record too short for a
    // signal leaves that signal's member as it was.
    void Apply(const unsigned char* record, std::size_t len, Json::Value& doc) const;

  private:
    std::vector<SignalField> fields_;
};

// Maps by file, for one start or reload: devices that name the same file share one map, read and
// held once (a site of 256 units usually names one).
class SignalMaps {
  public:
    // Throws as SignalMap::Load does; an empty path gives the empty map.
    std::shared_ptr<const SignalMap> Get(const std::string& path);

  private:
    std::map<std::string, std::shared_ptr<const SignalMap>> loaded_;
};
