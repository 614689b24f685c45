#pragma once
// Reading hand-written JSON files with errors a person can act on: every error names the file,
// the member (as a path such as devices[1].port) and what is wrong with it.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>

#include <json/value.h>

class ConfigError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The most the host reads of any file it is given: a site file, a signal map, a scenario, a
// model file. Hand-written files are far smaller; this keeps a mistake from exhausting memory.
inline constexpr std::size_t kMaxInputFile = 4 * 1024 * 1024;

// Why `path` cannot be read as an input file ("" when it can): it must be a regular file no
// larger than `limit`. A FIFO, a device or a directory is refused without being opened for
// reading, so nothing blocks.
std::string InputFileProblem(const std::string& path, std::size_t limit = kMaxInputFile);

// Opens `path` for reading, never blocking (a FIFO does not wait for a writer), and checks the
// open file as InputFileProblem does; ConfigError "<path>: <why>" otherwise. The caller closes
// the descriptor, and hands a library that wants a name this file's "/proc/self/fd/N".
int OpenInputFile(const std::string& path, std::size_t limit = kMaxInputFile);

// Reads a regular file of at most `limit` bytes whole; ConfigError "<path>: <why>" otherwise.
std::string ReadInputFile(const std::string& path, std::size_t limit = kMaxInputFile);

// A path a file names, taken from that file's directory `baseDir` unless it is absolute (or
// either is empty), without a trailing slash.
std::string ResolvePath(const std::string& baseDir, const std::string& path);

class JsonFile {
  public:
    // Reads and parses the file; a missing file or bad JSON is a ConfigError.
    static Json::Value Load(const std::string& path);
    static Json::Value Parse(const std::string& text, const std::string& name);

    explicit JsonFile(std::string name) : name_(std::move(name)) {}
    const std::string& Name() const { return name_; }

    [[noreturn]] void Fail(const std::string& member, const std::string& what) const;

    // Each getter takes the object, the object's own path ("" at the top) and the key.
    // An absent or null member gives the fallback; a member of the wrong type fails.
    const Json::Value& Object(const Json::Value& obj, const std::string& path,
                              const char* key) const;
    std::string String(const Json::Value& obj, const std::string& path, const char* key,
                       const std::string& fallback) const;
    std::string RequiredString(const Json::Value& obj, const std::string& path,
                               const char* key) const;
    int64_t Integer(const Json::Value& obj, const std::string& path, const char* key,
                    int64_t fallback, int64_t min, int64_t max) const;
    int64_t RequiredInteger(const Json::Value& obj, const std::string& path, const char* key,
                            int64_t min, int64_t max) const;
    double Number(const Json::Value& obj, const std::string& path, const char* key, double fallback,
                  double min) const;
    bool Bool(const Json::Value& obj, const std::string& path, const char* key,
              bool fallback) const;
    // Fails on a member not in `known`: a misspelt member would otherwise be silently ignored.
    void OnlyKnown(const Json::Value& obj, const std::string& path,
                   std::initializer_list<const char*> known) const;

    static std::string Join(const std::string& path, const std::string& key);
    static std::string Index(const std::string& path, unsigned int i);
    // "a string", "an object", ... for messages.
    static std::string TypeName(const Json::Value& v);

  private:
    std::string name_;
};
