// The quick filter above the message list: the field, its keys, and the
// count panel while it filters. The list hides the rows the filter does not
// let through and never keeps one of them marked, so Mark all, Delete and the
// viewers act on what the user sees.
#include "app/windows/Main.h"

#include "app/windows/Dialogs.h"
#include "ui/MultiLst.h"

#include <QCheckBox>
#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QShortcut>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

// The field's keys, and its place on the screen following the list's.
class TQuickFilterKeys : public QObject {
  public:
    TQuickFilterKeys(QLineEdit* Field, TMultiList* List) : QObject(Field), Field_(Field), List_(List) {
        Field->installEventFilter(this);
        List->installEventFilter(this);
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == List_ && (event->type() == QEvent::ShowToParent || event->type() == QEvent::HideToParent))
            Field_->setVisible(List_->isVisibleTo(List_->parentWidget()));
        if (watched != Field_ || event->type() != QEvent::KeyPress)
            return false;
        switch (static_cast<QKeyEvent*>(event)->key()) {
        case Qt::Key_Escape:
            Field_->clear();
            List_->setFocus(Qt::OtherFocusReason);
            return true;
        // On to the rows found.
        case Qt::Key_Down:
        case Qt::Key_Return:
        case Qt::Key_Enter:
            List_->setFocus(Qt::OtherFocusReason);
            return true;
        default:
            return false;
        }
    }

  private:
    QLineEdit* Field_;
    TMultiList* List_;
};

} // namespace

void TForm1::CreateQuickFilter(QVBoxLayout* Column) {
    QuickFilter = new QLineEdit(Column->parentWidget());
    QuickFilter->setObjectName(QStringLiteral("QuickFilter"));
    QuickFilter->setClearButtonEnabled(true);
    QuickFilter->setVisible(mail_list->isVisibleTo(mail_list->parentWidget()));
    Column->insertWidget(Column->indexOf(mail_list), QuickFilter);
    new TQuickFilterKeys(QuickFilter, mail_list);
    setTabOrder(RememberPassword, QuickFilter);
    setTabOrder(QuickFilter, mail_list);

    auto* find = new QShortcut(QKeySequence::Find, this);
    find->setObjectName(QStringLiteral("QuickFilterShortcut"));
    connect(find, &QShortcut::activated, this, [this] {
        if (!QuickFilter->isVisible())
            return;
        QuickFilter->setFocus(Qt::ShortcutFocusReason);
        QuickFilter->selectAll();
    });
    connect(QuickFilter, &QLineEdit::textChanged, this,
            [this](const QString& Text) { sweepbox::RunHandler(this, [&] { QuickFilterEdited(Text); }); });
    // Escape in the list ends the filter too; the caret row stays in sight.
    connect(mail_list, &TMultiList::keyDown, this, [this](int Key, Qt::KeyboardModifiers) {
        if (Key == Qt::Key_Escape && Filter_.Active())
            QuickFilter->clear();
    });
}

void TForm1::ApplyQuickFilterTexts() {
    QuickFilter->setPlaceholderText(Language.Pick(QStringLiteral("Filter: Absender oder Betreff (Strg+F)"),
                                                  QStringLiteral("Filter: sender or subject (Ctrl+F)")));
    QuickFilter->setAccessibleName(
        Language.Pick(QStringLiteral("Filter nach Absender oder Betreff"), QStringLiteral("Filter by sender or subject")));
    // The field's clear button is Qt's own and comes without a name.
    for (QToolButton* clear : QuickFilter->findChildren<QToolButton*>()) {
        clear->setAccessibleName(Language.Pick(QStringLiteral("Filter leeren"), QStringLiteral("Clear the filter")));
        clear->setToolTip(clear->accessibleName());
    }
    ShowCount();
}

void TForm1::QuickFilterEdited(const QString& Text) {
    Filter_.SetText(Text);
    if (Filter_.Active())
        mail_list->setRowFilter([this](int Number) { return Filter_.Matches(Number); });
    else if (mail_list->hasRowFilter())
        mail_list->setRowFilter(nullptr);
    ShowCount();
    // The one marked row may have gone out of sight.
    UpdateViewerCommands();
}

void TForm1::ShowCount() {
    const int total = std::max(mail_list->count() - 1, 0);
    Status_leiste->SetPanelText(0, Filter_.Active() && total > 0
                                       ? sweepbox::FilteredCountText(mail_list->shownCount(), total, Language)
                                       : CountText_);
}
