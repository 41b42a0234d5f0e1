#ifndef MAFENETRE_H
#define MAFENETRE_H

#include <QWidget>

class QDialog;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QVBoxLayout;

// The viewer's main window: two buttons, and the picture dialog they feed and show.
class MaFenetre : public QWidget
{
    Q_OBJECT

public:
    MaFenetre();
    ~MaFenetre() override;

public slots:
    void ouverture();

private:
    // Non-owning: every one of these lives in the window's object tree.
    QPushButton *boutonOuvrir;
    QPushButton *boutonChoisir;
    QVBoxLayout *layoutVertical;
    QHBoxLayout *layoutHorizontal;
    QLabel *labelImage;
    QDialog *dialogueImage;
};

#endif // MAFENETRE_H
