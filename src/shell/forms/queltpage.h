#pragma once
// The main browser's page: every navigation it is about to make, in the page or in one of
// its frames, goes through the window's before-navigate handler first.
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineUrlSchemeHandler>
#include <functional>

class QWebEngineProfile;

namespace kv {

// What the browser engine needs before the application object exists: the shell's
// pseudo-URL schemes ("quelt", "res"), so that their navigations reach the page's handler
// instead of being dropped as unknown schemes; shared OpenGL contexts; and, for the
// superuser, the engine's sandbox turned off (it refuses to start otherwise).
void PrepareBrowserEngine();

// Answers any request for the pseudo-URL schemes that is not a navigation (a picture or
// frame source) with a refusal: commands run only when the router sees a navigation.
class QueltSchemeRefusal : public QWebEngineUrlSchemeHandler {
    Q_OBJECT
public:
    using QWebEngineUrlSchemeHandler::QWebEngineUrlSchemeHandler;
    void requestStarted(QWebEngineUrlRequestJob* job) override;
};

// The shell's browser profile (cookies and cache kept in the shell's folder), with the
// refusal installed for the pseudo-URL schemes. Made once per process.
QWebEngineProfile* QueltProfile();

class QueltPage : public QWebEnginePage {
    Q_OBJECT
public:
    // Returns true when the navigation must not go ahead.
    using BeforeNavigate = std::function<bool(const QUrl& url, bool isMainFrame)>;

    QueltPage(QWebEngineProfile* profile, BeforeNavigate beforeNavigate, QObject* parent);

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;
    // Pages that ask for a new window open in this one.
    QWebEnginePage* createWindow(WebWindowType type) override;

private:
    BeforeNavigate beforeNavigate_;
};

}  // namespace kv
