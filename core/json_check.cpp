#include "core/json_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>

#include <json/reader.h>

namespace {

std::string Mib(std::size_t bytes) {
    return std::to_string(bytes / (1024 * 1024)) + " MiB";
}

// What is wrong with an opened file's kind and size, "" when nothing.
std::string KindProblem(const struct stat& st, std::size_t limit) {
    if (S_ISDIR(st.st_mode)) return "is a directory, not a file";
    if (!S_ISREG(st.st_mode)) return "is not a regular file (a FIFO, device or socket)";
    if (static_cast<uint64_t>(st.st_size) > limit) return "is larger than " + Mib(limit);
    return "";
}

}  // namespace

std::string InputFileProblem(const std::string& path, std::size_t limit) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::strerror(errno);
    return KindProblem(st, limit);
}

int OpenInputFile(const std::string& path, std::size_t limit) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer; the kind is checked on the open
    // file, so it cannot change between the check and the use.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw ConfigError(path + ": cannot be read: " + std::strerror(errno));
    struct stat st {};
    std::string problem = ::fstat(fd, &st) != 0 ? std::strerror(errno) : KindProblem(st, limit);
    if (problem.empty()) return fd;
    ::close(fd);
    throw ConfigError(path + ": " + problem);
}

std::string ReadInputFile(const std::string& path, std::size_t limit) {
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{OpenInputFile(path, limit)};
    const int fd = closer.fd;
    std::string text;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw ConfigError(path + ": cannot be read: " + std::strerror(errno));
        if (n == 0) break;
        // The file may grow after fstat.
        if (text.size() + static_cast<std::size_t>(n) > limit)
            throw ConfigError(path + ": is larger than " + Mib(limit));
        text.append(buf, static_cast<std::size_t>(n));
    }
    return text;
}

std::string ResolvePath(const std::string& baseDir, const std::string& path) {
    if (path.empty() || path.front() == '/' || baseDir.empty()) return path;
    std::string out = (std::filesystem::path(baseDir) / path).lexically_normal().string();
    if (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

Json::Value JsonFile::Load(const std::string& path) {
    return Parse(ReadInputFile(path), path);
}

Json::Value JsonFile::Parse(const std::string& text, const std::string& name) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder["allowComments"] = true;
    // No hand-written file nests this deep; the reader recurses once a level.
    builder["stackLimit"] = 64;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    bool ok = false;
    try {
        ok = reader->parse(text.data(), text.data() + text.size(), &root, &errors);
    } catch (const Json::Exception& e) {
        errors = e.what();  // the nesting limit is thrown, not reported
    }
    if (!ok) {
        while (!errors.empty() && (errors.back() == '\n' || errors.back() == ' '))
            errors.pop_back();
        throw ConfigError(name + ": not valid JSON: " + errors);
    }
    if (!root.isObject()) throw ConfigError(name + ": expected a JSON object at the top");
    return root;
}

void JsonFile::Fail(const std::string& member, const std::string& what) const {
    throw ConfigError(name_ + ": " + (member.empty() ? std::string("(top)") : member) + ": " +
                      what);
}

std::string JsonFile::Join(const std::string& path, const std::string& key) {
    return path.empty() ? key : path + "." + key;
}

std::string JsonFile::Index(const std::string& path, unsigned int i) {
    return path + "[" + std::to_string(i) + "]";
}

std::string JsonFile::TypeName(const Json::Value& v) {
    switch (v.type()) {
        case Json::nullValue:
            return "null";
        case Json::intValue:
        case Json::uintValue:
        case Json::realValue:
            return "a number";
        case Json::stringValue:
            return "a string";
        case Json::booleanValue:
            return "a boolean";
        case Json::arrayValue:
            return "an array";
        case Json::objectValue:
            return "an object";
    }
    return "a value";
}

const Json::Value& JsonFile::Object(const Json::Value& obj, const std::string& path,
                                    const char* key) const {
    const Json::Value& v = obj[key];
    if (!v.isNull() && !v.isObject())
        Fail(Join(path, key), "expected an object, found " + TypeName(v));
    return v;
}

std::string JsonFile::String(const Json::Value& obj, const std::string& path, const char* key,
                             const std::string& fallback) const {
    const Json::Value& v = obj[key];
    if (v.isNull()) return fallback;
    if (!v.isString()) Fail(Join(path, key), "expected a string, found " + TypeName(v));
    return v.asString();
}

std::string JsonFile::RequiredString(const Json::Value& obj, const std::string& path,
                                     const char* key) const {
    if (obj[key].isNull()) Fail(Join(path, key), "missing (a string is required)");
    std::string s = String(obj, path, key, "");
    if (s.empty()) Fail(Join(path, key), "must not be empty");
    return s;
}

int64_t JsonFile::Integer(const Json::Value& obj, const std::string& path, const char* key,
                          int64_t fallback, int64_t min, int64_t max) const {
    const Json::Value& v = obj[key];
    if (v.isNull()) return fallback;
    if (!v.isNumeric()) Fail(Join(path, key), "expected a whole number, found " + TypeName(v));
    const double d = v.asDouble();
    if (std::floor(d) != d) Fail(Join(path, key), "expected a whole number, found " + v.asString());
    if (d < static_cast<double>(min) || d > static_cast<double>(max))
        Fail(Join(path, key), "must lie between " + std::to_string(min) + " and " +
                                  std::to_string(max) + ", found " + v.asString());
    return static_cast<int64_t>(d);
}

int64_t JsonFile::RequiredInteger(const Json::Value& obj, const std::string& path, const char* key,
                                  int64_t min, int64_t max) const {
    if (obj[key].isNull()) Fail(Join(path, key), "missing (a whole number is required)");
    return Integer(obj, path, key, 0, min, max);
}

double JsonFile::Number(const Json::Value& obj, const std::string& path, const char* key,
                        double fallback, double min) const {
    const Json::Value& v = obj[key];
    if (v.isNull()) return fallback;
    if (!v.isNumeric()) Fail(Join(path, key), "expected a number, found " + TypeName(v));
    const double d = v.asDouble();
    if (!(d >= min)) {
        std::ostringstream m;
        m << "must be at least " << min << ", found " << d;
        Fail(Join(path, key), m.str());
    }
    return d;
}

bool JsonFile::Bool(const Json::Value& obj, const std::string& path, const char* key,
                    bool fallback) const {
    const Json::Value& v = obj[key];
    if (v.isNull()) return fallback;
    if (!v.isBool()) Fail(Join(path, key), "expected true or false, found " + TypeName(v));
    return v.asBool();
}

void JsonFile::OnlyKnown(const Json::Value& obj, const std::string& path,
                         std::initializer_list<const char*> known) const {
    for (const auto& name : obj.getMemberNames()) {
        bool ok = false;
        for (const char* k : known) ok = ok || name == k;
        if (!ok) {
            std::string list;
            for (const char* k : known) list += std::string(list.empty() ? "" : ", ") + k;
            Fail(Join(path, name), "unknown member (known: " + list + ")");
        }
    }
}
