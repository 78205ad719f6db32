#include "ui/tray_rules.h"

namespace trovanex {

std::string TrayTip(bool saving_on) {
  return std::string("trovanex - トロヴァネクス\r\n") +
         (saving_on ? "保存は有効です" : "保存は無効です");
}

TrayImage TrayImageFor(bool saving_on) {
  return saving_on ? TrayImage::SavingOn : TrayImage::SavingOff;
}

TrayDoubleClick TrayDoubleClickFor(std::uint8_t mode) {
  switch (mode) {
    case 0:
      return TrayDoubleClick::ShowStatus;
    case 1:
      return TrayDoubleClick::SwitchSaving;
    default:
      return TrayDoubleClick::Nothing;
  }
}

}  // namespace trovanex
