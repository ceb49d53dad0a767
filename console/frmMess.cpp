#include "frmMess.h"

#include "HandlerEdge.h"
#include "ServerControl.h"
#include "Twips.h"

#include <QCloseEvent>
#include <QPlainTextEdit>
#include <QPushButton>

namespace talkmere {

frmMess::frmMess(ServerControl& server)
    // A tool window with no owner: modeless, fixed, kept out of the task bar.
    : QWidget(nullptr, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      server_(server) {
    setObjectName(QStringLiteral("frmMess"));
    setWindowTitle(QStringLiteral("Send Server Message"));
    setFixedSize(twips::toPixels(4680), twips::toPixels(3090));
    // Closing this window must never end the program.
    setAttribute(Qt::WA_QuitOnClose, false);

    txtMess = new QPlainTextEdit(this);
    txtMess->setObjectName(QStringLiteral("txtMess"));
    txtMess->setGeometry(twips::rect(120, 120, 4455, 2535));
    txtMess->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    txtMess->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    txtMess->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    txtMess->setTabChangesFocus(true);
    // No label to lend it a name: a screen reader would call it just "text".
    txtMess->setAccessibleName(QStringLiteral("Server message"));

    cmdSend = new QPushButton(QStringLiteral("Send"), this);
    cmdSend->setObjectName(QStringLiteral("cmdSend"));
    cmdSend->setGeometry(twips::rect(120, 2760, 4455, 255));
    cmdSend->setAutoDefault(false);
    cmdSend->setDefault(false);

    setTabOrder(txtMess, cmdSend);
    connect(cmdSend, &QPushButton::clicked, this, &frmMess::send);
}

void frmMess::open() {
    const bool opening = !isVisible();
    show();
    raise();
    activateWindow();
    if (opening)
        txtMess->setFocus();
}

void frmMess::send() {
    guardedHandler(server_.log(), "Send server message", [&] {
        // The raw text keeps every character as typed; only line breaks become "\n", those
        // of Enter (paragraphs) and of Shift+Enter (lines within one) alike.
        QString text = txtMess->document()->toRawText();
        text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
        text.replace(QChar::LineSeparator, QLatin1Char('\n'));
        // The server puts ":ser:" in front.
        server_.sendServerMessage(text.toUtf8());
    });
    close();
}

void frmMess::closeEvent(QCloseEvent* event) {
    // The window is kept for the next opening but starts empty again, as if new.
    txtMess->clear();
    event->accept();
}

} // namespace talkmere
