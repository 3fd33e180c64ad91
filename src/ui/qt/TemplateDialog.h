#pragma once
// A QDialog built from a dialog template of src/res: one widget per control, placed the
// way the Windows dialog manager places it, ids kept for lookup and for tests.

#include <QDialog>
#include <QFont>
#include <QRect>
#include <QStringList>
#include <QWidget>
#include <map>

#include "res/Templates.h"

class QTabBar;

namespace quorlin::qt {

// The name of the property that carries a control's numeric id.
inline constexpr const char* kControlIdProperty = "controlId";

// Dialog base units of a font: the average width of the Latin letters and the height.
struct DialogUnits {
    int baseX = 0;
    int baseY = 0;
    QRect ToPixels(int x, int y, int cx, int cy) const;
};

// The template's face and its fallbacks, those installed first in their order; all of
// them when none is installed.
QStringList DialogFamilies(const res::DialogTemplate& tpl, const QStringList& installed);
QFont DialogFont(const res::DialogTemplate& tpl);
DialogUnits MeasureDialogUnits(const QFont& font);

// The tab control: a tab strip over a frame, drawn beneath the page controls, which stay
// its siblings.
class TabControl : public QWidget {
  public:
    explicit TabControl(QWidget* parent);
    QTabBar* Bar() const { return m_bar; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    QTabBar* m_bar;
};

class TemplateDialog : public QDialog {
  public:
    explicit TemplateDialog(const res::DialogTemplate& tpl, QWidget* parent = nullptr);

    QWidget* Control(int id) const;
    const DialogUnits& Units() const { return m_units; }
    // The first control, in tab order, that can take the focus now.
    QWidget* FirstTabStop() const;

  private:
    QWidget* CreateControl(const res::ControlTemplate& ctl);

    DialogUnits m_units;
    std::map<int, QWidget*> m_controls;
    std::vector<QWidget*> m_tabStops;
};

}  // namespace quorlin::qt
