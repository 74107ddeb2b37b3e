#include "platform/settings/settings_store.h"

#include <utility>

namespace platform {
namespace {

[[noreturn]] void Fail(const char* what, std::string_view name)
{
    throw ESettingsError(std::string(what) + " for '" + std::string(name) + "'");
}

}  // namespace

SettingsAccessor::SettingsAccessor() : SettingsAccessor(SettingsFile::Default()) {}

SettingsAccessor::SettingsAccessor(SettingsFile file) : file_(std::move(file)) {}

SettingsAccessor::~SettingsAccessor()
{
    CloseKey();
}

bool SettingsAccessor::OpenKey(std::string_view path, bool canCreate)
{
    std::string full(path);
    if (!path.starts_with('\\') && key_ && !key_->empty())
        full = *key_ + "\\" + full;
    CloseKey();

    auto key = NormalizeKeyPath(full);
    if (!key)
        return false;

    // Nothing read means nothing we could keep: the file is left alone, and
    // with no key open every write fails rather than replace it.
    std::optional<SettingsDocument> loaded = LoadDocument();
    if (!loaded)
        return false;
    SettingsDocument document = std::move(*loaded);

    if (!document.KeyExists(*key)) {
        if (!canCreate)
            return false;
        const bool created = Change([&](SettingsDocument& current) {
            if (!current.KeyExists(*key))
                current.CreateKey(*key);
            document = current;
            return true;
        });
        if (!created)
            return false;
    }
    document_ = std::move(document);
    key_ = std::move(*key);
    return true;
}

bool SettingsAccessor::Change(const std::function<bool(SettingsDocument& document)>& change)
{
    const std::optional<UniqueFd> lock = file_.LockForChange();
    if (!lock)
        return false;
    std::optional<SettingsDocument> current = LoadDocument();
    if (!current)
        return false;  // never replaced by what we could not read
    return change(*current) && file_.Save(current->Serialize());
}

std::optional<SettingsDocument> SettingsAccessor::LoadDocument() const
{
    std::string text;
    switch (file_.Load(text)) {
    case SettingsFile::LoadStatus::Missing:
        return SettingsDocument::NewFile();
    case SettingsFile::LoadStatus::Loaded:
        return SettingsDocument::Parse(text);
    case SettingsFile::LoadStatus::Unreadable:
        break;
    }
    return std::nullopt;
}

void SettingsAccessor::CloseKey() noexcept
{
    // Every write is already on disk, so there is nothing left to flush.
    key_.reset();
    document_.reset();
}

bool SettingsAccessor::ValueExists(std::string_view name) const
{
    return key_ && document_->Find(*key_, name).has_value();
}

std::int32_t SettingsAccessor::ReadInteger(std::string_view name) const
{
    const auto value = key_ ? document_->Find(*key_, name) : std::nullopt;
    // Only 4 bytes are asked for: a longer value of any type does not fit,
    // and only what fits has its type looked at.
    if (!value || value->data.size() > 4)
        Fail("Failed to get data", name);
    if (value->type != kSettingsDword)
        Fail("Invalid data type", name);
    std::uint32_t word = 0;
    for (std::size_t i = value->data.size(); i-- > 0;)
        word = word << 8 | static_cast<unsigned char>(value->data[i]);
    return static_cast<std::int32_t>(word);
}

bool SettingsAccessor::ReadBool(std::string_view name) const
{
    return ReadInteger(name) != 0;
}

void SettingsAccessor::WriteInteger(std::string_view name, std::int32_t value)
{
    if (!key_)
        Fail("Failed to set data", name);
    // Merged with the file as it is now, not as it was when the key was
    // opened: another program may have written to it meanwhile. The
    // document changes only once the file holds the change.
    std::optional<SettingsDocument> updated;
    const bool stored = Change([&](SettingsDocument& current) {
        if (!current.SetValue(*key_, name, SettingsValue::Dword(static_cast<std::uint32_t>(value))))
            return false;
        updated = current;
        return true;
    });
    if (!stored)
        Fail("Failed to set data", name);
    document_ = std::move(updated);
}

void SettingsAccessor::WriteBool(std::string_view name, bool value)
{
    WriteInteger(name, value ? 1 : 0);
}

}  // namespace platform
