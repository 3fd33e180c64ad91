#include "ui/qt/TemplateDialog.h"

#include <QComboBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyleOptionTabWidgetFrame>
#include <QStylePainter>
#include <QTabBar>
#include <QTableWidget>

namespace quorlin::qt {

namespace {

// Windows' MulDiv: a * b / c rounded to nearest.
int MulDiv(int a, int b, int c) {
    const long long p = static_cast<long long>(a) * b;
    return static_cast<int>(p >= 0 ? (p + c / 2) / c : (p - c / 2) / c);
}

}  // namespace

QRect DialogUnits::ToPixels(int x, int y, int cx, int cy) const {
    return QRect(MulDiv(x, baseX, 4), MulDiv(y, baseY, 8), MulDiv(cx, baseX, 4),
                 MulDiv(cy, baseY, 8));
}

QStringList DialogFamilies(const res::DialogTemplate& tpl, const QStringList& installed) {
    QStringList wanted{QString::fromUtf8(tpl.fontFace)};
    for (const char* face : tpl.fallbackFontFaces) {
        wanted << QString::fromUtf8(face);
    }
    // A face that is not installed would let fontconfig substitute its own first choice,
    // whose CJK glyphs may be Japanese forms.
    QStringList families;
    for (const QString& face : wanted) {
        if (installed.contains(face)) {
            families << face;
        }
    }
    return families.isEmpty() ? wanted : families;
}

QFont DialogFont(const res::DialogTemplate& tpl) {
    QFont font;
    font.setFamilies(DialogFamilies(tpl, QFontDatabase::families()));
    // Points to pixels as the dialog manager does, rounded to whole pixels.
    int dpi = 96;
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        dpi = qRound(screen->logicalDotsPerInchY());
    }
    font.setPixelSize(MulDiv(tpl.pointSize, dpi, 72));
    font.setStyleStrategy(QFont::PreferDefault);
    return font;
}

DialogUnits MeasureDialogUnits(const QFont& font) {
    const QFontMetrics fm(font);
    const int width = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    DialogUnits units;
    units.baseX = (width / 26 + 1) / 2;
    units.baseY = fm.height();
    return units;
}

TabControl::TabControl(QWidget* parent) : QWidget(parent), m_bar(new QTabBar(this)) {
    m_bar->setDrawBase(false);
    m_bar->setExpanding(false);
    m_bar->setFocusPolicy(Qt::StrongFocus);
    setFocusProxy(m_bar);
}

void TabControl::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    m_bar->setGeometry(2, 0, width() - 4, m_bar->sizeHint().height());
}

void TabControl::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionTabWidgetFrame option;
    option.initFrom(this);
    option.shape = QTabBar::RoundedNorth;
    option.tabBarSize = m_bar->sizeHint();
    option.tabBarRect = m_bar->geometry();
    option.lineWidth = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
    const int overlap = style()->pixelMetric(QStyle::PM_TabBarBaseOverlap, nullptr, this);
    option.rect = rect().adjusted(0, m_bar->height() - overlap, 0, 0);
    painter.drawPrimitive(QStyle::PE_FrameTabWidget, option);
}

TemplateDialog::TemplateDialog(const res::DialogTemplate& tpl, QWidget* parent) : QDialog(parent) {
    setObjectName(QString::number(tpl.id));
    setWindowTitle(QString::fromUtf8(tpl.caption));
    const QFont font = DialogFont(tpl);
    setFont(font);
    m_units = MeasureDialogUnits(font);
    const QRect client = m_units.ToPixels(0, 0, tpl.cx, tpl.cy);
    setFixedSize(client.size());

    for (const res::ControlTemplate& ctl : tpl.controls) {
        QWidget* w = CreateControl(ctl);
        w->setObjectName(QString::number(ctl.id));
        w->setProperty(kControlIdProperty, ctl.id);
        m_controls.emplace(ctl.id, w);
        if ((ctl.style & res::kStyleTabStop) != 0) {
            m_tabStops.push_back(w);
        }
    }
    for (std::size_t i = 1; i < m_tabStops.size(); ++i) {
        QWidget::setTabOrder(m_tabStops[i - 1], m_tabStops[i]);
    }
    // A field's label is its accessible name (as shown) and its label relation.
    for (const res::LabelFor& pair : tpl.labels) {
        if (auto* label = qobject_cast<QLabel*>(Control(pair.label))) {
            label->setBuddy(Control(pair.field));
        }
    }
    // The tab control lies beneath the overlapping page controls.
    for (const auto& [id, w] : m_controls) {
        if (dynamic_cast<TabControl*>(w) != nullptr) {
            w->lower();
        }
    }
}

QWidget* TemplateDialog::Control(int id) const {
    const auto it = m_controls.find(id);
    return it == m_controls.end() ? nullptr : it->second;
}

QWidget* TemplateDialog::FirstTabStop() const {
    for (QWidget* w : m_tabStops) {
        if (w->isVisibleTo(const_cast<TemplateDialog*>(this)) && w->isEnabled()) {
            return w;
        }
    }
    return nullptr;
}

QWidget* TemplateDialog::CreateControl(const res::ControlTemplate& ctl) {
    const QString text = QString::fromUtf8(ctl.text);
    const QRect rect = m_units.ToPixels(ctl.x, ctl.y, ctl.cx, ctl.cy);
    const bool tabStop = (ctl.style & res::kStyleTabStop) != 0;
    QWidget* w = nullptr;
    switch (ctl.kind) {
        case res::ControlKind::GroupBox: {
            auto* box = new QGroupBox(text, this);
            w = box;
            break;
        }
        case res::ControlKind::StaticText: {
            auto* label = new QLabel(text, this);
            label->setTextFormat(Qt::PlainText);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            label->setWordWrap(true);
            w = label;
            break;
        }
        case res::ControlKind::StaticIcon: {
            // An icon static sizes itself to the icon.
            auto* label = new QLabel(this);
            label->setGeometry(rect.x(), rect.y(), 32, 32);
            return label;
        }
        case res::ControlKind::ComboDropDownList: {
            auto* combo = new QComboBox(this);
            combo->setEditable(false);
            combo->setInsertPolicy(QComboBox::InsertAtBottom);
            // The template's height includes the dropped list; the field keeps its own.
            combo->setGeometry(rect.x(), rect.y(), rect.width(), combo->sizeHint().height());
            combo->setFocusPolicy(tabStop ? Qt::StrongFocus : Qt::ClickFocus);
            return combo;
        }
        case res::ControlKind::Edit: {
            auto* edit = new QLineEdit(this);
            if ((ctl.style & res::kStylePassword) != 0) {
                edit->setEchoMode(QLineEdit::Password);
            }
            edit->setReadOnly((ctl.style & res::kStyleReadOnly) != 0);
            edit->setFrame((ctl.style & res::kStyleBorder) != 0);
            w = edit;
            break;
        }
        case res::ControlKind::PushButton: {
            auto* button = new QPushButton(text, this);
            // A dialog makes push buttons auto-default; only a template's default button
            // may answer Enter.
            button->setAutoDefault(false);
            button->setDefault((ctl.style & res::kStyleDefaultButton) != 0);
            w = button;
            break;
        }
        case res::ControlKind::TabControl: {
            w = new TabControl(this);
            break;
        }
        case res::ControlKind::ListView: {
            auto* list = new QTableWidget(this);
            list->verticalHeader()->hide();
            // Report-mode rows are one text line high, as in the list view they mirror.
            list->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
            list->verticalHeader()->setDefaultSectionSize(list->fontMetrics().height() + 4);
            list->setShowGrid(false);
            list->setSelectionBehavior(QAbstractItemView::SelectItems);
            list->setEditTriggers(QAbstractItemView::NoEditTriggers);
            list->setWordWrap(false);
            list->setCornerButtonEnabled(false);
            list->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
            list->horizontalHeader()->setHighlightSections(false);
            list->horizontalHeader()->setStretchLastSection(false);
            if ((ctl.style & res::kStyleBorder) == 0) {
                list->setFrameShape(QFrame::NoFrame);
            }
            w = list;
            break;
        }
    }
    w->setGeometry(rect);
    if (ctl.kind == res::ControlKind::GroupBox || ctl.kind == res::ControlKind::StaticText) {
        w->setFocusPolicy(Qt::NoFocus);
    } else if (ctl.kind != res::ControlKind::TabControl) {
        w->setFocusPolicy(tabStop ? Qt::StrongFocus : Qt::ClickFocus);
    }
    return w;
}

}  // namespace quorlin::qt
