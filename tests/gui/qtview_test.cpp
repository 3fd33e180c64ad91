// The Qt view with the real dialog logic and an in-process PC/SC service.

#include <QAccessible>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFileInfo>
#include <QFontInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTabBar>
#include <QTableWidget>
#include <QtTest>
#include <algorithm>
#include <memory>

#include "GuiHelpers.h"
#include "fakes/ScriptedPcsc.h"
#include "res/Icon.h"
#include "res/Strings.h"
#include "res/Templates.h"
#include "res/resource.h"
#include "ui/CQuorlinDlg.h"
#include "ui/qt/CAboutDlg.h"
#include "ui/qt/QtDialogWindow.h"
#include "ui/qt/TemplateDialog.h"

using namespace quorlin;
using quorlin::test::BoxCloser;
using quorlin::test::ScriptedPcsc;
using quorlin::test::Soon;
using quorlin::test::U;
using quorlin::test::Watchdog;

namespace {

// The controls of each page; 1020 is left out, it needs a query to be enabled.
const std::vector<int> kPages[3] = {
    {1000, 1004, 1018, 1005, 1003, 1006}, {1001, 1007, 1008, 1009, 1010, 1011}, {1013, 1014, 1016}};

struct Shown : quorlin::test::ShownDialog<ScriptedPcsc> {
    explicit Shown(std::vector<std::string> readers = {"Reader A 00 00", "Reader B 01 00"}) {
        pcsc.readers = std::move(readers);
        Start();
    }
};

}  // namespace

class QtViewTest : public QObject {
    Q_OBJECT

  private slots:
    // Every control of the template, where and what the template says, under its id.
    void controlsFollowTheTemplate() {
        Shown s;
        const res::DialogTemplate& tpl = res::MainDialogTemplate();
        QCOMPARE(s.view.Dialog()->windowTitle(), U(res::kMainCaption));
        QCOMPARE(s.view.Dialog()->objectName(), QStringLiteral("102"));
        const qt::DialogUnits& du = s.view.Dialog()->Units();
        QVERIFY(du.baseX > 0 && du.baseY > 0);
        QCOMPARE(s.view.Dialog()->size(), du.ToPixels(0, 0, tpl.cx, tpl.cy).size());
        for (const res::ControlTemplate& ctl : tpl.controls) {
            QWidget* w = s.view.Dialog()->findChild<QWidget*>(QString::number(ctl.id));
            QVERIFY2(w != nullptr, qPrintable(QString::number(ctl.id)));
            QCOMPARE(w->property("controlId").toInt(), ctl.id);
            const QRect want = du.ToPixels(ctl.x, ctl.y, ctl.cx, ctl.cy);
            QCOMPARE(w->pos(), want.topLeft());
            if (ctl.kind != res::ControlKind::ComboDropDownList) {
                QCOMPARE(w->size(), want.size());
            }
        }
        // Dialog units come from the dialog font, which must be the Ming face.
        const QFontInfo info(s.view.Dialog()->font());
        QVERIFY2(info.family() == U("新細明體") || info.family() == U("AR PL UMing TW"),
                 qPrintable(info.family()));
        const QFontMetrics fm(s.view.Dialog()->font());
        QCOMPARE(du.baseY, fm.height());
        QCOMPARE(qobject_cast<QGroupBox*>(s.W(1013))->title(), U("刪除憑證"));
        QCOMPARE(qobject_cast<QPushButton*>(s.W(1006))->text(), U("登入卡片"));
        for (int id : {1003, 1008, 1010}) {
            QCOMPARE(qobject_cast<QLineEdit*>(s.W(id))->echoMode(), QLineEdit::Password);
        }
        QVERIFY(!qobject_cast<QComboBox*>(s.W(1018))->isEditable());
        QStringList tabs;
        for (int t = 0; t < s.Tabs()->count(); ++t) {
            tabs << s.Tabs()->tabText(t);
        }
        QCOMPARE(tabs, (QStringList{U("登入卡片"), U("變更密碼"), U("憑證作業")}));
        QCOMPARE(s.Tabs()->currentIndex(), 0);
        QVERIFY(!s.view.Dialog()->windowIcon().isNull());
        // The window icon: the artwork up to 256 pixels, its 32 x 32 form icon 128 itself.
        const QIcon icon = s.view.Dialog()->windowIcon();
        QCOMPARE(icon.pixmap(QSize(256, 256)).size(), QSize(256, 256));
        QCOMPARE(icon.pixmap(QSize(16, 16)).size(), QSize(16, 16));
        QCOMPARE(icon.pixmap(QSize(32, 32)).toImage(),
                 QPixmap(res::kIconXpm)
                     .toImage()
                     .convertToFormat(icon.pixmap(QSize(32, 32)).toImage().format()));
        // A report list with grid lines and full-row select, its columns 2, 3, 3, 8, 6
        // sixteenths of the laid-out client width (the headings: query_gui_test).
        auto* list = qobject_cast<QTableWidget*>(s.W(1014));
        const int client = s.view.ListClientWidth(res::IDC_LIST_CERTS);
        QCOMPARE(client, list->viewport()->width());
        QVERIFY(client > 300);
        const int units[] = {2, 3, 3, 8, 6};
        QCOMPARE(list->columnCount(), 5);
        for (int c = 0; c < 5; ++c) {
            QCOMPARE(list->columnWidth(c), units[c] * (client / 16));
            QVERIFY(list->horizontalHeaderItem(c)->textAlignment() & Qt::AlignLeft);
        }
        QVERIFY(list->showGrid());
        QCOMPARE(list->selectionBehavior(), QAbstractItemView::SelectRows);
        QVERIFY(!list->verticalHeader()->isVisible());
    }

    // A screen reader names each field by its label, as shown; the reader list, whose name
    // is its current text, is tied to its label by the label relation.
    void fieldsAreNamedByTheirLabels() {
        Shown s;
        const auto nameOf = [&](int id) {
            QAccessibleInterface* a = QAccessible::queryAccessibleInterface(s.W(id));
            return a != nullptr ? a->text(QAccessible::Name) : QStringLiteral("(none)");
        };
        QCOMPARE(nameOf(res::IDC_EDIT_PIN), U("輸入密碼："));
        QCOMPARE(nameOf(res::IDC_EDIT_NEWPIN), U(res::kLabelNewPin));
        QCOMPARE(nameOf(res::IDC_EDIT_CONFIRMPIN), U(res::kLabelConfirmPin));
        // Every field of every template has a label of its own.
        for (const res::DialogTemplate* tpl :
             {&res::MainDialogTemplate(), &res::AboutDialogTemplate(),
              &res::CertDetailsTemplate()}) {
            for (const res::ControlTemplate& ctl : tpl->controls) {
                if (ctl.kind != res::ControlKind::Edit &&
                    ctl.kind != res::ControlKind::ComboDropDownList) {
                    continue;
                }
                const auto labelled =
                    std::count_if(tpl->labels.begin(), tpl->labels.end(),
                                  [&](const res::LabelFor& pair) { return pair.field == ctl.id; });
                QVERIFY2(labelled == 1, qPrintable(QString::number(ctl.id)));
            }
        }
        QAccessibleInterface* combo =
            QAccessible::queryAccessibleInterface(s.W(res::IDC_COMBO_READER));
        QVERIFY(combo != nullptr);
        const auto labels = combo->relations(QAccessible::Label);
        QCOMPARE(labels.size(), 1);
        QCOMPARE(labels.first().first->object(), s.W(res::IDC_STATIC_READER));
    }

    // Without the template's face the dialog takes the Traditional Chinese faces installed,
    // in their order, so that fontconfig never substitutes a face of its own choosing.
    void dialogFontFallsBackToTraditionalChineseFaces() {
        const res::DialogTemplate& tpl = res::MainDialogTemplate();
        const QString ming = U("新細明體");
        const QString uming = QStringLiteral("AR PL UMing TW");
        const QString serif = QStringLiteral("Noto Serif CJK TC");
        const QString sans = QStringLiteral("Noto Sans CJK TC");
        QCOMPARE(qt::DialogFamilies(tpl, {QStringLiteral("Noto Sans CJK JP"), sans, serif,
                                          QStringLiteral("DejaVu Sans")}),
                 (QStringList{serif, sans}));
        QCOMPARE(qt::DialogFamilies(tpl, {sans, uming, ming}), (QStringList{ming, uming, sans}));
        QCOMPARE(qt::DialogFamilies(tpl, {QStringLiteral("DejaVu Sans")}),
                 (QStringList{ming, uming, serif, sans}));
    }

    // Tab keys walk the visible tab stops in template order.
    void tabOrderFollowsTemplate() {
        Shown s;
        QVERIFY(QTest::qWaitForWindowActive(s.view.Dialog()));
        QTRY_COMPARE(QApplication::focusWidget(), s.W(1018));  // first tab stop gets focus
        const QWidget* want[] = {s.W(1003), s.W(1006), s.Tabs(), s.W(1018)};
        for (const QWidget* w : want) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), w);
        }
    }

    void tabsSwitchPagesGreyedBeforeLogin() {
        Shown s;
        auto check = [&](int page, bool loggedIn) {
            for (int p = 0; p < 3; ++p) {
                for (int id : kPages[p]) {
                    QCOMPARE(s.W(id)->isVisible(), page == p);
                    QCOMPARE(s.W(id)->isEnabled(), p == 0 || loggedIn);
                }
            }
            QCOMPARE(s.W(1020)->isVisible(), page == 2);
            QVERIFY(!s.W(1020)->isEnabled());
            QVERIFY(s.W(1012)->isVisible());
            // The shown page's controls lie above the tab control and take the clicks.
            for (int id : {1018, 1003, 1006, 1008, 1010, 1011, 1014, 1016}) {
                QWidget* w = s.W(id);
                if (w->isVisible()) {
                    QWidget* hit = s.view.Dialog()->childAt(w->geometry().center());
                    QVERIFY2(hit == w || w->isAncestorOf(hit), qPrintable(w->objectName()));
                }
            }
        };
        check(0, false);
        for (int page : {1, 2, 0, 2}) {
            s.ClickTab(page);
            QCOMPARE(s.Tabs()->currentIndex(), page);
            check(page, false);
        }
        // Selecting a tab from code does not notify: the pages stay as they were.
        s.view.TabSetCurSel(res::IDC_TAB, 1);
        QCOMPARE(s.Tabs()->currentIndex(), 1);
        check(2, false);
        // The flag counts only when a page is shown.
        s.dlg->m_bLoggedIn = 1;
        check(2, false);
        s.ClickTab(2);
        check(2, true);
        s.ClickTab(0);
        check(0, true);
    }

    // Enter does nothing in any field and presses the focused push button; Escape, the
    // close box and the close command end the dialog.
    void enterDoesNotCloseEscapeAndCloseBoxDo() {
        ScriptedPcsc pcsc;
        qt::QtDialogWindow view;
        CQuorlinDlg dlg(view, Platform{&pcsc});
        bool ran = false;
        Watchdog dog(8000);
        Soon([&] {
            QDialog* d = view.Dialog();
            auto* pin = qobject_cast<QLineEdit*>(view.Control(1003));
            pin->setFocus();
            QTest::keyClicks(pin, "12345678");
            QTest::keyClick(pin, Qt::Key_Return);
            QTest::keyClick(pin, Qt::Key_Enter, Qt::KeypadModifier);
            QTest::keyClick(view.Control(1018), Qt::Key_Return);
            view.Control(1012)->setFocus();
            QTest::keyClick(view.Control(1012), Qt::Key_Return);
            QTest::keyClick(d, Qt::Key_Return);
            QApplication::processEvents();
            QVERIFY(d->isVisible());
            QCOMPARE(pin->text(), QStringLiteral("12345678"));
            QCOMPARE(pcsc.connects, 0);
            // Enter on the focused log-in button presses it, and still closes nothing.
            {
                BoxCloser closer;
                view.Control(1006)->setFocus();
                QTest::keyClick(view.Control(1006), Qt::Key_Return);
                QCOMPARE(pcsc.connects, 1);
                QVERIFY(!closer.boxes.empty());
            }
            QVERIFY(d->isVisible());
            ran = true;
            QTest::keyClick(pin, Qt::Key_Escape);
        });
        QCOMPARE(view.DoModal(dlg), 2);
        QVERIFY(ran);
        Soon([&] { view.Dialog()->close(); });
        QCOMPARE(view.DoModal(dlg), 2);
        // The close command of the title-bar menu takes the default way, which also ends it.
        Soon([&] { dlg.OnSysCommand(0xF060, 0); });
        QCOMPARE(view.DoModal(dlg), 2);
        QVERIFY(!dog.fired);
    }

    // Right click on the dialog, choose the About item: the About box of template 100.
    void aboutBoxFromContextMenu() {
        Shown s;
        int aboutRuns = 0;
        QStringList seen;
        QTimer poll;
        poll.setInterval(10);
        connect(&poll, &QTimer::timeout, [&] {
            if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                const QList<QAction*> actions = menu->actions();
                if (actions.size() == 2 && actions[1]->text() == U(res::kAboutMenu)) {
                    menu->setActiveAction(actions[1]);
                    QTest::keyClick(menu, Qt::Key_Return);
                }
                return;
            }
            QWidget* modal = QApplication::activeModalWidget();
            if (modal == nullptr || modal->objectName() != QStringLiteral("100") ||
                !modal->isVisible()) {
                return;
            }
            ++aboutRuns;
            seen << modal->windowTitle();
            for (int id : {-3, -4}) {
                seen << modal->findChild<QLabel*>(QString::number(id))->text();
            }
            auto* icon = modal->findChild<QLabel*>(QStringLiteral("-2"));
            QVERIFY(icon != nullptr && !icon->pixmap().isNull());
            auto* ok = modal->findChild<QPushButton*>(QStringLiteral("1"));
            QVERIFY(ok != nullptr);
            QCOMPARE(ok->text(), U("確定"));
            QVERIFY(ok->isDefault());
            QCOMPARE(modal->parentWidget(), s.view.Dialog());
            // Closes with Enter, Escape and OK in turn.
            if (aboutRuns == 1) {
                QTest::keyClick(modal, Qt::Key_Return);
            } else if (aboutRuns == 2) {
                QTest::keyClick(modal, Qt::Key_Escape);
            } else {
                ok->click();
            }
        });
        poll.start();
        Watchdog dog(8000);
        const QPoint background(3, 3);  // outside the tab control
        // A real right click on the window, then the context-menu event itself.
        QTest::mouseClick(s.view.Dialog()->windowHandle(), Qt::RightButton, {}, background);
        QTRY_COMPARE(aboutRuns, 1);
        for (int run = 2; run <= 3; ++run) {
            QContextMenuEvent ev(QContextMenuEvent::Mouse, background,
                                 s.view.Dialog()->mapToGlobal(background));
            QApplication::sendEvent(s.view.Dialog(), &ev);
            QTRY_COMPARE(aboutRuns, run);
        }
        QVERIFY(!dog.fired);
        QCOMPARE(seen.mid(0, 3),
                 (QStringList{U("關於 Quorlin"), U("Quorlin Version 1.0"), U(res::kAboutNotice)}));
        QVERIFY(s.view.Dialog()->isVisible());  // the About box leaves the dialog running
    }

    // The list and drop-down behave as the Windows controls the logic was written for.
    void listAndComboSemantics() {
        Shown s(std::vector<std::string>{});
        auto* combo = qobject_cast<QComboBox*>(s.W(1018));
        QCOMPARE(combo->count(), 0);
        QVERIFY(!s.view.ComboGetSelectedText(1018).has_value());
        QCOMPARE(s.view.ComboAddString(1018, "讀卡機 1"), 0);
        QCOMPARE(s.view.ComboAddString(1018, "讀卡機 0"), 1);     // kept in insertion order
        QVERIFY(!s.view.ComboGetSelectedText(1018).has_value());  // adding selects nothing
        s.view.ComboSetCurSel(1018, 1);
        QCOMPARE(s.view.ComboGetSelectedText(1018).value(), std::string("讀卡機 0"));
        s.view.ComboSetCurSel(1018, 7);
        QVERIFY(!s.view.ComboGetSelectedText(1018).has_value());
        // A name that is no UTF-8 (Big5 here) goes back byte for byte, and is shown.
        const std::string big5 = "Reader \xA5\x64\xA4\xF9 1";
        QCOMPARE(s.view.ComboAddString(1018, big5), 2);
        s.view.ComboSetCurSel(1018, 2);
        QCOMPARE(s.view.ComboGetSelectedText(1018).value(), big5);
        QCOMPARE(s.view.GetControlText(1018), big5);
        QVERIFY(combo->currentText().startsWith(QStringLiteral("Reader ")));
        QVERIFY(!combo->currentText().contains(QChar::ReplacementCharacter));
        s.view.ComboResetContent(1018);
        QCOMPARE(combo->count(), 0);

        auto* list = qobject_cast<QTableWidget*>(s.W(1014));
        QCOMPARE(s.view.ListInsertItem(1014, 5, "8001"), 0);  // past the end appends
        QCOMPARE(s.view.ListInsertItem(1014, 0, "8002"), 0);
        s.view.ListSetItemText(1014, 1, 3, "王小明");
        s.view.ListSetItemText(1014, 1, 9, "ignored");
        s.view.ListSetItemText(1014, 4, 1, "ignored");
        QCOMPARE(list->rowCount(), 2);
        QCOMPARE(list->item(0, 0)->text(), QStringLiteral("8002"));
        QCOMPARE(list->item(1, 0)->text(), QStringLiteral("8001"));
        QCOMPARE(list->item(1, 3)->text(), U("王小明"));
        QVERIFY(!(list->item(1, 3)->flags() & Qt::ItemIsEditable));

        // Texts go both ways in UTF-8.
        s.view.SetControlText(1008, "密碼1234");
        QCOMPARE(s.view.GetControlText(1008), std::string("密碼1234"));
    }

    // Boxes are modal, OK only, under the application's name unless given a title; the
    // arrow shows over a wait cursor, which comes back on restore.
    void messageBoxesAndWaitCursor() {
        Shown s;
        const QString appName =
            QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
        QCOMPARE(qt::QtDialogWindow::ApplicationName(), appName);
        QVERIFY(QApplication::overrideCursor() == nullptr);
        s.view.BeginWaitCursor();
        QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
        std::vector<Qt::CursorShape> shapes;
        BoxCloser closer(
            [&](QMessageBox*) { shapes.push_back(QApplication::overrideCursor()->shape()); });
        QCOMPARE(s.view.MessageBox("密碼長度不足", std::nullopt, MsgIcon::Exclamation), 1);
        QCOMPARE(s.view.MessageBox("Error:x\n", std::nullopt, MsgIcon::None, true), 1);
        QCOMPARE(shapes, (std::vector<Qt::CursorShape>{Qt::ArrowCursor, Qt::ArrowCursor}));
        QCOMPARE(closer.boxes.size(), std::size_t(2));
        const auto& b = closer.boxes;
        quorlin::test::ExpectBox(b[0], "密碼長度不足", appName, QMessageBox::Warning);
        QCOMPARE(b[0].parent, s.view.Dialog());
        quorlin::test::ExpectBox(b[1], "Error:x\n", appName, QMessageBox::NoIcon);
        QCOMPARE(b[1].parent, nullptr);
        for (const auto& box : b) {
            QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
            QVERIFY(box.modal);
        }
        s.view.RestoreWaitCursor();
        QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
        s.view.EndWaitCursor();
        s.view.EndWaitCursor();  // an unbalanced end is harmless
        QVERIFY(QApplication::overrideCursor() == nullptr);
    }

    // The service refusing the context: its box comes before the dialog exists, and the
    // dialog still opens with an empty reader list.
    void serviceRefusedStillOpens() {
        ScriptedPcsc pcsc;
        pcsc.failures["SCardEstablishContext"] = pcsc::kENoService;
        qt::QtDialogWindow view;
        BoxCloser closer;
        auto dlg = std::make_unique<CQuorlinDlg>(view, Platform{&pcsc});
        QCOMPARE(closer.boxes.size(), std::size_t(1));
        QCOMPARE(closer.boxes[0].text,
                 QString::fromStdString(ScriptedPcsc::TextFor(pcsc::kENoService)));
        Watchdog dog(8000);
        Soon([&] {
            QVERIFY(view.Control(1000)->isVisible());
            QCOMPARE(qobject_cast<QComboBox*>(view.Control(1018))->count(), 0);
            QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(view.Dialog(), &esc);
        });
        QCOMPARE(view.DoModal(*dlg), 2);
        QVERIFY(!dog.fired);
    }

    void screenshots() {
        Shown s;
        for (int page = 0; page < 3; ++page) {
            s.ClickTab(page);
            const QString path = quorlin::test::ShotDir() + QStringLiteral("/page%1.png").arg(page);
            QVERIFY2(s.view.Dialog()->grab().save(path), qPrintable(path));
        }
        qt::CAboutDlg about(s.view.Dialog()->windowIcon(), s.view.Dialog());
        about.show();
        QVERIFY(QTest::qWaitForWindowExposed(&about));
        QVERIFY(about.grab().save(quorlin::test::ShotDir() + QStringLiteral("/about.png")));
    }
};

QTEST_MAIN(QtViewTest)
#include "qtview_test.moc"
