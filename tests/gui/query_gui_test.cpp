// The certificate page through the widgets: log-in, query and the list it fills, with the
// card engine in the reader and certificates decoded by OpenSSL.

#include <QCursor>
#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>
#include <algorithm>
#include <map>
#include <vector>

#include "GuiHelpers.h"
#include "fakes/EnginePcsc.h"
#include "fakes/TempDir.h"
#include "platform/crypt/CardCryptApi.h"
#include "platform/store/SqliteStoreApi.h"
#include "platform/x509/OpenSslCertApi.h"
#include "res/Strings.h"

using namespace quorlin;
using quorlin::test::BoxCloser;
using quorlin::test::EnginePcsc;
using quorlin::test::ExpectBox;
using quorlin::test::U;

namespace {

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
        Start(Platform{&pcsc, &certs, crypt.get(), store.get()});
    }
    QTableWidget* List() const { return As<QTableWidget>(res::IDC_LIST_CERTS); }

    // Log-in as a user does it; the one box is the success.
    void LogIn() {
        BoxCloser boxes;
        Type(1003, "123456");
        Click(1006);
        QCOMPARE(boxes.boxes.size(), std::size_t(1));
        ExpectBox(boxes.boxes[0], "卡片登入成功", U(applet::kMorvexCspEnterprise),
                  QMessageBox::Information);
    }

    // The headings (row -1) or a row's texts as drawn, left to right; each cell must sit
    // exactly under its heading.
    QStringList Line(int row) const {
        QHeaderView* header = List()->horizontalHeader();
        std::map<int, QString> byX;
        for (int c = 0; c < List()->columnCount(); ++c) {
            QTableWidgetItem* item =
                row < 0 ? List()->horizontalHeaderItem(c) : List()->item(row, c);
            const int x = header->sectionViewportPosition(c);
            if (item == nullptr || header->isSectionHidden(c)) {
                continue;
            }
            if (row >= 0 && List()->visualItemRect(item).left() != x) {
                return {QStringLiteral("cell %1 off its column").arg(c)};
            }
            byX[x] = item->text();
        }
        QStringList out;
        for (const auto& cell : byX) {
            out << cell.second;
        }
        return out;
    }
    std::vector<QStringList> Rows() const {
        std::vector<QStringList> out;
        for (int r = 0; r < List()->rowCount(); ++r) {
            out.push_back(Line(r));
        }
        return out;
    }
};

// The demo card: Alice, the spare placeholder, Bob, Carol in directory order; certificate
// rows first in directory order, then the placeholder.
const std::vector<QStringList> kDemoRows = {
    {"8001", "20250101", "20351231", "Alice Chen", "Quorlin-Alice"},
    {"8003", "20250301", "20280228", "Bob Lin", "Quorlin-Bob"},
    {"8004", "20260115", "20310114", U("陳小明"), "Quorlin-Carol"},
    {"8002", U(res::kNoDate), U(res::kNoDate), U(res::kCertNotLoaded), "Quorlin-Spare"},
};

}  // namespace

class QueryGuiTest : public QObject {
    Q_OBJECT

  private slots:
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
                const QCursor* cursor = QApplication::overrideCursor();
                ++asked;
                waited += cursor != nullptr && cursor->shape() == Qt::WaitCursor;
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

            QCOMPARE(c.Line(-1), (QStringList{"EF", U("起始日"), U("到期日"), "Common Name",
                                              "Container Name"}));
            QCOMPARE(c.Rows(), kDemoRows);
            QVERIFY(c.W(1020)->isEnabled());
            QCOMPARE(x509::OpenSslCertApi::LiveContexts(), std::size_t(3));
            QTest::qWait(50);
            const QString shot = quorlin::test::ShotDir() + QStringLiteral("/page2-rows.png");
            QVERIFY2(c.view.Dialog()->grab().save(shot), qPrintable(shot));

            // Leaving the page and coming back greys the register button; the rows stay.
            c.ClickTab(0);
            QVERIFY(!c.W(1020)->isVisible());
            c.ClickTab(2);
            QVERIFY(c.W(1020)->isVisible() && !c.W(1020)->isEnabled());
            QCOMPARE(c.Rows(), kDemoRows);

            // A second query replaces the rows and the certificates rather than adding.
            c.Click(1016);
            QCOMPARE(c.Rows(), kDemoRows);
            QVERIFY(c.W(1020)->isEnabled());
            QCOMPARE(x509::OpenSslCertApi::LiveContexts(), std::size_t(3));
        }
        QCOMPARE(x509::OpenSslCertApi::LiveContexts(), std::size_t(0));
    }

    void registerReturnsToLogIn() {
        const quorlin::test::TempDir home("quorlin-gui");
        QVERIFY(QFileInfo(QString::fromStdString(home.Path())).isDir());
        const QByteArray oldHome = qgetenv("XDG_DATA_HOME"), oldDirs = qgetenv("XDG_DATA_DIRS");
        qputenv("XDG_DATA_HOME", QByteArray::fromStdString(home.Path()));
        qputenv("XDG_DATA_DIRS", (quorlin::test::ShotDir() + QStringLiteral("/share")).toUtf8());
        auto restore = qScopeGuard([&] {
            qputenv("XDG_DATA_HOME", oldHome);
            qputenv("XDG_DATA_DIRS", oldDirs);
        });

        Card c(true);
        c.LogIn();
        c.ClickTab(2);
        c.Click(1016);
        QVERIFY(c.W(1020)->isEnabled());

        // Both outcome boxes are shown with the arrow, over the wait cursor.
        std::vector<Qt::CursorShape> shapes;
        BoxCloser boxes([&](QMessageBox*) {
            const QCursor* cursor = QApplication::overrideCursor();
            shapes.push_back(cursor != nullptr ? cursor->shape() : Qt::BitmapCursor);
        });
        c.Click(1020);
        QCOMPARE(boxes.boxes.size(), std::size_t(2));
        ExpectBox(boxes.boxes[0], res::kRegistered, U(res::kStdTitle), QMessageBox::NoIcon);
        ExpectBox(boxes.boxes[1], res::kLogInAgain, U(res::kStdTitle), QMessageBox::NoIcon);
        QCOMPARE(boxes.boxes[1].parent, c.view.Dialog());
        QCOMPARE(shapes, (std::vector<Qt::CursorShape>{Qt::ArrowCursor, Qt::ArrowCursor}));
        QCOMPARE(QApplication::overrideCursor(), nullptr);

        // Back on the log-in page, logged out (the handler's own steps: register_test).
        QCOMPARE(c.Tabs()->currentIndex(), 0);
        QVERIFY(c.W(1003)->isVisible() && c.W(1006)->isEnabled());
        QVERIFY(!c.W(1014)->isVisible() && !c.W(1020)->isVisible());
        QCOMPARE(c.As<QPushButton>(1006)->text(), U(res::kBtnLogin));
        c.ClickTab(2);
        QVERIFY(!c.W(1016)->isEnabled() && !c.W(1020)->isEnabled());
        // The store the program uses holds the card's three certificates.
        QVERIFY(QFileInfo::exists(QString::fromStdString(home.Join("quorlin/certstore.db"))));
        QCOMPARE(c.store->List("MY").value_or(std::vector<store::StoredCertificate>{}).size(),
                 std::size_t(3));
    }
};

QTEST_MAIN(QueryGuiTest)
#include "query_gui_test.moc"
