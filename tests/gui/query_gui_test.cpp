// The certificate page through the widgets: log-in, query and the list it fills, with the
// card engine in the reader and certificates decoded by OpenSSL.

#include <QCursor>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <vector>

#include "GuiHelpers.h"
#include "fakes/EnginePcsc.h"
#include "platform/crypt/CardCryptApi.h"
#include "platform/store/SqliteStoreApi.h"
#include "platform/x509/OpenSslCertApi.h"
#include "res/Strings.h"

using namespace quorlin;
using quorlin::test::BoxCloser;
using quorlin::test::EnginePcsc;
using quorlin::test::SeenBox;

namespace {

QString U(const char* utf8) {
    return QString::fromUtf8(utf8);
}

// Built before the dialog and gone after it, since the dialog frees its certificates
// through the service when it ends.
struct Services {
    x509::OpenSslCertApi certs;
    std::unique_ptr<crypt::CardCryptApi> crypt;
    std::unique_ptr<store::SqliteStoreApi> store;
};

struct Card : Services, quorlin::test::ShownDialog<EnginePcsc> {
    // With registration: the provider and the store the program itself would use, found
    // through the environment's data directories.
    explicit Card(bool registration = false) : ShownDialog(std::string("demo.json")) {
        if (registration) {
            crypt = std::make_unique<crypt::CardCryptApi>(pcsc);
            store = std::make_unique<store::SqliteStoreApi>();
        }
        Open();
    }

    void Open() {
        dlg =
            std::make_unique<CQuorlinDlg>(view, Platform{&pcsc, &certs, crypt.get(), store.get()});
        view.Create(*dlg);
        view.Dialog()->show();
        view.Dialog()->activateWindow();
        QVERIFY(QTest::qWaitForWindowExposed(view.Dialog()));
    }
    QTableWidget* List() const { return As<QTableWidget>(res::IDC_LIST_CERTS); }

    // Log-in as a user does it; the one box is the success.
    void LogIn() {
        BoxCloser boxes;
        Type(1003, "123456");
        Click(1006);
        QCOMPARE(boxes.boxes.size(), std::size_t(1));
        QCOMPARE(boxes.boxes[0].text, U("卡片登入成功"));
        QCOMPARE(boxes.boxes[0].title, U(res::kCspMorvexEnterprise));
        QCOMPARE(boxes.boxes[0].icon, QMessageBox::Information);
        QCOMPARE(As<QPushButton>(1006)->text(), U("中斷卡片"));
    }

    // The column headings as they stand on screen, left to right.
    QStringList Headings() const {
        QHeaderView* header = List()->horizontalHeader();
        std::vector<int> logical;
        for (int c = 0; c < List()->columnCount(); ++c) {
            if (!header->isSectionHidden(c)) {
                logical.push_back(c);
            }
        }
        std::sort(logical.begin(), logical.end(), [header](int a, int b) {
            return header->sectionPosition(a) < header->sectionPosition(b);
        });
        QStringList out;
        for (int c : logical) {
            out << List()->horizontalHeaderItem(c)->text();
        }
        return out;
    }
    // The texts of one row in the order they are drawn, left to right; each must sit
    // exactly under a heading.
    QStringList Row(int row) const {
        QHeaderView* header = List()->horizontalHeader();
        std::vector<std::pair<int, QString>> cells;
        for (int c = 0; c < List()->columnCount(); ++c) {
            if (QTableWidgetItem* item = List()->item(row, c)) {
                const int x = List()->visualItemRect(item).left();
                if (x != header->sectionViewportPosition(c)) {
                    return {QStringLiteral("cell %1 off its column").arg(c)};
                }
                cells.emplace_back(x, item->text());
            }
        }
        std::sort(cells.begin(), cells.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        QStringList out;
        for (const auto& cell : cells) {
            out << cell.second;
        }
        return out;
    }
    std::vector<QStringList> Rows() const {
        std::vector<QStringList> out;
        for (int r = 0; r < List()->rowCount(); ++r) {
            out.push_back(Row(r));
        }
        return out;
    }
};

// The demo card: Alice, the spare placeholder, Bob, Carol in directory order; certificate
// rows first in directory order, then the placeholder.
const std::vector<QStringList>& DemoRows() {
    static const std::vector<QStringList> rows = {
        {"8001", "20250101", "20351231", "Alice Chen", "Quorlin-Alice"},
        {"8003", "20250301", "20280228", "Bob Lin", "Quorlin-Bob"},
        {"8004", "20260115", "20310114", U("陳小明"), "Quorlin-Carol"},
        {"8002", U(res::kNoDate), U(res::kNoDate), U(res::kCertNotLoaded), "Quorlin-Spare"},
    };
    return rows;
}

}  // namespace

class QueryGuiTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        const QString build = qEnvironmentVariable("QUORLIN_BUILD_DIR");
        m_shots = build.isEmpty() ? QDir::currentPath() : build;
    }

    void queryListsTheCard() {
        {
            Card c;
            c.LogIn();
            c.ClickTab(2);
            QVERIFY(c.W(1016)->isVisible() && c.W(1016)->isEnabled());
            QVERIFY(c.W(1014)->isVisible() && c.W(1014)->isEnabled());
            QVERIFY(c.W(1020)->isVisible() && !c.W(1020)->isEnabled());
            QCOMPARE(c.List()->rowCount(), 0);

            // The card is asked under the wait cursor; no box interrupts a clean query.
            int asked = 0;
            int waited = 0;
            auto engine = c.pcsc.responder;
            c.pcsc.responder = [&](const test::Bytes& command) {
                ++asked;
                const QCursor* cursor = QApplication::overrideCursor();
                waited += (cursor != nullptr && cursor->shape() == Qt::WaitCursor) ? 1 : 0;
                return engine(command);
            };
            {
                BoxCloser boxes;
                c.Click(1016);
                QVERIFY(boxes.boxes.empty());
            }
            QVERIFY(asked > 0);
            QCOMPARE(waited, asked);
            QCOMPARE(QApplication::overrideCursor(), nullptr);

            const QStringList headings = {"EF", U("起始日"), U("到期日"), "Common Name",
                                          "Container Name"};
            QCOMPARE(c.Headings(), headings);
            QCOMPARE(c.Rows(), DemoRows());
            QVERIFY(c.W(1020)->isEnabled());
            QCOMPARE(x509::OpenSslCertApi::LiveContexts(), std::size_t(3));

            // The screenshot shows the rows as the user sees them.
            QTest::qWait(50);
            const QString shot = m_shots + QStringLiteral("/page2-rows.png");
            QVERIFY2(c.view.Dialog()->grab().save(shot), qPrintable(shot));
            // and, scrolled to the far end, the placeholder and the container names.
            c.List()->scrollToItem(c.List()->item(3, 4));
            QTest::qWait(50);
            const QString end = m_shots + QStringLiteral("/page2-rows-end.png");
            QVERIFY2(c.view.Dialog()->grab().save(end), qPrintable(end));
            c.List()->scrollToTop();

            // Leaving the page and coming back greys the register button; the rows stay.
            c.ClickTab(0);
            QVERIFY(!c.W(1020)->isVisible());
            c.ClickTab(2);
            QVERIFY(c.W(1020)->isVisible());
            QVERIFY(!c.W(1020)->isEnabled());
            QCOMPARE(c.Rows(), DemoRows());

            // A second query replaces the rows and the certificates rather than adding.
            c.Click(1016);
            QCOMPARE(c.Rows(), DemoRows());
            QVERIFY(c.W(1020)->isEnabled());
            QCOMPARE(x509::OpenSslCertApi::LiveContexts(), std::size_t(3));
            QCOMPARE(QApplication::overrideCursor(), nullptr);
        }
        QCOMPARE(x509::OpenSslCertApi::LiveContexts(), std::size_t(0));
    }

    void registerReturnsToLogIn() {
        QTemporaryDir home;
        QVERIFY(home.isValid());
        const QByteArray oldHome = qgetenv("XDG_DATA_HOME");
        const QByteArray oldDirs = qgetenv("XDG_DATA_DIRS");
        qputenv("XDG_DATA_HOME", home.path().toUtf8());
        qputenv("XDG_DATA_DIRS", (m_shots + QStringLiteral("/share")).toUtf8());
        auto restore = qScopeGuard([&] {
            qputenv("XDG_DATA_HOME", oldHome);
            qputenv("XDG_DATA_DIRS", oldDirs);
        });

        Card c(true);
        c.LogIn();
        c.ClickTab(2);
        c.Click(1016);
        QVERIFY(c.W(1020)->isEnabled());
        const std::size_t callsBefore = c.pcsc.calls.size();

        // Both outcome boxes are shown with the arrow, over the wait cursor.
        std::vector<Qt::CursorShape> shapes;
        BoxCloser boxes([&](QMessageBox*) {
            const QCursor* cursor = QApplication::overrideCursor();
            shapes.push_back(cursor != nullptr ? cursor->shape() : Qt::BitmapCursor);
        });
        c.Click(1020);
        QCOMPARE(boxes.boxes.size(), std::size_t(2));
        const QString std = U(res::kStdTitle);
        QCOMPARE(boxes.boxes[0].text, U(res::kRegistered));
        QCOMPARE(boxes.boxes[0].title, std);
        QCOMPARE(boxes.boxes[0].icon, QMessageBox::NoIcon);
        QCOMPARE(boxes.boxes[1].text, U(res::kLogInAgain));
        QCOMPARE(boxes.boxes[1].title, std);
        QCOMPARE(boxes.boxes[1].icon, QMessageBox::NoIcon);
        QCOMPARE(boxes.boxes[1].parent, c.view.Dialog());
        QCOMPARE(shapes, (std::vector<Qt::CursorShape>{Qt::ArrowCursor, Qt::ArrowCursor}));
        QCOMPARE(QApplication::overrideCursor(), nullptr);

        // Back on the log-in page, logged out.
        QCOMPARE(c.Tabs()->currentIndex(), 0);
        QVERIFY(c.W(1003)->isVisible() && c.W(1006)->isEnabled());
        QVERIFY(!c.W(1014)->isVisible() && !c.W(1020)->isVisible());
        QCOMPARE(c.As<QPushButton>(1006)->text(), U(res::kBtnLogin));
        // The dialog let its card go before the provider went looking for it.
        QCOMPARE(c.dlg->m_hCard, pcsc::ScardHandle(0));
        QCOMPARE(c.dlg->m_bLoggedIn, 0);
        QVERIFY(c.pcsc.calls.size() > callsBefore);
        QVERIFY2(QString::fromStdString(c.pcsc.calls[callsBefore]).startsWith("SCardDisconnect"),
                 c.pcsc.calls[callsBefore].c_str());
        c.ClickTab(2);
        QVERIFY(!c.W(1016)->isEnabled() && !c.W(1020)->isEnabled());

        // The store now holds each certificate of the card under its container.
        const auto entries = c.store->List("MY");
        QVERIFY(entries.has_value());
        QStringList stored;
        for (const store::StoredCertificate& e : *entries) {
            QCOMPARE(QString::fromStdString(e.provider), U(res::kCspMorvexEnterprise));
            stored << QString::fromStdString(e.container);
        }
        stored.sort();
        QCOMPARE(stored, (QStringList{"Quorlin-Alice", "Quorlin-Bob", "Quorlin-Carol"}));
        QVERIFY(QFileInfo::exists(home.path() + QStringLiteral("/quorlin/certstore.db")));
    }

  private:
    QString m_shots;
};

QTEST_MAIN(QueryGuiTest)
#include "query_gui_test.moc"
