#ifndef VIEWERTEST_H
#define VIEWERTEST_H

// What the viewer's tests share: finding the window's parts as a user of the
// class would, and driving the modal dialogs the buttons open.

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include "MaFenetre.h"

// The window's parts, found through its object tree.
struct Vue
{
    MaFenetre fenetre;
    QPushButton *ouvrir = nullptr;
    QPushButton *choisir = nullptr;
    QDialog *dialogue = nullptr;
    QLabel *label = nullptr;

    Vue()
    {
        for (QPushButton *b : fenetre.findChildren<QPushButton *>()) {
            if (b->text() == QLatin1String("Open the image"))
                ouvrir = b;
            else if (b->text() == QLatin1String("Choose an image"))
                choisir = b;
        }
        dialogue = fenetre.findChild<QDialog *>(QString(), Qt::FindDirectChildrenOnly);
        if (dialogue)
            label = dialogue->findChild<QLabel *>();
    }

    bool complete() const { return ouvrir && choisir && dialogue && label; }
};

// The picture the label holds; null when it shows none.
inline QPixmap imageDuLabel(const QLabel *label)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return label->pixmap();
#elif QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
    return label->pixmap(Qt::ReturnByValue);
#else
    return label->pixmap() ? *label->pixmap() : QPixmap();
#endif
}

// Starts `declencher` (a click, usually), and once a visible modal widget of
// type T is up runs `agir` on it from inside its event loop. Whatever `agir`
// leaves open is rejected, so a failed check never leaves the test hanging in
// a nested loop. Returns whether the modal widget came up at all.
template <class T, class Declencher, class Agir>
bool pendantModal(Declencher declencher, Agir agir)
{
    bool vu = false;
    QTimer guet;
    guet.setInterval(5);
    QObject::connect(&guet, &QTimer::timeout, [&] {
        T *modal = qobject_cast<T *>(QApplication::activeModalWidget());
        if (!modal || !modal->isVisible())
            return;
        guet.stop();
        vu = true;
        agir(modal);
        if (modal->isVisible())
            modal->reject();
    });
    guet.start();
    declencher();
    guet.stop();
    return vu;
}

template <class T, class Agir>
bool cliquerPuis(QAbstractButton *bouton, Agir agir)
{
    return pendantModal<T>([bouton] { bouton->click(); }, agir);
}

#endif // VIEWERTEST_H
