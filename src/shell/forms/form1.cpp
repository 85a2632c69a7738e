#include "shell/forms/form1.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QProcess>
#include <QScreen>
#include <QShortcut>
#include <QWebEngineLoadingInfo>
#include <QWebEngineView>

#include "platform/paths.h"
#include "shell/forms/portaldialogs.h"
#include "shell/forms/queltpage.h"
#include "shell/forms/widgets.h"
#include "shell/portal.h"
#include "shell/queltpaths.h"
#include "shell/shellregistry.h"

namespace kv {
namespace {

QString U(const std::string& s) { return QString::fromStdString(s); }

struct ButtonDesign {
    const char* control;   // design name
    const char* caption;
    const char* picture;   // images/boton_<picture>.png and boton_<picture>_sobre.png
    const char* captionControl;
    int x;
    int y;
    bool small;            // 20-pixel picture with the smaller hover frame
};

// hotButton numbers 1 to 11, in order.
constexpr ButtonDesign kButtons[] = {
    {"Image1", "Atrás", "atras", "Label3", 28, 30, false},
    {"Image2", "Adelante", "adelante", "Label4", 86, 30, false},
    {"Image3", "Detener", "detener", "Label5", 144, 30, false},
    {"Image4", "Actualizar", "actualizar", "Label6", 202, 30, false},
    {"Image5", "Imprimir", "imprimir", "Label7", 260, 30, false},
    {"Image6", "Correo", "correo", "Label8", 318, 30, false},
    {"Image7", "Zo Ruvira", "zoruvira", "Label9", 376, 30, false},
    {"Image8", "Traducir", "traducir", "Label10", 434, 30, false},
    {"Image15", "Skins", "skins", "Label25", 508, 32, true},
    {"Image16", "Chat", "chat", "Label26", 556, 32, true},
    {"Image17", "Mensajes", "mensajes", "Label27", 604, 30, false},
};

struct MenuDesign {
    const char* control;
    const char* caption;   // with its "&" mnemonic
    const char* window;
    int labelX;
    int x;                 // offset of the menu window from the main window's position
    int y;
    int width;
    int height;
};

constexpr MenuDesign kMenus[] = {
    {"Label2", "&Archivo", "Form2", 14, 16, 42, 150, 154},
    {"Label14", "&Edición", "Form3", 66, 70, 42, 150, 120},
    {"Label16", "&Herramientas", "Form4", 120, 134, 42, 150, 154},
    {"Label17", "A&yuda", "Form7", 203, 201, 42, 150, 120},
};

QFont CaptionFont() {
    QFont f(QStringLiteral("Verdana"));
    f.setPixelSize(11);
    return f;
}

// "&Archivo" shown with its mnemonic letter underlined.
QString MnemonicRichText(const QString& caption) {
    int amp = caption.indexOf('&');
    if (amp < 0 || amp + 1 >= caption.size()) return caption.toHtmlEscaped();
    return caption.left(amp).toHtmlEscaped() + "<u>" + caption.mid(amp + 1, 1).toHtmlEscaped() +
           "</u>" + caption.mid(amp + 2).toHtmlEscaped();
}

QUrl AddressToUrl(const QString& address) {
    const std::string mapped = MapQueltAddress(address.toStdString(), QueltDirectory());
    if (!mapped.empty()) return QUrl::fromLocalFile(U(mapped));
    if (address.startsWith('/')) return QUrl::fromLocalFile(address);
    return QUrl::fromUserInput(address, QDir::currentPath());
}

}  // namespace

Form1::Form1(QWidget* parent) : QWidget(parent), services_(LoadShellServices()) {
    setObjectName("Form1");
    setWindowTitle(QStringLiteral("Quelt!"));
    setWindowIcon(QIcon(QStringLiteral(":/shell/images/quelt.png")));
    setMouseTracking(true);
    background_ = QPixmap(QStringLiteral(":/shell/images/fondo.png"));
    resize(800, 590);
    BuildControls();

    timer1_.setInterval(2000);
    connect(&timer1_, &QTimer::timeout, this, &Form1::PollTranslation);
    timer1_.start();
    timer3_.setInterval(1000);
    timer3_.setSingleShot(true);
    connect(&timer3_, &QTimer::timeout, this, &Form1::SecondSizeCap);
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        if (now && webBrowser1_ && (now == webBrowser1_ || webBrowser1_->isAncestorOf(now))) {
            CloseMenusIfOpen();
        }
    });
}

Form1::~Form1() = default;

void Form1::BuildControls() {
    const QFont font = CaptionFont();
    auto caption = [&](const char* name, const QString& text, QRect where, bool clickable) {
        QLabel* label = clickable ? new ClickLabel(text, this) : new QLabel(text, this);
        label->setObjectName(name);
        label->setFont(font);
        label->setGeometry(where);
        if (clickable) label->setCursor(Qt::PointingHandCursor);
        return label;
    };

    // menu labels
    for (int i = 0; i < 4; ++i) {
        const MenuDesign& m = kMenus[i];
        const QString text = QString::fromUtf8(m.caption);
        auto* label = static_cast<ClickLabel*>(caption(m.control, MnemonicRichText(text),
                                                       QRect(m.labelX, 5, 80, 15), true));
        label->adjustSize();
        const auto id = static_cast<MenuId>(i);
        connect(label, &ClickLabel::clicked, this, [this, id] { OpenMenu(id); });
        auto* shortcut = new QShortcut(QKeySequence::mnemonic(text), this);
        connect(shortcut, &QShortcut::activated, this, [this, id] { OpenMenu(id); });
        menuLabels_[static_cast<size_t>(i)] = label;
    }

    // image buttons and their captions
    for (int i = 0; i < 11; ++i) {
        const ButtonDesign& b = kButtons[i];
        const QString base = QStringLiteral(":/shell/images/boton_%1").arg(b.picture);
        auto* button = new ImageButton(i + 1, QPixmap(base + ".png"), QPixmap(base + "_sobre.png"), this);
        button->setObjectName(b.control);
        button->move(b.x, b.y);
        button->setToolTip(QString::fromUtf8(b.caption));
        connect(button, &ImageButton::pointerOver, this, &Form1::ButtonHover);
        connect(button, &ClickLabel::clicked, this, [this, i] { ButtonClick(i + 1); });
        buttons_[static_cast<size_t>(i)] = button;
        const QRect where = b.small ? QRect(b.x - 12, b.y + 21, 44, 13) : QRect(b.x - 15, b.y + 25, 54, 13);
        QLabel* label = caption(b.captionControl, QString::fromUtf8(b.caption), where, false);
        label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    }

    // the hover frame
    const char* lineNames[] = {"Line1", "Line2", "Line3", "Line4"};
    const QColor lineColours[] = {palette().color(QPalette::WindowText),
                                  palette().color(QPalette::Inactive, QPalette::Highlight),
                                  palette().color(QPalette::Base), palette().color(QPalette::Base)};
    for (int i = 0; i < 4; ++i) {
        auto* line = new QFrame(this);
        line->setObjectName(lineNames[i]);
        line->setAutoFillBackground(true);
        QPalette pal = line->palette();
        pal.setColor(QPalette::Window, lineColours[i]);
        line->setPalette(pal);
        line->setAttribute(Qt::WA_TransparentForMouseEvents);
        line->hide();
        lines_[static_cast<size_t>(i)] = line;
    }

    // the home site's hot spot over the name at the top right
    auto* image11 = new ClickLabel(this);
    image11->setObjectName("Image11");
    image11->setGeometry(662, 4, 130, 74);
    image11->setCursor(Qt::PointingHandCursor);
    connect(image11, &ClickLabel::clicked, this, [this] { Navigate(U(services_.homePage)); });

    // address box
    caption("Label1", QString::fromUtf8("Dirección:"), QRect(8, 88, 60, 15), false);
    combo1_ = new QComboBox(this);
    combo1_->setObjectName("Combo1");
    combo1_->setEditable(true);
    combo1_->setInsertPolicy(QComboBox::NoInsert);
    combo1_->setDuplicatesEnabled(true);
    combo1_->setGeometry(70, 86, 580, 18);
    combo1_->setFont(font);
    combo1_->addItem(U(services_.secondSite));
    combo1_->setEditText(U(services_.homePage));
    connect(combo1_, &QComboBox::activated, this, [this](int) {
        CloseMenusIfOpen();
        Navigate(AddressText());
    });
    combo1_->lineEdit()->installEventFilter(this);
    combo1_->installEventFilter(this);

    // link bar
    caption("Label11", QString::fromUtf8("Enlaces"), QRect(8, 109, 58, 15), false);
    struct Link {
        const char* image;
        const char* picture;
        const char* label;
        const char* text;
        int x;
        int labelWidth;
        std::function<void()> action;
    };
    const Link links[] = {
        {"Image9", "canal", "Label24", "Canal Quelt!", 70, 80,
         [this] {
             if (hooks.showChannelBar) hooks.showChannelBar(*this);
             activateWindow();
         }},
        {"Image10", "favoritos", "Label12", "Favoritos", 180, 70,
         [this] {
             if (hooks.showFavourites) hooks.showFavourites(*this);
         }},
        {"Image13", "miquelt", "Label13", "Mi Quelt!", 270, 70, [this] { Navigate(U(services_.homePage)); }},
    };
    for (const Link& l : links) {
        auto* image = new ClickLabel(this);
        image->setObjectName(l.image);
        image->setPixmap(QPixmap(QStringLiteral(":/shell/images/%1.png").arg(l.picture)));
        image->setGeometry(l.x, 108, 16, 16);
        image->setCursor(Qt::PointingHandCursor);
        auto* label = static_cast<ClickLabel*>(
            caption(l.label, QString::fromUtf8(l.text), QRect(l.x + 19, 109, l.labelWidth, 15), true));
        connect(image, &ClickLabel::clicked, this, l.action);
        connect(label, &ClickLabel::clicked, this, l.action);
    }

    // the browser
    webBrowser1_ = new QWebEngineView(this);
    webBrowser1_->setObjectName("WebBrowser1");
    page_ = new QueltPage(
        QueltProfile(),
        [this](const QUrl& url, bool) {
            if (url.scheme() == QLatin1String("mailto")) {
                QDesktopServices::openUrl(url);
                return true;
            }
            // the command runs after the browser has been told to cancel
            const RouteResult r = RouteCommand(url.toString(QUrl::FullyEncoded).toStdString());
            if (!r.cancel) return false;
            QPointer<Form1> self(this);
            QTimer::singleShot(0, this, [self, r] {
                for (const RoutedCommand& c : r.commands) {
                    if (self) self->ExecuteCommand(c);
                }
            });
            return true;
        },
        webBrowser1_);
    webBrowser1_->setPage(page_);
    webBrowser1_->setGeometry(0, kBrowserTop, 800, kBrowserHeight);
    connect(page_->action(QWebEnginePage::Forward), &QAction::changed, this,
            [this] { forwardEnabled_ = page_->action(QWebEnginePage::Forward)->isEnabled(); });
    connect(page_, &QWebEnginePage::linkHovered, this, [this](const QString& url) { label15_->setText(url); });
    connect(page_, &QWebEnginePage::loadFinished, this, &Form1::DocumentComplete);
    connect(page_, &QWebEnginePage::loadingChanged, this, [this](const QWebEngineLoadingInfo& info) {
        if (info.status() != QWebEngineLoadingInfo::LoadFailedStatus) return;
        if (info.errorDomain() == QWebEngineLoadingInfo::ConnectionErrorDomain ||
            info.errorDomain() == QWebEngineLoadingInfo::DnsErrorDomain) {
            LoadFailed(info.url());
        }
    });
    connect(page_, &QWebEnginePage::printRequested, this, &Form1::Print);

    // message bar
    auto* bar = new QLabel(this);
    bar->setObjectName("Picture1");
    bar->setPixmap(QPixmap(QStringLiteral(":/shell/images/barra.png")));
    bar->setGeometry(0, kMessageBarTop, 800, 22);
    picture1_ = bar;
    label15_ = new QLabel(bar);
    label15_->setObjectName("Label15");
    label15_->setFont(font);
    label15_->setGeometry(8, 5, 680, 13);
    picture2_ = new QLabel(bar);
    picture2_->setObjectName("Picture2");
    picture2_->setPixmap(QPixmap(QStringLiteral(":/shell/images/candado.png")));
    picture2_->setGeometry(700, 4, 12, 14);
    picture2_->setToolTip(QString::fromUtf8("Conexión segura"));
    picture2_->hide();
    const char* spots[][2] = {{"Image22", "sitio"}, {"Image23", "inicio"}};
    int x = 748;
    for (const auto& spot : spots) {
        auto* hot = new ClickLabel(bar);
        hot->setObjectName(spot[0]);
        hot->setPixmap(QPixmap(QStringLiteral(":/shell/images/%1.png").arg(spot[1])));
        hot->setGeometry(x, 3, 16, 16);
        hot->setCursor(Qt::PointingHandCursor);
        connect(hot, &ClickLabel::clicked, this, [this] { Navigate(U(services_.homePage)); });
        x += 24;
    }
    for (QFrame* line : lines_) line->raise();
}

void Form1::Load(const QString& commandLine) {
    hotButton_ = 0;
    for (QFrame* line : lines_) line->hide();
    menuOpen_ = false;
    translationMode_ = 2;
    forwardEnabled_ = false;
    webBrowser1_->resize(800, webBrowser1_->height());

    const std::string htmType = ShellAutomation::RegRead("HKEY_CLASSES_ROOT\\.htm\\");
    const std::string mbar = QueltSetting("navegador\\mbar");
    if (htmType != "QueltTipo" && hooks.askDefaultBrowser) hooks.askDefaultBrowser(*this);
    picture1_->resize(800, picture1_->height());

    // the last skin, when there is one; otherwise the design picture stays
    QPixmap skin(U(QueltFile("wstmptb.bmp")));
    if (!skin.isNull()) {
        background_ = skin;
        update();
    }
    if (mbar == "1") MoveMessageBar(true);

    const std::string atstart = QueltSetting("navegador\\atstart");
    if (commandLine.isEmpty()) {
        if (atstart == "1") {
            GeneratePortal();
        } else {
            Navigate(U(services_.homePage));
        }
    } else {
        Navigate(commandLine);
    }
}

void Form1::MoveMessageBar(bool down) {
    const int shift = down ? kMessageBarDown : 0;
    picture1_->move(picture1_->x(), kMessageBarTop + shift);
    webBrowser1_->resize(webBrowser1_->width(), kBrowserHeight + shift);
}

QString Form1::AddressText() const { return combo1_->currentText(); }

void Form1::SetAddressText(const QString& text) { combo1_->setEditText(text); }

bool Form1::PadlockShown() const { return !picture2_->isHidden(); }

ImageButton* Form1::Button(int number) const {
    return (number >= 1 && number <= 11) ? buttons_[static_cast<size_t>(number - 1)] : nullptr;
}

QWidget* Form1::MenuWindow(MenuId id) const { return menus_[static_cast<size_t>(id)]; }

ClickLabel* Form1::MenuLabel(MenuId id) const { return menuLabels_[static_cast<size_t>(id)]; }

QWidget* Form1::PortalDialog(ShellCommand command) const {
    switch (command) {
        case ShellCommand::NewGroup: return portalDialogs_[0];
        case ShellCommand::NewItem: return portalDialogs_[1];
        case ShellCommand::DeleteItems: return portalDialogs_[2];
        case ShellCommand::PortalProperties: return portalDialogs_[3];
        default: return nullptr;
    }
}

bool Form1::HoverFrameShown() const { return !lines_[3]->isHidden(); }

QRect Form1::HoverFrameRect() const {
    return QRect(lines_[2]->pos(), lines_[1]->geometry().bottomRight());
}

void Form1::Navigate(const QString& address) {
    if (address.isEmpty()) return;
    if (BeforeNavigate(address)) return;
    const QUrl url = AddressToUrl(address);
    if (url.scheme() == QLatin1String("mailto")) {
        QDesktopServices::openUrl(url);
        return;
    }
    webBrowser1_->load(url);
}

bool Form1::BeforeNavigate(const QString& address) {
    const RouteResult r = RouteCommand(address.toStdString());
    for (const RoutedCommand& c : r.commands) ExecuteCommand(c);
    return r.cancel;
}

void Form1::ExecuteCommand(const RoutedCommand& command) {
    switch (command.command) {
        case ShellCommand::ShowErrorPage:
            Navigate(QStringLiteral("c:\\temp\\error.html"));
            break;
        case ShellCommand::LoadSkin:
            commandArgument = command.argument;
            if (hooks.loadSkin) hooks.loadSkin(*this);
            break;
        case ShellCommand::ShowSearch:
            if (hooks.showSearch) hooks.showSearch(*this);
            break;
        case ShellCommand::NewItem:
        case ShellCommand::DeleteItems:
            commandArgument = command.argument;
            ShowPortalDialog(command.command);
            break;
        case ShellCommand::NewGroup:
        case ShellCommand::PortalProperties:
            ShowPortalDialog(command.command);
            break;
    }
    emit commandExecuted(static_cast<int>(command.command), U(command.argument));
}

void Form1::ShowPortalDialog(ShellCommand command) {
    size_t index = 0;
    switch (command) {
        case ShellCommand::NewGroup: index = 0; break;
        case ShellCommand::NewItem: index = 1; break;
        case ShellCommand::DeleteItems: index = 2; break;
        case ShellCommand::PortalProperties: index = 3; break;
        default: return;
    }
    QPointer<QWidget>& slot = portalDialogs_[index];
    const bool perGroup = index == 1 || index == 2;
    if (slot && !perGroup) {
        slot->raise();
        slot->activateWindow();
        return;
    }
    if (slot) {
        // a dialog belongs to the group it was opened for: a new command opens a new one
        slot->close();
        slot = nullptr;
    }
    const std::string dir = QueltDirectory();
    auto regenerate = [self = QPointer<Form1>(this)] {
        if (self) self->GeneratePortal();
    };
    QWidget* dialog = nullptr;
    switch (index) {
        case 0: dialog = new Form15(dir, regenerate, this); break;
        case 1: dialog = new Form16(dir, commandArgument, regenerate, this); break;
        case 2: dialog = new Form17(dir, commandArgument, regenerate, this); break;
        default:
            dialog = new Form18(regenerate, [this] {
                if (hooks.closeSettings) hooks.closeSettings(*this);
            }, this);
    }
    slot = dialog;
    dialog->move(frameGeometry().topLeft() + QPoint(200, 150));
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}

void Form1::GeneratePortal() {
    WritePortalPage(QueltDirectory(), QueltSetting("miportal\\tipo"), services_);
    Navigate(QStringLiteral("c:\\temp\\") + QString::fromLatin1(kPortalFileName));
}

void Form1::OpenMenu(MenuId id) {
    CloseMenus();
    menuOpen_ = true;
    const MenuDesign& m = kMenus[static_cast<size_t>(id)];
    auto* menu = new QFrame(this, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                                      Qt::WindowDoesNotAcceptFocus);
    menu->setObjectName(m.window);
    menu->setAttribute(Qt::WA_ShowWithoutActivating);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->setFrameStyle(QFrame::Panel | QFrame::Raised);
    menu->setAutoFillBackground(true);
    QPalette pal = menu->palette();
    pal.setColor(QPalette::Window, QColor(191, 191, 191));
    menu->setPalette(pal);
    menu->setFixedSize(m.width, m.height);
    if (hooks.fillMenu) hooks.fillMenu(*this, id, *menu);
    menu->move(frameGeometry().topLeft() + QPoint(m.x, m.y));
    menus_[static_cast<size_t>(id)] = menu;
    menu->show();
}

void Form1::CloseMenus() {
    for (QPointer<QWidget>& menu : menus_) {
        if (menu) menu->close();
        menu = nullptr;
    }
    menuOpen_ = false;
}

void Form1::CloseMenusIfOpen() {
    if (menuOpen_) CloseMenus();
}

void Form1::ButtonHover(int number) {
    ImageButton* button = Button(number);
    if (!button) return;
    hotButton_ = number;
    PlaceHoverFrame(*button);
    for (QFrame* line : lines_) {
        line->show();
        line->raise();
    }
    button->ShowHover(true);
}

void Form1::PlaceHoverFrame(const ImageButton& button) {
    const bool small = kButtons[button.Number() - 1].small;
    const QPoint c = button.pos();
    const int left = c.x() - (small ? 10 : 15), top = c.y() - (small ? 5 : 6);
    const int right = c.x() + (small ? 30 : 35), bottom = c.y() + (small ? 31 : 36);
    lines_[3]->setGeometry(left, top, right - left + 1, 1);     // Line4, top
    lines_[2]->setGeometry(left, top, 1, bottom - top + 1);     // Line3, left
    lines_[1]->setGeometry(right, top, 1, bottom - top + 1);    // Line2, right
    lines_[0]->setGeometry(left, bottom, right - left + 1, 1);  // Line1, bottom
}

void Form1::LeaveButtons() {
    if (hotButton_ == 0) return;
    for (QFrame* line : lines_) line->hide();
    if (ImageButton* button = Button(hotButton_)) button->ShowHover(false);
    hotButton_ = 0;
}

void Form1::ButtonClick(int number) {
    switch (number) {
        case 1: webBrowser1_->back(); break;
        case 2:
            if (forwardEnabled_) webBrowser1_->forward();
            break;
        case 3: webBrowser1_->stop(); break;
        case 4: webBrowser1_->reload(); break;
        case 5:
            if (QWidget* file = menus_[static_cast<size_t>(MenuId::File)]) file->close();
            Print();
            break;
        case 6: Navigate(QStringLiteral("mailto:")); break;
        case 7:
            SetAddressText(QStringLiteral("Crea tu propio Portal..."));
            GeneratePortal();
            break;
        case 8:
            if (hooks.translatePage) hooks.translatePage(*this);
            break;
        case 9: Navigate(U(services_.HomeAddress("/skins/index.htm"))); break;
        case 10: QProcess::startDetached(U(QueltFile("QIRC.EXE")), {}); break;
        case 11: Navigate(U(services_.HomeAddress("/sms.html"))); break;
        default: break;
    }
}

void Form1::Print() {
    auto* printer = new QPrinter;
    QPrintDialog dialog(printer, this);
    if (dialog.exec() != QDialog::Accepted) {
        delete printer;
        return;
    }
    connect(webBrowser1_, &QWebEngineView::printFinished, this, [printer](bool) { delete printer; },
            Qt::SingleShotConnection);
    webBrowser1_->print(printer);
}

void Form1::AddressEntered() {
    const QString text = AddressText();
    combo1_->addItem(text);  // typed twice, listed twice
    combo1_->setEditText(text);
    Navigate(text);
    SetPadlockFor(text);
}

void Form1::SetPadlockFor(const QString& address) {
    picture2_->setVisible(ShowsPadlock(address.toStdString()));
}

void Form1::DocumentComplete(bool ok) {
    if (favouritePending) {
        if (hooks.unloadFavourites) hooks.unloadFavourites(*this);
        favouritePending = false;
    }
    if (!ok) return;
    const QString address = page_->url().toString();
    if (IsShellPageAddress(address.toStdString(), QueltDirectory())) return;
    SetAddressText(address);
    SetPadlockFor(address);
}

void Form1::LoadFailed(const QUrl& url) {
    // Where the page cannot be reached, the shell shows its own error page.
    const QUrl errorPage = QUrl::fromLocalFile(U(QueltFile("error.html")));
    if (url.adjusted(QUrl::StripTrailingSlash) == errorPage) return;
    Navigate(QStringLiteral("c:\\temp\\error.html"));
}

void Form1::PollTranslation() {
    if (windowTitle() != QLatin1String("JRRFN")) return;
    Navigate(QStringLiteral("c:\\temp\\tmp.html"));
    setWindowTitle(QString::fromUtf8("Página traducida"));
}

void Form1::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), QColor(206, 214, 228));
    p.drawPixmap(0, 0, background_);
}

void Form1::mouseMoveEvent(QMouseEvent* event) {
    CloseMenusIfOpen();
    LeaveButtons();
    QWidget::mouseMoveEvent(event);
}

void Form1::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        if (hooks.showSettings) hooks.showSettings(*this);
    } else {
        CloseMenusIfOpen();
        timer3_.start();
    }
    QWidget::mousePressEvent(event);
}

void Form1::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    CloseMenusIfOpen();
    if (width() > 800 || height() > 600) {
        QTimer::singleShot(0, this, &Form1::ApplySizeCap);
    }
}

void Form1::ApplySizeCap() {
    if (width() <= 800 && height() <= 600) return;
    if (windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen)) setWindowState(Qt::WindowNoState);
    const QScreen* s = screen();
    move(s ? s->availableGeometry().topLeft() : QPoint(0, 0));
    resize(800, 600);
}

void Form1::SecondSizeCap() {
    // the window's outer size, frame included, kept within 800 x 600
    const QRect outer = frameGeometry();
    int w = width(), h = height();
    if (outer.width() > 800) w -= outer.width() - 800;
    if (outer.height() > 600) h -= outer.height() - 600;
    if (w != width() || h != height()) resize(w, h);
}

void Form1::closeEvent(QCloseEvent* event) {
    CloseMenus();
    if (hooks.closeChannelBar) hooks.closeChannelBar(*this);
    for (QPointer<QWidget>& dialog : portalDialogs_) {
        if (dialog) dialog->close();
    }
    event->accept();
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    const bool addressBox = watched == combo1_ || watched == combo1_->lineEdit();
    if (event->type() == QEvent::FocusIn && addressBox) CloseMenusIfOpen();
    if (event->type() == QEvent::KeyPress && watched == combo1_->lineEdit()) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            // Enter is the address box's alone: the combo box would also take it as a choice
            // from its list and navigate a second time
            AddressEntered();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace kv
