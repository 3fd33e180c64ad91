// The certificate rows through the widgets: the details dialog on a double-click, on Enter
// and from the row's context menu; the validity marks; the export through the save-dialog
// seam, read back by `openssl x509`, and into a full file system.

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <vector>

#include "GuiHelpers.h"
#include "engine/Engine.h"
#include "fakes/EnginePcsc.h"
#include "fakes/TempDir.h"
#include "platform/x509/OpenSslCertApi.h"
#include "res/Strings.h"
#include "ui/qt/QtTranslation.h"

using namespace quorlin;
using quorlin::test::BoxCloser;
using quorlin::test::EnginePcsc;
using quorlin::test::U;

namespace {

// Whether main moved the test into a mount namespace of its own (root only).
bool g_privateMounts = false;

constexpr std::int64_t kDecember20 = 1766232000;  // 2025-12-20 12:00:00 UTC

// Alice (valid for years), a placeholder, Dora (until 2025-12-31 23:59:59) and Evan (expired
// 2025-03-01): rows Alice, Dora, Evan, Spare.
constexpr const char* kProfile = R"({
  "applet": "morvex", "protocol": "T=0", "pin": "123456", "pinRetries": 3,
  "containers": [
    {"name": "Quorlin-Alice", "keys": ["signature"], "file": "8001",
     "certificate": "alice-ec.der", "start": "20261210", "expiry": "20361207"},
    {"name": "Quorlin-Spare", "keys": ["exchange"], "file": "8002", "certificate": null,
     "inUse": true},
    {"name": "Quorlin-Dora", "keys": ["signature"], "file": "8003",
     "certificate": "ec-ku.der", "start": "20240101", "expiry": "20251231"},
    {"name": "Quorlin-Evan", "keys": ["exchange"], "file": "8004",
     "certificate": "rsa-2048.der", "start": "20230301", "expiry": "20250301"}
  ]
})";
enum Row { kAlice, kDora, kEvan, kSpare };

struct Services {
    x509::OpenSslCertApi certs;
};

// Logged in, on the certificate page, queried, with the clock at 2025-12-20 12:00 UTC.
struct Card : Services, quorlin::test::ShownDialog<EnginePcsc> {
    Card() : ShownDialog(cardsim::Engine::FromText(kProfile)) {
        Platform platform{&pcsc, &certs};
        platform.now = [] { return kDecember20; };
        Start(platform);
        BoxCloser boxes;
        Type(res::IDC_EDIT_PIN, "123456");
        Click(res::IDC_BTN_LOGIN);
        ClickTab(2);
        Click(res::IDC_BTN_QUERY);
        QCOMPARE(boxes.boxes.size(), std::size_t(1));  // the log-in's success alone
        QCOMPARE(boxes.boxes[0].okText, U("確定"));    // Qt's own texts are Chinese too
    }
    QTableWidget* List() const { return As<QTableWidget>(res::IDC_LIST_CERTS); }
    QPoint CellCentre(int row) const {
        return List()->visualItemRect(List()->item(row, 0)).center();
    }
    // As the window system sends it: a click, then the second press as a double-click.
    void DoubleClick(int row) const {
        QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, CellCentre(row));
        QTest::mouseDClick(List()->viewport(), Qt::LeftButton, {}, CellCentre(row));
        QTest::mouseRelease(List()->viewport(), Qt::LeftButton, {}, CellCentre(row));
    }
    void Enter(int row) const {
        List()->setFocus();
        List()->setCurrentCell(row, 0);
        QTest::keyClick(List(), Qt::Key_Return);
    }
    // The row's context menu, by the mouse over the row or by the keyboard on the focused row.
    void ContextMenu(int row, bool keyboard = false) const {
        QWidget* target = keyboard ? static_cast<QWidget*>(List()) : List()->viewport();
        if (keyboard) {
            List()->setFocus();
            List()->setCurrentCell(row, 0);
        }
        const QPoint at = CellCentre(row);
        QContextMenuEvent event(keyboard ? QContextMenuEvent::Keyboard : QContextMenuEvent::Mouse,
                                at, List()->viewport()->mapToGlobal(at));
        QApplication::sendEvent(target, &event);
    }
};

QString Field(QWidget* dialog, int id) {
    auto* edit = dialog->findChild<QLineEdit*>(QString::number(id));
    return edit != nullptr ? edit->text() : QStringLiteral("<none>");
}

// Runs script on each details dialog that opens, then closes it with its close button.
class DetailsWatcher {
  public:
    explicit DetailsWatcher(std::function<void(QDialog*)> script = {}) : m_script(script) {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
        m_timer.start();
    }
    QStringList subjects;
    std::vector<QWidget*> parents;

  private:
    void Poll() {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (m_busy || dialog == nullptr || !dialog->isVisible() ||
            dialog->objectName() != QString::number(res::IDD_CERT_DETAILS)) {
            return;
        }
        m_busy = true;
        subjects << Field(dialog, res::IDC_DETAILS_SUBJECT);
        parents.push_back(dialog->parentWidget());
        if (m_script) {
            m_script(dialog);
        }
        dialog->findChild<QPushButton*>(QString::number(res::IDOK))->click();
        m_busy = false;
    }
    std::function<void(QDialog*)> m_script;
    bool m_busy = false;
    QTimer m_timer;
};

// Chooses the item with this text from the row's context menu when it opens, or closes the
// menu when that item is greyed; records each item's text and whether it was enabled.
class MenuPicker {
  public:
    explicit MenuPicker(const char* text) : m_text(U(text)) {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
        m_timer.start();
    }
    QStringList items;

  private:
    void Poll() {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu == nullptr || menu->objectName() != QStringLiteral("rowMenu")) {
            return;
        }
        QAction* pick = nullptr;
        for (QAction* a : menu->actions()) {
            items << a->text() + (a->isEnabled() ? QString() : QStringLiteral(" (off)"));
            if (a->text() == m_text && a->isEnabled()) {
                pick = a;
            }
        }
        if (pick != nullptr) {
            menu->setActiveAction(pick);
            QTest::keyClick(menu, Qt::Key_Return);
        } else {
            menu->close();
        }
    }
    QString m_text;
    QTimer m_timer;
};

// Answers the Yes/No boxes in turn; records their texts, owners and default buttons.
class YesNoAnswers {
  public:
    explicit YesNoAnswers(std::vector<QMessageBox::StandardButton> answers)
        : m_answers(std::move(answers)) {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
        m_timer.start();
    }
    QStringList texts;
    QStringList buttons;
    std::vector<QWidget*> owners;
    bool defaultNo = true;

  private:
    void Poll() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible() || box->button(QMessageBox::Yes) == nullptr ||
            m_next >= m_answers.size()) {
            return;
        }
        texts << box->text();
        buttons << box->button(QMessageBox::Yes)->text() << box->button(QMessageBox::No)->text();
        owners.push_back(box->parentWidget());
        defaultNo = defaultNo && box->defaultButton() == box->button(QMessageBox::No);
        box->button(m_answers[m_next++])->click();
    }
    std::vector<QMessageBox::StandardButton> m_answers;
    std::size_t m_next = 0;
    QTimer m_timer;
};

QString Openssl(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral("openssl"), args);
    if (!p.waitForFinished(10000) || p.exitCode() != 0) {
        return QStringLiteral("openssl failed: ") + QString::fromUtf8(p.readAllStandardError());
    }
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::set<std::string> Entries(const std::string& dir) {
    std::set<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        out.insert(e.path().filename().string());
    }
    return out;
}

// A save-dialog stand-in handing out the paths given, in turn.
struct SaveSeam {
    struct Asked {
        QWidget* parent;
        QString caption, fileName;
        QStringList filters;
    };
    std::vector<SaveChoice> choices;
    std::vector<Asked> asked;
    qt::QtDialogWindow::SaveFileSeam Seam() {
        return [this](QWidget* parent, const QString& caption, const QString& fileName,
                      const QStringList& filters) -> std::optional<SaveChoice> {
            asked.push_back({parent, caption, fileName, filters});
            if (asked.size() > choices.size()) {
                return std::nullopt;
            }
            return choices[asked.size() - 1];
        };
    }
};

}  // namespace

class DetailsGuiTest : public QObject {
    Q_OBJECT

  private slots:
    void detailsOpenFromTheRows() {
        quorlin::test::Watchdog watchdog(20000);
        Card c;
        QStringList fields;
        DetailsWatcher details([&](QDialog* d) {
            if (!fields.isEmpty()) {
                return;
            }
            QCOMPARE(d->windowTitle(), U(res::kDetailsCaption));
            for (int id = res::IDC_DETAILS_SUBJECT; id <= res::IDC_DETAILS_CONTAINER; ++id) {
                fields << Field(d, id);
            }
            // The start of a long value shows; the screenshot is for a person to look at.
            QCOMPARE(d->findChild<QLineEdit*>(QString::number(res::IDC_DETAILS_SHA256))
                         ->cursorPosition(),
                     0);
            const QString shot = quorlin::test::ShotDir() + QStringLiteral("/details.png");
            QVERIFY2(d->grab().save(shot), qPrintable(shot));
        });

        c.DoubleClick(kDora);
        QCOMPARE(details.subjects, QStringList{"CN=Dora Wu,O=Quorlin Test"});
        QCOMPARE(details.parents.back(), c.view.Dialog());
        // Each value in its own field (the values themselves: details_test).
        QCOMPARE(fields.size(), 12);
        QCOMPARE(fields[2], QStringLiteral("14:59:61:24:81:D9:8B:C7"));
        QCOMPARE(fields[11], QStringLiteral("Quorlin-Dora"));

        c.Enter(kEvan);
        QCOMPARE(details.subjects.size(), 2);
        QCOMPARE(details.subjects.back(), QStringLiteral("CN=Evan Ho,O=Quorlin Test"));
        {
            MenuPicker menu(res::kMenuViewCert);
            c.ContextMenu(kAlice);
            QCOMPARE(menu.items, (QStringList{U("檢視憑證…"), U("匯出憑證…")}));
        }
        QCOMPARE(details.subjects.back(), QStringLiteral("CN=Alice Chen,O=Quorlin Test"));
        {
            MenuPicker menu(res::kMenuViewCert);
            c.ContextMenu(kDora, true);
        }
        QCOMPARE(details.subjects.size(), 4);
        QCOMPARE(details.subjects.back(), QStringLiteral("CN=Dora Wu,O=Quorlin Test"));

        // The placeholder has no details: nothing opens, its menu items are greyed.
        c.DoubleClick(kSpare);
        c.Enter(kSpare);
        {
            MenuPicker menu(res::kMenuViewCert);
            c.ContextMenu(kSpare);
            QCOMPARE(menu.items, (QStringList{U("檢視憑證… (off)"), U("匯出憑證… (off)")}));
        }
        QTest::qWait(50);
        QCOMPARE(details.subjects.size(), 4);
        QVERIFY(!watchdog.fired);
    }

    void marksShowOnTheRowsWhoseTextsStay() {
        Card c;
        const QString expiring = U("憑證將於 12 天後到期");
        const QString expired = U("憑證已過期 (2025-03-01)");
        const QString tips[] = {QString(), expiring, expired, QString()};
        for (int row = kAlice; row <= kSpare; ++row) {
            for (int col = 0; col < c.List()->columnCount(); ++col) {
                QCOMPARE(c.List()->item(row, col)->toolTip(), tips[row]);
                // The marker sits before the common name, column 3.
                QCOMPARE(c.List()->item(row, col)->icon().isNull(),
                         tips[row].isEmpty() || col != 3);
            }
        }
        // The columns show the card's own texts, as before.
        const QStringList dora = {"8003", "20240101", "20251231", "Dora Wu", "Quorlin-Dora"};
        for (int col = 0; col < 5; ++col) {
            QCOMPARE(c.List()->item(kDora, col)->text(), dora[col]);
        }
        QCOMPARE(c.List()->item(kEvan, 2)->text(), QStringLiteral("20250301"));
        QTest::qWait(50);
        const QString shot = quorlin::test::ShotDir() + QStringLiteral("/page2-marks.png");
        QVERIFY2(c.view.Dialog()->grab().save(shot), qPrintable(shot));
    }

    void exportWritesWhatOpensslReads() {
        quorlin::test::Watchdog watchdog(20000);
        const quorlin::test::TempDir dir("quorlin-gui-export");
        Card c;
        SaveSeam save;
        save.choices = {{dir.Join("dora"), 0}, {dir.Join("evan.der"), 1}};
        c.view.SetSaveFileSeam(save.Seam());

        {
            MenuPicker menu(res::kMenuExportCert);
            c.ContextMenu(kDora);
        }
        QCOMPARE(Openssl({"x509", "-in", QString::fromStdString(dir.Join("dora.pem")), "-noout",
                          "-subject", "-nameopt", "RFC2253"}),
                 QStringLiteral("subject=O=Quorlin Test,CN=Dora Wu"));
        // From the details dialog's button, pressed with Enter, as DER; its boxes would
        // belong to it.
        QWidget* detailsDialog = nullptr;
        DetailsWatcher details([&](QDialog* d) {
            detailsDialog = d;
            auto* button = d->findChild<QPushButton*>(QString::number(res::IDC_BTN_EXPORT));
            button->setFocus();
            QTest::keyClick(button, Qt::Key_Return);
        });
        c.DoubleClick(kEvan);
        QCOMPARE(
            Openssl({"x509", "-inform", "DER", "-in", QString::fromStdString(dir.Join("evan.der")),
                     "-noout", "-fingerprint", "-sha256"}),
            QStringLiteral("sha256 Fingerprint=4A:A9:F8:16:C8:75:C1:E2:7E:D0:F6:67:CE:9B:"
                           "8A:FF:68:1C:C2:7B:44:38:E8:BE:14:D8:6C:CE:97:2D:79:45"));
        QCOMPARE(save.asked.size(), std::size_t(2));
        QCOMPARE(save.asked[0].parent, c.view.Dialog());
        QCOMPARE(save.asked[1].parent, detailsDialog);
        QCOMPARE(save.asked[0].caption, U("匯出憑證"));
        QCOMPARE(save.asked[0].fileName, QStringLiteral("Dora Wu"));
        QCOMPARE(save.asked[0].filters,
                 (QStringList{U("PEM 憑證 (*.pem *.crt)"), U("DER 憑證 (*.cer *.der)")}));
        QCOMPARE(Entries(dir.Path()), (std::set<std::string>{"dora.pem", "evan.der"}));

        // Replacing a file takes a Yes; No leaves it as it was.
        dir.Write("old.pem", "old");
        save.choices = {{dir.Join("old.pem"), 0}, {dir.Join("old.pem"), 0}};
        save.asked.clear();
        YesNoAnswers answers({QMessageBox::No, QMessageBox::Yes});
        for (int k = 0; k < 2; ++k) {
            MenuPicker menu(res::kMenuExportCert);
            c.ContextMenu(kDora);
            QCOMPARE(FileText(dir.Join("old.pem")).substr(0, 5),
                     std::string(k == 0 ? "old" : "-----"));
        }
        QCOMPARE(answers.texts.size(), 2);
        QCOMPARE(answers.texts[0],
                 QString::fromStdString(dir.Join("old.pem")) + U(" 已存在。\n要取代它嗎？"));
        QCOMPARE(answers.owners[0], c.view.Dialog());
        QCOMPARE(answers.buttons.mid(0, 2), (QStringList{U("是(&Y)"), U("否(&N)")}));
        QVERIFY(answers.defaultNo);
        QCOMPARE(Openssl({"x509", "-in", QString::fromStdString(dir.Join("old.pem")), "-noout",
                          "-serial"}),
                 QStringLiteral("serial=1459612481D98BC7"));
        QVERIFY(!watchdog.fired);
    }

    void aFullFileSystemKeepsNoFileAndSaysWhy() {
        if (!g_privateMounts) {
            QSKIP("needs a mount namespace of its own (root)");
        }
        const quorlin::test::TempDir dir("quorlin-gui-full");
        QVERIFY2(::mount("tmpfs", dir.Path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                         "size=64k,mode=0700") == 0,
                 std::strerror(errno));
        auto unmount = qScopeGuard([&] { ::umount2(dir.Path().c_str(), MNT_DETACH); });
        {
            std::ofstream filler(dir.Join("filler"), std::ios::binary);
            const std::string block(4096, 'x');
            for (int k = 0; k < 64 && filler.write(block.data(), block.size()); ++k) {
            }
        }
        const std::set<std::string> before = Entries(dir.Path());
        QCOMPARE(before, (std::set<std::string>{"filler"}));

        Card c;
        SaveSeam save;
        save.choices = {{dir.Join("dora.pem"), 0}};
        c.view.SetSaveFileSeam(save.Seam());
        BoxCloser boxes;
        {
            MenuPicker menu(res::kMenuExportCert);
            c.ContextMenu(kDora);
        }
        QCOMPARE(boxes.boxes.size(), std::size_t(1));
        quorlin::test::ExpectBox(
            boxes.boxes[0],
            ("無法匯出憑證至 " + dir.Join("dora.pem") + "\n" + std::strerror(ENOSPC)).c_str(),
            U(res::kExportCaption), QMessageBox::Warning);
        QCOMPARE(boxes.boxes[0].parent, c.view.Dialog());
        QCOMPARE(Entries(dir.Path()), before);
    }
};

// QTEST_MAIN, after moving into a mount namespace of its own while the process has one
// thread: a tmpfs mounted there is gone with the process, whatever happens to the test.
int main(int argc, char** argv) {
    g_privateMounts = ::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0 &&
                      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    if (!quorlin::qt::InstallQtTranslation(app)) {
        std::fprintf(stderr, "qtbase_zh_TW.qm is missing (qt6-translations-l10n)\n");
        return 1;
    }
    DetailsGuiTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "details_gui_test.moc"
