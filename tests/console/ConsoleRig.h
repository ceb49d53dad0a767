#pragma once

#include "ChatRoom.h"
#include "fMain.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <functional>

namespace talkmere::testing {

template <typename T> T* control(const QObject* window, const char* name) {
    T* found = window->findChild<T*>(QLatin1String(name));
    if (found == nullptr)
        qFatal("no control %s", name);
    return found;
}

// Control geometry as the window designs it, in whole pixels.
inline int px(double twips) {
    return qRound(twips / 15.0);
}

// The main window, loaded, around a server on the scriptable layer.
struct Window {
    QLabel* label(const char* name) const { return control<QLabel>(&main, name); }
    QWidget* widget(const char* name) const { return control<QWidget>(&main, name); }
    QAction* action(const char* name) const { return control<QAction>(&main, name); }
    void click(const char* name) const {
        QTest::mouseClick(control<QPushButton>(&main, name), Qt::LeftButton);
    }

    FakeRoom room{false}; // the window starts it
    fMain main{room.release()};
};

// Hands the modal dialog that the next action opens to `answer`, once it is up.
template <typename Dialog> void answerNextModal(const std::function<void(Dialog*)>& answer) {
    QTimer::singleShot(0, [answer] {
        if (auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget()))
            answer(dialog);
    });
}

} // namespace talkmere::testing
