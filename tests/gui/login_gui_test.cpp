// Log-in, PIN change and log-out through the widgets, with the card engine in the reader.

#include <QLineEdit>
#include <QPushButton>
#include <QtTest>
#include <algorithm>

#include "GuiHelpers.h"
#include "fakes/EnginePcsc.h"
#include "res/Strings.h"

using namespace quorlin;
using quorlin::test::BoxCloser;
using quorlin::test::EnginePcsc;
using quorlin::test::ExpectBox;
using quorlin::test::U;

namespace {

struct Card : quorlin::test::ShownDialog<EnginePcsc> {
    Card() : ShownDialog(std::string("demo.json")) { Start(); }

    QString Text(int id) const {
        auto* edit = As<QLineEdit>(id);
        return edit != nullptr ? edit->text() : As<QPushButton>(id)->text();
    }
    // Whether all the ids are shown and enabled, after a tab click showed their page.
    bool PageEnabled(int tab, std::initializer_list<int> ids) const {
        ClickTab(tab);
        return std::all_of(ids.begin(), ids.end(),
                           [this](int id) { return W(id)->isVisible() && W(id)->isEnabled(); });
    }
};

}  // namespace

class LoginGuiTest : public QObject {
    Q_OBJECT

  private slots:
    void loginChangePinLogout() {
        Card c;
        const QString std = U(res::kStdTitle);
        const QString app = qt::QtDialogWindow::ApplicationName();

        // Too short: refused before the reader is touched, focus back on the PIN.
        {
            BoxCloser boxes;
            c.Type(1003, "12345");
            c.Click(1006);
            QCOMPARE(boxes.boxes.size(), std::size_t(1));
            ExpectBox(boxes.boxes[0], "密碼長度不足", std, QMessageBox::Warning);
            QCOMPARE(c.pcsc.connects, 0);
            QCOMPARE(c.view.Dialog()->focusWidget(), c.W(1003));
        }
        // Wrong PIN: the card's verdict, then the failure under the program's name.
        {
            BoxCloser boxes;
            c.Type(1003, "654321");
            c.Click(1006);
            QCOMPARE(boxes.boxes.size(), std::size_t(2));
            ExpectBox(boxes.boxes[0], "AN PIN驗證錯誤!", std, QMessageBox::NoIcon);
            ExpectBox(boxes.boxes[1], "卡片登入失敗!", app, QMessageBox::Warning);
            QCOMPARE(boxes.boxes[1].parent, c.view.Dialog());
            QCOMPARE(c.Text(1006), U("登入卡片"));
            QCOMPARE(c.Text(1003), QStringLiteral("654321"));
            QCOMPARE(c.pcsc.disconnects, 1);
            QVERIFY(!c.PageEnabled(1, {1008}));
            QVERIFY(!c.PageEnabled(2, {1014}));
            c.ClickTab(0);
        }
        // Right PIN: success under the provider's name; the pages open when next shown.
        {
            BoxCloser boxes;
            c.Type(1003, "123456");
            c.Click(1006);
            QCOMPARE(boxes.boxes.size(), std::size_t(1));
            ExpectBox(boxes.boxes[0], "卡片登入成功", U(applet::kMorvexCspEnterprise),
                      QMessageBox::Information);
            QCOMPARE(c.Text(1006), U("中斷卡片"));
            QCOMPARE(c.Text(1003), QString());
            QVERIFY(c.W(1003)->isVisible());  // the log-in does not switch pages
            QVERIFY(c.PageEnabled(1, {1001, 1007, 1008, 1009, 1010, 1011}));
            QVERIFY(c.PageEnabled(2, {1013, 1014, 1016}));
            QVERIFY(c.W(1020)->isVisible());
            QVERIFY(!c.W(1020)->isEnabled());
            QCOMPARE(c.pcsc.connects, 2);
            QCOMPARE(c.pcsc.disconnects, 1);  // still connected
        }
        // PIN change on page 1: the mismatch keeps the focus on the confirmation.
        {
            BoxCloser boxes;
            c.ClickTab(1);
            c.Type(1008, "abcdef12");
            c.Type(1010, "abcdef13");
            c.Click(1011);
            c.Type(1010, "abcdef12");
            c.Click(1011);
            QCOMPARE(boxes.boxes.size(), std::size_t(2));
            ExpectBox(boxes.boxes[0], "密碼不一致!", std, QMessageBox::NoIcon);
            ExpectBox(boxes.boxes[1], "密碼變更完成", std, QMessageBox::NoIcon);
            QCOMPARE(c.Text(1008), QStringLiteral("abcdef12"));
            QCOMPARE(c.Text(1010), QStringLiteral("abcdef12"));
        }
        // Log-out is silent and greys the other pages again.
        {
            BoxCloser boxes;
            c.ClickTab(0);
            c.Click(1006);
            QCOMPARE(c.Text(1006), U("登入卡片"));
            QCOMPARE(c.pcsc.disconnects, 2);
            QVERIFY(!c.PageEnabled(1, {1008}));
            c.ClickTab(0);
            // The old PIN no longer opens the card; the new one does.
            c.Type(1003, "123456");
            c.Click(1006);
            c.Type(1003, "abcdef12");
            c.Click(1006);
            QCOMPARE(boxes.boxes.size(), std::size_t(3));
            ExpectBox(boxes.boxes[0], "AN PIN驗證錯誤!", std, QMessageBox::NoIcon);
            ExpectBox(boxes.boxes[2], "卡片登入成功", U(applet::kMorvexCspEnterprise),
                      QMessageBox::Information);
            QCOMPARE(c.Text(1006), U("中斷卡片"));
        }
    }
};

QTEST_MAIN(LoginGuiTest)
#include "login_gui_test.moc"
