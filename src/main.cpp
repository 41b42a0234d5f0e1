#include <QApplication>

#include "MaFenetre.h"

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    MaFenetre fenetre;
    fenetre.show();
    // The constructor's title only stands until the window is first shown.
    fenetre.setWindowTitle(QStringLiteral("Image viewer"));
    return application.exec();
}
