// The portal's dialogs on the offscreen platform: what they show and what their buttons do
// to the store and the page.
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <filesystem>

#include "htmlcheck.h"
#include "qtapp.h"
#include "shell/forms/portaldialogs.h"
#include "shell/forms/widgets.h"
#include "shell/portal.h"
#include "shell/shellregistry.h"

namespace kv {
namespace {

const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new test::QtEnvironment);

std::string Slurp(const std::string& path) {
    std::string text;
    ReadWholeFile(path, text);
    return text;
}

QStringList Texts(QWidget* w) {
    QStringList texts;
    for (QLabel* l : w->findChildren<QLabel*>()) {
        if (!l->text().isEmpty()) texts << l->text();
    }
    for (QPushButton* b : w->findChildren<QPushButton*>()) texts << b->text();
    return texts;
}

bool Closed(const QPointer<QWidget>& w) {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return w.isNull() || !w->isVisible();
}

class DialogTest : public test::QtTest {
protected:
    void SetUp() override {
        test::QtTest::SetUp();
        std::filesystem::create_directories(QueltDir());
        ASSERT_EQ(store.NewGroup("Mis Enlaces"), NewGroupResult::Created);
    }
    // What the main window does after a change: write the page again.
    RegeneratePortal Regenerate() {
        return [this] {
            ++regenerated;
            WritePortalPage(QueltDir(), QueltSetting("miportal\\tipo"), DefaultShellServices(QueltDir()));
        };
    }
    std::string Page() { return Slurp(QueltDir() + "/miportal.html"); }
    GroupStore store{dir.Path() + "/quelt"};
    int regenerated = 0;
};

TEST_F(DialogTest, NewGroupCreatesRefusesAndCancels) {
    QPointer<QWidget> w = new Form15(QueltDir(), Regenerate());
    auto* f = static_cast<Form15*>(w.data());
    w->show();
    EXPECT_EQ(w->windowTitle(), QString::fromUtf8("Nuevo Grupo"));
    EXPECT_EQ(Texts(w), (QStringList{QString::fromUtf8("Nombre del Grupo:"), "Crear", "Cancelar"}));

    // a name already listed is refused and the dialog stays open with the reason
    QTest::keyClicks(f->Text1(), "Mis Enlaces");
    QTest::mouseClick(f->CreateButton(), Qt::LeftButton);
    EXPECT_FALSE(Closed(w));
    EXPECT_EQ(f->Problem()->text(), QString::fromUtf8("Ya existe un grupo con ese nombre."));
    f->Text1()->setText("a/b");
    QTest::mouseClick(f->CreateButton(), Qt::LeftButton);
    EXPECT_FALSE(Closed(w));
    EXPECT_EQ(f->Problem()->text(), QString::fromUtf8("Ese nombre no puede usarse para un grupo."));
    EXPECT_EQ(regenerated, 0);

    f->Text1()->setText(QString::fromUtf8("Música y <vídeo>"));
    QTest::mouseClick(f->CreateButton(), Qt::LeftButton);
    EXPECT_TRUE(Closed(w));
    EXPECT_EQ(regenerated, 1);
    EXPECT_EQ(store.Groups(), (std::vector<std::string>{"Mis Enlaces", "Música y <vídeo>"}));
    EXPECT_NE(Page().find("Música y &lt;vídeo&gt;"), std::string::npos);
    EXPECT_NE(Page().find("Quelt:NewItem(M%C3%BAsica+y+%3Cv%C3%ADdeo%3E)"), std::string::npos);

    // an empty name and "Cancelar" close it without a change
    for (bool cancel : {false, true}) {
        QPointer<QWidget> again = new Form15(QueltDir(), Regenerate());
        auto* g = static_cast<Form15*>(again.data());
        again->show();
        if (cancel) g->Text1()->setText("Otro");
        QTest::mouseClick(cancel ? g->CancelButton() : g->CreateButton(), Qt::LeftButton);
        EXPECT_TRUE(Closed(again));
    }
    EXPECT_EQ(store.Groups().size(), 2u);
    EXPECT_EQ(regenerated, 1);
}

TEST_F(DialogTest, NewItemAddsToTheGroupOfTheCommand) {
    // the command carries "Mis+Enlaces": the file is the one named with the blank
    QPointer<QWidget> w = new Form16(QueltDir(), "Mis+Enlaces", Regenerate());
    auto* f = static_cast<Form16*>(w.data());
    w->show();
    EXPECT_EQ(w->windowTitle(), QString::fromUtf8("Nuevo Elemento"));
    EXPECT_EQ(Texts(w), (QStringList{QString::fromUtf8("Nombre del elemento:"), QString::fromUtf8("Dirección:"),
                                     QString::fromUtf8("Añadir Elemento"), "Cancelar"}));
    EXPECT_EQ(f->Group(), "Mis Enlaces");
    EXPECT_EQ(f->AddressBox()->text(), "http://");
    QTest::keyClicks(f->NameBox(), "Diario, hoy");
    QTest::keyClicks(f->AddressBox(), "diario.example/?a=1&b=2");
    QTest::mouseClick(f->AddButton(), Qt::LeftButton);
    EXPECT_TRUE(Closed(w));
    EXPECT_EQ(regenerated, 1);
    EXPECT_EQ(store.Records("Mis Enlaces"),
              (std::vector<PortalRecord>{{"Diario, hoy", "http://diario.example/?a=1&b=2"}}));
    test::HtmlDocument doc = test::ParseHtml(Page());
    EXPECT_TRUE(doc.errors.empty()) << ::testing::PrintToString(doc.errors);
    bool found = false;
    for (const test::HtmlElement* a : doc.All("a")) {
        found |= a->text == "Diario, hoy" && a->attrs.at("href") == "http://diario.example/?a=1&b=2";
    }
    EXPECT_TRUE(found);

    // an empty item name closes the dialog and changes nothing
    QPointer<QWidget> again = new Form16(QueltDir(), "Mis+Enlaces", Regenerate());
    again->show();
    QTest::mouseClick(static_cast<Form16*>(again.data())->AddButton(), Qt::LeftButton);
    EXPECT_TRUE(Closed(again));
    EXPECT_EQ(store.Records("Mis Enlaces").size(), 1u);
    EXPECT_EQ(regenerated, 1);
}

TEST_F(DialogTest, DeleteItemsAndTheWholeGroup) {
    ASSERT_TRUE(store.AddItem("Mis Enlaces", "Uno", "http://1/"));
    ASSERT_TRUE(store.AddItem("Mis Enlaces", "Dos", "http://2/"));
    ASSERT_TRUE(store.AddItem("Mis Enlaces", "Uno", "http://1bis/"));
    ASSERT_EQ(store.NewGroup("Otro"), NewGroupResult::Created);

    QPointer<QWidget> w = new Form17(QueltDir(), "Mis+Enlaces", Regenerate());
    auto* f = static_cast<Form17*>(w.data());
    w->show();
    EXPECT_EQ(w->windowTitle(), QString::fromUtf8("Eliminar Elementos"));
    EXPECT_EQ(Texts(w), (QStringList{"Eliminar", "Eliminar todo el grupo", "Cerrar"}));
    ASSERT_EQ(f->List1()->count(), 3);
    EXPECT_EQ(f->List1()->item(1)->text(), "Dos");

    // nothing selected: nothing named like the empty selection goes
    QTest::mouseClick(f->DeleteButton(), Qt::LeftButton);
    EXPECT_EQ(f->List1()->count(), 3);

    f->List1()->setCurrentRow(0);
    QTest::mouseClick(f->DeleteButton(), Qt::LeftButton);
    EXPECT_FALSE(Closed(w));  // the dialog stays open, listing what is left
    ASSERT_EQ(f->List1()->count(), 1);
    EXPECT_EQ(f->List1()->item(0)->text(), "Dos");
    EXPECT_EQ(Slurp(QueltDir() + "/Mis Enlaces.dat"), "Dos, http://2/\r\n");
    EXPECT_EQ(Page().find("http://1/"), std::string::npos);
    EXPECT_NE(Page().find("http://2/"), std::string::npos);

    QTest::mouseClick(f->DeleteGroupButton(), Qt::LeftButton);
    EXPECT_TRUE(Closed(w));
    EXPECT_EQ(store.Groups(), std::vector<std::string>{"Otro"});
    EXPECT_EQ(Page().find("Mis Enlaces"), std::string::npos);
    EXPECT_EQ(regenerated, 3);
}

TEST_F(DialogTest, TemplateChooserWritesTheSchemeAndClosesTheSettings) {
    int settingsClosed = 0;
    QPointer<QWidget> w = new Form18(Regenerate(), [&] { ++settingsClosed; });
    auto* f = static_cast<Form18*>(w.data());
    w->show();
    EXPECT_EQ(w->windowTitle(), QString::fromUtf8("Seleccione el tipo de plantilla"));
    EXPECT_EQ(Texts(w), (QStringList{QString::fromUtf8("Seleccione el tipo de plantilla de MiPortal:"), "Cerrar"}));
    for (int k = 1; k <= 6; ++k) EXPECT_FALSE(f->Image(k)->pixmap().isNull()) << k;
    QTest::mouseClick(f->Image(3), Qt::LeftButton);
    EXPECT_TRUE(Closed(w));
    EXPECT_EQ(QueltSetting("miportal\\tipo"), "3");
    EXPECT_EQ(settingsClosed, 1);
    EXPECT_EQ(regenerated, 1);
    EXPECT_NE(Page().find("<body bgcolor='b07fdf'"), std::string::npos);

    QPointer<QWidget> again = new Form18(Regenerate(), [&] { ++settingsClosed; });
    again->show();
    QTest::mouseClick(static_cast<Form18*>(again.data())->CloseButton(), Qt::LeftButton);
    EXPECT_TRUE(Closed(again));
    EXPECT_EQ(regenerated, 1);
    EXPECT_EQ(QueltSetting("miportal\\tipo"), "3");
}

}  // namespace
}  // namespace kv
