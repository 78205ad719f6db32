// What the tray icon shows and what its double click does, as plain rules the main window
// applies: the two-line tip and the picture for the saving switch, and the action chosen by
// the settings' TrayDoubleClickMode.
#pragma once

#include <cstdint>
#include <string>

namespace trovanex {

// Image 0 of the tray's pair while saving is on, image 1 while it is off.
enum class TrayImage { SavingOn = 0, SavingOff = 1 };

// "trovanex - トロヴァネクス" CR LF and the state of saving.
std::string TrayTip(bool saving_on);
TrayImage TrayImageFor(bool saving_on);

enum class TrayDoubleClick { ShowStatus, SwitchSaving, Nothing };

// 0 shows the main window, 1 flips saving, any other value does nothing.
TrayDoubleClick TrayDoubleClickFor(std::uint8_t mode);

}  // namespace trovanex
