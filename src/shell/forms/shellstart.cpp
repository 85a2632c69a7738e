#include "shell/forms/shellstart.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QSaveFile>
#include <QScreen>
#include <QStringList>
#include <QTimer>
#include <QVBoxLayout>

#include "platform/paths.h"
#include "shell/forms/form1.h"
#include "shell/forms/queltpage.h"

namespace kv {

FrmSplash::FrmSplash(int milliseconds, QWidget* parent)
    : QDialog(parent, Qt::SplashScreen | Qt::FramelessWindowHint) {
    setObjectName("frmSplash");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* picture = new QLabel(this);
    picture->setPixmap(QPixmap(QStringLiteral(":/shell/images/splash.png")));
    layout->addWidget(picture);
    setFixedSize(450, 250);
    if (const QScreen* s = QGuiApplication::primaryScreen()) {
        move(s->availableGeometry().center() - rect().center());
    }
    QTimer::singleShot(milliseconds, this, [this] {
        setEnabled(false);
        accept();
    });
}

int InstallSupportFiles(const QString& directory) {
    const QString root = QStringLiteral(":/shell/quelt");
    int written = 0;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString source = it.next();
        const QString target = directory + source.mid(root.size());
        if (QFileInfo::exists(target)) continue;
        QDir().mkpath(QFileInfo(target).path());
        QFile in(source);
        QSaveFile out(target);
        if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly)) continue;
        out.write(in.readAll());
        if (out.commit()) ++written;
    }
    return written;
}

Form1* StartQuelt2000(const QueltStartOptions& options) {
    const QString dir = QString::fromStdString(QueltDirectory());
    QDir().mkpath(dir);
    InstallSupportFiles(dir);
    if (options.splashMilliseconds > 0) {
        FrmSplash splash(options.splashMilliseconds);
        splash.exec();
    }
    auto* form = new Form1;
    form->setAttribute(Qt::WA_DeleteOnClose);
    form->Load(options.commandLine);
    form->show();
    return form;
}

int RunQuelt2000(int argc, char** argv) {
    PrepareBrowserEngine();
    QApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("Quelt2000"));
    app.setOrganizationName(QStringLiteral("Quelt Internet"));
    QueltStartOptions options;
    QStringList args = app.arguments();
    args.removeFirst();
    options.commandLine = args.join(' ');
    StartQuelt2000(options);
    return app.exec();
}

}  // namespace kv
