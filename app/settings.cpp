#include "app/settings.h"

#include "platform/settings/settings_store.h"

namespace {

constexpr const char* kSettingsKey = "\\Software\\Halvercraft\\Vellumark";

struct TickValue {
    const char* name;
    Algorithm algorithm;
};

// In the order they are read and written.
constexpr TickValue kTicks[] = {
    {"CBMD5", Algorithm::Md5},
    {"CBSHA1", Algorithm::Sha1},
    {"CBCRC32", Algorithm::Crc32},
};

}  // namespace

void LoadFormSettings(FormSettingsTarget& form)
{
    LoadFormSettings(form, platform::SettingsFile::Default());
}

void LoadFormSettings(FormSettingsTarget& form, const platform::SettingsFile& store)
{
    platform::SettingsAccessor settings(store);
    // Whether the key opened is of no interest: a key that is not open has no
    // values, and the form keeps its start-up state.
    settings.OpenKey(kSettingsKey, true);
    if (settings.ValueExists("FormLeft"))
        form.SetLeft(settings.ReadInteger("FormLeft"));
    if (settings.ValueExists("FormTop"))
        form.SetTop(settings.ReadInteger("FormTop"));
    for (const TickValue& tick : kTicks) {
        if (settings.ValueExists(tick.name))
            form.SetTicked(tick.algorithm, settings.ReadBool(tick.name));
    }
    settings.CloseKey();
}

void SaveFormSettings(const FormSettingsTarget& form)
{
    SaveFormSettings(form, platform::SettingsFile::Default());
}

void SaveFormSettings(const FormSettingsTarget& form, const platform::SettingsFile& store)
{
    platform::SettingsAccessor settings(store);
    // A key that did not open makes the first write fail, naming FormLeft.
    settings.OpenKey(kSettingsKey, true);
    settings.WriteInteger("FormLeft", form.Left());
    settings.WriteInteger("FormTop", form.Top());
    for (const TickValue& tick : kTicks)
        settings.WriteBool(tick.name, form.Ticked(tick.algorithm));
    settings.CloseKey();
}
