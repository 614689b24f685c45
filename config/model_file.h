#pragma once
// Per-model INI files: which file a device reads, and the two sections it takes from it.
#include <map>
#include <ostream>
#include <string>
#include <utility>

// Signal name -> (signal id, display name), from section "AI".
using AiSignalMap = std::map<std::string, std::pair<std::string, std::string>>;
// Signal name -> alarm id, from section "ALARM".
using AlarmSignalIdMap = std::map<std::string, std::string>;

// The first of the eight candidates below the working directory that exists (readability is not
// tested), or "" when none does. Data id before device type, "./ini/" before "./ini/zariza/",
// ".yaml" before ".ini".
std::string FindModelFile(unsigned int dataId, const std::string& deviceType);

// An "AI" value split at its first comma into signal id and display name; without a comma both
// are the whole text.
std::pair<std::string, std::string> SplitAiValue(const std::string& value);

// The alarm id of an "ALARM" value: the text before its first comma.
std::string AlarmIdOf(const std::string& value);

// Reads sections "AI" and then "ALARM" of an INI model file into the maps, logging each alarm
// entry. Entries are overwritten or added, never removed. Throws the INI reader's
// ini_parser_error, or ptree_bad_path for a missing section; what was stored before stays.
void ReadIniModelFile(const std::string& path, AiSignalMap& ai, AlarmSignalIdMap& alarms,
                      std::ostream& log);

// The whole model-file job of settings mode 1: choose the file, read it, and log the "AI" map.
// A ".yaml" file is chosen like an ".ini" file but not read: the maps keep what they held.
void LoadModelFile(unsigned int dataId, const std::string& deviceType, AiSignalMap& ai,
                   AlarmSignalIdMap& alarms, std::ostream& log);
