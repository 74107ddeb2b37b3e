#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/exception.h"
#include "platform/settings/settings_document.h"
#include "platform/settings/settings_file.h"

namespace platform {

// A failure of the settings store. The messages are
//   "Failed to get data for '<name>'"   (missing, too long, or no key open)
//   "Invalid data type for '<name>'"    (read, but not a 32-bit integer)
//   "Failed to set data for '<name>'"   (not stored)
class ESettingsError : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const noexcept override { return "ESettingsError"; }
};

// Access to the current user's settings: one key at a time, held open between
// OpenKey and CloseKey. Values are read as the file stood when the key was
// opened. Each write takes the file's change lock (SettingsFile::LockForChange),
// reads the file as it stands then, sets its one value and replaces the file
// at once (see SettingsFile::Save): what other programs wrote meanwhile is
// kept, and a failed write leaves every earlier one stored and the file
// whole. Releasing the accessor closes the key.
class SettingsAccessor {
public:
    // The user's own store, at DefaultSettingsFilePath().
    SettingsAccessor();
    explicit SettingsAccessor(SettingsFile file);
    ~SettingsAccessor();
    SettingsAccessor(const SettingsAccessor&) = delete;
    SettingsAccessor& operator=(const SettingsAccessor&) = delete;

    // Closes the key held open, then opens the key at path: "\A\B" from the
    // root, "A\B" below the key held open (or the root when none was). With
    // canCreate, the key and any missing key above it are made and stored.
    // False, with no key open, when the key is not there and cannot be made,
    // or when the file cannot be read (it is then never written either).
    bool OpenKey(std::string_view path, bool canCreate);
    void CloseKey() noexcept;

    // A value of that name and of any type; false when no key is open.
    bool ValueExists(std::string_view name) const;

    // At most 4 bytes of a 32-bit integer value; fewer bytes are widened
    // with zeros. ESettingsError as listed above.
    std::int32_t ReadInteger(std::string_view name) const;
    // ReadInteger, then true for anything but 0.
    bool ReadBool(std::string_view name) const;

    // Stores a 32-bit integer, replacing any earlier value of that name. It
    // fails also when the lock cannot be had in time, or the file can no
    // longer be read.
    void WriteInteger(std::string_view name, std::int32_t value);
    // 1 for true, 0 for false.
    void WriteBool(std::string_view name, bool value);

private:
    // Applies `change` to the file as it stands now, under the change lock,
    // and saves it; false when any of that fails, the file then untouched.
    bool Change(const std::function<bool(SettingsDocument& document)>& change);
    // The file as it stands now: a new document when there is none, nothing
    // when it cannot be read.
    std::optional<SettingsDocument> LoadDocument() const;

    SettingsFile file_;
    std::optional<SettingsDocument> document_;  // as read when the key was opened
    std::optional<std::string> key_;            // normalized path of the key held open
};

}  // namespace platform
