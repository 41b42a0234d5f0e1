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
// the window, so anything whose decoded form would pass 1 GiB is refused.
// That still leaves room for 8-bit photos of up to 268 megapixels (4 bytes a
// pixel decoded) and 16-bit ones of up to 134 megapixels (8 bytes a pixel).
constexpr qint64 octetsDecodesMax = qint64(1) << 30;

// What a pixel of the picture will take once decoded. Readers that do not say
// what they decode into are counted at 8 bytes, the deepest format Qt 5
// decodes into, so the bound never counts low.
int bitsParPixel(const QImageReader &lecteur)
{
    const QImage::Format format = lecteur.imageFormat();
    return format == QImage::Format_Invalid ? 64 : QImage::toPixelFormat(format).bitsPerPixel();
}

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
    // window forever on opening, and a device can be read without end. A
    // cancelled choice (no path) stops here too, before Qt complains of it.
    if (!QFileInfo(chemin).isFile())
        return QImage();

    QImageReader lecteur(chemin);
    const QSize taille = lecteur.size();
    const QRect partie = partieVisible(taille, visible);
    const bool coupe = taille.isValid() && partie.size() != taille;

    // Readers that cannot clip while decoding (PNG) decode the whole picture
    // first, so the bound applies to what they really decode.
    const QSize decodee = coupe && lecteur.supportsOption(QImageIOHandler::ClipRect) ? partie.size() : taille;
    if (qint64(decodee.width()) * decodee.height() * bitsParPixel(lecteur) / 8 > octetsDecodesMax)
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

    // Installed on the dialog at the first choice, even a cancelled one.
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
    // Until the first choice the dialog does not own the vertical layout, and
    // nothing else would release it.
    if (!layoutVertical->parent())
        delete layoutVertical;
}

void MaFenetre::ouverture()
{
    const QString chemin = QFileDialog::getOpenFileName(this, QStringLiteral("Choose an image"),
                                                        QString(), QString());
    // A cancelled choice or an unreadable file leaves the dialog empty. The
    // picture is handed over as a temporary, so the pixmap takes the decoded
    // pixels without a second copy.
    labelImage->setPixmap(QPixmap::fromImage(lireImage(chemin, labelImage->maximumSize())));
    layoutVertical->addWidget(labelImage);
    dialogueImage->setLayout(layoutVertical);
}
