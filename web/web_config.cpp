#include "web/web_config.h"

#include <boost/asio/ip/address.hpp>

#include "core/level_names.h"

WebConfig ParseWebConfig(const JsonFile& file, const Json::Value& w, const std::string& baseDir) {
    WebConfig web;
    if (w.isNull()) return web;
    if (!w.isObject()) file.Fail("web", "expected an object, found " + JsonFile::TypeName(w));
    file.OnlyKnown(w, "web",
                   {"address", "port", "staleSeconds", "root", "chartSignals", "chartHours",
                    "hosts", "connections", "connectionsPerClient", "siteName", "levelNames"});
    web.enabled = true;
    web.address = file.String(w, "web", "address", web.address);
    boost::system::error_code ec;
    boost::asio::ip::make_address(web.address, ec);
    if (ec) file.Fail("web.address", "\"" + web.address + "\" is not an IP address");
    web.port = static_cast<int>(file.Integer(w, "web", "port", web.port, 0, 65535));
    web.staleSeconds =
        static_cast<int>(file.Integer(w, "web", "staleSeconds", web.staleSeconds, 1, 86400 * 365));
    web.root = ResolvePath(baseDir, file.String(w, "web", "root", ""));
    web.chartHours =
        static_cast<int>(file.Integer(w, "web", "chartHours", web.chartHours, 1, 24 * 366));
    web.connections =
        static_cast<int>(file.Integer(w, "web", "connections", web.connections, 1, 4096));
    web.connectionsPerClient = static_cast<int>(file.Integer(
        w, "web", "connectionsPerClient", web.connectionsPerClient, 1, web.connections));
    const auto names = [&](const char* member, const char* what) {
        std::vector<std::string> out;
        const Json::Value& a = w[member];
        const std::string where = std::string("web.") + member;
        if (!a.isNull() && !a.isArray())
            file.Fail(where, std::string("expected an array of ") + what + "s, found " +
                                 JsonFile::TypeName(a));
        for (unsigned int i = 0; i < a.size(); ++i) {
            if (!a[i].isString())
                file.Fail(JsonFile::Index(where, i), std::string("expected a ") + what +
                                                         ", found " + JsonFile::TypeName(a[i]));
            out.push_back(a[i].asString());
        }
        return out;
    };
    web.chartSignals = names("chartSignals", "signal name");
    web.siteName = file.String(w, "web", "siteName", "");
    web.levelNames = ParseLevelNames(file, w, "web");
    web.hosts = names("hosts", "host name");
    return web;
}
