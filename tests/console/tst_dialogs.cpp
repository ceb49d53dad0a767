// The password prompt and the server-message window, with the start-up flow they belong to, on a
// server over the scriptable socket layer.

#include "ConsoleRig.h"
#include "frmMess.h"
#include "frmStart.h"

#include <QAccessible>
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <algorithm>

using namespace talkmere;
using namespace talkmere::testing;

namespace {

QString spokenName(QWidget* widget) {
    QAccessibleInterface* readable = QAccessible::queryAccessibleInterface(widget);
    return readable ? readable->text(QAccessible::Name) : QString();
}

// The prompt makes its main window's server from the room, once, and only when it opens one.
struct Prompt {
    Prompt() { prompt.show(); }

    QLineEdit* txtPass() const { return control<QLineEdit>(&prompt, "txtPass"); }
    QPushButton* ok() const { return control<QPushButton>(&prompt, "OKButton"); }

    FakeRoom room{false};
    int serversMade = 0;
    frmStart prompt{[this] {
        ++serversMade;
        return room.release();
    }};
};

} // namespace

class DialogsTest : public QObject {
    Q_OBJECT
private slots:
    void init() { ServerControl::setPassword({}); }

    void promptLooksAsDesigned();
    void emptyPasswordIsRefused();
    void passwordOfOneBlankOpensTheMainWindow();
    void exitLeavesWithoutAServer();
    void messageWindowIsSingleAndSendsItsText();
    void messageWindowClosedWithoutSendingSendsNothing();
};

void DialogsTest::promptLooksAsDesigned() {
    Prompt p;
    QVERIFY(QTest::qWaitForWindowExposed(&p.prompt));
    QCOMPARE(p.prompt.windowTitle(), QStringLiteral("Enter a server password"));
    QVERIFY(p.prompt.windowFlags() & Qt::FramelessWindowHint);
    QCOMPARE(p.prompt.centralWidget()->size(), QSize(153, 89));
    QCOMPARE(control<QLabel>(&p.prompt, "Label1")->text(),
             QStringLiteral("Enter a server password:"));
    QVERIFY(control<QLabel>(&p.prompt, "Label1")->alignment() & Qt::AlignHCenter);
    QCOMPARE(p.ok()->text(), QStringLiteral("OK"));
    QCOMPARE(p.ok()->geometry(), QRect(8, 56, 137, 25));
    QCOMPARE(p.txtPass()->geometry(), QRect(8, 32, 137, 19));
    QCOMPARE(p.txtPass()->echoMode(), QLineEdit::Normal);
    QCOMPARE(spokenName(p.txtPass()), QStringLiteral("Enter a server password:"));
    QCOMPARE(control<QAction>(&p.prompt, "Exit")->text(), QStringLiteral("Exit"));
    QVERIFY(control<QAction>(&p.prompt, "Exit")->menu() == nullptr);

    // Focus starts on OK; Tab goes to the text box.
    QTRY_COMPARE_WITH_TIMEOUT(QApplication::focusWidget(), static_cast<QWidget*>(p.ok()), kWait);
    QTest::keyClick(p.ok(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(p.txtPass()));

    // Enter in the text box does not press OK.
    QTest::keyClicks(p.txtPass(), QStringLiteral("pw"));
    QTest::keyClick(p.txtPass(), Qt::Key_Return);
    QVERIFY(p.prompt.mainWindow() == nullptr);
    QVERIFY(p.prompt.isVisible());
}

void DialogsTest::emptyPasswordIsRefused() {
    Prompt p;
    QString title, text;
    qsizetype buttons = 0;
    answerNextModal<QMessageBox>([&](QMessageBox* box) {
        title = box->windowTitle();
        text = box->text();
        buttons = box->buttons().size();
        box->button(QMessageBox::Ok)->click();
    });
    QTest::mouseClick(p.ok(), Qt::LeftButton);
    QCOMPARE(text, QStringLiteral("You must enter a password!!"));
    QCOMPARE(title, QStringLiteral("Talkmere Server"));
    QCOMPARE(buttons, 1);
    QVERIFY(p.prompt.isVisible());
    QVERIFY(p.prompt.mainWindow() == nullptr);
    QVERIFY(Module1::ServerPassword.isEmpty());
}

void DialogsTest::passwordOfOneBlankOpensTheMainWindow() {
    Prompt p;
    p.txtPass()->setText(QStringLiteral(" "));
    QTest::mouseClick(p.ok(), Qt::LeftButton);
    QCOMPARE(Module1::ServerPassword, QByteArray(" "));
    fMain* main = p.prompt.mainWindow();
    QVERIFY(main != nullptr);
    QVERIFY(main->isVisible());
    QVERIFY(!p.prompt.isVisible());
    QCOMPARE(control<QLabel>(main, "lblStatus")->text(), QStringLiteral("Online"));
    QCOMPARE(control<QAction>(main, "pass")->text(), QStringLiteral("Server Password:  "));
    QCOMPARE(p.serversMade, 1);
    QCOMPARE(p.room.connectClient().received(), QByteArray(":ID:1 "));
}

void DialogsTest::exitLeavesWithoutAServer() {
    Prompt p;
    control<QAction>(&p.prompt, "Exit")->trigger();
    QVERIFY(!p.prompt.isVisible());
    QVERIFY(p.prompt.mainWindow() == nullptr);
    QCOMPARE(p.serversMade, 0);
}

void DialogsTest::messageWindowIsSingleAndSendsItsText() {
    ServerControl::setPassword("pw");
    Window w;
    fMain& main = w.main;
    main.show();
    FakeClient& a = w.room.connectClient();
    FakeClient& b = w.room.connectClient();
    QCOMPARE(a.received(), QByteArray(":ID:1pw"));
    QCOMPARE(b.received(), QByteArray(":ID:2pw"));

    QAction* FMess = control<QAction>(&main, "FMess");
    FMess->trigger();
    frmMess* window = main.messageWindow();
    QVERIFY(window != nullptr);
    QVERIFY(window->isVisible());
    QCOMPARE(window->windowTitle(), QStringLiteral("Send Server Message"));
    QCOMPARE(window->size(), QSize(312, 206)); // 4680 x 3090 twips
    QVERIFY(window->parentWidget() == nullptr);
    QCOMPARE(window->windowType(), Qt::Tool); // kept out of the task bar
    QVERIFY(!(window->windowFlags() & Qt::WindowMinMaxButtonsHint));
    auto* txtMess = control<QPlainTextEdit>(window, "txtMess");
    QCOMPARE(control<QPushButton>(window, "cmdSend")->geometry(), QRect(8, 184, 297, 17));
    QCOMPARE(txtMess->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(spokenName(txtMess), QStringLiteral("Server message"));
    QTRY_COMPARE_WITH_TIMEOUT(QApplication::focusWidget(), static_cast<QWidget*>(txtMess), kWait);

    QTest::keyClicks(txtMess, QStringLiteral("line1"));
    QTest::keyClick(txtMess, Qt::Key_Return);
    QTest::keyClicks(txtMess, QStringLiteral("line2"));
    QTest::keyClick(txtMess, Qt::Key_Return, Qt::ShiftModifier); // a line break, not a paragraph
    QTest::keyClicks(txtMess, QStringLiteral("line3"));

    // The menu again brings the same window forward, text intact.
    FMess->trigger();
    QCOMPARE(main.messageWindow(), window);
    QCOMPARE(txtMess->toPlainText(), QStringLiteral("line1\nline2\nline3"));
    const QWidgetList windows = QApplication::topLevelWidgets();
    QCOMPARE(std::count_if(windows.begin(), windows.end(),
                           [](QWidget* w) { return qobject_cast<frmMess*>(w) != nullptr; }),
             1);

    QTest::mouseClick(control<QPushButton>(window, "cmdSend"), Qt::LeftButton);
    QVERIFY(!window->isVisible());
    const QByteArray expected = ":ID:1pw:ser:line1\nline2\nline3";
    QCOMPARE(a.received(), expected);
    QCOMPARE(b.received(), QByteArray(":ID:2pw:ser:line1\nline2\nline3"));

    // The next opening starts empty; an empty message is ":ser:" alone, "&" and non-ASCII as typed.
    FMess->trigger();
    QVERIFY(txtMess->toPlainText().isEmpty());
    txtMess->setPlainText(QStringLiteral("caf\u00e9 &\u00a0co"));
    QTest::mouseClick(control<QPushButton>(window, "cmdSend"), Qt::LeftButton);
    QCOMPARE(a.received(), expected + ":ser:caf\xc3\xa9 &\xc2\xa0"
                                      "co");
    FMess->trigger();
    QTest::mouseClick(control<QPushButton>(window, "cmdSend"), Qt::LeftButton);
    QCOMPARE(w.room.socket(1)->sent.last(), QByteArray(":ser:"));
}

void DialogsTest::messageWindowClosedWithoutSendingSendsNothing() {
    Window w;
    fMain& main = w.main;
    FakeClient& a = w.room.connectClient();
    QCOMPARE(a.received(), QByteArray(":ID:1"));
    control<QAction>(&main, "FMess")->trigger();
    auto* txtMess = control<QPlainTextEdit>(main.messageWindow(), "txtMess");
    txtMess->setPlainText(QStringLiteral("never sent"));
    QVERIFY(main.messageWindow()->close());
    // A later message is the first thing the client sees after its greeting.
    control<QAction>(&main, "FMess")->trigger();
    QVERIFY(txtMess->toPlainText().isEmpty());
    txtMess->setPlainText(QStringLiteral("sent"));
    QTest::mouseClick(control<QPushButton>(main.messageWindow(), "cmdSend"), Qt::LeftButton);
    QCOMPARE(a.received(), QByteArray(":ID:1:ser:sent"));
}

QTEST_MAIN(DialogsTest)
#include "tst_dialogs.moc"
