#include "EventLogAccessible.h"

#include "EventLog.h"
#include "EventLogView.h"

#include <QAccessible>
#include <QAccessibleWidget>

#include <map>

namespace talkmere {

namespace {

class LineAccessible;

// The view as a list. Its items are made when asked for and keyed by the line's absolute number,
// so an item keeps naming its own line while the full log drops the oldest ones.
class EventLogAccessible : public QAccessibleWidget {
public:
    explicit EventLogAccessible(EventLogView* view) : QAccessibleWidget(view, QAccessible::List) {}
    ~EventLogAccessible() override {
        for (const auto& [number, id] : lines_)
            QAccessible::deleteAccessibleInterface(id);
    }

    EventLogView* view() const { return static_cast<EventLogView*>(widget()); }
    // Index among the lines held of the line numbered `number`, or -1 once it has gone.
    qsizetype indexOf(quint64 number) const {
        const quint64 first = view()->firstHeldLine();
        if (number < first || number - first >= static_cast<quint64>(view()->log().count()))
            return -1;
        return static_cast<qsizetype>(number - first);
    }

    int childCount() const override { return static_cast<int>(view()->log().count()); }
    QAccessibleInterface* child(int index) const override;
    int indexOfChild(const QAccessibleInterface* child) const override;
    QAccessibleInterface* childAt(int x, int y) const override;
    QAccessibleInterface* focusChild() const override {
        const qsizetype selected = view()->log().selected();
        return selected < 0 ? nullptr : child(static_cast<int>(selected));
    }
    QString text(QAccessible::Text t) const override {
        QString text = QAccessibleWidget::text(t);
        if (t == QAccessible::Name && text.isEmpty())
            text = QStringLiteral("Event log");
        return text;
    }

private:
    mutable std::map<quint64, QAccessible::Id> lines_;
};

// One line of the log.
class LineAccessible : public QAccessibleInterface {
public:
    LineAccessible(EventLogAccessible* list, quint64 number) : list_(list), number_(number) {}

    quint64 number() const { return number_; }
    qsizetype index() const { return list_->isValid() ? list_->indexOf(number_) : -1; }

    bool isValid() const override { return index() >= 0; }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return list_->window(); }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessibleInterface* parent() const override { return list_; }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QString text(QAccessible::Text t) const override {
        return t == QAccessible::Name ? list_->view()->shownLine(index()) : QString();
    }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override {
        const EventLogView* view = list_->view();
        const QRect onViewport = view->lineRect(index());
        if (onViewport.isEmpty())
            return {};
        return {view->viewport()->mapToGlobal(onViewport.topLeft()), onViewport.size()};
    }
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    QAccessible::State state() const override {
        QAccessible::State state;
        const qsizetype line = index();
        if (line < 0) {
            state.invalid = true;
            return state;
        }
        state.selectable = true;
        state.focusable = true;
        // The selected line is the list's current item, as in the list box this view replaces.
        state.selected = state.focused = line == list_->view()->log().selected();
        state.offscreen = list_->view()->lineRect(line).isEmpty();
        return state;
    }

private:
    EventLogAccessible* list_;
    quint64 number_;
};

QAccessibleInterface* EventLogAccessible::child(int index) const {
    if (index < 0 || index >= childCount())
        return nullptr;
    // Items of lines that have left the log go, so the cache stays within the log's bound.
    const quint64 first = view()->firstHeldLine();
    for (auto gone = lines_.begin(); gone != lines_.end() && gone->first < first;) {
        QAccessible::deleteAccessibleInterface(gone->second);
        gone = lines_.erase(gone);
    }
    const quint64 number = first + static_cast<quint64>(index);
    if (const auto found = lines_.find(number); found != lines_.end())
        return QAccessible::accessibleInterface(found->second);
    auto* line = new LineAccessible(const_cast<EventLogAccessible*>(this), number);
    lines_.emplace(number, QAccessible::registerAccessibleInterface(line));
    return line;
}

int EventLogAccessible::indexOfChild(const QAccessibleInterface* child) const {
    for (const auto& [number, id] : lines_)
        if (QAccessible::accessibleInterface(id) == child)
            return static_cast<int>(indexOf(number));
    return -1;
}

QAccessibleInterface* EventLogAccessible::childAt(int x, int y) const {
    const EventLogView* v = view();
    const QPoint local = v->viewport()->mapFromGlobal(QPoint(x, y));
    if (!v->viewport()->rect().contains(local))
        return nullptr;
    const qsizetype line = v->firstVisibleLine() + local.y() / v->lineHeight();
    return line < v->log().count() ? child(static_cast<int>(line)) : nullptr;
}

QAccessibleInterface* makeEventLogAccessible(const QString&, QObject* object) {
    if (auto* view = qobject_cast<EventLogView*>(object))
        return new EventLogAccessible(view);
    return nullptr;
}

} // namespace

void installEventLogAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(&makeEventLogAccessible);
        return true;
    }();
    Q_UNUSED(installed);
}

void announceSelectedLine(EventLogView& view) {
    const qsizetype selected = view.log().selected();
    if (!QAccessible::isActive() || selected < 0)
        return;
    QAccessibleEvent selection(&view, QAccessible::Selection);
    selection.setChild(static_cast<int>(selected));
    QAccessible::updateAccessibility(&selection);
    if (view.hasFocus()) {
        QAccessibleEvent focus(&view, QAccessible::Focus);
        focus.setChild(static_cast<int>(selected));
        QAccessible::updateAccessibility(&focus);
    }
}

} // namespace talkmere
