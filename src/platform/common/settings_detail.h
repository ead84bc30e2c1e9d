// What both settings-store backends share beyond the public header.
#pragma once

namespace trellon::platform::settings_detail {

// Runs the test hook set by SettingsStore::setBeforeRenameHook, if any, just
// before a save becomes visible: false means the save must fail.
bool beforeSave();

}  // namespace trellon::platform::settings_detail
