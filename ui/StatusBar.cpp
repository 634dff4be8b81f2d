#include "ui/StatusBar.h"

#include "ui/ControlsAccessible.h"

TStatusBar::TStatusBar(std::initializer_list<int> widths, QWidget* parent) : QStatusBar(parent) {
    int index = 0;
    const int last = static_cast<int>(widths.size()) - 1;
    for (const int width : widths) {
        auto* panel = new QLabel(this);
        panel->setObjectName(QStringLiteral("Panel%1").arg(index));
        panel->setTextFormat(Qt::PlainText);
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setMinimumWidth(width);
        if (index == last) {
            panel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
            addWidget(panel, 1);
        } else {
            addWidget(panel, 0);
        }
        panels_.push_back(panel);
        ++index;
    }
    accessible::installControlFactory();
}

QString TStatusBar::PanelText(int index) const {
    const QLabel* panel = Panel(index);
    return panel ? panel->text() : QString();
}

void TStatusBar::SetPanelText(int index, const QString& text) {
    if (QLabel* panel = Panel(index))
        panel->setText(text);
}

QLabel* TStatusBar::Panel(int index) const {
    if (index < 0 || index >= PanelCount())
        return nullptr;
    return panels_[static_cast<size_t>(index)];
}
