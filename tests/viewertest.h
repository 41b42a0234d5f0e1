#ifndef VIEWERTEST_H
#define VIEWERTEST_H

// What the viewer's tests share: finding the window's parts as a user of the
// class would, and driving the modal dialogs the buttons open.

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include "MaFenetre.h"

// How much longer what is timed may take in a sanitized build, whose
// allocator is slower, with its decoding helper sanitized too.
#if defined(__SANITIZE_ADDRESS__)
constexpr int lenteur = 3;
#else
constexpr int lenteur = 1;
#endif

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


// The offscreen platform says this of every dialog it sizes; a real window
// system does not, so it is no output of the viewer's.
inline bool estNoteOffscreen(const QString &message)
{
    return message == QLatin1String("This plugin does not support propagateSizeHints()");
}

// What `widget` shows inside `zone` (all of it by default), as plain RGB.
inline QImage capture(QWidget *widget, const QRect &zone = QRect(QPoint(0, 0), QSize(-1, -1)))
{
    return widget->grab(zone).toImage().convertToFormat(QImage::Format_RGB32);
}

// Resizes a shown dialog and waits until the window system has applied it,
// within the dialog's minimum size.
inline void redimensionner(QDialog *dialogue, const QSize &demandee)
{
    dialogue->resize(demandee);
    QTRY_COMPARE(dialogue->size(), demandee.expandedTo(dialogue->minimumSize()));
}

// A picture where every pixel tells where it stands, so any shift or cut shows.
inline QImage motif(int largeur, int hauteur)
{
    QImage image(largeur, hauteur, QImage::Format_RGB32);
    for (int y = 0; y < hauteur; ++y)
        for (int x = 0; x < largeur; ++x)
            image.setPixel(x, y, qRgb(x & 0xff, y & 0xff, (x >> 8) | ((y >> 8) << 4)));
    return image;
}

// Picks `chemin` in the file dialog that "Choose an image" opens; an empty
// path cancels it.
inline bool choisir(Vue &v, const QString &chemin)
{
    return cliquerPuis<QFileDialog>(v.choisir, [&](QFileDialog *d) {
        QCOMPARE(d->windowTitle(), QStringLiteral("Choose an image"));
        QCOMPARE(d->parentWidget(), &v.fenetre);
        if (chemin.isEmpty())
            return; // left open: rejected, as a user's Cancel
        // Typed in full into the file name box, then "Open", as a user does.
        auto *saisie = d->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        QVERIFY(saisie);
        saisie->setText(chemin);
        static_cast<QDialog *>(d)->accept();
        QVERIFY2(!d->isVisible(), qPrintable(chemin));
    });
}

#endif // VIEWERTEST_H
