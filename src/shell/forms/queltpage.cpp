#include "shell/forms/queltpage.h"

#include <QCoreApplication>
#include <QWebEngineProfile>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>

#include <unistd.h>

#include "platform/paths.h"

namespace kv {

void PrepareBrowserEngine() {
    if (::geteuid() == 0 && qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX")) {
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    }
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    for (const char* name : {"quelt", "res"}) {
        if (QWebEngineUrlScheme::schemeByName(name).name() == name) continue;
        QWebEngineUrlScheme scheme(name);
        scheme.setSyntax(QWebEngineUrlScheme::Syntax::Path);
        scheme.setFlags(QWebEngineUrlScheme::LocalScheme | QWebEngineUrlScheme::LocalAccessAllowed);
        QWebEngineUrlScheme::registerScheme(scheme);
    }
}

void QueltSchemeRefusal::requestStarted(QWebEngineUrlRequestJob* job) {
    job->fail(QWebEngineUrlRequestJob::RequestDenied);
}

QWebEngineProfile* QueltProfile() {
    static QWebEngineProfile* profile = [] {
        auto* p = new QWebEngineProfile(QStringLiteral("Quelt2000"), QCoreApplication::instance());
        const QString dir = QString::fromStdString(QueltDirectory()) + QStringLiteral("/navegador");
        p->setPersistentStoragePath(dir);
        p->setCachePath(dir + QStringLiteral("/cache"));
        auto* refusal = new QueltSchemeRefusal(p);
        p->installUrlSchemeHandler("quelt", refusal);
        p->installUrlSchemeHandler("res", refusal);
        return p;
    }();
    return profile;
}

QueltPage::QueltPage(QWebEngineProfile* profile, BeforeNavigate beforeNavigate, QObject* parent)
    : QWebEnginePage(profile, parent), beforeNavigate_(std::move(beforeNavigate)) {}

bool QueltPage::acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) {
    if (beforeNavigate_ && beforeNavigate_(url, isMainFrame)) return false;
    return QWebEnginePage::acceptNavigationRequest(url, type, isMainFrame);
}

QWebEnginePage* QueltPage::createWindow(WebWindowType) { return this; }

}  // namespace kv
