#pragma once
// The site file's "web" member: the status page, JSON API and metrics server.
#include <map>
#include <string>
#include <vector>

#include <json/value.h>

#include "core/json_check.h"

// Off when the site file has no "web".
struct WebConfig {
    bool enabled = false;
    std::string address = "127.0.0.1";
    int port = 8080;  // 0: any free port (the host prints the one it got)
    int staleSeconds = 60;
    std::string root;  // the page's files; empty: found beside the program
    std::vector<std::string> chartSignals;
    int chartHours = 3;
    std::vector<std::string> hosts;         // Host header names served besides IP literals
    int connections = 64;                   // open at once
    int connectionsPerClient = 16;          // open at once from one address
    std::string siteName;                   // the page's title; empty: the site file's name
    std::map<int, std::string> levelNames;  // alarm level -> "critical", ...; empty: numbers
};

// Reads the member `web` (null: off); the root is taken from baseDir. Fails through `file`,
// naming the member, on anything out of range or unknown.
WebConfig ParseWebConfig(const JsonFile& file, const Json::Value& web, const std::string& baseDir);
