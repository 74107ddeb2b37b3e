#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The text of the per-user settings file, in a regedit-like form:
//
//   ; comment
//   [\Software\Halvercraft\Vellumark]
//   "FormLeft"=dword:00000014
//   "Name"="text with \"quotes\" and \\ backslashes"
//   "Name"=hex:01,02,03
//   "Name"=hex(7):41,00,00
//   @=dword:00000001              (the key's unnamed value)
//
// Keys and value names compare without regard to ASCII case. A hex list may
// go on over several lines, each but the last ending in a backslash.
//
// The document keeps every byte it was parsed from. Lines it cannot make
// sense of are kept verbatim and stand for no value; a value that is written
// replaces only its own line, so Serialize() gives back the original text
// with nothing changed but the values that were set.

namespace platform {

// Type codes of stored values, as the registry numbers them.
enum SettingsValueType : std::uint32_t {
    kSettingsText = 1,
    kSettingsBinary = 3,
    kSettingsDword = 4,
};

struct SettingsValue {
    std::uint32_t type = kSettingsBinary;
    // The stored bytes. A text's bytes end with its terminating zero byte, so
    // "abc" is four bytes long; a 32-bit integer is four bytes, low byte first.
    std::string data;

    static SettingsValue Dword(std::uint32_t value);
    static SettingsValue Text(std::string_view text);
    friend bool operator==(const SettingsValue&, const SettingsValue&) = default;
};

// A key path relative to the root, e.g. "Software\Halvercraft\Vellumark"; the
// root itself is the empty path. Returns nothing for a path that cannot be a
// key: an empty part, a part longer than 255 bytes, or a part holding '[',
// ']' or a control character. One leading and one trailing backslash are
// allowed and dropped.
std::optional<std::string> NormalizeKeyPath(std::string_view path);

class SettingsDocument {
public:
    static SettingsDocument Parse(std::string_view text);
    // A new file: a short comment that tells a reader what the file is.
    static SettingsDocument NewFile();

    std::string Serialize() const;

    // A key exists when it has a section of its own or any key below it has
    // one; the root always exists. Paths are normalized ones.
    bool KeyExists(std::string_view key) const;
    void CreateKey(std::string_view key);

    // The value in force: the last line of that name in any section of the key.
    std::optional<SettingsValue> Find(std::string_view key, std::string_view name) const;
    // The key's values in force, in the order their names first appear.
    std::vector<std::pair<std::string, SettingsValue>> Values(std::string_view key) const;

    // Replaces the value in force, or adds it to the key's last section (a new
    // section at the end when the key has none). False when the name cannot be
    // written in the file (it holds a control character).
    bool SetValue(std::string_view key, std::string_view name, const SettingsValue& value);

private:
    enum class Kind : std::uint8_t { Other, Section, BadSection, Value };
    struct Entry {
        Kind kind = Kind::Other;
        int section = -1;     // index into sections_; -1 outside any good section
        std::string raw;      // the exact bytes, line terminator included
        std::string name;     // Value only
        SettingsValue value;  // Value only
    };

    void Append(Kind kind, int section, std::string raw, std::string name = {}, SettingsValue value = {});
    int AddSection(std::string_view key);
    std::size_t AppendSection(std::string_view key);
    void EndLastLine(std::size_t before);

    std::vector<Entry> entries_;
    std::vector<std::string> sections_;  // normalized key path of each section
    std::string newline_ = "\n";
};

}  // namespace platform
