#include <QApplication>
#include <QLoggingCategory>

#include "MaFenetre.h"

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    // Qt's X11 platform warns of its own races with the X server (a dialog
    // shown again before the server has said it was hidden): nothing the
    // user did or can mend, and the viewer prints nothing. QT_LOGGING_RULES
    // still brings them back.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.qpa.xcb.warning=false"));
    MaFenetre fenetre;
    fenetre.show();
    // The constructor's title only stands until the window is first shown.
    fenetre.setWindowTitle(QStringLiteral("Image viewer"));
    return application.exec();
}
