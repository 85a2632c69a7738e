#pragma once
// Starting the browser shell: the support files in its folder, the splash, the main window.
#include <QDialog>
#include <QString>

namespace kv {

class Form1;

// frmSplash: a borderless, centred picture that closes itself after `milliseconds`.
class FrmSplash : public QDialog {
    Q_OBJECT
public:
    explicit FrmSplash(int milliseconds, QWidget* parent = nullptr);
};

// Writes every shipped support file (error page, style sheet, the portal's pictures and the
// local home site) that is missing from `directory`; files already there are left as they
// are. Returns the number of files written.
int InstallSupportFiles(const QString& directory);

struct QueltStartOptions {
    QString commandLine;         // navigated to unchanged when not empty
    int splashMilliseconds = 3000;
};

// The start-up of the program after the application object exists: support files, the
// splash (modal), then the main window's load; the window is shown. The caller owns it.
Form1* StartQuelt2000(const QueltStartOptions& options);

// The whole program: schemes, application object, start-up, event loop.
int RunQuelt2000(int argc, char** argv);

}  // namespace kv
