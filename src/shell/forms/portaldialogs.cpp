#include "shell/forms/portaldialogs.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

#include "shell/forms/widgets.h"
#include "shell/htmltext.h"
#include "shell/shellregistry.h"

namespace kv {
namespace {

QString U(const std::string& s) { return QString::fromStdString(s); }
std::string S(const QString& s) { return s.toStdString(); }

void MakeDialogWindow(QWidget* w, const char* caption) {
    w->setWindowFlags(Qt::Window | Qt::Dialog);
    w->setAttribute(Qt::WA_DeleteOnClose);
    w->setWindowTitle(QString::fromUtf8(caption));
}

QHBoxLayout* ButtonRow(std::initializer_list<QPushButton*> buttons) {
    auto* row = new QHBoxLayout;
    row->addStretch();
    for (QPushButton* b : buttons) row->addWidget(b);
    return row;
}

}  // namespace

Form15::Form15(const std::string& storeDir, RegeneratePortal regenerate, QWidget* parent)
    : QWidget(parent), store_(storeDir), regenerate_(std::move(regenerate)) {
    MakeDialogWindow(this, "Nuevo Grupo");
    setObjectName("Form15");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QString::fromUtf8("Nombre del Grupo:"), this));
    text1_ = new QLineEdit(this);
    text1_->setObjectName("Text1");
    layout->addWidget(text1_);
    problem_ = new QLabel(this);
    problem_->setStyleSheet("color: #b00000");
    problem_->hide();
    layout->addWidget(problem_);
    create_ = new QPushButton(QString::fromUtf8("Crear"), this);
    cancel_ = new QPushButton(QString::fromUtf8("Cancelar"), this);
    create_->setDefault(true);
    layout->addLayout(ButtonRow({create_, cancel_}));
    connect(create_, &QPushButton::clicked, this, &Form15::Create);
    connect(text1_, &QLineEdit::returnPressed, this, &Form15::Create);
    connect(cancel_, &QPushButton::clicked, this, &QWidget::close);
    setFixedWidth(300);
}

void Form15::Create() {
    switch (store_.NewGroup(S(text1_->text()))) {
        case NewGroupResult::Created:
            if (regenerate_) regenerate_();
            close();
            return;
        case NewGroupResult::EmptyName:
            close();
            return;
        case NewGroupResult::InvalidName:
            problem_->setText(QString::fromUtf8("Ese nombre no puede usarse para un grupo."));
            break;
        case NewGroupResult::Duplicate:
            problem_->setText(QString::fromUtf8("Ya existe un grupo con ese nombre."));
            break;
        case NewGroupResult::WriteFailed:
            problem_->setText(QString::fromUtf8("No se ha podido guardar el grupo."));
            break;
    }
    problem_->show();
}

Form16::Form16(const std::string& storeDir, const std::string& commandArgument,
               RegeneratePortal regenerate, QWidget* parent)
    : QWidget(parent),
      store_(storeDir),
      group_(GroupNameFromArgument(commandArgument)),
      regenerate_(std::move(regenerate)) {
    MakeDialogWindow(this, "Nuevo Elemento");
    setObjectName("Form16");
    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(QString::fromUtf8("Nombre del elemento:"), this), 0, 0);
    name_ = new QLineEdit(this);
    name_->setObjectName("Text1");
    grid->addWidget(name_, 0, 1);
    grid->addWidget(new QLabel(QString::fromUtf8("Dirección:"), this), 1, 0);
    address_ = new QLineEdit(QStringLiteral("http://"), this);
    address_->setObjectName("Text2");
    grid->addWidget(address_, 1, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    add_ = new QPushButton(QString::fromUtf8("Añadir Elemento"), this);
    cancel_ = new QPushButton(QString::fromUtf8("Cancelar"), this);
    add_->setDefault(true);
    layout->addLayout(ButtonRow({add_, cancel_}));
    connect(add_, &QPushButton::clicked, this, &Form16::Add);
    connect(cancel_, &QPushButton::clicked, this, &QWidget::close);
    setFixedWidth(380);
}

void Form16::Add() {
    // an empty name, or a group name that cannot name a file, changes nothing
    if (store_.AddItem(group_, S(name_->text()), S(address_->text())) && regenerate_) regenerate_();
    close();
}

Form17::Form17(const std::string& storeDir, const std::string& commandArgument,
               RegeneratePortal regenerate, QWidget* parent)
    : QWidget(parent),
      store_(storeDir),
      group_(GroupNameFromArgument(commandArgument)),
      regenerate_(std::move(regenerate)) {
    MakeDialogWindow(this, "Eliminar Elementos");
    setObjectName("Form17");
    auto* layout = new QVBoxLayout(this);
    list_ = new QListWidget(this);
    list_->setObjectName("List1");
    layout->addWidget(list_);
    delete_ = new QPushButton(QString::fromUtf8("Eliminar"), this);
    deleteGroup_ = new QPushButton(QString::fromUtf8("Eliminar todo el grupo"), this);
    close_ = new QPushButton(QString::fromUtf8("Cerrar"), this);
    layout->addLayout(ButtonRow({delete_, deleteGroup_, close_}));
    connect(delete_, &QPushButton::clicked, this, &Form17::DeleteSelected);
    connect(deleteGroup_, &QPushButton::clicked, this, &Form17::DeleteWholeGroup);
    connect(close_, &QPushButton::clicked, this, &QWidget::close);
    resize(340, 260);
    Fill();
}

void Form17::Fill() {
    list_->clear();
    for (const std::string& name : store_.ItemNames(group_)) list_->addItem(U(name));
}

void Form17::DeleteSelected() {
    QListWidgetItem* item = list_->currentItem();
    const std::string selected = (item && item->isSelected()) ? S(item->text()) : std::string();
    store_.DeleteItems(group_, selected);
    Fill();
    if (regenerate_) regenerate_();
}

void Form17::DeleteWholeGroup() {
    store_.DeleteGroup(group_);
    if (regenerate_) regenerate_();
    close();
}

Form18::Form18(RegeneratePortal regenerate, std::function<void()> closeSettings, QWidget* parent)
    : QWidget(parent), regenerate_(std::move(regenerate)), closeSettings_(std::move(closeSettings)) {
    MakeDialogWindow(this, "Seleccione el tipo de plantilla");
    setObjectName("Form18");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QString::fromUtf8("Seleccione el tipo de plantilla de MiPortal:"), this));
    auto* grid = new QGridLayout;
    for (int k = 1; k <= 6; ++k) {
        auto* image = new ClickLabel(this);
        image->setObjectName(QStringLiteral("Image%1").arg(k));
        image->setPixmap(QPixmap(QStringLiteral(":/shell/images/plantilla%1.png").arg(k)));
        image->setCursor(Qt::PointingHandCursor);
        image->setFrameShape(QFrame::Box);
        grid->addWidget(image, (k - 1) / 3, (k - 1) % 3);
        connect(image, &ClickLabel::clicked, this, [this, k] { Choose(k); });
        images_[k - 1] = image;
    }
    layout->addLayout(grid);
    close_ = new QPushButton(QString::fromUtf8("Cerrar"), this);
    layout->addLayout(ButtonRow({close_}));
    connect(close_, &QPushButton::clicked, this, &QWidget::close);
}

void Form18::Choose(int k) {
    SetQueltSetting("miportal\\tipo", std::to_string(k));
    if (closeSettings_) closeSettings_();
    if (regenerate_) regenerate_();
    close();
}

}  // namespace kv
