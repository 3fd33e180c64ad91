#pragma once
// Helpers for driving the Qt view from QtTest: closing modal boxes as they appear and a
// watchdog so a dialog left open fails the test instead of hanging it.

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QString>
#include <QTabBar>
#include <QTimer>
#include <QWidget>
#include <QtTest>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "res/resource.h"
#include "ui/CQuorlinDlg.h"
#include "ui/qt/QtDialogWindow.h"

namespace quorlin::test {

inline QString U(const char* utf8) {
    return QString::fromUtf8(utf8);
}

// Where the screenshots go: the build directory.
inline QString ShotDir() {
    const QString build = qEnvironmentVariable("QUORLIN_BUILD_DIR");
    return build.isEmpty() ? QDir::currentPath() : build;
}

struct SeenBox {
    QString text;
    QString title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QWidget* parent = nullptr;
    QMessageBox::StandardButtons buttons;
    bool modal = false;
    QString okText;
};

inline void ExpectBox(const SeenBox& box, const char* text, const QString& title,
                      QMessageBox::Icon icon) {
    QCOMPARE(box.text, U(text));
    QCOMPARE(box.title, title);
    QCOMPARE(box.icon, icon);
}

// Polls for modal message boxes, records each one and presses its OK; an optional hook
// runs before the press (to look at the cursor, say).
class BoxCloser {
  public:
    explicit BoxCloser(std::function<void(QMessageBox*)> hook = {}) : m_hook(std::move(hook)) {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
        m_timer.start();
    }
    std::vector<SeenBox> boxes;

  private:
    void Poll() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) {
            return;
        }
        QAbstractButton* ok = box->button(QMessageBox::Ok);
        boxes.push_back({box->text(), box->windowTitle(), box->icon(), box->parentWidget(),
                         box->standardButtons(), box->isModal(), ok ? ok->text() : QString()});
        if (m_hook) {
            m_hook(box);
        }
        if (ok != nullptr) {
            ok->click();
        } else {
            box->reject();
        }
    }
    std::function<void(QMessageBox*)> m_hook;
    QTimer m_timer;
};

// Runs script once the event loop of a modal run is up.
inline void Soon(std::function<void()> script) {
    QTimer::singleShot(0, std::move(script));
}

class Watchdog {
  public:
    // After timeoutMs, and every 100 ms from then on, every open window is closed.
    explicit Watchdog(int timeoutMs) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            fired = true;
            m_timer.setInterval(100);
            if (QWidget* modal = QApplication::activeModalWidget()) {
                modal->close();
            }
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (w->isVisible()) {
                    w->close();
                }
            }
        });
        m_timer.start(timeoutMs);
    }
    bool fired = false;

  private:
    QTimer m_timer;
};

// The view and the dialog logic over a PC/SC service, created and shown without a modal
// run, so a test drives the widgets directly.
template <class Pcsc>
struct ShownDialog {
    Pcsc pcsc;
    qt::QtDialogWindow view;
    std::unique_ptr<CQuorlinDlg> dlg;

    template <class... Args>
    explicit ShownDialog(Args&&... args) : pcsc(std::forward<Args>(args)...) {}
    ~ShownDialog() {
        if (view.Dialog() != nullptr) {
            view.Dialog()->hide();
        }
    }

    void Start() { Start(Platform{&pcsc}); }
    void Start(Platform platform) {
        dlg = std::make_unique<CQuorlinDlg>(view, platform);
        view.Create(*dlg);
        view.Dialog()->show();
        view.Dialog()->activateWindow();
        QVERIFY(QTest::qWaitForWindowExposed(view.Dialog()));
    }
    QWidget* W(int id) const { return view.Control(id); }
    template <class T>
    T* As(int id) const {
        return qobject_cast<T*>(view.Control(id));
    }
    QTabBar* Tabs() const {
        return static_cast<qt::TabControl*>(view.Control(res::IDC_TAB))->Bar();
    }
    void ClickTab(int index) const {
        QTest::mouseClick(Tabs(), Qt::LeftButton, {}, Tabs()->tabRect(index).center());
    }
    void Click(int id) const { QTest::mouseClick(W(id), Qt::LeftButton); }
    // Replaces an edit's text the way a user does: select all, type.
    void Type(int id, const QString& text) const {
        QWidget* edit = W(id);
        edit->setFocus();
        QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(edit, Qt::Key_Delete);
        QTest::keyClicks(edit, text);
    }
};

}  // namespace quorlin::test
