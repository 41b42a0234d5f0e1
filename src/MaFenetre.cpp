#include "MaFenetre.h"

#include <QDialog>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QRect>
#include <QVBoxLayout>

namespace {

// A picture file's header can claim any size, and a few megabytes of PNG can
// declare 30000 x 30000 pixels. Decoding that would take gigabytes and freeze
// the window, so anything whose decoded form (4 bytes a pixel) would pass
// 1 GiB is refused. The bound still leaves room for 200-megapixel camera
// photos, about 800 MB decoded.
constexpr qint64 octetsDecodesMax = qint64(1) << 30;

// The part of a picture of the given size that a label capped at visible
// can ever show: the left columns, and the rows it keeps when it centres the
// picture vertically (it halves both heights before subtracting).
QRect partieVisible(const QSize &taille, const QSize &visible)
{
    const int largeur = qMin(taille.width(), visible.width());
    const int hauteur = qMin(taille.height(), visible.height());
    return QRect(0, taille.height() / 2 - hauteur / 2, largeur, hauteur);
}

// Decodes what a label capped at visible can show of the picture at chemin,
// or gives the empty picture when the file cannot or should not be read.
QImage lireImage(const QString &chemin, const QSize &visible)
{
    // Only regular files, symbolic links followed: a FIFO would block the
    // window forever on opening, and a device can be read without end.
    if (!QFileInfo(chemin).isFile())
        return QImage();

    QImageReader lecteur(chemin);
    const QSize taille = lecteur.size();
    const QRect partie = partieVisible(taille, visible);
    const bool coupe = taille.isValid() && partie.size() != taille;

    // Readers that cannot clip while decoding (PNG) decode the whole picture
    // first, so the bound applies to what they really decode.
    const QSize decodee = coupe && lecteur.supportsOption(QImageIOHandler::ClipRect) ? partie.size() : taille;
    if (qint64(decodee.width()) * decodee.height() * 4 > octetsDecodesMax)
        return QImage();

    // Qt 6 readers have a lower bound of their own; ours is the one that holds.
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    lecteur.setAllocationLimit(int(octetsDecodesMax / (1024 * 1024)));
#endif
    if (coupe)
        lecteur.setClipRect(partie);
    return lecteur.read();
}

} // namespace

MaFenetre::MaFenetre()
    : QWidget()
{
    setWindowTitle(QStringLiteral("#Orvalis 3.0#"));

    boutonOuvrir = new QPushButton(QStringLiteral("Open the image"), this);
    boutonChoisir = new QPushButton(QStringLiteral("Choose an image"), this);
    dialogueImage = new QDialog(this);
    layoutHorizontal = new QHBoxLayout;

    labelImage = new QLabel(dialogueImage);
    // Read before the window is shown or laid out, so the label is capped at
    // a fresh top-level widget's size.
    labelImage->setMaximumSize(width(), height());

    // Installed on the dialog once a picture has been chosen.
    layoutVertical = new QVBoxLayout;

    layoutHorizontal->addWidget(boutonOuvrir);
    layoutHorizontal->addWidget(boutonChoisir);
    setLayout(layoutHorizontal);

    // Crosswise on purpose: "Choose an image" picks the file, "Open the image"
    // only shows the dialog.
    connect(boutonChoisir, SIGNAL(clicked()), this, SLOT(ouverture()));
    connect(boutonOuvrir, SIGNAL(clicked()), dialogueImage, SLOT(exec()));
}

MaFenetre::~MaFenetre()
{
    // Until a picture is chosen the dialog does not own the vertical layout,
    // and nothing else would release it.
    if (!layoutVertical->parent())
        delete layoutVertical;
}

void MaFenetre::ouverture()
{
    const QString chemin = QFileDialog::getOpenFileName(this, QStringLiteral("Choose an image"),
                                                        QString(), QString());
    // Cancelled: the dialog keeps the picture it had.
    if (chemin.isEmpty())
        return;

    // Handed over as a temporary, so the pixmap takes the decoded pixels
    // without a second copy.
    labelImage->setPixmap(QPixmap::fromImage(lireImage(chemin, labelImage->maximumSize())));
    layoutVertical->addWidget(labelImage);
    dialogueImage->setLayout(layoutVertical);
}
