#include "ui/ControlsAccessible.h"

#include "ui/HyperLink.h"
#include "ui/MultiListAccessible.h"
#include "ui/MultiLst.h"
#include "ui/StatusBar.h"
#include "ui/StatusLabel.h"
#include "ui/TextView.h"

#include <QAccessibleWidget>
#include <QStringList>

#include <algorithm>
#include <utility>
#include <vector>

using namespace Qt::StringLiterals;

namespace accessible {

namespace {

Watcher watcher = nullptr;

} // namespace

bool listening() {
    return watcher != nullptr || QAccessible::isActive();
}

void send(QAccessibleEvent& event) {
    if (!watcher) {
        QAccessible::updateAccessibility(&event);
        return;
    }
    // What Qt does before it hands a model change on.
    if (event.type() == QAccessible::TableModelChanged)
        if (QAccessibleInterface* iface = event.accessibleInterface(); iface && iface->tableInterface())
            iface->tableInterface()->modelChange(static_cast<QAccessibleTableModelChangeEvent*>(&event));
    watcher(&event);
}

Watcher setWatcher(Watcher w) {
    return std::exchange(watcher, w);
}

void textChanged(QWidget* control, const QString& before, const QString& after) {
    if (before == after || !listening())
        return;
    if (after.startsWith(before)) {
        QAccessibleTextInsertEvent inserted(control, int(before.size()), after.mid(before.size()));
        send(inserted);
    } else if (after.isEmpty()) {
        QAccessibleTextRemoveEvent removed(control, 0, before);
        send(removed);
    } else {
        QAccessibleTextUpdateEvent updated(control, 0, before, after);
        send(updated);
    }
    QAccessibleValueChangeEvent value(control, after);
    send(value);
}

} // namespace accessible

namespace {

// ---- THyperLink -----------------------------------------------------------

class HyperLinkAccessible : public QAccessibleWidget {
  public:
    explicit HyperLinkAccessible(THyperLink* link) : QAccessibleWidget(link, QAccessible::Link) {}

    QString text(QAccessible::Text t) const override {
        QString s = QAccessibleWidget::text(t);
        if (!s.isEmpty() || !isValid())
            return s;
        // The caption as it is drawn: '&' marks no mnemonic here.
        if (t == QAccessible::Name)
            return link()->Caption();
        if (t == QAccessible::Value)
            return link()->HREF;
        return s;
    }

    QAccessible::State state() const override {
        QAccessible::State st = QAccessibleWidget::state();
        st.linked = true;
        return st;
    }

    QStringList actionNames() const override { return QStringList{pressAction()} + QAccessibleWidget::actionNames(); }

    void doAction(const QString& name) override {
        if (name != pressAction()) {
            QAccessibleWidget::doAction(name);
            return;
        }
        if (isValid() && link()->isEnabled())
            link()->Click();
    }

    QStringList keyBindingsForAction(const QString& name) const override {
        if (name == pressAction())
            return {u"Return"_s};
        return QAccessibleWidget::keyBindingsForAction(name);
    }

  private:
    THyperLink* link() const { return static_cast<THyperLink*>(widget()); }
};

// ---- TStatusBar, TStatusLabel ---------------------------------------------

// A control whose value, and name unless the window gives it one, is the text
// it shows: a name must not hide the status.
class ShownTextAccessible : public QAccessibleWidget {
  public:
    using QAccessibleWidget::QAccessibleWidget;

    QString text(QAccessible::Text t) const override {
        QString s = QAccessibleWidget::text(t);
        if (s.isEmpty() && isValid() && (t == QAccessible::Name || t == QAccessible::Value))
            s = shownText();
        return s;
    }

  protected:
    virtual QString shownText() const = 0;
};

class StatusBarAccessible : public ShownTextAccessible {
  public:
    explicit StatusBarAccessible(TStatusBar* bar) : ShownTextAccessible(bar, QAccessible::StatusBar) {}

  protected:
    // A message hides the panels while it is shown.
    QString shownText() const override {
        const auto* bar = static_cast<const TStatusBar*>(widget());
        const QString message = bar->currentMessage();
        if (!message.isEmpty())
            return message;
        QStringList texts;
        for (int i = 0; i < bar->PanelCount(); ++i)
            if (const QString panel = bar->PanelText(i); !panel.isEmpty())
                texts.append(panel);
        return texts.join(u", "_s);
    }
};

// The label's lines, read only: nothing in them can be selected, and the
// caret stays at the start.
class StatusLabelAccessible : public ShownTextAccessible, public QAccessibleTextInterface {
  public:
    explicit StatusLabelAccessible(TStatusLabel* label) : ShownTextAccessible(label, QAccessible::StaticText) {}

    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface*>(this);
        return ShownTextAccessible::interface_cast(t);
    }
    QAccessible::State state() const override {
        QAccessible::State st = ShownTextAccessible::state();
        st.readOnly = true;
        st.multiLine = true;
        return st;
    }
    using ShownTextAccessible::text;

    // QAccessibleTextInterface
    void selection(int, int* start, int* end) const override { *start = *end = 0; }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override {}
    QString text(int start, int end) const override {
        const QString lines = shownText();
        start = std::clamp(start, 0, int(lines.size()));
        end = std::clamp(end, start, int(lines.size()));
        return lines.mid(start, end - start);
    }
    int characterCount() const override { return int(shownText().size()); }
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint&) const override { return -1; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int offset, int* start, int* end) const override {
        *start = offset < 0 ? -1 : 0;
        *end = offset < 0 ? -1 : characterCount();
        return {};
    }

  protected:
    // The lines as the label shows them (plain text: '&' is no mnemonic).
    QString shownText() const override {
        return isValid() ? static_cast<const TStatusLabel*>(widget())->ReadText() : QString();
    }
};

// ---- TTextView ------------------------------------------------------------

// The first characters of the view's text, lines joined with '\n'; it ends
// at the end of the text or at a character boundary within the limit.
struct TextWindow {
    QString text;
    std::vector<int> lineStarts; // the offset of each line that starts within text
    quint64 revision = 0;
    bool built = false;

    void build(const TTextView& view) {
        text.clear();
        lineStarts.clear();
        revision = view.textRevision();
        built = true;
        const TTextViewSource* source = view.source();
        for (qsizetype line = 0; source && line < view.lineCount(); ++line) {
            if (line > 0) {
                if (text.size() >= accessible::TextViewReadLimit)
                    break;
                text += u'\n';
            }
            lineStarts.push_back(int(text.size()));
            const qsizetype room = accessible::TextViewReadLimit - text.size();
            const qsizetype size = std::max<qsizetype>(0, source->lineSize(line));
            // Never more than the room is converted, however long the line.
            text += source->lineText(line, std::min(size, room)).left(room);
            if (size > room)
                break;
        }
    }

    int offsetOf(TTextView::Position p) const {
        if (p.line < 0 || p.line >= qsizetype(lineStarts.size()))
            return int(text.size());
        const size_t line = size_t(p.line);
        const qsizetype end = line + 1 < lineStarts.size() ? lineStarts[line + 1] - 1 : text.size();
        return int(std::clamp<qsizetype>(lineStarts[line] + p.column, lineStarts[line], end));
    }

    TTextView::Position positionOf(int offset) const {
        if (lineStarts.empty())
            return {};
        offset = std::clamp(offset, 0, int(text.size()));
        const auto next = std::upper_bound(lineStarts.begin(), lineStarts.end(), offset);
        const qsizetype line = (next - lineStarts.begin()) - 1;
        return {line, offset - lineStarts[size_t(line)]};
    }
};

class TextViewAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
  public:
    explicit TextViewAccessible(TTextView* view) : QAccessibleWidget(view, QAccessible::EditableText) {
        connection_ = QObject::connect(view, &TTextView::selectionChanged, view, [this] { selectionChanged(); });
    }
    ~TextViewAccessible() override { QObject::disconnect(connection_); }

    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    QAccessible::State state() const override {
        QAccessible::State st = QAccessibleWidget::state();
        st.readOnly = true;
        st.multiLine = true;
        st.selectableText = true;
        return st;
    }

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value)
            return readable().text;
        return QAccessibleWidget::text(t);
    }

    // QAccessibleTextInterface: offsets count the characters of the window.
    void selection(int index, int* start, int* end) const override {
        *start = *end = 0;
        if (index != 0 || !isValid())
            return;
        const auto [from, to] = selectedRange();
        if (from < to) {
            *start = from;
            *end = to;
        }
    }
    int selectionCount() const override {
        const auto [from, to] = selectedRange();
        return from < to ? 1 : 0;
    }
    void addSelection(int start, int end) override { setSelection(0, start, end); }
    void removeSelection(int index) override {
        if (index == 0 && isValid())
            view()->clearSelection();
    }
    void setSelection(int index, int start, int end) override {
        if (index != 0 || !isValid())
            return;
        const TextWindow& w = readable();
        view()->setSelection(w.positionOf(start), w.positionOf(end));
    }
    int cursorPosition() const override { return isValid() ? readable().offsetOf(view()->cursorPosition()) : 0; }
    void setCursorPosition(int position) override {
        if (!isValid())
            return;
        const TTextView::Position p = readable().positionOf(position);
        view()->setSelection(p, p);
    }
    QString text(int start, int end) const override {
        const QString& text = readable().text;
        start = std::clamp(start, 0, int(text.size()));
        end = std::clamp(end, start, int(text.size()));
        return text.mid(start, end - start);
    }
    int characterCount() const override { return int(readable().text.size()); }
    QRect characterRect(int offset) const override {
        if (!isValid() || offset < 0 || offset >= characterCount())
            return {};
        const QRect r = view()->characterRect(readable().positionOf(offset));
        return r.isNull() ? QRect() : QRect(view()->viewport()->mapToGlobal(r.topLeft()), r.size());
    }
    int offsetAtPoint(const QPoint& point) const override {
        if (!isValid())
            return -1;
        const QPoint local = view()->viewport()->mapFromGlobal(point);
        if (!view()->viewport()->rect().contains(local))
            return -1;
        const TextWindow& w = readable();
        const TTextView::Position p = view()->positionAt(local);
        // A place past the window has no offset.
        if (p.line >= qsizetype(w.lineStarts.size()) || w.positionOf(w.offsetOf(p)) != p)
            return -1;
        return w.offsetOf(p);
    }
    void scrollToSubstring(int start, int end) override {
        if (!isValid())
            return;
        const TextWindow& w = readable();
        view()->ensureVisible(w.positionOf(end));
        view()->ensureVisible(w.positionOf(start));
    }
    QString attributes(int offset, int* start, int* end) const override {
        // One plain run: the view has no formatting.
        *start = offset < 0 ? -1 : 0;
        *end = offset < 0 ? -1 : characterCount();
        return {};
    }

  private:
    TTextView* view() const { return static_cast<TTextView*>(widget()); }

    const TextWindow& readable() const {
        if (!isValid()) {
            static const TextWindow empty;
            return empty;
        }
        if (!window_.built || window_.revision != view()->textRevision())
            window_.build(*view());
        return window_;
    }

    std::pair<int, int> selectedRange() const {
        if (!isValid() || !view()->hasSelection())
            return {0, 0};
        const TextWindow& w = readable();
        const int a = w.offsetOf(view()->anchorPosition());
        const int b = w.offsetOf(view()->cursorPosition());
        return {std::min(a, b), std::max(a, b)};
    }

    // Called for every change of the cursor or the selection, and when the
    // view is given other lines.
    void selectionChanged() {
        if (!accessible::listening() || !isValid())
            return;
        if (window_.built && window_.revision != view()->textRevision()) {
            const QString before = window_.text;
            if (readable().text != before) {
                QAccessibleTextUpdateEvent update(view(), 0, before, window_.text);
                accessible::send(update);
            }
        }
        const auto [from, to] = selectedRange();
        const int cursor = cursorPosition();
        QAccessibleTextSelectionEvent selection(view(), from, to);
        selection.setCursorPosition(cursor);
        accessible::send(selection);
        if (cursor != reportedCursor_) {
            reportedCursor_ = cursor;
            QAccessibleTextCursorEvent moved(view(), cursor);
            accessible::send(moved);
        }
    }

    mutable TextWindow window_;
    int reportedCursor_ = -1;
    QMetaObject::Connection connection_;
};

QAccessibleInterface* controlFactory(const QString& className, QObject* object) {
    if (className == "TMultiList"_L1)
        if (auto* list = qobject_cast<TMultiList*>(object))
            return MultiListAccessible::create(list);
    if (className == "THyperLink"_L1)
        if (auto* link = qobject_cast<THyperLink*>(object))
            return new HyperLinkAccessible(link);
    if (className == "TStatusBar"_L1)
        if (auto* bar = qobject_cast<TStatusBar*>(object))
            return new StatusBarAccessible(bar);
    if (className == "TStatusLabel"_L1)
        if (auto* label = qobject_cast<TStatusLabel*>(object))
            return new StatusLabelAccessible(label);
    if (className == "TTextView"_L1)
        if (auto* view = qobject_cast<TTextView*>(object))
            return new TextViewAccessible(view);
    return nullptr;
}

} // namespace

void accessible::installControlFactory() {
    static const bool installed = (QAccessible::installFactory(controlFactory), true);
    (void)installed;
}
