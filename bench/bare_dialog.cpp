// The yardstick for Quorlin's start-up: a bare Qt program that shows a dialog with the
// main dialog's widgets (tab bar, group boxes, labels, reader list, PIN fields, buttons,
// certificate table), placed and labelled from the same template, in the same font, and
// the log-in page showing. It has no card service, no certificate decoding and no store.

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStringList>
#include <QTabBar>
#include <QTableWidget>
#include <algorithm>

#include "res/Strings.h"
#include "res/Templates.h"
#include "res/resource.h"

namespace {

using quorlin::res::ControlKind;

constexpr int kLoginPage[] = {quorlin::res::IDC_TAB,           quorlin::res::IDC_GROUP_LOGIN,
                              quorlin::res::IDC_STATIC_READER, quorlin::res::IDC_COMBO_READER,
                              quorlin::res::IDC_STATIC_PIN,    quorlin::res::IDC_EDIT_PIN,
                              quorlin::res::IDC_BTN_LOGIN};

QString Text(const char* utf8) {
    return QString::fromUtf8(utf8);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const quorlin::res::DialogTemplate& tpl = quorlin::res::MainDialogTemplate();

    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Quorlin bare dialog"));
    QFont font;
    QStringList families{Text(tpl.fontFace)};
    for (const char* face : tpl.fallbackFontFaces) {
        families << Text(face);
    }
    font.setFamilies(families);
    const int dpi = qRound(QGuiApplication::primaryScreen()->logicalDotsPerInchY());
    font.setPixelSize((tpl.pointSize * dpi + 36) / 72);
    dialog.setFont(font);

    // Dialog units, from the font's average character width and height.
    const QFontMetrics fm(font);
    const int baseX = (fm.horizontalAdvance(
                           QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
                           26 +
                       1) /
                      2;
    const int baseY = fm.height();
    auto scale = [](int v, int base, int div) { return (v * base + div / 2) / div; };
    auto px = [&](int x, int y, int cx, int cy) {
        return QRect(scale(x, baseX, 4), scale(y, baseY, 8), scale(cx, baseX, 4),
                     scale(cy, baseY, 8));
    };
    dialog.setFixedSize(px(0, 0, tpl.cx, tpl.cy).size());

    for (const quorlin::res::ControlTemplate& ctl : tpl.controls) {
        const QString text = Text(ctl.text);
        QWidget* w = nullptr;
        switch (ctl.kind) {
            case ControlKind::GroupBox:
                w = new QGroupBox(text, &dialog);
                break;
            case ControlKind::StaticText:
            case ControlKind::StaticIcon:
                w = new QLabel(text, &dialog);
                break;
            case ControlKind::ComboDropDownList:
                w = new QComboBox(&dialog);
                break;
            case ControlKind::Edit: {
                auto* edit = new QLineEdit(&dialog);
                edit->setEchoMode(QLineEdit::Password);
                w = edit;
                break;
            }
            case ControlKind::PushButton:
                w = new QPushButton(text, &dialog);
                break;
            case ControlKind::TabControl: {
                auto* tabs = new QTabBar(&dialog);
                for (const char* page : {quorlin::res::kTabLogin, quorlin::res::kTabChangePin,
                                         quorlin::res::kTabCerts}) {
                    tabs->addTab(Text(page));
                }
                w = tabs;
                break;
            }
            case ControlKind::ListView: {
                auto* table = new QTableWidget(0, 5, &dialog);
                table->setHorizontalHeaderLabels(
                    {Text(quorlin::res::kColEf), Text(quorlin::res::kColStart),
                     Text(quorlin::res::kColExpiry), Text(quorlin::res::kColCommonName),
                     Text(quorlin::res::kColContainer)});
                table->verticalHeader()->hide();
                w = table;
                break;
            }
        }
        w->setGeometry(px(ctl.x, ctl.y, ctl.cx, ctl.cy));
        w->setVisible(std::find(std::begin(kLoginPage), std::end(kLoginPage), ctl.id) !=
                      std::end(kLoginPage));
    }
    dialog.show();
    return app.exec();
}
