// Catches the accessibility events the controls send, for as long as it
// lives. Qt passes events on only while a screen reader is active, which on
// the offscreen platform none ever is; the controls' watcher sees them all.
#pragma once

#include "ui/ControlsAccessible.h"

#include <QAccessible>
#include <QString>

#include <algorithm>
#include <iterator>
#include <vector>

namespace sweepbox::test {

class AccessibleEventLog {
  public:
    // What is kept of an event once it has been sent.
    struct Entry {
        QAccessible::Event type = QAccessible::InvalidEvent;
        QObject* object = nullptr;
        int child = -1;
        QString name;    // of the interface the event is about, read when it came
        int change = -1; // QAccessibleTableModelChangeEvent::ModelChangeType
        int first = -1;  // rows changed, or the selection
        int last = -1;
        int cursor = -1;
        QString removed, inserted; // text changed; a new value is inserted
    };

    AccessibleEventLog() : previous_(accessible::setWatcher(&Record)) { current() = this; }
    ~AccessibleEventLog() {
        accessible::setWatcher(previous_);
        current() = nullptr;
    }

    std::vector<Entry> entries;

    std::vector<Entry> ofType(QAccessible::Event type) const {
        std::vector<Entry> found;
        std::copy_if(entries.begin(), entries.end(), std::back_inserter(found),
                     [type](const Entry& e) { return e.type == type; });
        return found;
    }

  private:
    static AccessibleEventLog*& current() {
        static AccessibleEventLog* log = nullptr;
        return log;
    }

    static void Record(QAccessibleEvent* event) {
        Entry e;
        e.type = event->type();
        e.object = event->object();
        e.child = event->child();
        if (QAccessibleInterface* iface = event->accessibleInterface())
            e.name = iface->text(QAccessible::Name);
        if (event->type() == QAccessible::TableModelChanged) {
            const auto* change = static_cast<QAccessibleTableModelChangeEvent*>(event);
            e.change = change->modelChangeType();
            e.first = change->firstRow();
            e.last = change->lastRow();
        } else if (event->type() == QAccessible::TextSelectionChanged) {
            const auto* selection = static_cast<QAccessibleTextSelectionEvent*>(event);
            e.first = selection->selectionStart();
            e.last = selection->selectionEnd();
            e.cursor = selection->cursorPosition();
        } else if (event->type() == QAccessible::TextCaretMoved) {
            e.cursor = static_cast<QAccessibleTextCursorEvent*>(event)->cursorPosition();
        } else if (event->type() == QAccessible::TextUpdated) {
            e.removed = static_cast<QAccessibleTextUpdateEvent*>(event)->textRemoved();
            e.inserted = static_cast<QAccessibleTextUpdateEvent*>(event)->textInserted();
        } else if (event->type() == QAccessible::TextInserted) {
            e.inserted = static_cast<QAccessibleTextInsertEvent*>(event)->textInserted();
        } else if (event->type() == QAccessible::TextRemoved) {
            e.removed = static_cast<QAccessibleTextRemoveEvent*>(event)->textRemoved();
        } else if (event->type() == QAccessible::ValueChanged) {
            e.inserted = static_cast<QAccessibleValueChangeEvent*>(event)->value().toString();
        }
        if (current())
            current()->entries.push_back(e);
    }

    accessible::Watcher previous_;
};

} // namespace sweepbox::test
