#pragma once

#include "core/generate.h"
#include "platform/settings/settings_file.h"

// Where the main window stood and which algorithms were ticked, kept between
// runs under \Software\Halvercraft\Vellumark in the user's settings store as
// the 32-bit integers FormLeft, FormTop, CBMD5, CBSHA1 and CBCRC32.

// What loading and saving need from the main window.
class FormSettingsTarget {
public:
    virtual int Left() const = 0;
    virtual int Top() const = 0;
    virtual void SetLeft(int left) = 0;
    virtual void SetTop(int top) = 0;
    virtual bool Ticked(Algorithm algorithm) const = 0;
    virtual void SetTicked(Algorithm algorithm, bool ticked) = 0;

protected:
    ~FormSettingsTarget() = default;
};

// Opens (on a first start: creates) the key and applies each stored value as
// soon as it is read; a value that is not there leaves the form as it is. A
// value that cannot be read stops loading there with platform::ESettingsError,
// those before it applied. A store that cannot be opened holds no values.
void LoadFormSettings(FormSettingsTarget& form);
void LoadFormSettings(FormSettingsTarget& form, const platform::SettingsFile& store);

// Writes all five values in order. A failed write stops there with
// platform::ESettingsError "Failed to set data for '<name>'"; the values
// before it are stored.
void SaveFormSettings(const FormSettingsTarget& form);
void SaveFormSettings(const FormSettingsTarget& form, const platform::SettingsFile& store);
