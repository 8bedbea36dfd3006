// CVorlaneCardApp: the application object; runs the main dialog once.
#pragma once

namespace vorlane::gui {

class CVorlaneCardApp {
  public:
    // Creates the QApplication's dialog and runs it; the process's exit code
    // (0 also when start-up fails: the reason is in the log only).
    static int Run(int argc, char** argv);
};

} // namespace vorlane::gui
