#include "WidgetTwips.h"

#include "EventLogView.h"
#include "Twips.h"

#include <QWidget>

#include <stdexcept>

namespace talkmere {

WidgetTwips::WidgetTwips(const Widgets& w)
    : widgets_{w.clientTable, w.startButton,   w.stopButton,  w.status,    w.eventLog,
               w.bytesSent,   w.bytesReceived, w.socketCount, w.dataEvents},
      eventLog_(w.eventLog) {}

QWidget* WidgetTwips::widget(Control control) const {
    QWidget* w = widgets_.at(static_cast<size_t>(control));
    if (w == nullptr)
        throw std::logic_error("control missing");
    return w;
}

double WidgetTwips::top(Control control) const {
    return twips::fromPixels(widget(control)->y());
}

double WidgetTwips::height(Control control) const {
    return twips::fromPixels(widget(control)->height());
}

void WidgetTwips::setTop(Control control, double value) {
    QWidget* w = widget(control);
    w->move(w->x(), twips::toPixels(value));
}

void WidgetTwips::setWidth(Control control, double value) {
    if (value < 0)
        throw std::domain_error("negative width");
    QWidget* w = widget(control);
    w->resize(twips::toPixels(value), w->height());
}

void WidgetTwips::setHeight(Control control, double value) {
    if (value < 0)
        throw std::domain_error("negative height");
    QWidget* w = widget(control);
    int pixels = twips::toPixels(value);
    if (control == EventLog)
        pixels = eventLog_->wholeLinesHeight(pixels);
    w->resize(w->width(), pixels);
}

} // namespace talkmere
