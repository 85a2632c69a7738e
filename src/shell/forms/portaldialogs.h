#pragma once
// The portal's dialogs, opened by the command router: "Nuevo Grupo" (Form15), "Nuevo
// Elemento" (Form16), "Eliminar Elementos" (Form17) and the template chooser (Form18).
// Each works on the group store of one folder and asks for the page to be written and
// shown again after every change.
#include <QWidget>
#include <functional>
#include <string>

#include "shell/groupstore.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace kv {

class ClickLabel;

using RegeneratePortal = std::function<void()>;

class Form15 : public QWidget {
    Q_OBJECT
public:
    Form15(const std::string& storeDir, RegeneratePortal regenerate, QWidget* parent = nullptr);
    QLineEdit* Text1() const { return text1_; }
    QPushButton* CreateButton() const { return create_; }
    QPushButton* CancelButton() const { return cancel_; }
    QLabel* Problem() const { return problem_; }  // why a name was refused
private:
    void Create();
    GroupStore store_;
    RegeneratePortal regenerate_;
    QLineEdit* text1_;
    QPushButton* create_;
    QPushButton* cancel_;
    QLabel* problem_;
};

class Form16 : public QWidget {
    Q_OBJECT
public:
    // `commandArgument`: the group name as the command carried it ("+" for blanks).
    Form16(const std::string& storeDir, const std::string& commandArgument,
           RegeneratePortal regenerate, QWidget* parent = nullptr);
    const std::string& Group() const { return group_; }
    QLineEdit* NameBox() const { return name_; }
    QLineEdit* AddressBox() const { return address_; }
    QPushButton* AddButton() const { return add_; }
    QPushButton* CancelButton() const { return cancel_; }
private:
    void Add();
    GroupStore store_;
    std::string group_;
    RegeneratePortal regenerate_;
    QLineEdit* name_;
    QLineEdit* address_;
    QPushButton* add_;
    QPushButton* cancel_;
};

class Form17 : public QWidget {
    Q_OBJECT
public:
    Form17(const std::string& storeDir, const std::string& commandArgument,
           RegeneratePortal regenerate, QWidget* parent = nullptr);
    const std::string& Group() const { return group_; }
    QListWidget* List1() const { return list_; }
    QPushButton* DeleteButton() const { return delete_; }
    QPushButton* DeleteGroupButton() const { return deleteGroup_; }
    QPushButton* CloseButton() const { return close_; }
private:
    void Fill();
    void DeleteSelected();
    void DeleteWholeGroup();
    GroupStore store_;
    std::string group_;
    RegeneratePortal regenerate_;
    QListWidget* list_;
    QPushButton* delete_;
    QPushButton* deleteGroup_;
    QPushButton* close_;
};

class Form18 : public QWidget {
    Q_OBJECT
public:
    // `closeSettings` closes the settings window when it is open.
    Form18(RegeneratePortal regenerate, std::function<void()> closeSettings,
           QWidget* parent = nullptr);
    ClickLabel* Image(int k) const { return images_[k - 1]; }  // k = 1 .. 6
    QPushButton* CloseButton() const { return close_; }
private:
    void Choose(int k);
    RegeneratePortal regenerate_;
    std::function<void()> closeSettings_;
    ClickLabel* images_[6];
    QPushButton* close_;
};

}  // namespace kv
