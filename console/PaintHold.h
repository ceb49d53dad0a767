#pragma once

#include <QObject>
#include <QPointer>

#include <vector>

namespace talkmere {

class AnswerGate;

// While the gate's answer is under way, the update requests that repaint the application's windows
// wait; when it ends each window is asked again, once, behind what is queued, so it is painted
// before the next arrival is read. Part of the one-arrival rule (app/main.cpp).
class PaintHold final : public QObject {
public:
    explicit PaintHold(const AnswerGate& gate, QObject* parent = nullptr);
    ~PaintHold() override;
    PaintHold(const PaintHold&) = delete;
    PaintHold& operator=(const PaintHold&) = delete;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void release() noexcept;

    bool holding_;
    std::vector<QPointer<QObject>> held_;
};

} // namespace talkmere
