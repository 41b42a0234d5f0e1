// The baseline for start-up: a bare toolkit window with two buttons.

#include <QApplication>
#include <QHBoxLayout>
#include <QPushButton>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QWidget fenetre;
    auto *rangee = new QHBoxLayout(&fenetre);
    rangee->addWidget(new QPushButton(QStringLiteral("Open the image")));
    rangee->addWidget(new QPushButton(QStringLiteral("Choose an image")));
    fenetre.show();
    fenetre.setWindowTitle(QStringLiteral("Image viewer"));
    return application.exec();
}
