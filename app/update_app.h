// The application object of the installer: runs the progress dialog once and ends.
#pragma once

#include "app/update_session.h"
#include "platform/ui.h"

class CUpdateApp : public platform::Application {
  public:
    CUpdateApp() = default;
    ~CUpdateApp() override;

    // Runs CUpdateDlg modally as the main window. Returns false in every case: the application
    // has no message loop of its own, so the framework ends the program when this returns.
    bool InitInstance() override;

    // The record the program's entry keeps of every outcome besides the technician's log (a host
    // program's events); null keeps none. Set before the application runs.
    void SetRecord(app::SessionObserver* record) { record_ = record; }

  private:
    app::SessionObserver* record_ = nullptr;
};

// The one instance, constructed before the program's entry runs. It is defined in the_app.cpp,
// which is compiled into the program itself: the entry only finds it through
// Application::Current(), so a copy inside the static library would be left out by the linker.
extern CUpdateApp theApp;
