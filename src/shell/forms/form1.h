#pragma once
// Form1, the browser shell's main window: a skinned background with image buttons and
// their captions, four menu labels, the address box, the link bar, the browser and the
// message bar. Before every navigation the command router looks at the address.
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <array>
#include <functional>
#include <string>

#include "shell/commandrouter.h"
#include "shell/shellservices.h"

class QComboBox;
class QFrame;
class QLabel;
class QWebEngineView;

namespace kv {

class ClickLabel;
class Form1;
class ImageButton;
class QueltPage;

// The four drop-down label menus.
enum class MenuId { File = 0, Edit = 1, Tools = 2, Help = 3 };

// The windows and actions that other parts of the shell provide. Each may be left empty;
// the main window then does nothing for it.
struct ShellHooks {
    std::function<void(Form1&)> showSearch;              // "Quelt:Buscadores": Form6
    std::function<void(Form1&)> loadSkin;                // "Quelt:Skin(...)", commandArgument
    std::function<void(Form1&)> showSettings;            // right click on the background: Form5
    std::function<void(Form1&)> closeSettings;           // the template chooser closes Form5
    std::function<void(Form1&)> showChannelBar;          // "Canal Quelt!": Form10
    std::function<void(Form1&)> closeChannelBar;         // when the main window closes
    std::function<void(Form1&)> showFavourites;          // "Favoritos": Form12
    std::function<void(Form1&)> unloadFavourites;        // a favourite has been opened
    std::function<void(Form1&)> translatePage;           // "Traducir"
    std::function<void(Form1&)> askDefaultBrowser;       // Form8, modal, at start-up
    std::function<void(Form1&, MenuId, QWidget&)> fillMenu;  // the entries of Form2/3/4/7
};

class Form1 : public QWidget {
    Q_OBJECT
public:
    explicit Form1(QWidget* parent = nullptr);
    ~Form1() override;

    ShellHooks hooks;

    // The start-up that follows the splash: state, registry values, background, message
    // bar and the first page (the command line when there is one).
    void Load(const QString& commandLine);

    // Navigate the main browser to a text address ("c:\temp\..." names the shell's folder).
    void Navigate(const QString& address);
    QString AddressText() const;
    void SetAddressText(const QString& text);
    // Writes the portal page from the store and shows it.
    void GeneratePortal();
    // Unloads the four drop-down menu windows.
    void CloseMenus();
    // What the command router asks for.
    void ExecuteCommand(const RoutedCommand& command);
    // The before-navigate handler: true when the navigation is cancelled.
    bool BeforeNavigate(const QString& address);

    const ShellServices& Services() const { return services_; }
    int HotButton() const { return hotButton_; }
    bool MenuOpen() const { return menuOpen_; }
    bool ForwardEnabled() const { return forwardEnabled_; }
    int TranslationMode() const { return translationMode_; }
    bool PadlockShown() const;
    // The argument of the last "QUELT:SKIN", "QUELT:NEWITEM" or "QUELT:DELITEM" command.
    std::string commandArgument;
    bool favouritePending = false;

    QWebEngineView* WebBrowser1() const { return webBrowser1_; }
    QComboBox* Combo1() const { return combo1_; }
    QLabel* StatusLabel() const { return label15_; }
    QWidget* MessageBar() const { return picture1_; }
    ImageButton* Button(int number) const;  // 1 .. 11 as hotButton counts them
    QWidget* MenuWindow(MenuId id) const;
    ClickLabel* MenuLabel(MenuId id) const;
    QWidget* PortalDialog(ShellCommand command) const;  // Form15 .. Form18 while open
    bool HoverFrameShown() const;
    QRect HoverFrameRect() const;

    // Opens a menu as a click on its label does.
    void OpenMenu(MenuId id);

signals:
    // After the router's action has run.
    void commandExecuted(int command, const QString& argument);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    void ButtonHover(int number);
    void ButtonClick(int number);
    void PlaceHoverFrame(const ImageButton& button);
    void LeaveButtons();
    void CloseMenusIfOpen();
    void AddressEntered();
    void DocumentComplete(bool ok);
    void LoadFailed(const QUrl& url);
    void SetPadlockFor(const QString& address);
    void ApplySizeCap();
    void SecondSizeCap();
    void PollTranslation();
    void Print();
    void ShowPortalDialog(ShellCommand command);
    void MoveMessageBar(bool down);

    ShellServices services_;
    int hotButton_ = 0;
    bool menuOpen_ = false;
    bool forwardEnabled_ = false;
    int translationMode_ = 2;

    QPixmap background_;
    QWebEngineView* webBrowser1_ = nullptr;
    QueltPage* page_ = nullptr;
    QComboBox* combo1_ = nullptr;
    QWidget* picture1_ = nullptr;
    QLabel* picture2_ = nullptr;
    QLabel* label15_ = nullptr;
    std::array<ImageButton*, 11> buttons_{};
    std::array<QFrame*, 4> lines_{};  // Line1 bottom, Line2 right, Line3 left, Line4 top
    std::array<ClickLabel*, 4> menuLabels_{};
    std::array<QPointer<QWidget>, 4> menus_{};
    std::array<QPointer<QWidget>, 4> portalDialogs_{};  // Form15 .. Form18
    QTimer timer1_;
    QTimer timer3_;
};

// The shell's window geometry (pixels).
inline constexpr int kBrowserTop = 127;
inline constexpr int kBrowserHeight = 409;
inline constexpr int kMessageBarTop = 536;
inline constexpr int kMessageBarDown = 27;

}  // namespace kv
