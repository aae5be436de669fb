// The update confirmation dialog: shows the package's and the installed version and asks
// whether the whole system is to be updated. Accepts by itself after 5 seconds so that an
// unattended device still updates.
#pragma once

#include <string>

#include "platform/ui.h"

class CTipDlg : public platform::Dialog {
  public:
    CTipDlg(std::u16string updateVersion, std::u16string currentVersion, platform::Dialog* parent);
    ~CTipDlg() override;

    // The text the dialog shows.
    std::u16string Question() const;

    std::u16string m_updateVersion;
    std::u16string m_currentVersion;

  protected:
    bool OnInitDialog() override;
    void OnCommand(int controlId) override;
    void OnTimer(uintptr_t timerId) override;
};
