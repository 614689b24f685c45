#pragma once
// The database's identity and layout: the application id and schema version in its header, the
// tables of each version, and the step from any earlier version to this one. A file is judged
// before anything in it changes.
#include <cstdint>
#include <string>

struct sqlite3;

namespace history {

// "SMDH" in the header's application id field.
constexpr int32_t kApplicationId = 0x534D4448;
// 1: files from before the id was written (alarm_state may be missing). 2: age indexes,
// records deflated alone or against their device's key record (`base`). 3: per-signal
// aggregates (`aggregates`, `signal_names`). 4: records stored as their difference from the key
// record (packing 3), which earlier versions cannot read.
constexpr int32_t kSchemaVersion = 4;

enum class FileKind {
    kNew,      // no tables: ours to set up
    kOurs,     // this version
    kOlder,    // ours, of an earlier version: migrate
    kForeign,  // another program's file
    kNewer,    // ours, written by a newer version
};

struct Judgement {
    FileKind kind = FileKind::kNew;
    int32_t version = 0;  // as found (1 for files without an id)
    bool hasState = false;
};

// Reads only; throws StoreFailure when the file cannot be read (busy, damaged, not a database).
Judgement Judge(sqlite3* db, const std::string& path);
// Why a foreign or newer file is refused, naming the path.
std::string Refusal(const Judgement& j, const std::string& path);
// Creates or migrates to this version inside the caller's transaction; standing alarms of a file
// without them are seeded from each alarm's last event, so nothing is raised again.
void SetUp(sqlite3* db, const Judgement& j, const std::string& path);

}  // namespace history
