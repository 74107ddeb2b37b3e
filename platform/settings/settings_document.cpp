#include "platform/settings/settings_document.h"

#include <algorithm>
#include <map>

#include "platform/base/ascii.h"

namespace platform {
namespace {

constexpr std::string_view kNewFileText =
    "; Vellumark settings, one [\\key\\path] section per key. Values:\n"
    ";   \"Name\"=dword:0000001e     32-bit integer, hexadecimal\n"
    ";   \"Name\"=\"text\"             text; write \\\" for \" and \\\\ for \\\n"
    ";   \"Name\"=hex:01,02,ff       bytes\n"
    "; Lines that cannot be read are kept as they are and stand for no value.\n";

constexpr std::size_t kMaxKeyPart = 255;

bool IsSpace(char c)
{
    return c == ' ' || c == '\t';
}

bool IsControl(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

bool SameName(std::string_view a, std::string_view b)
{
    return SameAsciiNoCase(a, b);
}

std::string_view TrimLeft(std::string_view s)
{
    while (!s.empty() && IsSpace(s.front()))
        s.remove_prefix(1);
    return s;
}

std::string_view Trim(std::string_view s)
{
    s = TrimLeft(s);
    while (!s.empty() && IsSpace(s.back()))
        s.remove_suffix(1);
    return s;
}

// 1 to 8 hex digits and nothing else; anything longer would not fit 32 bits.
std::optional<std::uint32_t> ParseHexWord(std::string_view s)
{
    if (s.empty() || s.size() > 8)
        return std::nullopt;
    std::uint32_t value = 0;
    for (char c : s) {
        const int digit = HexDigitValue(c);
        if (digit < 0)
            return std::nullopt;
        value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    return value;
}

// Comma-separated bytes of one or two hex digits each; blanks around them are
// fine (continued lines are indented), an empty list is zero bytes.
std::optional<std::string> ParseHexList(std::string_view s)
{
    std::string bytes;
    if (Trim(s).empty())
        return bytes;
    while (true) {
        const std::size_t comma = s.find(',');
        const std::string_view item = Trim(s.substr(0, comma));
        if (item.empty() || item.size() > 2)
            return std::nullopt;
        const auto byte = ParseHexWord(item);
        if (!byte)
            return std::nullopt;
        bytes.push_back(static_cast<char>(*byte));
        if (comma == std::string_view::npos)
            return bytes;
        s.remove_prefix(comma + 1);
    }
}

// A quoted string starting at s[pos]; on success pos is just past the closing
// quote. Only \\ and \" are escapes, and a line break cannot be inside.
bool ParseQuoted(std::string_view s, std::size_t& pos, std::string& out)
{
    if (pos >= s.size() || s[pos] != '"')
        return false;
    for (std::size_t i = pos + 1; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '"') {
            pos = i + 1;
            return true;
        }
        if (c == '\\') {
            if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"'))
                return false;
            out.push_back(s[++i]);
        } else if (IsControl(c) && c != '\t') {
            return false;
        } else {
            out.push_back(c);
        }
    }
    return false;
}

// The name and the start of the data of a value line ("Name"= or @=).
bool ParseValueHead(std::string_view s, std::string& name, std::size_t& dataStart)
{
    std::size_t pos = 0;
    if (s.empty())
        return false;
    if (s[0] == '@') {
        pos = 1;
    } else if (!ParseQuoted(s, pos, name)) {
        return false;
    }
    while (pos < s.size() && IsSpace(s[pos]))
        ++pos;
    if (pos >= s.size() || s[pos] != '=')
        return false;
    ++pos;
    while (pos < s.size() && IsSpace(s[pos]))
        ++pos;
    dataStart = pos;
    return true;
}

std::optional<SettingsValue> ParseValueData(std::string_view data)
{
    if (data.starts_with('"')) {
        std::size_t pos = 0;
        std::string text;
        if (!ParseQuoted(data, pos, text) || !Trim(data.substr(pos)).empty())
            return std::nullopt;
        return SettingsValue::Text(text);
    }
    if (data.starts_with("dword:")) {
        const auto word = ParseHexWord(Trim(data.substr(6)));
        if (!word)
            return std::nullopt;
        return SettingsValue::Dword(*word);
    }
    std::uint32_t type = kSettingsBinary;
    if (data.starts_with("hex:")) {
        data.remove_prefix(4);
    } else if (data.starts_with("hex(")) {
        const std::size_t close = data.find(')');
        if (close == std::string_view::npos)
            return std::nullopt;
        const auto code = ParseHexWord(data.substr(4, close - 4));
        if (!code || close + 1 >= data.size() || data[close + 1] != ':')
            return std::nullopt;
        type = *code;
        data.remove_prefix(close + 2);
    } else {
        return std::nullopt;
    }
    auto bytes = ParseHexList(data);
    if (!bytes)
        return std::nullopt;
    return SettingsValue{type, std::move(*bytes)};
}

std::optional<std::pair<std::string, SettingsValue>> ParseValueLine(std::string_view line)
{
    std::string name;
    std::size_t dataStart = 0;
    if (!ParseValueHead(line, name, dataStart))
        return std::nullopt;
    auto value = ParseValueData(line.substr(dataStart));
    if (!value)
        return std::nullopt;
    return std::pair{std::move(name), std::move(*value)};
}

// Only a hex list may go on over the next line; for anything else a trailing
// backslash is just damage and must not swallow the line after it.
bool MayContinue(std::string_view line)
{
    line = Trim(line);
    std::string name;
    std::size_t dataStart = 0;
    return ParseValueHead(line, name, dataStart) && line.substr(dataStart).starts_with("hex");
}

// Looks only at the end of the line, however long the line has grown.
bool EndsWithBackslash(std::string_view line)
{
    while (!line.empty() && IsSpace(line.back()))
        line.remove_suffix(1);
    return line.ends_with('\\');
}

std::string_view WithoutTerminator(std::string_view raw)
{
    if (raw.ends_with('\n'))
        raw.remove_suffix(1);
    if (raw.ends_with('\r'))
        raw.remove_suffix(1);
    return raw;
}

std::string_view Terminator(std::string_view raw)
{
    return raw.substr(WithoutTerminator(raw).size());
}

bool IsPrintableText(std::string_view text)
{
    return std::none_of(text.begin(), text.end(), [](char c) { return IsControl(c) && c != '\t'; });
}

std::string Quote(std::string_view text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

std::string HexList(std::string_view bytes)
{
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i)
            out.push_back(',');
        AppendHexBytes(out, reinterpret_cast<const std::uint8_t*>(bytes.data() + i), 1, false);
    }
    return out;
}

std::optional<std::string> FormatValueLine(std::string_view name, const SettingsValue& value)
{
    if (!IsPrintableText(name))
        return std::nullopt;
    std::string line = name.empty() ? std::string("@") : Quote(name);
    line.push_back('=');
    if (value.type == kSettingsDword && value.data.size() == 4) {
        std::uint32_t word = 0;
        for (int i = 3; i >= 0; --i)
            word = word << 8 | static_cast<unsigned char>(value.data[static_cast<std::size_t>(i)]);
        line += "dword:";
        line += HexWord(word, 8, false);
    } else if (value.type == kSettingsText && value.data.ends_with('\0') &&
               IsPrintableText(std::string_view(value.data).substr(0, value.data.size() - 1))) {
        line += Quote(std::string_view(value.data).substr(0, value.data.size() - 1));
    } else {
        if (value.type == kSettingsBinary) {
            line += "hex:";
        } else {
            line += "hex(" + HexWord(value.type, 0, false) + "):";
        }
        line += HexList(value.data);
    }
    return line;
}

bool StartsAtOrBelow(std::string_view section, std::string_view key)
{
    if (key.empty())
        return true;
    if (section.size() == key.size())
        return SameName(section, key);
    return section.size() > key.size() && section[key.size()] == '\\' && SameName(section.substr(0, key.size()), key);
}

// Whether the last line of raw text is blank.
bool EndsWithBlankLine(std::string_view raw)
{
    const std::string_view body = WithoutTerminator(raw);
    const std::size_t lastBreak = body.rfind('\n');
    const std::string_view last = lastBreak == std::string_view::npos ? body : body.substr(lastBreak + 1);
    return Trim(last).empty();
}

}  // namespace

SettingsValue SettingsValue::Dword(std::uint32_t value)
{
    SettingsValue result{kSettingsDword, std::string(4, '\0')};
    for (std::size_t i = 0; i < 4; ++i)
        result.data[i] = static_cast<char>(value >> (8 * i) & 0xff);
    return result;
}

SettingsValue SettingsValue::Text(std::string_view text)
{
    SettingsValue result{kSettingsText, std::string(text)};
    result.data.push_back('\0');
    return result;
}

std::optional<std::string> NormalizeKeyPath(std::string_view path)
{
    if (path.starts_with('\\'))
        path.remove_prefix(1);
    if (path.ends_with('\\'))
        path.remove_suffix(1);
    std::string result(path);
    while (!path.empty()) {
        const std::size_t split = path.find('\\');
        const std::string_view part = path.substr(0, split);
        if (part.empty() || part.size() > kMaxKeyPart)
            return std::nullopt;
        for (char c : part) {
            if (IsControl(c) || c == '[' || c == ']')
                return std::nullopt;
        }
        if (split == std::string_view::npos)
            break;
        path.remove_prefix(split + 1);
        if (path.empty())
            return std::nullopt;  // the path ended in "\\"
    }
    return result;
}

SettingsDocument SettingsDocument::Parse(std::string_view text)
{
    SettingsDocument document;
    const std::size_t firstBreak = text.find('\n');
    if (firstBreak != std::string_view::npos && firstBreak > 0 && text[firstBreak - 1] == '\r')
        document.newline_ = "\r\n";

    auto lineEnd = [&](std::size_t from) {
        const std::size_t brk = text.find('\n', from);
        return brk == std::string_view::npos ? text.size() : brk + 1;
    };

    int current = -1;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t next = lineEnd(pos);
        std::string_view first = WithoutTerminator(text.substr(pos, next - pos));
        if (pos == 0 && first.starts_with("\xEF\xBB\xBF"))
            first.remove_prefix(3);  // editors' BOM
        std::string line(first);
        // Whether the value may go on is settled by its first line alone, so
        // each further line costs only its own length.
        const bool mayContinue = EndsWithBackslash(line) && MayContinue(line);
        while (mayContinue && next < text.size() && EndsWithBackslash(line)) {
            const std::size_t after = lineEnd(next);
            const std::string_view more = WithoutTerminator(text.substr(next, after - next));
            if (TrimLeft(more).starts_with('['))
                break;
            while (IsSpace(line.back()))
                line.pop_back();
            line.pop_back();  // the backslash
            line += more;
            next = after;
        }
        std::string raw(text.substr(pos, next - pos));
        pos = next;

        const std::string_view content = Trim(line);
        if (content.starts_with('[')) {
            std::optional<std::string> key;
            if (content.size() >= 2 && content.back() == ']' && content[1] == '\\')
                key = NormalizeKeyPath(content.substr(1, content.size() - 2));
            if (key) {
                current = document.AddSection(*key);
                document.Append(Kind::Section, current, std::move(raw));
            } else {
                // Values under a damaged header belong to no key we can name.
                current = -1;
                document.Append(Kind::BadSection, -1, std::move(raw));
            }
            continue;
        }
        if (current >= 0 && (content.starts_with('"') || content.starts_with('@'))) {
            if (auto value = ParseValueLine(content)) {
                document.Append(Kind::Value, current, std::move(raw), std::move(value->first),
                                std::move(value->second));
                continue;
            }
        }
        document.Append(Kind::Other, current, std::move(raw));
    }
    return document;
}

SettingsDocument SettingsDocument::NewFile()
{
    return Parse(kNewFileText);
}

std::string SettingsDocument::Serialize() const
{
    std::string text;
    std::size_t size = 0;
    for (const Entry& entry : entries_)
        size += entry.raw.size();
    text.reserve(size);
    for (const Entry& entry : entries_)
        text += entry.raw;
    return text;
}

bool SettingsDocument::KeyExists(std::string_view key) const
{
    return key.empty() || std::any_of(sections_.begin(), sections_.end(),
                                      [&](const std::string& s) { return StartsAtOrBelow(s, key); });
}

void SettingsDocument::CreateKey(std::string_view key)
{
    if (!KeyExists(key))
        AppendSection(key);
}

std::size_t SettingsDocument::AppendSection(std::string_view key)
{
    EndLastLine(entries_.size());
    if (!entries_.empty() && !EndsWithBlankLine(entries_.back().raw))
        Append(Kind::Other, -1, newline_);
    const int section = AddSection(key);
    Append(Kind::Section, section, "[\\" + std::string(key) + "]" + newline_);
    return entries_.size() - 1;
}

std::optional<SettingsValue> SettingsDocument::Find(std::string_view key, std::string_view name) const
{
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
        if (it->kind == Kind::Value && SameName(it->name, name) &&
            SameName(sections_[static_cast<std::size_t>(it->section)], key))
            return it->value;
    }
    return std::nullopt;
}

std::vector<std::pair<std::string, SettingsValue>> SettingsDocument::Values(std::string_view key) const
{
    std::vector<std::pair<std::string, SettingsValue>> values;
    std::map<std::string, std::size_t> byName;  // lower-case name to its place in values
    for (const Entry& entry : entries_) {
        if (entry.kind != Kind::Value || !SameName(sections_[static_cast<std::size_t>(entry.section)], key))
            continue;
        const auto [place, added] = byName.try_emplace(AsciiLower(entry.name), values.size());
        if (added)
            values.emplace_back(entry.name, entry.value);
        else
            values[place->second].second = entry.value;
    }
    return values;
}

bool SettingsDocument::SetValue(std::string_view key, std::string_view name, const SettingsValue& value)
{
    auto line = FormatValueLine(name, value);
    if (!line)
        return false;

    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
        if (it->kind == Kind::Value && SameName(it->name, name) &&
            SameName(sections_[static_cast<std::size_t>(it->section)], key)) {
            it->raw = *line + std::string(Terminator(it->raw));
            it->name = std::string(name);
            it->value = value;
            return true;
        }
    }

    std::size_t header = entries_.size();
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].kind == Kind::Section &&
            SameName(sections_[static_cast<std::size_t>(entries_[i].section)], key))
            header = i;
    }
    // A key with no section of its own (new, or there only through a key
    // below it) gets one at the end.
    if (header == entries_.size())
        header = AppendSection(key);
    // After the section's last value, so that comments and blank lines that
    // close the section stay where they are.
    std::size_t at = header + 1;
    for (std::size_t i = header + 1; i < entries_.size(); ++i) {
        if (entries_[i].kind == Kind::Section || entries_[i].kind == Kind::BadSection)
            break;
        if (entries_[i].kind == Kind::Value)
            at = i + 1;
    }
    EndLastLine(at);
    Entry entry{Kind::Value, entries_[header].section, *line + newline_, std::string(name), value};
    entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(at), std::move(entry));
    return true;
}

void SettingsDocument::Append(Kind kind, int section, std::string raw, std::string name, SettingsValue value)
{
    // Runs of lines that stand for nothing are held as one entry: a file of
    // junk stays a handful of entries rather than one per line.
    if (kind == Kind::Other && !entries_.empty() && entries_.back().kind == Kind::Other) {
        entries_.back().raw += raw;
        return;
    }
    entries_.push_back(Entry{kind, section, std::move(raw), std::move(name), std::move(value)});
}

int SettingsDocument::AddSection(std::string_view key)
{
    sections_.emplace_back(key);
    return static_cast<int>(sections_.size() - 1);
}

void SettingsDocument::EndLastLine(std::size_t before)
{
    if (before == 0)
        return;
    std::string& raw = entries_[before - 1].raw;
    if (raw.ends_with('\n'))
        return;
    // A lone CR at the very end was read as the line's end: it becomes the
    // file's usual one, not part of the line.
    if (raw.ends_with('\r'))
        raw.pop_back();
    raw += newline_;
}

}  // namespace platform
