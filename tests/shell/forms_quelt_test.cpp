// Quelt2000 started on the offscreen platform with Qt WebEngine: the portal is shown, its
// command links are intercepted, the dialogs they open change the store and the page, and
// the window keeps its rules for the address box, buttons, menus and size. Nothing here
// leaves the machine: the home page is a local file and the only addresses typed are
// loopback ones.
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QTextDocumentFragment>
#include <QWebEngineLoadingInfo>
#include <QWebEngineView>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "qtapp.h"
#include "shell/forms/form1.h"
#include "shell/forms/portaldialogs.h"
#include "shell/forms/shellstart.h"
#include "shell/forms/widgets.h"
#include "shell/groupstore.h"
#include "shell/shellregistry.h"
#include "shell/shellservices.h"

namespace kv {
namespace {

const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new test::QtEnvironment);

constexpr int kLoadTimeoutMs = 60000;

// Runs `script` in the page and waits for its result.
QVariant Js(QWebEngineView* view, const QString& script, int timeoutMs = 10000) {
    struct Result {
        bool done = false;
        QVariant value;
    };
    auto result = std::make_shared<Result>();
    view->page()->runJavaScript(script, [result](const QVariant& v) {
        result->value = v;
        result->done = true;
    });
    if (!QTest::qWaitFor([&] { return result->done; }, timeoutMs)) return {};
    return result->value;
}

// Waits until `script` is true in the page.
bool WaitForScript(QWebEngineView* view, const QString& script, int timeoutMs = kLoadTimeoutMs) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < timeoutMs) {
        if (Js(view, script, 5000).toBool()) return true;
        QTest::qWait(100);
    }
    return false;
}

// Why the browser engine cannot be used here, or empty when it can: a plain page must load.
QString BrowserEngineProblem() {
    QWebEngineView probe;
    probe.resize(200, 100);
    probe.show();
    QSignalSpy loaded(&probe, &QWebEngineView::loadFinished);
    QString crash;
    QObject::connect(probe.page(), &QWebEnginePage::renderProcessTerminated, &probe,
                     [&](QWebEnginePage::RenderProcessTerminationStatus, int code) {
                         crash = QStringLiteral("the render process ended with code %1").arg(code);
                     });
    probe.setHtml(QStringLiteral("<p>prueba</p>"));
    if (!QTest::qWaitFor([&] { return !loaded.isEmpty() || !crash.isEmpty(); }, kLoadTimeoutMs)) {
        return QStringLiteral("no page loaded within %1 s").arg(kLoadTimeoutMs / 1000);
    }
    if (!crash.isEmpty()) return crash;
    return loaded.first().first().toBool() ? QString() : QStringLiteral("the probe page failed to load");
}

// The main window with the dialogs shown over it, as the screen would show them.
QImage Screenshot(Form1* form) {
    QImage shot = form->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QPainter p(&shot);
    for (ShellCommand c : {ShellCommand::NewGroup, ShellCommand::NewItem, ShellCommand::DeleteItems,
                           ShellCommand::PortalProperties}) {
        QWidget* dialog = form->PortalDialog(c);
        if (!dialog || !dialog->isVisible()) continue;
        const QPoint at = dialog->geometry().topLeft() - form->geometry().topLeft();
        p.fillRect(QRect(at - QPoint(1, 1), dialog->size() + QSize(2, 2)), Qt::black);
        p.drawPixmap(at, dialog->grab());
    }
    return shot;
}

class QueltWindowTest : public test::QtTest {
protected:
    void SetUp() override {
        test::QtTest::SetUp();
        const QString problem = BrowserEngineProblem();
        if (!problem.isEmpty()) {
            std::fprintf(stderr, "Qt WebEngine cannot start here: %s\n", qPrintable(problem));
            GTEST_SKIP() << "Qt WebEngine cannot start here: " << problem.toStdString();
        }
        std::filesystem::create_directories(QueltDir());
        home = dir.File("inicio.html");
        std::ofstream(home) << "<html><head><meta charset='utf-8'><title>Inicio</title></head>"
                               "<body><h1>Página de inicio de prueba</h1></body></html>";
        ASSERT_TRUE(SetQueltSetting("servicios\\inicio", FileUrl(home)));
        ASSERT_TRUE(ShellAutomation::RegWrite("HKEY_CLASSES_ROOT\\.htm\\", "QueltTipo"));
    }
    void TearDown() override {
        if (form) form->close();
        QTest::qWait(50);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        test::QtTest::TearDown();
    }
    void Start() {
        QueltStartOptions options;
        options.splashMilliseconds = 200;
        form = StartQuelt2000(options);
        ASSERT_TRUE(form);
        view = form->WebBrowser1();
    }
    bool ShowsPortal() {
        return WaitForScript(view, "document.readyState == 'complete' && document.title == 'Zo Ruvira'") &&
               view->url().fileName() == QLatin1String("miportal.html");
    }
    // A real click of the pointer on the first link whose address starts with `prefix`.
    void ClickLink(const QString& prefix) {
        const QVariantList r =
            Js(view, QStringLiteral("(function(){ var a = document.querySelector(\"a[href^='%1']\");"
                                    " if (!a) return []; a.scrollIntoView({block: 'nearest'}); var b = a.getBoundingClientRect();"
                                    " return [b.left + b.width / 2, b.top + b.height / 2]; })()")
                         .arg(prefix))
                .toList();
        ASSERT_EQ(r.size(), 2) << "no link " << prefix.toStdString();
        QWidget* target = view->focusProxy() ? view->focusProxy() : view;
        const QPoint at(static_cast<int>(r[0].toDouble()), static_cast<int>(r[1].toDouble()));
        QTest::mouseClick(target, Qt::LeftButton, {}, at);
    }
    void TypeAddress(const QString& text) {
        QLineEdit* edit = form->Combo1()->lineEdit();
        edit->clear();
        QTest::keyClicks(edit, text);
        QTest::keyClick(edit, Qt::Key_Return);
    }
    std::string home;
    QPointer<Form1> form;
    QWebEngineView* view = nullptr;
};

TEST_F(QueltWindowTest, PortalNewGroupLinkOpensTheDialogAndTheNewGroupShows) {
    GroupStore store(QueltDir());
    ASSERT_EQ(store.NewGroup("Mis Enlaces"), NewGroupResult::Created);
    ASSERT_TRUE(store.AddItem("Mis Enlaces", "Inicio local", FileUrl(home)));
    ASSERT_TRUE(SetQueltSetting("navegador\\atstart", "1"));
    ASSERT_TRUE(SetQueltSetting("miportal\\tipo", "4"));
    Start();

    // the portal is the start page; it does not change the address box
    ASSERT_TRUE(ShowsPortal());
    EXPECT_EQ(form->AddressText().toStdString(), FileUrl(home));
    EXPECT_EQ(Js(view, "document.body.bgColor").toString(), "0f2f50");
    EXPECT_EQ(Js(view, "document.querySelectorAll(\"a[href='Quelt:NewItem(Mis+Enlaces)']\").length").toInt(), 1);
    EXPECT_EQ(Js(view, "document.querySelectorAll('form').length").toInt(), 4);
    // every picture of the page comes from the shell's folder and is drawn
    EXPECT_TRUE(WaitForScript(view, "Array.from(document.images).every(i => i.complete && i.naturalWidth > 0)",
                              10000))
        << Js(view, "Array.from(document.images).filter(i => !i.naturalWidth).map(i => i.src).join(' ')")
               .toString()
               .toStdString();
    // the search box's script runs on this page's document
    EXPECT_EQ(Js(view, "typeof buscame + ' ' + document.all.frm.buscador.value").toString(), "function 1");

    QSignalSpy routed(form, &Form1::commandExecuted);
    std::vector<std::pair<QWebEngineLoadingInfo::LoadStatus, QString>> loads;
    QObject::connect(view->page(), &QWebEnginePage::loadingChanged, form,
                     [&](const QWebEngineLoadingInfo& info) { loads.emplace_back(info.status(), info.url().toString()); });
    ClickLink("Quelt:NewGroup");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !routed.isEmpty(); }, 10000)) << "the click did not reach the router";
    EXPECT_EQ(routed.first().at(0).toInt(), static_cast<int>(ShellCommand::NewGroup));
    auto* dialog = qobject_cast<Form15*>(form->PortalDialog(ShellCommand::NewGroup));
    ASSERT_TRUE(dialog);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->windowTitle(), QString::fromUtf8("Nuevo Grupo"));
    // the navigation was cancelled: the page stays, nothing was loaded for the command
    QTest::qWait(300);
    EXPECT_EQ(view->url().fileName(), "miportal.html");
    for (const auto& [status, url] : loads) {
        EXPECT_NE(status, QWebEngineLoadingInfo::LoadSucceededStatus) << url.toStdString();
    }

    QTest::keyClicks(dialog->Text1(), "Noticias del ");
    dialog->Text1()->insert(QString::fromUtf8("día"));  // key clicks are ASCII only
    const QImage shot = Screenshot(form);
    ASSERT_TRUE(shot.save("/tmp/quelt_shot.png"));
    if (QScreen* s = QGuiApplication::primaryScreen()) s->grabWindow(0).save("/tmp/quelt_screen.png");

    QTest::mouseClick(dialog->CreateButton(), Qt::LeftButton);
    EXPECT_EQ(store.Groups(), (std::vector<std::string>{"Mis Enlaces", "Noticias del día"}));
    // the page was written again and is shown with the new group
    EXPECT_TRUE(WaitForScript(view, "document.querySelectorAll(\"a[href='Quelt:NewItem(Noticias+del+d%C3%ADa)']\")"
                                    ".length == 1",
                              20000));
    EXPECT_TRUE(WaitForScript(view, "document.body.innerText.indexOf('Noticias del día') >= 0", 5000));
    Screenshot(form).save("/tmp/quelt_shot_after.png");

    // a new-item link: the dialog works on the group named with the blank
    routed.clear();
    ClickLink("Quelt:NewItem(Noticias");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !routed.isEmpty(); }, 10000));
    EXPECT_EQ(form->commandArgument, "Noticias+del+d%C3%ADa");
    auto* newItem = qobject_cast<Form16*>(form->PortalDialog(ShellCommand::NewItem));
    ASSERT_TRUE(newItem);
    EXPECT_EQ(newItem->Group(), "Noticias del día");
    QTest::keyClicks(newItem->NameBox(), "Local");
    newItem->AddressBox()->setText("http://127.0.0.1:9/");
    QTest::mouseClick(newItem->AddButton(), Qt::LeftButton);
    EXPECT_EQ(store.Records("Noticias del día"), (std::vector<PortalRecord>{{"Local", "http://127.0.0.1:9/"}}));
    EXPECT_TRUE(WaitForScript(view, "document.querySelectorAll(\"a[href='http://127.0.0.1:9/']\").length == 1", 20000));
}

TEST_F(QueltWindowTest, AddressBoxRouterAndPadlock) {
    Start();
    ASSERT_TRUE(WaitForScript(view, "document.title == 'Inicio'"));
    EXPECT_EQ(view->url().toLocalFile().toStdString(), home);
    EXPECT_EQ(form->AddressText().toStdString(), FileUrl(home));  // a page outside the shell's folder
    // the support files were written on first start
    for (const char* f : {"error.html", "chat.css", "miportal.gif", "anadir.gif", "anadir2.gif", "eliminar.gif",
                          "sitio/index.html", "sitio/p4.gif"}) {
        EXPECT_TRUE(std::filesystem::exists(QueltDir() + "/" + f)) << f;
    }

    QSignalSpy routed(form, &Form1::commandExecuted);
    // a typed command in lower case opens its dialog; the page stays
    TypeAddress("quelt:newgroup");
    ASSERT_EQ(routed.size(), 1);
    EXPECT_TRUE(form->PortalDialog(ShellCommand::NewGroup));
    TypeAddress("QUELT:MiPortalPropiedades");
    EXPECT_TRUE(form->PortalDialog(ShellCommand::PortalProperties));
    TypeAddress("Quelt:DelItem(Mis+Cosas)");
    EXPECT_EQ(form->commandArgument, "Mis+Cosas");
    ASSERT_TRUE(form->PortalDialog(ShellCommand::DeleteItems));
    EXPECT_EQ(qobject_cast<Form17*>(form->PortalDialog(ShellCommand::DeleteItems))->Group(), "Mis Cosas");
    // commands whose windows come from elsewhere are still cancelled and recorded
    TypeAddress("Quelt:Skin(azul.bmp)");
    EXPECT_EQ(form->commandArgument, "azul.bmp");
    EXPECT_EQ(routed.size(), 4);
    QTest::qWait(200);
    EXPECT_EQ(view->url().toLocalFile().toStdString(), home);

    // "RES:" in any case shows the shell's error page, which leaves the box alone
    TypeAddress("rEs://shdoclc.dll/dnserror.htm");
    ASSERT_TRUE(WaitForScript(view, "document.title == 'No se puede mostrar la página'"));
    EXPECT_EQ(view->url().toLocalFile().toStdString(), QueltDir() + "/error.html");
    EXPECT_EQ(form->AddressText(), "rEs://shdoclc.dll/dnserror.htm");

    // the padlock follows the typed scheme, case-sensitively; typed twice, listed twice
    const int listed = form->Combo1()->count();
    TypeAddress("https://127.0.0.1:1/");
    EXPECT_TRUE(form->PadlockShown());
    TypeAddress("HTTPS://127.0.0.1:1/");
    EXPECT_FALSE(form->PadlockShown());
    TypeAddress("HTTPS://127.0.0.1:1/");
    EXPECT_EQ(form->Combo1()->count(), listed + 3);
    EXPECT_EQ(form->Combo1()->itemText(listed + 1), form->Combo1()->itemText(listed + 2));
    // a loopback port with no server: the shell's error page, the typed address stays
    ASSERT_TRUE(WaitForScript(view, "document.title == 'No se puede mostrar la página'"));
    EXPECT_EQ(form->AddressText(), "HTTPS://127.0.0.1:1/");
}

TEST_F(QueltWindowTest, ButtonsMenusAndSizeCap) {
    Start();
    ASSERT_TRUE(WaitForScript(view, "document.title == 'Inicio'"));
    auto enter = [](QWidget* w) {
        QEnterEvent e(QPointF(3, 3), w->mapTo(w->window(), QPointF(3, 3)), w->mapToGlobal(QPointF(3, 3)));
        QCoreApplication::sendEvent(w, &e);
    };
    // (a move to the same place as the last one is not reported)
    int moves = 0;
    auto moveOverBackground = [&] { QTest::mouseMove(form, QPoint(400 + 10 * (++moves % 2), 14)); };

    // the pointer over a button: its number, the frame around it, the hover picture
    ImageButton* stop = form->Button(3);
    enter(stop);
    EXPECT_EQ(form->HotButton(), 3);
    EXPECT_TRUE(form->HoverFrameShown());
    EXPECT_TRUE(stop->ShowsHover());
    EXPECT_EQ(form->HoverFrameRect(), QRect(QPoint(stop->x() - 15, stop->y() - 6), QPoint(stop->x() + 35, stop->y() + 36)));
    ImageButton* skins = form->Button(9);
    enter(skins);  // straight to another button: the first keeps its hover picture
    EXPECT_EQ(form->HotButton(), 9);
    EXPECT_EQ(form->HoverFrameRect(), QRect(QPoint(skins->x() - 10, skins->y() - 5), QPoint(skins->x() + 30, skins->y() + 31)));
    EXPECT_TRUE(stop->ShowsHover());
    moveOverBackground();
    EXPECT_EQ(form->HotButton(), 0);
    EXPECT_FALSE(form->HoverFrameShown());
    EXPECT_FALSE(skins->ShowsHover());
    EXPECT_TRUE(stop->ShowsHover());

    // "Adelante" does nothing before the browser says going forward is possible
    EXPECT_FALSE(form->ForwardEnabled());
    form->Navigate("c:\\temp\\error.html");
    ASSERT_TRUE(WaitForScript(view, "document.title == 'No se puede mostrar la página'"));
    QTest::mouseClick(form->Button(1), Qt::LeftButton);
    ASSERT_TRUE(WaitForScript(view, "document.title == 'Inicio'"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return form->ForwardEnabled(); }, 5000));
    QTest::mouseClick(form->Button(2), Qt::LeftButton);
    EXPECT_TRUE(WaitForScript(view, "document.title == 'No se puede mostrar la página'"));

    // the label menus: placed from the window's position, closed by acting elsewhere
    const QStringList captions = {QString::fromUtf8("Archivo"), QString::fromUtf8("Edición"),
                                  QString::fromUtf8("Herramientas"), QString::fromUtf8("Ayuda")};
    const QPoint offsets[] = {{16, 42}, {70, 42}, {134, 42}, {201, 42}};
    const QSize sizes[] = {{150, 154}, {150, 120}, {150, 154}, {150, 120}};
    for (int i = 0; i < 4; ++i) {
        const auto id = static_cast<MenuId>(i);
        ClickLabel* label = form->MenuLabel(id);
        EXPECT_EQ(QTextDocumentFragment::fromHtml(label->text()).toPlainText(), captions[i]);
        QTest::mouseClick(label, Qt::LeftButton);
        ASSERT_TRUE(form->MenuWindow(id));
        EXPECT_TRUE(form->MenuOpen());
        EXPECT_EQ(form->MenuWindow(id)->pos(), form->frameGeometry().topLeft() + offsets[i]);
        EXPECT_EQ(form->MenuWindow(id)->size(), sizes[i]);
        for (int j = 0; j < 4; ++j) {
            if (j == i) continue;
            EXPECT_FALSE(form->MenuWindow(static_cast<MenuId>(j))) << "only one menu at a time";
        }
    }
    moveOverBackground();
    EXPECT_FALSE(form->MenuOpen());
    EXPECT_FALSE(form->MenuWindow(MenuId::Help));
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form));
    // the browser or the address box taking the focus closes the menus too
    QTest::mouseClick(form->MenuLabel(MenuId::File), Qt::LeftButton);
    ASSERT_TRUE(form->MenuOpen());
    view->setFocus();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !form->MenuOpen(); }, 2000));
    QTest::mouseClick(form->MenuLabel(MenuId::Tools), Qt::LeftButton);
    ASSERT_TRUE(form->MenuOpen());
    form->Combo1()->lineEdit()->setFocus();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !form->MenuOpen(); }, 2000));

    // larger than 800 x 600: back to 800 x 600 at the screen's top-left corner
    form->move(100, 80);
    form->resize(1024, 700);
    EXPECT_TRUE(QTest::qWaitFor([&] { return form->size() == QSize(800, 600); }, 3000));
    EXPECT_EQ(form->frameGeometry().topLeft(), form->screen()->availableGeometry().topLeft());
    form->resize(640, 480);  // smaller stays
    QTest::qWait(50);
    EXPECT_EQ(form->size(), QSize(640, 480));
}

}  // namespace
}  // namespace kv
